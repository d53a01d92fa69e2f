#include "tty_port.h"

#include "tty_discovery.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char kLockFolder[] = "/var/lock/";

std::string UserName() {
    const passwd* user = getpwuid(getuid());
    return user != nullptr ? std::string(user->pw_name) : std::to_string(getuid());
}

OpenFailure Explain(int error, const std::string& path) {
    std::string groupName;
    bool groupMayReadWrite = false;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        const group* owner = getgrgid(info.st_gid);
        groupName = owner != nullptr ? std::string(owner->gr_name) : std::to_string(info.st_gid);
        groupMayReadWrite = (info.st_mode & S_IRGRP) && (info.st_mode & S_IWGRP);
    }
    return DescribeTtyOpenFailure(error, path, groupName, groupMayReadWrite, UserName());
}

// The kernel's name of the port behind `path`: a udev symlink and the
// name it points to are one port. "ttyUSB0" for /dev/ttyUSB0.
std::string KernelName(const std::string& path) {
    char resolved[PATH_MAX];
    std::string name = ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    if (name.compare(0, 5, "/dev/") == 0) {
        name.erase(0, 5);
    } else {
        name.erase(0, name.rfind('/') + 1);
    }
    return name;
}

// Serial ports are locked by their /dev name, in the UUCP manner that
// minicom, picocom and the rest follow: /var/lock/LCK..ttyUSB0 holding the
// owner's PID.
std::string LockPathFor(const std::string& kernelName) {
    std::string name = kernelName;
    for (char& c : name) {
        c = c == '/' ? '_' : c;  // /dev/pts/5: one file, not a folder
    }
    return kLockFolder + ("LCK.." + name);
}

enum class Lock { Taken, NowhereToPut, Held, InTheWay, Stale };

// Anyone may write in the lock folder: a FIFO there would hold an open for
// ever (with the signals blocked for the signalfd), a link would be followed
// to whatever it names, a device whose open raises DTR. Only a regular file
// is a lock.
bool SomethingInTheWay(const std::string& lockPath) {
    struct stat info {};
    return ::lstat(lockPath.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

// Held, InTheWay, or Stale: its owner died, or it went meanwhile. Read without following a link, without waiting and
// without becoming our terminal.
Lock ReadLock(const std::string& lockPath) {
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? Lock::Stale
                               : SomethingInTheWay(lockPath) ? Lock::InTheWay : Lock::Held;
    }
    struct stat info {};
    char text[64] = {};
    const bool isFile = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const ssize_t length = isFile ? ::read(fd, text, sizeof text - 1) : 0;
    ::close(fd);
    if (!isFile) {
        return Lock::InTheWay;
    }
    char* end = nullptr;
    const long pid = length > 0 ? std::strtol(text, &end, 10) : 0;
    // A lock being written this very moment has no PID yet; one we cannot
    // read is not ours to judge. Both count as held.
    if (pid <= 0 || pid > INT_MAX) {
        return Lock::Held;
    }
    const bool alive = ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    return alive ? Lock::Held : Lock::Stale;
}

// A lock whose owner has died (a crash, a pulled plug) is taken over. One
// that cannot be removed stays and is named to the technician, for
// whoever may remove it. Where no lock can be made at all (no /var/lock in
// a bare chroot, no right to write there), the port's exclusive mode is
// the only guard, as it is for programs that keep no locks.
Lock TakeLock(const std::string& lockPath) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(lockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char pid[16];
            const int length = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(::getpid()));
            const bool written = ::write(fd, pid, static_cast<std::size_t>(length)) == length;
            ::close(fd);
            if (!written) {
                ::unlink(lockPath.c_str());
                return Lock::NowhereToPut;
            }
            return Lock::Taken;
        }
        if (errno != EEXIST) {
            return Lock::NowhereToPut;
        }
        const Lock found = ReadLock(lockPath);
        if (found != Lock::Stale) {
            return found;
        }
        if (::unlink(lockPath.c_str()) != 0 && errno != ENOENT) {
            return Lock::Held;
        }
    }
    return Lock::Held;
}

// An 8250 port the kernel found no UART behind opens, and then answers
// every request with EIO. /sys says so beforehand where it can, but it may be
// missing (a chroot), name the device otherwise (a container) or be root's
// alone (some board kernels): the open's own requests then tell.
OpenFailure RefusedAfterOpen(int error, const std::string& path) {
    OpenFailureCause cause;
    if (error == EIO) {
        cause.kind = OpenFailure::Kind::NoUart;
    } else {
        cause.words = std::strerror(error);
    }
    return DescribeOpenFailure(path.c_str(), cause);
}

OpenFailure LockedOut(OpenFailure::Kind kind, const std::string& path, const std::string& lockPath) {
    OpenFailureCause cause;
    cause.kind = kind;
    cause.lockFile = lockPath.c_str();
    return DescribeOpenFailure(path.c_str(), cause);
}

bool IsHangUp(int fd) {
    pollfd state{fd, POLLIN, 0};
    return ::poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

std::string TtyDevicePath(const char* name) {
    return std::strchr(name, '/') != nullptr ? std::string(name) : "/dev/" + std::string(name);
}

OpenFailure DescribeTtyOpenFailure(int error, const std::string& path,
                                   const std::string& groupOfDevice, bool groupMayReadWrite,
                                   const std::string& userName) {
    OpenFailureCause cause;
    switch (error) {
    case EACCES:
    case EPERM:
        cause.kind = OpenFailure::Kind::Denied;
        // Only a group that may read and write is one to join.
        if (groupMayReadWrite) {
            cause.group = groupOfDevice.c_str();
            cause.user = userName.c_str();
        }
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
        cause.kind = OpenFailure::Kind::NotThere;
        break;
    case EBUSY:
        cause.kind = OpenFailure::Kind::InUse;
        break;
    default:
        cause.words = std::strerror(error);
        break;
    }
    return DescribeOpenFailure(path.c_str(), cause);
}

bool TtyPort::Open(const std::string& path, OpenFailure* failure) {
    Close();
    speedLeftAt9600_ = false;
    const std::string kernelName = KernelName(path);
    // Such a port opens, and then every request on it fails with words that
    // would send the technician looking for the wrong fault.
    if (!KernelFoundUart(kernelName)) {
        OpenFailureCause noUart;
        noUart.kind = OpenFailure::Kind::NoUart;
        *failure = DescribeOpenFailure(path.c_str(), noUart);
        return false;
    }
    // Before the port is touched: its open would raise DTR.
    const std::string lockPath = LockPathFor(kernelName);
    if (SomethingInTheWay(lockPath)) {
        *failure = LockedOut(OpenFailure::Kind::InTheWay, path, lockPath);
        return false;
    }
    // Another program's exclusive mode refuses us here with EBUSY.
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        *failure = Explain(errno, path);
        return false;
    }
    if (!::isatty(fd_)) {
        *failure = errno == EIO ? RefusedAfterOpen(EIO, path) : Explain(ENOTTY, path);
        LetGo();
        return false;
    }
    const Lock lock = TakeLock(lockPath);
    if (lock != Lock::Taken && lock != Lock::NowhereToPut) {
        *failure = LockedOut(lock == Lock::InTheWay ? OpenFailure::Kind::InTheWay
                                                    : OpenFailure::Kind::InUse, path, lockPath);
        LetGo();
        return false;
    }
    lockPath_ = lock == Lock::Taken ? lockPath : "";
    if (const int error = Configure()) {
        *failure = RefusedAfterOpen(error, path);
        LetGo();
        return false;
    }
    // What a closed session received is never judged in the next one.
    accumulator_.Clear();
    open_ = true;
    path_ = path;
    return true;
}

// The device always talks at 9600 8N1: whatever rate it is told to use
// later, this side of the line never changes. Exclusive mode keeps other
// programs out while we talk, as a Windows port is kept (root is not kept
// out by it, which is what the lock is for). A mode that root finds set is
// another program's, and stays set after us.
int TtyPort::Configure() {
    int exclusive = 0;
    if (::ioctl(fd_, TIOCGEXCL, &exclusive) != 0) {
        exclusive = 0;  // a kernel before 3.8 cannot say; then it was ours
    }
    if (!exclusive) {
        if (::ioctl(fd_, TIOCEXCL) != 0) {
            return errno;
        }
        exclusiveIsOurs_ = true;
    }
    termios line{};
    if (::tcgetattr(fd_, &line) != 0) {
        return errno;
    }
    foundLine_ = line;
    foundExactly_ = ReadFoundLine(fd_, &foundExactLine_) == 0;
    speedLeftAt9600_ = !foundExactly_ && !PlainCallsCarrySpeed(line.c_cflag);
    restoreLine_ = !speedLeftAt9600_;
    ::cfmakeraw(&line);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | CRTSCTS);
    line.c_cflag |= CS8 | CREAD | CLOCAL;
    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    if (::cfsetispeed(&line, B9600) != 0 || ::cfsetospeed(&line, B9600) != 0 ||
        ::tcsetattr(fd_, TCSANOW, &line) != 0) {
        return errno;
    }
    // What waited on the line before the open belongs to no session.
    ::tcflush(fd_, TCIOFLUSH);
    return 0;
}

void TtyPort::Close() {
    open_ = false;
    if (fd_ >= 0) {
        // Unwritten commands go with the port: the device must not get an
        // "AT" from a session the technician has ended.
        ::tcflush(fd_, TCOFLUSH);
    }
    LetGo();
}

// Every way out passes here: a close, a hang-up, an open that failed
// half-way. On a hung-up port the two requests fail, and the kernel drops
// the port's state with it.
void TtyPort::LetGo() {
    if (fd_ >= 0) {
        if (restoreLine_ && !(foundExactly_ && PutBackFoundLine(fd_, foundExactLine_) == 0)) {
            ::tcsetattr(fd_, TCSANOW, &foundLine_);
        }
        if (exclusiveIsOurs_) {
            ::ioctl(fd_, TIOCNXCL);
        }
        ::close(fd_);
        fd_ = -1;
    }
    restoreLine_ = foundExactly_ = exclusiveIsOurs_ = false;
    queued_ = 0;
    if (!lockPath_.empty()) {
        ::unlink(lockPath_.c_str());
        lockPath_.clear();
    }
}

void TtyPort::ReadAvailable() {
    char buffer[1024];
    while (fd_ >= 0) {
        const ssize_t count = ::read(fd_, buffer, sizeof buffer);
        if (count > 0) {
            accumulator_.Append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        // Raw and non-blocking, an empty line reads 0, and so does a hung-up
        // tty (a pty whose other side closed: EIO). Only a hang-up polls as
        // one, and then for ever: a watcher left on it would take a whole
        // CPU. Any other failed read leaves the port alone, as a line error
        // leaves it on Windows.
        if ((count == 0 || errno != EAGAIN) && IsHangUp(fd_)) {
            LetGo();
        }
        return;
    }
}

void TtyPort::WriteQueued() {
    while (fd_ >= 0 && queued_ > 0) {
        const ssize_t count = ::write(fd_, queue_, queued_);
        if (count > 0) {
            queued_ -= static_cast<std::size_t>(count);
            std::memmove(queue_, queue_ + count, queued_);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            if (count < 0 && errno != EAGAIN) {
                queued_ = 0;  // the line is gone: nothing will ever take it
            }
            return;
        }
    }
}

void TtyPort::Write(const char* bytes, std::size_t length) {
    if (fd_ < 0) {
        return;
    }
    int inDriver = 0;
    if (::ioctl(fd_, TIOCOUTQ, &inDriver) != 0 || inDriver < 0) {
        inDriver = 0;
    }
    if (queued_ + static_cast<std::size_t>(inDriver) + length > kMaxQueued) {
        return;
    }
    std::memcpy(queue_ + queued_, bytes, length);
    queued_ += length;
    WriteQueued();
}

ServedPort::Phase TtyPort::CurrentPhase() const {
    return return_.Awaiting() ? Phase::Opening : fd_ >= 0 ? Phase::Ready : open_ ? Phase::Lost : Phase::Closed;
}

// The hang-up already let go of the descriptor, the lock and exclusive
// mode: nothing of the port is held while it is away.
bool TtyPort::AwaitReturn() {
    if (!open_ || fd_ >= 0) {
        return false;
    }
    return_.Begin();
    return true;
}

// A look is a stat of the name; nothing is opened until it is there.
void TtyPort::OnTick() {
    if (!return_.TimeToLook()) {
        return;
    }
    struct stat there {};
    if (::stat(path_.c_str(), &there) != 0) {
        return_.NameNotThere();
        return;
    }
    const std::string path = path_;
    if (Open(path, &reopening_)) {
        return_.End();
        reopening_ = OpenFailure{};
        return;
    }
    return_.StillAwaitedAfter(reopening_.kind);  // if not, Closed with the opening's words
}

void TtyPort::BeginClose() {
    return_.End();
    reopening_ = OpenFailure{};
    Close();
}

WaitOn TtyPort::Waitable() const {
    WaitOn on;
    on.handle = fd_;
    on.read = true;
    on.write = queued_ > 0;
    return on;
}

void TtyPort::Service() {
    WriteQueued();
    ReadAvailable();
}

// Opened before any loop serves it: a failure was said by Open().
const OpenFailure& TtyPort::OpeningFailure() const { return reopening_; }
