#include "port_list.h"

#include "port_discovery.h"
#include "terminal_words.h"

int PrintRegisteredPorts(ConsoleStreams& streams) {
    RegisteredPorts ports;
    const LONG error = ListRegisteredPorts(ports);
    for (int i = 0; i < ports.count; ++i) {
        streams.Result(ports.names[i]);
    }
    char line[320];
    if (ports.leftOut > 0) {
        streams.Message(SayTerminal(TerminalWords::kPortsNotListed, line, sizeof line,
                                    ports.leftOut, RegisteredPorts::kMaxPorts,
                                    RegisteredPorts::kNameSize - 1));
    }
    if (error != ERROR_SUCCESS) {
        // The key went away under the listing (the last adapter pulled) or
        // Windows refused to read it: what came before is all there is.
        streams.Message(SayTerminal(TerminalWords::kListBrokenOff, line, sizeof line,
                                    static_cast<unsigned long>(error)));
        return TerminalStatus::kSystemRefused;
    }
    return TerminalStatus::kDone;
}
