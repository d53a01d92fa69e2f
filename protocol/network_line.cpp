#include "network_line.h"

#include "timing.h"

namespace {

using Io = SocketLayer::Io;

// What one Receive() takes at most; a wake reads several, up to
// kMostReadPerService.
constexpr std::size_t kPiece = 4096;

}  // namespace

NetworkLine::NetworkLine(SocketLayer& sockets, RxAccumulator& accumulator, RemoteLine::Mode mode,
                         const char* host, const char* service, const char* where)
    : line_(accumulator, mode), sockets_(sockets), host_(host), service_(service), where_(where) {}

void NetworkLine::Begin() {
    if (step_ != Step::Idle) {
        return;
    }
    ticks_ = 0;
    if (!sockets_.StartLookup(host_, service_)) {
        Fail(ConnectionFailure::System);
        step_ = Step::Closed;
        return;
    }
    step_ = Step::Resolving;
}

ServedPort::Phase NetworkLine::CurrentPhase() const {
    switch (step_) {
    case Step::Ready: return Phase::Ready;
    case Step::Lost: return Phase::Lost;
    case Step::Closing: return Phase::Closing;
    case Step::Closed: return Phase::Closed;
    default: return Phase::Opening;
    }
}

WaitOn NetworkLine::Waitable() const {
    switch (step_) {
    case Step::Resolving: return sockets_.Waitable(false);
    case Step::Connecting: return sockets_.Waitable(true);  // a connect is decided writable
    case Step::Negotiating:
    case Step::Ready:
    case Step::Closing: return sockets_.Waitable(line_.OutgoingLength() > 0);
    default: return WaitOn{};
    }
}

void NetworkLine::Service() {
    switch (step_) {
    case Step::Resolving: TakeAddresses(); break;
    case Step::Connecting: AwaitConnection(); break;
    case Step::Negotiating:
    case Step::Ready:
    case Step::Closing: Exchange(); break;
    default: break;
    }
}

// The opening's deadline over the lookup, the connection and the
// negotiation alike; then the line's own ticks, and the closing's deadline.
void NetworkLine::OnTick() {
    const bool opening =
        step_ == Step::Resolving || step_ == Step::Connecting || step_ == Step::Negotiating;
    if (opening && ++ticks_ >= Timing::kOpeningTicks) {
        GiveUpOpening();
        return;
    }
    if (step_ == Step::Closing && ++ticks_ >= kClosingTicks) {
        LetGo();
        return;
    }
    if (step_ == Step::Negotiating || step_ == Step::Ready || step_ == Step::Closing) {
        line_.OnTick();
        if (SendOutgoing()) {
            Follow();
        }
    }
}

void NetworkLine::BeginClose() {
    switch (step_) {
    case Step::Resolving:
        sockets_.AbandonLookup();
        step_ = Step::Closed;
        break;
    case Step::Connecting:
        sockets_.CloseSocket();
        step_ = Step::Closed;
        break;
    case Step::Negotiating:
    case Step::Ready: PutBack(); break;
    case Step::Closing:
    case Step::Closed: break;
    default: step_ = Step::Closed; break;  // never begun, or the connection already gone
    }
}

// Not acknowledged by the closing's deadline, or the connection gone
// before it was.
bool NetworkLine::RestoreUnconfirmed() const {
    return step_ == Step::Closed &&
           (line_.RestoreUnconfirmed() || line_.CurrentState() == RemoteLine::State::Closing);
}

// Sent at once: a command's answer is timed from it.
void NetworkLine::Write(const char* bytes, std::size_t length) {
    if (step_ == Step::Ready) {
        line_.Write(bytes, length);
        SendOutgoing();
    }
}

void NetworkLine::TakeAddresses() {
    int count = 0;
    switch (sockets_.TakeLookup(addresses_, SocketLayer::kMostAddresses, &count)) {
    case SocketLayer::Lookup::Pending: return;
    case SocketLayer::Lookup::Found:
        addressCount_ = count < SocketLayer::kMostAddresses ? count : SocketLayer::kMostAddresses;
        if (addressCount_ > 0) {
            ConnectNext();
            return;
        }
        Fail(ConnectionFailure::NoSuchHost);  // a name with no address to reach
        break;
    case SocketLayer::Lookup::NoSuchHost: Fail(ConnectionFailure::NoSuchHost); break;
    case SocketLayer::Lookup::Failed: Fail(ConnectionFailure::System); break;
    }
    step_ = Step::Closed;
}

// Each address the name has, in the resolver's order, until one takes the
// connection: a name with an IPv6 address where nothing listens still
// reaches the server on its IPv4 one. A refusal anywhere says more than
// another address's error: nothing listens there.
void NetworkLine::ConnectNext() {
    while (nextAddress_ < addressCount_) {
        switch (sockets_.Connect(addresses_[nextAddress_++])) {
        case Io::Done: Negotiate(); return;
        case Io::Pending: step_ = Step::Connecting; return;
        default: refused_ = refused_ || sockets_.LastError().kind == SocketLayer::Error::Kind::Refused;
        }
    }
    const bool timedOut = sockets_.LastError().kind == SocketLayer::Error::Kind::TimedOut;
    Fail(refused_ ? ConnectionFailure::Refused
                  : timedOut ? ConnectionFailure::NoAnswer : ConnectionFailure::System);
    sockets_.CloseSocket();
    step_ = Step::Closed;
}

void NetworkLine::AwaitConnection() {
    switch (sockets_.ConnectOutcome()) {
    case Io::Done: Negotiate(); return;
    case Io::Pending: return;
    default:
        refused_ = refused_ || sockets_.LastError().kind == SocketLayer::Error::Kind::Refused;
        ConnectNext();
    }
}

// What came with the connection is read at once: a platform may not tell
// of it again.
void NetworkLine::Negotiate() {
    step_ = Step::Negotiating;
    line_.Begin();
    Exchange();
}

void NetworkLine::Exchange() {
    char bytes[kPiece];
    for (std::size_t taken = 0; taken < kMostReadPerService;) {
        const std::size_t left = kMostReadPerService - taken;
        std::size_t got = 0;
        const Io io = sockets_.Receive(bytes, left < kPiece ? left : kPiece, &got);
        if (io == Io::Pending || (io == Io::Done && got == 0)) {
            break;
        }
        if (io != Io::Done) {
            Drop(io);
            return;
        }
        line_.Received(bytes, got);
        taken += got;
    }
    // RemoteLine's answers to what came, such as a refused option.
    if (SendOutgoing()) {
        Follow();
    }
}

// False once the connection is gone.
bool NetworkLine::SendOutgoing() {
    while (line_.OutgoingLength() > 0) {
        std::size_t sent = 0;
        const Io io = sockets_.Send(line_.Outgoing(), line_.OutgoingLength(), &sent);
        if (io == Io::Pending || (io == Io::Done && sent == 0)) {
            break;  // the wait wakes once there is room
        }
        if (io != Io::Done) {
            Drop(io);
            return false;
        }
        line_.Sent(sent);
    }
    return true;
}

// Where the line's negotiation or its restore has come to.
void NetworkLine::Follow() {
    const RemoteLine::State state = line_.CurrentState();
    if (step_ == Step::Negotiating && state == RemoteLine::State::Ready) {
        step_ = Step::Ready;
    } else if (step_ == Step::Negotiating && state == RemoteLine::State::Failed) {
        failure_ = DescribeNegotiationFailure(where_, line_.Failure());
        PutBack();
    } else if (step_ == Step::Closing && state == RemoteLine::State::Closed) {
        LetGo();
    }
}

// The peer closed or reset the connection, or the system failed it: nothing
// more goes either way, and nothing is left to put back.
void NetworkLine::Drop(Io io) {
    if (step_ == Step::Negotiating) {
        // ser2net closes a connection it took when it cannot open its line;
        // with our first bytes unread, the close arrives as a reset.
        const bool closed =
            io == Io::Closed || sockets_.LastError().kind == SocketLayer::Error::Kind::Reset;
        Fail(closed ? ConnectionFailure::Closed : ConnectionFailure::System);
    }
    sockets_.CloseSocket();
    step_ = step_ == Step::Ready ? Step::Lost : Step::Closed;
}

// What the opening found and changed goes back, on every way out with the
// connection still there: a failed opening's too.
void NetworkLine::PutBack() {
    line_.BeginClose();
    step_ = Step::Closing;
    ticks_ = 0;
    if (SendOutgoing()) {
        Follow();
    }
}

// Unread bytes at the close make the system reset the connection and throw
// away what it had yet to send, the line's last settings among them: they
// are read first, and the connection ends with the usual FIN after them.
void NetworkLine::LetGo() {
    char discarded[kPiece];
    std::size_t got = 0;
    for (std::size_t taken = 0; taken < kMostReadPerService; taken += got) {
        if (sockets_.Receive(discarded, kPiece, &got) != Io::Done || got == 0) {
            break;
        }
    }
    sockets_.CloseSocket();
    step_ = Step::Closed;
}

void NetworkLine::GiveUpOpening() {
    Fail(ConnectionFailure::NoAnswer);
    if (step_ == Step::Negotiating) {
        PutBack();
        return;
    }
    if (step_ == Step::Resolving) {
        sockets_.AbandonLookup();
    } else {
        sockets_.CloseSocket();
    }
    step_ = Step::Closed;
}

void NetworkLine::Fail(ConnectionFailure kind) {
    const SocketLayer::Error& error = sockets_.LastError();
    failure_ = DescribeConnectionFailure(kind, where_, error.words, error.code);
}
