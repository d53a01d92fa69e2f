#pragma once

#include <QWidget>

#include "panel_layout.h"
#include "protocol_engine.h"
#include "rx_accumulator.h"
#include "serial_link.h"
#include "trace_channel.h"

class QMessageBox;
class QTimer;

// The machine's serial ports for the port list, in their order.
QStringList SerialPortNames();

// Hands the dialogue's trace lines to Qt's logging, under the category
// "baudset.dialogue", which is off unless a technician turns it on with
// QT_LOGGING_RULES="baudset.dialogue.debug=true".
class DialogueLog : public TraceSink {
public:
    void Send(const char* bytes, std::size_t length) override;
};

// The main window: the three-step panel. It owns the long-lived objects of
// the dialogue, turns button presses into calls on them, drives the engine
// from its 10 ms timer and shows what the engine reports.
class WizardWindow : public QWidget, public PanelView {
    Q_OBJECT

public:
    // 30 ticks make a poll every 300 ms, 150 a lost link after 1.5 s.
    static constexpr int kPollIntervalMs = 10;

    explicit WizardWindow(const QStringList& ports, QWidget* parent = nullptr);

    void SetStatusText(const char* text) override;
    void SetVersionText(const char* text) override;
    void SetResultText(const char* text) override;
    void EnableSetButton(bool enabled) override;
    void SelectRate(int index) override;

private:
    void BuildPanel(const QStringList& ports);
    void RereadPorts();
    void OnOpenButton();
    void OpenSelectedPort();
    void ClosePort();
    void ShowLinkDown();
    void OnSetButton();
    void OnTick();
    void ShowOpenFailure(const QString& message);

    RxAccumulator accumulator_;
    TraceChannel trace_;
    DialogueLog log_;
    SerialLink link_;
    ProtocolEngine engine_;

    QTimer* pollTimer_ = nullptr;
    PanelLayout::Controls controls_{};
    QMessageBox* openFailure_ = nullptr;
};
