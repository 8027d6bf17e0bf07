#include "test_util.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "log.h"
#include "log_messages.h"

namespace {

#ifdef _WIN32
const char* const test_dir_prefix = "ulvane_test_";
#else
// A shop may name its directories in any language: every program under test
// (the Windows ones under Wine too) gets paths with blanks and characters
// outside any ANSI code page.
const char* const test_dir_prefix = "ulvane_test_\u0141\u00f3d\u017a \u5e97_";
#endif

} // namespace

Temp_dir::Temp_dir()
{
    namespace fs = std::filesystem;
    std::random_device random;
    for (int tries = 0; my_path.empty(); ++tries) {
        fs::path path = fs::temp_directory_path() / (test_dir_prefix + std::to_string(random()));
        if (fs::create_directory(path)) my_path = path.string();
        if (tries == 100) throw std::runtime_error("cannot make a temporary directory");
    }
}

Temp_dir::~Temp_dir()
{
    namespace fs = std::filesystem;
    std::error_code ignored;
    // Some tests take rights away; give them back so that all can go.
    for (auto it = fs::recursive_directory_iterator(my_path, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(my_path, ignored);
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

std::string unix_lines(std::string text)
{
#ifdef ULVANE_WINDOWS_BUILD
    std::size_t to = 0;
    for (std::size_t from = 0; from < text.size(); ++from)
        if (!(text[from] == '\r' && from + 1 < text.size() && text[from + 1] == '\n')) text[to++] = text[from];
    text.resize(to);
#endif
    return text;
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
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
        Log_line parts;
        messages.push_back(parts.read(line) ? std::string(parts.label) + " " + std::string(parts.message) : "?? " + line);
    }
    return messages;
}

std::string without_source_position(std::string line)
{
    const std::size_t colon = line.find(".cpp:");
    if ((line.compare(0, 4, "DBG ") == 0 || line.compare(0, 4, "DMP ") == 0) && colon != std::string::npos)
        line.erase(4, line.find(' ', colon) + 1 - 4);
    return line;
}

bool wait_until(const std::function<bool()>& done, int ms, int step_ms)
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= give_up) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
    return true;
}
