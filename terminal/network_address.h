#pragma once

#include <cstddef>
#include <optional>

#include "network_line.h"
#include "open_failure.h"
#include "remote_line.h"

// A port behind a terminal server, as the technician types it:
//   rfc2217://HOST:PORT   the server's line set over Telnet (RFC 2217)
//   socket://HOST:PORT    raw bytes; the server's line is its own affair
// HOST is a name, an IPv4 address, or an IPv6 address in brackets.
struct NetworkAddress {
    RemoteLine::Mode mode = RemoteLine::Mode::Rfc2217;
    char host[256] = {};   // without the brackets, for the resolver
    char service[6] = {};  // the TCP port, 1 to 65535, in decimal
    char where[272] = {};  // HOST:PORT as typed (brackets kept), for the words
};

// Whether `text` asks for a network port at all (its scheme), well-formed
// or not: a malformed one is a usage error, never a device path.
bool NamesNetworkPort(const char* text);
enum class AddressReading {
    Read,
    Malformed,  // anything but the forms above, whole
    // A numeric host other than four decimal numbers 0 to 255: resolvers
    // read 2130706433 and 0x7f.1 as 127.0.0.1, and 010.1.2.3 as 8.1.2.3.
    // Only `host` is filled, for the words.
    LooseNumeric,
};
// The scheme in any case; an IPv6 zone bare (%eth0) or as a URI writes it
// (%25eth0).
AddressReading ReadNetworkAddress(const char* text, NetworkAddress* address);


// The line to `address`, made in `line`'s room over the platform's
// `sockets`, its opening begun.
NetworkLine& BeginNetworkLine(std::optional<NetworkLine>& line, SocketLayer& sockets,
                              RxAccumulator& accumulator, const NetworkAddress& address);
