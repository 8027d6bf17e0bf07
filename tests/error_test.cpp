// How a failure is told.
#include "error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

// A failure of the system says what failed and the system's words for its
// code; on Windows, where those words may be missing, the code too.
TEST(Error, SaysWhatFailedAndTheSystemsWordsForIt)
{
#ifdef _WIN32
    const int code = 2; // ERROR_FILE_NOT_FOUND
    const std::string words_end = "(2)";
#else
    const int code = ENOENT;
    const std::string words_end = "No such file or directory";
#endif
    const Error error = system_error("cannot open x", code);
    EXPECT_EQ(error.code, code);
    EXPECT_EQ(error.text.rfind("cannot open x: ", 0), 0u) << error.text;
    ASSERT_GE(error.text.size(), words_end.size());
    EXPECT_EQ(error.text.substr(error.text.size() - words_end.size()), words_end);
    EXPECT_EQ(system_error("", code).text, system_error_text(code));
    errno = EACCES;
    const Error read = errno_error("cannot read y");
    EXPECT_EQ(read.code, EACCES);
    EXPECT_EQ(read.text, "cannot read y: " + std::string(std::strerror(EACCES)));
}

} // namespace
