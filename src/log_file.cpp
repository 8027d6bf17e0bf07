#include "log_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <zlib.h>

Log_file::~Log_file()
{
    if (my_file != nullptr) gzclose(my_file);
}

bool Log_file::open(const std::string& path, Error& error)
{
    errno = 0;
    my_file = gzopen(path.c_str(), "rb"); // a file that is no gzip is read as it is
    if (my_file == nullptr) {
        error = errno != 0 ? system_error("", errno) : Error{0, "out of memory"};
        return false;
    }
    gzbuffer(my_file, 256 * 1024);
    return true;
}

bool Log_file::compressed() const
{
    return my_file != nullptr && gzdirect(my_file) == 0;
}

bool Log_file::fill()
{
    const int n = gzread(my_file, my_buffer.data(), static_cast<unsigned>(my_buffer.size()));
    if (n <= 0) {
        int code = Z_OK;
        const char* why = gzerror(my_file, &code);
        if (code != Z_OK && my_error.empty()) my_error = why;
        return false;
    }
    my_at = 0;
    my_end = static_cast<std::size_t>(n);
    return true;
}

bool Log_file::next(std::string& line, std::size_t longest)
{
    line.clear();
    bool started = false, too_long = false;
    for (;;) {
        if (my_at == my_end && !fill()) break;
        started = true;
        const char* begin = my_buffer.data() + my_at;
        const std::size_t left = my_end - my_at;
        const char* lf = static_cast<const char*>(std::memchr(begin, '\n', left));
        const std::size_t n = lf != nullptr ? static_cast<std::size_t>(lf - begin) : left;
        const std::size_t room = longest - line.size();
        too_long = too_long || n > room;
        line.append(begin, std::min(n, room));
        my_at += n + (lf != nullptr);
        if (lf != nullptr) break;
    }
    if (!started) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    my_cut_lines += too_long;
    return true;
}
