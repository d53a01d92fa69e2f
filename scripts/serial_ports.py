#!/usr/bin/env python3
"""Whether a path is a serial adapter the user may open, for scripts/run's
Wine launcher (wine-launch).

  serial_ports.py check PATH      PATH is a serial port the user may open

A refusal is one line on stderr and exit status 1.
"""
import errno
import grp
import os
import pwd
import stat
import sys

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


def main(argv):
    if len(argv) == 3 and argv[1] == "check":
        why = problem(argv[2])
        if why:
            print(why, file=sys.stderr)
            return 1
        return 0
    print(__doc__.strip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
