// RemoteLine as transcripts against a scripted terminal server: the
// server's bytes in, every byte the line sends compared whole, time moved
// by ticks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "remote_line.h"

namespace {

using namespace std::string_literals;
using State = RemoteLine::State;
using Mode = RemoteLine::Mode;

std::string Value(std::uint32_t value, int width) {
    std::string bytes;
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
        bytes += static_cast<char>(value >> shift);
        bytes += (value >> shift & 0xFF) == 0xFF ? "\xff" : "";
    }
    return bytes;
}
// IAC SB COM-PORT-OPTION code value IAC SE; codes 1 and 101 carry a baud.
std::string Sb(int code, std::uint32_t value) {
    return "\xff\xfa\x2c"s + static_cast<char>(code) + Value(value, code % 100 == 1 ? 4 : 1) + "\xff\xf0";
}
std::string Five(int code, std::uint32_t baud, int data, int parity, int stop, int flow) {
    return Sb(code, baud) + Sb(code + 1, data) + Sb(code + 2, parity) + Sb(code + 3, stop) +
           Sb(code + 4, flow);
}
const std::string kAsk = "\xff\xfb\x00\xff\xfd\x00\xff\xfb\x2c"s;  // WILL BINARY, DO BINARY, WILL 44
const std::string kAgree = "\xff\xfd\x2c";                          // DO 44
const std::string kQueries = Five(1, 0, 0, 0, 0, 0);
const std::string kSets = Five(1, 9600, 8, 1, 1, 1);
const std::string kDtrRts = Sb(5, 8) + Sb(5, 11);

enum class Op { Peer, Out, Ticks, Write, Close, Is, Data, Said };
struct Step {
    Op op;
    std::string bytes;  // Peer, Out, Write, Data; Said: English then Chinese, '|' apart
    int count = 0;      // Ticks
    State state = State::Opening;
};
Step Peer(std::string bytes) { return {Op::Peer, std::move(bytes)}; }
Step Out(std::string bytes) { return {Op::Out, std::move(bytes)}; }
Step Ticks(int count) { return {Op::Ticks, "", count}; }
Step Write(std::string bytes) { return {Op::Write, std::move(bytes)}; }
Step Close() { return {Op::Close, ""}; }
Step Is(State state) { return {Op::Is, "", 0, state}; }
Step Data(std::string bytes) { return {Op::Data, std::move(bytes)}; }
Step Said(std::string words) { return {Op::Said, std::move(words)}; }

// ser2net's greeting: WILL SGA, DO SGA, WILL ECHO; each refused once.
const std::string kGreeting = "\xff\xfb\x03\xff\xfd\x03\xff\xfb\x01"s;
const std::string kRefusals = "\xff\xfe\x03\xff\xfc\x03\xff\xfe\x01"s;

// Every option but ours asked for twice, both ways, and BINARY switched off
// and on 50 times: refused once each, BINARY answered four times at most.
std::string Haggling() {
    std::string twice;
    for (int round = 0; round < 2; ++round) {
        for (int option = 1; option < 256; ++option) {
            twice += option == 44 ? "" : "\xff\xfd"s + static_cast<char>(option) + "\xff\xfb" + static_cast<char>(option);
        }
    }
    for (int flip = 0; flip < 50; ++flip) {
        twice += "\xff\xfc\x00\xff\xfb\x00"s;
    }
    return twice;
}
std::string Refused() {
    std::string once;
    for (int option = 1; option < 256; ++option) {
        once += option == 44 ? "" : "\xff\xfc"s + static_cast<char>(option) + "\xff\xfe" + static_cast<char>(option);
    }
    return once + "\xff\xfd\x00\xff\xfe\x00\xff\xfd\x00\xff\xfe\x00"s;
}

struct Transcript {
    const char* title;
    Mode mode;
    std::vector<Step> steps;
};

const Transcript kTranscripts[] = {
    {"ser2net: found 115200, set, data both ways, put back",
     Mode::Rfc2217,
     {Out(kAsk), Peer(kGreeting + kAgree), Out(kRefusals + kQueries),
      // A DTR answer is no flow answer, nor is an unknown notice anything.
      Peer(Sb(105, 8) + Sb(107, 0x30) + Five(101, 115200, 8, 1, 1, 1)), Out(kSets), Is(State::Opening),
      Peer(Five(101, 9600, 8, 1, 1, 1)), Out(kDtrRts), Is(State::Ready), Write("AT\xff\r\n"),
      Out("AT\xff\xff\r\n"), Write(std::string(2049, '\xff')), Out(""), Peer("OK\r\n"), Data("OK\r\n"), Peer("\xff\xff\xff\xff"), Data("\xff\xff"),
      Peer(Sb(105, 8) + Sb(105, 11)), Close(), Out(Five(1, 115200, 8, 1, 1, 1)), Write("AT\r\n"),
      Out(""), Peer(Five(101, 115200, 8, 1, 1, 11) + "late"), Data(""), Is(State::Closing),
      Peer(Sb(105, 1)), Is(State::Closed)}},
    {"the option refused", Mode::Rfc2217,
     {Out(kAsk), Peer("\xff\xfe\x2c"), Is(State::Failed),
      Said("the server did not take 9600 8N1: it refused the COM port option (RFC 2217) (gw-07:4001)|"
           "服务器没有接受 9600 8N1：它拒绝了 COM 端口选项（RFC 2217）（gw-07:4001）"),
      Close(), Is(State::Closed), Out("")}},
    {"another baud answered: what was found goes back", Mode::Rfc2217,
     {Out(kAsk), Peer(kAgree + Five(101, 511, 7, 3, 0, 2)), Out(kQueries + kSets),
      Peer(Sb(101, 115200)), Is(State::Failed),
      Said("the server did not take 9600 8N1: it answered 115200 baud (gw-07:4001)|"
           "服务器没有接受 9600 8N1：它回答 115200 波特（gw-07:4001）"),
      Write("AT\r\n"), Close(), Out(Sb(1, 511) + Sb(2, 7) + Sb(3, 3) + Sb(5, 2)),
      // The sets' late answers are not the restores'.
      Peer(Sb(102, 8) + Sb(103, 1) + Sb(105, 1) + Sb(101, 9600)), Ticks(99),
      Is(State::Closing), Ticks(1), Is(State::Closed)}},
    {"even parity answered", Mode::Rfc2217,
     {Peer(kAgree + Five(101, 9600, 8, 1, 1, 1) + Sb(101, 9600) + Sb(103, 3)), Is(State::Failed),
      Said("it answered even parity|它回答偶校验")}},
    {"a silent server", Mode::Rfc2217,
     {Ticks(499), Is(State::Opening), Ticks(1), Is(State::Failed),
      Said("the server did not take 9600 8N1: no answer within 5 s|5 秒内没有回答"), Close(),
      Is(State::Closed)}},
    {"haggling and flooding: answered within bounds, and still a deadline", Mode::Rfc2217,
     {Peer(Haggling()), Out(kAsk + Refused()), Peer(Haggling()), Out(""),
      // A subnegotiation too long to act on is read to its end and ignored.
      Peer(kAgree + "\xff\xfa\x2c\x65"s + std::string(5000, '\x01') + "\xff\xf0"), Out(kQueries),
      Peer(std::string(100000, '\xf1')), Write(std::string(5000, 'x')), Ticks(499), Is(State::Opening),
      Ticks(1), Is(State::Failed)}},
    {"raw bytes", Mode::Raw,
     {Is(State::Ready), Out(""), Peer("\xff\xfb\x01"), Data("\xff\xfb\x01"), Write("\xff"), Out("\xff"),
      Write(std::string(RemoteLine::kOutgoingCapacity + 1, 'x')), Out(""), Close(), Is(State::Closed)}},
};

TEST(RemoteLine, Transcripts) {
    for (const Transcript& transcript : kTranscripts) {
        SCOPED_TRACE(transcript.title);
        RxAccumulator accumulator;
        RemoteLine line(accumulator, transcript.mode);
        line.Begin();
        int index = 0;
        for (const Step& step : transcript.steps) {
            SCOPED_TRACE("step " + std::to_string(index++));
            const std::string out(line.Outgoing(), line.OutgoingLength());
            const std::size_t bar = step.bytes.find('|');
            char chinese[512], english[512];
            switch (step.op) {
            case Op::Peer: line.Received(step.bytes.data(), step.bytes.size()); break;
            case Op::Out:
                EXPECT_EQ(out, step.bytes);
                line.Sent(out.size());
                break;
            case Op::Ticks:
                for (int tick = 0; tick < step.count; ++tick) line.OnTick();
                break;
            case Op::Write: line.Write(step.bytes.data(), step.bytes.size()); break;
            case Op::Close: line.BeginClose(); break;
            case Op::Is: EXPECT_EQ(line.CurrentState(), step.state); break;
            case Op::Data: {
                RxLine taken{};
                EXPECT_EQ(accumulator.Pending(), step.bytes.size());
                if (accumulator.TakeLine(taken)) {
                    EXPECT_EQ(std::string(taken.text), step.bytes);
                }
                accumulator.Clear();
                break;
            }
            case Op::Said:
                line.DescribeFailure("gw-07:4001", chinese, sizeof chinese, english, sizeof english);
                EXPECT_NE(std::string(english).find(step.bytes.substr(0, bar)), std::string::npos) << english;
                EXPECT_NE(std::string(chinese).find(step.bytes.substr(bar + 1)), std::string::npos) << chinese;
                break;
            }
        }
    }
}

// The whole ser2net exchange split in two at every byte: the decoder's
// state carries across any piece.
TEST(RemoteLine, SplitAtEveryByte) {
    const std::string server = kGreeting + kAgree + Five(101, 115200, 8, 1, 1, 1) +
                               Five(101, 9600, 8, 1, 1, 1) + "\xff\xff" + "OK\r\n";
    for (std::size_t split = 0; split <= server.size(); ++split) {
        RxAccumulator accumulator;
        RemoteLine line(accumulator, Mode::Rfc2217);
        line.Begin();
        line.Received(server.data(), split);
        line.Received(server.data() + split, server.size() - split);
        ASSERT_EQ(std::string(line.Outgoing(), line.OutgoingLength()),
                  kAsk + kRefusals + kQueries + kSets + kDtrRts) << split;
        ASSERT_EQ(line.CurrentState(), State::Ready) << split;
        ASSERT_EQ(line.Found().baud, 115200u) << split;
        ASSERT_EQ(accumulator.Pending(), 5u) << split;
    }
}

}  // namespace
