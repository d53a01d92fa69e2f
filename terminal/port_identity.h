#pragma once

#include <cstddef>

// What a port is, for a production line's script that must pick a board
// by its adapter rather than by a number that wanders between plugs: what
// the system recorded of it, read without opening the port. Each platform
// fills it; the line is written here, the same for both.
struct PortIdentity {
    char name[64] = {};
    char byId[256] = {};          // Linux: its /dev/serial/by-id path
    char vendorId[8] = {};        // USB, four lowercase hex digits
    char productId[8] = {};
    char serial[128] = {};        // the adapter's serial number
    char manufacturer[128] = {};
    char product[128] = {};
    char driver[64] = {};
};

// Copies what a device reported into `field`: cut to its size, and every
// byte a terminal or a script would act on (tabs, line ends, escapes) as
// '?', so that a line stays a line and a column a column.
void KeepField(char* field, std::size_t size, const char* reported, std::size_t length);

// One line for --list --long: the fields separated by tabs, "-" for an empty
// one; or, for --json, one object. Returns `out`.
const char* DescribePortIdentity(const PortIdentity& port, bool json, char* out, std::size_t size);

// Vendor, product and serial number from a Windows device instance ID
// (USB\VID_0403&PID_6001\A50285BI, FTDIBUS\VID_0403+PID_6001+A50285BIA\0000).
// A serial that Windows made up (one with '&' in it, for a device that has
// none) is left empty. False if the ID names no vendor and product.
bool ReadInstanceId(const char* id, PortIdentity* port);
