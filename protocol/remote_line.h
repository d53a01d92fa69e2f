#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol_engine.h"
#include "rx_accumulator.h"

// A serial line behind a terminal server, over one TCP connection: Telnet
// with the COM port option (RFC 2217), or raw bytes. No platform here and
// nothing from the heap: each platform's socket glue hands over what the
// connection received, sends what Outgoing() holds, and ticks it every
// 10 ms while it opens and while it closes.
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
        Closed,    // nothing more to send: the socket may be closed
    };
    // A setting as the server reports it; 0 where it never said.
    struct Settings {
        std::uint32_t baud = 0;
        std::uint8_t dataBits = 0;
        std::uint8_t parity = 0;    // the option's codes: 1 none, 2 odd, 3 even, 4 mark, 5 space
        std::uint8_t stopBits = 0;  // 1 one, 2 two, 3 one and a half
        std::uint8_t flow = 0;      // 1 none, 2 XON/XOFF, 3 hardware
    };

    static constexpr std::uint32_t kTicksPerSecond = 100;
    // From Begin() to Ready: the server's answers, every one of them.
    static constexpr std::uint32_t kOpeningTicks = 5 * kTicksPerSecond;
    // From BeginClose() to Closed: the found settings acknowledged, or not.
    static constexpr std::uint32_t kClosingTicks = 1 * kTicksPerSecond;
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
    // Once Failed: why, in both languages (UTF-8), naming what the server
    // answered; `where` is the host and port as the technician typed them.
    void DescribeFailure(const char* where, char* chinese, std::size_t chineseSize, char* english,
                         std::size_t englishSize) const;
    const Settings& Found() const { return found_; }

    // The bytes to send, in order; the glue sends what it can and says how
    // many went.
    const char* Outgoing() const { return outgoing_; }
    std::size_t OutgoingLength() const { return outgoingLength_; }
    void Sent(std::size_t count);

    // The dialogue's bytes, escaped for Telnet (Rfc2217). Dropped unless
    // Ready.
    void Write(const char* bytes, std::size_t length) override;

private:
    // Implementation's own: the decoder's state, the negotiation's step,
    // the deadlines. Fixed sizes only.
    RxAccumulator& accumulator_;
    Mode mode_;
    State state_ = State::Opening;
    Settings found_;
    char outgoing_[kOutgoingCapacity] = {};
    std::size_t outgoingLength_ = 0;
};
