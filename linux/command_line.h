#pragma once

#include <QString>
#include <QStringList>

// What the command line and the environment ask of a start, decided before
// Qt is asked for a window: --help, --version and a wrong option must work
// over SSH and from a console, where there is no desktop to open one on.
enum class StartMode {
    kWindow,      // the panel, as from the applications menu
    kHelp,        // the usage text on standard output, exit 0
    kVersion,     // the package version on standard output, exit 0
    kUsageError,  // `problem` and the usage line on standard error, exit 2
    kNoDisplay,   // no desktop and no platform named: one line, exit 1
};

struct StartDecision {
    StartMode mode;
    QString problem;  // for kUsageError: what was wrong, in both languages
};

// The session's display variables, and QT_QPA_PLATFORM, which names a
// platform that needs none (offscreen, vnc, eglfs on a kiosk board).
struct DisplayEnvironment {
    QString display;
    QString waylandDisplay;
    QString qpaPlatform;
};

// `arguments` without the program's name. Qt's own options (-platform,
// -display, -style and the rest, with one dash or two) are let through for
// QApplication to take; anything else is a usage error.
StartDecision DecideStart(const QStringList& arguments, const DisplayEnvironment& environment);

QString HelpText();
QString UsageLine();
QString NoDisplayLine();
// Said when Qt, told where to draw, still finds nothing it can draw on.
QString WindowFailedLine();
