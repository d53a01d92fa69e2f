// RemoteLine as transcripts against a scripted terminal server: its bytes
// in, every byte the line sends compared whole, time moved by ticks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "remote_line.h"

namespace {

using namespace std::string_literals;
using State = RemoteLine::State;

// IAC SB COM-PORT code value IAC SE, 255 doubled; codes 1 and 101 carry a baud.
std::string Sb(int code, std::uint32_t value) {
    std::string bytes = "\xff\xfa\x2c"s + static_cast<char>(code);
    for (int shift = code % 100 == 1 ? 24 : 0; shift >= 0; shift -= 8) {
        bytes += std::string((value >> shift & 0xFF) == 0xFF ? 2 : 1, static_cast<char>(value >> shift));
    }
    return bytes + "\xff\xf0";
}
std::string Five(int code, std::uint32_t baud, int data, int parity, int stop, int flow) {
    return Sb(code, baud) + Sb(code + 1, data) + Sb(code + 2, parity) + Sb(code + 3, stop) + Sb(code + 4, flow);
}
const std::string kAsk = "\xff\xfb\x00\xff\xfd\x00\xff\xfb\x2c"s;  // WILL BINARY, DO BINARY, WILL 44
const std::string kAgree = "\xff\xfd\x2c";                          // DO 44
const std::string kQueries = Five(1, 0, 0, 0, 0, 0), kSets = Five(1, 9600, 8, 1, 1, 1), kDtrRts = Sb(5, 8) + Sb(5, 11);
const std::string kGreeting = "\xff\xfb\x03\xff\xfd\x03\xff\xfb\x01"s;  // ser2net's: WILL SGA, DO SGA, WILL ECHO
const std::string kRefusals = "\xff\xfe\x03\xff\xfc\x03\xff\xfe\x01"s;

// The peer: every other option asked for both ways, twice, then BINARY
// switched off and on 50 times. The line: each refused once, BINARY's
// changes answered four times.
std::string Haggling(bool answers) {
    const char* verbs = answers ? "\xfc\xfe" : "\xfd\xfb";  // WONT, DONT for DO, WILL
    std::string bytes;
    for (int option = answers ? 257 : 1; option < 512; ++option) {
        if (option % 256 != 0 && option % 256 != 44) bytes += "\xff"s + verbs[0] + char(option) + "\xff" + verbs[1] + char(option);
    }
    for (int flip = 0; flip < 50; ++flip) bytes += answers ? "" : "\xff\xfc\x00\xff\xfb\x00"s;
    return bytes + (answers ? "\xff\xfd\x00\xff\xfe\x00\xff\xfd\x00\xff\xfe\x00"s : "");
}

enum class Op { Peer, Out, Ticks, Write, Close, Is, Data, Said };
struct Step { Op op; std::string bytes; int ticks = 0; State state = State::Opening; };
Step Peer(std::string bytes) { return {Op::Peer, std::move(bytes)}; }
Step Out(std::string bytes) { return {Op::Out, std::move(bytes)}; }  // then all of it sent
Step Ticks(int count) { return {Op::Ticks, "", count}; }
Step Write(std::string bytes) { return {Op::Write, std::move(bytes)}; }
Step Close() { return {Op::Close, ""}; }
Step Is(State state) { return {Op::Is, "", 0, state}; }
Step Data(std::string bytes) { return {Op::Data, std::move(bytes)}; }  // what the accumulator holds
Step Said(std::string words) { return {Op::Said, std::move(words)}; }  // English|Chinese

const struct {
    const char* title;
    RemoteLine::Mode mode;
    std::vector<Step> steps;
} kTranscripts[] = {
    // A DTR answer is no flow answer; a modem state notice, another option's SB nothing.
    {"ser2net: found 115200, set, data both ways, put back", RemoteLine::Mode::Rfc2217,
     {Out(kAsk), Peer(kGreeting + kAgree), Out(kRefusals + kQueries),
      Peer(Sb(105, 8) + Sb(107, 0x30) + "\xff\xfa\x18\x69\x02\xff\xf0" + Five(101, 115200, 8, 1, 1, 1)),
      Out(kSets), Is(State::Opening), Peer(Five(101, 9600, 8, 1, 1, 1)), Out(kDtrRts), Is(State::Ready),
      Write("AT\xff\r\n"), Out("AT\xff\xff\r\n"), Write(std::string(2049, '\xff')), Out(""), Peer("OK\r\n"),
      Data("OK\r\n"), Peer("\xff\xff\xff\xff"), Data("\xff\xff"), Peer(Sb(105, 8) + Sb(105, 11)), Close(),
      Out(Five(1, 115200, 8, 1, 1, 1)), Write("AT\r\n"), Out(""), Peer(Five(101, 115200, 8, 1, 1, 11) + "late"),
      Data(""), Is(State::Closing), Peer(Sb(105, 1)), Is(State::Closed)}},
    {"the option refused", RemoteLine::Mode::Rfc2217,
     {Out(kAsk), Peer("\xff\xfe\x2c"), Is(State::Failed), Close(), Is(State::Closed), Out(""),
      Said("it refused the COM port option (RFC 2217) (gw-07:4001)|它拒绝了 COM 端口选项（RFC 2217）（gw-07:4001）")}},
    // What was found goes back, skipping what was never said; the sets'
    // late answers are not the restores'.
    {"another baud answered", RemoteLine::Mode::Rfc2217,
     {Out(kAsk), Peer(kAgree + Five(101, 511, 7, 3, 0, 2)), Out(kQueries + kSets), Peer(Sb(101, 115200)),
      Is(State::Failed), Write("AT\r\n"), Close(), Out(Sb(1, 511) + Sb(2, 7) + Sb(3, 3) + Sb(5, 2)),
      Peer(Sb(102, 8) + Sb(103, 1) + Sb(105, 1) + Sb(101, 9600)), Ticks(99), Is(State::Closing), Ticks(1),
      Is(State::Closed),
      Said("the server did not take 9600 8N1: it answered 115200 baud (gw-07:4001)|"
           "服务器没有接受 9600 8N1：它回答 115200 波特（gw-07:4001）")}},
    {"even parity answered", RemoteLine::Mode::Rfc2217,
     {Peer(kAgree + Five(101, 9600, 8, 1, 1, 1) + Sb(101, 9600) + Sb(103, 3)), Is(State::Failed), Said("it answered even parity|它回答偶校验")}},
    {"a silent server", RemoteLine::Mode::Rfc2217,
     {Ticks(499), Is(State::Opening), Ticks(1), Is(State::Failed), Close(), Is(State::Closed),
      Said("the server did not take 9600 8N1: no answer within 5 s|5 秒内没有回答")}},
    // A subnegotiation too long to act on is read to its end and ignored.
    {"haggling and flooding: answered within bounds, and still a deadline", RemoteLine::Mode::Rfc2217,
     {Peer(Haggling(false)), Out(kAsk + Haggling(true)), Peer(Haggling(false)), Out(""),
      Peer(kAgree + "\xff\xfa\x2c\x65"s + std::string(5000, '\x01') + "\xff\xf0"), Out(kQueries),
      Peer(Sb(101, 1200) + std::string(100000, '\xf1')), Write("AT\r\n"), Ticks(499), Is(State::Opening), Ticks(1),
      Is(State::Failed), Close(), Is(State::Closed)}},  // found, but nothing set: nothing to put back
    {"raw bytes", RemoteLine::Mode::Raw,
     {Is(State::Ready), Peer("\xff\xfb\x01"), Data("\xff\xfb\x01"), Write("\xff"), Out("\xff"), Close(), Is(State::Closed)}},
};

// Each transcript, every piece of the server's split at each of its first 128 bytes.
TEST(RemoteLine, Transcripts) {
    for (std::size_t split = 0; split < 128; ++split) {
        for (const auto& transcript : kTranscripts) {
            SCOPED_TRACE(std::string(transcript.title) + ", split at " + std::to_string(split));
            RxAccumulator accumulator;
            RemoteLine line(accumulator, transcript.mode);
            line.Begin();
            for (std::size_t index = 0; index < transcript.steps.size(); ++index) {
                const Step& step = transcript.steps[index];
                const std::string out(line.Outgoing(), line.OutgoingLength());
                const std::size_t cut = std::min(split, step.bytes.size()), bar = step.bytes.find('|');
                char chinese[512], english[512];
                RxLine taken{};
                switch (step.op) {
                case Op::Peer:
                    line.Received(step.bytes.data(), cut);
                    line.Received(step.bytes.data() + cut, step.bytes.size() - cut);
                    break;
                case Op::Out:
                    ASSERT_EQ(out, step.bytes) << "step " << index;
                    line.Sent(out.size());
                    break;
                case Op::Ticks: for (int tick = 0; tick < step.ticks; ++tick) line.OnTick(); break;
                case Op::Write: line.Write(step.bytes.data(), step.bytes.size()); break;
                case Op::Close: line.BeginClose(); break;
                case Op::Is: ASSERT_EQ(line.CurrentState(), step.state) << "step " << index; break;
                case Op::Data:
                    ASSERT_EQ(accumulator.Pending(), step.bytes.size()) << "step " << index;
                    ASSERT_TRUE(!accumulator.TakeLine(taken) || std::string(taken.text) == step.bytes);
                    accumulator.Clear();
                    break;
                case Op::Said:
                    line.DescribeFailure("gw-07:4001", chinese, sizeof chinese, english, sizeof english);
                    ASSERT_NE(std::string(english).find(step.bytes.substr(0, bar)), std::string::npos) << english;
                    ASSERT_NE(std::string(chinese).find(step.bytes.substr(bar + 1)), std::string::npos) << chinese;
                    break;
                }
            }
        }
    }
}

}  // namespace
