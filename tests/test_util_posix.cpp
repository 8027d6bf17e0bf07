// The test helpers that need POSIX: file times to the nanosecond, and
// running programs.
#include "test_util.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

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
    // Until both streams end, or the program has ended and its streams
    // are quiet (under Wine, helper processes may hold them open a while).
    int status = 0;
    bool ended = false;
    while (open_fds > 0) {
        if (time(nullptr) > deadline && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (!ended && waitpid(pid, &status, WNOHANG) == pid) ended = true;
        if (poll(fds, 2, 200) <= 0) {
            if (ended) break;
            continue;
        }
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
    for (pollfd& p : fds)
        if (p.fd >= 0) close(p.fd);
    if (!ended) waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = unix_lines(result.out);
    result.err = unix_lines(result.err);
    return result;
}

bool rename_over(const std::string& from, const std::string& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}
