#include "com_open_failure.h"

#include <cstdio>

namespace {

// Windows' message for `error` in `language`, as UTF-8 without its line end
// and full stop; false when Windows has none in that language.
bool WindowsWords(DWORD error, DWORD language, char* text, std::size_t size) {
    wchar_t wide[256];
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
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(end), text,
                                          static_cast<int>(size) - 1, nullptr, nullptr);
    text[bytes > 0 ? bytes : 0] = '\0';
    return true;
}

}  // namespace

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
    char local[256];
    char english[256];
    WindowsWords(error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), local, sizeof local);
    if (!WindowsWords(error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), english, sizeof english)) {
        english[0] = '\0';  // then the local words serve for both
    }
    cause.words = local;
    cause.englishWords = english;
    cause.code = error;
    return DescribeOpenFailure(port, cause);
}
