#pragma once

#include <windows.h>

#include "open_failure.h"

// `error` as GetLastError() gave it after the open of `port` (as typed).
// Windows gives a COM port to one program at a time and refuses the next
// with access denied: that is "in use", as is a driver's "busy". Anything
// but in use or not there is said in Windows' own words, in the system's
// language and in English.
OpenFailure DescribeComOpenFailure(DWORD error, const char* port);

// Room for Windows' words: its longest messages are a few hundred
// characters, and with the port's name and the sentence around them they
// must fit the vocabulary's OpenFailure::kSize bytes.
constexpr std::size_t kWordsSize = 512;

// Windows' message for `error` (a Winsock code too) in `language`, as UTF-8
// without its line end and full stop; false, with "Windows error N" in
// `text`, when Windows has none in that language.
bool WindowsWords(DWORD error, DWORD language, char* text, std::size_t size);

// As many whole characters of `wide` (`length` units) as fit into `size`
// bytes of UTF-8 with their terminator: words longer than the room are cut
// between two characters, never emptied.
void CutToUtf8(const wchar_t* wide, int length, char* text, std::size_t size);
