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
// no port's DTR rises, and it knows no bound at COM32. Fixed room: the
// first kMaxPorts names in natural order are kept, and the ports beyond
// them, or with a name of kNameSize bytes or more, are counted in
// `leftOut`, so the caller can say that the list is not whole.
struct RegisteredPorts {
    static constexpr int kMaxPorts = 256;
    static constexpr int kNameSize = 64;  // UTF-8, zero-terminated
    char names[kMaxPorts][kNameSize];
    int count;
    int leftOut;
};

// Natural order: "COM2" before "COM10". ERROR_SUCCESS, or the registry's
// error that broke off the listing (the key deleted as the last adapter
// goes); what was read before it stays listed.
long ListRegisteredPorts(RegisteredPorts& ports);
// The same from an open key of that layout: value names are anything, the
// data of each a port's name.
long ListPortsOfKey(void* key, RegisteredPorts& ports);

// Negative, zero or positive as `a` sorts before, with or after `b`, runs of
// digits compared by their value.
int CompareNaturally(const char* a, const char* b);
