#include "network_port.h"

#include <ws2tcpip.h>

#include <cstring>

#include "com_open_failure.h"

namespace {

constexpr DWORD kTickMs = 1000 / RemoteLine::kTicksPerSecond;
// A name may stand for several addresses (IPv6 and IPv4, or a pool); the
// first few are tried in turn within the one opening deadline.
constexpr int kMostAddresses = 8;
// A flooding peer is read this much at a wake. Winsock sets the event again
// for what is left, so the loop comes back for it after its tick.
constexpr int kMostReadsPerWake = 8;
constexpr int kReadChunk = 2048;

struct ResolvedAddress {
    sockaddr_storage address;
    int length;
};

// The resolver thread's question and answer. The thread alone touches it
// while it runs; the opening reads it only once the thread has ended, and a
// thread given up on (a deadline, Ctrl-C) is never read from again. One
// opening per process, so one of these serves.
struct Resolution {
    wchar_t host[sizeof NetworkAddress::host];
    wchar_t service[sizeof NetworkAddress::service];
    ResolvedAddress addresses[kMostAddresses];
    int count;
    int error;
};
Resolution resolution;

DWORD WINAPI ResolverMain(LPVOID) {
    ADDRINFOW hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    ADDRINFOW* found = nullptr;
    resolution.error = GetAddrInfoW(resolution.host, resolution.service, &hints, &found);
    resolution.count = 0;
    for (const ADDRINFOW* at = found; at != nullptr && resolution.count < kMostAddresses;
         at = at->ai_next) {
        if ((at->ai_family == AF_INET || at->ai_family == AF_INET6) &&
            at->ai_addrlen <= sizeof(sockaddr_storage)) {
            ResolvedAddress& kept = resolution.addresses[resolution.count++];
            std::memcpy(&kept.address, at->ai_addr, at->ai_addrlen);
            kept.length = static_cast<int>(at->ai_addrlen);
        }
    }
    if (found != nullptr) {
        FreeAddrInfoW(found);
    }
    return 0;
}

bool ToWide(const char* text, wchar_t* wide, int size) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, size) != 0;
}

DWORD MillisecondsLeft(std::uint64_t nowMs, std::uint64_t deadlineMs) {
    return nowMs >= deadlineMs ? 0 : static_cast<DWORD>(deadlineMs - nowMs);
}

}  // namespace

NetworkPort::Opening NetworkPort::Open(const NetworkAddress& address, HANDLE interruptEvent,
                                       OpenFailure* failure) {
    where_ = address.where;
    const std::uint64_t deadlineMs = clock_.Milliseconds() + kOpeningMs;
    WSADATA data;
    const int started = WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        return Fail(ConnectionFailure::System, started, failure);
    }
    winsockStarted_ = true;
    socketEvent_ = WSACreateEvent();
    if (socketEvent_ == WSA_INVALID_EVENT) {
        socketEvent_ = nullptr;
        return Fail(ConnectionFailure::System, WSAGetLastError(), failure);
    }
    Opening reached = Resolve(address, interruptEvent, deadlineMs, failure);
    if (reached == Opening::Ready) {
        reached = Connect(interruptEvent, deadlineMs, failure);
    }
    if (reached == Opening::Ready) {
        reached = Negotiate(interruptEvent, deadlineMs, failure);
    }
    return reached;
}

// On a thread of its own, waited for beside the interrupt and the deadline:
// GetAddrInfoW blocks for as long as the resolver takes.
NetworkPort::Opening NetworkPort::Resolve(const NetworkAddress& address, HANDLE interruptEvent,
                                          std::uint64_t deadlineMs, OpenFailure* failure) {
    if (!ToWide(address.host, resolution.host, static_cast<int>(sizeof NetworkAddress::host)) ||
        !ToWide(address.service, resolution.service,
                static_cast<int>(sizeof NetworkAddress::service))) {
        return Fail(ConnectionFailure::NoSuchHost, WSAHOST_NOT_FOUND, failure);
    }
    HANDLE resolver = CreateThread(nullptr, 0, ResolverMain, nullptr, 0, nullptr);
    if (resolver == nullptr) {
        return Fail(ConnectionFailure::System, static_cast<int>(GetLastError()), failure);
    }
    const HANDLE waits[2] = {resolver, interruptEvent};
    const DWORD woken = WaitForMultipleObjects(interruptEvent != nullptr ? 2 : 1, waits, FALSE,
                                               MillisecondsLeft(clock_.Milliseconds(), deadlineMs));
    const DWORD waitError = GetLastError();
    CloseHandle(resolver);
    if (woken != WAIT_OBJECT_0) {
        resolverLeft_ = true;
        if (woken == WAIT_OBJECT_0 + 1) {
            return Opening::Interrupted;
        }
        return woken == WAIT_TIMEOUT
                   ? Fail(ConnectionFailure::NoAnswer, 0, failure)
                   : Fail(ConnectionFailure::System, static_cast<int>(waitError), failure);
    }
    if (resolution.error == WSAHOST_NOT_FOUND || resolution.error == WSANO_DATA ||
        (resolution.error == 0 && resolution.count == 0)) {
        return Fail(ConnectionFailure::NoSuchHost, resolution.error, failure);
    }
    if (resolution.error != 0) {
        return Fail(ConnectionFailure::System, resolution.error, failure);
    }
    return Opening::Ready;
}

// Each address in turn, as long as the deadline allows: a name with an IPv6
// address where nothing listens still reaches the server on its IPv4 one.
// A refusal anywhere says more than another address's route error: nothing
// listens there.
NetworkPort::Opening NetworkPort::Connect(HANDLE interruptEvent, std::uint64_t deadlineMs,
                                          OpenFailure* failure) {
    bool refused = false;
    int error = 0;
    for (int candidate = 0; candidate < resolution.count; ++candidate) {
        const Opening tried = ConnectTo(candidate, interruptEvent, deadlineMs, &error);
        if (tried != Opening::Failed) {
            return tried;
        }
        if (error == WSAETIMEDOUT) {
            return Fail(ConnectionFailure::NoAnswer, error, failure);
        }
        refused = refused || error == WSAECONNREFUSED;
    }
    if (refused) {
        return Fail(ConnectionFailure::Refused, error, failure);
    }
    return Fail(ConnectionFailure::System, error, failure);
}

NetworkPort::Opening NetworkPort::ConnectTo(int candidate, HANDLE interruptEvent,
                                            std::uint64_t deadlineMs, int* error) {
    const ResolvedAddress& to = resolution.addresses[candidate];
    socket_ = socket(to.address.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return Opening::Failed;
    }
    // A command is a few bytes the device waits for: sent at once, not
    // held back to be joined with more.
    const BOOL noDelay = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    // Selecting events also makes the socket non-blocking.
    if (WSAEventSelect(socket_, socketEvent_, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0 ||
        (connect(socket_, reinterpret_cast<const sockaddr*>(&to.address), to.length) != 0 &&
         WSAGetLastError() != WSAEWOULDBLOCK)) {
        *error = WSAGetLastError();
        CloseSocket();
        return Opening::Failed;
    }
    for (;;) {
        const DWORD left = MillisecondsLeft(clock_.Milliseconds(), deadlineMs);
        if (left == 0) {
            *error = WSAETIMEDOUT;
            CloseSocket();
            return Opening::Failed;
        }
        if (WaitForSocket(interruptEvent, left) == Wake::Interrupt) {
            CloseSocket();
            return Opening::Interrupted;
        }
        WSANETWORKEVENTS events = {};
        if (WSAEnumNetworkEvents(socket_, socketEvent_, &events) != 0) {
            *error = WSAGetLastError();
            CloseSocket();
            return Opening::Failed;
        }
        if ((events.lNetworkEvents & FD_CONNECT) != 0) {
            *error = events.iErrorCode[FD_CONNECT_BIT];
            if (*error == 0) {
                return Opening::Ready;
            }
            CloseSocket();
            return Opening::Failed;
        }
    }
}

// The line's own ticks from the 10 ms clock, the server's answers as they
// come; the opening's deadline over all of it.
NetworkPort::Opening NetworkPort::Negotiate(HANDLE interruptEvent, std::uint64_t deadlineMs,
                                            OpenFailure* failure) {
    const std::uint64_t begunMs = clock_.Milliseconds();
    std::uint64_t ticksGiven = 0;
    line_.Begin();
    // The connection's first events were taken while connecting: what came
    // with them is read now, or Winsock would not tell of it again.
    Service();
    while (line_.CurrentState() == RemoteLine::State::Opening && !lost_) {
        const DWORD left = MillisecondsLeft(clock_.Milliseconds(), deadlineMs);
        if (left == 0) {
            return Fail(ConnectionFailure::NoAnswer, 0, failure);
        }
        if (WaitForSocket(interruptEvent, left < kTickMs ? left : kTickMs) == Wake::Interrupt) {
            return Opening::Interrupted;
        }
        Service();
        const std::uint64_t due = (clock_.Milliseconds() - begunMs) / kTickMs;
        for (; ticksGiven < due && line_.CurrentState() == RemoteLine::State::Opening; ++ticksGiven) {
            line_.OnTick();
        }
        Send();
    }
    if (line_.CurrentState() == RemoteLine::State::Failed) {
        failure->kind = OpenFailure::Kind::System;
        line_.DescribeFailure(where_, failure->chinese, sizeof failure->chinese, failure->english,
                              sizeof failure->english);
        return Opening::Failed;
    }
    if (line_.CurrentState() != RemoteLine::State::Ready) {
        // The server closed the connection, or it broke, mid-negotiation.
        return Fail(ConnectionFailure::System, lostError_, failure);
    }
    return Opening::Ready;
}

NetworkPort::Opening NetworkPort::Fail(ConnectionFailure kind, int error,
                                       OpenFailure* failure) const {
    char words[kWordsSize] = {};
    if (kind == ConnectionFailure::System) {
        WindowsWords(static_cast<DWORD>(error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), words,
                     sizeof words);
    }
    *failure = DescribeConnectionFailure(kind, where_, words,
                                         kind == ConnectionFailure::System ? error : -1);
    return Opening::Failed;
}

NetworkPort::Wake NetworkPort::WaitForSocket(HANDLE interruptEvent, DWORD milliseconds) const {
    // The interrupt first: set together, it wins.
    const HANDLE waits[2] = {interruptEvent, socketEvent_};
    const DWORD first = interruptEvent != nullptr ? 0 : 1;
    const DWORD woken = WaitForMultipleObjects(2 - first, waits + first, FALSE, milliseconds);
    if (woken == WAIT_FAILED) {
        Sleep(milliseconds);  // the caller's clock still counts
        return Wake::Quiet;
    }
    if (woken == WAIT_TIMEOUT) {
        return Wake::Quiet;
    }
    return woken - WAIT_OBJECT_0 + first == 0 ? Wake::Interrupt : Wake::Socket;
}

void NetworkPort::Service() {
    if (socket_ == INVALID_SOCKET || lost_) {
        return;
    }
    // Resets the event. What it reports needs no reading: recv and send
    // below find the same, a closed connection included.
    WSANETWORKEVENTS events = {};
    WSAEnumNetworkEvents(socket_, socketEvent_, &events);
    Receive();
    Send();
}

void NetworkPort::Receive() {
    for (int read = 0; read < kMostReadsPerWake && !lost_; ++read) {
        char bytes[kReadChunk];
        const int got = recv(socket_, bytes, kReadChunk, 0);
        if (got > 0) {
            line_.Received(bytes, static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0) {
            // The server closed the connection: said as Linux says it.
            Lose(WSAECONNRESET);
            return;
        }
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            Lose(error);
        }
        return;
    }
}

void NetworkPort::Send() {
    while (socket_ != INVALID_SOCKET && !lost_ && line_.OutgoingLength() > 0) {
        const int sent =
            send(socket_, line_.Outgoing(), static_cast<int>(line_.OutgoingLength()), 0);
        if (sent == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                Lose(error);
            }
            return;  // FD_WRITE wakes the loop once there is room
        }
        line_.Sent(static_cast<std::size_t>(sent));
    }
}

void NetworkPort::Lose(int error) {
    lost_ = true;
    lostError_ = error;
}

void NetworkPort::Close() {
    if (socket_ != INVALID_SOCKET && !lost_) {
        PutLineBack();
    }
    CloseSocket();
    if (socketEvent_ != nullptr) {
        WSACloseEvent(socketEvent_);
        socketEvent_ = nullptr;
    }
    if (winsockStarted_ && !resolverLeft_) {
        WSACleanup();
        winsockStarted_ = false;
    }
}

// The line's closing deadline ends this; counting the ticks given only
// guards against a line that would not keep it.
void NetworkPort::PutLineBack() {
    const std::uint64_t begunMs = clock_.Milliseconds();
    std::uint64_t ticksGiven = 0;
    line_.BeginClose();
    Send();
    while (line_.CurrentState() != RemoteLine::State::Closed && !lost_ &&
           ticksGiven <= RemoteLine::kClosingTicks) {
        WaitForSocket(nullptr, kTickMs);
        Service();
        const std::uint64_t due = (clock_.Milliseconds() - begunMs) / kTickMs;
        for (; ticksGiven < due && line_.CurrentState() != RemoteLine::State::Closed; ++ticksGiven) {
            line_.OnTick();
        }
        Send();
    }
}

void NetworkPort::CloseSocket() {
    if (socket_ == INVALID_SOCKET) {
        return;
    }
    // What was sent still goes, then the end of the connection.
    shutdown(socket_, SD_SEND);
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
}
