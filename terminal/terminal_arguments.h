#pragma once

#include <cstdint>

#include "network_address.h"
#include "timing.h"

// What a terminal program's command line asks for, read before any port is
// touched. No platform here: what --help says that differs by platform is
// handed in by each platform's main.
// One port of a run, as typed: a name from the list, a path, or an address.
struct PortRequest {
    const char* port = nullptr;
    // The port is behind a terminal server: `address` is what `port` names.
    bool network = false;
    NetworkAddress address;
};

struct TerminalRequest {
    enum class Action { Run, List, Help, Version, Usage };
    static constexpr std::uint32_t kDefaultWaitSeconds = 60;
    static constexpr std::uint32_t kMaxWaitSeconds = 24 * 60 * 60;
    // A rack's worth: a hub's ports, or a terminal server's.
    static constexpr int kMostPorts = 32;

    Action action = Action::Usage;
    PortRequest ports[kMostPorts];  // in the order typed
    int portCount = 0;
    int rateIndex = -1;          // into kRateTable; -1 reads only
    bool json = false;           // results as JSON Lines, an object a port
    bool longList = false;       // --list with each port's identity
    std::uint32_t waitTicks = kDefaultWaitSeconds * Timing::kTicksPerSecond;
    // For Help and Version, standard output's text; for Usage, standard
    // error's. UTF-8, ending in a newline.
    // Room for Windows' help, the longest, with the network ports' lines
    // and a good margin.
    char text[4096] = {};
};

// What --help says that differs by platform; UTF-8, each part ending in a
// newline but the last.
struct TerminalHelp {
    const char* ports;    // how a port is named
    const char* endings;  // the statuses of a run ended from outside
    const char* more;     // where the manual is
};

// `arguments` without the program's name. Nothing is opened: a rate not in
// the table is refused before any port is touched.
TerminalRequest ReadTerminalArguments(int count, const char* const* arguments, const char* version,
                                      const TerminalHelp& help);
