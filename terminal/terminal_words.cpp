#include "terminal_words.h"

#include <cstdarg>
#include <cstdio>

namespace TerminalWords {

constexpr bool kTight = true;

const TerminalSentence kPrompt = {
    "%s 已以 9600 8N1 打开。请给设备断电再上电，最多等待 %s 秒。",
    "%s is open at 9600 8N1: power-cycle the device now (waiting up to %s s).", kTight};
const TerminalSentence kPromptForMany = {
    "%d 个端口已以 9600 8N1 打开。请给这些设备断电再上电，最多等待 %s 秒。",
    "%d ports are open at 9600 8N1: power-cycle the devices now (waiting up to %s s).", kTight};
// Raw TCP carries no settings: a wrong line only shows as silence.
const TerminalSentence kRawTcpNote = {
    "注意：baudset 无法设置或查看 %s 服务器的线路，它必须已是 9600 8N1",
    "note: baudset can neither set nor see the line of the server at %s: it must be at 9600 8N1",
    false};
const TerminalSentence kNothingValid = {
    "%s 秒内设备没有发来有效的一行：请检查接线和电源后重试",
    "nothing valid came from the device within %s s: check the wiring and the power, then try "
    "again",
    false};
const TerminalSentence kLinkLost = {"与设备的连接已中断：1.5 秒内没有有效回应",
                                    "the link to the device was lost: nothing valid for 1.5 s",
                                    false};
const TerminalSentence kAdapterGone = {"%s 已断开：串口适配器可能已被拔出",
                                       "%s went away: the adapter may have been unplugged", false};
// Boards powered from their adapter lose it in their power cycle.
const TerminalSentence kAwaited = {
    "%s 已断开，在等待时间内等它重新出现（板子从适配器取电时，断电会使适配器消失）",
    "%s went away; waiting for it to come back within the wait (a board powered from its "
    "adapter takes the adapter with it in its power cycle)",
    false};
const TerminalSentence kNotBack = {"%s 在 %s 秒内没有重新出现：请检查适配器和接线",
                                   "%s did not come back within %s s: check the adapter and the "
                                   "wiring", false};
const TerminalSentence kConnectionLost = {"与 %s 的连接已断开", "the connection to %s was lost",
                                          false};
const TerminalSentence kSetRefused = {"设备没有以 OK 回应 AT+BAUD=%s",
                                      "the device did not answer AT+BAUD=%s with OK", false};
const TerminalSentence kInterrupted = {"已中断", "interrupted", false};
const TerminalSentence kTerminated = {"已终止", "terminated", false};
const TerminalSentence kHungUp = {"终端已关闭", "the terminal closed", false};
const TerminalSentence kRestoreUnconfirmed = {
    "警告：%s 服务器的线路可能没有恢复原样：服务器没有确认它的设置",
    "warning: the line of the server at %s may not have been put back: the server did not "
    "acknowledge its settings",
    false};
const TerminalSentence kSpeedNotRestorable = {
    "注意：%s 原来的速度在这里无法恢复，线路保持 9600 8N1",
    "note: %s was found at a speed that cannot be put back here: the line is left at 9600 8N1",
    false};

const TerminalSentence kOneTooMany = {"多余的参数“%s”", "one argument too many: '%s'", false};
const TerminalSentence kNeedsSeconds = {"选项“%s”需要秒数", "option '%s' needs a number of seconds",
                                        false};
const TerminalSentence kNoWait = {"等待时间“%s”无效：应为 0.01 到 86400 之间的秒数",
                                  "'%s' is no wait: give seconds from 0.01 to 86400", false};
const TerminalSentence kUnknownOption = {"未知选项“%s”", "unknown option '%s'", false};
const TerminalSentence kListTakesNoPort = {"--list 不接受端口“%s”", "--list takes no port: '%s'",
                                           false};
const TerminalSentence kLongNeedsList = {"%s 只能与 --list 一起使用", "%s goes with --list",
                                         false};
const TerminalSentence kNoPort = {"没有指定端口", "no port named", false};
const TerminalSentence kTooManyPorts = {"端口太多，从“%s”起：一次最多 %s 个",
                                        "too many ports from '%s' on: at most %s in one run", false};
// Two runs on one port would each take the other's answers.
const TerminalSentence kPortTwice = {"端口“%s”出现了两次", "port '%s' is named twice", false};
const TerminalSentence kNoRate = {"不支持的波特率“%s”，可选：%s",
                                  "'%s' is no rate of the device's; the rates are %s", false};
const TerminalSentence kNoNetworkPort = {
    "“%s”不是网络端口：应为 rfc2217://主机:端口、rfc2217://[IPv6 地址]:端口 "
    "或 socket://主机:端口（端口 1 到 65535）",
    "'%s' is no network port: give rfc2217://HOST:PORT, rfc2217://[IPv6 ADDRESS]:PORT or "
    "socket://HOST:PORT (PORT 1 to 65535)",
    false};
// Resolvers read 2130706433 and 0x7f.1 as 127.0.0.1, and 010.1.2.3 as
// 8.1.2.3: a padded address would reach another machine.
const TerminalSentence kLooseNumericHost = {
    "“%s”不是有效的 IPv4 地址：请写成四个 0 到 255 的十进制数，不要前导零，例如 192.168.1.7",
    "'%s' is no IPv4 address baudset accepts: write four decimal numbers 0 to 255 without "
    "leading zeros, such as 192.168.1.7",
    false};

const TerminalSentence kTooManyArguments = {"参数太多", "too many arguments", false};
const TerminalSentence kArgumentsTooLong = {"参数太长", "the arguments are too long", false};
// Before the port: nothing is wrong with it, and it was not touched.
const TerminalSentence kNoEvent = {
    "Windows 没有给出本程序所需的事件，未打开串口（错误 %lu）",
    "Windows gave no event the program needs; the port was not opened (error %lu)", kTight};
// The key went away under the listing (the last adapter pulled), or
// Windows refused to read it.
const TerminalSentence kListBrokenOff = {"Windows 中断了串口列表的读取（错误 %lu）",
                                         "Windows broke off the list of ports (error %lu)", kTight};
const TerminalSentence kPortsNotListed = {
    "另有 %d 个串口未列出：只列出前 %d 个，名字最长 %d 字节",
    "%d more ports not listed: the first %d are listed, names up to %d bytes", false};

}  // namespace TerminalWords

namespace {

// Where the next piece goes: after what `written` added at `at`, or on the
// terminator when the line is full, so that the rest is cut, never written
// past the end.
std::size_t After(std::size_t at, int written, std::size_t size) {
    const std::size_t end = at + static_cast<std::size_t>(written > 0 ? written : 0);
    return end < size ? end : size - 1;
}

}  // namespace

const char* SayTerminal(const TerminalSentence& sentence, char* line, std::size_t size, ...) {
    if (size == 0) {
        return line;
    }
    std::va_list words;
    std::va_list again;  // the English takes the same words
    va_start(words, size);
    va_copy(again, words);
    std::size_t at = After(0, std::vsnprintf(line, size, sentence.chinese, words), size);
    at = After(at, std::snprintf(line + at, size - at, "%s", sentence.tight ? "/ " : " / "), size);
    std::vsnprintf(line + at, size - at, sentence.english, again);
    va_end(again);
    va_end(words);
    return line;
}

const char* SayInEnglish(const TerminalSentence& sentence, char* line, std::size_t size, ...) {
    if (size == 0) {
        return line;
    }
    std::va_list words;
    va_start(words, size);
    std::vsnprintf(line, size, sentence.english, words);
    va_end(words);
    return line;
}
