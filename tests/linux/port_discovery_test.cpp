// Port names and the words for a refused open, without any device.
#include <cerrno>

#include <gtest/gtest.h>

#include "port_discovery.h"
#include "serial_link.h"

namespace {

TEST(OrderSerialNames, UsbFirstNumbersInNaturalOrderOthersLeftOut) {
    const std::pair<QStringList, QStringList> cases[] = {
        {{"ttyAMA0", "ttyS0", "ttyACM0", "ttyUSB0"}, {"ttyUSB0", "ttyACM0", "ttyS0", "ttyAMA0"}},
        {{"ttyUSB10", "ttyUSB9", "ttyUSB1", "ttyS10", "ttyS2"}, {"ttyUSB1", "ttyUSB9", "ttyUSB10", "ttyS2", "ttyS10"}},
        {{"ttyS0", "ttyACM12", "ttyAMA1", "ttyUSB3", "ttyS31", "ttyACM2"},
         {"ttyUSB3", "ttyACM2", "ttyACM12", "ttyS0", "ttyS31", "ttyAMA1"}},
        {{"tty0", "ttyUSB", "ttyUSBx", "console", "ttyUSB1x", "xttyUSB1", "ttyS", "ptmx", "tty",
          "ttyACM1", "ttyacm2", "null"},
         {"ttyACM1"}},
        {{}, {}},
    };
    for (const auto& [names, ordered] : cases) {
        EXPECT_EQ(OrderSerialNames(names), ordered) << names.join(' ').toStdString();
    }
}

TEST(DescribeOpenFailure, KindAndWordsFollowTheCause) {
    using Kind = OpenFailure::Kind;
    const QString path = "/dev/ttyUSB3";
    const struct {
        int error;
        const char* group;  // of the device; "" when it could not be read
        bool groupMayReadWrite;
        const char* user;
        Kind kind;
        const char* command;  // the line that adds the user to the group, if any
    } cases[] = {
        {EACCES, "dialout", true, "alice", Kind::Denied, "sudo usermod -aG dialout alice"},
        {EACCES, "uucp", true, "bob", Kind::Denied, "sudo usermod -aG uucp bob"},
        {EPERM, "dialout", true, "alice", Kind::Denied, "sudo usermod -aG dialout alice"},
        {EACCES, "root", false, "alice", Kind::Denied, nullptr},
        {EACCES, "", true, "alice", Kind::Denied, nullptr},
        {ENOENT, "dialout", true, "alice", Kind::Gone, nullptr},
        {ENXIO, "dialout", true, "alice", Kind::Gone, nullptr},
        {ENODEV, "dialout", true, "alice", Kind::Gone, nullptr},
        {EIO, "dialout", true, "alice", Kind::Gone, nullptr},
        {EBUSY, "dialout", true, "alice", Kind::Other, nullptr},
        {ENOTTY, "dialout", true, "alice", Kind::Other, nullptr},
        {EINVAL, "dialout", true, "alice", Kind::Other, nullptr},
    };
    for (const auto& c : cases) {
        const OpenFailure failure = DescribeOpenFailure(c.error, path, c.group, c.groupMayReadWrite, c.user);
        const std::string message = failure.message.toStdString();
        SCOPED_TRACE(testing::Message() << "errno " << c.error << ", group '" << c.group << "', rw "
                                        << c.groupMayReadWrite << ": " << message);
        EXPECT_EQ(failure.kind, c.kind);
        EXPECT_TRUE(failure.message.contains(path));
        if (c.command != nullptr) {
            EXPECT_TRUE(failure.message.contains(c.group));
            EXPECT_TRUE(failure.message.split('\n').contains(c.command)) << "a line of its own, to copy";
        } else {
            EXPECT_FALSE(failure.message.contains("usermod"));
        }
    }
}

}  // namespace
