#include "terminal_flow.h"

#include <cstdio>
#include <cstring>

#include "terminal_words.h"
#include "timing.h"

TerminalFlow::TerminalFlow(const TerminalRequest& request, const PortRequest& port,
                           RxAccumulator& accumulator, PortWriter& writer, TerminalOutput& output,
                           TraceChannel& trace)
    : request_(request), port_(port), output_(output), writer_(writer, finished_),
      engine_(accumulator, writer_, *this, trace) {}

void TerminalFlow::Start(const char* portPath, bool prompt) {
    portPath_ = portPath;
    engine_.Reset();
    engine_.OnPortOpened();
    const unsigned whole = request_.waitTicks / Timing::kTicksPerSecond;
    const unsigned hundredths = request_.waitTicks % Timing::kTicksPerSecond;
    // As typed: 60, 1.5, 0.25.
    if (hundredths == 0) {
        std::snprintf(waitText_, sizeof waitText_, "%u", whole);
    } else if (hundredths % 10 == 0) {
        std::snprintf(waitText_, sizeof waitText_, "%u.%u", whole, hundredths / 10);
    } else {
        std::snprintf(waitText_, sizeof waitText_, "%u.%02u", whole, hundredths);
    }
    if (port_.network && port_.address.mode == RemoteLine::Mode::Raw) {
        // Raw TCP carries no settings: the server's line is whatever its
        // configuration says, and a wrong one only shows as silence.
        output_.Message(SayTerminal(TerminalWords::kRawTcpNote, line_, sizeof line_,
                                    port_.address.where));
    }
    if (prompt) {
        output_.Message(
            SayTerminal(TerminalWords::kPrompt, line_, sizeof line_, portPath, waitText_));
    }
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
        if (away_) {
            Finish(TerminalStatus::kNoDevice, TerminalWords::kNotBack, portPath_, waitText_);
        } else {
            Finish(TerminalStatus::kNoDevice, TerminalWords::kNothingValid, waitText_);
        }
    }
}

void TerminalFlow::OnPortAway() {
    away_ = true;
    if (!awaySaid_) {
        awaySaid_ = true;
        output_.Message(SayTerminal(TerminalWords::kAwaited, line_, sizeof line_, portPath_));
    }
}

// What the port received before it went is gone with it; the engine starts
// as on any opening, and its first valid line is the version.
void TerminalFlow::OnPortBack() {
    away_ = false;
    engine_.Reset();
    engine_.OnPortOpened();
}

void TerminalFlow::OnPortDetached() {
    if (finished_) {
        return;
    }
    if (port_.network) {
        Finish(TerminalStatus::kNoDevice, TerminalWords::kConnectionLost, port_.address.where);
    } else {
        Finish(TerminalStatus::kNoDevice, TerminalWords::kAdapterGone, portPath_);
    }
}

void TerminalFlow::SetStatusText(const char* text) {
    if (std::strcmp(text, PanelTexts::kNotConnected) == 0 && versionShown_) {
        // Before the first line, "not connected" is only the engine waiting
        // through the power cycle; after it, the device has gone silent.
        Finish(TerminalStatus::kNoDevice, TerminalWords::kLinkLost);
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
    std::size_t kept = 0;
    for (; text[kept] != '\0' && text[kept] != '\r' && text[kept] != '\n' && kept < RxLine::kCapacity;
         ++kept) {
        version_[kept] = text[kept];
    }
    version_[kept] = '\0';
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
    rateRead_ = selectedRate_ >= 0 ? selectedRate_ : kRateUnknown;
    std::snprintf(line_, sizeof line_, "rate %s",
                  selectedRate_ >= 0 ? kRateTable[selectedRate_] : "unknown");
    output_.Result(line_);
    if (request_.rateIndex < 0) {
        Finish(TerminalStatus::kDone);
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
    setOutcome_ = succeeded ? 1 : 0;
    std::snprintf(line_, sizeof line_, "set %s %s", RateText(), succeeded ? "ok" : "failed");
    output_.Result(line_);
    if (succeeded) {
        Finish(TerminalStatus::kDone);
        return;
    }
    Finish(TerminalStatus::kSetRefused, TerminalWords::kSetRefused, RateText());
}

void TerminalFlow::WarnRestoreUnconfirmed() {
    output_.Message(SayTerminal(TerminalWords::kRestoreUnconfirmed, line_, sizeof line_,
                                port_.address.where));
}

bool TerminalFlow::Finish(int status) {
    if (finished_) {
        return false;
    }
    finished_ = true;
    status_ = status;
    return true;
}
