#pragma once

#include <cstddef>
#include <mutex>

// One reply line as the UI thread sees it: a private copy, so the reader
// thread may append again while the engine is still using the text.
struct RxLine {
    static constexpr std::size_t kCapacity = 512;
    char text[kCapacity + 1];  // zero-terminated; CR LF included
    std::size_t length;
};

// Collects what the reader thread receives between two polls. There is no
// line splitting: whatever arrived since the previous poll is judged as one
// piece at the next poll and then dropped, valid or not.
class RxAccumulator {
public:
    static constexpr std::size_t kCapacity = RxLine::kCapacity;

    // Reader thread. Bytes beyond the capacity are dropped silently: a reply
    // longer than that cannot be a line the engine acts on anyway.
    void Append(const char* bytes, std::size_t count);

    // UI thread, once per poll. Copies the content into `line` when it is one
    // valid reply (ends in CR LF, no byte above 0x7E) and reports whether it
    // was. The accumulator is empty afterwards in every case.
    bool TakeLine(RxLine& line);

    // Forgets what is held. The serial port calls it when it opens, once
    // nothing read from the previous port can still arrive: what a closed
    // session received is never judged in the next one.
    void Clear();

    // How many bytes wait for the next poll; lets a test wait for a reply to
    // arrive whole instead of guessing how long the line takes.
    std::size_t Pending() const;

private:
    static bool IsValidLine(const unsigned char* data, std::size_t length);

    mutable std::mutex lock_;
    unsigned char data_[kCapacity + 1] = {};
    std::size_t length_ = 0;
};
