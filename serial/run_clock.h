#pragma once

#include <windows.h>

#include <cstdint>

// Milliseconds since the clock was made, by the performance counter: it runs
// at one fixed rate on every Windows, whatever the timers do. The console's
// loop counts its 10 ms ticks by it, and every deadline of a run with them.
class RunClock {
public:
    RunClock() {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    std::uint64_t Milliseconds() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        const std::uint64_t counts = static_cast<std::uint64_t>(now.QuadPart - start_.QuadPart);
        const std::uint64_t perSecond = static_cast<std::uint64_t>(frequency_.QuadPart);
        return counts / perSecond * 1000 + counts % perSecond * 1000 / perSecond;
    }

private:
    LARGE_INTEGER frequency_;
    LARGE_INTEGER start_;
};
