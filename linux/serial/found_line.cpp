// The kernel's own termios2, not the C library's termios: this file alone
// includes <asm/termbits.h>, whose struct termios is another than that of
// <termios.h>.
#include "found_line.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

static_assert(sizeof(termios2) <= sizeof(FoundLine::settings),
              "FoundLine holds the kernel's termios2");

int ReadFoundLine(int descriptor, FoundLine* line) {
    termios2 settings{};
    if (::ioctl(descriptor, TCGETS2, &settings) != 0) {
        return errno;
    }
    std::memcpy(line->settings, &settings, sizeof settings);
    return 0;
}

int PutBackFoundLine(int descriptor, const FoundLine& line) {
    termios2 settings{};
    std::memcpy(&settings, line.settings, sizeof settings);
    return ::ioctl(descriptor, TCSETS2, &settings) == 0 ? 0 : errno;
}
