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
// line splitting: at each poll, everything up to the last CR LF is judged as
// one piece and dropped, valid or not. What follows the last CR LF is kept
// for one more poll, because a line still arriving at a poll would otherwise
// be cut in two and its tail judged alone as if it were the device's whole
// reply (at 9600 baud a 26-byte banner is on the wire for 27 ms of every
// 300). Carried bytes that still have no CR LF behind them at the next poll
// are dropped there, so the carry never outlives one poll interval and
// noise without line ends can never hold the accumulator.
class RxAccumulator {
public:
    static constexpr std::size_t kCapacity = RxLine::kCapacity;

    // Reader thread. Bytes beyond the capacity are dropped silently: a reply
    // longer than that cannot be a line the engine acts on anyway.
    void Append(const char* bytes, std::size_t count);

    // UI thread, once per poll. Copies everything up to the last CR LF into
    // `line` when that is one valid reply (no byte above 0x7E) and reports
    // whether it was. Afterwards the accumulator holds only the bytes that
    // arrived since the previous poll and follow the last CR LF.
    bool TakeLine(RxLine& line);

    // Forgets what is held. The serial port calls it when it opens, once
    // nothing read from the previous port can still arrive: what a closed
    // session received is never judged in the next one.
    void Clear();

    // How many bytes wait for the next poll, a carried tail included; lets a
    // test wait for a reply to arrive whole instead of guessing how long the
    // line takes.
    std::size_t Pending() const;

private:
    static bool IsValidLine(const unsigned char* data, std::size_t length);
    std::size_t JudgedLength() const;

    mutable std::mutex lock_;
    unsigned char data_[kCapacity + 1] = {};
    std::size_t length_ = 0;
    // The first carried_ bytes of data_ were already there at the previous
    // poll and had no CR LF behind them then.
    std::size_t carried_ = 0;
};
