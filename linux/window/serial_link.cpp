#include "serial_link.h"

#include <utility>

#include <QFile>
#include <QSocketNotifier>

namespace {

// The window has one link. Only the main thread sets it and ends the
// process, so the exit handlers find it as the window left it.
SerialLink* livingLink = nullptr;

}  // namespace

SerialLink::SerialLink(RxAccumulator& accumulator, QObject* parent)
    : QObject(parent), port_(accumulator) {
    livingLink = this;
}

SerialLink::~SerialLink() {
    if (livingLink == this) {
        livingLink = nullptr;
    }
}

void SerialLink::LetGoAtAbruptEnd() {
    if (livingLink != nullptr) {
        livingLink->port_.Close();
    }
}

bool SerialLink::Open(const QString& path, OpenFailure* failure) {
    Close();
    if (!port_.Open(QFile::encodeName(path).toStdString(), failure)) {
        return false;
    }
    Watch();
    return true;
}

void SerialLink::Close() {
    Unwatch();
    goneSaid_ = false;
    port_.BeginClose();
}

SerialLink::Adapter SerialLink::FollowAdapter(OpenFailure* failure) {
    if (!Awaiting()) {
        return Adapter::There;
    }
    if (!std::exchange(goneSaid_, true)) {
        return Adapter::Gone;
    }
    port_.OnTick();
    switch (port_.CurrentPhase()) {
    case ServedPort::Phase::Ready:
        goneSaid_ = false;
        Watch();
        return Adapter::Back;
    case ServedPort::Phase::Closed:
        goneSaid_ = false;
        *failure = port_.OpeningFailure();
        return Adapter::NotReopened;
    default:
        return Adapter::Away;
    }
}

// The hang-up let go of the descriptor, the lock and exclusive mode.
void SerialLink::NoteDetached() {
    Unwatch();
    port_.AwaitReturn();
}

void SerialLink::Write(const char* bytes, std::size_t length) {
    port_.Write(bytes, length);
    if (writable_ != nullptr) {
        writable_->setEnabled(port_.WantsToWrite());
    }
}

// The notifiers belong to one descriptor: made at the open, gone before
// the descriptor is closed, so none is ever left on a closed or reused one.
void SerialLink::Watch() {
    readable_ = new QSocketNotifier(port_.Descriptor(), QSocketNotifier::Read, this);
    connect(readable_, &QSocketNotifier::activated, this, &SerialLink::OnReadable);
    writable_ = new QSocketNotifier(port_.Descriptor(), QSocketNotifier::Write, this);
    writable_->setEnabled(false);
    connect(writable_, &QSocketNotifier::activated, this, &SerialLink::OnWritable);
}

// Called from a notifier's own signal too, so they are deleted later; a
// disabled notifier watches nothing meanwhile.
void SerialLink::Unwatch() {
    for (QSocketNotifier* notifier : {readable_, writable_}) {
        if (notifier != nullptr) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    readable_ = writable_ = nullptr;
}

void SerialLink::OnReadable() {
    port_.ReadAvailable();
    // An unplugged adapter: the port let go of it, and the next tick says
    // so; the adapter is opened again once it is back.
    if (!port_.IsAttached()) {
        NoteDetached();
    }
}

void SerialLink::OnWritable() {
    port_.WriteQueued();
    if (!port_.IsAttached()) {
        NoteDetached();
    } else {
        writable_->setEnabled(port_.WantsToWrite());
    }
}
