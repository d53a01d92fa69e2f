// baudset-cli: the window's dialogue from a terminal, for headless boards
// and shell loops. The flow is the portable one; this file is only the
// port, the signals and the 10 ms tick of a Linux process.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "net_port.h"
#include "tty_discovery.h"
#include "terminal_flow.h"
#include "tty_port.h"

namespace {

constexpr long kTickNanoseconds = 10 * 1000 * 1000;
constexpr int kMostTicksPerWake = 30;  // one poll's worth

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
};

long long Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

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

void TakeSignal(int descriptor, TerminalFlow& flow) {
    signalfd_siginfo info{};
    while (read(descriptor, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGINT) {
            flow.OnInterrupt();
        } else if (info.ssi_signo == SIGTERM) {
            flow.OnTerminate();
        } else {
            flow.OnHangUp();
        }
    }
}

// Until the flow has its answer: the port's bytes as they come, and a tick
// for every 10 ms that have passed. A wake that comes late (a loaded or
// stopped process) gets the ticks it missed, so every wait the program
// states lasts what it says; at most one poll's worth per wake, 10 ms
// apart, so a late loop never sends two commands back to back. The port is
// a TtyPort or a NetPort: the loop is the same for both.
template <typename Port>
int Serve(Port& port, TerminalFlow& flow, int signals) {
    long long nextTick = Now() + kTickNanoseconds;
    long long wakeAt = nextTick;
    while (!flow.Finished()) {
        const long long wait = wakeAt - Now();
        const timespec timeout{static_cast<time_t>(wait > 0 ? wait / 1000000000 : 0),
                               static_cast<long>(wait > 0 ? wait % 1000000000 : 0)};
        pollfd watched[2] = {
            {port.Descriptor(), static_cast<short>(POLLIN | (port.WantsToWrite() ? POLLOUT : 0)), 0},
            {signals, POLLIN, 0}};
        if (ppoll(watched, 2, &timeout, nullptr) > 0) {
            if (watched[1].revents != 0) {
                TakeSignal(signals, flow);
            }
            if (watched[0].revents & POLLOUT) {
                port.WriteQueued();
            }
            if (watched[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
                port.ReadAvailable();
            }
            if (!port.IsAttached()) {
                flow.OnPortDetached();
            }
        }
        const long long now = Now();
        int made = 0;
        for (; !flow.Finished() && now >= nextTick && made < kMostTicksPerWake; ++made) {
            flow.OnTick();
            nextTick += kTickNanoseconds;
        }
        wakeAt = made == kMostTicksPerWake ? now + kTickNanoseconds : nextTick;
    }
    port.Close();
    return flow.ExitStatus();
}

void SayFailure(const OpenFailure& failure) {
    std::fprintf(stderr, "baudset-cli: %s\nbaudset-cli: %s\n", failure.chinese, failure.english);
}

int RunOnTty(const TerminalRequest& request, int signals) {
    const std::string path = TtyDevicePath(request.port);
    RxAccumulator accumulator;
    TtyPort port(accumulator);
    OpenFailure failure;
    if (!port.Open(path, &failure)) {
        SayFailure(failure);
        return TerminalStatus::kPortNotOpened;
    }
    StandardStreams output;
    TraceChannel trace;
    TerminalFlow flow(request, accumulator, port, output, trace);
    flow.Start(path.c_str());
    return Serve(port, flow, signals);
}

// The flow is there before the connection: a signal during the opening ends
// the run as one during the dialogue does, in the same words and status.
int RunOnNetwork(const TerminalRequest& request, int signals) {
    RxAccumulator accumulator;
    NetPort port(accumulator, request.address.mode);
    StandardStreams output;
    TraceChannel trace;
    TerminalFlow flow(request, accumulator, port, output, trace);
    OpenFailure failure;
    switch (port.Open(request.address, signals, &failure)) {
    case NetPort::Opening::Ready:
        break;
    case NetPort::Opening::Interrupted:
        TakeSignal(signals, flow);
        return flow.ExitStatus();
    case NetPort::Opening::Failed:
        SayFailure(failure);
        return TerminalStatus::kPortNotOpened;
    }
    flow.Start(request.port);
    return Serve(port, flow, signals);
}

int Run(const TerminalRequest& request) {
    const int signals = SignalDescriptor();
    return request.network ? RunOnNetwork(request, signals) : RunOnTty(request, signals);
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
            std::printf("%s\n", name.c_str());
        }
        return TerminalStatus::kDone;
    case TerminalRequest::Action::Run:
        break;
    }
    return Run(request);
}
