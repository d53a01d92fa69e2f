#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "return_watch.h"
#include "rx_accumulator.h"
#include "served_port.h"

// The device path of a port as the technician names it: "COM3" becomes
// "\\.\COM3", which also reaches COM10 and above; a device path stays as
// it is. False when it does not fit.
bool ComDevicePath(const char* name, char* path, std::size_t size);

// The one serial port the program talks through, and the reader thread that
// feeds what the device sends into the accumulator.
//
// Threads: the UI thread opens, writes and closes; the reader thread waits
// and reads. The handle is the shared object. The reader starts an operation
// only while holding `portLock_` and only on the handle currently published
// in `port_`; Close() unpublishes the handle under that lock, aborts the
// reader's operation and waits until the reader reports it has let go before
// it releases the handle. So the reader never starts an operation on a
// released (or reused) handle and never sees a half-configured port. The
// reader appends what it read before it lets go, so nothing of a closed port
// reaches the accumulator after Close(), and Open() starts the new session
// with an empty one.
//
// An adapter pulled out mid-session makes the port's calls fail with errors
// of their own; the port remembers that for its
// owner, who may say so or, like the window, stay silent and let the
// watchdog tell. Failures caused by Close() itself are not counted: Close()
// unpublishes the handle before it cancels anything.
//
// As a loop serves it (the console program): the reader thread feeds the
// accumulator, so there is nothing to wait on, service or time; the port is
// Ready while open, Lost once its device is gone, and Closed after
// BeginClose(), which ends the reader too. The window drives the port and
// its reader itself and uses none of that.
class SerialPort final : public ServedPort {
public:
    explicit SerialPort(RxAccumulator& accumulator) : accumulator_(accumulator) {}
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens and configures `path` (such as "\\.\COM3") at 9600 8N1. A port
    // that opens but refuses a setting still counts as open.
    bool Open(const char* path);
    void Close();
    bool IsOpen() const;

    // Writes one command; blocks the caller for at most about one second.
    void Write(const char* bytes, std::size_t length) override;

    // True once a call on the open port has failed in a way that means the
    // device went away; cleared by the next Open().
    bool DeviceGone() const;

    Phase CurrentPhase() const override;
    WaitOn Waitable() const override { return WaitOn(); }
    void Service() override {}
    void OnTick() override;
    // The console program's: `path` opened, `name` as typed, so that a
    // device that goes before it spoke can be awaited and opened again.
    void KeepForReturn(const char* path, const char* name);
    bool AwaitReturn() override;
    // Close(), then StopReader(): no thread outlives the run.
    void BeginClose() override;
    // Opened before a loop serves it: an opening that failed is the
    // caller's to say, with GetLastError's words.
    const OpenFailure& OpeningFailure() const override;

    // Starts the reader thread once; in the window it lives as long as the
    // process.
    bool StartReader();
    // Ends the reader thread and waits for it, so that a program can return
    // from main with no thread left for the system to kill. Close() first.
    void StopReader();

    // How long Close() waits for the reader to let go before it releases the
    // handle anyway (the reader's record outlives the handle, so even then
    // nothing is freed under a live operation).
    static constexpr DWORD kReaderLetGoMs = 2000;
    static constexpr DWORD kWriteWaitMs = 1000;

private:
    static DWORD WINAPI ReaderMain(LPVOID self);
    void ReaderLoop();
    bool StartReaderOperation(bool waitForCharacter);
    DWORD FinishReaderOperation();
    void ReaderLetGo();
    void NoteFailure(HANDLE port, DWORD error);
    bool WaitForReaderToLetGo(HANDLE port);
    bool WriteChunk(HANDLE port, const char* bytes, DWORD length);
    bool PreviousWriteEnded();
    void RetireWrite(HANDLE port);

    RxAccumulator& accumulator_;

    // Guards `port_` and `readerBusy_`.
    mutable std::mutex portLock_;
    std::condition_variable readerIdle_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    bool readerBusy_ = false;
    bool deviceGone_ = false;
    bool readerStop_ = false;

    // The reader's own record, event and scratch: live for the whole run.
    HANDLE readerThread_ = nullptr;
    HANDLE readerEvent_ = nullptr;
    OVERLAPPED readerRecord_ = {};
    HANDLE readerPort_ = INVALID_HANDLE_VALUE;  // the handle the record's operation runs on
    DWORD readerEventMask_ = 0;
    char readerScratch_[2048] = {};
    static constexpr DWORD kReadChunk = 1024;

    // The write's record and event: reused only once the previous write has
    // really ended, so a write the driver is slow to give up stays valid.
    HANDLE writeEvent_ = nullptr;
    OVERLAPPED writeRecord_ = {};
    bool writeInFlight_ = false;
    // A private copy of the bytes being written: the caller's buffer may
    // change before a timed-out write has ended.
    char writeData_[256] = {};

    // The name to open again, on the loop's thread alone.
    char returnPath_[320] = {};
    const char* returnName_ = nullptr;
    ReturnWatch return_;
    OpenFailure reopening_ = {};
};
