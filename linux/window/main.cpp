// baudset for Linux: the same three-step panel and AT dialogue as the
// Windows program, on Qt Widgets and the shared termios port.
#include <unistd.h>

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>

#include "command_line.h"
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
        Say(stderr, QString::fromUtf8(kWindowFailedLine));
        _exit(1);
    }
    if (qtHandler != nullptr) {
        qtHandler(type, context, message);
    }
}

QString Environment(const char* name) { return QString::fromLocal8Bit(qgetenv(name)); }

StartAnswer AnswerBeforeAnyWindow(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    return AnswerStart(arguments,
                       {Environment("DISPLAY"), Environment("WAYLAND_DISPLAY"),
                        Environment("QT_QPA_PLATFORM")},
                       QStringLiteral(BAUDSET_VERSION));
}

}  // namespace

int main(int argc, char* argv[]) {
    const StartAnswer answer = AnswerBeforeAnyWindow(argc, argv);
    if (answer.status != StartAnswer::kOpenWindow) {
        Say(stdout, answer.standardOutput);
        Say(stderr, answer.standardError);
        return answer.status;
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
    WizardWindow window(SerialPortNames());
    window.show();
    return app.exec();
}
