#include "open_failure.h"

#include <cstdio>
#include <cstring>

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

void DescribeOpenFailure(DWORD error, const char* name, OpenFailureText& text) {
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_BUSY) {
        std::snprintf(text.chinese, sizeof text.chinese, "%s 正被其他程序使用。", name);
        std::snprintf(text.english, sizeof text.english, "%s is in use by another program", name);
    } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        std::snprintf(text.chinese, sizeof text.chinese,
                      "%s 已不存在：串口适配器可能已被拔出。请重新插好后再打开；"
                      "若它换了名字，请重新启动本程序。",
                      name);
        std::snprintf(text.english, sizeof text.english,
                      "%s is not there: the adapter may have been unplugged", name);
    } else {
        // In the system's language, and in English where Windows has it.
        char local[256];
        char english[256];
        WindowsWords(error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), local, sizeof local);
        if (!WindowsWords(error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), english,
                          sizeof english)) {
            std::memcpy(english, local, sizeof english);
        }
        const unsigned long code = error;
        std::snprintf(text.chinese, sizeof text.chinese, "无法打开 %s：%s（错误 %lu）", name, local,
                      code);
        std::snprintf(text.english, sizeof text.english, "cannot open %s: %s (error %lu)", name,
                      english, code);
    }
}
