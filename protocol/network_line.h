#pragma once

#include <cstddef>
#include <cstdint>

#include "open_failure.h"
#include "remote_line.h"
#include "rx_accumulator.h"
#include "served_port.h"

// What each platform supplies for one connection: a lookup that answers
// later, a non-blocking socket, and the handle a loop waits on. No feature
// lives here: the order of things, the deadlines, the restore and every
// word are NetworkLine's, written once.
class SocketLayer {
public:
    enum class Io {
        Done,     // Send/Receive: some bytes moved; Connect: connected
        Pending,  // nothing now: wait on Waitable()
        Closed,   // Receive: the peer ended the connection in order
        Failed,   // see LastError()
    };
    enum class Lookup { Pending, Found, NoSuchHost, Failed };
    // A socket address as the system's sockaddr, copied whole.
    struct Address {
        unsigned char bytes[128];
        std::uint32_t length;
    };
    struct Error {
        enum class Kind {
            Refused,   // nothing listens there
            TimedOut,  // the system gave up on the connection
            Reset,     // the peer reset it (it closed with our bytes unread)
            Other,
        };
        Kind kind = Kind::Other;
        long long code = -1;   // errno, WSA error or EAI code; -1 for none
        char words[256] = {};  // the system's own words for it, UTF-8
    };
    static constexpr int kMostAddresses = 8;

    // Starts looking `host` up, on a thread of its own: a lookup can wait
    // on a name server for longer than any deadline of ours, and nothing
    // breaks it off. False (LastError() says why) if it could not start.
    virtual bool StartLookup(const char* host, const char* service) = 0;
    // Pending until the lookup has answered; then its answer, once. On
    // Found, up to `capacity` addresses, in the resolver's order.
    virtual Lookup TakeLookup(Address* addresses, int capacity, int* count) = 0;
    // Gives up a lookup still running: its answer, when it comes, is
    // thrown away by the platform, never read into freed memory.
    virtual void AbandonLookup() = 0;

    // A new non-blocking socket connecting to `address`, any earlier one
    // closed first: Done, Pending (Waitable() wakes when it is decided),
    // or Failed.
    virtual Io Connect(const Address& address) = 0;
    // After Pending: how the connection went so far.
    virtual Io ConnectOutcome() = 0;
    virtual Io Send(const char* bytes, std::size_t length, std::size_t* sent) = 0;
    virtual Io Receive(char* bytes, std::size_t size, std::size_t* got) = 0;
    // Ends the connection (what was sent still goes, then FIN) and closes
    // the socket. The caller has drained what came first.
    virtual void CloseSocket() = 0;

    // The lookup's handle while it runs, the socket's after.
    virtual WaitOn Waitable(bool wantsToWrite) const = 0;
    // Why the last call said Failed (or StartLookup said false).
    virtual const Error& LastError() const = 0;

protected:
    ~SocketLayer() = default;
};

// A serial line behind a terminal server, as one loop serves it: the name
// looked up within the opening's deadline, each address tried in turn, the
// line set by RemoteLine, the dialogue's bytes both ways, and on the way
// out the line put back, what came drained and the connection ended. Every
// failure is worded here, naming HOST:PORT as typed. No platform, no heap:
// the platform's SocketLayer does only what differs.
class NetworkLine final : public ServedPort {
public:
    // A wake reads this much at most, so a flooding server gets its turn
    // again after the ticks, never instead of them.
    static constexpr std::size_t kMostReadPerService = 64 * 1024;
    // Past RemoteLine's own closing deadline, a margin for a late loop; the
    // close's drain reads at most kMostReadPerService too.
    static constexpr std::uint32_t kClosingTicks = RemoteLine::kClosingTicks + 10;

    // `host`, `service` and `where` (HOST:PORT as typed) outlive the line.
    NetworkLine(SocketLayer& sockets, RxAccumulator& accumulator, RemoteLine::Mode mode,
                const char* host, const char* service, const char* where);

    // Starts the lookup; the rest follows in Service() and OnTick().
    void Begin();

    Phase CurrentPhase() const override;
    WaitOn Waitable() const override;
    void Service() override;
    void OnTick() override;
    void BeginClose() override;
    const OpenFailure& OpeningFailure() const override { return failure_; }
    bool RestoreUnconfirmed() const override;

    // The dialogue's bytes; dropped unless Ready.
    void Write(const char* bytes, std::size_t length) override;

    const RemoteLine& Line() const { return line_; }

private:
    // Private to the implementation; named here for the fixed buffers.
    enum class Step : std::uint8_t {
        Idle, Resolving, Connecting, Negotiating, Ready, Lost, Closing, Closed
    };

    void TakeAddresses();
    void ConnectNext();
    void AwaitConnection();
    void Negotiate();
    void Exchange();
    bool SendOutgoing();
    void Follow();
    void Drop(SocketLayer::Io io);
    void PutBack();
    void LetGo();
    void GiveUpOpening();
    void Fail(ConnectionFailure kind);

    RemoteLine line_;
    SocketLayer& sockets_;
    const char* host_;
    const char* service_;
    const char* where_;
    Step step_ = Step::Idle;
    SocketLayer::Address addresses_[SocketLayer::kMostAddresses] = {};
    int addressCount_ = 0;
    int nextAddress_ = 0;
    bool refused_ = false;     // any address refused: nothing listens there
    std::uint32_t ticks_ = 0;  // in the opening, and again in the closing
    OpenFailure failure_;
};
