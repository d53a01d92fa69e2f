#include "net_port.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

constexpr long long kTickNanoseconds = 10 * 1000 * 1000;
// Beyond RemoteLine's own closing deadline, for a loop woken late.
constexpr long long kClosingNanoseconds =
    (RemoteLine::kClosingTicks + 10) * kTickNanoseconds;
// What one wake reads at most: a flooding server gets its turn again at
// the next poll, after the ticks, never instead of them.
constexpr int kMostPiecesPerRead = 16;

long long Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

timespec Until(long long moment) {
    const long long wait = moment - Now();
    return timespec{static_cast<time_t>(wait > 0 ? wait / 1000000000 : 0),
                    static_cast<long>(wait > 0 ? wait % 1000000000 : 0)};
}

bool StillOpening(RemoteLine::State state) { return state == RemoteLine::State::Opening; }
bool StillClosing(RemoteLine::State state) { return state != RemoteLine::State::Closed; }

// getaddrinfo waits on the resolver as long as the resolver likes, and no
// signal breaks it off. It runs on a thread of its own instead, which says
// it is done on a pipe that the opening polls beside the signals and the
// deadline. A lookup given up keeps its share of what it writes to, for the
// few moments the process has left.
struct Lookup {
    std::string host;
    std::string service;
    addrinfo* result = nullptr;
    int code = 0;
    int done[2] = {-1, -1};  // the thread writes a byte when it has its answer

    ~Lookup() {
        if (result != nullptr) {
            ::freeaddrinfo(result);
        }
        for (const int end : done) {
            if (end >= 0) {
                ::close(end);
            }
        }
    }
};

enum class Resolved { Found, Failed, Interrupted, OutOfTime };

void LookUp(const std::shared_ptr<Lookup>& lookup) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    lookup->code = ::getaddrinfo(lookup->host.c_str(), lookup->service.c_str(), &hints,
                                 &lookup->result);
    const char answered = 0;
    while (::write(lookup->done[1], &answered, 1) < 0 && errno == EINTR) {
    }
}

OpenFailure DescribeLookupFailure(int code, const char* where) {
    switch (code) {
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
    case EAI_FAIL:
    case EAI_AGAIN:  // no name server answered: for the technician, the same
        return DescribeConnectionFailure(ConnectionFailure::NoSuchHost, where, "", -1);
    default:
        return DescribeConnectionFailure(ConnectionFailure::System, where, ::gai_strerror(code),
                                         code);
    }
}

// On Found, `*found` is the addresses to try, for the caller to free.
Resolved Resolve(const NetworkAddress& address, long long deadline, int interruptDescriptor,
                 addrinfo** found, OpenFailure* failure) {
    const auto lookup = std::make_shared<Lookup>();
    lookup->host = address.host;
    lookup->service = address.service;
    if (::pipe2(lookup->done, O_CLOEXEC) != 0) {
        *failure = DescribeConnectionFailure(ConnectionFailure::System, address.where,
                                             std::strerror(errno), errno);
        return Resolved::Failed;
    }
    std::thread(LookUp, lookup).detach();
    for (;;) {
        pollfd watched[2] = {{lookup->done[0], POLLIN, 0}, {interruptDescriptor, POLLIN, 0}};
        const timespec wait = Until(deadline);
        const int ready = ::ppoll(watched, 2, &wait, nullptr);
        if (ready > 0 && watched[1].revents != 0) {
            return Resolved::Interrupted;
        }
        if (ready > 0 && watched[0].revents != 0) {
            break;
        }
        if (Now() >= deadline) {
            *failure = DescribeConnectionFailure(ConnectionFailure::NoAnswer, address.where, "", -1);
            return Resolved::OutOfTime;
        }
    }
    // The byte on the pipe orders the thread's answer before this read.
    char answered = 0;
    while (::read(lookup->done[0], &answered, 1) < 0 && errno == EINTR) {
    }
    if (lookup->code != 0) {
        *failure = DescribeLookupFailure(lookup->code, address.where);
        return Resolved::Failed;
    }
    *found = lookup->result;
    lookup->result = nullptr;
    return Resolved::Found;
}

// What a non-blocking connect came to: 0, an errno, or one of these.
constexpr int kConnectInterrupted = -1;
constexpr int kConnectOutOfTime = -2;

int AwaitConnection(int socket, long long deadline, int interruptDescriptor) {
    for (;;) {
        if (Now() >= deadline) {
            return kConnectOutOfTime;
        }
        pollfd watched[2] = {{socket, POLLOUT, 0}, {interruptDescriptor, POLLIN, 0}};
        const timespec wait = Until(deadline);
        if (::ppoll(watched, 2, &wait, nullptr) <= 0) {
            continue;
        }
        if (watched[1].revents != 0) {
            return kConnectInterrupted;
        }
        if (watched[0].revents != 0) {
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                return errno;
            }
            return error;
        }
    }
}

// A socket connected to `to`, or -1 with `*outcome` saying why not.
int ConnectTo(const addrinfo& to, long long deadline, int interruptDescriptor, int* outcome) {
    const int socket =
        ::socket(to.ai_family, to.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, to.ai_protocol);
    if (socket < 0) {
        *outcome = errno;
        return -1;
    }
    // Each command goes as one segment the moment it is written: the
    // device's answer is timed from it.
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *outcome = ::connect(socket, to.ai_addr, to.ai_addrlen) == 0 ? 0 : errno;
    if (*outcome == EINPROGRESS) {
        *outcome = AwaitConnection(socket, deadline, interruptDescriptor);
    }
    if (*outcome != 0) {
        ::close(socket);
        return -1;
    }
    return socket;
}

}  // namespace

NetPort::Opening NetPort::Open(const NetworkAddress& address, int interruptDescriptor,
                               OpenFailure* failure) {
    const long long deadline = Now() + kOpeningNanoseconds;
    bool interrupted = false;
    if (!Connect(address, deadline, interruptDescriptor, failure, &interrupted)) {
        return interrupted ? Opening::Interrupted : Opening::Failed;
    }
    line_.Begin();
    WriteQueued();
    const Step step = Drive(deadline, interruptDescriptor, StillOpening);
    if (step == Step::Done && line_.CurrentState() == RemoteLine::State::Ready) {
        return Opening::Ready;
    }
    if (step == Step::Done) {
        // Said before the close: the close leaves Failed behind.
        *failure = OpenFailure{};
        failure->kind = OpenFailure::Kind::System;
        line_.DescribeFailure(address.where, failure->chinese, sizeof failure->chinese,
                              failure->english, sizeof failure->english);
    } else if (step == Step::Lost &&
               (lostError_ == 0 || lostError_ == ECONNRESET || lostError_ == EPIPE)) {
        // Closed with our first bytes unread, the connection arrives reset.
        *failure = DescribeConnectionFailure(ConnectionFailure::Closed, address.where, "", -1);
    } else if (step == Step::Lost) {
        *failure = DescribeConnectionFailure(ConnectionFailure::System, address.where,
                                             std::strerror(lostError_), lostError_);
    } else if (step == Step::OutOfTime) {
        *failure = DescribeConnectionFailure(ConnectionFailure::NoAnswer, address.where, "", -1);
    }
    Close();
    return step == Step::Interrupted ? Opening::Interrupted : Opening::Failed;
}

// Each address the name has, in the resolver's order, until one takes the
// connection. A refusal anywhere says more than another address's route
// error: nothing listens there.
bool NetPort::Connect(const NetworkAddress& address, long long deadline, int interruptDescriptor,
                      OpenFailure* failure, bool* interrupted) {
    addrinfo* found = nullptr;
    switch (Resolve(address, deadline, interruptDescriptor, &found, failure)) {
    case Resolved::Found:
        break;
    case Resolved::Interrupted:
        *interrupted = true;
        return false;
    case Resolved::Failed:
    case Resolved::OutOfTime:
        return false;
    }
    bool refused = false;
    int error = EHOSTUNREACH;  // a name with no address at all
    for (const addrinfo* to = found; to != nullptr && socket_ < 0; to = to->ai_next) {
        int outcome = 0;
        socket_ = ConnectTo(*to, deadline, interruptDescriptor, &outcome);
        if (outcome == kConnectInterrupted || outcome == kConnectOutOfTime) {
            error = outcome;
            break;
        }
        refused = refused || outcome == ECONNREFUSED;
        error = outcome != 0 ? outcome : error;
    }
    ::freeaddrinfo(found);
    if (socket_ >= 0) {
        return true;
    }
    if (error == kConnectInterrupted) {
        *interrupted = true;
    } else if (error == kConnectOutOfTime || error == ETIMEDOUT) {
        *failure = DescribeConnectionFailure(ConnectionFailure::NoAnswer, address.where, "", -1);
    } else if (refused) {
        *failure = DescribeConnectionFailure(ConnectionFailure::Refused, address.where, "", -1);
    } else {
        *failure = DescribeConnectionFailure(ConnectionFailure::System, address.where,
                                             std::strerror(error), error);
    }
    return false;
}

// A late wake makes up its ticks one a pass, so every wait of RemoteLine's
// lasts what it says; the deadline in nanoseconds bounds it all the same.
NetPort::Step NetPort::Drive(long long deadline, int interruptDescriptor,
                             bool (*unfinished)(RemoteLine::State)) {
    long long nextTick = Now() + kTickNanoseconds;
    while (unfinished(line_.CurrentState())) {
        if (socket_ < 0) {
            return Step::Lost;
        }
        if (Now() >= deadline) {
            return Step::OutOfTime;
        }
        pollfd watched[2] = {
            {socket_, static_cast<short>(POLLIN | (WantsToWrite() ? POLLOUT : 0)), 0},
            {interruptDescriptor, POLLIN, 0}};
        const timespec wait = Until(nextTick < deadline ? nextTick : deadline);
        if (::ppoll(watched, 2, &wait, nullptr) > 0) {
            if (watched[1].revents != 0) {
                return Step::Interrupted;
            }
            if (watched[0].revents & POLLOUT) {
                WriteQueued();
            }
            if (watched[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
                ReadAvailable();
            }
        }
        if (socket_ >= 0 && Now() >= nextTick) {
            line_.OnTick();
            nextTick += kTickNanoseconds;
            WriteQueued();
        }
    }
    return Step::Done;
}

// A connection already gone has nothing to put back: the server's line
// is the server's again.
void NetPort::Close() {
    if (socket_ < 0) {
        return;
    }
    if (line_.CurrentState() != RemoteLine::State::Closed) {
        line_.BeginClose();
    }
    WriteQueued();
    // No signal breaks this off: the server's line goes back as found, and
    // the closing is bounded on its own.
    Drive(Now() + kClosingNanoseconds, -1, StillClosing);
    LetGo();
}

// Unread bytes at close(2) make the kernel reset the connection and throw
// away what it had yet to send, the line's last settings among them: they
// are read first, and the connection ends with the usual FIN after them.
void NetPort::LetGo() {
    if (socket_ < 0) {
        return;
    }
    char discarded[4096];
    for (int pieces = 0; pieces < kMostPiecesPerRead; ++pieces) {
        if (::recv(socket_, discarded, sizeof discarded, MSG_DONTWAIT) <= 0) {
            break;
        }
    }
    ::shutdown(socket_, SHUT_RDWR);
    ::close(socket_);
    socket_ = -1;
}

void NetPort::ReadAvailable() {
    char buffer[4096];
    for (int pieces = 0; socket_ >= 0 && pieces < kMostPiecesPerRead; ++pieces) {
        const ssize_t count = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (count > 0) {
            line_.Received(buffer, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        // Closed by the server (0), or reset: the line is out of reach.
        lostError_ = count == 0 ? 0 : errno;
        LetGo();
        return;
    }
    // RemoteLine's answers to what came, such as a refused option.
    WriteQueued();
}

void NetPort::WriteQueued() {
    while (socket_ >= 0 && line_.OutgoingLength() > 0) {
        const ssize_t count =
            ::send(socket_, line_.Outgoing(), line_.OutgoingLength(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0) {
            line_.Sent(static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        lostError_ = errno;
        LetGo();
        return;
    }
}

void NetPort::Write(const char* bytes, std::size_t length) {
    line_.Write(bytes, length);
    WriteQueued();
}
