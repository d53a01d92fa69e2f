#include "command_line.h"

namespace {

// Qt's command-line options (QGuiApplication, QApplication and the X11
// platform) that take a value as the next word or after "=".
const char* const kQtOptionsWithValue[] = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
    "qwindowicon", "qwindowtitle", "session", "display", "geometry", "name", "title",
    "visual", "style", "stylesheet"};
// Those that stand alone, or take their value only after "=".
const char* const kQtOptionsAlone[] = {"reverse", "widgetcount", "sync", "nograb", "dograb",
                                       "qmljsdebugger", "dialogs", "fontengine"};

const char kHelp[] =
    "用法: baudset [选项]\n"
    "Usage: baudset [OPTION]\n\n"
    "修改串口设备的 UART 波特率（图形界面，无需参数）。\n"
    "Changes the UART baud rate of a device on a serial port (a window; no arguments).\n\n"
    "  -h, --help       显示本帮助并退出 / show this help and exit\n"
    "  -v, --version    显示版本并退出 / show the version and exit\n\n"
    "Qt 的标准选项同样可用，例如 -platform offscreen、-display :1、-style fusion。\n"
    "Qt's standard options work too, such as -platform offscreen, -display :1, -style fusion.\n"
    "详见 / see: man baudset\n";
const char kUsage[] = "用法 / usage: baudset [-h|--help] [-v|--version] [Qt 选项 / Qt options]\n";
const char kNoDisplay[] =
    "baudset: 需要图形桌面，但 DISPLAY 和 WAYLAND_DISPLAY 均未设置 / "
    "baudset needs a graphical desktop, but neither DISPLAY nor WAYLAND_DISPLAY is set\n";

template <std::size_t N>
bool Among(const QString& name, const char* const (&names)[N]) {
    for (const char* known : names) {
        if (name == QLatin1String(known)) {
            return true;
        }
    }
    return false;
}

StartAnswer UsageError(const char* chinese, const char* english, const QString& word) {
    return {2, QString(),
            QStringLiteral("baudset: ") + QString::fromUtf8(chinese).arg(word) +
                QStringLiteral(" / ") + QString::fromUtf8(english).arg(word) +
                QLatin1Char('\n') + QString::fromUtf8(kUsage)};
}

}  // namespace

StartAnswer AnswerStart(const QStringList& arguments, const DisplayEnvironment& environment,
                        const QString& version) {
    bool platformNamed = !environment.qpaPlatform.isEmpty();
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& word = arguments[i];
        if (word == QLatin1String("-h") || word == QLatin1String("--help")) {
            return {0, QString::fromUtf8(kHelp), QString()};
        }
        if (word == QLatin1String("-v") || word == QLatin1String("--version")) {
            return {0, QStringLiteral("baudset %1\n").arg(version), QString()};
        }
        if (!word.startsWith(QLatin1Char('-')) || word == QLatin1String("-") ||
            word == QLatin1String("--")) {
            return UsageError("不接受参数“%1”", "takes no argument '%1'", word);
        }
        // Qt reads "--style" as "-style", and "-style=fusion" as the pair.
        QString name = word.mid(word.startsWith(QLatin1String("--")) ? 2 : 1);
        const bool valueAttached = name.contains(QLatin1Char('='));
        name = name.section(QLatin1Char('='), 0, 0);
        if (Among(name, kQtOptionsWithValue)) {
            if (!valueAttached && ++i >= arguments.size()) {
                return UsageError("选项“%1”需要一个值", "option '%1' needs a value", word);
            }
        } else if (!Among(name, kQtOptionsAlone)) {
            return UsageError("未知选项“%1”", "unknown option '%1'", word);
        }
        platformNamed |= name == QLatin1String("platform") || name == QLatin1String("display");
    }
    if (!platformNamed && environment.display.isEmpty() && environment.waylandDisplay.isEmpty()) {
        return {1, QString(), QString::fromUtf8(kNoDisplay)};
    }
    return {StartAnswer::kOpenWindow, QString(), QString()};
}
