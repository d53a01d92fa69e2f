#pragma once

#include <windows.h>

// The program's frame: the fixed-size main window that hosts the panel, its
// marker property, and the message loop.
namespace AppShell {

constexpr wchar_t kMarkerProperty[] = L"TolvarTest__20170523_QK";
constexpr int kWindowWidth = 280;
constexpr int kWindowHeight = 325;

// Runs the program; returns the quit code (0), or 0 at once when the main
// window cannot be created.
int Run(HINSTANCE instance, int showCommand);

}  // namespace AppShell
