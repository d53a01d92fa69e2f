#pragma once

#include <QObject>
#include <QString>

#include "protocol_engine.h"
#include "rx_accumulator.h"
#include "tty_port.h"

class QSocketNotifier;

// The window's serial port: the shared termios port, its descriptor
// watched by Qt's event loop. Received bytes go into the accumulator as the
// loop delivers them; nothing here ever waits for the line.
class SerialLink : public QObject, public PortWriter {
    Q_OBJECT

public:
    explicit SerialLink(RxAccumulator& accumulator, QObject* parent = nullptr);
    ~SerialLink() override;

    // Lets go of the port of the link that is alive, if one is open, for an
    // end that skips the destructors: Qt leaves with exit() or abort() when
    // the display goes away. The port is then free at once for any program.
    static void LetGoAtAbruptEnd();

    // Opens `path` afresh (closing any port first). On failure, says why.
    bool Open(const QString& path, OpenFailure* failure);
    void Close();
    // True from a successful Open until Close, even after the adapter went
    // away: the panel stays "open" and its status tells the technician.
    bool IsOpen() const { return port_.IsOpen() || Awaiting(); }
    // Every tick: an adapter that went (a board powered from it goes with
    // it in its power cycle) is looked for, holding nothing of the port,
    // and opened again under the same name once it is back. Gone is said
    // on the first tick after it went, Away on the others until it is back.
    enum class Adapter { There, Gone, Away, Back, NotReopened };
    Adapter FollowAdapter(OpenFailure* failure);
    // The device is still there to be written to and read from.
    bool IsAttached() const { return port_.IsAttached(); }

    void Write(const char* bytes, std::size_t length) override;

private:
    void Watch();
    void Unwatch();
    void OnReadable();
    void OnWritable();

    void NoteDetached();
    bool Awaiting() const { return port_.CurrentPhase() == ServedPort::Phase::Opening; }

    TtyPort port_;
    bool goneSaid_ = false;
    QSocketNotifier* readable_ = nullptr;
    QSocketNotifier* writable_ = nullptr;
};
