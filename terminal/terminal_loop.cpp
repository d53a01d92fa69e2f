#include "terminal_loop.h"

#include "timing.h"

namespace {

using Phase = ServedPort::Phase;

// A loop that wakes late (a loaded or stopped process, a machine that
// slept) gets the ticks it missed, so every wait the program states lasts
// what it says, but one poll's worth at most per wake, a tick apart.
constexpr std::uint64_t kMostTicksPerWake = ProtocolEngine::kPollDivider;

// The run has its answer: the dialogue's, or that the port never opened.
bool Answered(const PortRun& run) { return run.flow.Finished() || run.reported; }

void TellEnding(Ending ending, TerminalFlow& flow) {
    switch (ending) {
    case Ending::Interrupt:
        flow.OnInterrupt();
        break;
    case Ending::Terminate:
        flow.OnTerminate();
        break;
    case Ending::HangUp:
        flow.OnHangUp();
        break;
    case Ending::None:
        break;
    }
}

// What the port's phase means to the run, read on every pass: a port that
// went away between two waits has no event of its own to wake the loop.
void FollowPort(PortRun& run, TerminalOutput& output) {
    if (Answered(run)) {
        return;  // only being let go now
    }
    switch (run.port.CurrentPhase()) {
    case Phase::Opening:
    case Phase::Closing:
        break;
    case Phase::Ready:
        if (!run.started) {
            run.started = true;
            run.flow.Start(run.name);  // the prompt
        }
        break;
    case Phase::Lost:
        run.flow.OnPortDetached();
        break;
    case Phase::Closed:
        if (run.started) {
            run.flow.OnPortDetached();
            break;
        }
        if (run.port.OpeningFailure().kind != OpenFailure::Kind::None) {
            output.Message(run.port.OpeningFailure().chinese);
            output.Message(run.port.OpeningFailure().english);
        }
        run.reported = true;
        break;
    }
}

// Every tick to the port, in every phase (its opening's and its closing's
// deadlines), and to the dialogue once it runs; the port's phase read
// between, so that a loss comes before the dialogue's next tick. The ticks
// stop where the run gets its answer: the port's close comes first.
std::uint64_t GiveTicks(PortRun& run, TerminalOutput& output, std::uint64_t owed, bool closing) {
    std::uint64_t made = 0;
    for (; made < owed && made < kMostTicksPerWake && (closing || !Answered(run)); ++made) {
        run.port.OnTick();
        FollowPort(run, output);
        if (run.started) {
            run.flow.OnTick();
        }
    }
    return made;
}

}  // namespace

int ServeRun(PortRun& run, LoopPlatform& platform, TerminalOutput& output) {
    const std::uint64_t start = platform.Milliseconds();
    std::uint64_t ticksGiven = 0;
    std::uint32_t waitMs = Timing::kTickMilliseconds;
    bool closing = false;
    for (;;) {
        FollowPort(run, output);
        if (Answered(run) && !closing) {
            // An ending from now on is ignored: the close is bounded on its own.
            run.port.BeginClose();
            closing = true;
        }
        if (closing && run.port.CurrentPhase() == Phase::Closed) {
            break;
        }
        const WaitOn waitOn = run.port.Waitable();
        platform.Wait(&waitOn, 1, waitMs);
        const Ending ending = platform.TakeEnding();
        if (!closing) {
            TellEnding(ending, run.flow);
        }
        run.port.Service();
        FollowPort(run, output);
        const std::uint64_t now = platform.Milliseconds();
        const std::uint64_t due = now > start ? (now - start) / Timing::kTickMilliseconds : 0;
        const std::uint64_t made =
            GiveTicks(run, output, due > ticksGiven ? due - ticksGiven : 0, closing);
        ticksGiven += made;
        // Still behind after a poll's worth: the next burst a whole tick on.
        // Behind because the run got its answer: the rest once the close began.
        const std::uint64_t nextTickAt = start + (ticksGiven + 1) * Timing::kTickMilliseconds;
        waitMs = made == kMostTicksPerWake ? Timing::kTickMilliseconds
                 : nextTickAt > now        ? static_cast<std::uint32_t>(nextTickAt - now)
                                           : 0;
    }
    if (run.port.RestoreUnconfirmed()) {
        run.flow.WarnRestoreUnconfirmed();
    }
    return run.reported ? TerminalStatus::kPortNotOpened : run.flow.ExitStatus();
}
