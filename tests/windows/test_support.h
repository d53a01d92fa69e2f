#pragma once
// What the Windows-side test programs share: waiting for a condition with a
// deadline, and a count of a process's handles by type.
#include <windows.h>

#include <map>
#include <string>

#include "../wait_until.h"

// What Wine and the threads library create once, on first use, and keep:
// Wine's objects for serial event waits (two events, two semaphores and a
// thread, made at the first unplug) and one wait object for each of our
// locks and condition variables (three) at the first contention. A check
// for leaks allows these, and runs more cycles than that, so that a leak of
// one handle a cycle always shows.
constexpr int kOneOffHandles = 8;

struct HandleCensus {
    int total = 0;
    std::map<std::string, int> byType;

    // "37 Event=12 File=3 ...": the count first, then the types.
    std::string Render() const {
        std::string text = std::to_string(total);
        for (const auto& entry : byType) {
            text += " " + entry.first + "=" + std::to_string(entry.second);
        }
        return text;
    }
};

// Tries every handle value of `process` (opened with PROCESS_DUP_HANDLE, or
// the current process): Wine answers GetProcessHandleCount with 0 whatever
// is open. The type comes from NtQueryObject, looked up at run time so that
// nothing links against ntdll.
inline HandleCensus TakeHandleCensus(HANDLE process) {
    using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    constexpr int kObjectTypeInformation = 2;
    struct TypeName {
        USHORT length;  // in bytes
        USHORT capacity;
        const wchar_t* text;
    };
    HandleCensus census;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        HANDLE copy = nullptr;
        if (!DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy,
                             0, FALSE, DUPLICATE_SAME_ACCESS)) {
            continue;
        }
        ++census.total;
        alignas(8) unsigned char buffer[1024] = {};
        std::string type = "?";
        if (query != nullptr && query(copy, kObjectTypeInformation, buffer, sizeof buffer, nullptr) >= 0) {
            const TypeName* name = reinterpret_cast<const TypeName*>(buffer);
            type.clear();
            for (USHORT i = 0; i < name->length / sizeof(wchar_t); ++i) {
                type += static_cast<char>(name->text[i]);  // type names are ASCII
            }
            type = type.empty() ? "?" : type;
        }
        ++census.byType[type];
        CloseHandle(copy);
    }
    return census;
}
