#include "terminal_arguments.h"

#include <cstdio>
#include <cstring>

#include "protocol_engine.h"
#include "terminal_words.h"
#include "timing.h"

namespace {

constexpr const char kUsageLine[] =
    "用法 / usage: baudset-cli [-w SECONDS] [--json] PORT... [RATE] | --list | --help | "
    "--version\n";

// The help around what differs by platform: how a port is named, what else
// ends a run, where the manual is.
constexpr const char kHelpFormat[] =
    "用法: baudset-cli [选项] 端口... [波特率]\n"
    "      baudset-cli --list\n"
    "Usage: baudset-cli [OPTION] PORT... [RATE]\n"
    "       baudset-cli --list\n\n"
    "以 9600 8N1 打开端口，等待设备上电后发来的第一行（版本），读出它当前的波特率；\n"
    "给出波特率时再把它设置为该值。\n"
    "Opens PORT at 9600 8N1, waits for the device's first line after a power cycle\n"
    "(its version) and reads its current rate; given RATE, then sets it.\n\n"
    "%s"
    "  rfc2217://主机:端口    终端服务器后面的串口（RFC 2217），服务器的线路由本程序设置 /\n"
    "  rfc2217://HOST:PORT   a port behind a terminal server (RFC 2217), its line set from here\n"
    "  socket://主机:端口     原始 TCP：服务器的线路须已是 9600 8N1 /\n"
    "  socket://HOST:PORT    raw TCP: the server's line must already be at 9600 8N1\n"
    "                        IPv6: rfc2217://[2001:db8::7]:4001\n"
    "  最多 32 个端口一起，一次上电 / up to 32 ports at once, one power cycle for all\n"
    "波特率 / RATE   %s\n\n"
    "  -l, --list            列出串口，每行一个 / list the serial ports, one a line\n"
    "      --long            与 --list 一起：每个串口的来历，以制表符分列 /\n"
    "                        with --list: each port's identity, in tab-separated columns:\n"
    "                        NAME BY-ID VID PID SERIAL MAKER PRODUCT DRIVER (- if none)\n"
    "  -w, --wait SECONDS    等待设备第一行的秒数（默认 60）/\n"
    "                        how long to wait for the device's first line (default 60)\n"
    "      --json            结果为 JSON Lines，每个端口一个对象 /\n"
    "                        results (or --list --long) as JSON Lines, one object a port\n"
    "  -h, --help            显示本帮助并退出 / show this help and exit\n"
    "  -v, --version         显示版本并退出 / show the version and exit\n\n"
    "标准输出 / standard output:  version TEXT | rate RATE | rate unknown |\n"
    "                             set RATE ok | set RATE failed\n"
    "  多个端口时每行前加“端口: ”，每个端口最后一行为 / with several ports each line\n"
    "  starts \"PORT: \", and each port's last line is:  status N [WORDS]\n"
    "退出状态 / exit status:  0 完成 / done;  1 设备拒绝了设置 / the set was refused;\n"
    "  2 用法错误 / usage;  3 无法打开端口 / the port cannot be opened;\n"
    "  4 设备无回应或连接中断 / nothing from the device, or the link lost;\n"
    "%s"
    "  多个端口时为各端口中最大的状态 / with several ports, the highest of theirs\n"
    "详见 / see: %s\n";

bool Is(const char* word, const char* short_name, const char* long_name) {
    return std::strcmp(word, short_name) == 0 || std::strcmp(word, long_name) == 0;
}

// The device's rates as the table spells them, one space between.
struct RateList {
    RateList() {
        std::size_t at = 0;
        for (std::size_t index = 0; index < kRateCount && at < sizeof text; ++index) {
            at += static_cast<std::size_t>(std::snprintf(text + at, sizeof text - at, "%s%s",
                                                         index == 0 ? "" : " ", kRateTable[index]));
        }
    }
    char text[kRateCount * 8] = {};
};

// `more`: what else the sentence names after the word.
TerminalRequest Usage(const TerminalSentence& sentence, const char* word, const char* more = "") {
    TerminalRequest request;
    request.action = TerminalRequest::Action::Usage;
    // A word of any length is cut, not the sentence that explains it; the
    // longest a network address can be (a 255-byte host) is shown whole.
    char shown[300];
    std::snprintf(shown, sizeof shown, "%s", word);
    char said[1536];
    std::snprintf(request.text, sizeof request.text, "baudset-cli: %s\n%s",
                  SayTerminal(sentence, said, sizeof said, shown, more), kUsageLine);
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
    const std::uint64_t total = whole * Timing::kTicksPerSecond + hundredths;
    if (*at != '\0' || total == 0 ||
        total > std::uint64_t{TerminalRequest::kMaxWaitSeconds} * Timing::kTicksPerSecond) {
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

TerminalRequest TooManyPorts(const char* word) {
    char most[8];
    std::snprintf(most, sizeof most, "%d", TerminalRequest::kMostPorts);
    return Usage(TerminalWords::kTooManyPorts, word, most);
}

// A word of digits where a port would be: a rate, which comes last.
bool ReadsAsRate(const char* word) { return word[0] == '\0' || (word[0] >= '0' && word[0] <= '9'); }

}  // namespace

TerminalRequest ReadTerminalArguments(int count, const char* const* arguments, const char* version,
                                      const TerminalHelp& help) {
    // Every port, then the rate: one more than the ports.
    const char* positional[TerminalRequest::kMostPorts + 1] = {};
    int positionals = 0;
    bool list = false;
    bool json = false;
    bool longList = false;
    bool optionsEnded = false;
    std::uint32_t waitTicks = TerminalRequest::kDefaultWaitSeconds * Timing::kTicksPerSecond;
    for (int i = 0; i < count; ++i) {
        const char* word = arguments[i];
        if (optionsEnded || word[0] != '-' || word[1] == '\0') {
            if (positionals > 1 && ReadsAsRate(positional[positionals - 1])) {
                return Usage(TerminalWords::kOneTooMany, word);
            }
            if (positionals == TerminalRequest::kMostPorts + 1) {
                return TooManyPorts(word);
            }
            positional[positionals++] = word;
            continue;
        }
        if (std::strcmp(word, "--") == 0) {
            optionsEnded = true;
        } else if (Is(word, "-h", "--help")) {
            TerminalRequest request;
            request.action = TerminalRequest::Action::Help;
            std::snprintf(request.text, sizeof request.text, kHelpFormat, help.ports,
                          RateList().text, help.endings, help.more);
            return request;
        } else if (Is(word, "-v", "--version")) {
            TerminalRequest request;
            request.action = TerminalRequest::Action::Version;
            std::snprintf(request.text, sizeof request.text, "baudset-cli %s\n", version);
            return request;
        } else if (Is(word, "-l", "--list")) {
            list = true;
        } else if (std::strcmp(word, "--json") == 0) {
            json = true;
        } else if (std::strcmp(word, "--long") == 0) {
            longList = true;
        } else if (Is(word, "-w", "--wait") || std::strncmp(word, "--wait=", 7) == 0) {
            const char* seconds = std::strchr(word, '=') != nullptr ? word + 7 : nullptr;
            if (seconds == nullptr && (seconds = i + 1 < count ? arguments[++i] : nullptr) == nullptr) {
                return Usage(TerminalWords::kNeedsSeconds, word);
            }
            if (!ReadSeconds(seconds, &waitTicks)) {
                return Usage(TerminalWords::kNoWait, seconds);
            }
        } else {
            return Usage(TerminalWords::kUnknownOption, word);
        }
    }
    if (list) {
        if (positionals > 0) {
            return Usage(TerminalWords::kListTakesNoPort, positional[0]);
        }
        TerminalRequest request;
        request.action = TerminalRequest::Action::List;
        request.json = json;
        request.longList = longList;
        return request;
    }
    if (longList) {
        return Usage(TerminalWords::kLongNeedsList, "--long");
    }
    int rateIndex = -1;
    int ports = positionals;
    if (positionals >= 2 && ReadsAsRate(positional[positionals - 1])) {
        ports = positionals - 1;
        if ((rateIndex = RateIndex(positional[ports])) < 0) {
            return Usage(TerminalWords::kNoRate, positional[ports], RateList().text);
        }
    }
    if (ports == 0 || positional[0][0] == '\0') {
        return Usage(TerminalWords::kNoPort, "");
    }
    if (ports > TerminalRequest::kMostPorts) {
        return TooManyPorts(positional[TerminalRequest::kMostPorts]);
    }
    TerminalRequest request;
    for (int at = 0; at < ports; ++at) {
        const char* word = positional[at];
        for (int before = 0; before < at; ++before) {
            // Two runs on one port would each take the other's answers.
            if (std::strcmp(positional[before], word) == 0) {
                return Usage(TerminalWords::kPortTwice, word);
            }
        }
        if (word[0] == '\0') {
            return Usage(TerminalWords::kNoPort, "");
        }
        PortRequest& port = request.ports[at];
        if (NamesNetworkPort(word)) {
            const AddressReading reading = ReadNetworkAddress(word, &port.address);
            if (reading == AddressReading::LooseNumeric) {
                return Usage(TerminalWords::kLooseNumericHost, port.address.host);
            }
            if (reading == AddressReading::Malformed) {
                return Usage(TerminalWords::kNoNetworkPort, word);
            }
            port.network = true;
        }
        port.port = word;
    }
    request.action = TerminalRequest::Action::Run;
    request.portCount = ports;
    request.rateIndex = rateIndex;
    request.waitTicks = waitTicks;
    request.json = json;
    return request;
}
