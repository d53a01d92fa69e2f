#pragma once

#include <termios.h>

#include <cstddef>
#include <string>

#include "found_line.h"
#include "open_failure.h"
#include "return_watch.h"
#include "rx_accumulator.h"
#include "served_port.h"

// The device path of a port as the technician names it: a /dev name
// ("ttyUSB0") or any path to the node, such as a udev link.
std::string TtyDevicePath(const char* name);

// Finds the kind of an open(2) failure of `path`. Kept apart from the port
// itself so that each cause can be checked without the cause at hand.
// `groupOfDevice` and `userName` name the adapter's group and the user; an
// empty group means the device's group could not be read.
OpenFailure DescribeTtyOpenFailure(int error, const std::string& path,
                                   const std::string& groupOfDevice, bool groupMayReadWrite,
                                   const std::string& userName);

// The one serial port of a Linux program, on termios alone: 9600 8N1, raw,
// no flow control, and never blocking. It knows nothing of an event loop:
// the owner watches Descriptor() (readable, and writable while
// WantsToWrite()) and calls ReadAvailable() and WriteQueued() when it is.
// Both programs, the window and the terminal one, use this one class; the
// terminal one serves it in its loop, opened before the loop begins.
class TtyPort : public ServedPort {
public:
    // The most that may wait unwritten, ours and the driver's together, as
    // much as a Windows driver queue holds. A line that takes nothing must
    // not grow the program: the commands beyond it are dropped, as the
    // device would never see them.
    static constexpr std::size_t kMaxQueued = 2048;

    explicit TtyPort(RxAccumulator& accumulator) : accumulator_(accumulator) {}
    ~TtyPort() { Close(); }
    TtyPort(const TtyPort&) = delete;
    TtyPort& operator=(const TtyPort&) = delete;

    // Opens `path` afresh (closing any port first): a /dev name, or any path
    // to the node such as a udev symlink. On failure, says why.
    bool Open(const std::string& path, OpenFailure* failure);
    // Unwritten commands go with the port, and so does the lock; the line's
    // settings and its exclusive mode are put back as the open found them.
    void Close();

    // True from a successful Open until Close, even after the adapter went
    // away: the dialogue goes on and its watchdog tells the technician.
    bool IsOpen() const { return open_; }
    // The device is still there to be written to and read from.
    bool IsAttached() const { return fd_ >= 0; }
    // -1 once the port is let go.
    int Descriptor() const { return fd_; }
    bool WantsToWrite() const { return queued_ > 0; }
    // The line was found at a speed the close cannot put back here (the
    // kernel's exact settings could not be read): it is left at 9600 8N1.
    bool SpeedLeftAt9600() const { return speedLeftAt9600_; }

    // Everything the driver holds goes into the accumulator. A hang-up
    // (the adapter unplugged, a pty's other side gone) lets the port go:
    // afterwards IsAttached() is false and nothing is watched any more.
    void ReadAvailable();
    void WriteQueued();

    void Write(const char* bytes, std::size_t length) override;

    // As the terminal loop serves it: Ready while attached, Lost once let
    // go, Closed after Close().
    Phase CurrentPhase() const override;
    WaitOn Waitable() const override;
    void Service() override;
    void OnTick() override;
    void BeginClose() override;
    const OpenFailure& OpeningFailure() const override;
    bool AwaitReturn() override;

private:
    int Configure();  // 0, or the errno of the request that failed
    void LetGo();

    RxAccumulator& accumulator_;
    int fd_ = -1;
    bool open_ = false;
    std::string lockPath_;  // ours to remove; empty if we hold none
    std::string path_;      // as opened, for the name's return
    ReturnWatch return_;
    OpenFailure reopening_;
    // What the open found, to leave behind at the close: the kernel keeps
    // both with the port, not with our descriptor, for whoever opens next.
    // The speed as a number where the kernel gives it; the C library's
    // settings where it does not (an emulator that knows no termios2).
    termios foundLine_ = {};
    FoundLine foundExactLine_ = {};
    bool restoreLine_ = false;
    bool foundExactly_ = false;
    bool speedLeftAt9600_ = false;
    bool exclusiveIsOurs_ = false;
    char queue_[kMaxQueued] = {};
    std::size_t queued_ = 0;
};
