#include "app_shell.h"

#include <new>

#include "resource.h"
#include "wizard_panel.h"

namespace {

HINSTANCE g_instance = nullptr;

// One panel for the whole run; it owns the dialogue's long-lived objects.
// It is built in static storage and never destroyed: its reader thread is
// never stopped, and a static destructor run as the process exits would
// pull the lock, the port and the accumulator from under that thread (seen
// as a crash at exit under load). Both simply end with the process.
alignas(WizardPanel) unsigned char g_panelStorage[sizeof(WizardPanel)];
WizardPanel* g_panel = nullptr;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        // Lets test and support tools recognise the window; nothing reads it.
        SetPropW(window, AppShell::kMarkerProperty, reinterpret_cast<HANDLE>(1));
        g_panel->Create(g_instance, window);
        return 0;
    case WM_PAINT: {
        // The panel covers the whole client area; only validate it.
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int AppShell::Run(HINSTANCE instance, int showCommand) {
    wchar_t title[100];
    wchar_t className[100];
    LoadStringW(instance, IDS_TITLE, title, 100);
    LoadStringW(instance, IDS_CLASS_NAME, className, 100);

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_MAIN_ICON));
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_MAIN_ICON_SMALL));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = className;
    RegisterClassExW(&windowClass);

    // Needed by the creation handler, which builds the panel.
    g_instance = instance;
    if (g_panel == nullptr) {
        g_panel = new (g_panelStorage) WizardPanel();
    }

    // A fixed frame: no sizing border and no maximise box.
    HWND window = CreateWindowExW(0, className, title, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                  CW_USEDEFAULT, 0, kWindowWidth, kWindowHeight, nullptr, nullptr,
                                  instance, nullptr);
    if (window == nullptr) {
        return 0;
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    // No IsDialogMessage here: Tab and the arrow keys do not move the focus
    // between the panel's controls.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
