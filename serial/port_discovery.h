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
