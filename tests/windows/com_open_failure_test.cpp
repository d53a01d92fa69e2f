// What the console program says when a COM port does not open.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "com_open_failure.h"

TEST(DescribeComOpenFailure, EachErrorInBothLanguages) {
    const struct {
        DWORD error;
        const char* chinese;
        const char* english;
    } cases[] = {
        // Windows refuses the second opener of a port with access denied.
        {ERROR_ACCESS_DENIED, "COM3 正被其他程序使用。", "COM3 is in use by another program"},
        {ERROR_SHARING_VIOLATION, "COM3 正被其他程序使用。", "COM3 is in use by another program"},
        {ERROR_BUSY, "COM3 正被其他程序使用。", "COM3 is in use by another program"},
        {ERROR_FILE_NOT_FOUND, "COM3 已不存在：串口适配器可能已被拔出。",
         "COM3 is not there: the adapter may have been unplugged"},
        {ERROR_PATH_NOT_FOUND, "COM3 已不存在", "COM3 is not there"},
        // Anything else in Windows' own words (Wine's differ from Windows'),
        // with the number to search for.
        {ERROR_GEN_FAILURE, "无法打开 COM3：", "cannot open COM3: "},
        {0x2000BEEF, "无法打开 COM3：Windows error 536919791（错误 536919791）",
         "cannot open COM3: Windows error 536919791 (error 536919791)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        const OpenFailure text = DescribeComOpenFailure(c.error, "COM3");
        EXPECT_EQ(std::string(text.chinese).rfind(c.chinese, 0), 0u) << text.chinese;
        EXPECT_EQ(std::string(text.english).rfind(c.english, 0), 0u) << text.english;
        if (c.error == ERROR_GEN_FAILURE) {  // Windows' words, then the number
            const std::regex english("cannot open COM3: (?!Windows error).+ \\(error 31\\)");
            EXPECT_TRUE(std::regex_match(text.english, english)) << text.english;
            EXPECT_TRUE(std::regex_search(text.chinese, std::regex("：(?!Windows error).+（错误 31）$")));
        }
    }
}
