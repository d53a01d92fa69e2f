#pragma once

#include <QString>
#include <QStringList>

// The serial devices a technician may want, by their /dev names: USB
// adapters first (ttyUSB*, then ttyACM*), since the one just plugged in is
// almost always the one meant, then the built-in ports (ttyS*, ttyAMA*).
// Within a kind the numbers go up: ttyUSB9 before ttyUSB10.
QStringList OrderSerialNames(const QStringList& names);

// The machine's serial devices, read from /dev at start and whenever the
// port list drops down while no port is open. USB adapters are listed even
// when the user may not open them, so that opening one says why; a
// built-in port is listed only when a UART is behind it.
QStringList DiscoverSerialPorts();
