#pragma once

#include <cstddef>
#include <cstdint>

// Why a port could not be opened, in the technician's two languages (UTF-8),
// and the one place that words it: every program on every platform says the
// same failure the same way. A serial layer only finds the kind from its own
// error codes (errno, GetLastError) and hands over what it knows beside it.
// Fixed buffers, as the Windows programs take nothing from the heap.
struct OpenFailure {
    enum class Kind {
        None,
        InUse,     // another program holds the port
        NotThere,  // no such device: unplugged, renamed, or never there
        Denied,    // this user may not open it
        NoUart,    // the kernel names the port but found no UART behind it
        System,    // anything else, in the system's own words
    };
    static constexpr std::size_t kSize = 1024;

    Kind kind = Kind::None;
    char chinese[kSize] = {};
    // Said after the Chinese by the terminal programs, whose errors are read
    // in both languages; the windows say the Chinese alone.
    char english[kSize] = {};
};

// What a serial layer found; whatever does not apply stays empty.
struct OpenFailureCause {
    OpenFailure::Kind kind = OpenFailure::Kind::System;
    const char* group = "";     // Denied: the group whose members may open the port
    const char* user = "";      // Denied: who to add to it
    const char* lockFile = "";  // InUse: the lock that says so
    const char* words = "";     // System: the system's words, in its language
    const char* englishWords = "";  // System: the same in English; "" if it has none
    long long code = -1;        // System: the error's number to search for; -1 for none
};

// `port` as the technician named it.
OpenFailure DescribeOpenFailure(const char* port, const OpenFailureCause& cause);

// Why a connection to a terminal server could not be made, or was lost.
enum class ConnectionFailure {
    NoSuchHost,  // the name does not resolve
    Refused,     // nothing listens at the port
    NoAnswer,    // no connection, or no negotiation, within the 5 s
    // The server took the connection and closed it before the line was
    // set: ser2net does so when it cannot open its serial device.
    Closed,
    System,      // anything else, in the system's words
};
// In both languages, naming `where` (HOST:PORT as typed); `words` and
// `code` are the system's for System (code -1 for none).
OpenFailure DescribeConnectionFailure(ConnectionFailure failure, const char* where,
                                      const char* words, long long code);

// Why the server's line did not take 9600 8N1, as RemoteLine found it.
struct NegotiationFailure {
    enum class Cause : std::uint8_t {
        None,
        Refused,   // the server refused the COM port option
        NoAnswer,  // not every answer came within the opening's deadline
        Answered,  // a setting answered otherwise: `field` and `value`
    };
    Cause cause = Cause::None;
    // 0 baud, 1 data bits, 2 parity, 3 stop bits, 4 flow control, with
    // the option's codes as the server sent them.
    int field = 0;
    std::uint32_t value = 0;
};
OpenFailure DescribeNegotiationFailure(const char* where, const NegotiationFailure& failure);
