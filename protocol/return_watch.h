#pragma once

#include <cstdint>

#include "open_failure.h"
#include "timing.h"

// A port that went away before its device spoke, looked for until its name
// is back. The platform looks (is the name there; then the opening) and
// says what it found; when to give up is decided here, for every platform.
// A missing name is awaited for as long as the run waits. A name that is
// there but refuses is tried again for a second: a node just made refuses
// until udev has given it its group and mode, and a prober (ModemManager,
// a Windows service) may hold a new port for a moment. Anything else counts
// at once, with its words.
class ReturnWatch {
public:
    void Begin() {
        awaiting_ = true;
        ticks_ = 0;
        refusalsLeft_ = kRefusalsTried;
    }
    void End() { awaiting_ = false; }
    bool Awaiting() const { return awaiting_; }

    // Called on every tick: true when it is time to look again.
    bool TimeToLook() { return awaiting_ && ++ticks_ % Timing::kReturnLookTicks == 0; }

    void NameNotThere() { refusalsLeft_ = kRefusalsTried; }

    // The name is there and did not open: true while it is still awaited.
    bool StillAwaitedAfter(OpenFailure::Kind kind) {
        const bool mayPass = kind == OpenFailure::Kind::NotThere ||
                             kind == OpenFailure::Kind::Denied || kind == OpenFailure::Kind::InUse;
        awaiting_ = mayPass && --refusalsLeft_ > 0;
        return awaiting_;
    }

private:
    static constexpr int kRefusalsTried = 10;
    bool awaiting_ = false;
    std::uint32_t ticks_ = 0;
    int refusalsLeft_ = 0;
};
