#pragma once

#include <cstdint>

#include "open_failure.h"
#include "protocol_engine.h"

// What a loop waits on for one port: a descriptor (Linux) or an event
// HANDLE (Windows), as an integer so that portable code can carry it.
struct WaitOn {
    std::intptr_t handle = -1;  // -1: nothing to wait on; the loop's tick still comes
    bool read = false;
    bool write = false;  // a descriptor: wake when it takes bytes again
};

// A port as one loop serves it, a local one or one behind a terminal
// server, on either platform. The loop waits on Waitable() beside its tick
// and its endings, then calls Service(), gives OnTick() every 10 ms, and
// reads CurrentPhase() after both, on every pass: a port that went away
// between two waits reports no event of its own.
class ServedPort : public PortWriter {
public:
    enum class Phase {
        Opening,  // not yet at 9600 8N1: the dialogue waits
        Ready,    // the dialogue runs
        Lost,     // was Ready: the adapter or the connection went away
        Closing,  // putting the line back as it was found
        Closed,   // let go; if the opening failed, OpeningFailure() says why
    };

    virtual Phase CurrentPhase() const = 0;
    virtual WaitOn Waitable() const = 0;
    // What came is taken and what waits is sent, without blocking.
    virtual void Service() = 0;
    // Every 10 ms, in every phase: the opening's and the closing's deadlines.
    virtual void OnTick() = 0;
    // From any phase; Closed at once where there is nothing to put back.
    virtual void BeginClose() = 0;
    // Closed without ever being Ready: why, in both languages. Kind None
    // when the opening did not fail (it was never begun, or broken off).
    virtual const OpenFailure& OpeningFailure() const = 0;
    // Closed, and the line's settings may not be what the opening found:
    // the server never acknowledged them going back.
    virtual bool RestoreUnconfirmed() const { return false; }
    // Lost before the device spoke, as an adapter that powers its board
    // goes in the board's power cycle: hold nothing of it, and open the same
    // name again, at 9600 8N1, once it is back (Opening meanwhile; Closed
    // with OpeningFailure() if the new opening fails). False where a port
    // cannot come back (a connection).
    virtual bool AwaitReturn() { return false; }

protected:
    ~ServedPort() = default;
};
