#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol_engine.h"
#include "rx_accumulator.h"
#include "terminal_arguments.h"
#include "terminal_words.h"
#include "trace_channel.h"

// The terminal program's dialogue with the technician and with a shell
// script: what it waits for, when it asks for the set, what it prints and
// with which status it ends. No platform here: each platform's terminal
// program supplies its own main, port and loop.

// Exit statuses, documented in the manual page: scripts test them.
namespace TerminalStatus {
constexpr int kDone = 0;
constexpr int kSetRefused = 1;
constexpr int kUsage = 2;
constexpr int kPortNotOpened = 3;
constexpr int kNoDevice = 4;  // nothing valid within the wait, the link lost, or unplugged
// Windows' console program: the system refused what the run needs besides
// the port (an event), or broke off the list of ports.
constexpr int kSystemRefused = 5;
constexpr int kHungUp = 129;       // 128 + SIGHUP: the terminal or SSH session closed
constexpr int kInterrupted = 130;  // 128 + SIGINT, as shells report it
constexpr int kTerminated = 143;   // 128 + SIGTERM
}  // namespace TerminalStatus

// Where the terminal program's words go: results to standard output, one
// line each, for scripts; prompts and errors to standard error, for the
// technician. Lines come without their newline.
class TerminalOutput {
public:
    virtual void Result(const char* line) = 0;
    virtual void Message(const char* line) = 0;
    // Standard error as it is, escapes and all: a table redrawn in place.
    virtual void Draw(const char* text) { (void)text; }

protected:
    ~TerminalOutput() = default;
};

// One run against one open port: the panel the engine reports to, read by
// a program instead of a technician. It adds no protocol rule of its own:
// the version, the rate and the set's outcome are exactly what the engine
// shows in the window.
class TerminalFlow final : public PanelView {
public:
    TerminalFlow(const TerminalRequest& request, const PortRequest& port, RxAccumulator& accumulator,
                 PortWriter& writer, TerminalOutput& output, TraceChannel& trace);

    // The port is open at 9600 8N1; `portPath` as the technician knows it.
    // A run of several ports asks for the power cycle once, for all.
    void Start(const char* portPath, bool prompt = true);
    // Every 10 ms.
    void OnTick();
    // The adapter went away (unplugged): no valid line can come any more.
    void OnPortDetached();
    // It went away before the device spoke, and is awaited until the wait
    // ends; said once. Back: opened afresh at 9600 8N1, the dialogue begins
    // again, in the same wait.
    void OnPortAway();
    void OnPortBack();
    // Ctrl-C and a polite kill.
    void OnInterrupt() { Finish(TerminalStatus::kInterrupted, TerminalWords::kInterrupted); }
    void OnTerminate() { Finish(TerminalStatus::kTerminated, TerminalWords::kTerminated); }
    void OnHangUp() { Finish(TerminalStatus::kHungUp, TerminalWords::kHungUp); }
    // After the port was let go: the server never acknowledged its line's
    // settings going back. A warning; the run's status stays.
    void WarnRestoreUnconfirmed();

    bool Finished() const { return finished_; }
    // The wait in seconds as typed, once started.
    const char* WaitText() const { return waitText_; }
    int ExitStatus() const { return status_; }
    // What a script reads of the run. The device's line as it sent it,
    // without CR LF; nullptr before it came.
    const char* Version() const { return versionShown_ ? version_ : nullptr; }
    // The rate read: an index into kRateTable, kRateUnknown, or kRateNotRead.
    static constexpr int kRateUnknown = -1;
    static constexpr int kRateNotRead = -2;
    int RateRead() const { return rateRead_; }
    const char* RateAskedFor() const { return request_.rateIndex >= 0 ? RateText() : nullptr; }
    // -1: no set was made; 0: refused; 1: done.
    int SetOutcome() const { return setOutcome_; }
    // The English words the run ended with; "" where it succeeded.
    const char* FailureWords() const { return failure_; }

    void SetStatusText(const char* text) override;
    void SetVersionText(const char* text) override;
    void SetResultText(const char* text) override;
    void EnableSetButton(bool enabled) override;
    void SelectRate(int index) override;

private:
    // The engine writes its next command at the poll that judged the last
    // answer. A run ends on that answer: after a set the device already
    // listens at its new rate, and a command at 9600 would reach it as
    // garbage and leave its reply in the adapter for the next session.
    class UntilFinished : public PortWriter {
    public:
        UntilFinished(PortWriter& port, const bool& finished) : port_(port), finished_(finished) {}
        void Write(const char* bytes, std::size_t length) override {
            if (!finished_) {
                port_.Write(bytes, length);
            }
        }

    private:
        PortWriter& port_;
        const bool& finished_;
    };

    // False if the run already had its answer.
    bool Finish(int status);
    template <typename... Words>
    void Finish(int status, const TerminalSentence& sentence, Words... words) {
        if (Finish(status)) {
            output_.Message(SayTerminal(sentence, line_, sizeof line_, words...));
            SayInEnglish(sentence, failure_, sizeof failure_, words...);
        }
    }
    const char* RateText() const { return kRateTable[request_.rateIndex]; }

    const TerminalRequest& request_;
    const PortRequest& port_;
    TerminalOutput& output_;
    bool finished_ = false;
    UntilFinished writer_;
    ProtocolEngine engine_;
    const char* portPath_ = "";
    char waitText_[24] = {};  // the wait in seconds, as the prompt said it

    std::uint32_t ticks_ = 0;
    bool versionShown_ = false;
    bool away_ = false;
    bool awaySaid_ = false;
    int selectedRate_ = -1;
    bool setWanted_ = false;
    bool setRequested_ = false;
    int status_ = TerminalStatus::kDone;
    int rateRead_ = kRateNotRead;
    int setOutcome_ = -1;
    char version_[RxLine::kCapacity + 1] = {};
    char failure_[512] = {};
    // "version " and the longest line, every byte written as \xNN at worst.
    char line_[16 + 4 * RxLine::kCapacity] = {};
};
