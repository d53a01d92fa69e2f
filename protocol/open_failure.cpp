#include "open_failure.h"

#include <cstdio>
#include <cstring>

#include "timing.h"

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
// The system's words, and its number where it gives one, so that the
// technician has something to search for.
constexpr Sentences kSystem = {"无法打开 %s：%s", "cannot open %s: %s"};
constexpr Sentences kSystemNumbered = {"无法打开 %s：%s（错误 %lld）", "cannot open %s: %s (error %lld)"};

// A terminal server's: each takes HOST:PORT as typed, the name alone first
// where only the name is at fault.
constexpr Sentences kNoSuchHost = {"找不到主机 %s：这个名字无法解析（%s）",
                                   "the name %s does not resolve (%s)"};
constexpr Sentences kRefused = {
    "%s 拒绝了连接：终端服务器是否在运行，这是否是它的端口？",
    "%s refused the connection: is the terminal server running, and is that its port?"};
constexpr Sentences kNoAnswerFrom = {"%s 在 %u 秒内没有回应", "no answer from %s within %u s"};
constexpr Sentences kClosedTaken = {
    "%s 接受连接后又关闭了它：服务器可能打不开它的串口，或串口正被另一个客户端使用",
    "%s closed the connection it had taken: the server may be unable to open its serial line, or "
    "another client may hold it"};
constexpr Sentences kCannotConnect = {"无法连接 %s：%s", "cannot connect to %s: %s"};
constexpr Sentences kCannotConnectNumbered = {"无法连接 %s：%s（错误 %lld）",
                                              "cannot connect to %s: %s (error %lld)"};

// The server's line that did not take 9600 8N1: what it answered, then
// HOST:PORT.
constexpr Sentences kNotTaken = {"服务器没有接受 9600 8N1：%s（%s）",
                                 "the server did not take 9600 8N1: %s (%s)"};
constexpr Sentences kOptionRefused = {"它拒绝了 COM 端口选项（RFC 2217）",
                                      "it refused the COM port option (RFC 2217)"};
constexpr Sentences kNoAnswerWithin = {"%u 秒内没有回答", "no answer within %u s"};
constexpr Sentences kAnsweredBaud = {"它回答 %lu 波特", "it answered %lu baud"};
constexpr Sentences kAnsweredDataBits = {"它回答 %lu 个数据位", "it answered %lu data bits"};
// Parity, stop bits and flow control by the option's codes, from 1; any
// other code by its number, field by field.
constexpr Sentences kAnsweredParity[] = {
    {"它回答无校验", "it answered no parity"},     {"它回答奇校验", "it answered odd parity"},
    {"它回答偶校验", "it answered even parity"},   {"它回答标记校验", "it answered mark parity"},
    {"它回答空格校验", "it answered space parity"}};
constexpr Sentences kAnsweredStopBits[] = {{"它回答1 个停止位", "it answered 1 stop bit"},
                                           {"它回答2 个停止位", "it answered 2 stop bits"},
                                           {"它回答1.5 个停止位", "it answered 1.5 stop bits"}};
constexpr Sentences kAnsweredFlow[] = {
    {"它回答无流控", "it answered no flow control"},
    {"它回答XON/XOFF 流控", "it answered XON/XOFF flow control"},
    {"它回答硬件流控", "it answered hardware flow control"}};
constexpr Sentences kAnsweredCode[] = {{"它回答校验代码 %lu", "it answered parity code %lu"},
                                       {"它回答停止位代码 %lu", "it answered stop bits code %lu"},
                                       {"它回答流控代码 %lu", "it answered flow control code %lu"}};

bool Given(const char* text) { return text != nullptr && text[0] != '\0'; }

// A word is the same in both languages, or a phrase already said in both.
template <typename Word>
Word In(Word word, bool) {
    return word;
}
const char* In(const OpenFailure& phrase, bool english) {
    return english ? phrase.english : phrase.chinese;
}

// The same arguments for both languages: a sentence may leave the last unsaid.
template <typename... Words>
void Say(OpenFailure& failure, const Sentences& sentences, const Words&... words) {
    if constexpr (sizeof...(Words) == 0) {
        std::snprintf(failure.chinese, sizeof failure.chinese, "%s", sentences.chinese);
        std::snprintf(failure.english, sizeof failure.english, "%s", sentences.english);
    } else {
        std::snprintf(failure.chinese, sizeof failure.chinese, sentences.chinese, In(words, false)...);
        std::snprintf(failure.english, sizeof failure.english, sentences.english, In(words, true)...);
    }
}

// The host part of HOST:PORT as the words name it, brackets kept.
void HostOf(const char* where, char* host, std::size_t size) {
    const char* end = where[0] == '[' ? std::strchr(where, ']') : std::strrchr(where, ':');
    std::size_t length = end == nullptr ? std::strlen(where) : static_cast<std::size_t>(end - where);
    if (where[0] == '[' && end != nullptr) {
        ++length;
    }
    if (length >= size) {
        length = size - 1;
    }
    std::memcpy(host, where, length);
    host[length] = '\0';
}

// What a setting's answer said instead of what was asked.
void SayAnswered(OpenFailure& phrase, int field, std::uint32_t value) {
    const unsigned long number = value;
    const Sentences* named[] = {nullptr, nullptr, kAnsweredParity, kAnsweredStopBits, kAnsweredFlow};
    const std::uint32_t namedCount[] = {0, 0, 5, 3, 3};
    if (field == 0 || field == 1) {
        Say(phrase, field == 0 ? kAnsweredBaud : kAnsweredDataBits, number);
    } else if (value >= 1 && value <= namedCount[field]) {
        Say(phrase, named[field][value - 1]);
    } else {
        Say(phrase, kAnsweredCode[field - 2], number);
    }
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

OpenFailure DescribeConnectionFailure(ConnectionFailure failure, const char* where,
                                      const char* words, long long code) {
    OpenFailure said;
    said.kind = failure == ConnectionFailure::NoSuchHost || failure == ConnectionFailure::Refused
                    ? Kind::NotThere
                    : Kind::System;
    char host[OpenFailure::kSize];
    switch (failure) {
    case ConnectionFailure::NoSuchHost:
        HostOf(where, host, sizeof host);
        Say(said, kNoSuchHost, host, where);
        break;
    case ConnectionFailure::Refused:
        Say(said, kRefused, where);
        break;
    case ConnectionFailure::NoAnswer:
        Say(said, kNoAnswerFrom, where, static_cast<unsigned>(Timing::kOpeningSeconds));
        break;
    case ConnectionFailure::Closed:
        Say(said, kClosedTaken, where);
        break;
    case ConnectionFailure::System:
        Say(said, code < 0 ? kCannotConnect : kCannotConnectNumbered, where,
            words != nullptr ? words : "", code);
        break;
    }
    return said;
}

OpenFailure DescribeNegotiationFailure(const char* where, const NegotiationFailure& failure) {
    using Cause = NegotiationFailure::Cause;
    OpenFailure answered;
    switch (failure.cause) {
    case Cause::None:
        return answered;
    case Cause::Refused:
        Say(answered, kOptionRefused);
        break;
    case Cause::NoAnswer:
        Say(answered, kNoAnswerWithin, static_cast<unsigned>(Timing::kOpeningSeconds));
        break;
    case Cause::Answered:
        SayAnswered(answered, failure.field, failure.value);
        break;
    }
    OpenFailure said;
    said.kind = Kind::System;
    Say(said, kNotTaken, answered, where);
    return said;
}
