#include "command_line.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "platform_process.h"

namespace {

#ifdef _WIN32
// An argument that the program's code page cannot carry whole is found, so
// that the program refuses it instead of working on a look-alike path.
TEST(Arguments, ThoseTheCodePageCannotCarryAreFound)
{
    const struct {
        unsigned code_page;
        std::vector<std::wstring> arguments;
        int not_whole;
    } cases[] = {
        {1252, {L"ulvane_server.exe", L"-db=C:\\shop\\db"}, -1},
        {1252, {L"x.exe", L"-db=C:\\Caf\u00e9"}, -1},                // é is in Western European
        {1252, {L"x.exe", L"-p=9000", L"-db=C:\\\u0141\u00f3d\u017a"}, 2}, // Ł is not: it would become L
        {1250, {L"x.exe", L"-db=C:\\\u0141\u00f3d\u017a"}, -1},      // but is in Central European
        {1250, {L"x.exe", L"-db=C:\\\u0141\u00f3d\u017a \u5e97"}, 1}, // 店 is in neither
        {65001, {L"x.exe", L"-db=C:\\\u0141\u00f3d\u017a \u5e97"}, -1}, // UTF-8 carries all
        {65001, {L"x.exe", std::wstring(L"-db=") + wchar_t(0xd800)}, 1}, // but no half character
        {1252, {L"x.exe", L""}, -1},
        {1252, {L"C:\\\u5e97\\x.exe", L"-p=9000"}, 0}, // the program's own path counts too
    };
    for (const auto& c : cases)
        EXPECT_EQ(first_argument_not_whole(c.code_page, c.arguments), c.not_whole)
            << c.code_page << " " << c.arguments.back().size();
}
#endif

} // namespace
