// libFuzzer target for the AT dialogue. The input is a script of the events
// the panel and the reader thread produce: bytes from the device, timer
// ticks, set requests, closing and reopening the port. After every event a
// reference model kept here (its own counters, its own copy of the received
// bytes, its own rate table) checks what the engine wrote, showed and traced;
// the engine's members are never looked at. A broken rule aborts with a
// message, which libFuzzer reports as a crash and saves the input.
//
// Script, one event after another; an event cut short by the end of the
// input takes what is there:
//   op % 8 == 0  device bytes: n, then n bytes, appended in one piece
//             1  one tick
//             2  tick run: lo, hi; 1 + (lo + 256 * hi) % 300 ticks
//             3  ticks up to and including the next poll
//             4  set request: n, then n bytes of rate text, handed over as a
//                C string (so cut at a NUL); n = 255 hands over a null pointer
//             5  close the port: Reset(); nothing ticks until it is reopened
//             6  open the port: OnPortOpened()
//             7  canned reply: k; one of kCannedReplies, appended
// Ticks, closing, opening and set requests follow the panel: close and open
// only toggle, no tick reaches the engine while the port is closed, and a set
// request is handed over only while the set button is enabled (a disabled
// button sends nothing). Device bytes may come at any time; opening starts
// with an empty accumulator, as the serial port does.
//
// Two kinds of check: rules on what the operator sees, stated without the
// dialogue's steps (so they catch a fault that the steps themselves carry),
// and a reference model that predicts every write, panel call and trace
// line exactly.
//
// The seed corpus in corpus/ holds the transcripts of the protocol tests in
// this format, written by the tests themselves:
//   BAUDSET_FUZZ_SEEDS=tests/fuzz/corpus build/native/tests/protocol_tests
// and six edges made by hand: rate texts with a NUL, non-ASCII, 99 bytes
// then none, and a null pointer, a burst past the 512 bytes the accumulator
// keeps, and long runs of ticks with the port closed in between.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fake_device.h"
#include "protocol_engine.h"
#include "rx_accumulator.h"
#include "trace_channel.h"

namespace {

// --- what the dialogue must look like, independent of the engine ----------

constexpr std::uint32_t kPollEvery = 30;       // ticks from open to each poll
constexpr std::uint32_t kLinkLostAfter = 150;  // silent ticks until link lost
constexpr std::size_t kMaxRate = 99;           // rate bytes in a set command
constexpr std::size_t kRxKept = 512;           // bytes judged per poll
constexpr std::size_t kMaxTrace = 128;         // bytes per trace line

// Two link-lost periods, ten polls: long enough for anything that counts.
constexpr unsigned kLongestRun = 300;

const char* const kRates[] = {"9600", "14400", "19200", "38400", "56000", "57600", "115200"};
constexpr int kRateEntries = sizeof kRates / sizeof kRates[0];

const std::string kConnected = "已连接";
const std::string kNotConnected = "未连接";
const std::string kBlank = " ";
const std::string kSucceeded = "波特率设置成功";
const std::string kFailed = "波特率设置失败";

const std::string kKeepAlive = "AT\r\n";
const std::string kQuery = "AT+BAUD?\r\n";
const std::string kSetPrefix = "AT+BAUD=";

// Replies a real device gives, so that the fuzzer reaches the later states
// without having to invent them byte by byte.
const char* const kCannedReplies[] = {"OK\r\n",    "ERROR\r\n",  "V2.1\r\n",  "9600\r\n",
                                      "14400\r\n", "19200\r\n",  "38400\r\n", "56000\r\n",
                                      "57600\r\n", "115200\r\n", "\r\n",      "+BAUD:9600\r\n"};
constexpr std::size_t kCannedCount = sizeof kCannedReplies / sizeof kCannedReplies[0];

// Where the dialogue stands, in the engine's own terms (the numbers are the
// ones trace lines carry).
using Phase = ProtocolState;

// --- reporting --------------------------------------------------------------

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);  // UTF-8 texts stay readable
        }
    }
    return out;
}

[[noreturn]] void Fail(const char* rule, const std::string& detail) {
    std::fprintf(stderr, "\ndialogue rule broken: %s\n  %s\n", rule, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

// --- what the engine did ------------------------------------------------------

// Panel calls as the protocol tests record them: "status:已连接", "enable:1".
std::string Status(const std::string& text) { return "status:" + text; }
std::string Version(const std::string& text) { return "version:" + text; }
std::string Result(const std::string& text) { return "result:" + text; }
std::string Enable(bool on) { return on ? "enable:1" : "enable:0"; }
std::string Select(int index) { return "select:" + std::to_string(index); }

std::string Render(const std::vector<std::string>& texts) {
    std::string out = "[";
    for (const std::string& text : texts) {
        out += (out.size() > 1 ? ", \"" : "\"") + Printable(text) + "\"";
    }
    return out + "]";
}

// The trace's sink, with the bound the debugger's log relies on checked
// before anything is copied.
class CheckedSink : public RecordingSink {
public:
    void Send(const char* bytes, std::size_t length) override {
        if (length > kMaxTrace) {
            Fail("a trace line is at most 128 bytes", "sent " + std::to_string(length));
        }
        RecordingSink::Send(bytes, length);
    }
};

struct Outputs {
    [[gnu::always_inline]] bool Empty() const {
        return writer.writes.empty() && view.calls.empty() && sink.sent.empty();
    }
    void Clear() {
        if (!Empty()) {
            writer.writes.clear();
            view.calls.clear();
            sink.sent.clear();
        }
    }

    RecordingWriter writer;
    RecordingView view;
    CheckedSink sink;
};

// --- the reference model ------------------------------------------------------

bool IsValidLine(const std::string& bytes) {
    std::size_t n = bytes.size();
    if (n < 2 || bytes[n - 2] != '\r' || bytes[n - 1] != '\n') {
        return false;
    }
    for (unsigned char c : bytes) {
        if (c > 0x7E) {
            return false;
        }
    }
    return true;
}

// What a consumer of a zero-terminated text sees.
std::string UpToNul(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

std::string TraceCut(const std::string& text) { return UpToNul(text).substr(0, kMaxTrace); }

struct Expected {
    bool poll = false;       // this tick is a poll
    bool lineValid = false;  // ... which took a valid line
    std::vector<std::string> writes;
    std::vector<std::string> view;
    std::vector<std::string> traces;
};

struct Model {
    bool open = true;
    Phase phase = Phase::AwaitingDevice;
    std::uint32_t sincePoll = 0;   // ticks since opening or since the last poll
    std::uint32_t sinceValid = 0;  // ticks since opening, the last valid line or link lost
    bool setPending = false;
    std::string rate;  // rate part of the latest set request
    std::string rx;    // what the device sent since the last poll or the last open,
                       // after a carried tail
    std::size_t carried = 0;  // how much of rx was there at the last poll

    void Received(const char* bytes, std::size_t count) {
        std::size_t room = kRxKept - rx.size();
        rx.append(bytes, count < room ? count : room);
    }

    void Requested(const char* text) {
        std::string whole = text != nullptr ? std::string(text) : std::string();
        rate = whole.substr(0, kMaxRate);
        setPending = true;
    }

    void Closed() {
        open = false;
        phase = Phase::AwaitingDevice;
        setPending = false;
    }

    void Opened() {
        open = true;
        sincePoll = 0;
        sinceValid = 0;
        rx.clear();
        carried = 0;
    }

    // The next tick neither polls nor declares the link lost.
    bool NextTickQuiet() const {
        return sinceValid + 1 < kLinkLostAfter && sincePoll + 1 < kPollEvery;
    }

    std::string Command() const {
        switch (phase) {
        case Phase::QueryingBaud: return kQuery;
        case Phase::SettingBaud: return kSetPrefix + rate + "\r\n";
        default: return kKeepAlive;
        }
    }

    Expected Tick() {
        Expected e;
        ++sinceValid;
        ++sincePoll;
        if (sinceValid == kLinkLostAfter) {
            sinceValid = 0;
            phase = Phase::AwaitingDevice;
            setPending = false;
            e.view = {Status(kNotConnected), Result(kBlank), Version(kBlank), Enable(false)};
        }
        if (sincePoll < kPollEvery) {
            return e;
        }
        e.poll = true;
        sincePoll = 0;
        // Up to the last CR LF is judged; the rest waits one poll, less what
        // already waited, and unless it fills the whole store.
        std::size_t end = rx.rfind("\r\n");
        std::string line = rx.substr(0, end == std::string::npos ? 0 : end + 2);
        rx.erase(0, std::max(line.size(), carried));
        carried = rx.size() == kRxKept ? 0 : rx.size();
        rx.resize(carried);
        e.lineValid = IsValidLine(line);
        if (e.lineValid) {
            sinceValid = 0;
            // The line goes into the trace as a C string: a NUL ends it there.
            std::string shown = UpToNul(line);
            e.traces.push_back(TraceCut("\r\ncomRcv " + shown + ", state " +
                                        std::to_string(static_cast<int>(phase))));
            switch (phase) {
            case Phase::AwaitingDevice:
                e.view.push_back(Status(kConnected));
                e.view.push_back(Result(kBlank));
                e.view.push_back(Version(shown));
                phase = Phase::QueryingBaud;
                break;
            case Phase::QueryingBaud: {
                std::string body = line.substr(0, line.size() - 2);
                for (int i = 0; i < kRateEntries; ++i) {
                    if (body == kRates[i]) {
                        e.view.push_back(Select(i));
                    }
                }
                e.view.push_back(Enable(true));
                phase = Phase::Ready;
                break;
            }
            case Phase::SettingBaud:
                e.view.push_back(Result(line.compare(0, 2, "OK") == 0 ? kSucceeded : kFailed));
                phase = Phase::Ready;
                break;
            case Phase::Ready:
                break;
            }
        }
        if (setPending) {
            setPending = false;
            phase = Phase::SettingBaud;
        }
        e.writes.push_back(Command());
        return e;
    }
};

// --- what the operator must see ----------------------------------------------
// Stated from the panel alone, never from the dialogue's steps.

// The panel as the operator sees it: kept from the engine's view calls and
// from what the panel itself does when the port closes.
struct Panel {
    std::string status = kNotConnected;  // the dialog's own initial text
    bool setEnabled = false;              // disabled at start
    int validPollsInRow = 0;    // polls since the open that each took a valid line
    bool heardSinceOpen = false;  // some poll since the open took a valid line

    void Show(const std::vector<std::string>& calls) {
        for (const std::string& call : calls) {
            if (call.compare(0, 7, "status:") == 0) {
                status = call.substr(7);
            } else if (call.compare(0, 7, "enable:") == 0) {
                setEnabled = call == Enable(true);
            }
        }
    }
    void Polled(bool tookValidLine) {
        validPollsInRow = tookValidLine ? validPollsInRow + 1 : 0;
        heardSinceOpen = heardSinceOpen || tookValidLine;
    }
    // Nothing polls until the port opens again, and the panel starts over.
    void Closed() { *this = Panel(); }
};

void CheckOperatorView(const Panel& panel, const std::vector<std::string>& writes) {
    for (const std::string& w : writes) {
        if (w.compare(0, kSetPrefix.size(), kSetPrefix) == 0 && panel.status == kNotConnected) {
            Fail("no set command goes out while the panel shows 未连接",
                 "wrote \"" + Printable(w) + "\"");
        }
    }
    if (panel.status == kConnected && !panel.heardSinceOpen) {
        Fail("已连接 is shown only after a valid line that arrived since the port was opened",
             "no poll since the open took a valid line");
    }
    if (panel.validPollsInRow >= 2 && (panel.status != kConnected || !panel.setEnabled)) {
        Fail("after valid lines at two polls in a row the panel shows 已连接 and enables set",
             "status " + panel.status + ", set " + (panel.setEnabled ? "enabled" : "disabled"));
    }
}

// What the engine did against what the model predicts, to the byte and in
// order.
void CheckAgainstModel(const Outputs& out, const Expected& e) {
    if (out.writer.writes != e.writes) {
        Fail("the command follows the dialogue",
             "wrote " + Render(out.writer.writes) + ", expected " + Render(e.writes));
    }
    if (out.view.calls != e.view) {
        Fail("the panel follows the dialogue",
             "shown " + Render(out.view.calls) + ", expected " + Render(e.view));
    }
    if (out.sink.sent != e.traces) {
        Fail("the trace follows the dialogue",
             "traced " + Render(out.sink.sent) + ", expected " + Render(e.traces));
    }
}

void CheckState(const ProtocolEngine& engine, const Model& model) {
    if (engine.State() != model.phase) {
        Fail("the state follows the dialogue",
             "engine in state " + std::to_string(static_cast<int>(engine.State())) +
                 ", expected " + std::to_string(static_cast<int>(model.phase)));
    }
}

// --- the script -----------------------------------------------------------------

class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool AtEnd() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Up to `count` bytes, fewer at the end of the input.
    std::string Bytes(std::size_t count) {
        std::size_t n = count < size_ - at_ ? count : size_ - at_;
        std::string bytes(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return bytes;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct Rig {
    Rig() : engine(accumulator, outputs.writer, outputs.view, trace) {
        trace.Connect(&outputs.sink);
        // As the panel starts: reset once, then the port opens.
        engine.Reset();
        engine.OnPortOpened();
    }

    void Tick() {
        if (!model.open) {
            return;
        }
        outputs.Clear();
        engine.OnTick();
        if (model.NextTickQuiet() && outputs.Empty()) {
            // Most ticks: nothing to compare but the counters and the state.
            ++model.sinceValid;
            ++model.sincePoll;
            CheckState(engine, model);
            return;
        }
        CheckTick();
    }

    // Out of line, so that the quiet ticks above do not set up its frame.
    [[gnu::noinline]] void CheckTick() {
        Expected e = model.Tick();
        panel.Show(outputs.view.calls);
        if (e.poll) {
            panel.Polled(e.lineValid);
        }
        Check(e);
    }

    void Check(const Expected& e) {
        CheckOperatorView(panel, outputs.writer.writes);
        CheckAgainstModel(outputs, e);
        CheckState(engine, model);
    }

    // After anything but a tick: nothing written, nothing shown, and at most
    // the set request's own trace line.
    void CheckQuiet(const std::vector<std::string>& traces) {
        Expected none;
        none.traces = traces;
        Check(none);
    }

    void DeviceSends(const std::string& bytes) {
        outputs.Clear();
        accumulator.Append(bytes.data(), bytes.size());
        model.Received(bytes.data(), bytes.size());
        CheckQuiet({});
    }

    void RequestSet(const char* text) {
        if (!panel.setEnabled) {
            return;  // a disabled button sends nothing
        }
        outputs.Clear();
        engine.RequestSetBaud(text);
        model.Requested(text);
        CheckQuiet({TraceCut("\r\n" + kSetPrefix + model.rate + "\r\n")});
    }

    // As the panel closes: the button goes grey, the texts go back, and the
    // engine is reset.
    void Close() {
        if (!model.open) {
            return;
        }
        outputs.Clear();
        engine.Reset();
        model.Closed();
        panel.Closed();
        CheckQuiet({});
    }

    // As the serial port and the panel open.
    void Open() {
        if (model.open) {
            return;
        }
        outputs.Clear();
        accumulator.Clear();
        engine.OnPortOpened();
        model.Opened();
        CheckQuiet({});
    }

    RxAccumulator accumulator;
    Outputs outputs;
    TraceChannel trace;
    ProtocolEngine engine;
    Model model;
    Panel panel;
};

}  // namespace

// The core allocates nothing, so the allocation stacks ASan records would
// only ever describe this file's own strings; recording them costs a third
// of the executions.
extern "C" const char* __asan_default_options() { return "malloc_context_size=0"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Rig rig;
    Script script(data, size);
    while (!script.AtEnd()) {
        switch (script.Byte() % 8) {
        case 0: {
            std::size_t n = script.Byte();
            rig.DeviceSends(script.Bytes(n));
            break;
        }
        case 1:
            rig.Tick();
            break;
        case 2: {
            unsigned low = script.Byte();
            unsigned high = script.Byte();
            unsigned count = 1 + (low + 256 * high) % kLongestRun;
            for (unsigned i = 0; i < count; ++i) {
                rig.Tick();
            }
            break;
        }
        case 3:
            if (rig.model.open) {
                for (std::uint32_t left = kPollEvery - rig.model.sincePoll; left > 0; --left) {
                    rig.Tick();
                }
            }
            break;
        case 4: {
            std::size_t n = script.Byte();
            if (n == 255) {
                rig.RequestSet(nullptr);
            } else {
                std::string text = script.Bytes(n);
                rig.RequestSet(text.c_str());  // the terminator cuts at a NUL
            }
            break;
        }
        case 5:
            rig.Close();
            break;
        case 6:
            rig.Open();
            break;
        default:
            rig.DeviceSends(kCannedReplies[script.Byte() % kCannedCount]);
            break;
        }
    }
    return 0;
}
