#include "wizard_window.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLoggingCategory>
#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <initializer_list>

namespace {

Q_LOGGING_CATEGORY(dialogueLog, "baudset.dialogue", QtInfoMsg)

const char kTitle[] = "VelmoraV1.5";
const char kOpenText[] = "打开串口";
const char kCloseText[] = "关闭串口";
const char kHint[] = "请将串口连接的设备重新上电，确认已获取到版本号。";
// The hint is drawn grey, as a note beside the steps rather than a step.
const QColor kHintColour(100, 100, 100);

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

// Device text is shown as it came, never read as markup: a reply such as
// "<b>V2</b>" must not change how the panel looks.
QLabel* PlainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// A label whose text changes keeps the width of its longest text from the
// start, so that the fixed window never has to grow or cut it.
void ReserveWidth(QWidget* widget, std::initializer_list<const char*> texts) {
    const QFontMetrics metrics(widget->font());
    int widest = 0;
    for (const char* text : texts) {
        widest = std::max(widest, metrics.horizontalAdvance(Text(text)));
    }
    widget->setMinimumWidth(widest);
}

}  // namespace

void DialogueLog::Send(const char* bytes, std::size_t length) {
    qCDebug(dialogueLog).noquote() << QString::fromLatin1(bytes, static_cast<int>(length)).trimmed();
}

WizardWindow::WizardWindow(const QStringList& ports, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      link_(accumulator_),
      engine_(accumulator_, link_, *this, trace_) {
    trace_.Connect(&log_);
    engine_.Reset();
    setWindowTitle(Text(kTitle));
    pollTimer_ = new QTimer(this);
    pollTimer_->setTimerType(Qt::PreciseTimer);
    pollTimer_->setInterval(kPollIntervalMs);
    connect(pollTimer_, &QTimer::timeout, this, [this] { engine_.OnTick(); });
    BuildPanel(ports);
}

void WizardWindow::BuildPanel(const QStringList& ports) {
    // Step 1: the port.
    auto* step1 = new QGroupBox(Text("第1步：打开串口"), this);
    auto* portLabel = PlainLabel(Text("串口号:"), step1);
    portList_ = new QComboBox(step1);
    portList_->addItems(ports);
    portList_->setCurrentIndex(ports.isEmpty() ? -1 : 0);
    portList_->setAccessibleName(Text("串口号"));
    portLabel->setBuddy(portList_);
    openButton_ = new QPushButton(Text(kOpenText), step1);
    ReserveWidth(openButton_, {kOpenText, kCloseText});
    auto* row1 = new QHBoxLayout(step1);
    row1->addWidget(portLabel);
    row1->addWidget(portList_, 1);
    row1->addWidget(openButton_);

    // Step 2: the power cycle and the version it brings.
    auto* step2 = new QGroupBox(Text("第2步：复位设备"), this);
    auto* hint = PlainLabel(Text(kHint), step2);
    QPalette grey = hint->palette();
    grey.setColor(QPalette::WindowText, kHintColour);
    hint->setPalette(grey);
    auto* versionLabel = PlainLabel(Text("版本号:"), step2);
    versionText_ = PlainLabel(QString(), step2);
    versionText_->setAccessibleDescription(Text("设备版本号"));
    // A device line may be long: it is clipped at the window's edge instead
    // of widening the window, and shown whole in its tooltip.
    versionText_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    versionLabel->setBuddy(versionText_);
    auto* grid2 = new QGridLayout(step2);
    grid2->addWidget(hint, 0, 0, 1, 2);
    grid2->addWidget(versionLabel, 1, 0);
    grid2->addWidget(versionText_, 1, 1);
    grid2->setColumnStretch(1, 1);

    // Step 3: the rate.
    auto* step3 = new QGroupBox(Text("第3步：修改波特率"), this);
    auto* rateLabel = PlainLabel(Text("波特率:"), step3);
    rateList_ = new QComboBox(step3);
    for (const char* rate : kRateTable) {
        rateList_->addItem(Text(rate));
    }
    rateList_->setCurrentIndex(0);
    rateList_->setAccessibleName(Text("波特率"));
    rateLabel->setBuddy(rateList_);
    setButton_ = new QPushButton(Text("设置"), step3);
    setButton_->setAccessibleName(Text("设置"));
    setButton_->setEnabled(false);
    auto* row3 = new QHBoxLayout(step3);
    row3->addWidget(rateLabel);
    row3->addWidget(rateList_, 1);
    row3->addWidget(setButton_);

    // The bottom line: the set's result on the left, the link on the right.
    resultText_ = PlainLabel(QString(), this);
    resultText_->setAccessibleDescription(Text("设置结果"));
    ReserveWidth(resultText_, {PanelTexts::kSetSucceeded, PanelTexts::kSetFailed});
    auto* statusLabel = PlainLabel(Text("状态:"), this);
    statusText_ = PlainLabel(Text(PanelTexts::kNotConnected), this);
    statusText_->setAccessibleDescription(Text("连接状态"));
    ReserveWidth(statusText_, {PanelTexts::kConnected, PanelTexts::kNotConnected});
    statusLabel->setBuddy(statusText_);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(resultText_);
    bottom->addStretch(1);
    bottom->addWidget(statusLabel);
    bottom->addWidget(statusText_);

    auto* panel = new QVBoxLayout(this);
    panel->addWidget(step1);
    panel->addWidget(step2);
    panel->addWidget(step3);
    panel->addLayout(bottom);
    // The window takes the size its contents ask for in the font at hand and
    // keeps it: it can be neither resized nor maximised.
    panel->setSizeConstraint(QLayout::SetFixedSize);

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
    openButton_->setText(Text(kCloseText));
}

void WizardWindow::ClosePort() {
    setButton_->setEnabled(false);
    link_.Close();
    SetStatusText(PanelTexts::kNotConnected);
    SetResultText(PanelTexts::kBlank);
    SetVersionText(PanelTexts::kBlank);
    pollTimer_->stop();
    engine_.Reset();
    openButton_->setText(Text(kOpenText));
}

void WizardWindow::OnSetButton() {
    engine_.RequestSetBaud(rateList_->currentText().toUtf8().constData());
}

void WizardWindow::ShowOpenFailure(const QString& message) {
    // Window-modal and not waited for: the event loop, and with it any
    // other port's dialogue, goes on while the technician reads it.
    if (openFailure_ == nullptr) {
        openFailure_ = new QMessageBox(QMessageBox::Warning, Text(kTitle), QString(),
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
