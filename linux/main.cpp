// baudset for Linux: the same three-step panel and AT dialogue as the
// Windows program, on Qt Widgets and Qt SerialPort.
#include <QApplication>
#include <QIcon>

#include "port_discovery.h"
#include "wizard_window.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("baudset"));
    QApplication::setDesktopFileName(QStringLiteral("baudset"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("baudset")));
    // The port list is read once, as the Windows program probes its ports
    // once: an adapter plugged in later needs a new start.
    WizardWindow window(DiscoverSerialPorts());
    window.show();
    return app.exec();
}
