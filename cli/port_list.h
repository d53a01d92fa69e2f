#pragma once

#include "console_text.h"

// --list: the ports Windows has registered, one a line in natural order,
// opening none; with `identities` (--long), what Windows recorded of each,
// in columns or as JSON. A list cut short says so. Returns the exit status.
int PrintRegisteredPorts(ConsoleStreams& streams, bool identities, bool json);
