// Port names, the words for a refused open, and what a command line asks
// of a start, without any device or display.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "command_line.h"
#include "tty_discovery.h"
#include "tty_port.h"

namespace {

TEST(OrderSerialNames, UsbFirstNumbersInNaturalOrderOthersLeftOut) {
    using Names = std::vector<std::string>;
    const std::pair<Names, Names> cases[] = {
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
        EXPECT_EQ(OrderSerialNames(names), ordered) << testing::PrintToString(names);
    }
}

// A /sys and /dev as the kernel lays them out for an FTDI adapter, a CDC
// ACM board with no serial number, and a built-in 8250, built in a folder.
TEST(IdentifyPort, ReadsTheAdapterFromSysAndByIdWithoutOpeningIt) {
    char folder[] = "/tmp/baudset-sys.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string root = folder;
    const auto put = [&](const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        std::ofstream(root + path) << text;
    };
    const auto link = [&](const std::string& path, const std::string& target) {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path() / target);
        std::filesystem::create_directory_symlink(target, root + path);
    };
    const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    for (const auto& [file, text] : {std::pair<std::string, std::string>{usb + "/idVendor", "0403\n"},
                                     {usb + "/idProduct", "6001\n"}, {usb + "/serial", "A50285BI\n"},
                                     {usb + "/manufacturer", "FTDI\n"},
                                     {usb + "/product", "FT232R\tUSB\x1b[2J UART\n"},
                                     {usb + "-acm/idVendor", "2e8a\n"}, {usb + "-acm/idProduct", "000a\n"},
                                     {"/dev/ttyUSB0", ""}, {"/dev/ttyACM0", ""}, {"/dev/ttyS1", ""},
                                     {"/dev/ttyUSB9", ""}}) {
        put(file, text);
    }
    link(usb + "/1-2:1.0/ttyUSB0/driver", "../../../../../../bus/usb-serial/drivers/ftdi_sio");
    link("/sys/class/tty/ttyUSB0/device", "../../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0");
    link(usb + "-acm/1-2-acm:1.0/driver", "../../../../../bus/usb/drivers/cdc_acm");
    link("/sys/class/tty/ttyACM0/device", "../../../devices/pci0000:00/0000:00:14.0/usb1/1-2-acm/1-2-acm:1.0");
    link("/sys/devices/platform/serial8250/driver", "../../../bus/platform/drivers/serial8250");
    link("/sys/class/tty/ttyS1/device", "../../../devices/platform/serial8250");
    std::filesystem::create_directories(root + "/dev/serial/by-id");
    std::filesystem::create_symlink("../../ttyUSB0", root + "/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0");
    std::filesystem::create_symlink("../../ttyUSB9", root + "/dev/serial/by-id/usb-other-if00");
    const std::pair<const char*, const char*> cases[] = {
        {"ttyUSB0", "ttyUSB0\t/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0\t0403\t6001\t"
                    "A50285BI\tFTDI\tFT232R?USB?[2J UART\tftdi_sio"},
        {"ttyACM0", "ttyACM0\t-\t2e8a\t000a\t-\t-\t-\tcdc_acm"},
        {"ttyS1", "ttyS1\t-\t-\t-\t-\t-\t-\tserial8250"},
        {"ttyS7", "ttyS7\t-\t-\t-\t-\t-\t-\t-"},
    };
    char line[2048];
    for (const auto& [name, expected] : cases) {
        EXPECT_STREQ(DescribePortIdentity(IdentifyPort(name, root), false, line, sizeof line), expected);
    }
    EXPECT_STREQ(DescribePortIdentity(IdentifyPort("ttyACM0", root), true, line, sizeof line),
                 R"({"name":"ttyACM0","by_id":null,"vendor_id":"2e8a","product_id":"000a","serial":null,)"
                 R"("manufacturer":null,"product":null,"driver":"cdc_acm"})");
    std::filesystem::remove_all(root);
}

TEST(DescribeTtyOpenFailure, KindFollowsTheCause) {
    using Kind = OpenFailure::Kind;
    const std::string path = "/dev/ttyUSB3";
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
        {ENOENT, "dialout", true, "alice", Kind::NotThere, nullptr},
        {ENXIO, "dialout", true, "alice", Kind::NotThere, nullptr},
        {ENODEV, "dialout", true, "alice", Kind::NotThere, nullptr},
        {EIO, "dialout", true, "alice", Kind::NotThere, nullptr},
        {EBUSY, "dialout", true, "alice", Kind::InUse, nullptr},
        {ENOTTY, "dialout", true, "alice", Kind::System, nullptr},
        {EINVAL, "dialout", true, "alice", Kind::System, nullptr},
    };
    for (const auto& c : cases) {
        const OpenFailure failure = DescribeTtyOpenFailure(c.error, path, c.group, c.groupMayReadWrite, c.user);
        const std::string message = failure.chinese;
        SCOPED_TRACE(testing::Message() << "errno " << c.error << ", group '" << c.group << "', rw "
                                        << c.groupMayReadWrite << ": " << message);
        // The sentences are the portable vocabulary's; here, the kind and whom they name.
        EXPECT_EQ(failure.kind, c.kind);
        EXPECT_NE(message.find(path), std::string::npos);
        EXPECT_EQ(message.find("usermod") != std::string::npos, c.command != nullptr);
        if (c.command != nullptr) {  // last, on a line of its own, to copy
            EXPECT_EQ(message.substr(message.rfind('\n') + 1), c.command);
        }
    }
}

TEST(AnswerStart, OwnOptionsFirstQtOptionsPassAndNoDisplayIsSaidNotCrashed) {
    const DisplayEnvironment desktop{":0", "", ""}, console{"", "", ""};
    const int window = StartAnswer::kOpenWindow;
    const struct {
        QStringList arguments;
        DisplayEnvironment environment;
        int status;
        const char* said;  // what the output holds; "" for no output at all
    } cases[] = {
        {{}, desktop, window, ""},
        {{}, {"", "wayland-0", ""}, window, ""},
        {{}, console, 1, "neither DISPLAY nor WAYLAND_DISPLAY is set\n"},
        // What needs no window works where there is none.
        {{"-style", "fusion", "--version"}, console, 0, "baudset 1.2+3.gabc\n"},
        {{"-h"}, console, 0, "-v, --version"},
        // A platform named on the line or in the environment needs no desktop.
        {{"--platform=vnc"}, console, window, ""},
        {{"-display", ":1"}, console, window, ""},
        {{}, {"", "", "eglfs"}, window, ""},
        // Qt's options in each of its spellings go to Qt; a value is no option.
        {{"-style=fusion", "--stylesheet", "a.qss", "-reverse", "-qwindowtitle", "--help"},
         desktop, window, ""},
        // Anything else is a usage error, before the display is looked at.
        {{"-reverse", "--versionx", "--help"}, console, 2, "'--versionx'\n用法 / usage:"},
        {{"/dev/ttyUSB0"}, desktop, 2, "takes no argument '/dev/ttyUSB0'"},
        {{"-style"}, desktop, 2, "'-style' needs a value"},
    };
    for (const auto& c : cases) {
        const StartAnswer answer = AnswerStart(c.arguments, c.environment, "1.2+3.gabc");
        const QString said = answer.standardOutput + answer.standardError;
        const std::string line = c.arguments.join(' ').toStdString();
        EXPECT_EQ(answer.status, c.status) << line;
        EXPECT_TRUE(*c.said != '\0' ? said.contains(QString::fromUtf8(c.said)) : said.isEmpty())
            << line << ": " << said.toStdString();
        // Failures go to standard error, answers to standard output.
        EXPECT_EQ(answer.standardError.isEmpty(), c.status <= 0) << line;
    }
}

}  // namespace
