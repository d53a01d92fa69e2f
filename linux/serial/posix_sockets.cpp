#include "posix_sockets.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

struct PendingLookup {
    std::string host;
    std::string service;
    addrinfo* result = nullptr;
    int code = 0;
    int done[2] = {-1, -1};  // the thread writes a byte once it has its answer

    ~PendingLookup() {
        if (result != nullptr) {
            ::freeaddrinfo(result);
        }
        ::close(done[0]);
        ::close(done[1]);
    }
};

namespace {

using Io = SocketLayer::Io;
using Kind = SocketLayer::Error::Kind;

void LookUp(const std::shared_ptr<PendingLookup>& lookup) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    lookup->code =
        ::getaddrinfo(lookup->host.c_str(), lookup->service.c_str(), &hints, &lookup->result);
    const char answered = 0;
    while (::write(lookup->done[1], &answered, 1) < 0 && errno == EINTR) {
    }
}

}  // namespace

bool PosixSockets::StartLookup(const char* host, const char* service) {
    auto lookup = std::make_shared<PendingLookup>();
    lookup->host = host;
    lookup->service = service;
    if (::pipe2(lookup->done, O_CLOEXEC | O_NONBLOCK) != 0) {
        Fail(errno);
        return false;
    }
    std::thread(LookUp, lookup).detach();
    lookup_ = std::move(lookup);
    return true;
}

SocketLayer::Lookup PosixSockets::TakeLookup(Address* addresses, int capacity, int* count) {
    char answered = 0;
    *count = 0;
    if (lookup_ == nullptr || ::read(lookup_->done[0], &answered, 1) != 1) {
        return lookup_ == nullptr ? Lookup::Failed : Lookup::Pending;
    }
    // The byte on the pipe orders the thread's answer before these reads.
    const std::shared_ptr<PendingLookup> lookup = std::move(lookup_);
    const int code = lookup->code;
    if (code != 0) {
        error_ = Error{Kind::Other, code, {}};
        std::snprintf(error_.words, sizeof error_.words, "%s", ::gai_strerror(code));
        // No name server answering is, to the technician, a name that does not resolve.
        const bool noSuchHost = code == EAI_NONAME || code == EAI_NODATA ||
                                code == EAI_ADDRFAMILY || code == EAI_FAIL || code == EAI_AGAIN;
        return noSuchHost ? Lookup::NoSuchHost : Lookup::Failed;
    }
    for (const addrinfo* to = lookup->result; to != nullptr && *count < capacity; to = to->ai_next) {
        if (to->ai_addrlen <= sizeof addresses->bytes) {
            std::memcpy(addresses[*count].bytes, to->ai_addr, to->ai_addrlen);
            addresses[(*count)++].length = to->ai_addrlen;
        }
    }
    return Lookup::Found;
}

SocketLayer::Io PosixSockets::Connect(const Address& address) {
    CloseSocket();
    sockaddr_storage to{};
    std::memcpy(&to, address.bytes, address.length);
    socket_ = ::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (socket_ < 0) {
        return Fail(errno);
    }
    // Each command goes as one segment the moment it is written: the
    // device's answer is timed from it.
    const int on = 1;
    ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&to), address.length) == 0) {
        return Io::Done;
    }
    return errno == EINPROGRESS ? Io::Pending : Fail(errno);
}

SocketLayer::Io PosixSockets::ConnectOutcome() {
    pollfd state{socket_, POLLOUT, 0};
    if (::poll(&state, 1, 0) == 0) {
        return Io::Pending;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
    }
    return error == 0 ? Io::Done : Fail(error);
}

SocketLayer::Io PosixSockets::Send(const char* bytes, std::size_t length, std::size_t* sent) {
    return Moved(::send(socket_, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT), sent, Io::Done);
}

SocketLayer::Io PosixSockets::Receive(char* bytes, std::size_t size, std::size_t* got) {
    return Moved(::recv(socket_, bytes, size, MSG_DONTWAIT), got, Io::Closed);
}

void PosixSockets::CloseSocket() {
    if (socket_ >= 0) {
        ::shutdown(socket_, SHUT_RDWR);
        ::close(socket_);
        socket_ = -1;
    }
}

WaitOn PosixSockets::Waitable(bool wantsToWrite) const {
    WaitOn on;
    on.handle = lookup_ != nullptr ? lookup_->done[0] : socket_;
    on.read = true;
    on.write = lookup_ == nullptr && wantsToWrite;
    return on;
}

// What a send or a receive came to; `none` is what moving no byte means.
// The signals wait on the signalfd, so EINTR is only a turn to try again.
SocketLayer::Io PosixSockets::Moved(long count, std::size_t* moved, Io none) {
    *moved = count > 0 ? static_cast<std::size_t>(count) : 0;
    if (count >= 0) {
        return count > 0 ? Io::Done : none;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Io::Pending : Fail(errno);
}

SocketLayer::Io PosixSockets::Fail(int code) {
    const Kind kind = code == ECONNREFUSED               ? Kind::Refused
                      : code == ETIMEDOUT                ? Kind::TimedOut
                      : code == ECONNRESET || code == EPIPE ? Kind::Reset
                                                         : Kind::Other;
    error_ = Error{kind, code, {}};
    std::snprintf(error_.words, sizeof error_.words, "%s", std::strerror(code));
    return Io::Failed;
}
