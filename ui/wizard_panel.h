#pragma once

#include <windows.h>

#include "protocol_engine.h"
#include "rx_accumulator.h"
#include "serial_port.h"
#include "trace_channel.h"

// Hands trace lines to the debugger's log: a technician can watch the
// dialogue with a debug viewer while the operator sees nothing of it.
class DebugLogSink : public TraceSink {
public:
    void Send(const char* bytes, std::size_t length) override;

private:
    char line_[TraceChannel::kMaxSent + 1] = {};
};

// The three-step panel: the whole user interface. It owns the long-lived
// objects of the dialogue (accumulator, trace, port, engine), turns button
// presses into calls on them, drives the engine from its 10 ms timer and
// shows what the engine reports.
class WizardPanel : public PanelView {
public:
    static constexpr UINT_PTR kPollTimer = 1;
    // Asked for, not promised: Windows delivers the timer at its own tick,
    // usually 15.6 ms, so a poll (30 ticks) comes every 0.3 to 0.5 s there
    // and the link is lost after 1.5 to 2.5 s. The engine counts ticks.
    static constexpr UINT kPollIntervalMs = 10;
    static constexpr COLORREF kHintColour = RGB(100, 100, 100);

    WizardPanel();
    WizardPanel(const WizardPanel&) = delete;
    WizardPanel& operator=(const WizardPanel&) = delete;

    // Creates the panel as a modeless child of `parent` from the dialog
    // template; the dialog's initialisation does the rest.
    HWND Create(HINSTANCE instance, HWND parent);
    HWND Window() const { return window_; }

    void SetStatusText(const char* text) override;
    void SetVersionText(const char* text) override;
    void SetResultText(const char* text) override;
    void EnableSetButton(bool enabled) override;
    void SelectRate(int index) override;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void Initialise(HWND window);
    void FillPortList();
    void FillRateList();
    void OnOpenButton();
    void OpenSelectedPort();
    void ClosePort();
    void OnSetButton();
    INT_PTR OnStaticColour(HDC dc, HWND control) const;
    void SetControlText(int id, const char* utf8);

    RxAccumulator accumulator_;
    TraceChannel trace_;
    DebugLogSink debugLog_;
    SerialPort port_;
    ProtocolEngine engine_;

    HWND window_ = nullptr;
    HWND portList_ = nullptr;
    HWND rateList_ = nullptr;
    HWND hintText_ = nullptr;
    bool portOpen_ = false;
};
