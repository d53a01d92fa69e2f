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

TEST(DecideStart, OwnOptionsFirstQtOptionsPassAndNoDisplayIsSaidNotCrashed) {
    const DisplayEnvironment desktop{":0", "", ""};
    const DisplayEnvironment console{"", "", ""};
    const struct {
        QStringList arguments;
        DisplayEnvironment environment;
        StartMode mode;
        const char* problemNames;  // the word a usage error quotes
    } cases[] = {
        {{}, desktop, StartMode::kWindow, ""},
        {{}, {"", "wayland-0", ""}, StartMode::kWindow, ""},
        {{}, console, StartMode::kNoDisplay, ""},
        // What needs no window works where there is none.
        {{"--help"}, console, StartMode::kHelp, ""},
        {{"-h"}, console, StartMode::kHelp, ""},
        {{"--version"}, console, StartMode::kVersion, ""},
        {{"-v"}, desktop, StartMode::kVersion, ""},
        {{"-style", "fusion", "--version"}, console, StartMode::kVersion, ""},
        // A platform named on the line or in the environment needs no desktop.
        {{"-platform", "offscreen"}, console, StartMode::kWindow, ""},
        {{"--platform=vnc"}, console, StartMode::kWindow, ""},
        {{"-display", ":1"}, console, StartMode::kWindow, ""},
        {{}, {"", "", "eglfs"}, StartMode::kWindow, ""},
        // Qt's other options, in each of its spellings, go through to Qt.
        {{"-style=fusion", "--stylesheet", "a.qss", "-reverse", "-qwindowtitle", "x"}, desktop,
         StartMode::kWindow, ""},
        // The value of an option is not read as an option.
        {{"-qwindowtitle", "--bogus"}, desktop, StartMode::kWindow, ""},
        {{"-platform", "--help"}, console, StartMode::kWindow, ""},
        // Anything else is a usage error, before the display is looked at.
        {{"--bogus"}, console, StartMode::kUsageError, "--bogus"},
        {{"-x"}, desktop, StartMode::kUsageError, "-x"},
        {{"--versionx"}, desktop, StartMode::kUsageError, "--versionx"},
        {{"/dev/ttyUSB0"}, desktop, StartMode::kUsageError, "/dev/ttyUSB0"},
        {{"-"}, desktop, StartMode::kUsageError, "-"},
        {{"-style"}, desktop, StartMode::kUsageError, "-style"},
        {{"-reverse", "--bogus", "--help"}, desktop, StartMode::kUsageError, "--bogus"},
    };
    for (const auto& c : cases) {
        const StartDecision decision = DecideStart(c.arguments, c.environment);
        const std::string line = c.arguments.join(' ').toStdString();
        EXPECT_EQ(decision.mode, c.mode) << line;
        if (c.mode == StartMode::kUsageError) {
            EXPECT_TRUE(decision.problem.contains(QString::fromUtf8(c.problemNames)))
                << line << ": " << decision.problem.toStdString();
        } else {
            EXPECT_TRUE(decision.problem.isEmpty()) << line;
        }
    }
}

TEST(DecideStart, TheNoDisplayLineNamesBothVariablesInBothLanguages) {
    const QString line = NoDisplayLine();
    EXPECT_FALSE(line.contains('\n'));
    for (const char* word : {"DISPLAY", "WAYLAND_DISPLAY", "图形桌面", "graphical desktop"}) {
        EXPECT_TRUE(line.contains(QString::fromUtf8(word))) << word;
    }
}

}  // namespace
