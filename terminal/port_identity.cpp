#include "port_identity.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "run_report.h"

void KeepField(char* field, std::size_t size, const char* reported, std::size_t length) {
    std::size_t kept = 0;
    for (; kept + 1 < size && kept < length && reported[kept] != '\0'; ++kept) {
        const unsigned char c = static_cast<unsigned char>(reported[kept]);
        field[kept] = c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
    // Attributes end in a newline, which is no part of the value.
    while (kept > 0 && field[kept - 1] == '?' && reported[kept - 1] == '\n') {
        --kept;
    }
    field[kept] = '\0';
}

const char* DescribePortIdentity(const PortIdentity& port, bool json, char* out, std::size_t size) {
    const char* const names[] = {"name",   "by_id",        "vendor_id", "product_id",
                                 "serial", "manufacturer", "product",   "driver"};
    const char* const values[] = {port.name,   port.byId,         port.vendorId, port.productId,
                                  port.serial, port.manufacturer, port.product,  port.driver};
    std::size_t at = 0;
    out[0] = '\0';
    for (std::size_t i = 0; i < sizeof values / sizeof values[0]; ++i) {
        char piece[48];
        if (json) {
            std::snprintf(piece, sizeof piece, "%s\"%s\":", i == 0 ? "{" : ",", names[i]);
        } else {
            std::snprintf(piece, sizeof piece, "%s", i == 0 ? "" : "\t");
        }
        const int written = std::snprintf(out + at, size - at, "%s", piece);
        at += written > 0 ? static_cast<std::size_t>(written) : 0;
        at = at < size ? at : size - 1;
        if (json) {
            at = values[i][0] != '\0' ? PutJsonString(out, size, at, values[i])
                                      : at + static_cast<std::size_t>(std::snprintf(
                                                 out + at, size - at, "null"));
        } else {
            at += static_cast<std::size_t>(
                std::snprintf(out + at, size - at, "%s", values[i][0] != '\0' ? values[i] : "-"));
        }
        at = at < size ? at : size - 1;
    }
    if (json && at + 2 < size) {
        out[at++] = '}';
        out[at] = '\0';
    }
    return out;
}

namespace {

// Four hex digits after `tag`, as lowercase; false if they are not there.
bool ReadHex4(const char* id, const char* tag, char* into) {
    const char* at = id;
    for (; *at != '\0'; ++at) {
        std::size_t i = 0;
        while (tag[i] != '\0' && std::toupper(static_cast<unsigned char>(at[i])) == tag[i]) {
            ++i;
        }
        if (tag[i] == '\0') {
            break;
        }
    }
    if (*at == '\0') {
        return false;
    }
    at += std::strlen(tag);
    for (int i = 0; i < 4; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(at[i]))) {
            return false;
        }
        into[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(at[i])));
    }
    into[4] = '\0';
    return true;
}

}  // namespace

bool ReadInstanceId(const char* id, PortIdentity* port) {
    if (!ReadHex4(id, "VID_", port->vendorId) || !ReadHex4(id, "PID_", port->productId)) {
        port->vendorId[0] = port->productId[0] = '\0';
        return false;
    }
    // USB\VID_xxxx&PID_xxxx\SERIAL, or FTDI's bus: ...+PID_xxxx+SERIAL\0000,
    // where FTDI adds a letter for the port to the adapter's serial.
    const char* serial = nullptr;
    const char* end = nullptr;
    const char* pid = std::strstr(id, "PID_");
    if (pid == nullptr) {
        pid = std::strstr(id, "pid_");
    }
    if (pid != nullptr && pid[8] == '+') {
        serial = pid + 9;
        end = std::strchr(serial, '\\');
    } else if (const char* slash = std::strchr(id, '\\')) {
        serial = std::strchr(slash + 1, '\\');
        serial = serial != nullptr ? serial + 1 : nullptr;
    }
    if (serial == nullptr) {
        return true;
    }
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - serial) : std::strlen(serial);
    // Windows makes up an instance such as 6&1234ABCD&0&2 for a device
    // that reports no serial: no number to pick a board by.
    if (std::memchr(serial, '&', length) != nullptr) {
        return true;
    }
    KeepField(port->serial, sizeof port->serial, serial, length);
    return true;
}
