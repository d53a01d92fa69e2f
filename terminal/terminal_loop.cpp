#include "terminal_loop.h"

#include "terminal_arguments.h"
#include "terminal_words.h"
#include "timing.h"

namespace {

using Phase = ServedPort::Phase;

// A loop that wakes late (a loaded or stopped process, a machine that
// slept) gets the ticks it missed, so every wait the program states lasts
// what it says, but one poll's worth at most per wake, a tick apart.
constexpr std::uint64_t kMostTicksPerWake = ProtocolEngine::kPollDivider;

// The run has its answer: the dialogue's, or that the port never opened.
bool Answered(const PortRun& run) { return run.flow->Finished() || run.reported; }

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
void FollowPort(PortRun& run) {
    TerminalOutput& output = *run.output;
    if (Answered(run)) {
        return;  // only being let go now
    }
    switch (run.port->CurrentPhase()) {
    case Phase::Opening:
    case Phase::Closing:
        break;
    case Phase::Ready:
        if (!run.started) {
            run.started = true;
            run.flow->Start(run.name, !run.sharesPrompt);  // one port: its prompt
        } else if (run.away) {
            run.away = false;
            run.flow->OnPortBack();
        }
        break;
    case Phase::Lost:
        // Before the first line nothing was set: the adapter may be going
        // through its board's power cycle, and the wait goes on for it.
        if (run.flow->Version() == nullptr && run.port->AwaitReturn()) {
            run.away = true;
            run.flow->OnPortAway();
            break;
        }
        run.flow->OnPortDetached();
        break;
    case Phase::Closed:
        if (run.started && run.port->OpeningFailure().kind == OpenFailure::Kind::None) {
            run.flow->OnPortDetached();
            break;
        }
        if (run.port->OpeningFailure().kind != OpenFailure::Kind::None) {
            output.Message(run.port->OpeningFailure().chinese);
            output.Message(run.port->OpeningFailure().english);
        }
        run.reported = true;
        break;
    }
}

// Every tick to each port, in every phase (its opening's and its closing's
// deadlines), and to its dialogue once it runs; the port's phase read
// between, so that a loss comes before the dialogue's next tick. A run's
// ticks stop where it gets its answer, until its close has begun.
std::uint64_t GiveTicks(PortRun* runs, int count, std::uint64_t owed) {
    std::uint64_t made = 0;
    for (; made < owed && made < kMostTicksPerWake; ++made) {
        for (int i = 0; i < count; ++i) {
            PortRun& run = runs[i];
            if (run.letGo || (!run.closing && Answered(run))) {
                continue;
            }
            run.port->OnTick();
            FollowPort(run);
            if (run.started) {
                run.flow->OnTick();
            }
        }
    }
    return made;
}

// Answered runs begin their close; closed ones are let go with their
// status. True when every run is let go.
bool CloseAnswered(PortRun* runs, int count) {
    bool allLetGo = true;
    for (int i = 0; i < count; ++i) {
        PortRun& run = runs[i];
        FollowPort(run);
        if (Answered(run) && !run.closing) {
            // An ending from now on is ignored: the close is bounded on its own.
            run.port->BeginClose();
            run.closing = true;
        }
        if (run.closing && !run.letGo && run.port->CurrentPhase() == Phase::Closed) {
            run.letGo = true;
            if (run.port->RestoreUnconfirmed()) {
                run.flow->WarnRestoreUnconfirmed();
            }
            run.status = run.reported ? TerminalStatus::kPortNotOpened : run.flow->ExitStatus();
        }
        allLetGo = allLetGo && run.letGo;
    }
    return allLetGo;
}

// Several ports: one power cycle for all, asked for once every port is
// open or has failed, so that no device's first line comes before its
// port listens.
bool PromptOnce(const PortRun* runs, int count, TerminalOutput& output) {
    int open = 0;
    const PortRun* one = nullptr;
    for (int i = 0; i < count; ++i) {
        if (!runs[i].started && !runs[i].reported) {
            return false;
        }
        open += runs[i].started ? 1 : 0;
        one = runs[i].started ? &runs[i] : one;
    }
    // The one port left open is asked for by name, as a run of one would.
    char line[512];
    if (open == 1) {
        output.Message(SayTerminal(TerminalWords::kPrompt, line, sizeof line, one->name,
                                   one->flow->WaitText()));
    } else if (open > 1) {
        output.Message(SayTerminal(TerminalWords::kPromptForMany, line, sizeof line, open,
                                   runs[0].flow->WaitText()));
    }
    return true;
}

}  // namespace

int ServeRuns(PortRun* runs, int count, LoopPlatform& platform, TerminalOutput& output,
              RunWatcher* watcher) {
    const std::uint64_t start = platform.Milliseconds();
    std::uint64_t ticksGiven = 0;
    std::uint32_t waitMs = Timing::kTickMilliseconds;
    bool prompted = count == 1;  // one port: its own prompt, as it always said
    for (int i = 0; i < count; ++i) {
        runs[i].sharesPrompt = count > 1;
    }
    WaitOn waits[TerminalRequest::kMostPorts];
    for (;;) {
        const bool allLetGo = CloseAnswered(runs, count);
        prompted = prompted || PromptOnce(runs, count, output);
        if (watcher != nullptr) {
            watcher->Follow(runs, count, platform.Milliseconds(), prompted);
        }
        if (allLetGo) {
            break;
        }
        int waiting = 0;
        for (int i = 0; i < count && waiting < TerminalRequest::kMostPorts; ++i) {
            if (!runs[i].letGo) {
                waits[waiting++] = runs[i].port->Waitable();
            }
        }
        platform.Wait(waits, waiting, waitMs);
        const Ending ending = platform.TakeEnding();
        for (int i = 0; i < count; ++i) {
            PortRun& run = runs[i];
            if (run.letGo) {
                continue;
            }
            if (!run.closing) {
                TellEnding(ending, *run.flow);
            }
            run.port->Service();
            FollowPort(run);
        }
        const std::uint64_t now = platform.Milliseconds();
        const std::uint64_t due = now > start ? (now - start) / Timing::kTickMilliseconds : 0;
        const std::uint64_t made =
            GiveTicks(runs, count, due > ticksGiven ? due - ticksGiven : 0);
        ticksGiven += made;
        // Still behind after a poll's worth: the next burst a whole tick on.
        // Behind because a run got its answer: the rest once its close began.
        const std::uint64_t nextTickAt = start + (ticksGiven + 1) * Timing::kTickMilliseconds;
        waitMs = made == kMostTicksPerWake ? Timing::kTickMilliseconds
                 : nextTickAt > now        ? static_cast<std::uint32_t>(nextTickAt - now)
                                           : 0;
    }
    int status = TerminalStatus::kDone;
    for (int i = 0; i < count; ++i) {
        status = runs[i].status > status ? runs[i].status : status;
    }
    return status;
}
