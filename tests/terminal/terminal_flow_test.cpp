// The terminal program's flow: what its command line means, before any
// port is touched, and what it prints and ends with, as transcripts
// against a scripted device with time moved by ticks.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <cstring>

#include "fake_device.h"
#include "terminal_arguments.h"
#include "terminal_flow.h"
#include "port_identity.h"
#include "run_report.h"
#include "terminal_loop.h"

namespace {

using Action = TerminalRequest::Action;

// Each platform's main hands in its own parts; these say where they land.
const TerminalHelp kHelp = {"PORTS ARE NAMED SO\n", "ENDED SO\n", "MANUAL"};

// The longest host a resolver takes: 255 bytes.
const std::string kLongest = "socket://" + std::string(255, 'h') + ":1";
const std::string kTooLong = "socket://" + std::string(256, 'h') + ":1";

TEST(ReadTerminalArguments, WordsToRequests) {
    const struct {
        std::vector<const char*> words;
        Action action;
        const char* port;
        int rateIndex;
        std::uint32_t waitTicks;
        const char* said;  // a piece of the text, "" for none
        const char* address = nullptr;  // a network port: "MODE HOST SERVICE"
    } cases[] = {
        {{"ttyUSB0"}, Action::Run, "ttyUSB0", -1, 6000, ""},
        {{"/dev/ttyAMA0", "115200"}, Action::Run, "/dev/ttyAMA0", 6, 6000, ""},
        {{"-w", "2", "ttyUSB0", "9600"}, Action::Run, "ttyUSB0", 0, 200, ""},
        {{"ttyUSB0", "--wait=0.25"}, Action::Run, "ttyUSB0", -1, 25, ""},
        {{"--wait", "1.5", "ttyUSB0"}, Action::Run, "ttyUSB0", -1, 150, ""},
        {{"--wait", "86400", "ttyUSB0"}, Action::Run, "ttyUSB0", -1, 8640000, ""},
        {{"--", "-odd-name"}, Action::Run, "-odd-name", -1, 6000, ""},
        {{"--list"}, Action::List, nullptr, -1, 6000, ""},
        {{"ttyUSB0", "-h"}, Action::Help, nullptr, -1, 6000, "exit status"},
        {{"-v"}, Action::Version, nullptr, -1, 6000, "baudset-cli 1.2+3.gabc\n"},
        {{"--help"}, Action::Help, nullptr, -1, 6000,
         "then sets it.\n\nPORTS ARE NAMED SO\n  rfc2217://主机:端口"},
        {{"--help"}, Action::Help, nullptr, -1, 6000, "or the link lost;\nENDED SO\n  多个端口时为各端口中最大的状态 / with several ports, the highest of theirs\n详见 / see: MANUAL\n"},
        {{"--help"}, Action::Help, nullptr, -1, 6000, "\n波特率 / RATE   9600 14400 19200 38400 56000 57600 115200\n\n"},
        // Rates are the table's, spelled as it spells them.
        {{"ttyUSB0", "115201"}, Action::Usage, nullptr, -1, 6000, "9600 14400 19200 38400 56000 57600 115200"},
        {{"ttyUSB0", ""}, Action::Usage, nullptr, -1, 6000, "''"},
        // A wait is seconds from 0.01 to a day, nothing else.
        {{"--wait", "0", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'0' is no wait"},
        {{"--wait", "0.001", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'0.001'"},
        {{"--wait", "2.505", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'2.505'"},
        {{"--wait", "86401", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'86401'"},
        {{"--wait", "99999999999999999999", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "no wait"},
        {{"--wait", "5s", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'5s'"},
        {{"--wait=", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'' is no wait"},
        {{"ttyUSB0", "--wait"}, Action::Usage, nullptr, -1, 6000, "'--wait' needs"},
        {{}, Action::Usage, nullptr, -1, 6000, "no port named"},
        {{"ttyUSB0", "9600", "x"}, Action::Usage, nullptr, -1, 6000, "too many: 'x'"},
        {{"--list", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "--list takes no port"},
        {{"--speed", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "unknown option '--speed'"},
        // A port behind a terminal server, read whole and strictly.
        {{"rfc2217://gw-07:4001", "115200"}, Action::Run, "rfc2217://gw-07:4001", 6, 6000, "",
         "rfc2217 gw-07 4001 gw-07:4001"},
        {{"rfc2217://[fe80::1%eth0]:04001"}, Action::Run, "rfc2217://[fe80::1%eth0]:04001", -1, 6000,
         "", "rfc2217 fe80::1%eth0 4001 [fe80::1%eth0]:04001"},
        {{"socket://10.0.0.7:65535"}, Action::Run, "socket://10.0.0.7:65535", -1, 6000, "",
         "socket 10.0.0.7 65535 10.0.0.7:65535"},
        {{kLongest.c_str()}, Action::Run, kLongest.c_str(), -1, 6000, ""},
        {{"rfc2217://gw-07"}, Action::Usage, nullptr, -1, 6000,
         "'rfc2217://gw-07' is no network port: give rfc2217://HOST:PORT"},
        {{"rfc2217://fe80::1:4001"}, Action::Usage, nullptr, -1, 6000, "is no network port"},
        {{"rfc2217://gw-07:0"}, Action::Usage, nullptr, -1, 6000, "is no network port"},
        {{"rfc2217://[::1]4001"}, Action::Usage, nullptr, -1, 6000, "is no network port"},
        {{"rfc2217://gw-07:+4001"}, Action::Usage, nullptr, -1, 6000, "is no network port"},
        {{"rfc2217://gw-07:4001/"}, Action::Usage, nullptr, -1, 6000, "is no network port"},
        {{"rfc2217://gw 07:4001"}, Action::Usage, nullptr, -1, 6000, "is no network port"},
        {{"rfc2217://[gw-07]:4001"}, Action::Usage, nullptr, -1, 6000, "is no network port"},
        {{"socket://gw-07:65536"}, Action::Usage, nullptr, -1, 6000, "is no network port"},
        {{"socket://gw-07:4294967297"}, Action::Usage, nullptr, -1, 6000, "is no network port"},
        {{"RFC2217://[fe80::1%25eth0]:4001"}, Action::Run, "RFC2217://[fe80::1%25eth0]:4001", -1, 6000,
         "", "rfc2217 fe80::1%eth0 4001 [fe80::1%25eth0]:4001"},
        // A number the resolver reads otherwise: 127.0.0.1, 127.0.0.1, 8.1.2.3.
        {{"socket://2130706433:1"}, Action::Usage, nullptr, -1, 6000, "'2130706433' is no IPv4 address"},
        {{"socket://0x7f.1:1"}, Action::Usage, nullptr, -1, 6000, "“0x7f.1”不是有效的 IPv4 地址"},
        {{"socket://010.1.2.3:1"}, Action::Usage, nullptr, -1, 6000, "'010.1.2.3' is no IPv4"},
        {{"socket://1.2.3.256:1"}, Action::Usage, nullptr, -1, 6000, "'1.2.3.256' is no IPv4"},
        {{kTooLong.c_str()}, Action::Usage, nullptr, -1, 6000, "is no network port"},
    };
    for (const auto& c : cases) {
        const TerminalRequest request =
            ReadTerminalArguments(static_cast<int>(c.words.size()), c.words.data(), "1.2+3.gabc",
                                  kHelp);
        std::string line;
        for (const char* word : c.words) {
            line += std::string(" '") + word + "'";
        }
        SCOPED_TRACE(line + ": " + request.text);
        EXPECT_EQ(request.action, c.action);
        EXPECT_STREQ(request.ports[0].port, c.port);
        if (c.action == Action::Run) {
            EXPECT_EQ(request.rateIndex, c.rateIndex);
            EXPECT_EQ(request.waitTicks, c.waitTicks);
        }
        EXPECT_NE(std::string(request.text).find(c.said), std::string::npos);
        const PortRequest& port = request.ports[0];
        EXPECT_EQ(port.network, c.address != nullptr || c.port == kLongest.c_str());
        const char* mode = port.address.mode == RemoteLine::Mode::Raw ? "socket " : "rfc2217 ";
        EXPECT_TRUE(c.address == nullptr || mode + std::string(port.address.host) + " " +
                                                    port.address.service + " " + port.address.where == c.address);
        if (c.action == Action::Help) {  // whole: the buffer took all of it
            EXPECT_NE(std::string(request.text).find("\n详见 / see: "), std::string::npos);
        }
        // A usage error ends with the usage line, for the one who typed it.
        EXPECT_EQ(std::string(request.text).find("用法 / usage: baudset-cli") != std::string::npos,
                  c.action == Action::Usage);
    }
}

TEST(ReadTerminalArguments, SeveralPortsThenTheRate) {
    std::vector<std::string> rack(33);
    std::vector<const char*> tooMany;
    for (std::size_t i = 0; i < rack.size(); ++i) {
        tooMany.push_back((rack[i] = "ttyUSB" + std::to_string(i)).c_str());
    }
    std::vector<const char*> mostAndRate(tooMany.begin(), tooMany.end() - 1);
    mostAndRate.push_back("57600");
    const struct {
        std::vector<const char*> words;
        int ports, rateIndex;  // ports 0: a usage error
        const char* said;
    } cases[] = {
        {{"ttyUSB0", "rfc2217://gw-07:4001", "ttyS1"}, 3, -1, ""},
        {{"--json", "ttyUSB0", "socket://10.0.0.7:1", "115200"}, 2, 6, ""},
        {mostAndRate, 32, 5, ""},
        {tooMany, 0, -1, "too many ports from 'ttyUSB32' on: at most 32 in one run"},
        {{"ttyUSB0", "ttyUSB1", "ttyUSB0"}, 0, -1, "port 'ttyUSB0' is named twice"},
        {{"ttyUSB0", "115200", "ttyUSB1"}, 0, -1, "one argument too many: 'ttyUSB1'"},
        {{"ttyUSB0", "ttyUSB1", "115201"}, 0, -1, "'115201' is no rate"},
        {{"ttyUSB0", "rfc2217://gw-07", "9600"}, 0, -1, "is no network port"},
    };
    for (const auto& c : cases) {
        const TerminalRequest request = ReadTerminalArguments(static_cast<int>(c.words.size()),
                                                              c.words.data(), "1", kHelp);
        SCOPED_TRACE(std::string(c.words[0]) + " ... " + request.text);
        EXPECT_EQ(request.action, c.ports > 0 ? Action::Run : Action::Usage);
        EXPECT_EQ(request.portCount, c.ports);
        EXPECT_NE(std::string(request.text).find(c.said), std::string::npos);
        for (int i = 0; i < c.ports; ++i) {
            EXPECT_STREQ(request.ports[i].port, c.words[i + (c.words[0][0] == '-' ? 1 : 0)]);
            EXPECT_EQ(request.ports[i].network, std::strstr(request.ports[i].port, "://") != nullptr);
        }
        if (c.ports > 0) {
            EXPECT_EQ(request.rateIndex, c.rateIndex);
            EXPECT_EQ(request.json, std::string(c.words[0]) == "--json");
        }
    }
}

// The rates a technician reads are the table's: every list of them in the
// README, the manual page and the zip's guide, however it is spelled there.
TEST(RateTable, IsWhatTheDocumentsList) {
    std::string table = kRateTable[0];
    for (std::size_t index = 1; index < kRateCount; ++index) {
        table += std::string(" ") + kRateTable[index];
    }
    const std::pair<const char*, int> documents[] = {{"README.md", 2}, {"docs/baudset-cli.1", 1}, {"docs/usage.txt", 4}};
    const std::regex list(R"(\d{4,}(?:(?:、|,?\s+(?:and\s+)?)\d{4,}){3,})"), between("[^0-9]+");
    for (const auto& [name, lists] : documents) {
        std::ifstream file(std::string(BAUDSET_SOURCE_DIR "/") + name);
        const std::string text{std::istreambuf_iterator<char>(file), {}};
        int found = 0;
        for (std::sregex_iterator each(text.begin(), text.end(), list), end; each != end; ++each, ++found) {
            EXPECT_EQ(std::regex_replace(each->str(), between, " "), table) << name;
        }
        EXPECT_EQ(found, lists) << name;
    }
}

class RecordingOutput : public TerminalOutput {
public:
    void Result(const char* line) override { results += std::string(line) + "\n"; }
    void Message(const char* line) override { messages += std::string(line) + "\n"; }
    void Draw(const char* text) override { drawn += text; }
    std::string results, messages, drawn;
};

constexpr int kNever = 1 << 30;

// One run against a device that answers each command at once: off until
// it sends `banner` at tick `bannerTick`, silent from `silentTick`.
// `event` at tick 40 stands for what the platform reports: a signal, an
// unplugged adapter.
struct FlowCase {
    const char* title;
    const char* rate;
    const char* banner;
    int bannerTick;
    const char* rateReply;
    const char* setReply;
    int silentTick;
    void (TerminalFlow::*event)();
    const char* results;
    int status;
    int ticks;         // when it ended: time is counted in ticks
    const char* sent;  // the commands other than the keep-alive
    const char* said;  // a piece of standard error
    const char* port = "ttyUSB0";
};

TEST(TerminalFlow, PrintsWhatTheEngineShowsAndEndsWithItsStatus) {
    using F = TerminalFlow;
    const char* V = "V2.1\r\n";
    const FlowCase cases[] = {
        // Banner judged at 120, the rate at 150; the set goes out at the
        // next poll, as a click right then would send it, and is judged at 210.
        {"read", nullptr, V, 95, "9600\r\n", "", kNever, nullptr, "version V2.1\nrate 9600\n", 0,
         150, "AT+BAUD?\r\n", "power-cycle the device now (waiting up to 2.5 s)"},
        {"set", "115200", V, 95, "9600\r\n", "OK\r\n", kNever, nullptr,
         "version V2.1\nrate 9600\nset 115200 ok\n", 0, 210, "AT+BAUD?\r\nAT+BAUD=115200\r\n", ""},
        {"refused", "57600", V, 95, "9600\r\n", "ERROR\r\n", kNever, nullptr,
         "version V2.1\nrate 9600\nset 57600 failed\n", 1, 210, "AT+BAUD?\r\nAT+BAUD=57600\r\n",
         "did not answer AT+BAUD=57600 with OK"},
        {"a rate not in the table", nullptr, V, 95, "9600 \r\n", "", kNever, nullptr,
         "version V2.1\nrate unknown\n", 0, 150, nullptr, ""},
        {"the first line only, escaped", nullptr, "V\x01\\2\r\nOK\r\n", 95, "9600\r\n", "", kNever,
         nullptr, "version V\\x01\\x5C2\nrate 9600\n", 0, 150, nullptr, ""},
        // Banner judged at 90, then 150 ticks of nothing valid.
        {"silent after the version", "9600", V, 65, "9600\r\n", "", 70, nullptr, "version V2.1\n",
         4, 240, nullptr, "the link to the device was lost"},
        // Nothing is ever set after the wait.
        {"never on", "115200", "", kNever, "", "", kNever, nullptr, "", 4, 250, "", "within 2.5 s"},
        {"Ctrl-C", nullptr, "", kNever, "", "", kNever, &F::OnInterrupt, "", 130, 41, "", "interrupted"},
        {"SIGTERM", nullptr, "", kNever, "", "", kNever, &F::OnTerminate, "", 143, 41, "", "terminated"},
        {"SIGHUP", nullptr, "", kNever, "", "", kNever, &F::OnHangUp, "", 129, 41, "", "terminal closed"},
        {"unplugged", nullptr, "", kNever, "", "", kNever, &F::OnPortDetached, "", 4, 41, "",
         "/dev/ttyUSB0 went away"},
        {"the connection lost", nullptr, "", kNever, "", "", kNever, &F::OnPortDetached, "", 4, 41, "",
         "与 gw-07:4001 的连接已断开 / the connection to gw-07:4001 was lost", "rfc2217://gw-07:4001"},
        {"raw TCP: said before the prompt", nullptr, V, 95, "9600\r\n", "", kNever, nullptr, "version V2.1\nrate 9600\n",
         0, 150, "AT+BAUD?\r\n", "gw-07:4001 服务器的线路，它必须已是 9600 8N1 / note: baudset can neither set nor see the "
         "line of the server at gw-07:4001: it must be at 9600 8N1\n/dev/ttyUSB0 已以", "socket://gw-07:4001"},
    };
    for (const FlowCase& c : cases) {
        SCOPED_TRACE(c.title);
        const char* words[] = {"--wait", "2.5", c.port, c.rate};
        const TerminalRequest request = ReadTerminalArguments(c.rate != nullptr ? 4 : 3, words, "1", kHelp);
        RxAccumulator accumulator;
        RecordingWriter writer;
        RecordingOutput output;
        TraceChannel trace;
        TerminalFlow flow(request, request.ports[0], accumulator, writer, output, trace);
        flow.Start("/dev/ttyUSB0");
        // Ticked until it ends, as the terminal program's loop does.
        int tick = 0;
        for (std::size_t answered = 0; !flow.Finished() && tick < 100000; ++tick) {
            if (tick == c.bannerTick) {
                accumulator.Append(c.banner, std::strlen(c.banner));
            }
            if (tick == 40 && c.event != nullptr) {
                (flow.*c.event)();
            }
            flow.OnTick();
            for (; answered < writer.writes.size(); ++answered) {
                const std::string& command = writer.writes[answered];
                const char* reply = command == "AT+BAUD?\r\n" ? c.rateReply
                                    : command == "AT\r\n"      ? "OK\r\n"
                                                               : c.setReply;
                if (tick >= c.bannerTick && tick < c.silentTick) {
                    accumulator.Append(reply, std::strlen(reply));
                }
            }
        }
        std::string sent;
        for (const std::string& command : writer.writes) {
            sent += command == "AT\r\n" ? "" : command;
        }
        EXPECT_EQ(output.results, c.results);
        EXPECT_EQ(flow.ExitStatus(), c.status);
        EXPECT_EQ(tick, c.ticks);
        if (c.sent != nullptr) {
            EXPECT_EQ(sent, c.sent);
        }
        EXPECT_NE(output.messages.find(c.said), std::string::npos) << output.messages;
        EXPECT_EQ(output.messages.find("9600 8N1 /"), output.messages.rfind("9600 8N1 /"));
        // A run that ends on the device's answer writes nothing after it.
        if (c.status <= TerminalStatus::kSetRefused) {
            EXPECT_NE(writer.writes.back(), "AT\r\n") << "a keep-alive after the answer";
        }
    }
}

// A port and a platform scripted by the clock: the port opens at `readyAt`
// (or fails to then), goes away at `lostAt` with no wake of its own and
// takes 20 ticks to close (1 s without them); `ending` comes at 300 ms; with
// `late`, the wait at 100 ms comes back 10 s on. Ports `sharing` its clock
// are waited with it.
struct Script {
    std::uint64_t readyAt, lostAt;
    bool failed, late, unconfirmed;
    Ending ending;
    std::uint64_t backAt = 0;  // lost, then awaited and back then; 0: not awaited
};
struct ScriptedLoop : LoopPlatform, ServedPort, Script {
    explicit ScriptedLoop(const Script& script) : Script(script) {}
    std::uint64_t now = 0, closeAskedAt = 0;
    int closingTicks = -1, ticksThisWake = 0, mostTicksPerWake = 0;
    OpenFailure failure = DescribeConnectionFailure(ConnectionFailure::NoAnswer, "gw-07:4001", "", -1);
    std::uint64_t Milliseconds() override { return now; }
    std::vector<ScriptedLoop*> sharing;
    void Wait(const WaitOn* waits, int count, std::uint32_t ms) override {
        now += std::exchange(late, late && now < 100) && now >= 100 ? 10000 : ms, ticksThisWake = 0;
        for (ScriptedLoop* port : sharing) {
            port->Wait(waits, count, ms);
        }
    }
    Ending TakeEnding() override { return now >= 300 ? std::exchange(ending, Ending::None) : Ending::None; }
    Phase CurrentPhase() const override {
        return closingTicks >= 20 || (closingTicks >= 0 && now > closeAskedAt + 1000) ? Phase::Closed
               : closingTicks >= 0 ? Phase::Closing : now < readyAt ? Phase::Opening
               : failed ? Phase::Closed : now < lostAt ? Phase::Ready
               : awaited ? (now < backAt ? Phase::Opening : Phase::Ready) : Phase::Lost;
    }
    bool awaited = false;
    bool AwaitReturn() override { return awaited = backAt != 0; }
    void OnTick() override { mostTicksPerWake = std::max(mostTicksPerWake, ++ticksThisWake), closingTicks += closingTicks >= 0; }
    void BeginClose() override { closeAskedAt = now, closingTicks = 0; }
    const OpenFailure& OpeningFailure() const override { return failure; }
    bool RestoreUnconfirmed() const override { return unconfirmed; }
    WaitOn Waitable() const override { return {}; }
    void Service() override {}
    void Write(const char*, std::size_t) override {}
};

TEST(ServeRun, HearsEndingsAndLossOnEveryPassAndServesThePortUntilLetGo) {
    const std::uint64_t N = 1 << 30;
    const Ending I = Ending::Interrupt, None = Ending::None;
    const struct {
        const char* title;
        Script script;
        int status, closeAskedBy, mostTicksPerWake;
        const char* said;  // standard error's start, from the prompt's end where there is one
    } cases[] = {
        {"lost between two waits", {0, 500, false, false, false, None}, 4, 500, 1,
         "2.5 s).\n与 gw-07:4001 的连接已断开 / the connection to gw-07:4001 was lost\n"},
        {"a wake 10 s late", {0, N, false, true, false, None}, 4, 10200, 30, "2.5 s).\n2.5 秒内设备没有"},
        {"Ctrl-C while opening", {60000, N, true, false, false, I}, 130, 300, 1, "已中断 / interrupted\n"},
        {"SIGTERM", {60000, N, true, false, false, Ending::Terminate}, 143, 300, 1, "已终止 / terminated\n"},
        {"SIGHUP", {60000, N, true, false, false, Ending::HangUp}, 129, 300, 1, "终端已关闭 / the terminal closed\n"},
        {"gone before the first line, back, still silent", {0, 500, false, false, false, None, 900}, 4,
         2600, 1, "2.5 s).\nrfc2217://gw-07:4001 已断开，在等待时间内等它重新出现（板子从适配器取电时，断电会使"
         "适配器消失） / rfc2217://gw-07:4001 went away; waiting for it to come back within the wait (a board "
         "powered from its adapter takes the adapter with it in its power cycle)\n2.5 秒内设备没有"},
        {"gone before the first line, never back", {0, 500, false, false, false, None, N}, 4, 2600, 1,
         "2.5 s).\nrfc2217://gw-07:4001 已断开，在等待时间内等它重新出现（板子从适配器取电时，断电会使"
         "适配器消失） / rfc2217://gw-07:4001 went away; waiting for it to come back within the wait (a board "
         "powered from its adapter takes the adapter with it in its power cycle)\nrfc2217://gw-07:4001 在 2.5 "
         "秒内没有重新出现"},
        {"the opening failed", {200, N, true, false, false, None}, 3, 200, 1,
         "gw-07:4001 在 5 秒内没有回应\nno answer from gw-07:4001 within 5 s\n"},
        {"the restore never acknowledged", {0, N, false, false, true, I}, 130, 300, 1,
         "2.5 s).\n已中断 / interrupted\n警告：gw-07:4001 服务器的线路可能没有恢复原样：服务器没有确认它的设置 / "
         "warning: the line of the server at gw-07:4001 may not have been put back: the server did not acknowledge its settings\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const char* words[] = {"--wait", "2.5", "rfc2217://gw-07:4001"};
        const TerminalRequest request = ReadTerminalArguments(3, words, "1", kHelp);
        ScriptedLoop loop(c.script);
        RxAccumulator accumulator;
        RecordingOutput output;
        TraceChannel trace;
        TerminalFlow flow(request, request.ports[0], accumulator, loop, output, trace);
        PortRun run(loop, flow, request.ports[0].port, output);
        EXPECT_EQ(ServeRun(run, loop, output), c.status);
        const std::size_t prompt = output.messages.find("2.5 s).\n");  // only where the port opened
        EXPECT_EQ(output.messages.substr(prompt == std::string::npos ? 0 : prompt, std::strlen(c.said)), c.said);
        EXPECT_GE(loop.closingTicks, 20);  // served until its ticks let it go
        EXPECT_LE(loop.closeAskedAt, static_cast<std::uint64_t>(c.closeAskedBy));
        EXPECT_EQ(loop.mostTicksPerWake, c.mostTicksPerWake);
    }
}

TEST(ServeRuns, EachPortOnItsOwnAndTheirBlocksInTheOrderTyped) {
    const std::uint64_t N = 1 << 30;
    const ReportShape lines{true, false, false}, json{true, true, false}, table{true, false, true};
    const char* const blocks =
        "rfc2217://a:1: status 3 no answer from gw-07:4001 within 5 s\n"
        "rfc2217://c:1: status 4 nothing valid came from the device within 2.5 s: check the wiring "
        "and the power, then try again\n"
        "rfc2217://b:1: status 4 the connection to b:1 was lost\n";
    const struct {
        const char* title;
        Ending ending;  // at 300 ms
        int status;
        ReportShape shape;
        const char* results;
        const char* drawn;  // the table's last rows
    } cases[] = {
        {"each to its own end", Ending::None, 4, lines, blocks, ""},
        {"an ending ends every run", Ending::Terminate, 143, lines,
         "rfc2217://a:1: status 3 no answer from gw-07:4001 within 5 s\n"
         "rfc2217://c:1: status 143 terminated\nrfc2217://b:1: status 143 terminated\n", ""},
        // An object a port as its run ends, whatever the order typed.
        {"as JSON", Ending::None, 4, json,
         R"({"port":"rfc2217://a:1","version":null,"rate":null,"requested":null,"set":null,"status":3,)"
         R"("error":"no answer from gw-07:4001 within 5 s"})" "\n"
         R"({"port":"rfc2217://b:1","version":null,"rate":null,"requested":null,"set":null,"status":4,)"
         R"("error":"the connection to b:1 was lost"})" "\n"
         R"({"port":"rfc2217://c:1","version":null,"rate":null,"requested":null,"set":null,"status":4,)"
         R"("error":"nothing valid came from the device within 2.5 s: check the wiring and the power, )"
         R"(then try again"})" "\n", ""},
        {"as a table on a terminal", Ending::None, 4, table, blocks,
         "\x1b[3F\x1b[2Krfc2217://a:1  失败 / failed (3)  no answer from gw-07:4001 within 5 s\n"
         // Cut at 79 cells, a Chinese character two: no terminal wraps a row.
         "\x1b[2Krfc2217://c:1  失败 / failed (4)  2.5 秒内设备没有发来有效的一行：请检查接线和\n"
         "\x1b[2Krfc2217://b:1  失败 / failed (4)  与 b:1 的连接已断开 / the connection to b:1 w\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const char* words[] = {"--wait", "2.5", "rfc2217://a:1", "rfc2217://c:1", "rfc2217://b:1"};
        const TerminalRequest request = ReadTerminalArguments(5, words, "1", kHelp);
        // a fails to open at 200 ms, c never hears its device, b goes away at 500 ms.
        ScriptedLoop ports[] = {ScriptedLoop({200, N, true, false, false, c.ending}),
                                ScriptedLoop({0, N, false, false, false, Ending::None}),
                                ScriptedLoop({0, 500, false, false, false, Ending::None})};
        RecordingOutput shared;
        RxAccumulator accumulators[3];
        TraceChannel trace;
        PortOutput outputs[3];
        std::vector<std::unique_ptr<TerminalFlow>> flows;
        PortRun runs[3];
        for (int i = 0; i < 3; ++i) {
            outputs[i].Bind(request.ports[i].port, shared, c.shape);
            flows.push_back(std::make_unique<TerminalFlow>(request, request.ports[i], accumulators[i],
                                                           ports[i], outputs[i], trace));
            runs[i] = PortRun(ports[i], *flows[i], request.ports[i].port, outputs[i]);
        }
        ports[0].sharing = {&ports[1], &ports[2]};  // the first one's clock and endings are the platform's
        RunReport report(outputs, shared, c.shape);
        EXPECT_EQ(ServeRuns(runs, 3, ports[0], shared, &report), c.status);
        EXPECT_EQ(shared.results, c.results);
        const std::size_t last = shared.drawn.rfind("\x1b[3F");
        EXPECT_EQ(last == std::string::npos ? "" : shared.drawn.substr(last), c.drawn);
        // One prompt, for the two that opened, once the third had failed.
        EXPECT_NE(shared.messages.find("2 ports are open at 9600 8N1"), std::string::npos);
        EXPECT_EQ(shared.messages.find("power-cycle the device now"), std::string::npos);
        // Under a table a port's words are its row's.
        EXPECT_EQ(shared.messages.find("rfc2217://a:1: no answer from gw-07:4001") != std::string::npos,
                  !c.shape.table);
        for (const ScriptedLoop& port : ports) {
            EXPECT_GE(port.closingTicks, 20);  // every port served until let go
        }
        // b's loss neither ended nor hurried c: c waited out its 2.5 s.
        if (c.ending == Ending::None) {
            EXPECT_LE(ports[2].closeAskedAt, 510u);
            EXPECT_GE(ports[1].closeAskedAt, 2500u);
        }
    }
}

TEST(RunReport, JsonCarriesEveryByteAndStaysOneLine) {
    char out[128];
    const char text[] = {'V', '"', '\\', 0x01, '\n', 0x7F, static_cast<char>(0xE9),
                         static_cast<char>(0xFF), 0};
    const std::size_t end = PutJsonString(out, sizeof out, 0, text);
    EXPECT_EQ(end, std::strlen(out));
    EXPECT_STREQ(out, R"("V\"\\\u0001\u000A\u007F\u00E9\u00FF")");
    // Cut short, it still closes its string.
    PutJsonString(out, 12, 0, text);
    EXPECT_EQ(out[std::strlen(out) - 1], '"');
}

// What Windows records as a port's device instance, read into its
// vendor, product and serial number.
TEST(ReadInstanceId, VendorProductAndTheAdaptersOwnSerial) {
    const struct {
        const char* id;
        bool read;
        const char* vendor;
        const char* product;
        const char* serial;
    } cases[] = {
        {"USB\\VID_0403&PID_6001\\A50285BI", true, "0403", "6001", "A50285BI"},
        {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", true, "0403", "6001", "A50285BIA"},
        {"usb\\vid_10c4&pid_ea60\\0001", true, "10c4", "ea60", "0001"},
        // Made up by Windows for a device with no serial number, or one
        // interface of a composite device: nothing to pick a board by.
        {"USB\\VID_2E8A&PID_000A&MI_00\\6&1234ABCD&0&0000", true, "2e8a", "000a", ""},
        {"USB\\VID_067B&PID_2303\\5&2A8B1C2D&0&1", true, "067b", "2303", ""},
        {"ACPI\\PNP0501\\1", false, "", "", ""},
        {"USB\\VID_04G3&PID_6001\\X", false, "", "", ""},
        {"USB\\VID_0403", false, "", "", ""},
        {"USB\\VID_0403&PID_6001\\A\tB\n", true, "0403", "6001", "A?B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        PortIdentity port;
        EXPECT_EQ(ReadInstanceId(c.id, &port), c.read);
        EXPECT_STREQ(port.vendorId, c.vendor);
        EXPECT_STREQ(port.productId, c.product);
        EXPECT_STREQ(port.serial, c.serial);
    }
    // As --list --long writes what Windows recorded of COM3.
    PortIdentity port;
    ReadInstanceId("USB\\VID_0403&PID_6001\\A50285BI", &port);
    std::snprintf(port.name, sizeof port.name, "COM3");
    char line[512];
    EXPECT_STREQ(DescribePortIdentity(port, false, line, sizeof line), "COM3\t-\t0403\t6001\tA50285BI\t-\t-\t-");
    EXPECT_STREQ(DescribePortIdentity(port, true, line, sizeof line),
                 R"({"name":"COM3","by_id":null,"vendor_id":"0403","product_id":"6001","serial":"A50285BI",)"
                 R"("manufacturer":null,"product":null,"driver":null})");
}

}  // namespace
