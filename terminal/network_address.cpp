#include "network_address.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char kRfc2217Scheme[] = "rfc2217://";
constexpr const char kSocketScheme[] = "socket://";
constexpr std::size_t kMaxHost = sizeof NetworkAddress{}.host - 1;

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool IsSchemeByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
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
    for (; text[digits] >= '0' && text[digits] <= '9'; ++digits) {
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

bool ReadNetworkAddress(const char* text, NetworkAddress* address) {
    NetworkAddress read;
    const char* rest = nullptr;
    if (StartsWith(text, kRfc2217Scheme)) {
        read.mode = RemoteLine::Mode::Rfc2217;
        rest = text + sizeof kRfc2217Scheme - 1;
    } else if (StartsWith(text, kSocketScheme)) {
        read.mode = RemoteLine::Mode::Raw;
        rest = text + sizeof kSocketScheme - 1;
    } else {
        return false;
    }
    const char* hostStart = rest;
    const char* hostEnd = nullptr;
    const char* colon = nullptr;
    if (rest[0] == '[') {
        ++hostStart;
        hostEnd = std::strchr(hostStart, ']');
        if (hostEnd == nullptr || hostEnd[1] != ':' ||
            !IsIpv6(hostStart, static_cast<std::size_t>(hostEnd - hostStart))) {
            return false;
        }
        colon = hostEnd + 1;
    } else {
        colon = std::strchr(rest, ':');
        hostEnd = colon;
        if (colon == nullptr) {
            return false;
        }
        for (const char* at = hostStart; at < hostEnd; ++at) {
            if (!IsNameByte(*at)) {
                return false;
            }
        }
    }
    const std::size_t hostLength = static_cast<std::size_t>(hostEnd - hostStart);
    unsigned port = 0;
    if (hostLength == 0 || hostLength > kMaxHost || !ReadPort(colon + 1, &port)) {
        return false;
    }
    std::memcpy(read.host, hostStart, hostLength);
    read.host[hostLength] = '\0';
    std::snprintf(read.service, sizeof read.service, "%u", port);
    std::snprintf(read.where, sizeof read.where, "%s", rest);
    *address = read;
    return true;
}
