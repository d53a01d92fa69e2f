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

bool RxAccumulator::TakeLine(RxLine& line) {
    // The copy happens under the lock: once it is released the reader may
    // overwrite the storage with the next reply.
    std::lock_guard<std::mutex> hold(lock_);
    bool valid = IsValidLine(data_, length_);
    if (valid) {
        std::memcpy(line.text, data_, length_);
        line.text[length_] = '\0';
        line.length = length_;
    }
    length_ = 0;
    return valid;
}

void RxAccumulator::Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    length_ = 0;
}

std::size_t RxAccumulator::Pending() const {
    std::lock_guard<std::mutex> hold(lock_);
    return length_;
}
