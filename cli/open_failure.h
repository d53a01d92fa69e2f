#pragma once

#include <windows.h>

// Why a COM port did not open, in the technician's two languages; UTF-8.
struct OpenFailureText {
    char chinese[512];
    char english[512];
};

// `error` as GetLastError() gave it after the open of `name` (as typed).
// Windows gives a COM port to one program at a time and refuses the next
// with access denied: that is "in use", as is a driver's "busy". Anything
// but in use or not there is said in Windows' own words.
void DescribeOpenFailure(DWORD error, const char* name, OpenFailureText& text);
