#include "test_util.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "misc.h"

Temp_dir::Temp_dir()
{
    char pattern[] = "/tmp/ulvane_test_XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    my_path = pattern;
}

Temp_dir::~Temp_dir()
{
    std::string command = "chmod -R u+rwx '" + my_path + "' 2>/dev/null; rm -rf '" + my_path + "'";
    if (std::system(command.c_str()) != 0) {
    }
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

void set_write_time(const std::string& path, long seconds, long nanoseconds)
{
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = seconds;
    times[1].tv_nsec = nanoseconds;
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        throw std::runtime_error("utimensat failed for " + path);
}

Log_capture::Log_capture()
{
    set_log_file(my_dir.file("log"));
}

Log_capture::~Log_capture()
{
    close_log_file();
}

std::vector<std::string> Log_capture::lines() const
{
    return log_messages(read_file(my_dir.file("log")));
}

std::vector<std::string> log_messages(const std::string& log_text)
{
    // "[2026-12-07 08:00:00 #12 WRN] message" -> "WRN message"
    std::vector<std::string> messages;
    for (const std::string& line : split_lines(log_text)) {
        std::size_t hash = line.find(" #");
        std::size_t label = line.find(' ', hash + 2);
        if (line.size() < 22 || line[0] != '[' || hash != 20 || label == std::string::npos ||
            line.compare(label + 4, 2, "] ") != 0) {
            messages.push_back("?? " + line);
            continue;
        }
        messages.push_back(line.substr(label + 1, 3) + " " + line.substr(label + 6));
    }
    return messages;
}

[[noreturn]] void exec_program(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The program gets the standard streams and nothing else of the test's.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execv(args[0], args.data());
    _exit(127);
}

namespace {

void drain(int fd, std::string& into)
{
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) into.append(buf, static_cast<std::size_t>(n));
}

} // namespace

Run_result run_program(const std::vector<std::string>& argv, int timeout_seconds,
                       const std::string& working_dir)
{
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (!working_dir.empty() && chdir(working_dir.c_str()) != 0) _exit(126);
        exec_program(argv);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    Run_result result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_fds = 2;
    time_t deadline = time(nullptr) + timeout_seconds;
    bool killed = false;
    while (open_fds > 0) {
        if (time(nullptr) > deadline && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (poll(fds, 2, 200) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            std::string& into = i == 0 ? result.out : result.err;
            std::size_t before = into.size();
            drain(fds[i].fd, into);
            if (into.size() == before) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}
