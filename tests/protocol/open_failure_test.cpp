// The one vocabulary for a port that did not open: what each kind says,
// whole, in both languages, whichever platform found it.
#include <gtest/gtest.h>

#include <string>

#include "open_failure.h"
#include "return_watch.h"

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
        {{Kind::InTheWay, "", "", "/var/lock/LCK..ttyS0"},
         "P 无法加锁：/var/lock/LCK..ttyS0 不是普通文件，挡住了锁。请删除它，或请管理员检查。",
         "P cannot be locked: /var/lock/LCK..ttyS0 is in the way and is not a regular file; "
         "remove it or ask the administrator"},
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

// A port behind a terminal server: each failure names the host and port as
// typed, the host alone where only the name is at fault.
TEST(DescribeConnectionFailure, EachFailureNamesWhereInBothLanguages) {
    using Failure = ConnectionFailure;
    const struct {
        Failure failure;
        const char* where;
        long long code;
        const char* chinese;
        const char* english;
    } cases[] = {
        {Failure::NoSuchHost, "gw-07:4001", -1, "找不到主机 gw-07：这个名字无法解析（gw-07:4001）",
         "the name gw-07 does not resolve (gw-07:4001)"},
        {Failure::NoSuchHost, "[fd00::7]:4001", -1, "找不到主机 [fd00::7]：",
         "the name [fd00::7] does not resolve ([fd00::7]:4001)"},
        {Failure::Refused, "gw-07:4001", -1, "gw-07:4001 拒绝了连接：",
         "gw-07:4001 refused the connection: is the terminal server running"},
        {Failure::NoAnswer, "gw-07:4001", -1, "gw-07:4001 在 5 秒内没有回应",
         "no answer from gw-07:4001 within 5 s"},
        {Failure::Closed, "gw-07:4001", -1, "gw-07:4001 接受连接后又关闭了它",
         "gw-07:4001 closed the connection it had taken"},
        {Failure::System, "gw-07:4001", -1, "无法连接 gw-07:4001：WORDS",
         "cannot connect to gw-07:4001: WORDS"},
        {Failure::System, "gw-07:4001", 10051, "无法连接 gw-07:4001：WORDS（错误 10051）",
         "cannot connect to gw-07:4001: WORDS (error 10051)"},
    };
    for (const auto& c : cases) {
        const OpenFailure said = DescribeConnectionFailure(c.failure, c.where, "WORDS", c.code);
        EXPECT_EQ(std::string(said.chinese).rfind(c.chinese, 0), 0u) << said.chinese;
        EXPECT_EQ(std::string(said.english).rfind(c.english, 0), 0u) << said.english;
    }
}

}  // namespace

// A port awaited after it went away: how many refused looks it stays
// awaited for, each look a tenth of a second apart; -1: still after 50.
TEST(ReturnWatch, RefusalsOfANameThatIsThereCountForASecond) {
    using Kind = OpenFailure::Kind;
    const struct { Kind kind; bool nameGoesBetween; int looksAwaited; } cases[] = {
        {Kind::Denied, false, 9}, {Kind::InUse, false, 9}, {Kind::NotThere, false, 9},
        {Kind::System, false, 0}, {Kind::NoUart, false, 0}, {Kind::Denied, true, -1},
    };
    for (const auto& c : cases) {
        ReturnWatch watch;
        watch.Begin();
        int looks = 0, ticks = 0;
        for (; looks < 50 && watch.Awaiting(); ++ticks) {
            if (watch.TimeToLook()) {
                EXPECT_EQ(ticks % Timing::kReturnLookTicks, Timing::kReturnLookTicks - 1);
                looks += watch.StillAwaitedAfter(c.kind);
                c.nameGoesBetween ? watch.NameNotThere() : void();
            }
        }
        EXPECT_EQ(looks == 50 ? -1 : looks, c.looksAwaited) << static_cast<int>(c.kind);
        EXPECT_EQ(watch.Awaiting(), looks == 50);
    }
}
