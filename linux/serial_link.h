#pragma once

#include <QObject>
#include <QSerialPort>
#include <QString>

#include "protocol_engine.h"
#include "rx_accumulator.h"

// Why a port could not be opened, in the words the technician gets to see.
struct OpenFailure {
    enum class Kind { None, Denied, Gone, Other };
    Kind kind = Kind::None;
    QString message;
};

// Explains an open(2) failure of `path`. Kept apart from the port itself so
// the wording for each cause can be checked without the cause at hand.
// `groupOfDevice` and `userName` name the adapter's group and the user; an
// empty group means the device's group could not be read.
OpenFailure DescribeOpenFailure(int error, const QString& path, const QString& groupOfDevice,
                                bool groupMayReadWrite, const QString& userName);

// The one serial port, at 9600 8N1 with no flow control: the engine's
// PortWriter. Received bytes go into the accumulator as the event loop
// delivers them; nothing here ever waits for the line.
class SerialLink : public QObject, public PortWriter {
    Q_OBJECT

public:
    // The most that may wait unwritten, as much as a Windows driver queue
    // holds. A line that takes nothing must not grow the program: the
    // commands beyond it are dropped, as the device would never see them.
    static constexpr qint64 kMaxQueued = 2048;

    explicit SerialLink(RxAccumulator& accumulator, QObject* parent = nullptr);

    // Opens `path` afresh (closing any port first). On failure, says why.
    bool Open(const QString& path, OpenFailure* failure);
    void Close();
    // True from a successful Open until Close, even after the adapter went
    // away: the panel stays "open" and the watchdog tells the technician.
    bool IsOpen() const { return open_; }
    // The device is still there to be written to and read from.
    bool IsAttached() const { return port_.isOpen(); }

    void Write(const char* bytes, std::size_t length) override;

private:
    void OnReadyRead();
    void OnError(QSerialPort::SerialPortError error);

    RxAccumulator& accumulator_;
    QSerialPort port_;
    bool open_ = false;
};
