// The one vocabulary for a port that did not open: what each kind says,
// whole, in both languages, whichever platform found it.
#include <gtest/gtest.h>

#include "open_failure.h"

namespace {

TEST(DescribeOpenFailure, EachKindInBothLanguages) {
    using Kind = OpenFailure::Kind;
    // kind, group, user, lock file, words, English words, number
    const struct {
        OpenFailureCause cause;
        const char* chinese;
        const char* english;
    } cases[] = {
        {{Kind::InUse}, "P 正被其他程序使用。", "P is in use by another program"},
        {{Kind::InUse, "", "", "/var/lock/LCK..ttyS0"},
         "P 正被其他程序使用（锁文件 /var/lock/LCK..ttyS0）。",
         "P is in use by another program (lock file /var/lock/LCK..ttyS0)"},
        {{Kind::NotThere},
         "P 已不存在：串口适配器可能已被拔出。请重新插好后再打开；若它换了名字，请重新启动本程序。",
         "P is not there: the adapter may have been unplugged"},
        {{Kind::Denied}, "没有权限打开 P。", "no permission to open P"},
        {{Kind::Denied, "dialout", "alice"},
         "没有权限打开 P：只有 dialout 组的成员可以使用它。\n请运行以下命令把自己加入该组，然后注销并重新登录：\n"
         "sudo usermod -aG dialout alice",
         "no permission to open P: only members of the group dialout may use it; add yourself "
         "with the command above, then log out and in again"},
        {{Kind::NoUart}, "P 后面没有串口硬件：内核在这个端口上没有找到 UART。请选择别的端口。",
         "no serial hardware answers behind P: the kernel found no UART at that port; choose "
         "another port"},
        {{Kind::System, "", "", "", "Input/output error"}, "无法打开 P：Input/output error",
         "cannot open P: Input/output error"},
        {{Kind::System, "", "", "", "设备没有响应", "The device does not respond", 31},
         "无法打开 P：设备没有响应（错误 31）", "cannot open P: The device does not respond (error 31)"},
    };
    for (const auto& c : cases) {
        const OpenFailure failure = DescribeOpenFailure("P", c.cause);
        EXPECT_EQ(failure.kind, c.cause.kind);
        EXPECT_STREQ(failure.chinese, c.chinese);
        EXPECT_STREQ(failure.english, c.english);
    }
}

TEST(DescribeOpenFailure, ALongPathIsCutNeverOverrun) {
    const std::string path(3 * OpenFailure::kSize, 'x');
    const OpenFailure failure = DescribeOpenFailure(path.c_str(), OpenFailureCause{});
    EXPECT_EQ(std::string(failure.chinese).size() + 1, OpenFailure::kSize);
    EXPECT_EQ(std::string(failure.english).size() + 1, OpenFailure::kSize);
}

}  // namespace
