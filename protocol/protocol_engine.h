#pragma once

#include <cstddef>
#include <cstdint>

#include "rx_accumulator.h"
#include "trace_channel.h"

// Where the dialogue with the device stands. The numbers show up in trace
// lines, so they are fixed.
enum class ProtocolState : int {
    AwaitingDevice = 0,  // no valid line since open or since the link was lost
    Ready = 1,           // version shown, rate queried; idle keep-alive
    QueryingBaud = 2,    // version received; asking the device for its rate
    SettingBaud = 3,     // set command outstanding
};

// The rates the operator can choose, in list order: the index into this
// table is also the index the engine selects in the panel's rate list.
constexpr std::size_t kRateCount = 7;
extern const char* const kRateTable[kRateCount];

// What the engine shows. Texts are UTF-8; reply lines are ASCII and pass
// through as they came.
class PanelView {
public:
    virtual void SetStatusText(const char* text) = 0;
    virtual void SetVersionText(const char* text) = 0;
    virtual void SetResultText(const char* text) = 0;
    virtual void EnableSetButton(bool enabled) = 0;
    virtual void SelectRate(int index) = 0;

protected:
    ~PanelView() = default;
};

// Where the engine's command bytes go. Writing with no port open is the
// writer's business (it does nothing), not the engine's.
class PortWriter {
public:
    virtual void Write(const char* bytes, std::size_t length) = 0;

protected:
    ~PortWriter() = default;
};

// The texts the engine shows, shared with the panel (which sets the same
// texts when the operator closes the port).
namespace PanelTexts {
constexpr const char* kConnected = "已连接";
constexpr const char* kNotConnected = "未连接";
constexpr const char* kBlank = " ";
constexpr const char* kSetSucceeded = "波特率设置成功";
constexpr const char* kSetFailed = "波特率设置失败";
}  // namespace PanelTexts

// Drives the AT dialogue from timer ticks: one command per poll, the reply
// collected since the previous poll judged by the current state, and a
// watchdog that declares the link lost when nothing valid arrives.
class ProtocolEngine {
public:
    static constexpr std::uint32_t kPollDivider = 30;
    static constexpr std::uint32_t kWatchdogLimit = 150;
    // A rate text is one of the table's entries in practice; anything longer
    // than this is cut rather than allowed to overflow the command.
    static constexpr std::size_t kMaxRateText = 99;

    ProtocolEngine(RxAccumulator& accumulator, PortWriter& writer, PanelView& view,
                   TraceChannel& trace)
        : accumulator_(accumulator), writer_(writer), view_(view), trace_(trace) {}

    // Closing the port and losing the link both drop a pending set request.
    void Reset();
    void OnPortOpened();
    void OnTick();
    void RequestSetBaud(const char* rateText);

    ProtocolState State() const { return state_; }

private:
    void DeclareLinkLost();
    void HandleReceivedLine();
    void HandleRateReply();
    void WriteStateCommand();

    RxAccumulator& accumulator_;
    PortWriter& writer_;
    PanelView& view_;
    TraceChannel& trace_;

    ProtocolState state_ = ProtocolState::AwaitingDevice;
    std::uint32_t watchdogTicks_ = 0;
    std::uint32_t pollTicks_ = 0;
    bool setPending_ = false;
    // "AT+BAUD=" + up to 99 rate characters + CR LF + terminator.
    char setCommand_[8 + kMaxRateText + 2 + 1] = {};
    std::size_t setCommandLength_ = 0;
    RxLine line_ = {};
};
