#include "network_address.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char kRfc2217Scheme[] = "rfc2217://";
constexpr const char kSocketScheme[] = "socket://";
constexpr std::size_t kMaxHost = sizeof NetworkAddress{}.host - 1;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// A scheme is case-insensitive: RFC2217:// is rfc2217://.
bool StartsWithScheme(const char* text, const char* scheme) {
    for (; *scheme != '\0'; ++text, ++scheme) {
        if (Lower(*text) != *scheme) {
            return false;
        }
    }
    return true;
}

bool IsSchemeByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether the resolver would take `host` for an IPv4 address, or it is a
// mistyped one: every part between dots is decimal digits, or 0x and hex
// digits, as inet_aton reads them (2130706433, 0x7f.1, 010.1.2.3).
bool LooksNumeric(const char* host, std::size_t length) {
    for (std::size_t at = 0; at < length; ++at) {
        const bool hex = length - at > 1 && host[at] == '0' && Lower(host[at + 1]) == 'x';
        at += hex ? 2 : 0;
        while (at < length && (hex ? IsHexDigit(host[at]) : IsDigit(host[at]))) {
            ++at;
        }
        if (at < length && host[at] != '.') {
            return false;
        }
    }
    return true;
}

// Four decimal numbers 0 to 255 without leading zeros: the one numeric
// form that no resolver reads as another address (010 is octal 8 to it).
bool IsDottedQuad(const char* host, std::size_t length) {
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= length || host[at++] != '.')) {
            return false;
        }
        const std::size_t start = at;
        unsigned value = 0;
        for (; at < length && IsDigit(host[at]) && at - start < 3; ++at) {
            value = value * 10 + static_cast<unsigned>(host[at] - '0');
        }
        if (at == start || value > 255 || (host[start] == '0' && at - start > 1)) {
            return false;
        }
    }
    return at == length;
}

// A name or an IPv4 address: no spaces, no control bytes, nothing that
// belongs to the address's own syntax.
bool IsNameByte(char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte != 0x7F && c != ':' && c != '/' && c != '[' && c != ']' && c != '@';
}

// Inside the brackets: hex digits, colons and dots (an IPv4 tail), and a
// zone after '%' (fe80::1%eth0), whose bytes are a name's.
bool IsIpv6(const char* text, std::size_t length) {
    bool colon = false;
    std::size_t at = 0;
    for (; at < length && text[at] != '%'; ++at) {
        if (!IsHexDigit(text[at]) && text[at] != ':' && text[at] != '.') {
            return false;
        }
        colon = colon || text[at] == ':';
    }
    if (at < length && at + 1 == length) {
        return false;  // '%' and no zone
    }
    for (++at; at < length; ++at) {
        if (!IsNameByte(text[at])) {
            return false;
        }
    }
    return colon;
}

// 1 to 65535 in decimal, digits only, nothing after.
bool ReadPort(const char* text, unsigned* port) {
    unsigned value = 0;
    std::size_t digits = 0;
    for (; IsDigit(text[digits]); ++digits) {
        if (digits == 5) {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(text[digits] - '0');
    }
    if (digits == 0 || text[digits] != '\0' || value == 0 || value > 65535) {
        return false;
    }
    *port = value;
    return true;
}

}  // namespace

bool NamesNetworkPort(const char* text) {
    const char* separator = std::strstr(text, "://");
    if (separator == nullptr || separator == text) {
        return false;
    }
    for (const char* at = text; at < separator; ++at) {
        if (!IsSchemeByte(*at)) {
            return false;
        }
    }
    return true;
}

AddressReading ReadNetworkAddress(const char* text, NetworkAddress* address) {
    NetworkAddress read;
    const char* rest = nullptr;
    if (StartsWithScheme(text, kRfc2217Scheme)) {
        read.mode = RemoteLine::Mode::Rfc2217;
        rest = text + sizeof kRfc2217Scheme - 1;
    } else if (StartsWithScheme(text, kSocketScheme)) {
        read.mode = RemoteLine::Mode::Raw;
        rest = text + sizeof kSocketScheme - 1;
    } else {
        return AddressReading::Malformed;
    }
    const char* hostStart = rest;
    const char* hostEnd = nullptr;
    const char* colon = nullptr;
    if (rest[0] == '[') {
        ++hostStart;
        hostEnd = std::strchr(hostStart, ']');
        if (hostEnd == nullptr || hostEnd[1] != ':' ||
            !IsIpv6(hostStart, static_cast<std::size_t>(hostEnd - hostStart))) {
            return AddressReading::Malformed;
        }
        colon = hostEnd + 1;
    } else {
        colon = std::strchr(rest, ':');
        hostEnd = colon;
        if (colon == nullptr) {
            return AddressReading::Malformed;
        }
        for (const char* at = hostStart; at < hostEnd; ++at) {
            if (!IsNameByte(*at)) {
                return AddressReading::Malformed;
            }
        }
    }
    const std::size_t hostLength = static_cast<std::size_t>(hostEnd - hostStart);
    unsigned port = 0;
    if (hostLength == 0 || hostLength > kMaxHost || !ReadPort(colon + 1, &port)) {
        return AddressReading::Malformed;
    }
    if (rest[0] != '[' && LooksNumeric(hostStart, hostLength) &&
        !IsDottedQuad(hostStart, hostLength)) {
        std::memcpy(address->host, hostStart, hostLength);  // for the words
        address->host[hostLength] = '\0';
        return AddressReading::LooseNumeric;
    }
    // A zone as a URI writes it (RFC 6874), fe80::1%25eth0, is eth0 to
    // the resolver; a bare one (fe80::1%eth0) is taken as it is.
    const char* zone = static_cast<const char*>(std::memchr(hostStart, '%', hostLength));
    const bool encoded = zone != nullptr && hostEnd - zone > 3 && zone[1] == '2' && zone[2] == '5';
    std::size_t kept = 0;
    for (const char* at = hostStart; at < hostEnd; at += encoded && at == zone ? 3 : 1) {
        read.host[kept++] = *at;
    }
    read.host[kept] = '\0';
    std::snprintf(read.service, sizeof read.service, "%u", port);
    std::snprintf(read.where, sizeof read.where, "%s", rest);
    *address = read;
    return AddressReading::Read;
}

NetworkLine& BeginNetworkLine(std::optional<NetworkLine>& line, SocketLayer& sockets,
                              RxAccumulator& accumulator, const NetworkAddress& address) {
    line.emplace(sockets, accumulator, address.mode, address.host, address.service, address.where);
    line->Begin();
    return *line;
}
