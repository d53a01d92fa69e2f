#include "port_list.h"

#include <cstdio>

#include "port_discovery.h"

int PrintRegisteredPorts(ConsoleStreams& streams) {
    RegisteredPorts ports;
    const LONG error = ListRegisteredPorts(ports);
    for (int i = 0; i < ports.count; ++i) {
        streams.Result(ports.names[i]);
    }
    if (ports.leftOut > 0) {
        char line[320];
        std::snprintf(line, sizeof line,
                      "另有 %d 个串口未列出：只列出前 %d 个，名字最长 %d 字节 / %d more ports "
                      "not listed: the first %d are listed, names up to %d bytes",
                      ports.leftOut, RegisteredPorts::kMaxPorts, RegisteredPorts::kNameSize - 1,
                      ports.leftOut, RegisteredPorts::kMaxPorts, RegisteredPorts::kNameSize - 1);
        streams.Message(line);
    }
    if (error != ERROR_SUCCESS) {
        // The key went away under the listing (the last adapter pulled) or
        // Windows refused to read it: what came before is all there is.
        SayWindowsRefused(streams, "Windows 中断了串口列表的读取",
                          "Windows broke off the list of ports", static_cast<DWORD>(error));
        return TerminalStatus::kSystemRefused;
    }
    return TerminalStatus::kDone;
}
