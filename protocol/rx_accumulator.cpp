#include "rx_accumulator.h"

#include <cstring>

void RxAccumulator::Append(const char* bytes, std::size_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    std::size_t room = kCapacity - length_;
    std::size_t kept = count < room ? count : room;
    if (kept > 0) {
        std::memcpy(data_ + length_, bytes, kept);
        length_ += kept;
    }
}

bool RxAccumulator::IsValidLine(const unsigned char* data, std::size_t length) {
    if (length < 2 || data[length - 2] != '\r' || data[length - 1] != '\n') {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (data[i] > 0x7E) {
            return false;
        }
    }
    return true;
}

// The length up to and including the last CR LF, or 0 when there is none.
std::size_t RxAccumulator::JudgedLength() const {
    for (std::size_t end = length_; end >= 2; --end) {
        if (data_[end - 2] == '\r' && data_[end - 1] == '\n') {
            return end;
        }
    }
    return 0;
}

bool RxAccumulator::TakeLine(RxLine& line) {
    // The copy happens under the lock: once it is released the reader may
    // overwrite the storage with the next reply.
    std::lock_guard<std::mutex> hold(lock_);
    std::size_t judged = JudgedLength();
    bool valid = judged > 0 && IsValidLine(data_, judged);
    if (valid) {
        std::memcpy(line.text, data_, judged);
        line.text[judged] = '\0';
        line.length = judged;
    }
    // The carry has no CR LF in it, so a CR LF ends beyond it: whatever the
    // carry was, it is judged now or, with no CR LF at all, dropped now.
    std::size_t dropped = judged > carried_ ? judged : carried_;
    // A tail that fills the whole store can only end beyond the 512 bytes,
    // as no line the engine acts on does: it leaves no room for the next.
    if (length_ - dropped == kCapacity) {
        dropped = length_;
    }
    std::memmove(data_, data_ + dropped, length_ - dropped);
    length_ -= dropped;
    carried_ = length_;
    return valid;
}

void RxAccumulator::Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    length_ = 0;
    carried_ = 0;
}

std::size_t RxAccumulator::Pending() const {
    std::lock_guard<std::mutex> hold(lock_);
    return length_;
}
