#pragma once

#include <QString>
#include <QStringList>

// What a start must answer before Qt is asked for a window: --help,
// --version and a wrong option work over SSH and from a console, where
// there is no desktop to open one on, and so does saying that there is none.
struct StartAnswer {
    static constexpr int kOpenWindow = -1;
    int status;  // the exit status, or kOpenWindow: nothing to say, go on
    QString standardOutput;
    QString standardError;
};

// The session's display variables, and QT_QPA_PLATFORM, which names a
// platform that needs none (offscreen, vnc, eglfs on a kiosk board).
struct DisplayEnvironment {
    QString display;
    QString waylandDisplay;
    QString qpaPlatform;
};

// `arguments` without the program's name. Qt's own options (-platform,
// -display, -style and the rest, with one dash or two) are left for
// QApplication to take; anything else is a usage error, status 2.
StartAnswer AnswerStart(const QStringList& arguments, const DisplayEnvironment& environment,
                        const QString& version);

// Said when Qt, told where to draw, still finds nothing it can draw on.
constexpr const char* kWindowFailedLine =
    "baudset: 无法打开窗口，Qt 找不到可用的显示（原因见上）/ "
    "baudset cannot open its window: Qt found no display it could use (see above)\n";
