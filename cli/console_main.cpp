// baudset-cli.exe: the window's dialogue from a Windows console, for
// production lines that set boards from a batch file or PowerShell. The
// flow is the portable one and the port is the window's; this file is only
// the console, its control events and the 10 ms tick of a Windows process.
// A port behind a terminal server is served on the console's own thread.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "com_open_failure.h"
#include "network_port.h"
#include "port_discovery.h"
#include "run_clock.h"
#include "serial_port.h"
#include "terminal_flow.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

const TerminalHelp kHelp = {
    "端口 / PORT     COM3 之类的名字，或 \\\\.\\COM12 / a name such as COM3, or \\\\.\\COM12\n",
    "  5 Windows 不给所需的事件，或中断了串口列表 / Windows gave no event, or broke off --list;\n"
    "  130 被 Ctrl-C 或 Ctrl-Break 中断 / ended by Ctrl-C or Ctrl-Break;\n"
    "  129 控制台窗口被关闭 / the console window was closed;\n"
    "  143 注销或关机 / log-off or shut-down\n",
    "usage.txt"};

// One of the process's standard handles. In a console window the text goes
// through the wide-character API, so Chinese reads as characters whatever
// the console's code page; to a file or a pipe it goes as UTF-8 bytes, which
// findstr and PowerShell read as text. Lines end in CR LF, as Windows text.
class StandardHandle {
public:
    explicit StandardHandle(DWORD which) : handle_(GetStdHandle(which)) {
        DWORD mode = 0;
        console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE &&
                   GetConsoleMode(handle_, &mode) != 0;
    }

    // UTF-8 text; each "\n" is written as CR LF.
    void Write(const char* text) {
        const char* line = text;
        while (*line != '\0') {
            const char* end = std::strchr(line, '\n');
            const std::size_t length = end != nullptr ? end - line : std::strlen(line);
            WriteRun(line, length);
            if (end == nullptr) {
                break;
            }
            WriteRun("\r\n", 2);
            line = end + 1;
        }
    }

private:
    // Converted in pieces that end on a character's first byte, so a long
    // text needs no buffer of its length and no character is cut in two.
    void WriteRun(const char* bytes, std::size_t length) {
        if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) {
            return;
        }
        while (length > 0) {
            std::size_t piece = length < kPiece ? length : kPiece;
            while (piece < length && piece > 0 && (bytes[piece] & 0xC0) == 0x80) {
                --piece;
            }
            DWORD written = 0;
            if (console_) {
                wchar_t wide[kPiece];
                const int count = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(piece),
                                                      wide, kPiece);
                WriteConsoleW(handle_, wide, static_cast<DWORD>(count), &written, nullptr);
            } else {
                // A reader that went away is no reason to leave the device
                // half set: the run goes on, unheard.
                WriteFile(handle_, bytes, static_cast<DWORD>(piece), &written, nullptr);
            }
            bytes += piece;
            length -= piece;
        }
    }

    static constexpr std::size_t kPiece = 512;
    HANDLE handle_;
    bool console_ = false;
};

StandardHandle standardOutput(STD_OUTPUT_HANDLE);
StandardHandle standardError(STD_ERROR_HANDLE);

class ConsoleStreams : public TerminalOutput {
public:
    void Result(const char* line) override {
        standardOutput.Write(line);
        standardOutput.Write("\n");
    }
    void Message(const char* line) override {
        standardError.Write("baudset-cli: ");
        standardError.Write(line);
        standardError.Write("\n");
    }
};

// --- how a run ends from outside --------------------------------------------
// Console control events arrive on a thread of their own. The handler only
// tells the loop, which ends the run itself and closes the port; a closing
// console waits for that, since the process ends when the handler returns.
enum class Ending : LONG { None, Interrupt, HangUp, Terminate };
volatile LONG requestedEnding = static_cast<LONG>(Ending::None);
HANDLE endingRequested = nullptr;  // set by the handler
HANDLE runEnded = nullptr;         // set once the port is closed
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
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        return TRUE;
    }
    WaitForSingleObject(runEnded, kCloseGraceMs);
    return TRUE;
}

void TakeEnding(TerminalFlow& flow) {
    switch (static_cast<Ending>(requestedEnding)) {
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

// --- opening -------------------------------------------------------------------
void SayOpenFailure(const char* name, DWORD error) {
    const OpenFailure failure = DescribeComOpenFailure(error, name);
    ConsoleStreams streams;
    streams.Message(failure.chinese);
    streams.Message(failure.english);
}

// --- the run -------------------------------------------------------------------
// The loop wakes at the tick timer where there is one, and at the latest
// after this long in any case, so no failed timer can stop the run's clock.
constexpr DWORD kLongestSleepMs = 10;
// Ticks made up at one wake: one poll's worth, so that a loop that comes
// back late (a machine that slept) pays its debt at most one command per
// wake, still hearing Ctrl-C and an unplug between them.
constexpr std::uint64_t kMostTicksPerWake = 30;

// A 10 ms timer where Windows can give one. The high-resolution kind exists
// from Windows 10 1803 on; the plain kind fires at the system's tick (15.6
// ms by default), and none at all is survived too: the loop's own timeout
// wakes it. Either way the ticks are counted by the clock, not by wakes.
HANDLE StartTickTimer() {
    HANDLE tick = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                         TIMER_ALL_ACCESS);
    if (tick == nullptr) {
        tick = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    LARGE_INTEGER firstTick;
    firstTick.QuadPart = -100000;  // 10 ms from now, in 100 ns
    if (tick != nullptr && !SetWaitableTimer(tick, &firstTick, 10, nullptr, nullptr, FALSE)) {
        CloseHandle(tick);
        tick = nullptr;
    }
    return tick;
}

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
void RunUntilFinished(TerminalFlow& flow, Port& port) {
    const RunClock clock;
    HANDLE tick = StartTickTimer();
    HANDLE waits[3] = {endingRequested};
    DWORD waited = 1;
    if (tick != nullptr) {
        waits[waited++] = tick;
    }
    if (PortEvent(port) != nullptr) {
        waits[waited++] = PortEvent(port);
    }
    std::uint64_t ticksGiven = 0;
    while (!flow.Finished()) {
        const DWORD woken = WaitForMultipleObjects(waited, waits, FALSE, kLongestSleepMs);
        if (woken == WAIT_OBJECT_0) {
            TakeEnding(flow);
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
    if (tick != nullptr) {
        CancelWaitableTimer(tick);
        CloseHandle(tick);
    }
}

void SaySystemRefused(const char* chinese, const char* english, DWORD error) {
    char line[320];
    std::snprintf(line, sizeof line, "%s（错误 %lu）/ %s (error %lu)", chinese,
                  static_cast<unsigned long>(error), english, static_cast<unsigned long>(error));
    ConsoleStreams().Message(line);
}

// The opening of a network port ends at once on Ctrl-C or a closing
// console, as a run does: the server's line is put back, and the ending is
// said as the run would say it.
int RunOverNetwork(const TerminalRequest& request, RxAccumulator& accumulator,
                   TerminalOutput& output, TraceChannel& trace) {
    static NetworkPort port(accumulator, request.address.mode);
    TerminalFlow flow(request, accumulator, port.Writer(), output, trace);
    static OpenFailure failure;
    const NetworkPort::Opening opening = port.Open(request.address, endingRequested, &failure);
    if (opening == NetworkPort::Opening::Failed) {
        output.Message(failure.chinese);
        output.Message(failure.english);
        port.Close();
        SetEvent(runEnded);
        return TerminalStatus::kPortNotOpened;
    }
    if (opening == NetworkPort::Opening::Interrupted) {
        port.Close();
        TakeEnding(flow);
        SetEvent(runEnded);
        return flow.ExitStatus();
    }
    flow.Start(request.port);
    RunUntilFinished(flow, port);
    port.Close();
    SetEvent(runEnded);
    return flow.ExitStatus();
}

int Run(const TerminalRequest& request) {
    char path[320];
    if (!request.network && !ComDevicePath(request.port, path, sizeof path)) {
        SayOpenFailure(request.port, ERROR_FILENAME_EXCED_RANGE);
        return TerminalStatus::kPortNotOpened;
    }
    endingRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (endingRequested == nullptr || runEnded == nullptr) {
        // Before the port: nothing is wrong with it, and it was not touched.
        SaySystemRefused("Windows 没有给出本程序所需的事件，未打开串口",
                         "Windows gave no event the program needs; the port was not opened",
                         GetLastError());
        return TerminalStatus::kSystemRefused;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    static RxAccumulator accumulator;
    ConsoleStreams output;
    TraceChannel trace;
    if (request.network) {
        return RunOverNetwork(request, accumulator, output, trace);
    }
    static SerialPort port(accumulator);
    if (!port.Open(path)) {
        const DWORD error = GetLastError();
        SayOpenFailure(request.port, error);
        SetEvent(runEnded);
        return TerminalStatus::kPortNotOpened;
    }
    port.StartReader();
    TerminalFlow flow(request, accumulator, port, output, trace);
    flow.Start(request.port);
    RunUntilFinished(flow, port);
    // The reader is ended here, not by the process's end: a thread that
    // exit has to kill keeps the process alive past its answer, and Wine's
    // server ends such a process with SIGKILL.
    port.Close();
    port.StopReader();
    SetEvent(runEnded);
    return flow.ExitStatus();
}

int PrintRegisteredPorts() {
    static RegisteredPorts ports;
    const LONG error = ListRegisteredPorts(ports);
    for (int i = 0; i < ports.count; ++i) {
        standardOutput.Write(ports.names[i]);
        standardOutput.Write("\n");
    }
    if (ports.leftOut > 0) {
        char line[320];
        std::snprintf(line, sizeof line,
                      "另有 %d 个串口未列出：只列出前 %d 个，名字最长 %d 字节 / %d more ports "
                      "not listed: the first %d are listed, names up to %d bytes",
                      ports.leftOut, RegisteredPorts::kMaxPorts, RegisteredPorts::kNameSize - 1,
                      ports.leftOut, RegisteredPorts::kMaxPorts, RegisteredPorts::kNameSize - 1);
        ConsoleStreams().Message(line);
    }
    if (error != ERROR_SUCCESS) {
        // The key went away under the listing (the last adapter pulled) or
        // Windows refused to read it: what came before is all there is.
        SaySystemRefused("Windows 中断了串口列表的读取", "Windows broke off the list of ports",
                         static_cast<DWORD>(error));
        return TerminalStatus::kSystemRefused;
    }
    return TerminalStatus::kDone;
}

}  // namespace

// The arguments as UTF-8 from the wide command line, so a port or a wait
// typed in any code page arrives as typed.
int wmain(int count, wchar_t* wideArguments[]) {
    static char storage[4096];
    static const char* arguments[64];
    int taken = 0;
    std::size_t used = 0;
    if (count - 1 > 64) {
        standardError.Write("baudset-cli: 参数太多 / too many arguments\n");
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
            standardError.Write("baudset-cli: 参数太长 / the arguments are too long\n");
            return TerminalStatus::kUsage;
        }
        arguments[taken++] = storage + used;
        used += bytes;
    }
    static TerminalRequest request;
    request = ReadTerminalArguments(taken, arguments, BAUDSET_VERSION, kHelp);
    switch (request.action) {
    case TerminalRequest::Action::Help:
    case TerminalRequest::Action::Version:
        standardOutput.Write(request.text);
        return TerminalStatus::kDone;
    case TerminalRequest::Action::Usage:
        standardError.Write(request.text);
        return TerminalStatus::kUsage;
    case TerminalRequest::Action::List:
        return PrintRegisteredPorts();
    case TerminalRequest::Action::Run:
        break;
    }
    return Run(request);
}
