// The Linux floor for scripts/bench: baudset's window as the Linux program
// builds it (linux/wizard_window.cpp), the same three group boxes, labels,
// combo boxes, buttons and texts in the same layouts, and nothing behind
// them: no port list read from /dev, no serial port, no dialogue, no timer,
// no icon looked up in the theme. What the Linux program needs beyond this
// to show its window is its own start-up cost.
//
//   floor_qt     shows the window (titled "FloorQt") until it is closed
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>
#include <initializer_list>

namespace {

// The rate list and the panel's texts, copied rather than shared: the floor
// must not pull in the engine that defines them.
const char* const kRates[] = {"9600", "14400", "19200", "38400", "56000", "57600", "115200"};
const char kOpenText[] = "打开串口";
const char kCloseText[] = "关闭串口";
const char kHint[] = "请将串口连接的设备重新上电，确认已获取到版本号。";
const char kConnected[] = "已连接";
const char kNotConnected[] = "未连接";
const char kSetSucceeded[] = "波特率设置成功";
const char kSetFailed[] = "波特率设置失败";

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

QLabel* PlainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// Measuring the longest text is part of laying the panel out, so the floor
// pays for it as the program does.
void ReserveWidth(QWidget* widget, std::initializer_list<const char*> texts) {
    const QFontMetrics metrics(widget->font());
    int widest = 0;
    for (const char* text : texts) {
        widest = std::max(widest, metrics.horizontalAdvance(Text(text)));
    }
    widget->setMinimumWidth(widest);
}

void BuildPanel(QWidget* window) {
    auto* step1 = new QGroupBox(Text("第1步：打开串口"), window);
    auto* portLabel = PlainLabel(Text("串口号:"), step1);
    auto* portList = new QComboBox(step1);
    portLabel->setBuddy(portList);
    auto* openButton = new QPushButton(Text(kOpenText), step1);
    ReserveWidth(openButton, {kOpenText, kCloseText});
    auto* row1 = new QHBoxLayout(step1);
    row1->addWidget(portLabel);
    row1->addWidget(portList, 1);
    row1->addWidget(openButton);

    auto* step2 = new QGroupBox(Text("第2步：复位设备"), window);
    auto* hint = PlainLabel(Text(kHint), step2);
    QPalette grey = hint->palette();
    grey.setColor(QPalette::WindowText, QColor(100, 100, 100));
    hint->setPalette(grey);
    auto* versionLabel = PlainLabel(Text("版本号:"), step2);
    auto* versionText = PlainLabel(QString(), step2);
    versionText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    versionLabel->setBuddy(versionText);
    auto* grid2 = new QGridLayout(step2);
    grid2->addWidget(hint, 0, 0, 1, 2);
    grid2->addWidget(versionLabel, 1, 0);
    grid2->addWidget(versionText, 1, 1);
    grid2->setColumnStretch(1, 1);

    auto* step3 = new QGroupBox(Text("第3步：修改波特率"), window);
    auto* rateLabel = PlainLabel(Text("波特率:"), step3);
    auto* rateList = new QComboBox(step3);
    for (const char* rate : kRates) {
        rateList->addItem(Text(rate));
    }
    rateList->setCurrentIndex(0);
    rateLabel->setBuddy(rateList);
    auto* setButton = new QPushButton(Text("设置"), step3);
    setButton->setEnabled(false);
    auto* row3 = new QHBoxLayout(step3);
    row3->addWidget(rateLabel);
    row3->addWidget(rateList, 1);
    row3->addWidget(setButton);

    auto* resultText = PlainLabel(QString(), window);
    ReserveWidth(resultText, {kSetSucceeded, kSetFailed});
    auto* statusLabel = PlainLabel(Text("状态:"), window);
    auto* statusText = PlainLabel(Text(kNotConnected), window);
    ReserveWidth(statusText, {kConnected, kNotConnected});
    statusLabel->setBuddy(statusText);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(resultText);
    bottom->addStretch(1);
    bottom->addWidget(statusLabel);
    bottom->addWidget(statusText);

    auto* panel = new QVBoxLayout(window);
    panel->addWidget(step1);
    panel->addWidget(step2);
    panel->addWidget(step3);
    panel->addLayout(bottom);
    panel->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QWidget window(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                Qt::WindowCloseButtonHint);
    window.setWindowTitle(QStringLiteral("FloorQt"));
    BuildPanel(&window);
    window.show();
    return app.exec();
}
