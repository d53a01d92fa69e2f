// baudset-cli.exe: the window's dialogue from a Windows console, for
// production lines that set boards from a batch file or PowerShell. The
// flow and its loop are the portable ones; this file is only the arguments
// and the choice of port.
#include <winsock2.h>
#include <windows.h>

#include <optional>

#include "com_open_failure.h"
#include "console_text.h"
#include "control_events.h"
#include "network_line.h"
#include "port_list.h"
#include "run_report.h"
#include "serial_port.h"
#include "terminal_loop.h"
#include "terminal_words.h"
#include "winsock_sockets.h"

namespace {

const TerminalHelp kHelp = {
    "端口 / PORT     COM3 之类的名字，或 \\\\.\\COM12 / a name such as COM3, or \\\\.\\COM12\n",
    "  5 Windows 不给所需的事件，或中断了串口列表 / Windows gave no event, or broke off --list;\n"
    "  130 被 Ctrl-C 或 Ctrl-Break 中断 / ended by Ctrl-C or Ctrl-Break;\n"
    "  129 控制台窗口被关闭 / the console window was closed;\n"
    "  143 注销或关机 / log-off or shut-down\n",
    "usage.txt"};

// One port's run and everything it owns, in the order each needs the last.
struct PortSlot {
    PortSlot(const TerminalRequest& request, const PortRequest& asked, PortOutput& output)
        : name(asked.port) {
        if (asked.network) {
            port = &BeginNetworkLine(line, sockets, accumulator, asked.address);
        } else {
            char path[320];
            const bool named = ComDevicePath(asked.port, path, sizeof path);
            serial.emplace(accumulator);
            if (named && serial->Open(path)) {
                serial->KeepForReturn(path, asked.port);
                serial->StartReader();
                port = &*serial;
            } else {
                unopened.emplace(DescribeComOpenFailure(
                    named ? GetLastError() : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE),
                    asked.port));
                port = &*unopened;
            }
        }
        flow.emplace(request, asked, accumulator, *port, output, trace);
    }

    RxAccumulator accumulator;
    TraceChannel trace;
    WinsockSockets sockets;
    std::optional<SerialPort> serial;
    std::optional<NetworkLine> line;
    std::optional<UnopenedPort> unopened;
    ServedPort* port = nullptr;
    const char* name = nullptr;
    std::optional<TerminalFlow> flow;
};

// Every port in the one loop, each slot in this frame: the console program
// takes nothing from the heap (the linker gives its stack room for 32).
int ServeAll(const TerminalRequest& request, ControlEvents& events, ConsoleStreams& output) {
    std::optional<PortSlot> slots[TerminalRequest::kMostPorts];
    ConsoleLoop loop(events);
    return ServeRequest(request, slots, output.error.TakesEscapes(), loop, output);
}

int Run(const TerminalRequest& request, ConsoleStreams& output) {
    // Made before the port and gone after it: a closing console waits for that.
    ControlEvents events;
    if (!events.Ready()) {
        // Before the port: nothing is wrong with it, and it was not touched.
        char line[320];
        output.Message(SayTerminal(TerminalWords::kNoEvent, line, sizeof line,
                                   static_cast<unsigned long>(events.Error())));
        return TerminalStatus::kSystemRefused;
    }
    return ServeAll(request, events, output);
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
    char line[64];
    if (count - 1 > 64) {
        streams.Message(SayTerminal(TerminalWords::kTooManyArguments, line, sizeof line));
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
            streams.Message(SayTerminal(TerminalWords::kArgumentsTooLong, line, sizeof line));
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
        return PrintRegisteredPorts(streams, request.longList, request.json);
    case TerminalRequest::Action::Run:
        break;
    }
    return Run(request, streams);
}
