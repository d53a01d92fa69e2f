#pragma once

#include <windows.h>

#include "run_clock.h"
#include "terminal_loop.h"

// How a run is ended from the console: Ctrl-C, Ctrl-Break, the console
// window closed, log-off or shut-down. Windows calls the handler on a thread
// of its own; the handler only tells the run, which ends itself and puts its
// port back. A closing console is held until then, as the process ends when
// the handler returns. Made before the run's port, so that its end, which
// lets a closing console go, comes after the port is let go.
class ControlEvents {
public:
    ControlEvents();
    ~ControlEvents();
    ControlEvents(const ControlEvents&) = delete;
    ControlEvents& operator=(const ControlEvents&) = delete;

    // False when Windows gave no event; Error() says why.
    bool Ready() const { return error_ == ERROR_SUCCESS; }
    DWORD Error() const { return error_; }
    // Set when an ending is asked for, until it is taken.
    HANDLE EndingEvent() const;
    Ending TakeEnding();

private:
    DWORD error_ = ERROR_SUCCESS;
};

// The loop's clock and wait on a Windows console: the performance
// counter's milliseconds, and a wait on the ending, a 10 ms timer and the
// port's event. The timer is the high-resolution kind from Windows 10 1803
// on, the system's tick (15.6 ms by default) before; a run survives none at
// all, as the wait has a timeout and the ticks are counted by the clock.
class ConsoleLoop final : public LoopPlatform {
public:
    explicit ConsoleLoop(ControlEvents& events);
    ~ConsoleLoop();
    ConsoleLoop(const ConsoleLoop&) = delete;
    ConsoleLoop& operator=(const ConsoleLoop&) = delete;

    std::uint64_t Milliseconds() override { return clock_.Milliseconds(); }
    void Wait(const WaitOn* waits, int count, std::uint32_t milliseconds) override;
    Ending TakeEnding() override { return events_.TakeEnding(); }

private:
    ControlEvents& events_;
    const RunClock clock_;
    HANDLE tick_;
};
