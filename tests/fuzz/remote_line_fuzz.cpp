// libFuzzer target for RemoteLine, the terminal server's untrusted side.
// The input is a script: the first byte picks the mode (odd: raw), then
// events, each cut short by the end of the input where it runs out:
//   op % 8 == 0  raw peer bytes: n, then n bytes, as they come
//             1  peer data: n, then n bytes, 255 doubled (Rfc2217)
//             2  ticks: k; 1 + 2k ticks
//             3  negotiation: verb (WILL WONT DO DONT), option
//             4  COM port answer: code 101 + c % 7, value (baud: 4 bytes)
//             5  write: n, then n bytes
//             6  the glue sends: k; Sent(16k), more than is there too
//             7  BeginClose()
// Checked after every event: the outgoing bytes stay within their capacity
// and what the line itself says (negotiation, commands) stays within a
// bound that no peer can raise; data reaches the accumulator exactly,
// unescaped, and only while Ready; Ready only after the server confirmed
// 9600 8N1; Opening ends by its deadline and Closing by its own.
// Seeds in corpus_remote_line/: ser2net's exchange, a refusal, a wrong
// answer, a haggling peer. scripts/fuzz runs it after the dialogue's.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "remote_line.h"

namespace {

using State = RemoteLine::State;
using namespace std::string_literals;

[[noreturn]] void Broken(const char* rule) {
    std::fprintf(stderr, "\nremote line rule broken: %s\n", rule);
    std::abort();
}

void Require(bool holds, const char* rule) {
    if (!holds) Broken(rule);
}

// The most the line ever says of its own: the three requests, one refusal
// per other option and side, four answers per side of BINARY and the COM
// port option, and 17 commands (queries, sets, DTR, RTS, restores) of at
// most 14 bytes each.
constexpr std::size_t kOwnBytesBound = 9 + 254 * 2 * 3 + 4 * 4 * 3 + 17 * 14;

struct Script {
    const std::uint8_t* at;
    const std::uint8_t* end;
    unsigned Byte() { return at < end ? *at++ : 0; }
    std::string Bytes(std::size_t n) {
        n = n < static_cast<std::size_t>(end - at) ? n : static_cast<std::size_t>(end - at);
        std::string bytes(reinterpret_cast<const char*>(at), n);
        at += n;
        return bytes;
    }
};

// What the accumulator takes as part of a reply line.
bool Printable(const std::string& bytes) {
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) > 0x7E) return false;
    }
    return true;
}

std::string Escaped(const std::string& bytes) {
    std::string out;
    for (char c : bytes) out += c == '\xff' ? "\xff\xff" : std::string(1, c);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Script script{data, data + size};
    const bool raw = (script.Byte() & 1) != 0;
    RxAccumulator accumulator;
    RemoteLine line(accumulator, raw ? RemoteLine::Mode::Raw : RemoteLine::Mode::Rfc2217);
    line.Begin();
    bool decoderKnown = true;     // every peer byte so far was well formed
    unsigned confirmed = 0;       // a bit per setting the server answered as set
    std::size_t ownBytes = 9;     // what the line said of its own accord
    std::uint32_t ticks = 0, ticksClosing = 0;
    bool closing = false;
    bool refused[2][256] = {};    // [DO, WILL][option]: the refusal went out
    while (script.at < script.end) {
        const std::size_t before = line.OutgoingLength();
        const State stateBefore = line.CurrentState();
        std::size_t sent = 0, writtenNow = 0;
        std::string peer;
        switch (script.Byte() % 8) {
        case 0:
            peer = script.Bytes(script.Byte());
            decoderKnown = raw;
            break;
        case 1: {
            const std::string bytes = script.Bytes(script.Byte());
            const std::string wire = raw ? bytes : Escaped(bytes);
            accumulator.Clear();
            line.Received(wire.data(), wire.size());
            if (!decoderKnown) break;
            const std::size_t expected = stateBefore == State::Ready ? bytes.size() : 0;
            Require(accumulator.Pending() == (expected < 512 ? expected : 512),
                    "every data byte reaches the accumulator while Ready, and none otherwise");
            // Whole and in order: as one reply line, where it can be one.
            line.Received("\r\n", 2);
            RxLine taken{};
            if (expected > 0 && expected + 2 <= 512 && Printable(bytes)) {
                Require(accumulator.TakeLine(taken) && std::string(taken.text, taken.length) == bytes + "\r\n",
                        "the data arrives unescaped, byte for byte");
            }
            break;
        }
        case 2:
            for (unsigned k = 1 + 2 * script.Byte(); k > 0; --k) {
                line.OnTick();
                ++ticks;
                ticksClosing += closing ? 1 : 0;
            }
            break;
        case 3: {
            static const char kVerbs[] = {'\xfb', '\xfc', '\xfd', '\xfe'};
            const unsigned verb = script.Byte() % 4, option = script.Byte();
            line.Received(("\xff"s + kVerbs[verb] + static_cast<char>(option)).data(), 3);
            // Every option but BINARY and COM-PORT: refused at most once per side.
            const std::string refusal = "\xff"s + (verb == 2 ? '\xfc' : '\xfe') + static_cast<char>(option);
            if (decoderKnown && !raw && verb % 2 == 0 && option != 0 && option != 44 &&
                std::string(line.Outgoing() + before, line.OutgoingLength() - before).rfind(refusal, 0) == 0) {
                Require(!refused[verb / 2][option], "another option is refused once, not on every request");
                refused[verb / 2][option] = true;
            }
            break;
        }
        case 4: {
            const unsigned code = 101 + script.Byte() % 7;
            const std::uint32_t value = code == 101 ? (script.Byte() << 24 | script.Byte() << 16 |
                                                       script.Byte() << 8 | script.Byte())
                                                    : script.Byte();
            static const std::uint32_t kWanted[] = {9600, 8, 1, 1, 1};
            if (code <= 105 && value == kWanted[code - 101]) confirmed |= 1u << (code - 101);
            std::string bytes;
            for (int shift = code == 101 ? 24 : 0; shift >= 0; shift -= 8) bytes += static_cast<char>(value >> shift);
            peer = "\xff\xfa\x2c" + std::string(1, static_cast<char>(code)) + Escaped(bytes) + "\xff\xf0";
            break;
        }
        case 5: {
            const std::string bytes = script.Bytes(script.Byte());
            line.Write(bytes.data(), bytes.size());
            const std::string written = raw ? bytes : Escaped(bytes);
            writtenNow = line.OutgoingLength() - before;
            const bool fits = stateBefore == State::Ready && written.size() <= RemoteLine::kOutgoingCapacity - before;
            Require(writtenNow == (fits ? written.size() : 0) &&
                        std::string(line.Outgoing() + before, writtenNow) == written.substr(0, writtenNow),
                    "a write goes out whole, 255 doubled, while Ready and where it fits, or not at all");
            break;
        }
        case 6:
            sent = 16 * script.Byte();
            line.Sent(sent);
            sent = sent < before ? sent : before;
            break;
        default:
            line.BeginClose();
            closing = true;
            Require(line.CurrentState() == State::Closing || line.CurrentState() == State::Closed,
                    "closing starts at once");
            break;
        }
        if (!peer.empty()) line.Received(peer.data(), peer.size());
        ownBytes += line.OutgoingLength() + sent - before - writtenNow;
        const State state = line.CurrentState();
        Require(line.OutgoingLength() <= RemoteLine::kOutgoingCapacity, "the outgoing bytes fit their buffer");
        Require(ownBytes <= kOwnBytesBound + 16, "no peer makes the line talk without end");
        Require(raw || !decoderKnown || state != State::Ready || confirmed == 31,
                "Ready only once the server took 9600 8N1");
        Require(state != State::Opening || ticks < RemoteLine::kOpeningTicks, "opening has a deadline");
        Require(!closing || state == State::Closing || state == State::Closed, "closing never turns back");
        Require(state != State::Closing || ticksClosing < RemoteLine::kClosingTicks, "closing has a deadline");
    }
    return 0;
}
