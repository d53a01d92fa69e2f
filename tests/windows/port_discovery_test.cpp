// The test driver maps exactly COM3, COM10 and COM33 (and no host device),
// and registers them where Windows lists its ports.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "port_discovery.h"

TEST(PortDiscovery, FindsExactlyThePortsThatExistUpTo32) {
    std::uint32_t mask = ProbeComPorts();
    EXPECT_EQ(mask, 0x00000204u) << "COM3 and COM10; COM33 is beyond the probe";

    PortList list = ListPorts(mask);
    ASSERT_EQ(list.count, 2);
    EXPECT_EQ(list.numbers[0], 3);
    EXPECT_EQ(list.numbers[1], 10);

    char name[8];
    ASSERT_TRUE(FormatPortName(list.numbers[1], name, sizeof name));
    EXPECT_STREQ(name, "COM10");
}

TEST(PortDiscovery, ListFollowsTheMaskInAscendingOrder) {
    PortList all = ListPorts(0xFFFFFFFFu);
    ASSERT_EQ(all.count, 32);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(all.numbers[i], i + 1);
    }
    EXPECT_EQ(ListPorts(0).count, 0);
    PortList ends = ListPorts(0x80000001u);
    ASSERT_EQ(ends.count, 2);
    EXPECT_EQ(ends.numbers[0], 1);
    EXPECT_EQ(ends.numbers[1], 32);
}

TEST(PortDiscovery, NameThatDoesNotFitIsRefused) {
    char name[5];
    EXPECT_FALSE(FormatPortName(10, name, sizeof name));
    EXPECT_TRUE(FormatPortName(3, name, sizeof name));
    EXPECT_STREQ(name, "COM3");
}

TEST(PortDiscovery, RegisteredPortsInNaturalOrderBeyond32) {
    static RegisteredPorts ports;
    ListRegisteredPorts(ports);
    ASSERT_EQ(ports.count, 3);  // as text, COM10 and COM33 would come before COM3
    EXPECT_STREQ(ports.names[0], "COM3");
    EXPECT_STREQ(ports.names[1], "COM10");
    EXPECT_STREQ(ports.names[2], "COM33");
}

namespace {

// A key of the registry's layout for ports, made for one test, volatile.
const wchar_t kScratch[] = L"Software\\baudset-tests";

void AddPort(const std::wstring& device, const std::wstring& port) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kScratch, device.c_str(), REG_SZ, port.c_str(),
                    static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

TEST(PortDiscovery, RegisteredListKeepsTheFirstPortsItHasRoomForAndCountsTheRest) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                    nullptr, &key, nullptr);
    AddPort(std::wstring(300, L'x'), L"COM7");  // a device name far beyond 256 characters
    for (int number = 300; number >= 10; --number) {  // 291 more, in reverse order
        AddPort(L"\\Device\\Serial" + std::to_wstring(number), L"COM" + std::to_wstring(number));
    }
    AddPort(L"\\Device\\Odd", std::wstring(100, L'C'));  // no port's name is this long
    AddPort(L"\\Device\\63", L"COM1" + std::wstring(59, L'x'));  // the longest name listed
    AddPort(L"\\Device\\64", L"COM1" + std::wstring(60, L'x'));
    static RegisteredPorts ports;
    EXPECT_EQ(ListPortsOfKey(key, ports), ERROR_SUCCESS);
    ASSERT_EQ(ports.count, RegisteredPorts::kMaxPorts);
    EXPECT_EQ(std::string(ports.names[0]), "COM1" + std::string(59, 'x'));
    EXPECT_STREQ(ports.names[1], "COM7");
    EXPECT_STREQ(ports.names[2], "COM10");
    EXPECT_STREQ(ports.names[255], "COM263");
    EXPECT_EQ(ports.leftOut, 37 + 2) << "COM264 to COM300, and the names of 64 and 100 bytes";

    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);  // as when the last adapter is pulled
    EXPECT_NE(ListPortsOfKey(key, ports), ERROR_SUCCESS) << "the listing stops";
    RegCloseKey(key);
}
