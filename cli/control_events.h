#pragma once

#include <windows.h>

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

// A 10 ms timer where Windows can give one, null where it cannot: the
// high-resolution kind exists from Windows 10 1803 on, the plain one fires
// at the system's tick (15.6 ms by default). A run survives none at all:
// its wait has a timeout, and its ticks are counted by the clock.
class TickTimer {
public:
    TickTimer();
    ~TickTimer();
    TickTimer(const TickTimer&) = delete;
    TickTimer& operator=(const TickTimer&) = delete;
    HANDLE Handle() const { return handle_; }

private:
    HANDLE handle_;
};
