// The terminal program's flow: what its command line means, before any
// port is touched, and what it prints and ends with, as transcripts
// against a scripted device with time moved by ticks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cstring>

#include "fake_device.h"
#include "terminal_flow.h"

namespace {

using Action = TerminalRequest::Action;

TEST(ReadTerminalArguments, WordsToRequests) {
    const struct {
        std::vector<const char*> words;
        Action action;
        const char* port;
        int rateIndex;
        std::uint32_t waitTicks;
        const char* said;  // a piece of the text, "" for none
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
        // Rates are the table's, spelled as it spells them.
        {{"ttyUSB0", "115201"}, Action::Usage, nullptr, -1, 6000, "9600 14400 19200 38400 56000 57600 115200"},
        {{"ttyUSB0", "09600"}, Action::Usage, nullptr, -1, 6000, "'09600'"},
        {{"ttyUSB0", ""}, Action::Usage, nullptr, -1, 6000, "''"},
        // A wait is seconds from 0.01 to a day, nothing else.
        {{"--wait", "0", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'0' is no wait"},
        {{"--wait", "0.001", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'0.001'"},
        {{"--wait", "86401", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'86401'"},
        {{"--wait", "99999999999999999999", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "no wait"},
        {{"--wait", "5s", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'5s'"},
        {{"--wait", "-1", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'-1'"},
        {{"--wait=", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'' is no wait"},
        {{"ttyUSB0", "--wait"}, Action::Usage, nullptr, -1, 6000, "'--wait' needs"},
        {{}, Action::Usage, nullptr, -1, 6000, "no port named"},
        {{"ttyUSB0", "9600", "x"}, Action::Usage, nullptr, -1, 6000, "too many: 'x'"},
        {{"--list", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "--list takes no port"},
        {{"--speed", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "unknown option '--speed'"},
    };
    for (const auto& c : cases) {
        const TerminalRequest request =
            ReadTerminalArguments(static_cast<int>(c.words.size()), c.words.data(), "1.2+3.gabc");
        std::string line;
        for (const char* word : c.words) {
            line += std::string(" '") + word + "'";
        }
        SCOPED_TRACE(line + ": " + request.text);
        EXPECT_EQ(request.action, c.action);
        EXPECT_STREQ(request.port, c.port);
        if (c.action == Action::Run) {
            EXPECT_EQ(request.rateIndex, c.rateIndex);
            EXPECT_EQ(request.waitTicks, c.waitTicks);
        }
        EXPECT_NE(std::string(request.text).find(c.said), std::string::npos);
        // A usage error ends with the usage line, for the one who typed it.
        EXPECT_EQ(std::string(request.text).find("用法 / usage: baudset-cli") != std::string::npos,
                  c.action == Action::Usage);
    }
}

}  // namespace

namespace {

class RecordingOutput : public TerminalOutput {
public:
    void Result(const char* line) override { results += std::string(line) + "\n"; }
    void Message(const char* line) override { messages += std::string(line) + "\n"; }
    std::string results, messages;
};

// The device of one run, answering each command at once: off until it is
// switched on at `bannerTick` (-1: it is on from the start and sends no
// banner), then answering until `silentTick`.
struct ScriptedDevice {
    const char* banner;
    int bannerTick;
    const char* rateReply;
    const char* setReply;
    int silentTick;
};

struct FlowRun {
    std::string results, messages, sent;
    int status;
    int ticks;
};

// Ticks the flow until it finishes, as the terminal program's loop does;
// `event` at `eventTick` stands for what the platform reports (a signal,
// an unplugged adapter).
FlowRun RunFlow(const char* rate, std::uint32_t waitTicks, const ScriptedDevice& device,
            void (TerminalFlow::*event)() = nullptr, int eventTick = -1) {
    const char* words[] = {"ttyUSB0", rate, nullptr};
    TerminalRequest request = ReadTerminalArguments(rate != nullptr ? 2 : 1, words, "1");
    request.waitTicks = waitTicks;
    RxAccumulator accumulator;
    RecordingWriter writer;
    RecordingOutput output;
    TraceChannel trace;
    TerminalFlow flow(request, accumulator, writer, output, trace);
    flow.Start("/dev/ttyUSB0");
    int tick = 0;
    for (std::size_t answered = 0; !flow.Finished() && tick < 100000; ++tick) {
        if (tick == device.bannerTick) {
            accumulator.Append(device.banner, std::strlen(device.banner));
        }
        if (tick == eventTick) {
            (flow.*event)();
        }
        flow.OnTick();
        const bool on = device.bannerTick < 0 || tick >= device.bannerTick;
        for (; answered < writer.writes.size(); ++answered) {
            const std::string& command = writer.writes[answered];
            const char* reply = command == "AT+BAUD?\r\n" ? device.rateReply
                                : command == "AT\r\n"      ? "OK\r\n"
                                                           : device.setReply;
            if (on && tick < device.silentTick) {
                accumulator.Append(reply, std::strlen(reply));
            }
        }
    }
    std::string sent;
    for (const std::string& command : writer.writes) {
        sent += command == "AT\r\n" ? "" : command;  // the keep-alives left out
    }
    return {output.results, output.messages, sent, flow.ExitStatus(), tick};
}

TEST(TerminalFlow, PrintsWhatTheEngineShowsAndEndsWithItsStatus) {
    const int never = 1 << 30;
    const ScriptedDevice powerCycled{"V2.1\r\n", 95, "9600\r\n", "OK\r\n", never};
    const struct {
        const char* title;
        const char* rate;
        ScriptedDevice device;
        const char* results;
        int status;
        const char* said;  // a piece of standard error
    } cases[] = {
        {"read", nullptr, powerCycled, "version V2.1\nrate 9600\n", 0, "power-cycle the device now"},
        {"set", "115200", powerCycled, "version V2.1\nrate 9600\nset 115200 ok\n", 0, ""},
        {"refused", "57600", {"V2.1\r\n", 95, "9600\r\n", "ERROR\r\n", never},
         "version V2.1\nrate 9600\nset 57600 failed\n", 1, "did not answer AT+BAUD=57600 with OK"},
        {"OK and more is success", "57600", {"V2.1\r\n", 95, "9600\r\n", "OKAY\r\n", never},
         "version V2.1\nrate 9600\nset 57600 ok\n", 0, ""},
        {"a rate not in the table", nullptr, {"V2.1\r\n", 95, "9600 \r\n", "", never},
         "version V2.1\nrate unknown\n", 0, ""},
        {"already on", nullptr, {"", -1, "38400\r\n", "", never}, "version OK\nrate 38400\n", 0, ""},
        {"the first line only, escaped", nullptr, {"V\x01\\2\r\nOK\r\n", 95, "9600\r\n", "", never},
         "version V\\x01\\x5C2\nrate 9600\n", 0, ""},
        {"silent after the version", "9600", {"V2.1\r\n", 95, "9600\r\n", "OK\r\n", 100},
         "version V2.1\n", 4, "the link to the device was lost"},
        {"never on", nullptr, {"", never, "", "", never}, "", 4, "within 2.5 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const FlowRun run = RunFlow(c.rate, 250, c.device);
        EXPECT_EQ(run.results, c.results);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.messages.find(c.said), std::string::npos) << run.messages;
    }
}

TEST(TerminalFlow, TimeIsCountedInTicks) {
    const int never = 1 << 30;
    // The wait ends on its own tick, and nothing is set after a refusal.
    FlowRun run = RunFlow("115200", 250, {"", never, "", "", never});
    EXPECT_EQ(run.ticks, 250);
    EXPECT_EQ(run.sent, "");
    // The banner is judged at 120 and the rate at 150; the set goes out at
    // the next poll, 180, as a click right then would send it, and its
    // reply is judged at 210.
    run = RunFlow("115200", 250, {"V2.1\r\n", 95, "9600\r\n", "OK\r\n", never});
    EXPECT_EQ(run.sent, "AT+BAUD?\r\nAT+BAUD=115200\r\n");
    EXPECT_EQ(run.ticks, 210);
    // A watchdog of 150 ticks after the last valid line: 90 judged the
    // banner, 120 found nothing, and the poll at 240 declares the loss.
    run = RunFlow(nullptr, 250, {"V2.1\r\n", 65, "9600\r\n", "", 70});
    EXPECT_EQ(run.ticks, 240);
    EXPECT_EQ(run.status, 4);
}

TEST(TerminalFlow, PlatformEventsEndTheRunAtOnce) {
    const ScriptedDevice off{"", 1 << 30, "", "", 1 << 30};
    const struct {
        void (TerminalFlow::*event)();
        int status;
        const char* said;
    } cases[] = {
        {&TerminalFlow::OnInterrupt, 130, "interrupted"},
        {&TerminalFlow::OnTerminate, 143, "terminated"},
        {&TerminalFlow::OnHangUp, 129, "the terminal closed"},
        {&TerminalFlow::OnPortDetached, 4, "/dev/ttyUSB0 went away"},
    };
    for (const auto& c : cases) {
        const FlowRun run = RunFlow(nullptr, 6000, off, c.event, 40);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.ticks, 41) << "ended at the tick it happened";
        EXPECT_NE(run.messages.find(c.said), std::string::npos) << run.messages;
    }
}

}  // namespace
