#pragma once

#include <QComboBox>
#include <QStringList>
#include <Qt>

class QLabel;
class QPushButton;
class QWidget;

// The port list, which says when it is about to drop down, so that what it
// offers can be read again just before the technician looks at it.
class PortComboBox : public QComboBox {
    Q_OBJECT

public:
    using QComboBox::QComboBox;
    void showPopup() override;

signals:
    void aboutToDropDown();
};

namespace PanelLayout {

constexpr const char* kTitle = "VelmoraV1.5";
constexpr const char* kOpenText = "打开串口";
constexpr const char* kCloseText = "关闭串口";
// A fixed frame: caption, system menu, minimise and close; no maximise.
constexpr Qt::WindowFlags kWindowFlags =
    Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

// The controls that change while the program runs.
struct Controls {
    PortComboBox* portList;
    QPushButton* openButton;
    QLabel* versionText;
    QComboBox* rateList;
    QPushButton* setButton;
    QLabel* resultText;
    QLabel* statusText;
};

// Lays the three steps out in `window`: every text, control and accessible
// name, in the order a technician meets them, with the window's size taken
// from its contents in the font at hand. Nothing is connected to anything.
Controls Build(QWidget* window, const QStringList& ports);

// Puts `ports` in the port list. The name chosen before stays chosen while
// it is still there; otherwise the first is, as at start.
void ShowPorts(QComboBox* list, const QStringList& ports);

}  // namespace PanelLayout
