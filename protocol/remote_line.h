#pragma once

#include <cstddef>
#include <cstdint>

#include "open_failure.h"
#include "protocol_engine.h"
#include "rx_accumulator.h"
#include "timing.h"

// A serial line behind a terminal server, over one TCP connection: Telnet
// with the COM port option (RFC 2217), or raw bytes. No platform here and
// nothing from the heap: NetworkLine hands over what the connection
// received, sends what Outgoing() holds, and ticks it every 10 ms.
//
// The peer is not trusted. What it sends is decoded byte by byte into
// fixed buffers; nothing it says makes this wait, allocate or answer
// without end, and every wait here has its own deadline in ticks.
class RemoteLine : public PortWriter {
public:
    enum class Mode { Rfc2217, Raw };
    enum class State {
        Opening,   // negotiating the option and the line's settings
        Ready,     // 9600 8N1, no flow control: the dialogue may run
        Failed,    // the server refused or did not answer: see Failure()
        Closing,   // putting the line back as it was found
        Closed,    // once what Outgoing() holds is sent, the socket may be closed
    };
    // A setting as the server reports it; 0 where it never said.
    struct Settings {
        std::uint32_t baud = 0;
        std::uint8_t dataBits = 0;
        std::uint8_t parity = 0;    // the option's codes: 1 none, 2 odd, 3 even, 4 mark, 5 space
        std::uint8_t stopBits = 0;  // 1 one, 2 two, 3 one and a half
        std::uint8_t flow = 0;      // 1 none, 2 XON/XOFF, 3 hardware
        std::uint8_t dtr = 0;       // 8 on, 9 off
        std::uint8_t rts = 0;       // 11 on, 12 off
    };

    // From Begin() to Ready, Timing::kOpeningTicks: the server's answers,
    // every one of them. From BeginClose() to Closed: the found settings
    // acknowledged, or not.
    static constexpr std::uint32_t kClosingTicks = 1 * Timing::kTicksPerSecond;
    // Ours and the peer's bytes waiting to be sent; beyond it, data is
    // dropped as on a line that takes nothing, and refusals are not sent.
    static constexpr std::size_t kOutgoingCapacity = 4096;

    RemoteLine(RxAccumulator& accumulator, Mode mode);

    // The connection is up: asks for the options (Rfc2217), or is Ready at
    // once (Raw).
    void Begin();
    // What the connection received, in any pieces.
    void Received(const char* bytes, std::size_t length);
    // Every 10 ms while Opening or Closing; a deadline passed is Failed
    // (opening) or Closed (closing).
    void OnTick();
    // Puts back what Opening found and changed, then Closed. From any state:
    // a line never set is Closed at once.
    void BeginClose();

    State CurrentState() const { return state_; }
    // Once Failed: why, as DescribeNegotiationFailure words it.
    const NegotiationFailure& Failure() const { return failure_; }
    const Settings& Found() const { return found_; }
    // Closed by the closing's deadline, with restores unacknowledged: the
    // server's line may not be as it was found.
    bool RestoreUnconfirmed() const { return restoreUnconfirmed_; }

    // The bytes to send, in order; the glue sends what it can and says how
    // many went.
    const char* Outgoing() const { return outgoing_; }
    std::size_t OutgoingLength() const { return outgoingLength_; }
    void Sent(std::size_t count);

    // The dialogue's bytes, escaped for Telnet (Rfc2217). Dropped unless
    // Ready.
    void Write(const char* bytes, std::size_t length) override;

private:
    // Where the byte decoder stands between two bytes.
    enum class Decoding : std::uint8_t { Data, Command, Verb, SubOption, SubData, SubCommand };
    // What the negotiation waits for.
    enum class Step : std::uint8_t { Idle, AwaitingOption, Querying, Setting, Restoring };
    // One side of one option we accept (RFC 1143's four states).
    enum class Side : std::uint8_t { No, Yes, WantNo, WantYes };
    // A COM port command waiting for room in the outgoing bytes.
    struct Command {
        std::uint8_t code;
        std::uint32_t value;
    };
    // The five settings, in the order of their command codes (1 to 5).
    static constexpr int kFieldCount = 5;
    // The longest subnegotiation we act on is the baud answer: option,
    // code and four bytes. Longer ones are read to their end and ignored.
    static constexpr std::size_t kSubnegotiationCapacity = 16;
    // Queries, sets, DTR and RTS, and the restores: each step runs once.
    static constexpr std::size_t kCommandCapacity = 24;
    // Data bytes handed to the accumulator in pieces of this size.
    static constexpr std::size_t kDataChunk = 64;
    // Answers to one side of an accepted option: RFC 1143 answers only a
    // change of state, and this bounds a peer that changes it forever.
    static constexpr std::uint8_t kMaxAnswersPerSide = 4;

    void Decode(unsigned char byte);
    void DecodeCommand(unsigned char byte);
    void DecodeSubnegotiation(unsigned char byte);
    void DeliverData(unsigned char byte);
    void FlushData();
    void Negotiate(unsigned char verb, unsigned char option);
    void NegotiateAccepted(unsigned char verb, int index, unsigned char option);
    void Refuse(unsigned char verb, unsigned char option);
    void SendNegotiation(unsigned char verb, unsigned char option);
    void AnswerSide(int side, int index, unsigned char verb, unsigned char option);
    void OnOptionChanged(int side, int index);
    void HandleSubnegotiation();
    void HandleAnswer(int field, std::uint32_t value);
    void NoteControl(std::uint32_t value);
    void StartQueries();
    void StartSets();
    void BecomeReady();
    void Fail(NegotiationFailure::Cause cause, int field, std::uint32_t value);
    void Queue(std::uint8_t code, std::uint32_t value);
    void FlushCommands();
    bool AppendCommand(const Command& command);
    bool Append(const unsigned char* bytes, std::size_t length);

    RxAccumulator& accumulator_;
    Mode mode_;
    State state_ = State::Opening;
    Settings found_;
    char outgoing_[kOutgoingCapacity] = {};
    std::size_t outgoingLength_ = 0;

    bool begun_ = false;
    Decoding decoding_ = Decoding::Data;
    unsigned char verb_ = 0;
    unsigned char subOption_ = 0;
    unsigned char sub_[kSubnegotiationCapacity] = {};
    std::size_t subLength_ = 0;
    char data_[kDataChunk] = {};
    std::size_t dataLength_ = 0;

    // [0] ours (the peer's DO/DONT), [1] the peer's (its WILL/WONT); for
    // BINARY and COM-PORT-OPTION.
    Side sides_[2][2] = {};
    std::uint8_t answers_[2][2] = {};
    // Every other option: refused once per side, a bit per option.
    std::uint8_t refused_[2][32] = {};

    Step step_ = Step::Idle;
    std::uint8_t awaited_ = 0;   // a bit per field whose answer is due
    std::uint8_t reported_ = 0;  // a bit per field the server reported
    bool setsSent_ = false;
    bool controlsSent_ = false;  // our DTR and RTS: later reports are answers to them
    bool restoreUnconfirmed_ = false;
    std::uint32_t restoring_[kFieldCount] = {};
    Command commands_[kCommandCapacity] = {};
    std::size_t commandCount_ = 0;
    std::uint32_t ticks_ = 0;

    NegotiationFailure failure_;
};
