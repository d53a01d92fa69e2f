// Drives the running program from outside, as a technician's hands would:
// finds its window by class name, selects list items, presses buttons and
// reads texts back, all with ordinary window messages.
//
// Started once per story: it reads one action a line on standard input and
// answers each with one line on standard output, "STATUS TEXT", where STATUS
// is 0 when the action succeeded, 1 when it failed and 2 on misuse. It ends
// at the end of its input. The actions:
//
//   check                     window, title, marker, fixed frame
//   rect                      "x y width height" of the window
//   select port|rate TEXT     select a list item by its text
//   click open|set            press a button
//   text NAME                 print a control's text (UTF-8, CR/LF escaped)
//   wait NAME TEXT [MS]       until the control shows TEXT (default 15000 ms)
//   enabled set               print 1 or 0
//   minimize-restore          minimise, restore, check the panel
//   close                     close the window as the close box does
//   font FAMILY               whether that font family is installed
//   responsive SECONDS        for that long, round trips of WM_NULL to the
//                             window; prints the slowest in ms
//   handles                   the program's open handles: the count, then
//                             how many of each type ("37 Event=2 File=5 ...")
//
// Every action but "font" first waits (up to 60 s) for the window to be shown
// with its panel; it is looked up afresh for each action.
//
// A word may be given as "hex:" and its UTF-8 bytes in hex, so that texts
// with spaces or outside ASCII pass whatever the console's code page.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "app_shell.h"
#include "resource.h"
#include "test_support.h"

namespace {

// The program's own texts, as they must stand.
constexpr wchar_t kClassName[] = L"TOLVARSDK_DEMO";
constexpr wchar_t kTitle[] = L"VelmoraV1.5";

std::wstring FromUtf8(const char* text) {
    wchar_t wide[1024];
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 1024);
    return wide;
}

std::wstring Argument(const char* text) {
    if (std::strncmp(text, "hex:", 4) != 0) {
        return FromUtf8(text);
    }
    std::string bytes;
    for (const char* digit = text + 4; digit[0] != '\0' && digit[1] != '\0'; digit += 2) {
        char pair[3] = {digit[0], digit[1], '\0'};
        bytes += static_cast<char>(std::strtol(pair, nullptr, 16));
    }
    return FromUtf8(bytes.c_str());
}

std::string ToUtf8(const std::wstring& text) {
    char narrow[4096];
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
    return narrow;
}

// What the current action says: its answer's text, escaped to one line.
std::string said;
// The window that "close" closes once its answer is out.
HWND windowToClose = nullptr;

void Say(const std::string& text) {
    said.clear();
    for (char c : text) {
        if (c == '\r') {
            said += "\\r";
        } else if (c == '\n') {
            said += "\\n";
        } else {
            said += c;
        }
    }
}

int Fail(const std::string& why) {
    Say("FAIL " + why);
    return 1;
}

int Misuse() {
    Say("usage: ACTION [ARGUMENTS] (see the top of automate.cpp)");
    return 2;
}

HWND FindPanel(HWND main) { return FindWindowExW(main, nullptr, L"#32770", nullptr); }

// Polls `condition` every 20 ms until it holds or `timeoutMs` have passed.
template <typename Condition>
bool Poll(Condition condition, DWORD timeoutMs) {
    return WaitUntil(condition, timeoutMs, [] { Sleep(20); });
}

// The window counts once it is shown with its panel in it: FindWindow sees
// it already while it is being created, before the panel exists, and before
// it is shown. On a slow machine that can last seconds, hence the long limit.
constexpr DWORD kReadyTimeoutMs = 60000;

bool IsReady(HWND main) {
    HWND panel = FindPanel(main);
    return IsWindowVisible(main) && panel != nullptr && IsWindowVisible(panel);
}

HWND FindMainWindow() {
    HWND window = nullptr;
    Poll(
        [&window] {
            window = FindWindowW(kClassName, nullptr);
            return window != nullptr && IsReady(window);
        },
        kReadyTimeoutMs);
    return window;
}

int ControlId(const char* name) {
    struct Entry {
        const char* name;
        int id;
    } const table[] = {{"port", IDC_PORT_COMBO},       {"rate", IDC_BAUD_COMBO},
                       {"open", IDC_OPEN_BUTTON},      {"set", IDC_SET_BUTTON},
                       {"status", IDC_STATUS_TEXT},    {"version", IDC_VERSION_TEXT},
                       {"result", IDC_RESULT_TEXT},    {"hint", IDC_HINT_TEXT}};
    for (const Entry& entry : table) {
        if (std::strcmp(entry.name, name) == 0) {
            return entry.id;
        }
    }
    return 0;
}

std::wstring TextOf(HWND control) {
    wchar_t text[1024] = {};
    SendMessageW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

int Check(HWND main) {
    wchar_t title[100];
    GetWindowTextW(main, title, 100);
    if (std::wcscmp(title, kTitle) != 0) {
        return Fail("title is " + ToUtf8(title));
    }
    if (GetPropW(main, AppShell::kMarkerProperty) != reinterpret_cast<HANDLE>(1)) {
        return Fail("marker property missing");
    }
    LONG style = GetWindowLongW(main, GWL_STYLE);
    if ((style & WS_THICKFRAME) || (style & WS_MAXIMIZEBOX) || !(style & WS_MINIMIZEBOX) ||
        !(style & WS_SYSMENU) || (style & WS_CAPTION) != WS_CAPTION) {
        return Fail("frame is not fixed with caption, system menu and minimise box");
    }
    RECT rect;
    GetWindowRect(main, &rect);
    if (rect.right - rect.left != AppShell::kWindowWidth ||
        rect.bottom - rect.top != AppShell::kWindowHeight) {
        return Fail("window is " + std::to_string(rect.right - rect.left) + "x" +
                    std::to_string(rect.bottom - rect.top));
    }
    HWND panel = FindPanel(main);
    if (panel == nullptr || !IsWindowVisible(panel)) {
        return Fail("panel missing");
    }
    Say("ok");
    return 0;
}

int Select(HWND panel, const char* list, const char* text) {
    HWND combo = GetDlgItem(panel, ControlId(list));
    std::wstring wanted = Argument(text);
    LRESULT index = SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                 reinterpret_cast<LPARAM>(wanted.c_str()));
    if (index == CB_ERR) {
        return Fail(std::string("no item ") + text);
    }
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    Say("ok");
    return 0;
}

int Wait(HWND control, const char* expected, DWORD timeoutMs) {
    std::wstring wanted = Argument(expected);
    std::wstring now;
    if (Poll([&] { return (now = TextOf(control)) == wanted; }, timeoutMs)) {
        Say("ok");
        return 0;
    }
    return Fail("shows '" + ToUtf8(now) + "'");
}

int MinimizeRestore(HWND main) {
    ShowWindow(main, SW_MINIMIZE);
    if (!Poll([main] { return IsIconic(main) != FALSE; }, 5000)) {
        return Fail("not minimised");
    }
    ShowWindow(main, SW_RESTORE);
    if (!Poll([main] { return !IsIconic(main) && IsReady(main); }, 5000) ||
        GetDlgItem(FindPanel(main), IDC_OPEN_BUTTON) == nullptr) {
        return Fail("panel not intact after restore");
    }
    Say("ok");
    return 0;
}

int CALLBACK NoteFontFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;  // one is enough
}

// Whether Wine (or Windows) has a font of that family: the caption buttons
// that Wine draws itself are glyphs of Marlett.
int HasFont(const char* family) {
    LOGFONTW wanted = {};
    wanted.lfCharSet = DEFAULT_CHARSET;
    std::wstring name = Argument(family);
    wcsncpy(wanted.lfFaceName, name.c_str(), LF_FACESIZE - 1);
    HDC screen = GetDC(nullptr);
    bool found = false;
    EnumFontFamiliesExW(screen, &wanted, NoteFontFound, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, screen);
    if (!found) {
        return Fail(std::string("no font ") + family);
    }
    Say("ok");
    return 0;
}

// A hung UI thread shows as a slow round trip of a message that does nothing.
int Responsive(HWND main, const char* secondsText) {
    DWORD seconds = static_cast<DWORD>(std::atoi(secondsText));
    DWORD begin = GetTickCount();
    DWORD slowest = 0;
    int trips = 0;
    while (GetTickCount() - begin < seconds * 1000) {
        DWORD sent = GetTickCount();
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &result) == 0) {
            return Fail("no answer within 30 s");
        }
        DWORD trip = GetTickCount() - sent;
        slowest = trip > slowest ? trip : slowest;
        ++trips;
        Sleep(10);
    }
    Say(std::to_string(slowest) + " ms slowest of " + std::to_string(trips));
    return 0;
}

// The program's open handles: the count, then how many of each type.
int Handles(HWND main) {
    DWORD processId = 0;
    GetWindowThreadProcessId(main, &processId);
    HANDLE process = OpenProcess(PROCESS_DUP_HANDLE, FALSE, processId);
    if (process == nullptr) {
        return Fail("cannot open the program's process");
    }
    HandleCensus census = TakeHandleCensus(process);
    CloseHandle(process);
    Say(census.Render());
    return census.total > 0 ? 0 : Fail("no handle found");
}

// One action: argv[1] and what follows it.
int Act(int argc, char** argv) {
    if (argc < 2) {
        return Misuse();
    }
    std::string action = argv[1];
    if (action == "font" && argc == 3) {
        return HasFont(argv[2]);
    }
    HWND main = FindMainWindow();
    if (main == nullptr) {
        return Fail("no shown window of class TOLVARSDK_DEMO with its panel");
    }
    HWND panel = FindPanel(main);
    if (action == "check") {
        return Check(main);
    }
    if (action == "rect") {
        RECT rect;
        GetWindowRect(main, &rect);
        char line[64];
        std::snprintf(line, sizeof line, "%ld %ld %ld %ld", rect.left, rect.top,
                      rect.right - rect.left, rect.bottom - rect.top);
        Say(line);
        return 0;
    }
    if (action == "close") {
        // Closed only once the answer is out: whoever started the program
        // may end everything in its prefix, this driver included, as soon
        // as the window is gone.
        windowToClose = main;
        Say("ok");
        return 0;
    }
    if (action == "minimize-restore") {
        return MinimizeRestore(main);
    }
    if (action == "responsive" && argc == 3) {
        return Responsive(main, argv[2]);
    }
    if (action == "handles") {
        return Handles(main);
    }
    if (panel == nullptr || argc < 3 || ControlId(argv[2]) == 0) {
        return Misuse();
    }
    HWND control = GetDlgItem(panel, ControlId(argv[2]));
    if (action == "select" && argc == 4) {
        return Select(panel, argv[2], argv[3]);
    }
    if (action == "click") {
        // BM_CLICK, as a mouse click: a disabled button ignores it.
        SendMessageW(control, BM_CLICK, 0, 0);
        Say("ok");
        return 0;
    }
    if (action == "text") {
        Say(ToUtf8(TextOf(control)));
        return 0;
    }
    if (action == "wait" && argc >= 4) {
        return Wait(control, argv[3], argc >= 5 ? static_cast<DWORD>(std::atoi(argv[4])) : 15000);
    }
    if (action == "enabled") {
        Say(IsWindowEnabled(control) ? "1" : "0");
        return 0;
    }
    return Misuse();
}

// Raw bytes out: the console's code page must not get in the way.
void Answer(int status, const std::string& text) {
    std::string line = std::to_string(status) + " " + text + "\n";
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

}  // namespace

int main(int argc, char**) {
    if (argc > 1) {
        Misuse();
        Answer(2, said);
        return 2;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        // Words as a command line would give them, argv[0] included.
        char* words[8] = {const_cast<char*>("automate")};
        int count = 1;
        for (char* word = std::strtok(line, " \r\n"); word != nullptr && count < 8;
             word = std::strtok(nullptr, " \r\n")) {
            words[count++] = word;
        }
        said.clear();
        int status = count > 1 ? Act(count, words) : Misuse();
        Answer(status, said);
        if (windowToClose != nullptr) {
            PostMessageW(windowToClose, WM_CLOSE, 0, 0);
            windowToClose = nullptr;
        }
    }
    return 0;
}
