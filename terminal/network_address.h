#pragma once

#include <cstddef>

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
// False for anything but the forms above, whole.
bool ReadNetworkAddress(const char* text, NetworkAddress* address);
