#!/usr/bin/env python3
"""The terminal program's table on the kernel's own serial drivers: Debian
12's kernel under QEMU (tests/vm/guest.py), the program inside it, the
simulated device on the host end of each line.

  python3 test_kernel_drivers.py --arch amd64 --program PATH --work DIR [unittest options]

amd64: the rows on a 16550A (8250, ttyS1) and on an FTDI adapter
(ftdi_sio, ttyUSB0), which alone can be unplugged; arm64: on the PL011
(ttyAMA0). PATH is the program for ARCH, or "release" for the one in
the release's package (build/dist/baudset-cli_*_ARCH.deb), as technicians
install it. A third process holds
each port throughout, so that anything the program leaves on the port
outlives its run, as it does where a modem manager or a second terminal
has the port open.
"""
import argparse
import contextlib
import os
import shlex
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "terminal"), os.path.join(HERE, "..")]
from guest import USB_SERIAL, Guest  # noqa: E402
from harness import SimulatedDevice  # noqa: E402
import test_terminal_program as table  # noqa: E402

sys.path.insert(0, os.path.join(HERE, "..", "run"))
from test_run_command import release_package  # noqa: E402

ARGS = None
# Per architecture: the ports the device is on, what --list finds, and
# whether the UART's emulation passes the line's settings on to the device.
PORTS = {"amd64": (("ttyS1", "ttyUSB0"), "ttyUSB0\nttyS0\nttyS1\n", True),
         # QEMU's PL011 keeps its host end at the rate it opened it with.
         "arm64": (("ttyAMA0",), "ttyAMA0\n", False)}
NO_UART = "ttyS2"  # built in on both, with nothing behind it


class GuestRun:
    def __init__(self, guest, command):
        self.guest, self.id = guest, guest.start(command)

    def said(self):
        return self.guest.job(self.id)[2].decode("utf-8", "replace")

    def poll(self):
        return self.guest.job(self.id)[0]

    def signal(self, name):
        self.guest.kill(self.id, name)

    def finish(self):
        status, out, err = self.guest.wait(self.id, table.DEADLINE)
        if status is None:
            self.guest.kill(self.id, "KILL")
            raise AssertionError("still running after %d s" % table.DEADLINE)
        return status, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


class GuestBench:
    """One guest for the whole run; a case's device is the one on the port's
    line since the boot, switched off and cleared for it."""

    def __init__(self, arch, program, work):
        self.ports, self.expected_listing, self.line_reaches_device = PORTS[arch]
        os.makedirs(work, exist_ok=True)
        self.devices = {port: SimulatedDevice(os.path.join(work, port + ".link"), "--start-off")
                        for port in self.ports}
        usb = self.devices.get("ttyUSB0")
        self.guest = None
        try:
            self.guest = Guest(arch, program, work, self.devices[self.ports[0]].link,
                               usb.link if usb else None)
            print("  booted in %.1f s" % self.guest.boot_seconds)
            self.holders, self.runs = {}, []
            for port in self.ports:
                self.hold(port)
        except BaseException:
            self.close()
            raise
        self.port = self.ports[0]

    def close(self):
        if self.guest is not None:
            self.guest.stop()
        for device in self.devices.values():
            device.stop()

    def hold(self, port):
        self.holders[port] = self.guest.start("exec sleep 100000 <>/dev/" + port)
        held = ("for fd in /proc/[0-9]*/fd/*; do [ \"$(readlink $fd)\" = /dev/%s ] && exit 0;"
                " done; exit 1" % port)
        table.wait_until(lambda: self.guest.run(held)[0] == 0, table.DEADLINE,
                         "a third process holding " + port)

    platform = "linux"
    spell = staticmethod(table.PtyBench.spell)

    def cannot(self, case):
        if any(arg not in ("--start-off", "--mode", "error")
               for arg in case.get("device", [])):
            return "the device's start-up options: this one is on the line from the boot"
        if case.get("already_on"):
            return "what waits on the line is in the guest's UART, where the device cannot count it"
        if isinstance(case.get("leave"), int):
            return "a rate only termios2 names: no tool in the guest sets one"
        if case.get("then") in ("hangup", "away_and_back") and self.port != "ttyUSB0":
            return "a built-in UART cannot be unplugged"
        if case.get("in_the_way"):
            return "no tracer in the guest to show the port untouched; this machine's run has it"
        return None

    def plug(self, device_args):
        device = self.devices[self.port]
        for command in ("switchoff", "mode normal", "setrate 9600", "clear"):
            device.ask(command)
        if "error" in device_args:
            device.ask("mode error")
        self.guest.run("mkdir -p /dev/serial/by-id && ln -sfn ../../%s %s"
                       % (self.port, table.BY_ID))
        return device

    def unplug(self, device):
        if self.port not in self.holders:  # back after a run that awaited it
            self.guest._usb_ready()
            self.hold(self.port)
        device.ask("switchoff")
        self.guest.run("chown 0:20 /dev/%s && chmod 660 /dev/%s" % (self.port, self.port))

    def pull(self, device):
        self.guest.unplug_usb()
        # A holder that stays on a port that is gone keeps its number taken:
        # the adapter would come back as ttyUSB1. Terminal programs leave
        # at the hang-up; ours stands for them.
        self.guest.kill(self.holders.pop(self.port), "KILL")

    def replug(self, device):
        self.guest.plug_usb()
        self.hold(self.port)
        return True

    def come_back(self, device):
        """The same adapter plugged in again by QEMU while the run awaits
        it: the run takes it in exclusive mode, so the holder comes back
        only after the run (in unplug)."""
        self.guest.plug_usb(ready=False)

    def start(self, words, nobody=False, user=None):
        command = "exec baudset-cli " + " ".join(map(shlex.quote, words))
        user = "nobody" if nobody else user
        self.runs.append(GuestRun(self.guest, Guest.as_user(user, command) if user else command))
        return self.runs[-1]

    def start_as_another_user(self, words):
        """A member of dialout, not root: root may open a port in exclusive mode."""
        return self.start(words, user="other")

    def shell(self, command):
        return self.guest.run(command)[1].decode()

    def lock_held(self):
        return self.guest.run("[ -e /var/lock/LCK..%s ]" % self.port)[0] == 0

    def set_mode(self, uid, gid, mode):
        self.guest.run("chown %d:%d /dev/%s && chmod %o /dev/%s"
                       % (uid, gid, self.port, mode, self.port))

    def leave_stale_lock(self):
        self.guest.run("printf '%%10d\\n' 4194304 >/var/lock/LCK..%s" % self.port)

    @contextlib.contextmanager
    def without_uart(self, how):
        """The real one: with /sys/class/tty hidden, the 8250's own answers."""
        hidden = how == "no /sys" and self.guest.run("mount -t tmpfs none /sys/class/tty")
        try:
            yield NO_UART
        finally:
            if hidden:
                self.guest.run("umount /sys/class/tty")

    @contextlib.contextmanager
    def listing(self):
        yield self.expected_listing

    @property
    def known_identities(self):
        """QEMU's FTDI adapter as the kernel records it: FTDI's IDs, the
        serial number the rig gave it, its by-id link and ftdi_sio; a
        16550A has no USB columns."""
        if "ttyUSB0" not in self.ports:
            return {}
        return {"ttyUSB0": {1: r"^/dev/serial/by-id/usb-.*-port0$", 2: "^0403$", 3: "^6001$",
                            4: "^%s$" % USB_SERIAL, 7: "^ftdi_sio$"},
                "ttyS1": {2: "^-$", 3: "^-$", 4: "^-$", 7: "^(serial|serial8250)$"}}

    def list_opens_no_port(self, test):
        pass  # no tracer in the guest; this machine's run traces it


class OnKernelDrivers(table.TerminalTable, unittest.TestCase):
    def test_cases(self):
        for port in self.bench.ports:
            self.bench.port = port
            print("  on %s" % port)
            super().test_cases()


def setUpModule():
    OnKernelDrivers.bench = GuestBench(ARGS.arch, program_for(ARGS.arch, ARGS.program),
                                       ARGS.work)


def tearDownModule():
    OnKernelDrivers.bench.close()


def program_for(arch, path):
    """The program itself, or, given "release", the one in the release's
    package of ARCH."""
    if path != "release":
        return path
    deb = release_package(arch, "baudset-cli")
    if deb is None:
        raise SystemExit("no baudset-cli package for %s in build/dist: scripts/package builds it"
                         % arch)
    unpacked = tempfile.mkdtemp(prefix="baudset-cli-%s." % arch)
    subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
    return os.path.join(unpacked, "usr", "bin", "baudset-cli")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=sorted(PORTS), required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--work", required=True)
    ARGS, rest = parser.parse_known_args()
    begun = time.monotonic()
    result = unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False).result
    print("kernel drivers, %s: %.1f s in all" % (ARGS.arch, time.monotonic() - begun))
    sys.exit(not result.wasSuccessful())


if __name__ == "__main__":
    main()
