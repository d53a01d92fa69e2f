#include "protocol_engine.h"

#include <cstring>

const char* const kRateTable[kRateCount] = {"9600",  "14400", "19200", "38400",
                                            "56000", "57600", "115200"};

namespace {

constexpr char kKeepAlive[] = "AT\r\n";
constexpr char kQueryBaud[] = "AT+BAUD?\r\n";
constexpr char kSetBaudPrefix[] = "AT+BAUD=";

}  // namespace

void ProtocolEngine::Reset() {
    state_ = ProtocolState::AwaitingDevice;
    watchdogTicks_ = 0;
    setPending_ = false;
}

void ProtocolEngine::OnPortOpened() {
    // The watchdog was cleared by the last Reset(), so both counters start
    // together and the link can only be declared lost on a poll tick.
    pollTicks_ = 0;
}

void ProtocolEngine::OnTick() {
    ++watchdogTicks_;
    ++pollTicks_;

    // The link-lost texts go out before the poll of the same tick, so a line
    // that arrived just in time is handled afresh as a new version line.
    if (watchdogTicks_ >= kWatchdogLimit) {
        DeclareLinkLost();
    }

    if (pollTicks_ >= kPollDivider) {
        pollTicks_ = 0;
        HandleReceivedLine();
        // A set request is taken only after the reply to the previous command
        // was judged in the old state.
        if (setPending_) {
            setPending_ = false;
            state_ = ProtocolState::SettingBaud;
        }
        WriteStateCommand();
    }
}

void ProtocolEngine::RequestSetBaud(const char* rateText) {
    if (rateText == nullptr) {
        rateText = "";
    }
    std::size_t rateLength = 0;
    while (rateLength < kMaxRateText && rateText[rateLength] != '\0') {
        ++rateLength;
    }
    constexpr std::size_t prefixLength = sizeof kSetBaudPrefix - 1;
    std::memcpy(setCommand_, kSetBaudPrefix, prefixLength);
    std::memcpy(setCommand_ + prefixLength, rateText, rateLength);
    std::size_t end = prefixLength + rateLength;
    setCommand_[end++] = '\r';
    setCommand_[end++] = '\n';
    // Terminated right after the LF: nothing of an earlier, longer command
    // may go out behind this one.
    setCommand_[end] = '\0';
    setCommandLength_ = end;
    setPending_ = true;
    trace_.Trace("\r\n%s", setCommand_);
}

void ProtocolEngine::DeclareLinkLost() {
    watchdogTicks_ = 0;
    state_ = ProtocolState::AwaitingDevice;
    // A request made while the link was failing is void, as on close: taken
    // at this same poll it would send the set command to a device the panel
    // has just shown as gone, and judge its next line (a power-up banner,
    // say) as the set's answer, leaving "未连接" with set disabled for good.
    // The operator presses set again once the device is back.
    setPending_ = false;
    view_.SetStatusText(PanelTexts::kNotConnected);
    view_.SetResultText(PanelTexts::kBlank);
    view_.SetVersionText(PanelTexts::kBlank);
    view_.EnableSetButton(false);
}

void ProtocolEngine::HandleReceivedLine() {
    if (!accumulator_.TakeLine(line_)) {
        return;  // nothing valid: the watchdog keeps counting
    }
    watchdogTicks_ = 0;
    trace_.Trace("\r\ncomRcv %s, state %d", line_.text, static_cast<int>(state_));

    switch (state_) {
    case ProtocolState::AwaitingDevice:
        // Whatever comes first after the power cycle, banner or answer to
        // "AT", is what the operator gets to see as the version.
        view_.SetStatusText(PanelTexts::kConnected);
        view_.SetResultText(PanelTexts::kBlank);
        view_.SetVersionText(line_.text);
        state_ = ProtocolState::QueryingBaud;
        break;
    case ProtocolState::QueryingBaud:
        HandleRateReply();
        state_ = ProtocolState::Ready;
        view_.EnableSetButton(true);
        break;
    case ProtocolState::SettingBaud:
        view_.SetResultText(line_.text[0] == 'O' && line_.text[1] == 'K'
                                ? PanelTexts::kSetSucceeded
                                : PanelTexts::kSetFailed);
        state_ = ProtocolState::Ready;
        break;
    case ProtocolState::Ready:
        break;  // it only proved the link alive
    }
}

void ProtocolEngine::HandleRateReply() {
    // The whole reply without its CR LF must equal a table entry byte for
    // byte; compared by length, so a NUL or a trailing blank never matches.
    std::size_t digits = line_.length - 2;
    for (std::size_t index = 0; index < kRateCount; ++index) {
        const char* rate = kRateTable[index];
        if (std::strlen(rate) == digits && std::memcmp(rate, line_.text, digits) == 0) {
            view_.SelectRate(static_cast<int>(index));
            return;
        }
    }
}

void ProtocolEngine::WriteStateCommand() {
    switch (state_) {
    case ProtocolState::AwaitingDevice:
    case ProtocolState::Ready:
        writer_.Write(kKeepAlive, sizeof kKeepAlive - 1);
        break;
    case ProtocolState::QueryingBaud:
        writer_.Write(kQueryBaud, sizeof kQueryBaud - 1);
        break;
    case ProtocolState::SettingBaud:
        writer_.Write(setCommand_, setCommandLength_);
        break;
    }
}
