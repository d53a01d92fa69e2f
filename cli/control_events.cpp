#include "control_events.h"

#include "timing.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

// Windows calls the handler with no way to hand it an object, so what it
// tells the run lives where it can find it: the ending asked for and the
// two events, nothing else. They are never closed, as the handler may run
// until the process ends and a closed handle's number may be reused.
volatile LONG requestedEnding = static_cast<LONG>(Ending::None);
HANDLE endingRequested = nullptr;  // set by the handler
HANDLE runEnded = nullptr;         // set once the run's port is let go
// Windows ends a process this long after a close event at the latest.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI OnConsoleControl(DWORD event) {
    Ending ending = Ending::Interrupt;
    if (event == CTRL_CLOSE_EVENT) {
        ending = Ending::HangUp;
    } else if (event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        ending = Ending::Terminate;
    }
    InterlockedCompareExchange(&requestedEnding, static_cast<LONG>(ending),
                               static_cast<LONG>(Ending::None));
    SetEvent(endingRequested);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        WaitForSingleObject(runEnded, kCloseGraceMs);
    }
    return TRUE;
}

}  // namespace

ControlEvents::ControlEvents() {
    if (endingRequested == nullptr) {
        endingRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    if (runEnded == nullptr) {
        runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    if (endingRequested == nullptr || runEnded == nullptr) {
        error_ = GetLastError();
        return;
    }
    ResetEvent(runEnded);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

ControlEvents::~ControlEvents() {
    if (runEnded != nullptr) {
        SetEvent(runEnded);
    }
}

HANDLE ControlEvents::EndingEvent() const { return endingRequested; }

// Reset before it is read: an ending asked for in between sets it again.
Ending ControlEvents::TakeEnding() {
    ResetEvent(endingRequested);
    return static_cast<Ending>(
        InterlockedExchange(&requestedEnding, static_cast<LONG>(Ending::None)));
}

ConsoleLoop::ConsoleLoop(ControlEvents& events)
    : events_(events),
      tick_(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                   TIMER_ALL_ACCESS)) {
    if (tick_ == nullptr) {
        tick_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    LARGE_INTEGER firstTick;
    firstTick.QuadPart = -10000LL * Timing::kTickMilliseconds;  // from now, in 100 ns
    if (tick_ != nullptr && !SetWaitableTimer(tick_, &firstTick, Timing::kTickMilliseconds,
                                              nullptr, nullptr, FALSE)) {
        CloseHandle(tick_);
        tick_ = nullptr;
    }
}

ConsoleLoop::~ConsoleLoop() {
    if (tick_ != nullptr) {
        CancelWaitableTimer(tick_);
        CloseHandle(tick_);
    }
}

void ConsoleLoop::Wait(const WaitOn* waits, int count, std::uint32_t milliseconds) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {events_.EndingEvent()};
    DWORD waited = 1;
    if (tick_ != nullptr) {
        handles[waited++] = tick_;
    }
    for (int i = 0; i < count && waited < MAXIMUM_WAIT_OBJECTS; ++i) {
        if (waits[i].handle != -1) {
            handles[waited++] = reinterpret_cast<HANDLE>(waits[i].handle);
        }
    }
    if (WaitForMultipleObjects(waited, handles, FALSE, milliseconds) == WAIT_FAILED) {
        Sleep(milliseconds);  // the clock still counts
    }
}
