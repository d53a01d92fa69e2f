// baudset for Linux: the same three-step panel and AT dialogue as the
// Windows program, on Qt Widgets and the shared termios port.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>

#include "command_line.h"
#include "serial_link.h"
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
    if (type == QtFatalMsg) {
        SerialLink::LetGoAtAbruptEnd();  // Qt's handler aborts: no destructor runs
    }
    if (qtHandler != nullptr) {
        qtHandler(type, context, message);
    }
}

// Log-out (SIGTERM), a closed terminal (SIGHUP) and Ctrl-C (SIGINT) end the
// window as its close box does: the event loop returns, the window goes, and
// its port with it, put back as it was found. Their default action would end
// the process where it stands, leaving the lock, the line at 9600 raw and,
// while another process holds the port, its exclusive mode, refusing every
// other user. They arrive on a descriptor the event loop watches, so nothing
// runs inside a signal handler. Blocked before Qt starts its threads, which
// inherit the mask; without the descriptor they keep their default action.
int EndingSignals() {
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGHUP);
    sigaddset(&ending, SIGINT);
    const int descriptor = signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK);
    if (descriptor >= 0) {
        sigprocmask(SIG_BLOCK, &ending, nullptr);
    }
    return descriptor;
}

// The status a shell gives a process its signal ended: 143, 129 or 130.
void EndOnSignal(int descriptor, QApplication& app) {
    if (descriptor < 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [descriptor] {
        signalfd_siginfo info{};
        if (read(descriptor, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            QCoreApplication::exit(128 + static_cast<int>(info.ssi_signo));
        }
    });
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
    const int endingSignals = EndingSignals();
    QApplication app(argc, argv);
    starting = false;
    EndOnSignal(endingSignals, app);
    QApplication::setApplicationName(QStringLiteral("baudset"));
    QApplication::setApplicationVersion(QStringLiteral(BAUDSET_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("baudset"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("baudset")));
    // The list is read again whenever it is opened with no port open, so
    // an adapter plugged in after the start is found without a restart.
    WizardWindow window(SerialPortNames());
    window.show();
    // A lost display ends the process with exit() from inside the event
    // loop, past the window's destructor. Registered last, so run first,
    // before Qt's own exit handlers take down what it stands on.
    std::atexit(SerialLink::LetGoAtAbruptEnd);
    return app.exec();
}
