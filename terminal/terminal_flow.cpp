#include "terminal_flow.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char kUsageLine[] =
    "用法 / usage: baudset-cli [-w SECONDS] PORT [RATE] | --list | --help | --version\n";

// The help around what differs by platform: how a port is named, what else
// ends a run, where the manual is.
constexpr const char kHelpFormat[] =
    "用法: baudset-cli [选项] 端口 [波特率]\n"
    "      baudset-cli --list\n"
    "Usage: baudset-cli [OPTION] PORT [RATE]\n"
    "       baudset-cli --list\n\n"
    "以 9600 8N1 打开端口，等待设备上电后发来的第一行（版本），读出它当前的波特率；\n"
    "给出波特率时再把它设置为该值。\n"
    "Opens PORT at 9600 8N1, waits for the device's first line after a power cycle\n"
    "(its version) and reads its current rate; given RATE, then sets it.\n\n"
    "%s"
    "波特率 / RATE   9600 14400 19200 38400 56000 57600 115200\n\n"
    "  -l, --list            列出串口，每行一个 / list the serial ports, one a line\n"
    "  -w, --wait SECONDS    等待设备第一行的秒数（默认 60）/\n"
    "                        how long to wait for the device's first line (default 60)\n"
    "  -h, --help            显示本帮助并退出 / show this help and exit\n"
    "  -v, --version         显示版本并退出 / show the version and exit\n\n"
    "标准输出 / standard output:  version TEXT | rate RATE | rate unknown |\n"
    "                             set RATE ok | set RATE failed\n"
    "退出状态 / exit status:  0 完成 / done;  1 设备拒绝了设置 / the set was refused;\n"
    "  2 用法错误 / usage;  3 无法打开端口 / the port cannot be opened;\n"
    "  4 设备无回应或连接中断 / nothing from the device, or the link lost;\n"
    "%s"
    "详见 / see: %s\n";

bool Is(const char* word, const char* short_name, const char* long_name) {
    return std::strcmp(word, short_name) == 0 || std::strcmp(word, long_name) == 0;
}

TerminalRequest Usage(const char* chinese, const char* english, const char* word) {
    TerminalRequest request;
    request.action = TerminalRequest::Action::Usage;
    char said[2][256];
    std::snprintf(said[0], sizeof said[0], chinese, word);
    std::snprintf(said[1], sizeof said[1], english, word);
    std::snprintf(request.text, sizeof request.text, "baudset-cli: %s / %s\n%s", said[0], said[1],
                  kUsageLine);
    return request;
}

// SECONDS as typed: whole seconds, or with up to two decimals (0.5). The
// tick is 10 ms, so finer would mean nothing. Strict: "5s" or "-1" is a
// typing error, not zero.
bool ReadSeconds(const char* text, std::uint32_t* ticks) {
    std::uint64_t whole = 0;
    std::uint32_t hundredths = 0;
    const char* at = text;
    for (; *at >= '0' && *at <= '9'; ++at) {
        whole = whole * 10 + static_cast<std::uint64_t>(*at - '0');
        if (whole > TerminalRequest::kMaxWaitSeconds) {
            return false;
        }
    }
    if (at == text && *at != '.') {
        return false;
    }
    if (*at == '.') {
        ++at;
        for (std::uint32_t scale = 10; *at >= '0' && *at <= '9'; ++at, scale /= 10) {
            if (scale == 0) {
                return false;
            }
            hundredths += static_cast<std::uint32_t>(*at - '0') * scale;
        }
    }
    const std::uint64_t total = whole * TerminalRequest::kTicksPerSecond + hundredths;
    if (*at != '\0' || total == 0 ||
        total > std::uint64_t{TerminalRequest::kMaxWaitSeconds} * TerminalRequest::kTicksPerSecond) {
        return false;
    }
    *ticks = static_cast<std::uint32_t>(total);
    return true;
}

int RateIndex(const char* text) {
    for (std::size_t index = 0; index < kRateCount; ++index) {
        if (std::strcmp(text, kRateTable[index]) == 0) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

}  // namespace

const TerminalHelp kLinuxTerminalHelp = {
    "端口 / PORT     ttyUSB0 之类的名字，或路径 / a name such as ttyUSB0, or a path\n"
    "                such as /dev/serial/by-id/usb-...\n",
    "  130, 143, 129 被 Ctrl-C、SIGTERM 或 SIGHUP 中断 / ended by Ctrl-C, SIGTERM or SIGHUP\n",
    "man baudset-cli"};

const TerminalHelp kWindowsTerminalHelp = {
    "端口 / PORT     COM3 之类的名字，或 \\\\.\\COM12 / a name such as COM3, or \\\\.\\COM12\n",
    "  130 被 Ctrl-C 或 Ctrl-Break 中断 / ended by Ctrl-C or Ctrl-Break;\n"
    "  129 控制台窗口被关闭 / the console window was closed;\n"
    "  143 注销或关机 / log-off or shut-down\n",
    "usage.txt"};

TerminalRequest ReadTerminalArguments(int count, const char* const* arguments, const char* version,
                                      const TerminalHelp& help) {
    const char* positional[2] = {};
    int positionals = 0;
    bool list = false;
    bool optionsEnded = false;
    std::uint32_t waitTicks = TerminalRequest::kDefaultWaitSeconds * TerminalRequest::kTicksPerSecond;
    for (int i = 0; i < count; ++i) {
        const char* word = arguments[i];
        if (optionsEnded || word[0] != '-' || word[1] == '\0') {
            if (positionals == 2) {
                return Usage("多余的参数“%s”", "one argument too many: '%s'", word);
            }
            positional[positionals++] = word;
            continue;
        }
        if (std::strcmp(word, "--") == 0) {
            optionsEnded = true;
        } else if (Is(word, "-h", "--help")) {
            TerminalRequest request;
            request.action = TerminalRequest::Action::Help;
            std::snprintf(request.text, sizeof request.text, kHelpFormat, help.ports, help.endings,
                          help.more);
            return request;
        } else if (Is(word, "-v", "--version")) {
            TerminalRequest request;
            request.action = TerminalRequest::Action::Version;
            std::snprintf(request.text, sizeof request.text, "baudset-cli %s\n", version);
            return request;
        } else if (Is(word, "-l", "--list")) {
            list = true;
        } else if (Is(word, "-w", "--wait") || std::strncmp(word, "--wait=", 7) == 0) {
            const char* seconds = std::strchr(word, '=') != nullptr ? word + 7 : nullptr;
            if (seconds == nullptr && (seconds = i + 1 < count ? arguments[++i] : nullptr) == nullptr) {
                return Usage("选项“%s”需要秒数", "option '%s' needs a number of seconds", word);
            }
            if (!ReadSeconds(seconds, &waitTicks)) {
                return Usage("等待时间“%s”无效：应为 0.01 到 86400 之间的秒数",
                             "'%s' is no wait: give seconds from 0.01 to 86400", seconds);
            }
        } else {
            return Usage("未知选项“%s”", "unknown option '%s'", word);
        }
    }
    if (list) {
        if (positionals > 0) {
            return Usage("--list 不接受端口“%s”", "--list takes no port: '%s'", positional[0]);
        }
        TerminalRequest request;
        request.action = TerminalRequest::Action::List;
        return request;
    }
    if (positionals == 0 || positional[0][0] == '\0') {
        return Usage("没有指定端口%s", "no port named%s", "");
    }
    int rateIndex = -1;
    if (positionals == 2 && (rateIndex = RateIndex(positional[1])) < 0) {
        return Usage("不支持的波特率“%s”，可选：9600 14400 19200 38400 56000 57600 115200",
                     "'%s' is no rate of the device's; the rates are 9600 14400 19200 38400 "
                     "56000 57600 115200",
                     positional[1]);
    }
    TerminalRequest request;
    request.action = TerminalRequest::Action::Run;
    request.port = positional[0];
    request.rateIndex = rateIndex;
    request.waitTicks = waitTicks;
    return request;
}

TerminalFlow::TerminalFlow(const TerminalRequest& request, RxAccumulator& accumulator,
                           PortWriter& writer, TerminalOutput& output, TraceChannel& trace)
    : request_(request), output_(output), writer_(writer, finished_),
      engine_(accumulator, writer_, *this, trace) {}

void TerminalFlow::Start(const char* portPath) {
    portPath_ = portPath;
    engine_.Reset();
    engine_.OnPortOpened();
    const unsigned whole = request_.waitTicks / TerminalRequest::kTicksPerSecond;
    const unsigned hundredths = request_.waitTicks % TerminalRequest::kTicksPerSecond;
    // As typed: 60, 1.5, 0.25.
    if (hundredths == 0) {
        std::snprintf(waitText_, sizeof waitText_, "%u", whole);
    } else if (hundredths % 10 == 0) {
        std::snprintf(waitText_, sizeof waitText_, "%u.%u", whole, hundredths / 10);
    } else {
        std::snprintf(waitText_, sizeof waitText_, "%u.%02u", whole, hundredths);
    }
    std::snprintf(line_, sizeof line_,
                  "%s 已以 9600 8N1 打开。请给设备断电再上电，最多等待 %s 秒。/ "
                  "%s is open at 9600 8N1: power-cycle the device now (waiting up to %s s).",
                  portPath, waitText_, portPath, waitText_);
    output_.Message(line_);
}

void TerminalFlow::OnTick() {
    if (finished_) {
        return;
    }
    ++ticks_;
    engine_.OnTick();
    if (finished_) {
        return;
    }
    // Asked between two ticks, as a technician's click would be: the set
    // goes out at the next poll, after the reply to the last command.
    if (setWanted_ && !setRequested_) {
        setRequested_ = true;
        engine_.RequestSetBaud(RateText());
    }
    // Once the device has spoken, the engine's watchdog bounds every wait.
    if (!versionShown_ && ticks_ >= request_.waitTicks) {
        char said[256];
        std::snprintf(said, sizeof said,
                      "%s 秒内设备没有发来有效的一行：请检查接线和电源后重试 / nothing valid "
                      "came from the device within %s s: check the wiring and the power, then "
                      "try again",
                      waitText_, waitText_);
        Finish(TerminalStatus::kNoDevice, said);
    }
}

void TerminalFlow::OnPortDetached() {
    if (finished_) {
        return;
    }
    char said[512];
    std::snprintf(said, sizeof said,
                  "%s 已断开：串口适配器可能已被拔出 / %s went away: the adapter may have been "
                  "unplugged",
                  portPath_, portPath_);
    Finish(TerminalStatus::kNoDevice, said);
}

void TerminalFlow::SetStatusText(const char* text) {
    if (std::strcmp(text, PanelTexts::kNotConnected) == 0 && versionShown_) {
        // Before the first line, "not connected" is only the engine waiting
        // through the power cycle; after it, the device has gone silent.
        Finish(TerminalStatus::kNoDevice,
               "与设备的连接已中断：1.5 秒内没有有效回应 / the link to the device was lost: "
               "nothing valid for 1.5 s");
    }
}

// The first line of what the engine shows, as the window's one-line field
// shows it. Bytes a terminal would act on are written as \xNN, so a device
// can neither garble the technician's screen nor split a script's line.
void TerminalFlow::SetVersionText(const char* text) {
    // The engine shows a line only on connecting, and the blank when the
    // link is lost.
    if (versionShown_ || finished_ || std::strcmp(text, PanelTexts::kBlank) == 0) {
        return;
    }
    versionShown_ = true;
    std::size_t at = static_cast<std::size_t>(std::snprintf(line_, sizeof line_, "version "));
    for (const char* byte = text; *byte != '\0' && *byte != '\r' && *byte != '\n'; ++byte) {
        const unsigned char c = static_cast<unsigned char>(*byte);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            line_[at++] = static_cast<char>(c);
        } else {
            at += static_cast<std::size_t>(std::snprintf(line_ + at, sizeof line_ - at, "\\x%02X", c));
        }
    }
    line_[at] = '\0';
    output_.Result(line_);
}

void TerminalFlow::SelectRate(int index) { selectedRate_ = index; }

// The rate query was judged: the window would now let the technician set.
void TerminalFlow::EnableSetButton(bool enabled) {
    if (!enabled || finished_ || setWanted_) {
        return;
    }
    std::snprintf(line_, sizeof line_, "rate %s",
                  selectedRate_ >= 0 ? kRateTable[selectedRate_] : "unknown");
    output_.Result(line_);
    if (request_.rateIndex < 0) {
        Finish(TerminalStatus::kDone, nullptr);
    } else {
        setWanted_ = true;
    }
}

void TerminalFlow::SetResultText(const char* text) {
    if (!setRequested_ || finished_) {
        return;
    }
    const bool succeeded = std::strcmp(text, PanelTexts::kSetSucceeded) == 0;
    if (!succeeded && std::strcmp(text, PanelTexts::kSetFailed) != 0) {
        return;  // the blank of a fresh connection
    }
    std::snprintf(line_, sizeof line_, "set %s %s", RateText(), succeeded ? "ok" : "failed");
    output_.Result(line_);
    if (succeeded) {
        Finish(TerminalStatus::kDone, nullptr);
        return;
    }
    char said[256];
    std::snprintf(said, sizeof said,
                  "设备没有以 OK 回应 AT+BAUD=%s / the device did not answer AT+BAUD=%s "
                  "with OK",
                  RateText(), RateText());
    Finish(TerminalStatus::kSetRefused, said);
}

void TerminalFlow::Finish(int status, const char* message) {
    if (finished_) {
        return;
    }
    finished_ = true;
    status_ = status;
    if (message != nullptr) {
        output_.Message(message);
    }
}
