// baudset for Linux: the same three-step panel and AT dialogue as the
// Windows program, on Qt Widgets and Qt SerialPort.
#include <unistd.h>

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>

#include "command_line.h"
#include "port_discovery.h"
#include "wizard_window.h"

namespace {

bool starting = true;
QtMessageHandler qtHandler = nullptr;

void Say(FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

// Qt ends a start that finds no display it can use with abort(): a core
// dump, after advice to reinstall that is false here. Its own warnings
// before that say what it tried; the end is one line of ours and status 1.
void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg && starting) {
        Say(stderr, WindowFailedLine() + QLatin1Char('\n'));
        _exit(1);
    }
    if (qtHandler != nullptr) {
        qtHandler(type, context, message);
    }
}

QString Environment(const char* name) { return QString::fromLocal8Bit(qgetenv(name)); }

// Answers what needs no window; a return of -1 means: go on and open it.
int AnswerWithoutWindow(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    const StartDecision decision = DecideStart(
        arguments, {Environment("DISPLAY"), Environment("WAYLAND_DISPLAY"),
                    Environment("QT_QPA_PLATFORM")});
    switch (decision.mode) {
        case StartMode::kHelp:
            Say(stdout, HelpText());
            return 0;
        case StartMode::kVersion:
            Say(stdout, QStringLiteral("baudset " BAUDSET_VERSION "\n"));
            return 0;
        case StartMode::kUsageError:
            Say(stderr, QStringLiteral("baudset: ") + decision.problem + QLatin1Char('\n') +
                            UsageLine() + QLatin1Char('\n'));
            return 2;
        case StartMode::kNoDisplay:
            Say(stderr, NoDisplayLine() + QLatin1Char('\n'));
            return 1;
        case StartMode::kWindow:
            break;
    }
    return -1;
}

}  // namespace

int main(int argc, char* argv[]) {
    const int answered = AnswerWithoutWindow(argc, argv);
    if (answered >= 0) {
        return answered;
    }
    qtHandler = qInstallMessageHandler(OnQtMessage);
    QApplication app(argc, argv);
    starting = false;
    QApplication::setApplicationName(QStringLiteral("baudset"));
    QApplication::setApplicationVersion(QStringLiteral(BAUDSET_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("baudset"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("baudset")));
    // The list is read again whenever it is opened with no port open, so
    // an adapter plugged in after the start is found without a restart.
    WizardWindow window(DiscoverSerialPorts());
    window.show();
    return app.exec();
}
