#pragma once

// A line's settings as a port was found, its speed kept as a number. The
// calls of <termios.h> name a speed only by its B constant: a line another
// program left at a rate that has none (250000, set with BOTHER) would come
// back at some other rate. The kernel's termios2 requests carry the speed
// itself; their header clashes with <termios.h>, so they live apart.
struct FoundLine {
    alignas(8) unsigned char settings[64];
};

// 0, or the errno of the request that failed.
int ReadFoundLine(int descriptor, FoundLine* line);
// 0, or the errno of the request that failed.
int PutBackFoundLine(int descriptor, const FoundLine& line);
// Whether the C library's settings, with these control flags, put the line
// back at its speed: not at B0, which hangs it up and drops DTR, nor at the
// number only termios2 carries (an emulator makes that B0 too).
bool PlainCallsCarrySpeed(unsigned int flags);
