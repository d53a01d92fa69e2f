// The kernel's own termios2, not the C library's termios: this file alone
// includes <asm/termbits.h>, whose struct termios is another than that of
// <termios.h>.
#include "found_line.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace {
#ifdef TCGETS2
using KernelLine = termios2;
constexpr unsigned long kGet = TCGETS2;
constexpr unsigned long kSet = TCSETS2;
#else
// powerpc and alpha have no termios2: their plain termios carries the speed
// as a number already.
using KernelLine = termios;
constexpr unsigned long kGet = TCGETS;
constexpr unsigned long kSet = TCSETS;
#endif
}  // namespace

static_assert(sizeof(KernelLine) <= sizeof(FoundLine::settings),
              "FoundLine holds the kernel's termios2");

int ReadFoundLine(int descriptor, FoundLine* line) {
    KernelLine settings{};
    if (::ioctl(descriptor, kGet, &settings) != 0) {
        return errno;
    }
    std::memcpy(line->settings, &settings, sizeof settings);
    return 0;
}

int PutBackFoundLine(int descriptor, const FoundLine& line) {
    KernelLine settings{};
    std::memcpy(&settings, line.settings, sizeof settings);
    return ::ioctl(descriptor, kSet, &settings) == 0 ? 0 : errno;
}

bool PlainCallsCarrySpeed(unsigned int flags) {
    const unsigned int speed = flags & CBAUD;
    return speed != B0 && speed != BOTHER;
}
