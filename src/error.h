// How a call says that it failed, the one way throughout the programs: it
// returns false (or a value that says "none": no_socket, fewer than asked)
// and fills its last parameter, an Error, only then. The caller who reports
// the failure prints `text`; one that must tell a failure from another asks
// `code` (is_message_too_long, is_address_in_use).
// Only the database's load and lookup throw instead: their failure is the
// message of the request (or the start) that they fail, which the one who
// serves it reports whole.
#ifndef ULVANE_ERROR_H
#define ULVANE_ERROR_H

#include <cerrno>
#include <cstring>
#include <string>

struct Error {
    // The system's code (errno; on Windows GetLastError or WSAGetLastError),
    // 0 for a failure the system did not report.
    int code = 0;
    // Why, in words an operator reads: "cannot create X: Permission denied"
    // (a socket call's words alone: its caller names the address).
    std::string text;
};

// The system's words for its code ("Network is unreachable"), from the
// platform layer.
std::string system_error_text(int code);

// The failure `code` of the system: its words after `what` and ": ", or
// alone when `what` is empty.
inline Error system_error(const std::string& what, int code)
{
    return {code, what.empty() ? system_error_text(code) : what + ": " + system_error_text(code)};
}

// The failure that a C or C++ library call (a stream, fopen, fwrite) left
// in errno: `what` and errno's words, alike on every platform.
inline Error errno_error(const std::string& what)
{
    const int code = errno;
    return {code, what + ": " + std::strerror(code)};
}

#endif
