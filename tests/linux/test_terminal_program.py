#!/usr/bin/env python3
"""baudset-cli as a shell script or a technician over SSH meets it, against
the simulated device: one table of cases, each a run of the program with
standard input /dev/null and standard output a pipe, and no display.

  scripts/private-dev -- python3 test_terminal_program.py --program PATH [unittest options]

It runs in a /dev of its own, where each case's device is bound in as a
node of its own at /dev/ttyUSB0, as an adapter's is: its lock is
LCK..ttyUSB0, and a udev-style link to it resolves to that name. The cases
that need another account (denied, the port's exclusive mode) run the
program as nobody and are skipped where there is no such account to be.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, ".."), os.path.join(HERE, "..", "..", "scripts")]
from harness import SimulatedDevice, wait_until  # noqa: E402
from private_dev import mount  # noqa: E402

PROGRAM = None  # set from --program
PROMPT = "power-cycle the device now"
LOCK = "/var/lock/LCK..ttyUSB0"
BY_ID = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
RATES = "9600 14400 19200 38400 56000 57600 115200"
# Every wait in the program is counted in its own 10 ms ticks, so a run
# takes its nominal time plus whatever a loaded machine adds; this bounds
# the wait for any one run.
DEADLINE = 60


def as_nobody_works():
    return os.getuid() == 0 and subprocess.run(
        ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", "true"],
        capture_output=True).returncode == 0


# Each row: words after the program's name; the device's options; what is
# done once the program has asked for the power cycle; the status, standard
# output and a piece of standard error expected; the commands other than
# the keep-alive "AT" that reached the device, in order; and the device's
# rate afterwards.
CASES = [
    dict(name="read only", words=["ttyUSB0"], then="powercycle", status=0,
         out="version V2.1\nrate 9600\n", wire=[b"AT+BAUD?\r\n"]),
    dict(name="set ok", words=["ttyUSB0", "115200"], then="powercycle", status=0,
         out="version V2.1\nrate 9600\nset 115200 ok\n",
         wire=[b"AT+BAUD?\r\n", b"AT+BAUD=115200\r\n"], rate="115200"),
    dict(name="set refused", words=["ttyUSB0", "57600"], device=["--mode", "error"],
         then="powercycle", status=1, out="version V2.1\nrate unknown\nset 57600 failed\n",
         err="did not answer AT+BAUD=57600 with OK", rate="9600"),
    # Switched on before the run, on a line an earlier run left raw at
    # 9600: its banner waits on the line, and the open drops it.
    dict(name="a device already on answers AT, and OK is its version", words=["ttyUSB0"],
         already_on=True, status=0, out="version OK\nrate 9600\n"),
    dict(name="a rate not in the table", words=["ttyUSB0", "115201"], status=2, out="",
         err=RATES, prompted=False, wire=[]),
    dict(name="a silent device", words=["--wait", "1.5", "ttyUSB0"], status=4, out="",
         err="nothing valid came from the device within 1.5 s", seconds=(1.5, None)),
    # Each answer comes 2 s late: the banner is judged, then nothing valid
    # for the watchdog's 1.5 s.
    dict(name="the link lost midway", words=["ttyUSB0", "9600"],
         device=["--mode", "slow", "--slow-delay", "2"], then="powercycle", status=4,
         out="version V2.1\n", err="the link to the device was lost"),
    dict(name="unplugged while waiting", words=["ttyUSB0"], then="hangup", status=4, out="",
         err="/dev/ttyUSB0 went away"),
    dict(name="a port that is not there", words=["/dev/ttyUSB7"], status=3, out="",
         err="/dev/ttyUSB7 已不存在", prompted=False),
    dict(name="denied", words=["ttyUSB0"], nobody=True, mode=(0, 20, 0o660), status=3,
         out="", err="\nsudo usermod -aG dialout nobody\nbaudset-cli: no permission to open "
         "/dev/ttyUSB0: only members of the group dialout", prompted=False),
    dict(name="busy: another run holds its lock", words=["ttyUSB0"], holder=True, status=3,
         out="", err="/dev/ttyUSB0 正被其他程序使用（锁文件 %s）。" % LOCK, prompted=False),
    dict(name="busy: another run holds the port in exclusive mode", words=["ttyUSB0"],
         holder=True, nobody=True, mode=(0, 0, 0o666), status=3, out="",
         err="/dev/ttyUSB0 正被其他程序使用。\n", prompted=False),
    dict(name="a lock left by a program that died is taken over", words=["ttyUSB0"],
         stale_lock=True, then="powercycle", status=0, out="version V2.1\nrate 9600\n"),
    dict(name="Ctrl-C", words=["ttyUSB0", "115200"], then="SIGINT", status=130, out="",
         err="interrupted", rate="9600"),
    dict(name="SIGTERM", words=["ttyUSB0"], then="SIGTERM", status=143, out="",
         err="terminated"),
    # Locked by the name the link resolves to, as the window locks it.
    dict(name="a udev by-id link as the port", words=[BY_ID, "38400"], locked=True,
         then="powercycle",
         status=0, out="version V2.1\nrate 9600\nset 38400 ok\n", rate="38400"),
]


class TerminalProgram(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A folder anyone may enter, so that nobody can run it too.
        cls.folder = tempfile.mkdtemp(prefix="baudset-cli.")
        os.chmod(cls.folder, 0o755)
        cls.program = os.path.join(cls.folder, "baudset-cli")
        shutil.copy(PROGRAM, cls.program)
        cls.nobody = as_nobody_works()
        os.makedirs(os.path.dirname(BY_ID), exist_ok=True)
        os.symlink("../../ttyUSB0", BY_ID)

    @classmethod
    def tearDownClass(cls):
        os.unlink(BY_ID)
        shutil.rmtree(cls.folder)

    def plug(self, name, *device_args):
        """A device at /dev/NAME, a node of its own as an adapter's is."""
        device = SimulatedDevice(os.path.join(self.folder, name + ".link"), *device_args)
        node = "/dev/" + name
        open(node, "w").close()
        mount("--bind", os.path.realpath(device.link), node)
        return device, node

    @staticmethod
    def unplug(device, node):
        subprocess.run(["umount", "-n", node], capture_output=True)
        os.unlink(node)
        device.stop()

    def start(self, words, nobody=False):
        wrap = ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", "--"] \
            if nobody else []
        err = tempfile.TemporaryFile("w+", encoding="utf-8")
        program = subprocess.Popen(wrap + [self.program] + words, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=err, text=True,
                                   encoding="utf-8")
        program.err = err
        self.addCleanup(err.close)
        return program

    @staticmethod
    def said(program):
        program.err.seek(0)
        return program.err.read()

    def finish(self, program):
        out, _ = program.communicate(timeout=DEADLINE)
        return program.returncode, out, self.said(program)

    def test_cases(self):
        for case in CASES:
            with self.subTest(case["name"]):
                self.run_case(case)

    def run_case(self, case):
        if case.get("nobody") and not self.nobody:
            print("  skipped (no other account here): %s" % case["name"])
            return
        device, node = self.plug("ttyUSB0", *case.get("device", ["--start-off"]))
        try:
            self.run_on(case, device)
        finally:
            self.unplug(device, node)

    def run_on(self, case, device):
        if "mode" in case:
            uid, gid, mode = case["mode"]
            os.chown("/dev/ttyUSB0", uid, gid)
            os.chmod("/dev/ttyUSB0", mode)
        if case.get("stale_lock"):
            with open(LOCK, "w") as lock:  # a PID no process has
                lock.write("%10d\n" % 4194304)
        if case.get("already_on"):
            self.check_nothing_left(port_still_there=True)
            device.ask("powercycle")
            wait_until(lambda: device.ask("power") == "on" and device.ask("pending") == "6",
                       DEADLINE, "the banner out of the device and waiting on the line")
        holder = None
        if case.get("holder"):
            holder = self.start(["ttyUSB0"])
            wait_until(lambda: PROMPT in self.said(holder), DEADLINE, "the first run's prompt")
        begun = time.monotonic()
        program = self.start(case["words"], nobody=case.get("nobody", False))
        if case.get("prompted", True):
            wait_until(lambda: PROMPT in self.said(program) or program.poll() is not None,
                       DEADLINE, "the prompt for a power cycle")
            self.assertIsNone(program.poll(), self.said(program))
            if case.get("locked"):
                self.assertTrue(os.path.exists(LOCK), "locked while it runs")
            if case.get("then") == "powercycle":
                device.ask("powercycle")
            elif case.get("then") == "hangup":
                device.ask("hangup")
            elif case.get("then"):
                program.send_signal(getattr(signal, case["then"]))
        status, out, err = self.finish(program)
        seconds = time.monotonic() - begun
        print("  %-55s status %3d in %5.2f s" % (case["name"], status, seconds))
        self.assertEqual((status, out), (case["status"], case["out"]), err)
        self.assertIn(case.get("err", ""), err)
        self.assertEqual(PROMPT in err, case.get("prompted", True), err)
        if "seconds" in case:
            self.assertGreaterEqual(seconds, case["seconds"][0])
        if holder is not None:
            self.assertIsNone(holder.poll(), "the first run goes on")
            holder.send_signal(signal.SIGTERM)
            self.assertEqual(self.finish(holder)[0], 143)
        self.check_device(case, device)
        self.check_nothing_left(port_still_there=case.get("then") != "hangup")

    def check_device(self, case, device):
        if case.get("then") == "hangup":
            return
        lines = device.lines()
        if case["status"] == 2:
            self.assertEqual(lines, [], "a usage error writes nothing to the wire")
        if "wire" in case:
            self.assertEqual([line for line in lines if line != b"AT\r\n"], case["wire"])
        if "rate" in case:
            self.assertEqual(device.ask("rate"), case["rate"])

    def check_nothing_left(self, port_still_there):
        """No lock, and the port free: the next open takes it at once."""
        self.assertFalse(os.path.exists(LOCK), "the lock is removed")
        if port_still_there:
            status, _, err = self.finish(self.start(["--wait", "0.01", "ttyUSB0"]))
            self.assertEqual(status, 4, err)

    def test_list_names_the_ports_in_order_and_opens_none(self):
        # The kernel's account, as a PC's: a UART behind ttyS0 (16550A),
        # none behind ttyS1. ttyAMA0's driver keeps none here.
        mount("-t", "tmpfs", "baudset-tty-class", "/sys/class/tty")
        self.addCleanup(subprocess.run, ["umount", "-n", "/sys/class/tty"])
        for name, kind in (("ttyS0", "4"), ("ttyS1", "0")):
            os.mkdir("/sys/class/tty/" + name)
            with open("/sys/class/tty/%s/type" % name, "w") as account:
                account.write(kind + "\n")
        for name in ("ttyAMA0", "ttyS1", "ttyS0", "ttyACM0", "ttyUSB0"):
            self.addCleanup(self.unplug, *self.plug(name))
        traced = os.path.join(self.folder, "list.trace")
        # LeakSanitizer cannot work under a tracer; the other cases keep it.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        listing = subprocess.run(
            ["strace", "-f", "-qq", "-e", "trace=open,openat", "-o", traced, self.program,
             "--list"], stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=DEADLINE,
            env=env)
        self.assertEqual((listing.returncode, listing.stdout),
                         (0, "ttyUSB0\nttyACM0\nttyS0\nttyAMA0\n"), listing.stderr)
        with open(traced) as trace:
            opened = [line for line in trace if '"/dev/tty' in line]
        self.assertEqual(opened, [], "listing opens no port")


def main():
    global PROGRAM
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    args, rest = parser.parse_known_args()
    PROGRAM = os.path.abspath(args.program)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
