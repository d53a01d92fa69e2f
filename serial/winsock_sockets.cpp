#include "winsock_sockets.h"

#include <ws2tcpip.h>

#include <cstring>

#include "com_open_failure.h"
#include "network_address.h"

// A lookup's question and answer. Its thread and the layer that started it
// both own it, and whoever lets go last frees it: a layer that gave up on a
// lookup never reads it again, and the thread still writes into it safely.
struct LookupSlot {
    volatile LONG owners;  // 0: free
    wchar_t host[sizeof NetworkAddress{}.host];
    wchar_t service[sizeof NetworkAddress{}.service];
    int error;
    int count;
    SocketLayer::Address addresses[SocketLayer::kMostAddresses];
};

namespace {

// Each port of a run has one lookup at a time, and a run has 32 ports at
// most; the others are lookups given up on whose name server has not
// answered yet.
LookupSlot lookupSlots[32 + 4];

void LetGo(LookupSlot* slot) { InterlockedDecrement(&slot->owners); }

// Winsock is held up for the thread's own sake: the layer that started it
// may be gone, with its WSACleanup, long before the name server answers.
DWORD WINAPI LookupMain(LPVOID given) {
    LookupSlot* slot = static_cast<LookupSlot*>(given);
    WSADATA data;
    const int started = WSAStartup(MAKEWORD(2, 2), &data);
    ADDRINFOW hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    ADDRINFOW* found = nullptr;
    slot->error = started != 0 ? started : GetAddrInfoW(slot->host, slot->service, &hints, &found);
    slot->count = 0;
    for (const ADDRINFOW* at = found; at != nullptr && slot->count < SocketLayer::kMostAddresses;
         at = at->ai_next) {
        SocketLayer::Address& kept = slot->addresses[slot->count];
        if ((at->ai_family == AF_INET || at->ai_family == AF_INET6) &&
            at->ai_addrlen <= sizeof kept.bytes) {
            std::memcpy(kept.bytes, at->ai_addr, at->ai_addrlen);
            kept.length = static_cast<std::uint32_t>(at->ai_addrlen);
            ++slot->count;
        }
    }
    if (found != nullptr) {
        FreeAddrInfoW(found);
    }
    if (started == 0) {
        WSACleanup();
    }
    LetGo(slot);
    return 0;
}

}  // namespace

WinsockSockets::WinsockSockets() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data);
    event_ = started_ == 0 ? WSACreateEvent() : WSA_INVALID_EVENT;
}

WinsockSockets::~WinsockSockets() {
    AbandonLookup();
    CloseSocket();
    if (event_ != WSA_INVALID_EVENT) {
        WSACloseEvent(event_);
    }
    if (started_ == 0) {
        WSACleanup();
    }
}

bool WinsockSockets::StartLookup(const char* host, const char* service) {
    AbandonLookup();
    if (event_ == WSA_INVALID_EVENT) {
        Fail(started_ != 0 ? started_ : WSAGetLastError());
        return false;
    }
    for (LookupSlot& slot : lookupSlots) {
        if (lookup_ == nullptr && InterlockedCompareExchange(&slot.owners, 2, 0) == 0) {
            lookup_ = &slot;
        }
    }
    if (lookup_ == nullptr) {
        Fail(ERROR_MAX_THRDS_REACHED);  // as many lookups given up on as there is room for
        return false;
    }
    // Room for as many characters as the address has bytes.
    const int hostRoom = sizeof NetworkAddress{}.host;
    const int serviceRoom = sizeof NetworkAddress{}.service;
    if (MultiByteToWideChar(CP_UTF8, 0, host, -1, lookup_->host, hostRoom) == 0 ||
        MultiByteToWideChar(CP_UTF8, 0, service, -1, lookup_->service, serviceRoom) == 0 ||
        (lookupThread_ = CreateThread(nullptr, 0, LookupMain, lookup_, 0, nullptr)) == nullptr) {
        Fail(static_cast<int>(GetLastError()));
        LetGo(lookup_);  // the thread's share: it never ran
        AbandonLookup();
        return false;
    }
    return true;
}

SocketLayer::Lookup WinsockSockets::TakeLookup(Address* addresses, int capacity, int* count) {
    if (lookup_ == nullptr || WaitForSingleObject(lookupThread_, 0) != WAIT_OBJECT_0) {
        return lookup_ == nullptr ? Lookup::Failed : Lookup::Pending;
    }
    const int error = lookup_->error;
    *count = lookup_->count < capacity ? lookup_->count : capacity;
    std::memcpy(addresses, lookup_->addresses, sizeof *addresses * static_cast<unsigned>(*count));
    AbandonLookup();  // read, and let go
    if (error == 0) {
        return *count > 0 ? Lookup::Found : Lookup::NoSuchHost;
    }
    Fail(error);
    const bool unknown = error == WSAHOST_NOT_FOUND || error == WSANO_DATA || error == WSATRY_AGAIN;
    return unknown ? Lookup::NoSuchHost : Lookup::Failed;
}

void WinsockSockets::AbandonLookup() {
    if (lookup_ != nullptr) {
        LetGo(lookup_);
        lookup_ = nullptr;
    }
    if (lookupThread_ != nullptr) {
        CloseHandle(lookupThread_);
        lookupThread_ = nullptr;
    }
}

SocketLayer::Io WinsockSockets::Connect(const Address& address) {
    CloseSocket();
    const sockaddr* to = reinterpret_cast<const sockaddr*>(address.bytes);
    socket_ = socket(to->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET) {
        return Fail(WSAGetLastError());
    }
    // A command is a few bytes the device waits for: sent at once, not held
    // back to be joined with more.
    const BOOL noDelay = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    // Selecting events also makes the socket non-blocking.
    if (WSAEventSelect(socket_, event_, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        return Fail(WSAGetLastError());
    }
    return connect(socket_, to, static_cast<int>(address.length)) == 0 ? Io::Done : Refusal();
}

// The enumeration resets the event, and with it what came with the
// connection: NetworkLine reads at once after Done.
SocketLayer::Io WinsockSockets::ConnectOutcome() {
    WSANETWORKEVENTS events = {};
    if (WSAEnumNetworkEvents(socket_, event_, &events) != 0) {
        return Fail(WSAGetLastError());
    }
    if ((events.lNetworkEvents & FD_CONNECT) == 0) {
        return Io::Pending;
    }
    const int error = events.iErrorCode[FD_CONNECT_BIT];
    return error == 0 ? Io::Done : Fail(error);
}

SocketLayer::Io WinsockSockets::Send(const char* bytes, std::size_t length, std::size_t* sent) {
    const int done = send(socket_, bytes, static_cast<int>(length), 0);
    *sent = done > 0 ? static_cast<std::size_t>(done) : 0;
    return done == SOCKET_ERROR ? Refusal() : Io::Done;
}

// The event is reset before the read: whatever recv leaves sets it again.
SocketLayer::Io WinsockSockets::Receive(char* bytes, std::size_t size, std::size_t* got) {
    WSAResetEvent(event_);
    const int done = recv(socket_, bytes, static_cast<int>(size), 0);
    *got = done > 0 ? static_cast<std::size_t>(done) : 0;
    return done == SOCKET_ERROR ? Refusal() : done == 0 ? Io::Closed : Io::Done;
}

void WinsockSockets::CloseSocket() {
    if (socket_ != INVALID_SOCKET) {
        shutdown(socket_, SD_SEND);
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
}

WaitOn WinsockSockets::Waitable(bool wantsToWrite) const {
    WaitOn on;
    if (lookupThread_ != nullptr || socket_ != INVALID_SOCKET) {
        const HANDLE handle = lookupThread_ != nullptr ? lookupThread_ : event_;
        on.handle = reinterpret_cast<std::intptr_t>(handle);
        on.read = true;
        on.write = wantsToWrite;
    }
    return on;
}

// After SOCKET_ERROR: a call that would block is only Pending.
SocketLayer::Io WinsockSockets::Refusal() {
    const int code = WSAGetLastError();
    return code == WSAEWOULDBLOCK ? Io::Pending : Fail(code);
}

SocketLayer::Io WinsockSockets::Fail(int code) {
    error_.code = code;
    error_.kind = code == WSAECONNREFUSED ? Error::Kind::Refused
                  : code == WSAETIMEDOUT  ? Error::Kind::TimedOut
                  : code == WSAECONNRESET || code == WSAECONNABORTED ? Error::Kind::Reset
                                                                    : Error::Kind::Other;
    WindowsWords(static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), error_.words,
                 sizeof error_.words);
    return Io::Failed;
}
