#include "serial_port.h"

#include "com_open_failure.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

void ConfigureLine(HANDLE port) {
    // Results are not checked on purpose: a port that opens but refuses a
    // setting is still offered to the dialogue, which then simply gets no
    // valid replies.
    SetCommMask(port, EV_RXCHAR);
    SetupComm(port, 2048, 2048);

    // Reads return at once with whatever has arrived; the reader waits for
    // characters with WaitCommEvent instead.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 100;
    timeouts.WriteTotalTimeoutConstant = 500;
    SetCommTimeouts(port, &timeouts);

    DCB line = {};
    line.DCBlength = sizeof line;
    GetCommState(port, &line);
    line.BaudRate = CBR_9600;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    SetCommState(port, &line);

    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

// Whether `error` from ReadFile, WaitCommEvent or ClearCommError on an open
// port means that its device is gone (a USB adapter pulled out).
bool MeansDeviceGone(DWORD error) {
    switch (error) {
    // What Windows' serial drivers answer once their device is removed.
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:
    // What Wine answers once the line's other end has hung up: a read fails
    // with a broken pipe, ClearCommError with "not ready".
    case ERROR_BROKEN_PIPE:
    case ERROR_NOT_READY:
        return true;
    default:
        return false;
    }
}

// Clears the line's errors, as every write does first; false only when the
// port's device is gone, the one state in which ClearCommError fails so.
bool LineAnswers(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status = {};
    return ClearCommError(port, &errors, &status) || !MeansDeviceGone(GetLastError());
}

}  // namespace

bool ComDevicePath(const char* name, char* path, std::size_t size) {
    const char* prefix = std::strncmp(name, "\\\\.\\", 4) == 0 ? "" : "\\\\.\\";
    const int length = std::snprintf(path, size, "%s%s", prefix, name);
    return length >= 0 && static_cast<std::size_t>(length) < size;
}

bool SerialPort::Open(const char* path) {
    Close();
    // Nothing read from the previous port can arrive any more (the reader
    // appends only before it lets go, and Close() waited for that), and the
    // new port is not yet published: whatever the accumulator holds now
    // belongs to a closed session and must not be judged in this one.
    accumulator_.Clear();
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return false;
    }
    ConfigureLine(port);
    // Published only now, fully configured.
    std::lock_guard<std::mutex> hold(portLock_);
    port_ = port;
    deviceGone_ = false;
    return true;
}

bool SerialPort::DeviceGone() const {
    std::lock_guard<std::mutex> hold(portLock_);
    return deviceGone_;
}

// Called with `portLock_` held. A wait or read can also fail with these
// errors while the device is there (Wine ends every wait on a pty with
// "aborted", as its modem lines cannot be read), so the line's own state
// decides: ClearCommError fails only on a port whose device is gone. Only
// the published handle is asked: Close() unpublishes before it cancels, so
// its own cancellations never count, and the handle stays valid while the
// lock is held.
void SerialPort::NoteFailure(HANDLE port, DWORD error) {
    if (deviceGone_ || port != port_ || port == INVALID_HANDLE_VALUE || !MeansDeviceGone(error)) {
        return;
    }
    deviceGone_ = !LineAnswers(port);
}

bool SerialPort::IsOpen() const {
    std::lock_guard<std::mutex> hold(portLock_);
    return port_ != INVALID_HANDLE_VALUE;
}

void SerialPort::Close() {
    HANDLE port;
    {
        std::lock_guard<std::mutex> hold(portLock_);
        port = port_;
        port_ = INVALID_HANDLE_VALUE;  // the reader starts nothing new on it
    }
    if (port == INVALID_HANDLE_VALUE) {
        return;
    }
    // Clearing the mask completes the reader's wait; the purge and the
    // cancel end any read or write still under way.
    SetCommMask(port, 0);
    PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    CancelIoEx(port, nullptr);
    WaitForReaderToLetGo(port);
    CloseHandle(port);
}

ServedPort::Phase SerialPort::CurrentPhase() const {
    if (return_.Awaiting()) {
        return Phase::Opening;
    }
    std::lock_guard<std::mutex> hold(portLock_);
    if (port_ == INVALID_HANDLE_VALUE) {
        return Phase::Closed;
    }
    return deviceGone_ ? Phase::Lost : Phase::Ready;
}

const OpenFailure& SerialPort::OpeningFailure() const { return reopening_; }

void SerialPort::KeepForReturn(const char* path, const char* name) {
    std::snprintf(returnPath_, sizeof returnPath_, "%s", path);
    returnName_ = name;
}

// The handle of a device that is gone holds nothing worth keeping; the
// reader waits for the next session.
bool SerialPort::AwaitReturn() {
    if (returnName_ == nullptr || !DeviceGone()) {
        return false;
    }
    Close();
    return_.Begin();
    return true;
}

// The opening is the look: a COM name that is not there costs nothing.
void SerialPort::OnTick() {
    if (!return_.TimeToLook()) {
        return;
    }
    if (Open(returnPath_)) {
        return_.End();
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return_.NameNotThere();
        return;
    }
    reopening_ = DescribeComOpenFailure(error, returnName_);
    return_.StillAwaitedAfter(reopening_.kind);  // if not, Closed with these words
}

// The reader is ended here, not by the process's end: a thread that exit
// has to kill keeps the process alive past its answer, and Wine's server
// ends such a process with SIGKILL.
void SerialPort::BeginClose() {
    return_.End();
    Close();
    StopReader();
}

bool SerialPort::WaitForReaderToLetGo(HANDLE port) {
    std::unique_lock<std::mutex> hold(portLock_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReaderLetGoMs);
    while (readerBusy_) {
        // Cancel again now and then, in case the operation was not yet
        // cancellable when the first cancel came.
        if (readerIdle_.wait_for(hold, std::chrono::milliseconds(20)) == std::cv_status::timeout) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            CancelIoEx(port, nullptr);
        }
    }
    return true;
}

// --- writing -----------------------------------------------------------

void SerialPort::Write(const char* bytes, std::size_t length) {
    HANDLE port;
    {
        std::lock_guard<std::mutex> hold(portLock_);
        port = port_;
    }
    // Only the UI thread opens, closes and writes, so the handle stays valid
    // for the rest of this call.
    if (port == INVALID_HANDLE_VALUE || bytes == nullptr) {
        return;
    }
    if (!LineAnswers(port)) {
        std::lock_guard<std::mutex> hold(portLock_);
        deviceGone_ = true;  // only this thread changes the port: it is still the open one
        return;              // nothing can reach a device that is gone
    }

    while (length > 0) {
        DWORD chunk = static_cast<DWORD>(length < sizeof writeData_ ? length : sizeof writeData_);
        if (!WriteChunk(port, bytes, chunk)) {
            return;
        }
        bytes += chunk;
        length -= chunk;
    }
}

bool SerialPort::PreviousWriteEnded() {
    if (!writeInFlight_) {
        return true;
    }
    if (WaitForSingleObject(writeEvent_, 0) == WAIT_OBJECT_0) {
        writeInFlight_ = false;
        return true;
    }
    return false;
}

bool SerialPort::WriteChunk(HANDLE port, const char* bytes, DWORD length) {
    if (writeEvent_ == nullptr) {
        writeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (writeEvent_ == nullptr) {
            return false;
        }
    }
    // A write the driver never gave up holds our record and buffer; until it
    // ends, later writes are dropped rather than reuse them.
    if (!PreviousWriteEnded()) {
        return false;
    }
    std::memcpy(writeData_, bytes, length);
    std::memset(&writeRecord_, 0, sizeof writeRecord_);
    ResetEvent(writeEvent_);
    writeRecord_.hEvent = writeEvent_;

    if (WriteFile(port, writeData_, length, nullptr, &writeRecord_)) {
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    writeInFlight_ = true;
    if (WaitForSingleObject(writeEvent_, kWriteWaitMs) == WAIT_OBJECT_0) {
        writeInFlight_ = false;
        return true;
    }
    RetireWrite(port);
    return false;
}

void SerialPort::RetireWrite(HANDLE port) {
    // Give up on the write, but keep its record, event and data untouched
    // until the cancellation has really completed.
    CancelIoEx(port, &writeRecord_);
    if (WaitForSingleObject(writeEvent_, kWriteWaitMs) == WAIT_OBJECT_0) {
        writeInFlight_ = false;
    }
}

// --- reading -----------------------------------------------------------

bool SerialPort::StartReader() {
    if (readerThread_ != nullptr) {
        return true;
    }
    readerThread_ = CreateThread(nullptr, 0, ReaderMain, this, 0, nullptr);
    return readerThread_ != nullptr;
}

void SerialPort::StopReader() {
    if (readerThread_ == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(portLock_);
        readerStop_ = true;
    }
    // With no port open the reader is between 1 ms sleeps and sees the
    // request at once; an operation still under way is Close()'s to end.
    WaitForSingleObject(readerThread_, kReaderLetGoMs);
    CloseHandle(readerThread_);
    readerThread_ = nullptr;
}

DWORD WINAPI SerialPort::ReaderMain(LPVOID self) {
    static_cast<SerialPort*>(self)->ReaderLoop();
    return 0;
}

bool SerialPort::StartReaderOperation(bool waitForCharacter) {
    std::lock_guard<std::mutex> hold(portLock_);
    if (port_ == INVALID_HANDLE_VALUE || readerStop_) {
        return false;
    }
    readerPort_ = port_;
    std::memset(&readerRecord_, 0, sizeof readerRecord_);
    ResetEvent(readerEvent_);
    readerRecord_.hEvent = readerEvent_;
    BOOL done;
    if (waitForCharacter) {
        // The mask is written when the wait completes, possibly long after
        // this call, so it lives in the object; it is never looked at.
        done = WaitCommEvent(port_, &readerEventMask_, &readerRecord_);
    } else {
        done = ReadFile(port_, readerScratch_, kReadChunk, nullptr, &readerRecord_);
    }
    if (!done) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            NoteFailure(port_, error);
            return false;
        }
    }
    readerBusy_ = true;
    return true;
}

DWORD SerialPort::FinishReaderOperation() {
    // Waits on the reader's own event, never on the port: Close() may have
    // released the handle by the time a stubborn operation ends. Once the
    // event is set, GetOverlappedResult only reads the record.
    WaitForSingleObject(readerEvent_, INFINITE);
    DWORD count = 0;
    if (!GetOverlappedResult(readerPort_, &readerRecord_, &count, FALSE)) {
        const DWORD error = GetLastError();
        std::lock_guard<std::mutex> hold(portLock_);
        NoteFailure(readerPort_, error);
        return 0;
    }
    return count;
}

void SerialPort::ReaderLetGo() {
    {
        std::lock_guard<std::mutex> hold(portLock_);
        readerBusy_ = false;
    }
    readerIdle_.notify_all();
}

void SerialPort::ReaderLoop() {
    // Without its event the reader could not tell when an operation ends,
    // so it starts none until it has one.
    while ((readerEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr)) == nullptr) {
        Sleep(1);
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(portLock_);
            if (readerStop_) {
                CloseHandle(readerEvent_);
                readerEvent_ = nullptr;
                return;
            }
        }
        if (!StartReaderOperation(true)) {
            Sleep(1);  // no port, or the wait failed: try again shortly
            continue;
        }
        FinishReaderOperation();
        ReaderLetGo();

        if (!StartReaderOperation(false)) {
            Sleep(1);
            continue;
        }
        DWORD count = FinishReaderOperation();
        // Appended before letting go: once Close() has seen the reader let
        // go, nothing read from that port can reach the accumulator later.
        if (count > 0) {
            accumulator_.Append(readerScratch_, count);
        }
        ReaderLetGo();
        if (count == 0) {
            // A wait that ends without data (mask cleared, line gone) would
            // otherwise turn this loop into a busy spin.
            Sleep(1);
        }
    }
}
