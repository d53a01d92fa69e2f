#pragma once

#include <cstdint>

#include "served_port.h"
#include "terminal_flow.h"

// How a run is ended from outside: a signal, or a console's control event.
enum class Ending { None, Interrupt, Terminate, HangUp };

// What each platform gives the loop: its clock and its wait.
class LoopPlatform {
public:
    // A monotonic clock; the loop counts its ticks by it, not by its wakes.
    virtual std::uint64_t Milliseconds() = 0;
    // Returns when a wait fires, an ending is asked for, or `milliseconds`
    // pass, whichever is first; a failed wait still lets the time pass.
    virtual void Wait(const WaitOn* waits, int count, std::uint32_t milliseconds) = 0;
    // What was asked for since the last call; None if nothing.
    virtual Ending TakeEnding() = 0;

protected:
    ~LoopPlatform() = default;
};

// One port's run, all of its state in one place, so that one loop can
// serve several. `name` is the port as the technician typed it; `output`
// takes this port's words.
// Pointers, not references, so that a program with no heap can keep an
// array of them and fill it as its ports open.
struct PortRun {
    PortRun() = default;
    PortRun(ServedPort& port, TerminalFlow& flow, const char* name, TerminalOutput& output)
        : port(&port), flow(&flow), name(name), output(&output) {}
    ServedPort* port = nullptr;
    TerminalFlow* flow = nullptr;
    const char* name = "";
    TerminalOutput* output = nullptr;
    bool sharesPrompt = false;  // one of several: the loop asks for the power cycle
    bool started = false;   // the flow was told the port is open
    bool away = false;      // gone before the device spoke, awaited
    bool reported = false;  // the outcome was said
    bool closing = false;   // putting the line back
    bool letGo = false;     // closed for good: `status` is the run's
    int status = 0;
};

// A port whose opening failed before the loop began, as the loop serves
// it: closed, with why, so that its run reports as any other.
class UnopenedPort final : public ServedPort {
public:
    explicit UnopenedPort(const OpenFailure& failure) : failure_(failure) {}
    Phase CurrentPhase() const override { return Phase::Closed; }
    WaitOn Waitable() const override { return {}; }
    void Service() override {}
    void OnTick() override {}
    void BeginClose() override {}
    const OpenFailure& OpeningFailure() const override { return failure_; }
    void Write(const char*, std::size_t) override {}

private:
    OpenFailure failure_;
};

// Told of the runs on every pass, for what a run of several ports or a
// script's JSON shows; `now` is the loop's clock; `prompted`: the power
// cycle was asked for, and nothing more will be said before the runs' own.
class RunWatcher {
public:
    virtual void Follow(const PortRun* runs, int count, std::uint64_t now, bool prompted) = 0;

protected:
    ~RunWatcher() = default;
};

// Until every run has its answer and its port is let go. The rules, for
// every platform and every kind of port:
// - ticks counted by the clock, at most one poll's worth per wake, so a
//   late loop never sends two commands back to back;
// - each port's phase read on every pass, after the ticks as after a wake;
// - an ending from outside ends every run, each line put back first;
// - one run's failure neither stops nor slows another's.
// Several runs share one prompt on `output`, once each port is open or has
// failed. Returns the highest of the runs' exit statuses: 0 only when every
// run succeeded, and an ending from outside above every failure.
int ServeRuns(PortRun* runs, int count, LoopPlatform& platform, TerminalOutput& output,
              RunWatcher* watcher = nullptr);
inline int ServeRun(PortRun& run, LoopPlatform& platform, TerminalOutput& output) {
    return ServeRuns(&run, 1, platform, output);
}
