// The serial link over Wine's real serial layer, against simulated devices
// on pseudo-terminals: COM3 is a normal device, COM4 one the tests may hang up.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "device_control.h"
#include "serial_port.h"
#include "test_support.h"

namespace {

constexpr char kCom3[] = "\\\\.\\COM3";
constexpr char kCom4[] = "\\\\.\\COM4";

// Generous: a loaded machine may take seconds to pass bytes through Wine;
// a passing test waits only as long as the bytes take.
constexpr DWORD kDeadlineMs = 15000;

// Polls `condition` every millisecond until it holds or the deadline passes.
template <typename Condition>
bool WaitUntil(Condition condition) {
    return ::WaitUntil(condition, kDeadlineMs, [] { Sleep(1); });
}

// The slowest a close may be: one that had to give up waiting for the
// reader. Anything below it let go as designed, however loaded the machine.
constexpr DWORD kCloseGaveUpMs = SerialPort::kReaderLetGoMs;

// What the accumulator holds as one line once as many bytes as `expected`
// holds have arrived, as the engine would take it at a poll.
std::string LineOnce(RxAccumulator& acc, const std::string& expected) {
    std::size_t bytes = expected.size();
    bool arrived = WaitUntil([&] { return acc.Pending() >= bytes; });
    EXPECT_TRUE(arrived) << acc.Pending() << " of " << bytes << " bytes arrived";
    RxLine line = {};
    return acc.TakeLine(line) ? std::string(line.text, line.length) : std::string("<no line>");
}

class SerialLink : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // One reader thread for the whole process, as in the program.
        port_ = new SerialPort(accumulator_);
        ASSERT_TRUE(port_->StartReader());
    }
    void SetUp() override {
        port_->Close();
        device_.Ask("mode normal");
        device_.Ask("pace on");
        device_.Ask("clear");
    }
    void TearDown() override { port_->Close(); }

    // Never destroyed: the reader thread outlives every test and main().
    static RxAccumulator& accumulator_;
    static SerialPort* port_;
    DeviceControl device_{3};
};

RxAccumulator& SerialLink::accumulator_ = *new RxAccumulator;
SerialPort* SerialLink::port_ = nullptr;

}  // namespace

TEST_F(SerialLink, OpenSetsTheLineTo9600_8N1) {
    // Leave the line in another shape first, so the open really has to set it.
    HANDLE h = CreateFileA(kCom3, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB other = {};
    other.DCBlength = sizeof other;
    GetCommState(h, &other);
    other.BaudRate = CBR_19200;
    other.ByteSize = 7;
    other.Parity = ODDPARITY;
    other.StopBits = TWOSTOPBITS;
    SetCommState(h, &other);
    CloseHandle(h);
    // A Linux pty keeps 8 data bits and no parity whatever is asked, so only
    // the rate and the stop bits can show that the open really sets the line.
    ASSERT_EQ(device_.Ask("termios"), "19200 8 N 2");

    ASSERT_TRUE(port_->Open(kCom3));
    EXPECT_TRUE(port_->IsOpen());
    EXPECT_EQ(device_.Ask("termios"), "9600 8 N 1");
}

TEST_F(SerialLink, CommandsReachTheDeviceAndAnswersTheAccumulator) {
    ASSERT_TRUE(port_->Open(kCom3));
    /* sends "AT\r\n" / device answers "OK\r\n" */
    port_->Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce(accumulator_, "OK\r\n"), "OK\r\n");
    /* sends "AT+BAUD=57600\r\n" / device answers "OK\r\n" and keeps the rate */
    port_->Write("AT+BAUD=57600\r\n", 15);
    EXPECT_EQ(LineOnce(accumulator_, "OK\r\n"), "OK\r\n");
    EXPECT_EQ(device_.Ask("rate"), "57600");
    /* sends "AT+BAUD?\r\n" / device answers "57600\r\n" */
    port_->Write("AT+BAUD?\r\n", 10);
    EXPECT_EQ(LineOnce(accumulator_, "57600\r\n"), "57600\r\n");
    EXPECT_EQ(device_.Received(), "AT\r\nAT+BAUD=57600\r\nAT+BAUD?\r\n");
}

TEST_F(SerialLink, ReplySplitAcrossTwoWritesArrivesWhole) {
    device_.Ask("mode split");
    ASSERT_TRUE(port_->Open(kCom3));
    port_->Write("AT\r\n", 4);
    // Both halves, 0.4 s apart, make one line.
    EXPECT_EQ(LineOnce(accumulator_, "OK\r\n"), "OK\r\n");
}

TEST_F(SerialLink, BytesAbove7EMakeTheReplyInvalid) {
    device_.Ask("mode garbage");
    ASSERT_TRUE(port_->Open(kCom3));
    port_->Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce(accumulator_, "\xff\xfeOK\r\n"), "<no line>");
}

TEST_F(SerialLink, BurstKeepsTheFirst512Bytes) {
    ASSERT_TRUE(port_->Open(kCom3));
    std::string head(510, 'x');
    head += "\r\n";
    std::string burst = head + std::string(300, 'y') + "\r\n";
    device_.Ask("pace off");  // at its pace, its tail would reach the next tests
    device_.Send(burst);
    EXPECT_EQ(LineOnce(accumulator_, head), head);
}

TEST_F(SerialLink, WriteAndCloseWithoutPortDoNothingAtOnce) {
    DWORD begin = GetTickCount();
    port_->Write("AT\r\n", 4);
    port_->Close();
    port_->Close();
    // A write that tried the line would wait for it; the least it waits is
    // far above what any scheduler delays a thread that does nothing.
    EXPECT_LT(GetTickCount() - begin, SerialPort::kWriteWaitMs);
    EXPECT_FALSE(port_->IsOpen());
    EXPECT_EQ(device_.Received(), "");
}

TEST_F(SerialLink, PortThatDoesNotExistDoesNotOpen) {
    EXPECT_FALSE(port_->Open("\\\\.\\COM9"));
    EXPECT_FALSE(port_->Open("\\\\.\\"));
    EXPECT_FALSE(port_->IsOpen());
}

TEST_F(SerialLink, OpenStartsAfreshWhateverTheClosedSessionLeft) {
    // A reply the program had read but no poll had judged yet, and bytes
    // that reached the line only after the close.
    for (bool readBeforeClose : {true, false}) {
        SCOPED_TRACE(readBeforeClose ? "read before the close" : "arrived while closed");
        ASSERT_TRUE(port_->Open(kCom3));
        if (readBeforeClose) {
            device_.Send("OK\r\n");
            ASSERT_TRUE(WaitUntil([&] { return accumulator_.Pending() == 4; }));
        }
        port_->Close();
        if (!readBeforeClose) {
            device_.Ask("pace off");  // so that all that is pending is at our end
            device_.Send("STALE\r\n");
            // Queued at the program's end of the line, where the open must drop it.
            EXPECT_TRUE(WaitUntil([&] { return device_.Ask("pending") == "7"; }));
        }
        ASSERT_TRUE(port_->Open(kCom3));
        EXPECT_EQ(accumulator_.Pending(), 0u);
        device_.Send("NEW\r\n");
        EXPECT_EQ(LineOnce(accumulator_, "NEW\r\n"), "NEW\r\n");
        port_->Close();
    }
}

TEST_F(SerialLink, HangUpNeitherCrashesNorFreezes) {
    DeviceControl unplugged(4);
    ASSERT_TRUE(port_->Open(kCom4));
    port_->Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce(accumulator_, "OK\r\n"), "OK\r\n");

    EXPECT_FALSE(port_->DeviceGone()) << "a wait ended by data is no unplug";
    unplugged.Ask("hangup");
    EXPECT_TRUE(WaitUntil([&] { return port_->DeviceGone(); })) << "the reader hears of it";
    DWORD begin = GetTickCount();
    for (int i = 0; i < 5; ++i) {
        port_->Write("AT\r\n", 4);
    }
    port_->Close();
    // Each write waits at most for itself and for its cancellation, the close
    // at most for the reader; a hang would be unbounded.
    EXPECT_LT(GetTickCount() - begin, 5 * 2 * SerialPort::kWriteWaitMs + kCloseGaveUpMs)
        << "writes and close after a hang-up stay bounded";
    EXPECT_FALSE(port_->IsOpen());
    EXPECT_FALSE(port_->Open(kCom4)) << "the adapter is gone";

    unplugged.Ask("reopen");
    ASSERT_TRUE(port_->Open(kCom4));
    EXPECT_FALSE(port_->DeviceGone()) << "a new session starts with its device there";
    port_->Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce(accumulator_, "OK\r\n"), "OK\r\n");
}

// Closes land while the reader waits for a character (every other cycle)
// and while the device streams without pause, so that bytes are on their
// way. After each close, what the old session had read and what it left on
// the line must both be thrown away by the next open, and the cycles must
// not leak a handle or an event.
TEST_F(SerialLink, ThousandClosesWhileTheReaderWaitsOrReads) {
    constexpr int kCycles = 1000;
    device_.Ask("pace off");  // an answer still leaving at a close would reach the next session
    DWORD slowestClose = 0;
    auto timedClose = [&] {
        DWORD closeBegin = GetTickCount();
        port_->Close();
        DWORD closeMs = GetTickCount() - closeBegin;
        slowestClose = closeMs > slowestClose ? closeMs : slowestClose;
        // What the close itself cancels is no unplug.
        ASSERT_FALSE(port_->DeviceGone());
    };
    auto cycle = [&](int number) {
        ASSERT_TRUE(port_->Open(kCom3)) << "cycle " << number;
        if (number % 2 == 0) {
            port_->Write("AT\r\n", 4);
            Sleep(number % 3);
            timedClose();
            // The device takes the AT and answers at once: the answer was
            // read before the close, or waits on the line.
            device_.Ask("clear");
        } else {
            device_.Ask("stream on");
            ASSERT_TRUE(WaitUntil([&] { return accumulator_.Pending() > 0; })) << "cycle " << number;
            timedClose();
            device_.Ask("stream off");  // what is still on the line has settled there
        }
        ASSERT_TRUE(port_->Open(kCom3)) << "cycle " << number;
        std::string mark = "MARK" + std::to_string(number) + "\r\n";
        device_.Send(mark);
        ASSERT_EQ(LineOnce(accumulator_, mark), mark) << "stale bytes after the open, cycle " << number;
        timedClose();
    };
    // A few cycles first: what is created once on first use is not a leak.
    for (int number = 0; number < 20; ++number) {
        cycle(kCycles + number);  // numbered apart from the cycles judged
    }
    HandleCensus before = TakeHandleCensus(GetCurrentProcess());
    ASSERT_GT(before.total, 0);
    DWORD begin = GetTickCount();
    for (int number = 0; number < kCycles && !HasFatalFailure(); ++number) {
        cycle(number);
    }
    HandleCensus after = TakeHandleCensus(GetCurrentProcess());
    std::printf("%d cycles (%d closes) in %lu ms, slowest close %lu ms, handles %d -> %d\n",
                kCycles, 2 * kCycles, static_cast<unsigned long>(GetTickCount() - begin),
                static_cast<unsigned long>(slowestClose), before.total, after.total);
    EXPECT_LT(slowestClose, kCloseGaveUpMs);
    // What is made once may come late on a busy machine; a leak in the
    // cycle would add a thousand.
    EXPECT_LE(after.total, before.total + kOneOffHandles)
        << "by type, before: " << before.Render() << "; after: " << after.Render();
}

// A device that takes nothing: the line's buffer towards it is full, so a
// write cannot complete. Each write must give up within its bound, closing
// must still work, and once the device reads again a reopen talks normally.
TEST_F(SerialLink, WritesToADeviceThatTakesNothingStayBounded) {
    ASSERT_TRUE(port_->Open(kCom3));
    ASSERT_NE(device_.Ask("stall on"), "0");
    // The line's own write timeout is 500 ms + 100 ms a byte: "AT" ends by
    // it (900 ms), the two longer commands outlast the 1 s wait and are
    // cancelled, and the write after a cancel must work as well.
    const std::string commands[] = {"AT\r\n", "AT+BAUD?\r\n", "AT+BAUD=115200\r\n", "AT\r\n"};
    DWORD slowestWrite = 0;
    std::string took;
    for (const std::string& command : commands) {
        DWORD begin = GetTickCount();
        port_->Write(command.data(), command.size());
        DWORD ms = GetTickCount() - begin;
        slowestWrite = ms > slowestWrite ? ms : slowestWrite;
        took += " " + std::to_string(ms);
    }
    DWORD closeBegin = GetTickCount();
    port_->Close();
    DWORD closeMs = GetTickCount() - closeBegin;
    std::printf("writes of 4, 10, 16, 4 bytes into a full line took%s ms; close %lu ms\n",
                took.c_str(), static_cast<unsigned long>(closeMs));
    // One wait of 1 s, and at most as long again for a cancelled write to
    // end; a third for the calls around them on a loaded machine. A write
    // that hung would be unbounded.
    EXPECT_LT(slowestWrite, 3 * SerialPort::kWriteWaitMs);
    EXPECT_LT(closeMs, kCloseGaveUpMs);
    EXPECT_EQ(device_.Received(), "") << "nothing got through";

    device_.Ask("stall off");
    ASSERT_TRUE(port_->Open(kCom3));
    port_->Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce(accumulator_, "OK\r\n"), "OK\r\n");
}

