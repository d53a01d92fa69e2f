#include "remote_line.h"

#include <cstring>

namespace {

// Telnet (RFC 854, 855) and its BINARY option (RFC 856).
constexpr unsigned char kIac = 255;
constexpr unsigned char kDont = 254;
constexpr unsigned char kDo = 253;
constexpr unsigned char kWont = 252;
constexpr unsigned char kWill = 251;
constexpr unsigned char kSb = 250;
constexpr unsigned char kSe = 240;
constexpr unsigned char kBinary = 0;
// The COM port option (RFC 2217): the client's command codes; the server
// answers each with the code plus 100.
constexpr unsigned char kComPort = 44;
constexpr unsigned char kSetBaud = 1;
constexpr unsigned char kSetControl = 5;
constexpr unsigned char kServerOffset = 100;
constexpr std::uint32_t kAsk = 0;  // every setting's "tell me what it is"
// SET-CONTROL's DTR and RTS: ask, then on and off as asked and answered.
constexpr std::uint32_t kAskDtr = 7;
constexpr std::uint32_t kDtrOn = 8;
constexpr std::uint32_t kDtrOff = 9;
constexpr std::uint32_t kAskRts = 10;
constexpr std::uint32_t kRtsOn = 11;
constexpr std::uint32_t kRtsOff = 12;

constexpr int kUs = 0;    // our side of an option: the peer says DO/DONT
constexpr int kHim = 1;   // the peer's side: it says WILL/WONT
constexpr int kBinaryIndex = 0;
constexpr int kComPortIndex = 1;
constexpr int kControlField = 4;

// 9600 8N1, no flow control: baud, data bits, parity none, one stop bit,
// no flow control, in the order of the fields.
constexpr std::uint32_t kWanted[] = {9600, 8, 1, 1, 1};

int OptionIndex(unsigned char option) {
    return option == kBinary ? kBinaryIndex : option == kComPort ? kComPortIndex : -1;
}

// SET-CONTROL answers several questions with one code. Only the outbound
// flow control's values answer ours; BREAK, DTR, RTS (4 to 12) and inbound
// flow (13 to 16) are someone else's answer, a late DTR or RTS one above all.
bool AnswersFlow(std::uint32_t value) { return value < 4 || value > 16; }

bool ReportsControl(std::uint32_t value) {
    return value == kDtrOn || value == kDtrOff || value == kRtsOn || value == kRtsOff;
}

}  // namespace

RemoteLine::RemoteLine(RxAccumulator& accumulator, Mode mode) : accumulator_(accumulator), mode_(mode) {}

void RemoteLine::Begin() {
    if (begun_) {
        return;
    }
    begun_ = true;
    if (mode_ == Mode::Raw) {
        state_ = State::Ready;
        return;
    }
    step_ = Step::AwaitingOption;
    // BINARY both ways, so that every byte value passes untouched, and the
    // COM port option on our side: we are the client.
    const unsigned char asks[][2] = {{kWill, kBinary}, {kDo, kBinary}, {kWill, kComPort}};
    const int sides[] = {kUs, kHim, kUs};
    const int indexes[] = {kBinaryIndex, kBinaryIndex, kComPortIndex};
    for (int i = 0; i < 3; ++i) {
        Side& side = sides_[sides[i]][indexes[i]];
        if (side == Side::No) {
            side = Side::WantYes;
            SendNegotiation(asks[i][0], asks[i][1]);
        }
    }
    if (sides_[kUs][kComPortIndex] == Side::Yes) {  // agreed before we asked
        StartQueries();
    }
}

void RemoteLine::Received(const char* bytes, std::size_t length) {
    if (mode_ == Mode::Raw) {
        if (state_ == State::Ready) {
            accumulator_.Append(bytes, length);
        }
        return;
    }
    for (std::size_t i = 0; i < length; ++i) {
        Decode(static_cast<unsigned char>(bytes[i]));
    }
    FlushData();
    FlushCommands();
}

void RemoteLine::Decode(unsigned char byte) {
    switch (decoding_) {
    case Decoding::Data:
        if (byte == kIac) {
            decoding_ = Decoding::Command;
        } else {
            DeliverData(byte);
        }
        break;
    case Decoding::Command:
        DecodeCommand(byte);
        break;
    case Decoding::Verb:
        decoding_ = Decoding::Data;
        Negotiate(verb_, byte);
        break;
    case Decoding::SubOption:
        subOption_ = byte;
        subLength_ = 0;
        decoding_ = Decoding::SubData;
        break;
    case Decoding::SubData:
    case Decoding::SubCommand:
        DecodeSubnegotiation(byte);
        break;
    }
}

// The byte after an IAC in the data.
void RemoteLine::DecodeCommand(unsigned char byte) {
    decoding_ = Decoding::Data;
    if (byte == kIac) {
        DeliverData(byte);
    } else if (byte == kWill || byte == kWont || byte == kDo || byte == kDont) {
        verb_ = byte;
        decoding_ = Decoding::Verb;
    } else if (byte == kSb) {
        decoding_ = Decoding::SubOption;
    }
    // Anything else (NOP, GA, AYT, a stray SE...) asks nothing of a client
    // that only wants the line's bytes.
}

void RemoteLine::DecodeSubnegotiation(unsigned char byte) {
    if (decoding_ == Decoding::SubData) {
        if (byte == kIac) {
            decoding_ = Decoding::SubCommand;
            return;
        }
    } else if (byte == kSe) {
        decoding_ = Decoding::Data;
        HandleSubnegotiation();
        return;
    } else if (byte != kIac) {
        // IAC and a command inside a subnegotiation: the peer broke it off.
        // What was collected is dropped and the command is read as one.
        DecodeCommand(byte);
        return;
    } else {
        decoding_ = Decoding::SubData;  // IAC IAC: a value byte 255
    }
    // Beyond the capacity only the count grows, to one past it: too long
    // to be any answer we act on.
    if (subLength_ < kSubnegotiationCapacity) {
        sub_[subLength_] = byte;
    }
    subLength_ += subLength_ <= kSubnegotiationCapacity ? 1 : 0;
}

void RemoteLine::DeliverData(unsigned char byte) {
    if (state_ != State::Ready) {
        return;
    }
    data_[dataLength_++] = static_cast<char>(byte);
    if (dataLength_ == kDataChunk) {
        FlushData();
    }
}

void RemoteLine::FlushData() {
    if (dataLength_ > 0) {
        accumulator_.Append(data_, dataLength_);
        dataLength_ = 0;
    }
}

void RemoteLine::Negotiate(unsigned char verb, unsigned char option) {
    const int index = OptionIndex(option);
    if (index < 0) {
        Refuse(verb, option);
    } else {
        NegotiateAccepted(verb, index, option);
    }
}

// Every option but ours: DO is answered WONT and WILL DONT, once per option
// and side, as the option's state here never changes from "off". WONT and
// DONT agree with that state and need no answer.
void RemoteLine::Refuse(unsigned char verb, unsigned char option) {
    if (verb != kDo && verb != kWill) {
        return;
    }
    std::uint8_t& bits = refused_[verb == kDo ? kUs : kHim][option / 8];
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << (option % 8));
    if ((bits & bit) != 0) {
        return;
    }
    const unsigned char refusal[] = {kIac, verb == kDo ? kWont : kDont, option};
    if (Append(refusal, sizeof refusal)) {
        bits |= bit;
    }
}

// RFC 1143's rules for an option we want on: a request is answered only
// when it changes the state, so two sides that agree never loop.
void RemoteLine::NegotiateAccepted(unsigned char verb, int index, unsigned char option) {
    const int sideIndex = verb == kDo || verb == kDont ? kUs : kHim;
    const bool on = verb == kDo || verb == kWill;
    Side& side = sides_[sideIndex][index];
    if (on) {
        if (side == Side::No) {
            side = Side::Yes;
            AnswerSide(sideIndex, index, sideIndex == kUs ? kWill : kDo, option);
        } else if (side != Side::Yes) {
            side = Side::Yes;  // the answer to our request
        }
    } else {
        if (side == Side::Yes) {
            side = Side::No;
            AnswerSide(sideIndex, index, sideIndex == kUs ? kWont : kDont, option);
        } else {
            side = Side::No;  // refused, or the answer to our own "off"
        }
    }
    OnOptionChanged(sideIndex, index);
}

void RemoteLine::AnswerSide(int side, int index, unsigned char verb, unsigned char option) {
    if (answers_[side][index] < kMaxAnswersPerSide) {
        ++answers_[side][index];
        SendNegotiation(verb, option);
    }
}

void RemoteLine::SendNegotiation(unsigned char verb, unsigned char option) {
    const unsigned char message[] = {kIac, verb, option};
    Append(message, sizeof message);
}

void RemoteLine::OnOptionChanged(int side, int index) {
    if (index != kComPortIndex || state_ != State::Opening) {
        return;
    }
    const Side now = sides_[side][index];
    if (side == kUs && now == Side::Yes && step_ == Step::AwaitingOption) {
        StartQueries();
    } else if (now == Side::No && (side == kUs || step_ == Step::AwaitingOption) &&
               step_ != Step::Idle) {
        // DONT: our side refused, or taken back. WONT before the option is
        // ours: the server says it does not do the option at all.
        Fail(NegotiationFailure::Cause::Refused, 0, 0);
    }
}

// SB 44 code value IAC SE, the IACs gone and IAC IAC read as 255.
void RemoteLine::HandleSubnegotiation() {
    if (subOption_ != kComPort || subLength_ < 2) {
        return;
    }
    const unsigned code = sub_[0];
    if (code < kServerOffset + kSetBaud || code > kServerOffset + kSetControl) {
        return;  // line and modem state notices, flow suspends, signatures
    }
    const int field = static_cast<int>(code - kServerOffset - kSetBaud);
    const std::size_t width = field == 0 ? 4 : 1;
    if (subLength_ != 1 + width) {
        return;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 1; i <= width; ++i) {
        value = (value << 8) | sub_[i];
    }
    HandleAnswer(field, value);
}

void RemoteLine::HandleAnswer(int field, std::uint32_t value) {
    if (field == kControlField && ReportsControl(value)) {
        NoteControl(value);
        return;
    }
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << field);
    if ((awaited_ & bit) == 0 || (field == kControlField && !AnswersFlow(value))) {
        return;
    }
    if (step_ == Step::Restoring && value != restoring_[field]) {
        return;  // a late answer to a set: the restore's is still to come
    }
    awaited_ = static_cast<std::uint8_t>(awaited_ & ~bit);
    if (step_ == Step::Querying && value != 0) {
        reported_ |= bit;
        switch (field) {
        case 0: found_.baud = value; break;
        case 1: found_.dataBits = static_cast<std::uint8_t>(value); break;
        case 2: found_.parity = static_cast<std::uint8_t>(value); break;
        case 3: found_.stopBits = static_cast<std::uint8_t>(value); break;
        default: found_.flow = static_cast<std::uint8_t>(value); break;
        }
    }
    if (step_ == Step::Setting && value != kWanted[field]) {
        Fail(NegotiationFailure::Cause::Answered, field, value);
        return;
    }
    if (awaited_ != 0) {
        return;
    }
    if (step_ == Step::Querying) {
        StartSets();
    } else if (step_ == Step::Setting) {
        BecomeReady();
    } else if (step_ == Step::Restoring) {
        step_ = Step::Idle;
        state_ = State::Closed;
    }
}

// The five settings, awaited; DTR and RTS too, to put back at the close,
// but never awaited: a server on a line without them (a pty) says nothing.
void RemoteLine::StartQueries() {
    step_ = Step::Querying;
    awaited_ = (1u << kFieldCount) - 1;
    for (int field = 0; field < kFieldCount; ++field) {
        Queue(static_cast<std::uint8_t>(kSetBaud + field), kAsk);
    }
    Queue(kSetControl, kAskDtr);
    Queue(kSetControl, kAskRts);
}

// The server's DTR and RTS as it found them; once ours went out, what it
// reports is the answer to ours.
void RemoteLine::NoteControl(std::uint32_t value) {
    if (!controlsSent_) {
        (value < kAskRts ? found_.dtr : found_.rts) = static_cast<std::uint8_t>(value);
    }
}

void RemoteLine::StartSets() {
    step_ = Step::Setting;
    awaited_ = (1u << kFieldCount) - 1;
    setsSent_ = true;
    for (int field = 0; field < kFieldCount; ++field) {
        Queue(static_cast<std::uint8_t>(kSetBaud + field), kWanted[field]);
    }
}

// DTR and RTS on, for devices that want them; a server on a line without
// them (a pty) does not answer, so nothing waits for it.
void RemoteLine::BecomeReady() {
    controlsSent_ = true;
    Queue(kSetControl, kDtrOn);
    Queue(kSetControl, kRtsOn);
    step_ = Step::Idle;
    state_ = State::Ready;
}

void RemoteLine::Fail(NegotiationFailure::Cause cause, int field, std::uint32_t value) {
    failure_ = NegotiationFailure{cause, field, value};
    step_ = Step::Idle;
    awaited_ = 0;
    state_ = State::Failed;
}

void RemoteLine::OnTick() {
    FlushCommands();
    if (state_ == State::Opening && begun_) {
        if (++ticks_ >= Timing::kOpeningTicks) {
            Fail(NegotiationFailure::Cause::NoAnswer, 0, 0);
        }
    } else if (state_ == State::Closing) {
        if (++ticks_ >= kClosingTicks) {
            restoreUnconfirmed_ = true;
            step_ = Step::Idle;
            state_ = State::Closed;
        }
    }
}

void RemoteLine::BeginClose() {
    if (state_ == State::Closing || state_ == State::Closed) {
        return;
    }
    FlushData();
    step_ = Step::Idle;
    awaited_ = 0;
    if (mode_ == Mode::Raw || !setsSent_) {
        state_ = State::Closed;
        return;
    }
    // What the server reported, as it reported it; what it never said is
    // left as the sets made it. DTR and RTS are not awaited, as at the
    // opening.
    const std::uint32_t found[] = {found_.baud, found_.dataBits, found_.parity, found_.stopBits,
                                   found_.flow};
    for (int field = 0; field < kFieldCount; ++field) {
        if ((reported_ & (1u << field)) != 0) {
            restoring_[field] = found[field];
            Queue(static_cast<std::uint8_t>(kSetBaud + field), found[field]);
        }
    }
    const std::uint8_t controls[] = {found_.dtr, found_.rts};
    for (const std::uint8_t control : controls) {
        if (controlsSent_ && control != 0) {
            Queue(kSetControl, control);
        }
    }
    awaited_ = reported_;
    if (awaited_ == 0) {
        state_ = State::Closed;
        return;
    }
    step_ = Step::Restoring;
    state_ = State::Closing;
    ticks_ = 0;
}

void RemoteLine::Sent(std::size_t count) {
    if (count > outgoingLength_) {
        count = outgoingLength_;
    }
    std::memmove(outgoing_, outgoing_ + count, outgoingLength_ - count);
    outgoingLength_ -= count;
    FlushCommands();
}

void RemoteLine::Write(const char* bytes, std::size_t length) {
    if (state_ != State::Ready) {
        return;
    }
    std::size_t escaped = length;
    if (mode_ == Mode::Rfc2217) {
        for (std::size_t i = 0; i < length; ++i) {
            escaped += static_cast<unsigned char>(bytes[i]) == kIac ? 1 : 0;
        }
    }
    if (escaped > kOutgoingCapacity - outgoingLength_) {
        return;  // a line that takes nothing: the dialogue's watchdog notices
    }
    for (std::size_t i = 0; i < length; ++i) {
        outgoing_[outgoingLength_++] = bytes[i];
        if (mode_ == Mode::Rfc2217 && static_cast<unsigned char>(bytes[i]) == kIac) {
            outgoing_[outgoingLength_++] = bytes[i];
        }
    }
}

void RemoteLine::Queue(std::uint8_t code, std::uint32_t value) {
    if (commandCount_ < kCommandCapacity) {
        commands_[commandCount_++] = Command{code, value};
    }
    FlushCommands();
}

// Commands wait, in order, until the outgoing bytes have room for them whole.
void RemoteLine::FlushCommands() {
    std::size_t sent = 0;
    while (sent < commandCount_ && AppendCommand(commands_[sent])) {
        ++sent;
    }
    if (sent > 0) {
        std::memmove(commands_, commands_ + sent, (commandCount_ - sent) * sizeof commands_[0]);
        commandCount_ -= sent;
    }
}

bool RemoteLine::AppendCommand(const Command& command) {
    unsigned char message[16];
    std::size_t length = 0;
    message[length++] = kIac;
    message[length++] = kSb;
    message[length++] = kComPort;
    message[length++] = command.code;
    const int width = command.code == kSetBaud ? 4 : 1;
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
        const unsigned char byte = static_cast<unsigned char>(command.value >> shift);
        message[length++] = byte;
        if (byte == kIac) {
            message[length++] = kIac;
        }
    }
    message[length++] = kIac;
    message[length++] = kSe;
    return Append(message, length);
}

bool RemoteLine::Append(const unsigned char* bytes, std::size_t length) {
    if (length > kOutgoingCapacity - outgoingLength_) {
        return false;
    }
    std::memcpy(outgoing_ + outgoingLength_, bytes, length);
    outgoingLength_ += length;
    return true;
}
