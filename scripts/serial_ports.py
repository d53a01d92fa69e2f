#!/usr/bin/env python3
"""Which serial adapters become which COM ports, for the baudset launcher.

  serial_ports.py check PATH      PATH is a serial port the user may open
  serial_ports.py scan [DIR]      the adapters in DIR (default /dev) that the
                                  user may open, one "N=PATH" line each, and
                                  a line of its own for each one left out

A refusal is one line on stderr and exit status 1. The scan puts USB
adapters (ttyUSB*, ttyACM*) first, from COM1, so that the adapter a
technician has just plugged in is COM1 whatever the machine's own ports
are; then the built-in ones (ttyS*, ttyAMA*). Within a kind, numbers go
up (ttyUSB2 before ttyUSB10). USB adapters the user may not open are named,
with what would let them in.
"""
import errno
import grp
import os
import pwd
import re
import stat
import sys

# The tool looks at COM1 to COM32.
MOST_PORTS = 32
KINDS = ("ttyUSB", "ttyACM", "ttyS", "ttyAMA")


def user_name():
    return pwd.getpwuid(os.getuid()).pw_name


def denied_advice(path):
    """Why the user may not open PATH and what would let them in."""
    info = os.stat(path)
    if info.st_mode & stat.S_IRGRP and info.st_mode & stat.S_IWGRP:
        try:
            group = grp.getgrgid(info.st_gid).gr_name
        except KeyError:
            group = str(info.st_gid)
        return (f"only members of the group '{group}' may open {path}; add yourself with "
                f"'sudo usermod -aG {group} {user_name()}', then log out and in again")
    return f"you may not open {path} (owner {info.st_uid}, mode {stat.filemode(info.st_mode)})"


def problem(path):
    """None when PATH is a serial port the user may open, else why not."""
    try:
        mode = os.stat(path).st_mode
    except PermissionError:
        return f"you may not reach {path}: a folder on its way is closed to you"
    except OSError:
        return (f"{path} does not exist (is the adapter plugged in? "
                f"see 'ls /dev/ttyUSB* /dev/ttyACM*')")
    if not stat.S_ISCHR(mode):
        return f"{path} is not a serial device"
    try:
        # O_NONBLOCK: a port waiting for carrier must not hang the check.
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as error:
        if error.errno in (errno.EACCES, errno.EPERM):
            return denied_advice(path)
        # A built-in port with no UART behind it opens with EIO.
        return f"cannot use {path}: {error.strerror}"
    try:
        if not os.isatty(fd):
            return f"{path} is not a serial device"
    finally:
        os.close(fd)
    return None


def natural(name):
    kind, number = re.match(r"(\D+)(\d*)$", name).groups()
    return KINDS.index(kind), int(number or 0)


def candidates(directory):
    pattern = re.compile(r"(%s)\d+$" % "|".join(KINDS))
    try:
        names = [name for name in os.listdir(directory) if pattern.match(name)]
    except OSError:
        return []
    return [os.path.join(directory, name) for name in sorted(names, key=natural)]


def scan(directory):
    """(the N=PATH mapping, notes on adapters left out)"""
    mapping, notes = [], []
    for path in candidates(directory):
        why = problem(path)
        if why is None:
            if len(mapping) == MOST_PORTS:
                notes.append(f"{path} left out: the tool has only COM1 to COM{MOST_PORTS}")
            else:
                mapping.append((len(mapping) + 1, path))
        elif os.path.basename(path).startswith(("ttyUSB", "ttyACM")):
            # Built-in ports with no UART behind them are on most machines:
            # not worth a word. A USB adapter the user may not open is.
            notes.append(why)
    return mapping, notes


def main(argv):
    if len(argv) == 3 and argv[1] == "check":
        why = problem(argv[2])
        if why:
            print(why, file=sys.stderr)
            return 1
        return 0
    if len(argv) in (2, 3) and argv[1] == "scan":
        mapping, notes = scan(argv[2] if len(argv) == 3 else "/dev")
        for note in notes:
            print(note)
        for number, path in mapping:
            print(f"{number}={path}")
        return 0
    print(__doc__.strip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
