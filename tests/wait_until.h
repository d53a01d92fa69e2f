#pragma once
// Waiting for a condition with a deadline, for the test programs of both
// platforms.
#include <chrono>

// Runs `step` (a sleep, or a turn of the event loop) until `condition`
// holds or `timeoutMs` have passed; reports whether it held.
template <typename Condition, typename Step>
bool WaitUntil(Condition condition, long timeoutMs, Step step) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        step();
    }
    return true;
}
