#pragma once

#include <cstddef>

// Where formatted trace lines go, if anywhere. The Windows program hands them
// to the debugger's log; the core itself knows no destination.
class TraceSink {
public:
    virtual void Send(const char* bytes, std::size_t length) = 0;

protected:
    ~TraceSink() = default;
};

// Formats diagnostic lines about the serial dialogue. Nothing of it is shown
// to the operator; with no sink connected a line is formatted and dropped.
class TraceChannel {
public:
    static constexpr std::size_t kBufferSize = 1024;
    // Longer lines are cut without a mark; the head of a reply is what a
    // technician needs to follow the dialogue.
    static constexpr std::size_t kMaxSent = 128;

    void Connect(TraceSink* sink) { sink_ = sink; }

    // printf-style; UI thread only, since the buffer is shared by all calls.
    void Trace(const char* format, ...);

    // The last formatted text in full (before the cut) and what was sent of it.
    const char* LastText() const { return buffer_; }
    std::size_t LastSentLength() const { return sentLength_; }

private:
    char buffer_[kBufferSize] = {};
    std::size_t sentLength_ = 0;
    TraceSink* sink_ = nullptr;
};
