#pragma once

#include <cstddef>
#include <cstdint>

// Which of COM1 to COM32 exist, found once at start.
struct PortList {
    static constexpr int kMaxPorts = 32;
    int numbers[kMaxPorts];  // ascending
    int count;
};

// Bit k set: COM(k+1) could be opened (with no access rights, so a port that
// another program holds open still counts as present).
std::uint32_t ProbeComPorts();

PortList ListPorts(std::uint32_t mask);

// "COM%d" into `name`; false when it does not fit.
bool FormatPortName(int number, char* name, std::size_t size);

// The ports Windows itself has registered (HARDWARE\DEVICEMAP\SERIALCOMM),
// as Device Manager lists them. Unlike ProbeComPorts it opens nothing, so
// no port's DTR rises, and it knows no bound at COM32.
struct RegisteredPorts {
    static constexpr int kMaxPorts = 256;
    static constexpr int kNameSize = 64;  // UTF-8, zero-terminated
    char names[kMaxPorts][kNameSize];
    int count;
};

// Natural order: "COM2" before "COM10"; names too long or beyond
// kMaxPorts are left out.
void ListRegisteredPorts(RegisteredPorts& ports);

// Negative, zero or positive as `a` sorts before, with or after `b`, runs of
// digits compared by their value.
int CompareNaturally(const char* a, const char* b);
