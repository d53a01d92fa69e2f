#include "open_failure.h"

#include <cstdio>

namespace {

using Kind = OpenFailure::Kind;

struct Sentences {
    const char* chinese;
    const char* english;
};

// Each takes the port first; what follows it is named beside each.
constexpr Sentences kInUse = {"%s 正被其他程序使用。", "%s is in use by another program"};
constexpr Sentences kInUseByLock = {  // the lock file
    "%s 正被其他程序使用（锁文件 %s）。", "%s is in use by another program (lock file %s)"};
constexpr Sentences kNotThere = {
    "%s 已不存在：串口适配器可能已被拔出。请重新插好后再打开；若它换了名字，请重新启动本程序。",
    "%s is not there: the adapter may have been unplugged"};
constexpr Sentences kDenied = {"没有权限打开 %s。", "no permission to open %s"};
// The group twice and the user: the command to copy stands last, on a line
// of its own.
constexpr Sentences kDeniedToJoin = {
    "没有权限打开 %s：只有 %s 组的成员可以使用它。\n"
    "请运行以下命令把自己加入该组，然后注销并重新登录：\n"
    "sudo usermod -aG %s %s",
    "no permission to open %s: only members of the group %s may use it; add yourself with the "
    "command above, then log out and in again"};
constexpr Sentences kNoUart = {
    "%s 后面没有串口硬件：内核在这个端口上没有找到 UART。请选择别的端口。",
    "no serial hardware answers behind %s: the kernel found no UART at that port; choose another "
    "port"};
// The lock's path: anyone may write in the lock folder.
constexpr Sentences kInTheWay = {
    "%s 无法加锁：%s 不是普通文件，挡住了锁。请删除它，或请管理员检查。",
    "%s cannot be locked: %s is in the way and is not a regular file; remove it or ask the "
    "administrator"};
// The system's words, and its number where it gives one, so that the
// technician has something to search for.
constexpr Sentences kSystem = {"无法打开 %s：%s", "cannot open %s: %s"};
constexpr Sentences kSystemNumbered = {"无法打开 %s：%s（错误 %lld）", "cannot open %s: %s (error %lld)"};

bool Given(const char* text) { return text != nullptr && text[0] != '\0'; }

// The same arguments for both languages: a sentence may leave the last unsaid.
template <typename... Words>
void Say(OpenFailure& failure, const Sentences& sentences, Words... words) {
    std::snprintf(failure.chinese, sizeof failure.chinese, sentences.chinese, words...);
    std::snprintf(failure.english, sizeof failure.english, sentences.english, words...);
}

}  // namespace

OpenFailure DescribeOpenFailure(const char* port, const OpenFailureCause& cause) {
    OpenFailure failure;
    failure.kind = cause.kind;
    switch (cause.kind) {
    case Kind::None:
        break;
    case Kind::InUse:
        Say(failure, Given(cause.lockFile) ? kInUseByLock : kInUse, port, cause.lockFile);
        break;
    case Kind::NotThere:
        Say(failure, kNotThere, port);
        break;
    case Kind::Denied:
        Say(failure, Given(cause.group) ? kDeniedToJoin : kDenied, port, cause.group, cause.group,
            cause.user);
        break;
    case Kind::NoUart:
        Say(failure, kNoUart, port);
        break;
    case Kind::InTheWay:
        Say(failure, kInTheWay, port, cause.lockFile);
        break;
    case Kind::System: {
        const Sentences& sentences = cause.code < 0 ? kSystem : kSystemNumbered;
        Say(failure, sentences, port, cause.words, cause.code);
        if (Given(cause.englishWords)) {  // the system has its words in English too
            std::snprintf(failure.english, sizeof failure.english, sentences.english, port,
                          cause.englishWords, cause.code);
        }
        break;
    }
    }
    return failure;
}
