#include "wizard_window.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include "tty_discovery.h"

namespace {

Q_LOGGING_CATEGORY(dialogueLog, "baudset.dialogue", QtInfoMsg)

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

QStringList SerialPortNames() {
    QStringList names;
    for (const std::string& name : DiscoverSerialPorts()) {
        names << QString::fromStdString(name);
    }
    return names;
}

void DialogueLog::Send(const char* bytes, std::size_t length) {
    qCDebug(dialogueLog).noquote() << QString::fromLatin1(bytes, static_cast<int>(length)).trimmed();
}

WizardWindow::WizardWindow(const QStringList& ports, QWidget* parent)
    : QWidget(parent, PanelLayout::kWindowFlags),
      link_(accumulator_),
      engine_(accumulator_, link_, *this, trace_) {
    trace_.Connect(&log_);
    engine_.Reset();
    setWindowTitle(Text(PanelLayout::kTitle));
    pollTimer_ = new QTimer(this);
    pollTimer_->setTimerType(Qt::PreciseTimer);
    pollTimer_->setInterval(kPollIntervalMs);
    connect(pollTimer_, &QTimer::timeout, this, &WizardWindow::OnTick);
    BuildPanel(ports);
}

void WizardWindow::BuildPanel(const QStringList& ports) {
    controls_ = PanelLayout::Build(this, ports);
    connect(controls_.openButton, &QPushButton::clicked, this, &WizardWindow::OnOpenButton);
    connect(controls_.setButton, &QPushButton::clicked, this, &WizardWindow::OnSetButton);
    connect(controls_.portList, &PortComboBox::aboutToDropDown, this, &WizardWindow::RereadPorts);
}

// USB adapters come and go and change names; the list follows them while
// no port is open. The open port's name stays where the technician chose
// it, as the name the panel will close.
void WizardWindow::RereadPorts() {
    if (!link_.IsOpen()) {
        PanelLayout::ShowPorts(controls_.portList, SerialPortNames());
    }
}

void WizardWindow::OnOpenButton() {
    if (link_.IsOpen()) {
        ClosePort();
    } else {
        OpenSelectedPort();
    }
}

void WizardWindow::OpenSelectedPort() {
    const QString name = controls_.portList->currentText();
    if (name.isEmpty()) {
        return;  // no port on this machine: nothing to open
    }
    OpenFailure failure;
    const std::string path = TtyDevicePath(name.toLocal8Bit().constData());
    if (!link_.Open(QString::fromStdString(path), &failure)) {
        ShowOpenFailure(QString::fromUtf8(failure.chinese));
        return;
    }
    engine_.OnPortOpened();
    pollTimer_->start();
    controls_.openButton->setText(Text(PanelLayout::kCloseText));
}

void WizardWindow::ClosePort() {
    link_.Close();
    ShowLinkDown();
    pollTimer_->stop();
    controls_.openButton->setText(Text(PanelLayout::kOpenText));
}

void WizardWindow::ShowLinkDown() {
    controls_.setButton->setEnabled(false);
    SetStatusText(PanelTexts::kNotConnected);
    SetResultText(PanelTexts::kBlank);
    SetVersionText(PanelTexts::kBlank);
    engine_.Reset();
}

// An adapter gone says so at once, not after the watchdog's five polls:
// nothing can answer, and a set pressed before it went dies with it. Back
// under its name, it starts a session as a click would; one that cannot be
// opened again is said as any opening's failure.
void WizardWindow::OnTick() {
    OpenFailure failure;
    switch (link_.FollowAdapter(&failure)) {
    case SerialLink::Adapter::Gone:
        ShowLinkDown();
        return;
    case SerialLink::Adapter::Away:
        return;
    case SerialLink::Adapter::Back:
        engine_.OnPortOpened();
        break;
    case SerialLink::Adapter::NotReopened:
        ClosePort();
        ShowOpenFailure(QString::fromUtf8(failure.chinese));
        return;
    case SerialLink::Adapter::There:
        break;
    }
    engine_.OnTick();
}

void WizardWindow::OnSetButton() {
    engine_.RequestSetBaud(controls_.rateList->currentText().toUtf8().constData());
}

void WizardWindow::ShowOpenFailure(const QString& message) {
    // Window-modal and not waited for: the event loop, and with it any
    // other port's dialogue, goes on while the technician reads it.
    if (openFailure_ == nullptr) {
        openFailure_ = new QMessageBox(QMessageBox::Warning, Text(PanelLayout::kTitle), QString(),
                                       QMessageBox::Ok, this);
        openFailure_->setTextFormat(Qt::PlainText);
        openFailure_->setWindowModality(Qt::WindowModal);
        openFailure_->button(QMessageBox::Ok)->setText(Text("确定"));
    }
    openFailure_->setText(message);
    openFailure_->open();
}

void WizardWindow::SetStatusText(const char* text) { controls_.statusText->setText(Text(text)); }

void WizardWindow::SetVersionText(const char* text) {
    // The field holds one line: everything the device sent between two
    // polls is judged as one reply, so an "OK" may follow the banner.
    const QString line = Text(text);
    const int end = line.indexOf(QRegularExpression(QStringLiteral("[\\r\\n]")));
    controls_.versionText->setText(end < 0 ? line : line.left(end));
    controls_.versionText->setToolTip(line.trimmed());
}

void WizardWindow::SetResultText(const char* text) { controls_.resultText->setText(Text(text)); }

void WizardWindow::EnableSetButton(bool enabled) { controls_.setButton->setEnabled(enabled); }

void WizardWindow::SelectRate(int index) { controls_.rateList->setCurrentIndex(index); }
