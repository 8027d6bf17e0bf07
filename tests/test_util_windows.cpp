// The test helpers on Windows: file times through the system's own call.
#include "test_util.h"

#include <windows.h>

#include <stdexcept>

bool rename_over(const std::string& from, const std::string& to)
{
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void set_write_time(const std::string& path, long seconds, long nanoseconds)
{
    // 100 ns ticks since 1601; the Unix epoch is 11644473600 s later.
    const unsigned long long ticks =
        (static_cast<unsigned long long>(seconds) + 11644473600ull) * 10000000ull + static_cast<unsigned long long>(nanoseconds) / 100;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool set = file != INVALID_HANDLE_VALUE && SetFileTime(file, nullptr, nullptr, &time);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!set) throw std::runtime_error("cannot set the write time of " + path);
}
