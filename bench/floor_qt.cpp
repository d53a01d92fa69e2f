// The Linux floor for scripts/bench: baudset's window laid out by the same
// code as the Linux program's (linux/window/panel_layout.cpp), and nothing behind
// it: no port list read from /dev, no serial port, no dialogue, no timer,
// no icon looked up in the theme. What the Linux program needs beyond this
// to show its window is its own start-up cost.
//
//   floor_qt     shows the window (titled "FloorQt") until it is closed
#include <QApplication>
#include <QWidget>

#include "panel_layout.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QWidget window(nullptr, PanelLayout::kWindowFlags);
    window.setWindowTitle(QStringLiteral("FloorQt"));
    PanelLayout::Build(&window, QStringList());
    window.show();
    return app.exec();
}
