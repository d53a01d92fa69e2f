// baudset-cli: the window's dialogue from a terminal, for headless boards
// and shell loops. The flow and its loop are the portable ones; this file
// is only the choice of port, and the clock, the wait and the signals of a
// Linux process.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "posix_sockets.h"
#include "run_report.h"
#include "terminal_loop.h"
#include "tty_discovery.h"
#include "tty_port.h"

namespace {

const TerminalHelp kHelp = {
    "端口 / PORT     ttyUSB0 之类的名字，或路径 / a name such as ttyUSB0, or a path\n"
    "                such as /dev/serial/by-id/usb-...\n",
    "  130, 143, 129 被 Ctrl-C、SIGTERM 或 SIGHUP 中断 / ended by Ctrl-C, SIGTERM or SIGHUP\n",
    "man baudset-cli"};

class StandardStreams : public TerminalOutput {
public:
    // A reader that went away (the end of a pipe closed) is no reason to
    // leave the device half set: the run goes on, unheard.
    void Result(const char* line) override {
        std::fprintf(stdout, "%s\n", line);
        std::fflush(stdout);
    }
    void Message(const char* line) override {
        std::fprintf(stderr, "baudset-cli: %s\n", line);
        std::fflush(stderr);
    }
    void Draw(const char* text) override {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
};

// The signals that end a run arrive on a descriptor, so the loop ends the
// run itself and closes the port and its lock on the way out. SIGHUP (the
// SSH session closed) ends it the same way; SIGPIPE is only a closed reader.
int SignalDescriptor() {
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGHUP);
    signal(SIGPIPE, SIG_IGN);
    const int descriptor = signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK);
    // Blocked only once they have somewhere to arrive: without the
    // descriptor, Ctrl-C must still end the run the ordinary way.
    if (descriptor >= 0) {
        sigprocmask(SIG_BLOCK, &ending, nullptr);
    }
    return descriptor;
}

class ProcessLoop final : public LoopPlatform {
public:
    ProcessLoop() : signals_(SignalDescriptor()) {}

    std::uint64_t Milliseconds() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<std::uint64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    }

    void Wait(const WaitOn* waits, int count, std::uint32_t milliseconds) override {
        pollfd watched[kMostWaits + 1] = {};
        int watching = 0;
        for (; watching < count && watching < kMostWaits; ++watching) {
            const WaitOn& on = waits[watching];
            watched[watching] = {static_cast<int>(on.handle),
                                 static_cast<short>((on.read ? POLLIN : 0) | (on.write ? POLLOUT : 0)), 0};
        }
        watched[watching++] = {signals_, POLLIN, 0};
        const timespec timeout{static_cast<time_t>(milliseconds / 1000),
                               static_cast<long>(milliseconds % 1000) * 1000000};
        ppoll(watched, static_cast<nfds_t>(watching), &timeout, nullptr);
    }

    // One signal a call: any other waits on the descriptor for the next.
    Ending TakeEnding() override {
        signalfd_siginfo info{};
        if (read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
            return Ending::None;
        }
        return info.ssi_signo == SIGINT    ? Ending::Interrupt
               : info.ssi_signo == SIGTERM ? Ending::Terminate
                                           : Ending::HangUp;
    }

private:
    static constexpr int kMostWaits = TerminalRequest::kMostPorts;
    int signals_;
};

// One port's run and everything it owns, in the order each needs the last.
struct PortSlot {
    PortSlot(const TerminalRequest& request, const PortRequest& asked, PortOutput& output) {
        if (asked.network) {
            port = &BeginNetworkLine(line, sockets, accumulator, asked.address);
            name = asked.port;
        } else {
            path = TtyDevicePath(asked.port);
            name = path.c_str();
            tty.emplace(accumulator);
            OpenFailure failure;
            if (tty->Open(path, &failure)) {
                port = &*tty;
            } else {
                unopened.emplace(failure);
                port = &*unopened;
            }
        }
        flow.emplace(request, asked, accumulator, *port, output, trace);
    }

    RxAccumulator accumulator;
    TraceChannel trace;
    PosixSockets sockets;
    std::string path;
    std::optional<TtyPort> tty;
    std::optional<NetworkLine> line;
    std::optional<UnopenedPort> unopened;
    ServedPort* port = nullptr;
    const char* name = nullptr;
    std::optional<TerminalFlow> flow;
};

// Every port in the one loop; the signals wait on their descriptor before
// any port is touched, and a signal during an opening ends that run as one
// during the dialogue does, in the same words and status.
int Run(const TerminalRequest& request, ProcessLoop& loop, StandardStreams& output) {
    std::vector<std::optional<PortSlot>> slots(request.portCount);
    const int status = ServeRequest(request, slots.data(), isatty(STDERR_FILENO) == 1, loop, output);
    for (const auto& slot : slots) {
        if (slot->tty && slot->tty->SpeedLeftAt9600()) {
            char line[512];
            output.Message(SayTerminal(TerminalWords::kSpeedNotRestorable, line, sizeof line,
                                       slot->path.c_str()));
        }
    }
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    const TerminalRequest request = ReadTerminalArguments(argc - 1, argv + 1, BAUDSET_VERSION, kHelp);
    switch (request.action) {
    case TerminalRequest::Action::Help:
    case TerminalRequest::Action::Version:
        std::fputs(request.text, stdout);
        return TerminalStatus::kDone;
    case TerminalRequest::Action::Usage:
        std::fputs(request.text, stderr);
        return TerminalStatus::kUsage;
    case TerminalRequest::Action::List:
        for (const std::string& name : DiscoverSerialPorts()) {
            if (!request.longList) {
                std::printf("%s\n", name.c_str());
                continue;
            }
            char line[2048];
            std::printf("%s\n", DescribePortIdentity(IdentifyPort(name), request.json, line,
                                                     sizeof line));
        }
        return TerminalStatus::kDone;
    case TerminalRequest::Action::Run:
        break;
    }
    // The signals wait on their descriptor before the port is touched.
    ProcessLoop loop;
    StandardStreams output;
    return Run(request, loop, output);
}
