// RemoteLine, and NetworkLine over a scripted socket layer, as transcripts
// against a scripted terminal server: its bytes in, every byte the line
// sends compared whole, time moved by ticks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "network_line.h"

namespace {

using namespace std::string_literals;
using State = RemoteLine::State;
using Phase = ServedPort::Phase;

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
const std::string kQueries = Five(1, 0, 0, 0, 0, 0) + Sb(5, 7) + Sb(5, 10), kSets = Five(1, 9600, 8, 1, 1, 1), kDtrRts = Sb(5, 8) + Sb(5, 11);
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

enum class Op { Peer, Out, Ticks, Write, Close, Is, Data, Said, Unconfirmed, Phase, End, Log };
struct Step { Op op; std::string bytes; int ticks = 0; State state = State::Opening; Phase phase = Phase::Opening; };
Step Peer(std::string bytes) { return {Op::Peer, std::move(bytes)}; }
Step Out(std::string bytes) { return {Op::Out, std::move(bytes)}; }  // then all of it sent
Step Ticks(int count) { return {Op::Ticks, "", count}; }
Step Write(std::string bytes) { return {Op::Write, std::move(bytes)}; }
Step Close() { return {Op::Close, ""}; }
Step Is(State state) { return {Op::Is, "", 0, state}; }
Step Data(std::string bytes) { return {Op::Data, std::move(bytes)}; }  // what the accumulator holds
Step Said(std::string words) { return {Op::Said, std::move(words)}; }  // English|Chinese
Step Unconfirmed(bool yes) { return {Op::Unconfirmed, "", yes}; }
// NetworkLine's: its phase (and a handle to wait on until Lost or Closed), how the peer ends (C
// closes, S resets, X fails, W: a send is reset), the socket layer's calls (A: the lookup abandoned;
// C: closed, and the bytes left unread).
Step Is(Phase phase) { return {Op::Phase, "", 0, State::Opening, phase}; }
Step End(char how) { return {Op::End, std::string(1, how)}; }
Step Log(std::string calls) { return {Op::Log, std::move(calls)}; }

// The plan: the lookup's answer (P none yet, F found, N no such host, X failed), then each address's
// connect: D done, R refused, T timed out, X failed; P, Q, W pending, then done, failed, nothing.
struct Sockets : SocketLayer {
    std::string plan, inbound, sent, log;
    char end = 'P';
    std::size_t at = 1;
    Error error{Error::Kind::Other, 5, "WORDS"};
    Io Outcome(char how) {  // S: reset
        error.kind = how == 'R' ? Error::Kind::Refused : how == 'T' ? Error::Kind::TimedOut : how == 'S' ? Error::Kind::Reset : Error::Kind::Other;
        return how == 'D' ? Io::Done : std::string("RTSX").find(how) != std::string::npos ? Io::Failed : Io::Pending;
    }
    bool StartLookup(const char*, const char*) override { return true; }
    Lookup TakeLookup(Address*, int, int* count) override { *count = int(plan.size()) - 1; return Lookup(std::string("PFNX").find(plan[0])); }
    void AbandonLookup() override { log += 'A'; }
    Io Connect(const Address&) override { return Outcome(plan[at++]); }
    Io ConnectOutcome() override { return Outcome(plan[at - 1] == 'P' ? 'D' : plan[at - 1] == 'Q' ? 'X' : 'W'); }
    Io Send(const char* bytes, std::size_t length, std::size_t* count) override {
        sent.append(bytes, *count = end == 'W' ? 0 : length);
        return end == 'W' ? Outcome('S') : Io::Done;
    }
    Io Receive(char* bytes, std::size_t size, std::size_t* got) override {
        inbound.erase(0, *got = inbound.copy(bytes, size));
        return *got > 0 ? Io::Done : end == 'C' ? Io::Closed : Outcome(end);
    }
    void CloseSocket() override { log += 'C' + std::to_string(inbound.size()); }
    WaitOn Waitable(bool write) const override { return {7, true, write}; }
    const Error& LastError() const override { return error; }
};

const struct {
    const char* title;
    RemoteLine::Mode mode;
    std::vector<Step> steps;
    const char* plan = nullptr;  // NetworkLine's socket layer; none: RemoteLine alone
} kTranscripts[] = {
    // DTR and inbound flow answers are no flow answer; a modem state notice, another option's SB
    // nothing. DTR and RTS go back as found, neither awaited; answers to ours are not what was found.
    {"ser2net: found 115200, set, data both ways, put back", RemoteLine::Mode::Rfc2217,
     {Out(kAsk), Peer(kGreeting + kAgree), Out(kRefusals + kQueries),
      Peer(Sb(105, 9) + Sb(105, 15) + Sb(107, 0x30) + "\xff\xfa\x18\x69\x02\xff\xf0" + Five(101, 115200, 8, 1, 1, 1)),
      Out(kSets), Is(State::Opening), Peer(Five(101, 9600, 8, 1, 1, 1)), Out(kDtrRts), Is(State::Ready),
      Write("AT\xff\r\n"), Out("AT\xff\xff\r\n"), Write(std::string(2049, '\xff')), Out(""), Peer("OK\r\n"),
      Data("OK\r\n"), Peer("\xff\xff\xff\xff"), Data("\xff\xff"), Peer(Sb(105, 8) + Sb(105, 11)), Close(),
      Out(Five(1, 115200, 8, 1, 1, 1) + Sb(5, 9)), Write("AT\r\n"), Out(""), Peer(Five(101, 115200, 8, 1, 1, 11) + "late"),
      Data(""), Is(State::Closing), Peer(Sb(105, 1)), Is(State::Closed), Unconfirmed(false)}},
    {"the option refused", RemoteLine::Mode::Rfc2217,
     {Out(kAsk), Peer("\xff\xfe\x2c"), Is(State::Failed), Close(), Is(State::Closed), Out(""),
      Said("it refused the COM port option (RFC 2217) (gw-07:4001)|它拒绝了 COM 端口选项（RFC 2217）（gw-07:4001）")}},
    // What was found goes back, skipping what was never said; the sets'
    // late answers are not the restores'.
    {"another baud answered", RemoteLine::Mode::Rfc2217,
     {Out(kAsk), Peer(kAgree + Five(101, 511, 7, 3, 0, 2)), Out(kQueries + kSets), Peer(Sb(101, 115200)),
      Is(State::Failed), Write("AT\r\n"), Close(), Out(Sb(1, 511) + Sb(2, 7) + Sb(3, 3) + Sb(5, 2)),
      Peer(Sb(102, 8) + Sb(103, 1) + Sb(105, 1) + Sb(101, 9600)), Ticks(99), Is(State::Closing), Ticks(1),
      Is(State::Closed), Unconfirmed(true),
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
    {"WONT for the option", RemoteLine::Mode::Rfc2217, {Peer("\xff\xfc\x2c"), Is(State::Failed)}},
    {"network: a name that does not resolve", RemoteLine::Mode::Raw, {Is(Phase::Closed),
     Said("the name gw-07 does not resolve (gw-07:4001)|找不到主机 gw-07：这个名字无法解析（gw-07:4001）")}, "N"},
    {"network: the lookup failed", RemoteLine::Mode::Raw, {Said("cannot connect to gw-07:4001: WORDS (error 5)|无法连接 gw-07:4001：WORDS（错误 5）")}, "X"},
    {"network: a lookup out of time", RemoteLine::Mode::Raw, {Peer(""), Ticks(499), Is(Phase::Opening), Ticks(1), Is(Phase::Closed),
     Said("no answer from gw-07:4001 within 5 s|gw-07:4001 在 5 秒内没有回应"), Log("A")}, "P"},
    {"network: a lookup broken off", RemoteLine::Mode::Raw, {Close(), Is(Phase::Closed), Log("A"), Said("|")}, "P"},
    {"network: a refusal beats the others' errors", RemoteLine::Mode::Raw, {Peer(""), Said("gw-07:4001 refused the connection|拒绝了连接"), Log("C0")}, "FXRQ"},
    {"network: the system gave up", RemoteLine::Mode::Raw, {Said("no answer from gw-07:4001 within 5 s|在 5 秒内没有回应")}, "FT"},
    {"network: a connection out of time", RemoteLine::Mode::Raw, {Peer(""), Ticks(500), Said("no answer from|没有回应"), Log("C0")}, "FW"},
    {"network: closed while opening", RemoteLine::Mode::Rfc2217, {Out(kAsk), End('C'), Is(Phase::Closed),
     Said("gw-07:4001 closed the connection it had taken|gw-07:4001 接受连接后又关闭了它"), Log("C0")}, "FD"},
    {"network: reset while opening", RemoteLine::Mode::Rfc2217, {End('S'), Said("closed the connection it had taken|接受连接后又关闭了它")}, "FD"},
    {"network: failed while opening", RemoteLine::Mode::Rfc2217, {End('X'), Said("cannot connect to gw-07:4001: WORDS (error 5)|WORDS")}, "FD"},
    {"network: a failed opening puts the line back by itself", RemoteLine::Mode::Rfc2217,
     {Peer(""), Out(kAsk), Peer(kAgree + Five(101, 115200, 8, 1, 1, 1)), Out(kQueries + kSets), Peer(Sb(101, 57600)),
      Out(Five(1, 115200, 8, 1, 1, 1)), Is(Phase::Closing), Said("it answered 57600 baud (gw-07:4001)|它回答 57600 波特（gw-07:4001）"),
      Peer(Five(101, 115200, 8, 1, 1, 1)), Is(Phase::Closed), Unconfirmed(false), Log("C0")}, "FP"},
    {"network: a silent server, put back as far as it was set", RemoteLine::Mode::Rfc2217,
     {Peer(kAgree + Five(101, 115200, 8, 1, 1, 1)), Ticks(500), Is(Phase::Closing), Said("no answer from gw-07:4001 within 5 s|没有回应")}, "FD"},
    {"network: the restore never acknowledged", RemoteLine::Mode::Rfc2217,
     {Out(kAsk), Peer(kAgree + Five(101, 115200, 8, 1, 1, 1)), Out(kQueries + kSets), Peer(Five(101, 9600, 8, 1, 1, 1)), Out(kDtrRts),
      Is(Phase::Ready), Write("AT\r\n"), Out("AT\r\n"), Peer("OK\r\n"), Data("OK\r\n"), Close(), Out(Five(1, 115200, 8, 1, 1, 1)),
      Ticks(99), Is(Phase::Closing), Ticks(1), Is(Phase::Closed), Unconfirmed(true), Log("C0")}, "FD"},
    // Read 64 KiB a wake; the rest drained before the close, or the close would be a reset.
    {"network: raw, drained before the close", RemoteLine::Mode::Raw, {Peer(std::string(70000, 'x')), Close(), Log("C0")}, "FD"},
    {"network: closed while ready", RemoteLine::Mode::Raw, {End('C'), Is(Phase::Lost), Close(), Is(Phase::Closed), Log("C0")}, "FD"},
    {"network: a reset while a tick writes", RemoteLine::Mode::Raw, {End('W'), Write("AT\r\n"), Is(Phase::Lost)}, "FD"},
};

// Each transcript, every piece of the server's split at each of its first 128 bytes.
TEST(RemoteLine, Transcripts) {
    for (std::size_t split = 0; split < 128; ++split) {
        for (const auto& transcript : kTranscripts) {
            SCOPED_TRACE(std::string(transcript.title) + ", split at " + std::to_string(split));
            RxAccumulator accumulator;
            Sockets sockets;
            sockets.plan = transcript.plan != nullptr ? transcript.plan : "";
            NetworkLine network(sockets, accumulator, transcript.mode, "gw-07", "4001", "gw-07:4001");
            RemoteLine line(accumulator, transcript.mode);
            NetworkLine* const net = transcript.plan != nullptr ? &network : nullptr;
            net != nullptr ? (net->Begin(), net->Service()) : line.Begin();
            for (std::size_t index = 0; index < transcript.steps.size(); ++index) {
                const Step& step = transcript.steps[index];
                const std::string out = net != nullptr ? sockets.sent : std::string(line.Outgoing(), line.OutgoingLength());
                const std::size_t cut = std::min(split, step.bytes.size()), bar = step.bytes.find('|');
                const OpenFailure said = net != nullptr ? net->OpeningFailure() : DescribeNegotiationFailure("gw-07:4001", line.Failure());
                RxLine taken{};
                switch (step.op) {
                case Op::Peer:
                    for (const std::string& piece : {step.bytes.substr(0, cut), step.bytes.substr(cut)}) {
                        net != nullptr ? (sockets.inbound += piece, net->Service()) : line.Received(piece.data(), piece.size());
                    }
                    break;
                case Op::Out:
                    ASSERT_EQ(out, step.bytes) << "step " << index;
                    net != nullptr ? sockets.sent.clear() : line.Sent(out.size());
                    break;
                case Op::Ticks: for (int tick = 0; tick < step.ticks; ++tick) net != nullptr ? net->OnTick() : line.OnTick(); break;
                case Op::Write: net != nullptr ? net->Write(step.bytes.data(), step.bytes.size()) : line.Write(step.bytes.data(), step.bytes.size()); break;
                case Op::Close: net != nullptr ? net->BeginClose() : line.BeginClose(); break;
                case Op::Is: ASSERT_EQ(line.CurrentState(), step.state) << "step " << index; break;
                case Op::Data:
                    ASSERT_EQ(accumulator.Pending(), step.bytes.size()) << "step " << index;
                    ASSERT_TRUE(!accumulator.TakeLine(taken) || std::string(taken.text) == step.bytes);
                    accumulator.Clear();
                    break;
                case Op::Said:
                    ASSERT_NE(std::string(said.english).find(step.bytes.substr(0, bar)), std::string::npos) << said.english;
                    ASSERT_NE(std::string(said.chinese).find(step.bytes.substr(bar + 1)), std::string::npos) << said.chinese;
                    break;
                case Op::Unconfirmed: ASSERT_EQ(net != nullptr ? net->RestoreUnconfirmed() : line.RestoreUnconfirmed(), step.ticks != 0); break;
                case Op::Phase:
                    ASSERT_EQ(net->CurrentPhase(), step.phase) << "step " << index;
                    ASSERT_EQ(net->Waitable().handle, step.phase == Phase::Lost || step.phase == Phase::Closed ? -1 : 7);
                    break;
                case Op::End: sockets.end = step.bytes[0]; net->Service(); break;
                case Op::Log: ASSERT_EQ(sockets.log, step.bytes); break;
                }
            }
        }
    }
}

}  // namespace
