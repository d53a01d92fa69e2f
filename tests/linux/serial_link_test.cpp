// SerialLink, the shared termios port under Qt's event loop, against the
// simulated device on a pty.
// Bytes arrive only through readyRead, so every wait turns the event loop.
#include <fcntl.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <fstream>
#include <utility>

#include "serial_link.h"
#include "sim_device.h"
#include "wait_until.h"

namespace {

// Generous, for a loaded machine under a sanitizer; a passing test waits
// only as long as the bytes take.
constexpr int kDeadlineMs = 15000;

// Turns the loop until `condition` holds; `turn` false only asks again, so
// that what the device reports as queued for us stays on the line.
template <typename Condition>
bool WaitUntil(Condition condition, bool turn = true) {
    QTimer tick;  // bounds each turn while the condition waits on the device
    tick.start(5);
    return ::WaitUntil(condition, kDeadlineMs, [turn] {
        if (turn) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    });
}

// /proc/self/fd lists its own descriptor too: the same in every count.
long OpenDescriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(device_.Connected()); }

    bool Open() {
        OpenFailure failure;
        bool opened = link_.Open(QString::fromStdString(device_.Link()), &failure);
        EXPECT_TRUE(opened) << failure.chinese;
        return opened;
    }
    // What the engine would take at a poll once `expected.size()` bytes are in.
    std::string LineOnce(const std::string& expected) {
        EXPECT_TRUE(WaitUntil([&] { return accumulator_.Pending() >= expected.size(); }))
            << accumulator_.Pending() << " of " << expected.size() << " bytes";
        RxLine line{};
        return accumulator_.TakeLine(line) ? std::string(line.text, line.length) : "<no line>";
    }
    // Every turn without waiting polls each notifier once: bytes queued for
    // an open port are read by the first.
    static void DeliverWhatIsQueued() {
        for (int turn = 0; turn < 3; ++turn) {
            QCoreApplication::processEvents();
        }
    }

    SimDevice device_;  // outlives the link
    RxAccumulator accumulator_;
    SerialLink link_{accumulator_};
};

TEST_F(LinkTest, OpensAt9600_8N1WithoutFlowControlAndTalks) {
    // Another shape first, so the open has to set the line. A pty keeps 8
    // data bits and no parity whatever is asked: the rate, the stop bits and
    // the flow control show it.
    int fd = ::open(device_.Link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios other{};
    ASSERT_EQ(tcgetattr(fd, &other), 0);
    cfsetspeed(&other, B19200);
    other.c_cflag |= CSTOPB | CRTSCTS;
    other.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &other), 0);
    ::close(fd);
    auto flowControl = [&] {  // hardware, software
        unsigned long iflag = 0, cflag = 0;
        const std::string raw = device_.Ask("termios raw");
        EXPECT_EQ(std::sscanf(raw.c_str(), "iflag=%lx oflag=%*x cflag=%lx", &iflag, &cflag), 2) << raw;
        return std::make_pair((cflag & CRTSCTS) != 0, (iflag & (IXON | IXOFF)) != 0);
    };
    ASSERT_EQ(device_.Ask("termios"), "19200 8 N 2");
    ASSERT_EQ(flowControl(), std::make_pair(true, true));

    ASSERT_TRUE(Open());
    EXPECT_TRUE(link_.IsOpen() && link_.IsAttached());
    EXPECT_EQ(device_.Ask("termios"), "9600 8 N 1");
    EXPECT_EQ(flowControl(), std::make_pair(false, false));
    link_.Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce("OK\r\n"), "OK\r\n");
    EXPECT_EQ(device_.Ask("received"), "AT\\r\\n");
}

// Every other close lands before the streamed bytes were read. Each cycle
// must give back every descriptor it took (probe, port, Qt's lock file): a
// leak of one a cycle shows as a thousand, and nothing else opens any.
TEST_F(LinkTest, ThousandReopensWhileStreamingKeepDescriptorsFlat) {
    constexpr int kCycles = 1000;
    device_.Ask("stream on");
    auto cycle = [&](int number) {
        ASSERT_TRUE(Open()) << "cycle " << number;
        if (number % 2 == 1) {
            ASSERT_TRUE(WaitUntil([&] { return accumulator_.Pending() > 0; })) << "cycle " << number;
        }
        link_.Close();
    };
    for (int number = 0; number < 4; ++number) {
        cycle(kCycles + number);  // what Qt makes once, on first use
    }
    const long before = OpenDescriptors();
    for (int number = 0; number < kCycles && !HasFatalFailure(); ++number) {
        cycle(number);
    }
    const long after = OpenDescriptors();
    std::printf("%d cycles, open descriptors %ld -> %ld\n", kCycles, before, after);
    EXPECT_EQ(after, before);

    device_.Ask("stream off");  // what it left on the line goes with the open
    ASSERT_TRUE(Open());
    link_.Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce("OK\r\n"), "OK\r\n");
}

TEST_F(LinkTest, UnpluggedAdapterIsLetGoWithoutSpinning) {
    ASSERT_TRUE(Open());
    link_.Write("AT\r\n", 4);
    ASSERT_EQ(LineOnce("OK\r\n"), "OK\r\n");
    device_.Ask("clear");
    device_.Ask("hangup");
    ASSERT_TRUE(WaitUntil([&] { return !link_.IsAttached(); })) << "the hung-up port is let go";
    EXPECT_TRUE(link_.IsOpen()) << "open for the panel until the technician closes it";
    OpenFailure failure;
    EXPECT_EQ(link_.FollowAdapter(&failure), SerialLink::Adapter::Gone) << "said on the next tick";
    EXPECT_EQ(link_.FollowAdapter(&failure), SerialLink::Adapter::Away) << "and said once";

    // A read notifier left on the hung-up tty fires at every poll, and the
    // loop takes all the CPU one thread gets: more than half a CPU even with
    // a busy worker on every CPU. Parked in poll() it takes next to nothing;
    // a quarter lies well between.
    QEventLoop loop;
    QTimer::singleShot(1000, &loop, &QEventLoop::quit);
    const std::clock_t cpuBegin = std::clock();  // every thread of the process
    const auto wallBegin = std::chrono::steady_clock::now();
    loop.exec();
    const double cpu = double(std::clock() - cpuBegin) / CLOCKS_PER_SEC;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBegin).count();
    std::printf("after the hang-up: %.3f s CPU in %.3f s\n", cpu, wall);
    EXPECT_LT(cpu, wall / 4);

    link_.Write("AT\r\n", 4);  // nowhere to go, and nothing kept for later
    device_.Ask("reopen");
    link_.Close();
    ASSERT_TRUE(Open());
    link_.Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce("OK\r\n"), "OK\r\n");
    EXPECT_EQ(device_.Ask("received"), "AT\\r\\n") << "only the write after the open got through";
}

TEST_F(LinkTest, PathsThatAreNoSerialPortAreRefused) {
    const std::string file = device_.Folder() + "/plain-file";
    std::ofstream(file) << "not a tty\n";
    const std::pair<std::string, OpenFailure::Kind> cases[] = {
        {device_.Folder() + "/ttyUSB7", OpenFailure::Kind::NotThere},
        {file, OpenFailure::Kind::System},
        {device_.Folder(), OpenFailure::Kind::System},
    };
    for (const auto& [path, kind] : cases) {
        SCOPED_TRACE(path);
        OpenFailure failure;
        EXPECT_FALSE(link_.Open(QString::fromStdString(path), &failure));
        EXPECT_EQ(failure.kind, kind);
        EXPECT_NE(std::string(failure.chinese).find(path), std::string::npos) << failure.chinese;
        EXPECT_FALSE(link_.IsOpen() || link_.IsAttached());
    }
}

TEST_F(LinkTest, ClosedPortAppendsNothingAndAnOpenStartsEmpty) {
    // Queued at our end of the line, then read by the turns that must not
    // read anything once the port is closed. At once, so that all that is
    // pending is at our end.
    device_.Ask("pace off");
    ASSERT_TRUE(Open());
    device_.Send("OLD\r\n");
    ASSERT_TRUE(WaitUntil([&] { return device_.Ask("pending") == "5"; }, false));
    DeliverWhatIsQueued();
    ASSERT_EQ(accumulator_.Pending(), 5u);

    link_.Close();
    device_.Send("LATE\r\n");
    ASSERT_TRUE(WaitUntil([&] { return device_.Ask("pending") == "6"; }, false));
    DeliverWhatIsQueued();
    EXPECT_EQ(accumulator_.Pending(), 5u) << "nothing appended after the close";

    ASSERT_TRUE(Open());
    EXPECT_EQ(accumulator_.Pending(), 0u) << "the closed session's reply is never judged";
    device_.Send("NEW\r\n");
    EXPECT_EQ(LineOnce("NEW\r\n"), "NEW\r\n") << "what waited on the line went with the open";
    device_.Ask("pace on");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
