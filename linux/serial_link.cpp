#include "serial_link.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QFile>
#include <QFileInfo>

namespace {

QString UserName() {
    const passwd* user = getpwuid(getuid());
    return user != nullptr ? QString::fromLocal8Bit(user->pw_name) : QString::number(getuid());
}

// Tries the device itself before Qt does, because Qt folds every refusal
// into one error code and the technician needs to know which one it was.
int ProbeOpen(const QByteArray& path) {
    int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int error = isatty(fd) ? 0 : ENOTTY;
    ::close(fd);
    return error;
}

// The kernel hangs a tty up when its adapter goes (or a pty's other side
// closes): from then on read() returns 0, which Qt reports as a ReadError
// and not as a ResourceError, with its read notifier left armed, so every
// turn of the event loop would report it again. Only a hang-up reports
// POLLHUP; any other failed read leaves the port alone.
bool HungUp(int fd) {
    pollfd state{fd, POLLIN, 0};
    return ::poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

OpenFailure ExplainProbe(int error, const QString& path) {
    QString groupName;
    bool groupMayReadWrite = false;
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) == 0) {
        const group* owner = getgrgid(info.st_gid);
        groupName = owner != nullptr ? QString::fromLocal8Bit(owner->gr_name)
                                 : QString::number(info.st_gid);
        groupMayReadWrite = (info.st_mode & S_IRGRP) && (info.st_mode & S_IWGRP);
    }
    return DescribeOpenFailure(error, path, groupName, groupMayReadWrite, UserName());
}

}  // namespace

OpenFailure DescribeOpenFailure(int error, const QString& path, const QString& groupOfDevice,
                                bool groupMayReadWrite, const QString& userName) {
    OpenFailure failure;
    switch (error) {
    case EACCES:
    case EPERM:
        failure.kind = OpenFailure::Kind::Denied;
        if (groupMayReadWrite && !groupOfDevice.isEmpty()) {
            failure.message =
                QString::fromUtf8("没有权限打开 %1：只有 %2 组的成员可以使用它。\n"
                                  "请运行以下命令把自己加入该组，然后注销并重新登录：\n"
                                  "sudo usermod -aG %2 %3")
                    .arg(path, groupOfDevice, userName);
        } else {
            failure.message = QString::fromUtf8("没有权限打开 %1。").arg(path);
        }
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
        failure.kind = OpenFailure::Kind::Gone;
        failure.message =
            QString::fromUtf8("%1 已不存在：串口适配器可能已被拔出。请重新插好后再打开；若它换了名字，请重新启动本程序。")
                .arg(path);
        break;
    case EBUSY:
        failure.kind = OpenFailure::Kind::Other;
        failure.message = QString::fromUtf8("%1 正被其他程序使用。").arg(path);
        break;
    default:
        failure.kind = OpenFailure::Kind::Other;
        failure.message = QString::fromUtf8("无法打开 %1：%2")
                              .arg(path, QString::fromLocal8Bit(std::strerror(error)));
        break;
    }
    return failure;
}

SerialLink::SerialLink(RxAccumulator& accumulator, QObject* parent)
    : QObject(parent), accumulator_(accumulator) {
    connect(&port_, &QSerialPort::readyRead, this, &SerialLink::OnReadyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialLink::OnError);
}

bool SerialLink::Open(const QString& path, OpenFailure* failure) {
    Close();
    const int probe = ProbeOpen(QFile::encodeName(path));
    if (probe != 0) {
        *failure = ExplainProbe(probe, path);
        return false;
    }
    port_.setPortName(path);
    if (!port_.open(QIODevice::ReadWrite)) {
        // Another program holds the port: its lock file, or the exclusive
        // mode it set. A lock left by a program that crashed as another
        // user looks the same, so the file is named for whoever removes it.
        failure->kind = OpenFailure::Kind::Other;
        const QString lock = QStringLiteral("/var/lock/LCK..") + QFileInfo(path).fileName();
        if (port_.error() != QSerialPort::PermissionError) {
            failure->message = QString::fromUtf8("无法打开 %1：%2").arg(path, port_.errorString());
        } else if (QFileInfo::exists(lock)) {
            failure->message = QString::fromUtf8("%1 正被其他程序使用（锁文件 %2）。").arg(path, lock);
        } else {
            failure->message = QString::fromUtf8("%1 正被其他程序使用。").arg(path);
        }
        return false;
    }
    // The device always talks at 9600 8N1: whatever rate it is told to use
    // later, this side of the line never changes.
    port_.setBaudRate(QSerialPort::Baud9600);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    port_.clear();
    // What a closed session received is never judged in the next one.
    accumulator_.Clear();
    open_ = true;
    return true;
}

void SerialLink::Close() {
    open_ = false;
    if (port_.isOpen()) {
        // Unwritten commands go with the port: the device must not get an
        // "AT" from a session the technician has ended.
        port_.clear();
        port_.close();
    }
}

void SerialLink::Write(const char* bytes, std::size_t length) {
    if (!port_.isOpen() || port_.bytesToWrite() + static_cast<qint64>(length) > kMaxQueued) {
        return;
    }
    port_.write(bytes, static_cast<qint64>(length));
}

void SerialLink::OnReadyRead() {
    char buffer[1024];
    qint64 count;
    while ((count = port_.read(buffer, sizeof buffer)) > 0) {
        accumulator_.Append(buffer, static_cast<std::size_t>(count));
    }
}

void SerialLink::OnError(QSerialPort::SerialPortError error) {
    // An unplugged adapter: Qt would keep reporting it from the dead fd.
    // Letting go of the port ends that; the watchdog then shows the link
    // lost, and closing and opening again picks the adapter up once it is
    // back. Other errors (a line error, a write that timed out) leave the
    // port as it is, as they leave it on Windows.
    if (port_.isOpen() && (error == QSerialPort::ResourceError ||
                           (error == QSerialPort::ReadError && HungUp(port_.handle())))) {
        port_.close();
    }
}
