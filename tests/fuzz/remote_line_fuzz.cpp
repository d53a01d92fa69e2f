// libFuzzer target for RemoteLine against an untrusted terminal server: the
// first byte picks the mode (odd: raw), then events by op % 8: 0 peer bytes
// as they come, 1 peer data (255 doubled), 2 ticks, 3 WILL/WONT/DO/DONT,
// 4 a COM port answer or notice, 5 a write, 6 Sent(16k), 7 BeginClose().
// Checked after each: the outgoing buffer's bound, a bound on what the line
// says of its own accord, both deadlines, and (while every peer byte was
// well formed) data reaching the accumulator exactly and only while Ready.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "remote_line.h"

namespace {

using namespace std::string_literals;
using State = RemoteLine::State;

void Require(bool holds, const char* rule) {
    if (!holds) {
        std::fprintf(stderr, "\nremote line rule broken: %s\n", rule);
        std::abort();
    }
}

// The begin's 3 requests, a refusal per other option and side, 4 answers per side of
// BINARY and COM-PORT, 21 commands (queries, sets, DTR, RTS, restores) of 14 bytes at most.
constexpr std::size_t kOwnBytesBound = 9 + 254 * 2 * 3 + 2 * 2 * 4 * 3 + 21 * 14;

std::string Escaped(const std::string& bytes) {
    std::string out;
    for (char c : bytes) out += c == '\xff' ? "\xff\xff"s : std::string(1, c);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* at = data;
    const auto next = [&]() -> unsigned { return at < data + size ? *at++ : 0; };
    const auto take = [&](std::size_t n) {
        at += (n = std::min(n, static_cast<std::size_t>(data + size - at)));
        return std::string(reinterpret_cast<const char*>(at - n), n);
    };
    const bool raw = (next() & 1) != 0;
    RxAccumulator accumulator;
    RemoteLine line(accumulator, raw ? RemoteLine::Mode::Raw : RemoteLine::Mode::Rfc2217);
    line.Begin();
    bool known = true, closing = false;  // known: every peer byte so far well formed
    std::size_t ownBytes = 9;            // what the line said of its own accord
    std::uint32_t ticks = 0, ticksClosing = 0;
    while (at < data + size) {
        const std::size_t before = line.OutgoingLength();
        const bool ready = line.CurrentState() == State::Ready;
        std::size_t sent = 0, written = 0;
        std::string peer, chunk, wire;
        switch (next() % 8) {
        case 0:
            peer = take(next());
            known = raw;
            break;
        case 1: {
            chunk = take(next());
            wire = raw ? chunk : Escaped(chunk);
            accumulator.Clear();
            line.Received(wire.data(), wire.size());
            const std::size_t expected = known && ready ? chunk.size() : 0;
            Require(!known || accumulator.Pending() == std::min<std::size_t>(expected, 512),
                    "every data byte reaches the accumulator while Ready, none otherwise");
            line.Received("\r\n", 2);  // then as a reply line, where the bytes can be one
            RxLine taken{};
            if (expected > 0 && expected + 2 <= 512 &&
                std::none_of(chunk.begin(), chunk.end(), [](char c) { return (c & 0x80) || c == 0x7F; })) {
                Require(accumulator.TakeLine(taken) && std::string(taken.text, taken.length) == chunk + "\r\n",
                        "the data arrives unescaped, byte for byte");
            }
            break;
        }
        case 2:
            for (unsigned k = 1 + 2 * next(); k > 0; --k, ++ticks, ticksClosing += closing) line.OnTick();
            break;
        case 3:
            peer = "\xff"s + static_cast<char>(251 + next() % 4) + static_cast<char>(next());
            break;
        case 4: {  // code 101 + field: a setting's answer (the baud's in 4 bytes) or a notice
            const unsigned field = next() % 7;
            peer = "\xff\xfa\x2c"s + static_cast<char>(101 + field) + Escaped(take(field == 0 ? 4 : 1)) +
                   "\xff\xf0";
            break;
        }
        case 5:
            chunk = take(next());
            line.Write(chunk.data(), chunk.size());
            written = line.OutgoingLength() - before;
            break;
        case 6:
            sent = 16 * next();
            line.Sent(sent);
            sent = std::min(sent, before);
            break;
        default:
            line.BeginClose();
            closing = true;
            break;
        }
        if (!peer.empty()) line.Received(peer.data(), peer.size());
        ownBytes += line.OutgoingLength() + sent - before - written;
        const State state = line.CurrentState();
        Require(line.OutgoingLength() <= RemoteLine::kOutgoingCapacity, "the outgoing bytes fit their buffer");
        Require(ownBytes <= kOwnBytesBound, "no peer makes the line talk without end");
        Require(state != State::Opening || ticks < Timing::kOpeningTicks, "opening has a deadline");
        Require(!closing || state == State::Closing || state == State::Closed, "closing never turns back");
        Require(state != State::Closing || ticksClosing < RemoteLine::kClosingTicks, "closing has a deadline");
    }
    return 0;
}
