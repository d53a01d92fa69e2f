// The test driver maps exactly COM3, COM10 and COM33 (and no host device),
// and registers them where Windows lists its ports.
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
    ASSERT_EQ(ports.count, 3);
    EXPECT_STREQ(ports.names[0], "COM3");
    EXPECT_STREQ(ports.names[1], "COM10");
    EXPECT_STREQ(ports.names[2], "COM33");
}

TEST(PortDiscovery, NaturalOrder) {
    const struct {
        const char* a;
        const char* b;
        int order;
    } cases[] = {
        {"COM2", "COM10", -1}, {"COM10", "COM9", 1},   {"COM10", "COM10", 0},
        {"COM010", "COM9", 1}, {"COM1", "COM1A", -1},  {"CNCA0", "COM1", -1},
        {"COM", "COM1", -1},   {"COM99999999999999999999", "COM100", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " " + c.b);
        const int order = CompareNaturally(c.a, c.b);
        EXPECT_EQ((order > 0) - (order < 0), c.order);
        const int reverse = CompareNaturally(c.b, c.a);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -c.order);
    }
}
