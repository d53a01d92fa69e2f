// The floor for scripts/bench: the least that a program of baudset's design
// must do, and nothing else. A window; while a port is open, a 10 ms timer
// that writes "AT\r\n" on every 30th tick; a reader thread that sleeps 1 ms
// at a time while no port is open and blocks in WaitCommEvent while one is,
// reading whatever arrives. Same port settings as baudset.
//
//   floor.exe             window and idle reader (the "port closed" state)
//   floor.exe COM3        the same with COM3 open from the start
//   floor.exe --bare      a window and nothing else (start-up yardstick)
//   floor.exe --panel     a window with baudset's panel dialog, from the same
//                         resources, and what the design does as it starts:
//                         the idle reader, the probe of COM1 to COM32 (the
//                         program's own), the two lists filled and the set
//                         button disabled; no logic behind any of it
#include <windows.h>

#include <cwchar>

#include "port_discovery.h"
#include "resource.h"

namespace {

constexpr UINT_PTR kTimer = 1;
constexpr DWORD kReadChunk = 1024;

HANDLE g_port = INVALID_HANDLE_VALUE;
unsigned g_ticks = 0;
OVERLAPPED g_write = {};

DWORD WINAPI Reader(LPVOID) {
    static char scratch[kReadChunk];
    OVERLAPPED record = {};
    record.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD mask = 0;
    for (;;) {
        // The port is opened before the thread starts and never closed, so
        // unlike baudset no lock is needed to read it here.
        if (g_port == INVALID_HANDLE_VALUE) {
            Sleep(1);
            continue;
        }
        DWORD count = 0;
        ResetEvent(record.hEvent);
        if (!WaitCommEvent(g_port, &mask, &record) && GetLastError() != ERROR_IO_PENDING) {
            Sleep(1);
            continue;
        }
        GetOverlappedResult(g_port, &record, &count, TRUE);
        ResetEvent(record.hEvent);
        if (!ReadFile(g_port, scratch, kReadChunk, nullptr, &record) &&
            GetLastError() != ERROR_IO_PENDING) {
            Sleep(1);
            continue;
        }
        GetOverlappedResult(g_port, &record, &count, TRUE);
        if (count == 0) {
            Sleep(1);
        }
    }
}

bool OpenPort(const wchar_t* name) {
    wchar_t path[32];
    std::swprintf(path, 32, L"\\\\.\\%ls", name);
    HANDLE port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return false;
    }
    SetCommMask(port, EV_RXCHAR);
    SetupComm(port, 2048, 2048);
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 100, 500};
    SetCommTimeouts(port, &timeouts);
    DCB line = {};
    line.DCBlength = sizeof line;
    GetCommState(port, &line);
    line.BaudRate = CBR_9600;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    SetCommState(port, &line);
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    g_port = port;
    return true;
}

void KeepAlive() {
    static const char command[] = "AT\r\n";
    ResetEvent(g_write.hEvent);
    if (!WriteFile(g_port, command, 4, nullptr, &g_write) && GetLastError() == ERROR_IO_PENDING) {
        WaitForSingleObject(g_write.hEvent, 1000);
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        if (++g_ticks % 30 == 0) {
            KeepAlive();
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

namespace {

// The rates as the list shows them; the floor keeps out of the dialogue.
const wchar_t* const kRates[] = {L"9600", L"14400", L"19200", L"38400", L"56000", L"57600",
                                 L"115200"};

// The design's start, without the engine: reader, probe, lists.
void StartAsDesigned(HWND panel) {
    CreateThread(nullptr, 0, Reader, nullptr, 0, nullptr);
    const PortList ports = ListPorts(ProbeComPorts());
    HWND portList = GetDlgItem(panel, IDC_PORT_COMBO);
    for (int i = 0; i < ports.count; ++i) {
        wchar_t name[16];
        std::swprintf(name, 16, L"COM%d", ports.numbers[i]);
        SendMessageW(portList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    SendMessageW(portList, CB_SETCURSEL, 0, 0);
    HWND rateList = GetDlgItem(panel, IDC_BAUD_COMBO);
    for (const wchar_t* rate : kRates) {
        SendMessageW(rateList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(rate));
    }
    SendMessageW(rateList, CB_SETCURSEL, 0, 0);
    EnableWindow(GetDlgItem(panel, IDC_SET_BUTTON), FALSE);
}

}  // namespace

INT_PTR CALLBACK PanelProc(HWND panel, UINT message, WPARAM, LPARAM) {
    if (message != WM_INITDIALOG) {
        return FALSE;
    }
    StartAsDesigned(panel);
    return TRUE;  // default focus, as baudset's
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand) {
    bool panel = std::wcscmp(commandLine, L"--panel") == 0;
    bool bare = panel || std::wcscmp(commandLine, L"--bare") == 0;  // no port, no timer
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"BAUDSET_FLOOR";
    RegisterClassExW(&windowClass);
    const wchar_t* title = panel ? L"FloorPanel" : bare ? L"FloorBare" : L"Floor";
    HWND window = CreateWindowExW(0, L"BAUDSET_FLOOR", title,
                                  WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, 0, 280,
                                  325, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    if (panel) {
        CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_WIZARD_PANEL), window, PanelProc, 0);
    }
    if (!bare) {
        g_write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (commandLine[0] != L'\0' && OpenPort(commandLine)) {
            SetTimer(window, kTimer, 10, nullptr);
        }
        CreateThread(nullptr, 0, Reader, nullptr, 0, nullptr);
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
