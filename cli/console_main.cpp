// baudset-cli.exe: the window's dialogue from a Windows console, for
// production lines that set boards from a batch file or PowerShell. The
// flow is the portable one and the port is the window's; this file is only
// the arguments and the run's 10 ms tick on a Windows console.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "com_open_failure.h"
#include "console_text.h"
#include "control_events.h"
#include "network_port.h"
#include "port_list.h"
#include "run_clock.h"
#include "serial_port.h"
#include "terminal_flow.h"

namespace {

const TerminalHelp kHelp = {
    "端口 / PORT     COM3 之类的名字，或 \\\\.\\COM12 / a name such as COM3, or \\\\.\\COM12\n",
    "  5 Windows 不给所需的事件，或中断了串口列表 / Windows gave no event, or broke off --list;\n"
    "  130 被 Ctrl-C 或 Ctrl-Break 中断 / ended by Ctrl-C or Ctrl-Break;\n"
    "  129 控制台窗口被关闭 / the console window was closed;\n"
    "  143 注销或关机 / log-off or shut-down\n",
    "usage.txt"};

void TakeEnding(ControlEvents& events, TerminalFlow& flow) {
    switch (events.TakeEnding()) {
    case Ending::Interrupt:
        flow.OnInterrupt();
        break;
    case Ending::HangUp:
        flow.OnHangUp();
        break;
    case Ending::Terminate:
        flow.OnTerminate();
        break;
    case Ending::None:
        break;
    }
}

void SayOpenFailure(TerminalOutput& output, const OpenFailure& failure) {
    output.Message(failure.chinese);
    output.Message(failure.english);
}

// The loop wakes at the tick timer where there is one, and at the latest
// after this long in any case, so no failed timer can stop the run's clock.
constexpr DWORD kLongestSleepMs = 10;
// Ticks made up at one wake: one poll's worth, so that a loop that comes
// back late (a machine that slept) pays its debt at most one command per
// wake, still hearing Ctrl-C and an unplug between them.
constexpr std::uint64_t kMostTicksPerWake = 30;

// What the loop does for each kind of port besides ticking. A COM port's
// reader thread fills the accumulator and its writes go out at once; a
// network port is served here, at its socket's event and after each tick.
HANDLE PortEvent(const SerialPort&) { return nullptr; }
void ServicePort(SerialPort&) {}
void SendForPort(SerialPort&) {}
HANDLE PortEvent(const NetworkPort& port) { return port.Event(); }
void ServicePort(NetworkPort& port) { port.Service(); }
void SendForPort(NetworkPort& port) { port.Send(); }

// Until the flow has its answer: the bytes reach the accumulator as they
// come, the loop gives the flow one tick for every 10 ms that have passed.
// A wake that comes late (a coarse system timer, a busy machine) gets the
// ticks it missed, so every wait the program states lasts what it says on
// every Windows.
template <typename Port>
void RunUntilFinished(ControlEvents& events, TerminalFlow& flow, Port& port) {
    const RunClock clock;
    const TickTimer tick;
    HANDLE waits[3] = {events.EndingEvent()};
    DWORD waited = 1;
    if (tick.Handle() != nullptr) {
        waits[waited++] = tick.Handle();
    }
    if (PortEvent(port) != nullptr) {
        waits[waited++] = PortEvent(port);
    }
    std::uint64_t ticksGiven = 0;
    while (!flow.Finished()) {
        const DWORD woken = WaitForMultipleObjects(waited, waits, FALSE, kLongestSleepMs);
        if (woken == WAIT_OBJECT_0) {
            TakeEnding(events, flow);
        } else if (woken == WAIT_FAILED) {
            Sleep(kLongestSleepMs);  // the clock still counts
        }
        ServicePort(port);
        if (port.DeviceGone()) {
            flow.OnPortDetached();
        }
        const std::uint64_t due = clock.Milliseconds() / 10;
        const std::uint64_t upTo =
            due < ticksGiven + kMostTicksPerWake ? due : ticksGiven + kMostTicksPerWake;
        for (; ticksGiven < upTo && !flow.Finished(); ++ticksGiven) {
            flow.OnTick();
        }
        SendForPort(port);  // the command a tick wrote goes now, not at the next wake
    }
}

// The opening of a network port ends at once on Ctrl-C or a closing
// console, as a run does: the server's line is put back, and the ending is
// said as the run would say it.
int RunOverNetwork(const TerminalRequest& request, ControlEvents& events,
                   ConsoleStreams& output) {
    RxAccumulator accumulator;
    TraceChannel trace;
    NetworkPort port(accumulator, request.address.mode);
    TerminalFlow flow(request, accumulator, port.Writer(), output, trace);
    OpenFailure failure;
    const NetworkPort::Opening opening = port.Open(request.address, events.EndingEvent(), &failure);
    if (opening == NetworkPort::Opening::Failed) {
        SayOpenFailure(output, failure);
        port.Close();
        return TerminalStatus::kPortNotOpened;
    }
    if (opening == NetworkPort::Opening::Interrupted) {
        port.Close();
        TakeEnding(events, flow);
        return flow.ExitStatus();
    }
    flow.Start(request.port);
    RunUntilFinished(events, flow, port);
    port.Close();
    return flow.ExitStatus();
}

int RunOnComPort(const TerminalRequest& request, const char* path, ControlEvents& events,
                 ConsoleStreams& output) {
    RxAccumulator accumulator;
    TraceChannel trace;
    SerialPort port(accumulator);
    if (!port.Open(path)) {
        SayOpenFailure(output, DescribeComOpenFailure(GetLastError(), request.port));
        return TerminalStatus::kPortNotOpened;
    }
    port.StartReader();
    TerminalFlow flow(request, accumulator, port, output, trace);
    flow.Start(request.port);
    RunUntilFinished(events, flow, port);
    // The reader is ended here, not by the process's end: a thread that
    // exit has to kill keeps the process alive past its answer, and Wine's
    // server ends such a process with SIGKILL.
    port.Close();
    port.StopReader();
    return flow.ExitStatus();
}

int Run(const TerminalRequest& request, ConsoleStreams& output) {
    char path[320];
    if (!request.network && !ComDevicePath(request.port, path, sizeof path)) {
        SayOpenFailure(output, DescribeComOpenFailure(ERROR_FILENAME_EXCED_RANGE, request.port));
        return TerminalStatus::kPortNotOpened;
    }
    ControlEvents events;
    if (!events.Ready()) {
        // Before the port: nothing is wrong with it, and it was not touched.
        SayWindowsRefused(output, "Windows 没有给出本程序所需的事件，未打开串口",
                          "Windows gave no event the program needs; the port was not opened",
                          events.Error());
        return TerminalStatus::kSystemRefused;
    }
    return request.network ? RunOverNetwork(request, events, output)
                           : RunOnComPort(request, path, events, output);
}

}  // namespace

// The arguments as UTF-8 from the wide command line, so a port or a wait
// typed in any code page arrives as typed.
int wmain(int count, wchar_t* wideArguments[]) {
    ConsoleStreams streams;
    char storage[4096];
    const char* arguments[64];
    int taken = 0;
    std::size_t used = 0;
    if (count - 1 > 64) {
        streams.Message("参数太多 / too many arguments");
        return TerminalStatus::kUsage;
    }
    for (int i = 1; i < count; ++i) {
        // A full buffer is no room: asked to convert into none,
        // WideCharToMultiByte would report the size it needs, not fail.
        const int room = static_cast<int>(sizeof storage - used);
        const int bytes = room == 0 ? 0
                                    : WideCharToMultiByte(CP_UTF8, 0, wideArguments[i], -1,
                                                          storage + used, room, nullptr, nullptr);
        if (bytes == 0) {
            streams.Message("参数太长 / the arguments are too long");
            return TerminalStatus::kUsage;
        }
        arguments[taken++] = storage + used;
        used += bytes;
    }
    const TerminalRequest request = ReadTerminalArguments(taken, arguments, BAUDSET_VERSION, kHelp);
    switch (request.action) {
    case TerminalRequest::Action::Help:
    case TerminalRequest::Action::Version:
        streams.output.Write(request.text);
        return TerminalStatus::kDone;
    case TerminalRequest::Action::Usage:
        streams.error.Write(request.text);
        return TerminalStatus::kUsage;
    case TerminalRequest::Action::List:
        return PrintRegisteredPorts(streams);
    case TerminalRequest::Action::Run:
        break;
    }
    return Run(request, streams);
}
