// baudset-cli.exe: the window's dialogue from a Windows console, for
// production lines that set boards from a batch file or PowerShell. The
// flow is the portable one and the port is the window's; this file is only
// the console, its control events and the 10 ms tick of a Windows process.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "com_open_failure.h"
#include "port_discovery.h"
#include "serial_port.h"
#include "terminal_flow.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

const TerminalHelp kHelp = {
    "端口 / PORT     COM3 之类的名字，或 \\\\.\\COM12 / a name such as COM3, or \\\\.\\COM12\n",
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
// Until the flow has its answer: the reader thread fills the accumulator as
// the bytes come, the loop ticks every 10 ms. A tick that comes late is not
// made up for, as a window's timer does not: the engine counts ticks.
int Run(const TerminalRequest& request) {
    char path[320];
    if (!ComDevicePath(request.port, path, sizeof path)) {
        SayOpenFailure(request.port, ERROR_FILENAME_EXCED_RANGE);
        return TerminalStatus::kPortNotOpened;
    }
    endingRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // High resolution where Windows has it (10 1803 on): the default timer
    // ticks every 15.6 ms, which would stretch every wait by half.
    HANDLE tick = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                         TIMER_ALL_ACCESS);
    if (tick == nullptr) {
        tick = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    if (endingRequested == nullptr || runEnded == nullptr || tick == nullptr) {
        // Before the port: say so, not that the port failed.
        char line[160];
        std::snprintf(line, sizeof line,
                      "Windows 没有给出计时器或事件（错误 %lu）/ Windows gave no timer or event "
                      "(error %lu)",
                      GetLastError(), GetLastError());
        ConsoleStreams().Message(line);
        return TerminalStatus::kPortNotOpened;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    static RxAccumulator accumulator;
    static SerialPort port(accumulator);
    if (!port.Open(path)) {
        const DWORD error = GetLastError();
        SayOpenFailure(request.port, error);
        SetEvent(runEnded);
        return TerminalStatus::kPortNotOpened;
    }
    port.StartReader();
    ConsoleStreams output;
    TraceChannel trace;
    TerminalFlow flow(request, accumulator, port, output, trace);
    flow.Start(request.port);

    LARGE_INTEGER firstTick;
    firstTick.QuadPart = -100000;  // 10 ms from now, in 100 ns
    SetWaitableTimer(tick, &firstTick, 10, nullptr, nullptr, FALSE);
    const HANDLE waits[2] = {endingRequested, tick};
    while (!flow.Finished()) {
        const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            TakeEnding(flow);
        } else if (woken == WAIT_OBJECT_0 + 1) {
            flow.OnTick();
        } else {
            flow.OnInterrupt();  // cannot wait any more: end as if asked to
        }
    }
    CancelWaitableTimer(tick);
    port.Close();
    SetEvent(runEnded);
    return flow.ExitStatus();
}

int PrintRegisteredPorts() {
    static RegisteredPorts ports;
    ListRegisteredPorts(ports);
    for (int i = 0; i < ports.count; ++i) {
        standardOutput.Write(ports.names[i]);
        standardOutput.Write("\n");
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
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wideArguments[i], -1, storage + used,
                                              static_cast<int>(sizeof storage - used), nullptr,
                                              nullptr);
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
