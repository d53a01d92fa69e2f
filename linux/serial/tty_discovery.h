#pragma once

#include <string>
#include <vector>

#include "port_identity.h"

// The serial devices a technician may want, by their /dev names: USB
// adapters first (ttyUSB*, then ttyACM*), since the one just plugged in is
// almost always the one meant, then the built-in ports (ttyS*, ttyAMA*).
// Within a kind the numbers go up: ttyUSB9 before ttyUSB10.
std::vector<std::string> OrderSerialNames(const std::vector<std::string>& names);

// The machine's serial devices, read from /dev, with the kernel's account
// in /sys/class/tty deciding which built-in ports have a UART behind them.
// No port is opened: opening one raises DTR and RTS, which resets many
// boards and disturbs a port that another program is using. USB adapters
// are listed even when the user may not open them, so that opening one
// says why. Both programs list ports with it, the window at start and
// whenever its list drops down while no port is open.
std::vector<std::string> DiscoverSerialPorts();

// False only where the kernel's serial core says that no UART stands
// behind the port `name` (a /dev name such as ttyS2): opening one of those
// succeeds, and then every request fails with a word that explains
// nothing. A port without such an account may well work.
bool KernelFoundUart(const std::string& name);

// What the kernel recorded of the port `name`: its /dev/serial/by-id link,
// the USB device's IDs and strings, its driver. Read from `root`'s /sys and
// /dev ("" for this machine's), opening no port; every read bounded, and
// no by-id link taken unless it resolves to the port's own node.
PortIdentity IdentifyPort(const std::string& name, const std::string& root = "");
