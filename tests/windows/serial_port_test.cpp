// The serial link over Wine's real serial layer, against simulated devices
// on pseudo-terminals: COM3 is a normal device, COM4 one the tests may hang up.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "device_control.h"
#include "serial_port.h"

namespace {

constexpr char kCom3[] = "\\\\.\\COM3";
constexpr char kCom4[] = "\\\\.\\COM4";

// Generous: a loaded machine may take seconds to pass bytes through Wine;
// a passing test waits only as long as the bytes take.
constexpr DWORD kDeadlineMs = 15000;

// Polls `condition` every millisecond until it holds or the deadline passes.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = kDeadlineMs) {
    DWORD begin = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - begin >= timeoutMs) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

// What the accumulator holds as one line once `bytes` bytes have arrived,
// as the engine would take it at a poll.
std::string LineOnce(RxAccumulator& acc, std::size_t bytes) {
    bool arrived = WaitUntil([&] { return acc.Pending() >= bytes; });
    EXPECT_TRUE(arrived) << acc.Pending() << " of " << bytes << " bytes arrived";
    RxLine line = {};
    return acc.TakeLine(line) ? std::string(line.text, line.length) : std::string("<no line>");
}

std::string LineOnce(RxAccumulator& acc, const std::string& expected) {
    return LineOnce(acc, expected.size());
}

// Until what the device sent is queued at the program's end of the line,
// where the next open has to throw it away.
void WaitUntilQueued(DeviceControl& device, std::size_t bytes) {
    EXPECT_TRUE(WaitUntil([&] { return std::stoul("0" + device.Ask("pending")) >= bytes; }))
        << "device's bytes never reached the line";
}

// Counts the valid handles of the process by trying each handle value: Wine
// answers GetProcessHandleCount with 0, whatever is open.
DWORD CountHandles() {
    DWORD count = 0;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(value),
                            GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            CloseHandle(copy);
            ++count;
        }
    }
    return count;
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
    device_.Ask("send " + Hex(burst));
    EXPECT_EQ(LineOnce(accumulator_, RxAccumulator::kCapacity), head);
}

TEST_F(SerialLink, WriteAndCloseWithoutPortDoNothingAtOnce) {
    DWORD begin = GetTickCount();
    port_->Write("AT\r\n", 4);
    port_->Close();
    port_->Close();
    EXPECT_LT(GetTickCount() - begin, 50u);
    EXPECT_FALSE(port_->IsOpen());
    Sleep(100);
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
            device_.Ask("send " + Hex("OK\r\n"));
            ASSERT_TRUE(WaitUntil([&] { return accumulator_.Pending() == 4; }));
        }
        port_->Close();
        if (!readBeforeClose) {
            device_.Ask("send " + Hex("STALE\r\n"));
            WaitUntilQueued(device_, 7);
        }
        ASSERT_TRUE(port_->Open(kCom3));
        EXPECT_EQ(accumulator_.Pending(), 0u);
        device_.Ask("send " + Hex("NEW\r\n"));
        EXPECT_EQ(LineOnce(accumulator_, "NEW\r\n"), "NEW\r\n");
        port_->Close();
    }
}

TEST_F(SerialLink, CloseWhileTheReaderWaitsRepeatedly) {
    // Each round: open, let the reader settle into its wait, close under it.
    // Stale bytes sent between rounds must never show up after a reopen.
    constexpr int kRounds = 300;
    DWORD worstCloseMs = 0;
    DWORD begin = GetTickCount();
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_TRUE(port_->Open(kCom3)) << "round " << round;
        if (round % 10 == 0) {
            port_->Write("AT\r\n", 4);
        }
        Sleep(round % 3);
        DWORD closeBegin = GetTickCount();
        port_->Close();
        DWORD closeMs = GetTickCount() - closeBegin;
        worstCloseMs = closeMs > worstCloseMs ? closeMs : worstCloseMs;
    }
    DWORD totalMs = GetTickCount() - begin;
    std::printf("%d close/reopen rounds in %lu ms, slowest close %lu ms\n", kRounds,
                static_cast<unsigned long>(totalMs), static_cast<unsigned long>(worstCloseMs));
    EXPECT_LT(worstCloseMs, 1000u);

    device_.Ask("send " + Hex("STALE\r\n"));
    WaitUntilQueued(device_, 7);
    ASSERT_TRUE(port_->Open(kCom3));
    port_->Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce(accumulator_, "OK\r\n"), "OK\r\n");
}

TEST_F(SerialLink, HangUpNeitherCrashesNorFreezes) {
    DeviceControl unplugged(4);
    ASSERT_TRUE(port_->Open(kCom4));
    port_->Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce(accumulator_, "OK\r\n"), "OK\r\n");

    unplugged.Ask("hangup");
    DWORD begin = GetTickCount();
    for (int i = 0; i < 5; ++i) {
        port_->Write("AT\r\n", 4);
    }
    port_->Close();
    EXPECT_LT(GetTickCount() - begin, 2500u) << "writes and close after a hang-up stay bounded";
    EXPECT_FALSE(port_->IsOpen());
    EXPECT_FALSE(port_->Open(kCom4)) << "the adapter is gone";

    unplugged.Ask("reopen");
    ASSERT_TRUE(port_->Open(kCom4));
    port_->Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce(accumulator_, "OK\r\n"), "OK\r\n");
}

// Every close lands while bytes are on their way: the device streams without
// pause. After each close, what the old session had read and what it left on
// the line must both be thrown away by the next open, and the cycles must not
// leak a handle or an event.
TEST_F(SerialLink, ThousandClosesWhileTheDeviceStreams) {
    constexpr int kCycles = 1000;
    DWORD slowestClose = 0;
    auto timedClose = [&] {
        DWORD closeBegin = GetTickCount();
        port_->Close();
        DWORD closeMs = GetTickCount() - closeBegin;
        slowestClose = closeMs > slowestClose ? closeMs : slowestClose;
    };
    auto cycle = [&](int number) {
        ASSERT_TRUE(port_->Open(kCom3)) << "cycle " << number;
        device_.Ask("stream on");
        ASSERT_TRUE(WaitUntil([&] { return accumulator_.Pending() > 0; })) << "cycle " << number;
        timedClose();
        device_.Ask("stream off");  // what is still on the line has settled there
        ASSERT_TRUE(port_->Open(kCom3)) << "cycle " << number;
        std::string mark = "MARK" + std::to_string(number) + "\r\n";
        device_.Ask("send " + Hex(mark));
        ASSERT_EQ(LineOnce(accumulator_, mark), mark) << "stale bytes after the open, cycle " << number;
        timedClose();
    };
    // A few cycles first: the threads library creates its wait objects on
    // first contention, which is not a leak.
    for (int number = 0; number < 20; ++number) {
        cycle(-number);
    }
    DWORD handlesBefore = CountHandles();
    ASSERT_GT(handlesBefore, 0u);
    DWORD begin = GetTickCount();
    for (int number = 0; number < kCycles && !HasFatalFailure(); ++number) {
        cycle(number);
    }
    DWORD handlesAfter = CountHandles();
    std::printf("%d streaming cycles (%d closes) in %lu ms, slowest close %lu ms, handles %lu -> %lu\n",
                kCycles, 2 * kCycles, static_cast<unsigned long>(GetTickCount() - begin),
                static_cast<unsigned long>(slowestClose), static_cast<unsigned long>(handlesBefore),
                static_cast<unsigned long>(handlesAfter));
    EXPECT_LT(slowestClose, 1000u);
    // The threads library creates a lock's wait object the first time two
    // threads meet on it, which a busy machine may put off past the warm-up:
    // a few, once (two locks, one condition variable). A leak in the cycle
    // would add a thousand.
    EXPECT_GE(handlesAfter, handlesBefore);
    EXPECT_LE(handlesAfter, handlesBefore + 4);
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
    // One wait of 1 s, and at most as long again for a cancelled write to end.
    EXPECT_LT(slowestWrite, 2100u);
    EXPECT_LT(closeMs, 1000u);
    EXPECT_EQ(device_.Received(), "") << "nothing got through";

    device_.Ask("stall off");
    ASSERT_TRUE(port_->Open(kCom3));
    port_->Write("AT\r\n", 4);
    EXPECT_EQ(LineOnce(accumulator_, "OK\r\n"), "OK\r\n");
}

