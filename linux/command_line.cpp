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

template <std::size_t N>
bool Among(const QString& name, const char* const (&names)[N]) {
    for (const char* known : names) {
        if (name == QLatin1String(known)) {
            return true;
        }
    }
    return false;
}

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

StartDecision UsageError(const char* chinese, const char* english, const QString& word) {
    return {StartMode::kUsageError,
            Text(chinese).arg(word) + QStringLiteral(" / ") + Text(english).arg(word)};
}

}  // namespace

StartDecision DecideStart(const QStringList& arguments, const DisplayEnvironment& environment) {
    bool platformNamed = !environment.qpaPlatform.isEmpty();
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& word = arguments[i];
        if (word == QLatin1String("-h") || word == QLatin1String("--help")) {
            return {StartMode::kHelp, QString()};
        }
        if (word == QLatin1String("-v") || word == QLatin1String("--version")) {
            return {StartMode::kVersion, QString()};
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
        if (name == QLatin1String("platform") || name == QLatin1String("display")) {
            platformNamed = true;
        }
    }
    if (!platformNamed && environment.display.isEmpty() && environment.waylandDisplay.isEmpty()) {
        return {StartMode::kNoDisplay, QString()};
    }
    return {StartMode::kWindow, QString()};
}

QString UsageLine() {
    return Text("用法 / usage: baudset [-h|--help] [-v|--version] [Qt 选项 / Qt options]");
}

QString HelpText() {
    return Text(
        "用法: baudset [选项]\n"
        "Usage: baudset [OPTION]\n"
        "\n"
        "修改串口设备的 UART 波特率（图形界面，无需参数）。\n"
        "Changes the UART baud rate of a device on a serial port (a window; no arguments).\n"
        "\n"
        "  -h, --help       显示本帮助并退出 / show this help and exit\n"
        "  -v, --version    显示版本并退出 / show the version and exit\n"
        "\n"
        "Qt 的标准选项同样可用，例如 -platform offscreen、-display :1、-style fusion。\n"
        "Qt's standard options work too, such as -platform offscreen, -display :1, -style fusion.\n"
        "详见 / see: man baudset\n");
}

QString NoDisplayLine() {
    return Text(
        "baudset: 需要图形桌面，但 DISPLAY 和 WAYLAND_DISPLAY 均未设置 / "
        "baudset needs a graphical desktop, but neither DISPLAY nor WAYLAND_DISPLAY is set");
}

QString WindowFailedLine() {
    return Text(
        "baudset: 无法打开窗口，Qt 找不到可用的显示（原因见上）/ "
        "baudset cannot open its window: Qt found no display it could use (see above)");
}
