#pragma once

#include <cstddef>

#include "network_address.h"
#include "open_failure.h"
#include "protocol_engine.h"
#include "remote_line.h"
#include "rx_accumulator.h"

// A serial line behind a terminal server, over one TCP connection, for the
// terminal program's loop in the same shape as TtyPort: the owner watches
// Descriptor() (readable, and writable while WantsToWrite()) and calls
// ReadAvailable() and WriteQueued() when it is. The Telnet and RFC 2217
// side is RemoteLine's; this is only the socket.
class NetPort : public PortWriter {
public:
    // The whole opening, the name, the connection and the line's settings.
    static constexpr long long kOpeningNanoseconds = 5 * 1000000000LL;

    enum class Opening {
        Ready,        // at 9600 8N1: the dialogue may run
        Failed,       // see the OpenFailure
        Interrupted,  // a signal arrived on the interrupt descriptor, left unread
    };

    NetPort(RxAccumulator& accumulator, RemoteLine::Mode mode) : line_(accumulator, mode) {}
    ~NetPort() { Close(); }
    NetPort(const NetPort&) = delete;
    NetPort& operator=(const NetPort&) = delete;

    // Resolves, connects and sets the server's line, all within
    // kOpeningNanoseconds. A readable `interruptDescriptor` (the signals'
    // descriptor) stops it at once, with the server's line put back. Once
    // for each NetPort: the negotiation is not begun twice.
    Opening Open(const NetworkAddress& address, int interruptDescriptor, OpenFailure* failure);
    // Puts the server's line back as the opening found it, within
    // RemoteLine::kClosingTicks, and closes the connection.
    void Close();

    // The connection is still up: the server did not close or reset it.
    bool IsAttached() const { return socket_ >= 0; }
    // -1 once the connection is gone.
    int Descriptor() const { return socket_; }
    bool WantsToWrite() const { return socket_ >= 0 && line_.OutgoingLength() > 0; }

    // What the server sent goes through RemoteLine into the accumulator.
    // A connection closed or reset is let go: afterwards IsAttached() is
    // false and nothing is watched any more.
    void ReadAvailable();
    void WriteQueued();

    void Write(const char* bytes, std::size_t length) override;

private:
    enum class Step { Waiting, Done, Interrupted, Lost, OutOfTime };

    bool Connect(const NetworkAddress& address, long long deadline, int interruptDescriptor,
                 OpenFailure* failure, bool* interrupted);
    // Ticks RemoteLine every 10 ms and serves the socket while `unfinished`
    // says so, until the deadline, the connection's end or (when watched)
    // a signal.
    Step Drive(long long deadline, int interruptDescriptor, bool (*unfinished)(RemoteLine::State));
    void LetGo();

    RemoteLine line_;
    int socket_ = -1;
    int lostError_ = 0;  // why the connection went: an errno, 0 for closed by the server
};
