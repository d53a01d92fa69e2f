#include "port_discovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>

namespace {

const char* const kKinds[] = {"ttyUSB", "ttyACM", "ttyS", "ttyAMA"};
constexpr int kKindCount = 4;

const QRegularExpression& NamePattern() {
    static const QRegularExpression pattern(QStringLiteral("^(ttyUSB|ttyACM|ttyS|ttyAMA)(\\d+)$"));
    return pattern;
}

int KindOf(const QString& kind) {
    for (int i = 0; i < kKindCount; ++i) {
        if (kind == QLatin1String(kKinds[i])) {
            return i;
        }
    }
    return kKindCount;
}

bool IsUsbAdapter(const QString& name) {
    return name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM"));
}

bool IsCharacterDevice(const QByteArray& path) {
    struct stat info {};
    return ::stat(path.constData(), &info) == 0 && S_ISCHR(info.st_mode);
}

// Most PCs have ttyS0 to ttyS31 whether or not a UART is behind them; those
// without one refuse to open with EIO. Where the user may not open the port
// at all, the kernel's own account of the UART type decides (0: none).
bool HasUart(const QString& name, const QByteArray& path) {
    int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        bool terminal = isatty(fd);
        ::close(fd);
        return terminal;
    }
    if (errno != EACCES && errno != EPERM) {
        return false;
    }
    QFile type(QStringLiteral("/sys/class/tty/%1/type").arg(name));
    if (!type.open(QIODevice::ReadOnly)) {
        return true;  // nothing says there is none: let opening it tell
    }
    return type.readAll().trimmed() != "0";
}

}  // namespace

QStringList OrderSerialNames(const QStringList& names) {
    struct Entry {
        int kind;
        qulonglong number;
        QString name;
    };
    std::vector<Entry> entries;
    for (const QString& name : names) {
        QRegularExpressionMatch match = NamePattern().match(name);
        if (match.hasMatch()) {
            entries.push_back({KindOf(match.captured(1)), match.captured(2).toULongLong(), name});
        }
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.kind != b.kind) {
            return a.kind < b.kind;
        }
        if (a.number != b.number) {
            return a.number < b.number;
        }
        return a.name < b.name;  // ttyS01 and ttyS1: some order, always the same
    });
    QStringList ordered;
    for (const Entry& entry : entries) {
        ordered << entry.name;
    }
    return ordered;
}

QStringList DiscoverSerialPorts() {
    const QDir dev(QStringLiteral("/dev"));
    QStringList found;
    for (const QString& name : OrderSerialNames(dev.entryList(QDir::System | QDir::Files))) {
        const QByteArray path = QFile::encodeName(dev.filePath(name));
        if (!IsCharacterDevice(path)) {
            continue;
        }
        if (IsUsbAdapter(name) || HasUart(name, path)) {
            found << name;
        }
    }
    return found;
}
