#include "trace_channel.h"

#include <cstdarg>
#include <cstdio>

void TraceChannel::Trace(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // Bounded: a formatting mistake can at worst cut the line, never write
    // past the buffer.
    int written = std::vsnprintf(buffer_, sizeof buffer_, format, arguments);
    va_end(arguments);
    if (written < 0) {
        buffer_[0] = '\0';
    }

    // A NUL inside a reply ends the line as a C string, so measure up to the
    // first zero byte rather than trusting vsnprintf's count.
    std::size_t length = 0;
    while (length < kMaxSent && buffer_[length] != '\0') {
        ++length;
    }
    sentLength_ = length;
    if (sink_ != nullptr) {
        sink_->Send(buffer_, length);
    }
}
