#include "wizard_window.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include "panel_layout.h"

namespace {

Q_LOGGING_CATEGORY(dialogueLog, "baudset.dialogue", QtInfoMsg)

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

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
    connect(pollTimer_, &QTimer::timeout, this, [this] { engine_.OnTick(); });
    BuildPanel(ports);
}

void WizardWindow::BuildPanel(const QStringList& ports) {
    const PanelLayout::Controls controls = PanelLayout::Build(this, ports);
    portList_ = controls.portList;
    openButton_ = controls.openButton;
    versionText_ = controls.versionText;
    rateList_ = controls.rateList;
    setButton_ = controls.setButton;
    resultText_ = controls.resultText;
    statusText_ = controls.statusText;
    connect(openButton_, &QPushButton::clicked, this, &WizardWindow::OnOpenButton);
    connect(setButton_, &QPushButton::clicked, this, &WizardWindow::OnSetButton);
}

void WizardWindow::OnOpenButton() {
    if (link_.IsOpen()) {
        ClosePort();
    } else {
        OpenSelectedPort();
    }
}

void WizardWindow::OpenSelectedPort() {
    const QString name = portList_->currentText();
    if (name.isEmpty()) {
        return;  // no port on this machine: nothing to open
    }
    OpenFailure failure;
    if (!link_.Open(QStringLiteral("/dev/") + name, &failure)) {
        ShowOpenFailure(failure.message);
        return;
    }
    engine_.OnPortOpened();
    pollTimer_->start();
    openButton_->setText(Text(PanelLayout::kCloseText));
}

void WizardWindow::ClosePort() {
    setButton_->setEnabled(false);
    link_.Close();
    SetStatusText(PanelTexts::kNotConnected);
    SetResultText(PanelTexts::kBlank);
    SetVersionText(PanelTexts::kBlank);
    pollTimer_->stop();
    engine_.Reset();
    openButton_->setText(Text(PanelLayout::kOpenText));
}

void WizardWindow::OnSetButton() {
    engine_.RequestSetBaud(rateList_->currentText().toUtf8().constData());
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

void WizardWindow::SetStatusText(const char* text) { statusText_->setText(Text(text)); }

void WizardWindow::SetVersionText(const char* text) {
    // The field holds one line: everything the device sent between two
    // polls is judged as one reply, so an "OK" may follow the banner.
    const QString line = Text(text);
    const int end = line.indexOf(QRegularExpression(QStringLiteral("[\\r\\n]")));
    versionText_->setText(end < 0 ? line : line.left(end));
    versionText_->setToolTip(line.trimmed());
}

void WizardWindow::SetResultText(const char* text) { resultText_->setText(Text(text)); }

void WizardWindow::EnableSetButton(bool enabled) { setButton_->setEnabled(enabled); }

void WizardWindow::SelectRate(int index) { rateList_->setCurrentIndex(index); }
