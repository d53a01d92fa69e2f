#include "wizard_panel.h"

#include <cstdio>
#include <cstring>

#include "port_discovery.h"
#include "resource.h"

namespace {

// Texts arrive as UTF-8 and reach the controls through the wide functions,
// so they show the same on every Windows language setting. The buffer holds
// the longest reply line the engine can pass on.
constexpr int kWideTextSize = RxLine::kCapacity + 1;

bool Utf8ToWide(const char* utf8, wchar_t* wide, int size) {
    if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, size) > 0) {
        return true;
    }
    wide[0] = L'\0';
    return false;
}

bool WideToUtf8(const wchar_t* wide, char* utf8, int size) {
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, size, nullptr, nullptr) > 0) {
        return true;
    }
    utf8[0] = '\0';
    return false;
}

}  // namespace

void DebugLogSink::Send(const char* bytes, std::size_t length) {
    if (length > TraceChannel::kMaxSent) {
        length = TraceChannel::kMaxSent;
    }
    std::memcpy(line_, bytes, length);
    line_[length] = '\0';
    OutputDebugStringA(line_);
}

WizardPanel::WizardPanel()
    : port_(accumulator_), engine_(accumulator_, port_, *this, trace_) {
    trace_.Connect(&debugLog_);
}

HWND WizardPanel::Create(HINSTANCE instance, HWND parent) {
    return CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_WIZARD_PANEL), parent, DialogProc,
                              reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK WizardPanel::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        reinterpret_cast<WizardPanel*>(lParam)->Initialise(window);
        return TRUE;  // let the dialog manager set the default focus
    }
    auto* panel = reinterpret_cast<WizardPanel*>(GetWindowLongPtrW(window, DWLP_USER));
    return panel != nullptr ? panel->HandleMessage(message, wParam, lParam) : FALSE;
}

INT_PTR WizardPanel::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        // Recognised by the control alone: a button sends nothing else.
        if (LOWORD(wParam) == IDC_OPEN_BUTTON) {
            OnOpenButton();
            return TRUE;
        }
        if (LOWORD(wParam) == IDC_SET_BUTTON) {
            OnSetButton();
            return TRUE;
        }
        return FALSE;
    case WM_TIMER:
        if (wParam == kPollTimer) {
            engine_.OnTick();
            return TRUE;
        }
        return FALSE;
    case WM_CTLCOLORSTATIC:
        return OnStaticColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    default:
        return FALSE;
    }
}

void WizardPanel::Initialise(HWND window) {
    engine_.Reset();
    window_ = window;
    port_.StartReader();
    portList_ = GetDlgItem(window, IDC_PORT_COMBO);
    rateList_ = GetDlgItem(window, IDC_BAUD_COMBO);
    FillPortList();
    FillRateList();
    EnableWindow(GetDlgItem(window, IDC_SET_BUTTON), FALSE);
    hintText_ = GetDlgItem(window, IDC_HINT_TEXT);
}

void WizardPanel::FillPortList() {
    PortList ports = ListPorts(ProbeComPorts());
    for (int i = 0; i < ports.count; ++i) {
        wchar_t name[16];
        std::swprintf(name, sizeof name / sizeof name[0], L"COM%d", ports.numbers[i]);
        SendMessageW(portList_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    // The list sorts as text ("COM10" before "COM3"); the first is offered.
    SendMessageW(portList_, CB_SETCURSEL, 0, 0);
}

void WizardPanel::FillRateList() {
    for (const char* rate : kRateTable) {
        wchar_t text[16];
        Utf8ToWide(rate, text, sizeof text / sizeof text[0]);
        SendMessageW(rateList_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    SendMessageW(rateList_, CB_SETCURSEL, 0, 0);
}

void WizardPanel::OnOpenButton() {
    if (portOpen_) {
        ClosePort();
    } else {
        OpenSelectedPort();
    }
}

void WizardPanel::OpenSelectedPort() {
    // Port names are "COM1" to "COM32": nine characters are plenty.
    wchar_t name[10];
    GetWindowTextW(portList_, name, 10);
    char narrowName[40];
    WideToUtf8(name, narrowName, sizeof narrowName);
    char path[48];
    ComDevicePath(narrowName, path, sizeof path);

    // A port that cannot be opened leaves the panel exactly as it was.
    if (!port_.Open(path)) {
        return;
    }
    portOpen_ = true;
    engine_.OnPortOpened();
    SetTimer(window_, kPollTimer, kPollIntervalMs, nullptr);
    SetDlgItemTextW(window_, IDC_OPEN_BUTTON, L"关闭串口");
}

void WizardPanel::ClosePort() {
    EnableWindow(GetDlgItem(window_, IDC_SET_BUTTON), FALSE);
    port_.Close();
    SetStatusText(PanelTexts::kNotConnected);
    SetResultText(PanelTexts::kBlank);
    SetVersionText(PanelTexts::kBlank);
    KillTimer(window_, kPollTimer);
    portOpen_ = false;
    engine_.Reset();
    SetDlgItemTextW(window_, IDC_OPEN_BUTTON, L"打开串口");
}

void WizardPanel::OnSetButton() {
    wchar_t rate[100];
    GetWindowTextW(rateList_, rate, 100);
    char rateText[100 * 3];
    WideToUtf8(rate, rateText, sizeof rateText);
    engine_.RequestSetBaud(rateText);
}

INT_PTR WizardPanel::OnStaticColour(HDC dc, HWND control) const {
    SetTextColor(dc, control == hintText_ ? kHintColour : GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    // The system's own brush: shared, never deleted.
    return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
}

void WizardPanel::SetControlText(int id, const char* utf8) {
    wchar_t text[kWideTextSize];
    Utf8ToWide(utf8, text, kWideTextSize);
    SetDlgItemTextW(window_, id, text);
}

void WizardPanel::SetStatusText(const char* text) { SetControlText(IDC_STATUS_TEXT, text); }

void WizardPanel::SetVersionText(const char* text) { SetControlText(IDC_VERSION_TEXT, text); }

void WizardPanel::SetResultText(const char* text) { SetControlText(IDC_RESULT_TEXT, text); }

void WizardPanel::EnableSetButton(bool enabled) {
    EnableWindow(GetDlgItem(window_, IDC_SET_BUTTON), enabled ? TRUE : FALSE);
}

void WizardPanel::SelectRate(int index) { SendMessageW(rateList_, CB_SETCURSEL, index, 0); }
