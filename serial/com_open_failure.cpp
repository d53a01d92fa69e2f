#include "com_open_failure.h"

#include <cstdio>

bool WindowsWords(DWORD error, DWORD language, char* text, std::size_t size) {
    // Wider than the words may be: FormatMessage gives all or nothing.
    wchar_t wide[4 * kWordsSize];
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       language, wide, sizeof wide / sizeof wide[0], nullptr);
    if (length == 0) {
        std::snprintf(text, size, "Windows error %lu", static_cast<unsigned long>(error));
        return false;
    }
    DWORD end = length;
    while (end > 0 && (wide[end - 1] == L'\r' || wide[end - 1] == L'\n' || wide[end - 1] == L' ' ||
                       wide[end - 1] == L'.' || wide[end - 1] == L'\x3002')) {
        --end;
    }
    CutToUtf8(wide, static_cast<int>(end), text, size);
    return true;
}

void CutToUtf8(const wchar_t* wide, int length, char* text, std::size_t size) {
    int used = 0;
    for (int at = 0; at < length;) {
        // A surrogate pair is one character of two units.
        const int units = (wide[at] >= 0xD800 && wide[at] < 0xDC00 && at + 1 < length) ? 2 : 1;
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide + at, units, nullptr, 0, nullptr,
                                              nullptr);
        if (bytes <= 0 || static_cast<std::size_t>(used + bytes) >= size) {
            break;
        }
        WideCharToMultiByte(CP_UTF8, 0, wide + at, units, text + used, bytes, nullptr, nullptr);
        used += bytes;
        at += units;
    }
    text[used] = '\0';
}

OpenFailure DescribeComOpenFailure(DWORD error, const char* port) {
    OpenFailureCause cause;
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_BUSY) {
        cause.kind = OpenFailure::Kind::InUse;
        return DescribeOpenFailure(port, cause);
    }
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        cause.kind = OpenFailure::Kind::NotThere;
        return DescribeOpenFailure(port, cause);
    }
    char local[kWordsSize];
    char english[kWordsSize];
    WindowsWords(error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), local, sizeof local);
    if (!WindowsWords(error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), english, sizeof english)) {
        english[0] = '\0';  // then the local words serve for both
    }
    cause.words = local;
    cause.englishWords = english;
    cause.code = error;
    return DescribeOpenFailure(port, cause);
}
