#include "open_failure.h"

#include <cstdio>

namespace {

using Kind = OpenFailure::Kind;

bool Given(const char* text) { return text != nullptr && text[0] != '\0'; }

// The command to copy stands on a line of its own, last.
void SayDenied(OpenFailure& failure, const char* port, const OpenFailureCause& cause) {
    if (!Given(cause.group)) {
        std::snprintf(failure.chinese, sizeof failure.chinese, "没有权限打开 %s。", port);
        std::snprintf(failure.english, sizeof failure.english, "no permission to open %s", port);
        return;
    }
    std::snprintf(failure.chinese, sizeof failure.chinese,
                  "没有权限打开 %s：只有 %s 组的成员可以使用它。\n"
                  "请运行以下命令把自己加入该组，然后注销并重新登录：\n"
                  "sudo usermod -aG %s %s",
                  port, cause.group, cause.group, cause.user);
    std::snprintf(failure.english, sizeof failure.english,
                  "no permission to open %s: only members of the group %s may use it; add "
                  "yourself with the command above, then log out and in again",
                  port, cause.group);
}

void SayInUse(OpenFailure& failure, const char* port, const OpenFailureCause& cause) {
    if (!Given(cause.lockFile)) {
        std::snprintf(failure.chinese, sizeof failure.chinese, "%s 正被其他程序使用。", port);
        std::snprintf(failure.english, sizeof failure.english, "%s is in use by another program",
                      port);
        return;
    }
    std::snprintf(failure.chinese, sizeof failure.chinese, "%s 正被其他程序使用（锁文件 %s）。",
                  port, cause.lockFile);
    std::snprintf(failure.english, sizeof failure.english,
                  "%s is in use by another program (lock file %s)", port, cause.lockFile);
}

// The system's words, and its number where it gives one, so that the
// technician has something to search for.
void SaySystem(OpenFailure& failure, const char* port, const OpenFailureCause& cause) {
    const char* english = Given(cause.englishWords) ? cause.englishWords : cause.words;
    if (cause.code < 0) {
        std::snprintf(failure.chinese, sizeof failure.chinese, "无法打开 %s：%s", port, cause.words);
        std::snprintf(failure.english, sizeof failure.english, "cannot open %s: %s", port, english);
        return;
    }
    std::snprintf(failure.chinese, sizeof failure.chinese, "无法打开 %s：%s（错误 %lld）", port,
                  cause.words, cause.code);
    std::snprintf(failure.english, sizeof failure.english, "cannot open %s: %s (error %lld)", port,
                  english, cause.code);
}

}  // namespace

OpenFailure DescribeOpenFailure(const char* port, const OpenFailureCause& cause) {
    OpenFailure failure;
    failure.kind = cause.kind;
    switch (cause.kind) {
    case Kind::None:
        break;
    case Kind::InUse:
        SayInUse(failure, port, cause);
        break;
    case Kind::NotThere:
        std::snprintf(failure.chinese, sizeof failure.chinese,
                      "%s 已不存在：串口适配器可能已被拔出。请重新插好后再打开；"
                      "若它换了名字，请重新启动本程序。",
                      port);
        std::snprintf(failure.english, sizeof failure.english,
                      "%s is not there: the adapter may have been unplugged", port);
        break;
    case Kind::Denied:
        SayDenied(failure, port, cause);
        break;
    case Kind::NoUart:
        std::snprintf(failure.chinese, sizeof failure.chinese,
                      "%s 后面没有串口硬件：内核在这个端口上没有找到 UART。请选择别的端口。", port);
        std::snprintf(failure.english, sizeof failure.english,
                      "no serial hardware answers behind %s: the kernel found no UART at that "
                      "port; choose another port",
                      port);
        break;
    case Kind::System:
        SaySystem(failure, port, cause);
        break;
    }
    return failure;
}
