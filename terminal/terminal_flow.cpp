#include "terminal_flow.h"

#include <cstdio>
#include <cstring>

TerminalFlow::TerminalFlow(const TerminalRequest& request, RxAccumulator& accumulator,
                           PortWriter& writer, TerminalOutput& output, TraceChannel& trace)
    : request_(request), output_(output), writer_(writer, finished_),
      engine_(accumulator, writer_, *this, trace) {}

void TerminalFlow::Start(const char* portPath) {
    portPath_ = portPath;
    engine_.Reset();
    engine_.OnPortOpened();
    const unsigned whole = request_.waitTicks / TerminalRequest::kTicksPerSecond;
    const unsigned hundredths = request_.waitTicks % TerminalRequest::kTicksPerSecond;
    // As typed: 60, 1.5, 0.25.
    if (hundredths == 0) {
        std::snprintf(waitText_, sizeof waitText_, "%u", whole);
    } else if (hundredths % 10 == 0) {
        std::snprintf(waitText_, sizeof waitText_, "%u.%u", whole, hundredths / 10);
    } else {
        std::snprintf(waitText_, sizeof waitText_, "%u.%02u", whole, hundredths);
    }
    if (request_.network && request_.address.mode == RemoteLine::Mode::Raw) {
        // Raw TCP carries no settings: the server's line is whatever its
        // configuration says, and a wrong one only shows as silence.
        std::snprintf(line_, sizeof line_,
                      "注意：baudset 无法设置或查看 %s 服务器的线路，它必须已是 9600 8N1 / "
                      "note: baudset can neither set nor see the line of the server at %s: it "
                      "must be at 9600 8N1",
                      request_.address.where, request_.address.where);
        output_.Message(line_);
    }
    std::snprintf(line_, sizeof line_,
                  "%s 已以 9600 8N1 打开。请给设备断电再上电，最多等待 %s 秒。/ "
                  "%s is open at 9600 8N1: power-cycle the device now (waiting up to %s s).",
                  portPath, waitText_, portPath, waitText_);
    output_.Message(line_);
}

void TerminalFlow::OnTick() {
    if (finished_) {
        return;
    }
    ++ticks_;
    engine_.OnTick();
    if (finished_) {
        return;
    }
    // Asked between two ticks, as a technician's click would be: the set
    // goes out at the next poll, after the reply to the last command.
    if (setWanted_ && !setRequested_) {
        setRequested_ = true;
        engine_.RequestSetBaud(RateText());
    }
    // Once the device has spoken, the engine's watchdog bounds every wait.
    if (!versionShown_ && ticks_ >= request_.waitTicks) {
        char said[256];
        std::snprintf(said, sizeof said,
                      "%s 秒内设备没有发来有效的一行：请检查接线和电源后重试 / nothing valid "
                      "came from the device within %s s: check the wiring and the power, then "
                      "try again",
                      waitText_, waitText_);
        Finish(TerminalStatus::kNoDevice, said);
    }
}

void TerminalFlow::OnPortDetached() {
    if (finished_) {
        return;
    }
    char said[1024];
    if (request_.network) {
        std::snprintf(said, sizeof said, "与 %s 的连接已断开 / the connection to %s was lost",
                      request_.address.where, request_.address.where);
    } else {
        std::snprintf(said, sizeof said,
                      "%s 已断开：串口适配器可能已被拔出 / %s went away: the adapter may have been "
                      "unplugged",
                      portPath_, portPath_);
    }
    Finish(TerminalStatus::kNoDevice, said);
}

void TerminalFlow::SetStatusText(const char* text) {
    if (std::strcmp(text, PanelTexts::kNotConnected) == 0 && versionShown_) {
        // Before the first line, "not connected" is only the engine waiting
        // through the power cycle; after it, the device has gone silent.
        Finish(TerminalStatus::kNoDevice,
               "与设备的连接已中断：1.5 秒内没有有效回应 / the link to the device was lost: "
               "nothing valid for 1.5 s");
    }
}

// The first line of what the engine shows, as the window's one-line field
// shows it. Bytes a terminal would act on are written as \xNN, so a device
// can neither garble the technician's screen nor split a script's line.
void TerminalFlow::SetVersionText(const char* text) {
    // The engine shows a line only on connecting, and the blank when the
    // link is lost.
    if (versionShown_ || finished_ || std::strcmp(text, PanelTexts::kBlank) == 0) {
        return;
    }
    versionShown_ = true;
    std::size_t at = static_cast<std::size_t>(std::snprintf(line_, sizeof line_, "version "));
    for (const char* byte = text; *byte != '\0' && *byte != '\r' && *byte != '\n'; ++byte) {
        const unsigned char c = static_cast<unsigned char>(*byte);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            line_[at++] = static_cast<char>(c);
        } else {
            at += static_cast<std::size_t>(std::snprintf(line_ + at, sizeof line_ - at, "\\x%02X", c));
        }
    }
    line_[at] = '\0';
    output_.Result(line_);
}

void TerminalFlow::SelectRate(int index) { selectedRate_ = index; }

// The rate query was judged: the window would now let the technician set.
void TerminalFlow::EnableSetButton(bool enabled) {
    if (!enabled || finished_ || setWanted_) {
        return;
    }
    std::snprintf(line_, sizeof line_, "rate %s",
                  selectedRate_ >= 0 ? kRateTable[selectedRate_] : "unknown");
    output_.Result(line_);
    if (request_.rateIndex < 0) {
        Finish(TerminalStatus::kDone, nullptr);
    } else {
        setWanted_ = true;
    }
}

void TerminalFlow::SetResultText(const char* text) {
    if (!setRequested_ || finished_) {
        return;
    }
    const bool succeeded = std::strcmp(text, PanelTexts::kSetSucceeded) == 0;
    if (!succeeded && std::strcmp(text, PanelTexts::kSetFailed) != 0) {
        return;  // the blank of a fresh connection
    }
    std::snprintf(line_, sizeof line_, "set %s %s", RateText(), succeeded ? "ok" : "failed");
    output_.Result(line_);
    if (succeeded) {
        Finish(TerminalStatus::kDone, nullptr);
        return;
    }
    char said[256];
    std::snprintf(said, sizeof said,
                  "设备没有以 OK 回应 AT+BAUD=%s / the device did not answer AT+BAUD=%s "
                  "with OK",
                  RateText(), RateText());
    Finish(TerminalStatus::kSetRefused, said);
}

void TerminalFlow::Finish(int status, const char* message) {
    if (finished_) {
        return;
    }
    finished_ = true;
    status_ = status;
    if (message != nullptr) {
        output_.Message(message);
    }
}
