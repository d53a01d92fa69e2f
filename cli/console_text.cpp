#include "console_text.h"

#include <cstring>

StandardHandle::StandardHandle(DWORD which) : handle_(GetStdHandle(which)) {
    DWORD mode = 0;
    console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE &&
               GetConsoleMode(handle_, &mode) != 0;
}

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

StandardHandle::~StandardHandle() {
    if (modeChanged_) {
        SetConsoleMode(handle_, foundMode_);
    }
}

bool StandardHandle::TakesEscapes() {
    DWORD mode = 0;
    if (!console_ || GetConsoleMode(handle_, &mode) == 0) {
        return false;
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        return true;
    }
    if (SetConsoleMode(handle_, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
        return false;  // an older console: plain lines
    }
    foundMode_ = mode;
    modeChanged_ = true;
    return true;
}

void StandardHandle::Write(const char* text) {
    const char* line = text;
    while (*line != '\0') {
        const char* end = std::strchr(line, '\n');
        const std::size_t length = end != nullptr ? end - line : std::strlen(line);
        WriteRun(line, length);
        if (end == nullptr) {
            break;
        }
        WriteRun("\r\n", 2);
        line = end + 1;
    }
}

// Converted in pieces that end on a character's first byte, so a long text
// needs no buffer of its length and no character is cut in two.
void StandardHandle::WriteRun(const char* bytes, std::size_t length) {
    if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) {
        return;
    }
    while (length > 0) {
        std::size_t piece = length < kPiece ? length : kPiece;
        while (piece < length && piece > 0 && (bytes[piece] & 0xC0) == 0x80) {
            --piece;
        }
        DWORD written = 0;
        if (console_) {
            wchar_t wide[kPiece];
            const int count =
                MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(piece), wide, kPiece);
            WriteConsoleW(handle_, wide, static_cast<DWORD>(count), &written, nullptr);
        } else {
            // A reader that went away is no reason to leave the device half
            // set: the run goes on, unheard.
            WriteFile(handle_, bytes, static_cast<DWORD>(piece), &written, nullptr);
        }
        bytes += piece;
        length -= piece;
    }
}

void ConsoleStreams::Result(const char* line) {
    output.Write(line);
    output.Write("\n");
}

void ConsoleStreams::Message(const char* line) {
    error.Write("baudset-cli: ");
    error.Write(line);
    error.Write("\n");
}
