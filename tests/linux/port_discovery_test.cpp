// Port names, the words for a refused open, and what a command line asks
// of a start, without any device or display.
#include <cerrno>

#include <gtest/gtest.h>

#include "command_line.h"
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

TEST(AnswerStart, OwnOptionsFirstQtOptionsPassAndNoDisplayIsSaidNotCrashed) {
    const DisplayEnvironment desktop{":0", "", ""};
    const DisplayEnvironment console{"", "", ""};
    constexpr int kWindow = StartAnswer::kOpenWindow;
    const struct {
        QStringList arguments;
        DisplayEnvironment environment;
        int status;
        const char* out;  // standard output, whole
        const char* err;  // a word that standard error must hold; "" for none at all
    } cases[] = {
        {{}, desktop, kWindow, "", ""},
        {{}, {"", "wayland-0", ""}, kWindow, "", ""},
        {{}, console, 1, "", "neither DISPLAY nor WAYLAND_DISPLAY"},
        // What needs no window works where there is none.
        {{"--version"}, console, 0, "baudset 1.2+3.gabc\n", ""},
        {{"-v"}, desktop, 0, "baudset 1.2+3.gabc\n", ""},
        {{"-style", "fusion", "--version"}, console, 0, "baudset 1.2+3.gabc\n", ""},
        // A platform named on the line or in the environment needs no desktop.
        {{"-platform", "offscreen"}, console, kWindow, "", ""},
        {{"--platform=vnc"}, console, kWindow, "", ""},
        {{"-display", ":1"}, console, kWindow, "", ""},
        {{}, {"", "", "eglfs"}, kWindow, "", ""},
        // Qt's other options, in each of its spellings, go through to Qt.
        {{"-style=fusion", "--stylesheet", "a.qss", "-reverse", "-qwindowtitle", "x"}, desktop,
         kWindow, "", ""},
        // The value of an option is not read as an option.
        {{"-qwindowtitle", "--bogus"}, desktop, kWindow, "", ""},
        {{"-platform", "--help"}, console, kWindow, "", ""},
        // Anything else is a usage error, before the display is looked at.
        {{"--bogus"}, console, 2, "", "'--bogus'"},
        {{"-x"}, desktop, 2, "", "'-x'"},
        {{"--versionx"}, desktop, 2, "", "'--versionx'"},
        {{"/dev/ttyUSB0"}, desktop, 2, "", "'/dev/ttyUSB0'"},
        {{"-"}, desktop, 2, "", "'-'"},
        {{"-style"}, desktop, 2, "", "'-style' needs a value"},
        {{"-reverse", "--bogus", "--help"}, desktop, 2, "", "'--bogus'"},
    };
    for (const auto& c : cases) {
        const StartAnswer answer = AnswerStart(c.arguments, c.environment, "1.2+3.gabc");
        const std::string line = c.arguments.join(' ').toStdString();
        EXPECT_EQ(answer.status, c.status) << line;
        EXPECT_EQ(answer.standardOutput.toStdString(), c.out) << line;
        if (*c.err == '\0') {
            EXPECT_TRUE(answer.standardError.isEmpty()) << line;
        } else {
            EXPECT_TRUE(answer.standardError.contains(QString::fromUtf8(c.err))) << line;
            // One line of what was wrong; a usage error adds the usage line.
            EXPECT_EQ(answer.standardError.count('\n'), c.status == 2 ? 2 : 1) << line;
        }
    }
    for (const char* help : {"-h", "--help"}) {
        const StartAnswer answer = AnswerStart({help}, console, "1.2");
        EXPECT_EQ(answer.status, 0);
        EXPECT_TRUE(answer.standardOutput.contains("--version") &&
                    answer.standardOutput.contains("-platform"));
    }
}

}  // namespace
