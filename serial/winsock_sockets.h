#pragma once

#include <winsock2.h>
#include <windows.h>

#include "network_line.h"

// The console program's sockets: Winsock, kept up for as long as the
// object lives. One non-blocking socket at a time signals one event;
// GetAddrInfoW runs on a thread of its own, as nothing breaks it off, and
// answers into a lookup slot of a small static pool, so a lookup given up
// on writes where nobody reads until it is done.
class WinsockSockets final : public SocketLayer {
public:
    WinsockSockets();
    ~WinsockSockets();
    WinsockSockets(const WinsockSockets&) = delete;
    WinsockSockets& operator=(const WinsockSockets&) = delete;

    bool StartLookup(const char* host, const char* service) override;
    Lookup TakeLookup(Address* addresses, int capacity, int* count) override;
    void AbandonLookup() override;
    Io Connect(const Address& address) override;
    Io ConnectOutcome() override;
    Io Send(const char* bytes, std::size_t length, std::size_t* sent) override;
    Io Receive(char* bytes, std::size_t size, std::size_t* got) override;
    void CloseSocket() override;
    WaitOn Waitable(bool wantsToWrite) const override;
    const Error& LastError() const override { return error_; }

private:
    Io Refusal();
    Io Fail(int code);

    int started_;  // WSAStartup's answer: 0 when Winsock is up
    WSAEVENT event_ = WSA_INVALID_EVENT;
    SOCKET socket_ = INVALID_SOCKET;
    struct LookupSlot* lookup_ = nullptr;
    HANDLE lookupThread_ = nullptr;
    Error error_;
};
