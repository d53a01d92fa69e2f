#pragma once

#include <memory>

#include "network_line.h"

// baudset-cli's sockets: one non-blocking TCP socket at a time, and
// getaddrinfo on a thread of its own, since nothing breaks it off. The
// thread answers on a pipe the loop waits on, into a lookup it shares, so
// one given up on writes where nobody reads and is freed by the last owner.
class PosixSockets final : public SocketLayer {
public:
    PosixSockets() = default;
    ~PosixSockets() { CloseSocket(); }
    PosixSockets(const PosixSockets&) = delete;
    PosixSockets& operator=(const PosixSockets&) = delete;

    bool StartLookup(const char* host, const char* service) override;
    Lookup TakeLookup(Address* addresses, int capacity, int* count) override;
    void AbandonLookup() override { lookup_.reset(); }
    Io Connect(const Address& address) override;
    Io ConnectOutcome() override;
    Io Send(const char* bytes, std::size_t length, std::size_t* sent) override;
    Io Receive(char* bytes, std::size_t size, std::size_t* got) override;
    void CloseSocket() override;
    WaitOn Waitable(bool wantsToWrite) const override;
    const Error& LastError() const override { return error_; }

private:
    Io Moved(long count, std::size_t* moved, Io none);
    Io Fail(int code);

    std::shared_ptr<struct PendingLookup> lookup_;
    int socket_ = -1;
    Error error_;
};
