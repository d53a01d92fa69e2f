// The panel in-process, against simulated devices on COM3, COM4 and COM10
// (all switched off until power-cycled): buttons are pressed with real window
// messages, the message loop and the 10 ms timer run for real, and the
// controls' texts are read back.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device_control.h"
#include "resource.h"
#include "test_support.h"
#include "wizard_panel.h"

namespace {

// One panel for the whole process, as in the program: its reader thread
// lives as long as the process, so the panel is never destroyed (a static
// destructor at exit would pull its lock from under the thread).
WizardPanel& g_panel = *new WizardPanel;
HWND g_host = nullptr;

void Pump(DWORD ms) {
    DWORD begin = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        DWORD elapsed = GetTickCount() - begin;
        if (elapsed >= ms) {
            return;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

std::wstring Text(int id) {
    wchar_t text[600];
    GetDlgItemTextW(g_panel.Window(), id, text, 600);
    return text;
}

std::vector<std::wstring> Items(int id) {
    HWND list = GetDlgItem(g_panel.Window(), id);
    std::vector<std::wstring> items;
    int count = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[64];
        SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        items.push_back(text);
    }
    return items;
}

void Select(int id, const wchar_t* item) {
    HWND list = GetDlgItem(g_panel.Window(), id);
    int index = static_cast<int>(SendMessageW(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                              reinterpret_cast<LPARAM>(item)));
    ASSERT_GE(index, 0) << "no such item";
    SendMessageW(list, CB_SETCURSEL, index, 0);
}

void Press(int id) {
    SendMessageW(GetDlgItem(g_panel.Window(), id), BM_CLICK, 0, 0);
    Pump(20);
}

bool SetButtonEnabled() { return IsWindowEnabled(GetDlgItem(g_panel.Window(), IDC_SET_BUTTON)) != 0; }

// Generous: a loaded machine may run Wine's timers and serial layer slowly;
// a passing test waits only as long as the program takes.
constexpr DWORD kDeadlineMs = 15000;

// Lets the program run until `condition` holds or the deadline passes.
template <typename Condition>
bool RunUntil(Condition condition) {
    return WaitUntil(condition, kDeadlineMs, [] { Pump(20); });
}

// Lets the program run until control `id` shows `expected`.
bool WaitForText(int id, const std::wstring& expected) {
    return RunUntil([&] { return Text(id) == expected; });
}

// Lets the program run until the device has received `command` `count` times.
bool WaitForCommands(DeviceControl& device, const std::string& command, int count) {
    return RunUntil([&] {
        std::string received = device.Received();
        int seen = 0;
        for (std::size_t at = received.find(command); at != std::string::npos;
             at = received.find(command, at + command.size())) {
            ++seen;
        }
        return seen >= count;
    });
}

class WizardPanelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_host = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPED | WS_CAPTION, 0, 0, 280, 325,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(g_panel.Create(GetModuleHandleW(nullptr), g_host), nullptr);
        ShowWindow(g_host, SW_SHOW);
        Pump(50);
    }

    void SetUp() override {
        ASSERT_TRUE(device_.Connected());
        device_.Ask("mode normal");
        device_.Ask("setrate 9600");
        device_.Ask("clear");
    }

    void TearDown() override {
        if (Text(IDC_OPEN_BUTTON) == L"关闭串口") {
            Press(IDC_OPEN_BUTTON);
        }
    }

    // Open COM3 and power-cycle its device until the rate query is answered.
    void OpenAndPowerCycle() {
        Select(IDC_PORT_COMBO, L"COM3");
        Press(IDC_OPEN_BUTTON);
        ASSERT_EQ(Text(IDC_OPEN_BUTTON), L"关闭串口");
        device_.Ask("powercycle");
        ASSERT_TRUE(WaitForText(IDC_STATUS_TEXT, L"已连接"));
        ASSERT_TRUE(RunUntil(SetButtonEnabled)) << "rate query answered";
    }

    DeviceControl device_{3};
};

}  // namespace

TEST_F(WizardPanelTest, StartsWithPortsSortedAsTextAndRatesInTableOrder) {
    EXPECT_EQ(Items(IDC_PORT_COMBO), (std::vector<std::wstring>{L"COM10", L"COM3", L"COM4"}));
    EXPECT_EQ(Text(IDC_PORT_COMBO), L"COM10");
    std::vector<std::wstring> rates;
    for (const char* rate : kRateTable) {
        rates.emplace_back(rate, rate + std::strlen(rate));
    }
    EXPECT_EQ(Items(IDC_BAUD_COMBO), rates);
    EXPECT_EQ(Text(IDC_BAUD_COMBO), L"9600");
    EXPECT_FALSE(SetButtonEnabled());
    EXPECT_EQ(Text(IDC_OPEN_BUTTON), L"打开串口");
    EXPECT_EQ(Text(IDC_STATUS_TEXT), L"未连接");
    EXPECT_EQ(Text(IDC_HINT_TEXT), L"请将串口连接的设备重新上电，确认已获取到版本号。");
}

TEST_F(WizardPanelTest, OpenThenPowerCycleShowsVersionAndPreselectsTheDevicesRate) {
    device_.Ask("setrate 115200");
    Select(IDC_PORT_COMBO, L"COM3");
    Press(IDC_OPEN_BUTTON);
    EXPECT_EQ(Text(IDC_OPEN_BUTTON), L"关闭串口");
    ASSERT_TRUE(WaitForCommands(device_, "AT\r\n", 2));
    // Opened, two polls unanswered since the device is still off: nothing
    // else has changed.
    EXPECT_EQ(Text(IDC_STATUS_TEXT), L"未连接");
    EXPECT_FALSE(SetButtonEnabled());

    device_.Ask("powercycle");
    ASSERT_TRUE(WaitForText(IDC_STATUS_TEXT, L"已连接"));
    // All that arrives between two polls is one piece: when the banner comes
    // out just before a poll's "AT" reaches the device, the "OK" joins it.
    std::wstring version = Text(IDC_VERSION_TEXT);
    EXPECT_TRUE(version == L"V2.1\r\n" || version == L"V2.1\r\nOK\r\n")
        << "version field holds " << ::testing::PrintToString(version);
    EXPECT_TRUE(RunUntil(SetButtonEnabled));
    EXPECT_EQ(Text(IDC_BAUD_COMBO), L"115200");
    EXPECT_NE(device_.Received().find("AT+BAUD?\r\n"), std::string::npos);
}

TEST_F(WizardPanelTest, SetSendsTheChosenRateAndReportsTheAnswer) {
    OpenAndPowerCycle();
    device_.Ask("clear");
    Select(IDC_BAUD_COMBO, L"57600");
    Press(IDC_SET_BUTTON);
    ASSERT_TRUE(WaitForText(IDC_RESULT_TEXT, L"波特率设置成功"));
    EXPECT_EQ(device_.Ask("rate"), "57600");
    std::string received = device_.Received();
    EXPECT_NE(received.find("AT+BAUD=57600\r\n"), std::string::npos);
    EXPECT_EQ(received.find("AT+BAUD=57600\r\nAT+BAUD=57600"), std::string::npos)
        << "sent once, not repeated after the OK";

    device_.Ask("mode error");
    Select(IDC_BAUD_COMBO, L"19200");
    Press(IDC_SET_BUTTON);
    EXPECT_TRUE(WaitForText(IDC_RESULT_TEXT, L"波特率设置失败"));
    EXPECT_EQ(device_.Ask("rate"), "57600");
}

TEST_F(WizardPanelTest, SilentDeviceIsShownAsLost) {
    OpenAndPowerCycle();
    device_.Ask("mode silent");
    // Five silent polls of 300 ms; Wine's timer may run late, never early.
    ASSERT_TRUE(WaitForText(IDC_STATUS_TEXT, L"未连接"));
    EXPECT_EQ(Text(IDC_VERSION_TEXT), L" ");
    EXPECT_EQ(Text(IDC_RESULT_TEXT), L" ");
    EXPECT_FALSE(SetButtonEnabled());
    EXPECT_EQ(Text(IDC_OPEN_BUTTON), L"关闭串口") << "the port stays open";
}

TEST_F(WizardPanelTest, CloseResetsTheTextsAndStopsTalking) {
    OpenAndPowerCycle();
    Press(IDC_OPEN_BUTTON);
    EXPECT_EQ(Text(IDC_OPEN_BUTTON), L"打开串口");
    EXPECT_EQ(Text(IDC_STATUS_TEXT), L"未连接");
    EXPECT_EQ(Text(IDC_VERSION_TEXT), L" ");
    EXPECT_EQ(Text(IDC_RESULT_TEXT), L" ");
    EXPECT_FALSE(SetButtonEnabled());
    device_.Ask("clear");
    Pump(700);
    EXPECT_EQ(device_.Received(), "") << "no command after close";
}

TEST_F(WizardPanelTest, PortThatCannotBeOpenedChangesNothing) {
    DeviceControl unplugged(4);
    unplugged.Ask("hangup");
    Select(IDC_PORT_COMBO, L"COM4");
    Press(IDC_OPEN_BUTTON);
    Pump(400);
    EXPECT_EQ(Text(IDC_OPEN_BUTTON), L"打开串口");
    EXPECT_EQ(Text(IDC_STATUS_TEXT), L"未连接");
    EXPECT_FALSE(SetButtonEnabled());
    unplugged.Ask("reopen");
}

TEST_F(WizardPanelTest, HintIsGreyAndEverythingSitsOnButtonFace) {
    HDC dc = CreateCompatibleDC(nullptr);
    HWND panel = g_panel.Window();
    LRESULT brush = SendMessageW(panel, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                 reinterpret_cast<LPARAM>(GetDlgItem(panel, IDC_HINT_TEXT)));
    EXPECT_EQ(GetTextColor(dc), RGB(100, 100, 100));
    EXPECT_EQ(GetBkColor(dc), GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(reinterpret_cast<HBRUSH>(brush), GetSysColorBrush(COLOR_BTNFACE));

    SendMessageW(panel, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(GetDlgItem(panel, IDC_STATUS_TEXT)));
    EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_WINDOWTEXT));
    DeleteDC(dc);
}
