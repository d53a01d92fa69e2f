// What the console program says when a COM port does not open.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "com_open_failure.h"

TEST(DescribeComOpenFailure, EachErrorToItsKindAndAnyOtherInWindowsWords) {
    // Windows refuses the second opener of a port with access denied. The
    // sentences of each kind are the portable vocabulary's.
    for (DWORD error : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_BUSY}) {
        EXPECT_EQ(DescribeComOpenFailure(error, "COM3").kind, OpenFailure::Kind::InUse) << error;
    }
    for (DWORD error : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND}) {
        EXPECT_EQ(DescribeComOpenFailure(error, "COM3").kind, OpenFailure::Kind::NotThere) << error;
    }
    // Anything else in Windows' own words (Wine's differ from Windows'),
    // with the number to search for.
    const OpenFailure general = DescribeComOpenFailure(ERROR_GEN_FAILURE, "COM3");
    EXPECT_TRUE(std::regex_match(general.english, std::regex("cannot open COM3: (?!Windows error).+ \\(error 31\\)")))
        << general.english;
    EXPECT_TRUE(std::regex_match(general.chinese, std::regex("无法打开 COM3：(?!Windows error).+（错误 31）")))
        << general.chinese;
    const OpenFailure unknown = DescribeComOpenFailure(0x2000BEEF, "COM3");
    EXPECT_STREQ(unknown.chinese, "无法打开 COM3：Windows error 536919791（错误 536919791）");
    EXPECT_STREQ(unknown.english, "cannot open COM3: Windows error 536919791 (error 536919791)");

    // Windows' words longer than the room are cut between two characters,
    // never emptied (Wine's own messages are all short).
    const std::wstring chinese(300, L'\x9519');  // 3 bytes each
    char cut[256];
    CutToUtf8(chinese.c_str(), 300, cut, sizeof cut);
    ASSERT_EQ(std::strlen(cut), 255u);
    EXPECT_EQ(std::string(cut + 252), "\xE9\x94\x99") << "the last whole character";
    const std::wstring faces = L"\xD83D\xDE00\xD83D\xDE00\xD83D\xDE00";  // 4 bytes each
    CutToUtf8(faces.c_str(), 6, cut, 11);
    EXPECT_STREQ(cut, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
}
