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
// serve several. `name` is the port as the technician typed it.
struct PortRun {
    PortRun(ServedPort& port, TerminalFlow& flow, const char* name)
        : port(port), flow(flow), name(name) {}
    ServedPort& port;
    TerminalFlow& flow;
    const char* name;
    bool started = false;   // the flow was told the port is open
    bool reported = false;  // the outcome was said
};

// Until every run has its answer and its port is let go. The rules, for
// every platform and every kind of port:
// - ticks counted by the clock, at most one poll's worth per wake, so a
//   late loop never sends two commands back to back;
// - each port's phase read on every pass, after the ticks as after a wake;
// - an ending from outside ends every run, each line put back first.
// Returns the run's exit status.
int ServeRun(PortRun& run, LoopPlatform& platform, TerminalOutput& output);
