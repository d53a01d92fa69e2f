#pragma once

#include <windows.h>

#include "open_failure.h"

// `error` as GetLastError() gave it after the open of `port` (as typed).
// Windows gives a COM port to one program at a time and refuses the next
// with access denied: that is "in use", as is a driver's "busy". Anything
// but in use or not there is said in Windows' own words, in the system's
// language and in English.
OpenFailure DescribeComOpenFailure(DWORD error, const char* port);

// As many whole characters of `wide` (`length` units) as fit into `size`
// bytes of UTF-8 with their terminator: words longer than the room are cut
// between two characters, never emptied.
void CutToUtf8(const wchar_t* wide, int length, char* text, std::size_t size);
