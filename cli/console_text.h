#pragma once

#include <windows.h>

#include <cstddef>

#include "terminal_flow.h"

// One of the process's standard handles. In a console window the text goes
// through the wide-character API, so Chinese reads as characters whatever
// the console's code page; to a file or a pipe it goes as UTF-8 bytes, which
// findstr and PowerShell read as text. Lines end in CR LF, as Windows text.
class StandardHandle {
public:
    explicit StandardHandle(DWORD which);
    ~StandardHandle();
    StandardHandle(const StandardHandle&) = delete;
    StandardHandle& operator=(const StandardHandle&) = delete;
    // UTF-8 text; each "\n" is written as CR LF.
    void Write(const char* text);
    // A console that draws escapes in place, its mode asked for if need be;
    // the mode it had is put back when the program lets go of it.
    bool TakesEscapes();

private:
    void WriteRun(const char* bytes, std::size_t length);

    static constexpr std::size_t kPiece = 512;
    HANDLE handle_;
    bool console_ = false;
    DWORD foundMode_ = 0;
    bool modeChanged_ = false;
};

// Results to standard output, one line each; messages to standard error,
// each after the program's name.
class ConsoleStreams : public TerminalOutput {
public:
    ConsoleStreams() : output(STD_OUTPUT_HANDLE), error(STD_ERROR_HANDLE) {}
    void Result(const char* line) override;
    void Message(const char* line) override;
    void Draw(const char* text) override { error.Write(text); }

    StandardHandle output;
    StandardHandle error;
};
