#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "network_address.h"
#include "open_failure.h"
#include "remote_line.h"
#include "run_clock.h"
#include "rx_accumulator.h"

// A serial line behind a terminal server, for the console program: one TCP
// connection with the RemoteLine speaking over it. Everything runs on the
// console's thread: the socket is non-blocking and signals one event, which
// the console's loop waits on beside its tick and its control events, and
// then calls Service(). Only the name's resolution has a thread of its own,
// as Windows offers no resolver that a deadline or Ctrl-C can stop.
class NetworkPort {
public:
    enum class Opening {
        Ready,        // connected, and the line at 9600 8N1
        Failed,       // see the failure; Close() still puts the line back
        Interrupted,  // the interrupt event was set; Close() puts the line back
    };
    // Resolution, connection and negotiation together.
    static constexpr std::uint64_t kOpeningMs = 5000;

    NetworkPort(RxAccumulator& accumulator, RemoteLine::Mode mode) : line_(accumulator, mode) {}
    NetworkPort(const NetworkPort&) = delete;
    NetworkPort& operator=(const NetworkPort&) = delete;

    // Returns within kOpeningMs, or at once when `interruptEvent` is set.
    // `address` outlives the port: its words name it.
    Opening Open(const NetworkAddress& address, HANDLE interruptEvent, OpenFailure* failure);
    // Puts the server's line back as it was found (within RemoteLine's
    // closing deadline), then closes the connection. Safe after any Open().
    void Close();

    // What the dialogue writes goes through the line.
    PortWriter& Writer() { return line_; }
    // Set when the socket has something for Service(); null before Open().
    HANDLE Event() const { return socketEvent_; }
    // Takes what arrived and sends what waits.
    void Service();
    // Sends what waits, as after the dialogue wrote.
    void Send();
    // True once the connection was lost: the server, or the way to it, went
    // away. Named as the serial port's flag, as it ends the run the same way.
    bool DeviceGone() const { return lost_; }

private:
    enum class Wake { Socket, Interrupt, Quiet };

    Opening Resolve(const NetworkAddress& address, HANDLE interruptEvent, std::uint64_t deadlineMs,
                    OpenFailure* failure);
    Opening Connect(HANDLE interruptEvent, std::uint64_t deadlineMs, OpenFailure* failure);
    Opening ConnectTo(int candidate, HANDLE interruptEvent, std::uint64_t deadlineMs, int* error);
    Opening Negotiate(HANDLE interruptEvent, std::uint64_t deadlineMs, OpenFailure* failure);
    Opening Fail(ConnectionFailure kind, int error, OpenFailure* failure) const;
    Wake WaitForSocket(HANDLE interruptEvent, DWORD milliseconds) const;
    void Receive();
    void Lose(int error);
    void PutLineBack();
    void CloseSocket();

    RemoteLine line_;
    const char* where_ = "";
    bool winsockStarted_ = false;
    // A resolver still running when the opening gave up: Winsock stays up
    // under it until the process ends.
    bool resolverLeft_ = false;
    HANDLE socketEvent_ = nullptr;
    SOCKET socket_ = INVALID_SOCKET;
    bool lost_ = false;
    int lostError_ = 0;
    // The opening's and the closing's ticks and deadlines.
    RunClock clock_;
};
