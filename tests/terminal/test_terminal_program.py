#!/usr/bin/env python3
"""baudset-cli as a shell script or a technician over SSH meets it, against
the simulated device: one table of cases, each a run of the program with
standard input /dev/null and standard output a pipe, and no display. The
same table runs for baudset-cli.exe under Wine; a row that one platform
cannot have says which and why. A row marked `network` runs again with its
device behind ser2net on this machine, the port rfc2217://127.0.0.1:PORT.

  scripts/private-dev -- python3 test_terminal_program.py --program PATH [unittest options]
  wine-rig exec --prefix P --register --port 3=WORK/com3 --port 12=WORK/com12 --port 40=WORK/com40 -- \
      python3 test_terminal_program.py --program baudset-cli.exe --wine WORK

It runs in a /dev of its own, where each case's device is bound in as a
node of its own at /dev/ttyUSB0, as an adapter's is: its lock is
LCK..ttyUSB0, and a udev-style link to it resolves to that name. The cases
that need another account (denied, the port's exclusive mode) run the
program as nobody and are skipped where there is no such account to be.
"""
import argparse
import contextlib
import ctypes
import fcntl
import glob
import json
import os
import pathlib
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, ".."), os.path.join(HERE, "..", "..", "scripts")]
from harness import AS_NOBODY, SimulatedDevice, start_ser2net, wait_until  # noqa: E402
from private_dev import mount  # noqa: E402

PROGRAM = None  # set from --program
WORK = None  # set from --wine
PROMPT = "power-cycle the device now"
LOCK = "/var/lock/LCK..ttyUSB0"
BY_ID = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
RATES = "9600 14400 19200 38400 56000 57600 115200"
# Every wait in the program is counted in its own 10 ms ticks, so a run
# takes its nominal time plus whatever a loaded machine adds; this bounds
# the wait for any one run.
DEADLINE = 60
HOLD = 2.0  # seconds a run is stopped for


def as_nobody_works():
    return os.getuid() == 0 and subprocess.run(AS_NOBODY + ["true"],
                                                capture_output=True).returncode == 0


# Each row: words after the program's name; the device's options; what is
# done once the program has asked for the power cycle; the status, standard
# output and a piece of standard error expected; the commands other than
# the keep-alive "AT" that reached the device, in order; and the device's
# rate afterwards.
CASES = [
    dict(name="read only", words=["ttyUSB0"], then="powercycle", status=0, network=True,
         out="version V2.1\nrate 9600\n", wire=[b"AT+BAUD?\r\n"]),
    dict(name="set ok", words=["ttyUSB0", "115200"], then="powercycle", status=0, network=True,
         out="version V2.1\nrate 9600\nset 115200 ok\n",
         wire=[b"AT+BAUD?\r\n", b"AT+BAUD=115200\r\n"], rate="115200"),
    dict(name="set refused", words=["ttyUSB0", "57600"], device=["--start-off", "--mode", "error"],
         then="powercycle", status=1, out="version V2.1\nrate unknown\nset 57600 failed\n",
         err="did not answer AT+BAUD=57600 with OK", rate="9600", network=True),
    # Switched on before the run, on a line an earlier run left raw at
    # 9600: its banner waits on the line, and the open drops it.
    dict(name="a device already on answers AT, and OK is its version", words=["ttyUSB0"],
         already_on=True, status=0, out="version OK\nrate 9600\n"),
    dict(name="a rate not in the table", words=["ttyUSB0", "115201"], status=2, out="",
         err=RATES, prompted=False, wire=[]),
    dict(name="a silent device", words=["--wait", "1.5", "ttyUSB0"], status=4, out="", network=True,
         err="nothing valid came from the device within 1.5 s", seconds=(1.5, None)),
    # Each answer comes 2 s late: the banner is judged, then nothing valid
    # for the watchdog's 1.5 s.
    dict(name="the link lost midway", words=["ttyUSB0", "9600"],
         device=["--start-off", "--mode", "slow", "--slow-delay", "2"], then="powercycle", status=4,
         out="version V2.1\n", err="the link to the device was lost", network=True),
    # Over the network: the terminal server stopped.
    # Before the first line an adapter is awaited: its board may be powered
    # from it. Over the network: the terminal server stopped.
    dict(name="unplugged while waiting, not back in the wait", words=["--wait", "2", "ttyUSB0"],
         then="hangup", status=4, out="", err="/dev/ttyUSB0 did not come back within 2 s",
         once="went away; waiting for it to come back", gone_within=2 + 1.0,
         network=dict(err="the connection to WHERE was lost", once="was lost", gone_within=1.0)),
    dict(name="unplugged while waiting, back in the wait", words=["ttyUSB0", "115200"],
         then="away_and_back", status=0, out="version V2.1\nrate 9600\nset 115200 ok\n",
         rate="115200", once="went away; waiting for it to come back"),
    # Held up (stopped) for HOLD s mid-wait: the wait still ends when it says.
    dict(name="a wait holds in wall-clock time", words=["--wait", "1.5", "ttyUSB0"], then="hold",
         status=4, out="", err="within 1.5 s", seconds=(1.5, None)),
    dict(name="arguments that fill the conversion buffer exactly", words=["x" * 4095, "ttyUSB0"],
         status=2, out="", err="the arguments are too long", prompted=False,
         only=("windows", "the Windows program converts its wide arguments into 4 KiB")),
    dict(name="a port that is not there", words=["/dev/ttyUSB7"], status=3, out="",
         err="/dev/ttyUSB7 已不存在", prompted=False),
    # Of two ports one is not there: the other is asked for by name, alone.
    dict(name="one of two ports not there", words=["ttyUSB0", "/dev/ttyUSB7", "115200"],
         then="powercycle", status=3, rate="115200", err="ttyUSB0 is open at 9600 8N1: power-cycle",
         out="ttyUSB0: version V2.1\nttyUSB0: rate 9600\nttyUSB0: set 115200 ok\nttyUSB0: status 0\n"
             "/dev/ttyUSB7: status 3 /dev/ttyUSB7 is not there: the adapter may have been unplugged\n"),
    dict(name="denied", words=["ttyUSB0"], nobody=True, mode=(0, 20, 0o660), status=3,
         only=("linux", "a COM port has no owner, group or mode"),
         out="", err="\nsudo usermod -aG dialout nobody\nbaudset-cli: no permission to open "
         "/dev/ttyUSB0: only members of the group dialout", prompted=False),
    dict(name="busy: another run holds its lock", words=["ttyUSB0"], holder=True, status=3,
         only=("linux", "lock files are a Linux convention"),
         out="", err="/dev/ttyUSB0 正被其他程序使用（锁文件 %s）。" % LOCK, prompted=False),
    dict(name="busy: another run holds the port in exclusive mode", words=["ttyUSB0"],
         holder=True, nobody=True, mode=(0, 0, 0o666), status=3, out="",
         err="/dev/ttyUSB0 正被其他程序使用。\n", prompted=False),
    # Anyone may write in /var/lock: what is no regular file there is in the
    # way, said at once, and the port is not touched (its open raises DTR).
    dict(name="a FIFO where the lock goes", words=["ttyUSB0"], in_the_way="fifo", status=3,
         out="", err="/dev/ttyUSB0 无法加锁：%s 不是普通文件" % LOCK, prompted=False, within=1,
         only=("linux", "lock files are a Linux convention")),
    dict(name="a link to the port where the lock goes", words=["ttyUSB0"], in_the_way="link",
         status=3, out="", err="cannot be locked: %s is in the way" % LOCK, prompted=False,
         within=1, only=("linux", "lock files are a Linux convention")),
    dict(name="a lock left by a program that died is taken over", words=["ttyUSB0"],
         only=("linux", "lock files are a Linux convention"),
         stale_lock=True, then="powercycle", status=0, out="version V2.1\nrate 9600\n"),
    # The serial core's account says that no UART stands behind the port.
    dict(name="a named port with no UART behind it", words=["ttyUSB0"], no_uart=True, status=3,
         only=("linux", "Windows names no COM port without a driver behind it"),
         out="", err="no serial hardware answers behind /dev/ttyUSB0", prompted=False),
    # No /sys to ask (a chroot, a container), and the port answers with EIO.
    dict(name="a port with no /sys entry that answers EIO", words=["ttyUSB0"], no_uart="no /sys",
         status=3, only=("linux", "Windows names no COM port without a driver behind it"),
         out="", err="no serial hardware answers behind /dev/ttyUSB0", prompted=False),
    # Left by another program at another rate and format, and cooked.
    dict(name="a line left otherwise is 9600 8N1 raw while the run holds it",
         leave="115200 cs7 parenb parodd cstopb icanon echo isig opost ixon crtscts",
         words=["ttyUSB0"], then="powercycle", status=0, out="version V2.1\nrate 9600\n",
         only=("linux", "each Windows program sets a COM port's line itself; none expects it back")),
    dict(name="a line left at 250000, a rate only termios2 names", leave=250000,
         words=["ttyUSB0"], then="powercycle", status=0, out="version V2.1\nrate 9600\n",
         only=("linux", "each Windows program sets a COM port's line itself; none expects it back")),
    dict(name="Ctrl-C", words=["ttyUSB0", "115200"], then="INT", status=130, out="",
         err="interrupted", rate="9600", network=True),
    dict(name="SIGTERM", words=["ttyUSB0"], then="TERM", status=143, out="",
         err="terminated", only=("linux", "Windows has no SIGTERM"), network=True),
    dict(name="the port by its device path", words=["\\\\.\\ttyUSB0", "57600"], then="powercycle",
         status=0, out="version V2.1\nrate 9600\nset 57600 ok\n", rate="57600",
         only=("windows", "a device path \\\\.\\NAME is Windows'")),
    # Locked by the name the link resolves to, as the window locks it.
    dict(name="a udev by-id link as the port", words=[BY_ID, "38400"], locked=True,
         then="powercycle", only=("linux", "udev's links are Linux's"),
         status=0, out="version V2.1\nrate 9600\nset 38400 ok\n", rate="38400"),
    # Over the network only: a server of the row's own at the port the row
    # names (NetworkBench.serve), or none.
    dict(name="a name that does not resolve", words=["rfc2217://baudset-test.invalid:4001"],
         status=3, out="", err="baudset-test.invalid does not resolve (baudset-test.invalid:4001)",
         prompted=False, network="only"),
    dict(name="a refused connection", words=["ttyUSB0"], server="refused", status=3, out="",
         err="WHERE refused the connection", prompted=False, network="only"),
    # Counted from the connection's acceptance: the 5 s, and the second an
    # unplug's end is allowed.
    dict(name="a server that never answers", words=["ttyUSB0"], server="silent", status=3,
         out="", err="within 5 s", prompted=False, seconds=(5, 5 + 1), network="only"),
    dict(name="a server that refuses the rate", words=["ttyUSB0"], server="peer", status=3,
         out="", err="the server did not take 9600 8N1: it answered 115200 baud (WHERE)",
         prompted=False, network="only"),
    # ser2net's raw mode, its line at 9600 8N1 by its own configuration.
    dict(name="socket:// to a line at 9600", words=["ttyUSB0", "115200"], server="raw",
         then="powercycle", status=0, out="version V2.1\nrate 9600\nset 115200 ok\n",
         wire=[b"AT+BAUD?\r\n", b"AT+BAUD=115200\r\n"], rate="115200",
         once="must be at 9600 8N1", network="only"),
    dict(name="a server that closes the connection it took", words=["ttyUSB0"], server="closes",
         status=3, out="", err="WHERE closed the connection it had taken", prompted=False,
         network="only"),
    # 9600 8N1 acknowledged, and those answers and the FIN in one segment.
    dict(name="a server that sets the line and closes at once", words=["--wait", "10", "ttyUSB0"],
         server="corked", status=(3, 4), out="", err="WHERE", prompted=False, seconds=(0, 1),
         network="only"),
    dict(name="a reset between the wait and a tick's write", words=["--wait", "10", "ttyUSB0"],
         server="resets", status=4, out="", err="the connection to WHERE was lost",
         seconds=(0, 1), only=("linux", "strace holds the write up"), network="only"),
    dict(name="a server that never acknowledges the restore", words=["--wait", "1", "ttyUSB0"],
         server="unacked", status=4, out="", network="only",
         err="warning: the line of the server at WHERE may not have been put back"),
]


# What a line must read while a run holds it, however it was left: 9600
# baud, 8N1, raw, and no flow control.
LINE_WHILE_RUNNING = ("speed 9600 baud", "cs8", "-parenb", "-cstopb", "-icanon", "-echo", "-isig",
                      "-opost", "-ixon", "-crtscts", "clocal")


def line_words(stty_output):
    """The words of `stty -a` (GNU's or busybox's), speed first."""
    speed = re.search(r"speed (\d+) baud", stty_output)
    return {"speed %s baud" % (speed.group(1) if speed else "?")} | set(
        re.split(r"[\s;]+", stty_output))


def wait_for_words(run, words, what):
    """Until the run's standard error says WORDS, or it ends."""
    wait_until(lambda: words in run.said() or run.poll() is not None, DEADLINE, what)


class LocalRun:
    """The program run here, standard input /dev/null, output a pipe; in a
    process group of its own, so that a hung run under a tracer goes with it."""

    def __init__(self, argv):
        self.err = tempfile.TemporaryFile("w+", encoding="utf-8")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=self.err, text=True, encoding="utf-8",
                                     start_new_session=True)

    def said(self):
        self.err.seek(0)
        return self.err.read()

    def poll(self):
        return self.proc.poll()

    def signal(self, name):
        self.proc.send_signal(getattr(signal, "SIG" + name))

    def finish(self):
        try:
            out, _ = self.proc.communicate(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)  # a hung run must not hold the port
            self.proc.communicate()
            raise
        said = self.said()
        self.err.close()
        return self.proc.returncode, out, said


class PtyBench:
    """This machine, in a /dev of its own: each case's device is bound in
    as a node of its own at /dev/ttyUSB0, as an adapter's is, and the
    device's own side of the pty holds the port throughout."""

    port = "ttyUSB0"
    platform = "linux"
    local_line_put_back = True
    rack_ports = "ttyUSB%d", 1  # the rack's local ports: a name and its first number
    line_reaches_device = True  # the pty's other end reads the line's settings
    tracer = []  # for the next run alone

    def __init__(self, program):
        # A folder anyone may enter, so that nobody can run it too.
        self.folder = tempfile.mkdtemp(prefix="baudset-cli.")
        os.chmod(self.folder, 0o755)
        self.program = os.path.join(self.folder, "baudset-cli")
        shutil.copy(program, self.program)
        self.nobody = as_nobody_works()
        self.runs = []
        os.makedirs(os.path.dirname(BY_ID), exist_ok=True)
        os.symlink("../../ttyUSB0", BY_ID)

    def close(self):
        os.unlink(BY_ID)
        shutil.rmtree(self.folder)

    def cannot(self, case):
        if case.get("nobody") and not self.nobody:
            return "no other account here"
        return None

    @staticmethod
    def spell(text, port):
        """The row's words as the program here says them."""
        return text.replace("ttyUSB0", port)

    def plug(self, device_args, name="ttyUSB0"):
        """A device at /dev/NAME."""
        device = SimulatedDevice(os.path.join(self.folder, name + ".link"), *device_args)
        device.node = "/dev/" + name
        open(device.node, "w").close()
        mount("--bind", os.path.realpath(device.link), device.node)
        return device

    def unplug(self, device):
        subprocess.run(["umount", "-n", device.node], capture_output=True)
        with contextlib.suppress(FileNotFoundError):  # pulled, not back
            os.unlink(device.node)
        device.stop()

    def pull(self, device):
        """As an adapter goes: its line hung up, and its node gone."""
        device.ask("hangup")
        subprocess.run(["umount", "-n", device.node], capture_output=True)
        os.unlink(device.node)

    def come_back(self, device):
        device.ask("reopen")
        open(device.node, "w").close()
        mount("--bind", os.path.realpath(device.link), device.node)

    def replug(self, device):
        return False  # the bound node goes with its pty

    def start(self, words, nobody=False):
        wrap = AS_NOBODY if nobody else []
        self.runs.append(LocalRun(wrap + self.tracer + [self.program] + words))
        self.tracer = []
        return self.runs[-1]

    def start_as_another_user(self, words):
        """As an account with the right to the port, not root: root may
        open a port in exclusive mode."""
        if not self.nobody:
            return self.start(words)
        os.chmod("/dev/" + self.port, 0o666)
        return self.start(words, nobody=True)

    def shell(self, command):
        return subprocess.run(command, shell=True, capture_output=True, text=True,
                              timeout=DEADLINE).stdout

    def lock_held(self):
        return os.path.exists(LOCK)

    def set_mode(self, uid, gid, mode):
        os.chown("/dev/" + self.port, uid, gid)
        os.chmod("/dev/" + self.port, mode)

    def leave_stale_lock(self):
        with open(LOCK, "w") as lock:  # a PID no process has
            lock.write("%10d\n" % 4194304)

    def trace_next_run(self, *options):
        """The next run under strace (LeakSanitizer cannot work under it)."""
        self.tracer = ["env", "ASAN_OPTIONS=%s:detect_leaks=0" % os.environ.get(
            "ASAN_OPTIONS", ""), "strace", "-qq", "-f", *options]

    @contextlib.contextmanager
    def lock_in_the_way(self, kind):
        """A FIFO or a link to the port where the lock goes; the run traced,
        each descriptor it opens named. Yields what it opened of ttys."""
        os.mkfifo(LOCK) if kind == "fifo" else os.symlink("/dev/" + self.port, LOCK)
        trace = os.path.join(self.folder, "opens.trace")
        self.trace_next_run("-y", "-e", "trace=open,openat", "-o", trace)
        opened = []
        try:
            yield opened
            with open(trace) as lines:
                opened += [line for line in lines if re.search(r"= \d+</dev/(tty|pts)", line)]
        finally:
            os.unlink(LOCK)

    @contextlib.contextmanager
    def without_uart(self, how):
        """The port, with the serial core's account saying no UART is behind
        it; or with none, and the port answering the next run's requests with
        EIO, as an 8250 with no UART does (LeakSanitizer cannot work under
        the tracer)."""
        if how == "no /sys":
            self.trace_next_run("-o", "/dev/null", "-P", "/dev/" + self.port,
                                "-e", "inject=ioctl:error=EIO")
        with kernel_account({} if how == "no /sys" else {self.port: "0"}):
            yield self.port

    @contextlib.contextmanager
    def listing(self):
        """Ports to list, with their account as a PC's: a UART behind ttyS0
        (16550A), none behind ttyS1; ttyAMA0's driver keeps none here. Yields
        the listing expected."""
        with kernel_account({"ttyS0": "4", "ttyS1": "0"}), contextlib.ExitStack() as plugged:
            for name in ("ttyAMA0", "ttyS1", "ttyS0", "ttyACM0", "ttyUSB0"):
                plugged.callback(self.unplug, self.plug(["--start-off"], name))
            yield "ttyUSB0\nttyACM0\nttyS0\nttyAMA0\n"

    def list_opens_no_port(self, test):
        traced = os.path.join(self.folder, "list.trace")
        # LeakSanitizer cannot work under a tracer; the other cases keep it.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat", "-o", traced,
                        self.program, "--list"], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=DEADLINE, env=env, check=True)
        with open(traced) as trace:
            opened = [line for line in trace if '"/dev/tty' in line]
        test.assertEqual(opened, [], "listing opens no port")


class WineBench:
    """baudset-cli.exe under Wine, inside `wine-rig exec --register`, which
    was given COM3, COM12 and COM40 as links in `work`: each case's device
    stands at COM3's. Wine's persistent server keeps each start short."""

    port = "COM3"
    platform = "windows"
    # Each Windows program sets a COM port's line itself and expects nothing
    # of it back: its line stays at the run's 9600 8N1.
    local_line_put_back = False
    rack_ports = "COM%d", 101

    def __init__(self, program, work):
        self.program, self.work = program, work
        self.runs = []
        os.makedirs(work, exist_ok=True)
        # The prefix boots at the first start, not inside a timed case. Its
        # services outlive the start and keep whatever output it had open.
        subprocess.run(["wine64", program, "--version"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300,
                       check=True)

    def close(self):
        pass

    def cannot(self, case):
        if case.get("holder"):
            # Windows refuses the second opener with access denied, and the
            # console says so (com_open_failure_tests); Wine lets both open.
            return "Wine lets a second program open a COM port that one holds"
        return None

    @staticmethod
    def spell(text, port):
        return text.replace("/dev/ttyUSB", "ttyUSB").replace("ttyUSB0", port) \
            .replace("ttyUSB7", "COM7")

    def plug(self, device_args, name=None):
        """A device at NAME: the rig's own ports, or any other as a link
        that Wine follows at every open."""
        name = name or self.port
        device = SimulatedDevice(os.path.join(self.work, name.lower()), *device_args)
        if name not in ("COM3", "COM12", "COM40"):
            device.dosdevice = os.path.join(os.environ["WINEPREFIX"], "dosdevices", name.lower())
            os.symlink(device.link, device.dosdevice)
        return device

    def port_for(self, case):
        """A pulled adapter's name goes with it, but a port the rig had
        Wine make at its boot stays openable: rows that pull one use a port
        that is a link alone."""
        return "COM5" if case.get("then") in ("hangup", "away_and_back") else "COM3"

    def unplug(self, device):
        device.stop()
        if getattr(device, "dosdevice", None):
            os.unlink(device.dosdevice)

    def pull(self, device):
        device.ask("hangup")

    def replug(self, device):
        device.ask("reopen")  # the link is COM3's again, a new pty behind it
        return True

    def come_back(self, device):
        device.ask("reopen")

    def start(self, words, nobody=False):
        self.runs.append(LocalRun(["wine64", self.program] + words))
        return self.runs[-1]

    start_as_another_user = start

    def lock_held(self):
        return False

    def set_mode(self, uid, gid, mode):
        pass  # only the exclusive-mode row gets here: Windows' own is always on

    @contextlib.contextmanager
    def listing(self):
        """The rig's three ports, devices behind them."""
        with contextlib.ExitStack() as plugged:
            self.listed = [self.plug(["--start-off"], name) for name in ("COM40", "COM3", "COM12")]
            for device in self.listed:
                plugged.callback(self.unplug, device)
            yield "COM3\nCOM12\nCOM40\n"

    def list_opens_no_port(self, test):
        """Wine's server opens a COM port's device for the program, so the
        ptys themselves are watched: an open of any shows in inotify."""
        libc = ctypes.CDLL(None, use_errno=True)
        watcher = libc.inotify_init1(os.O_NONBLOCK)
        try:
            for device in self.listed:
                test.assertGreaterEqual(libc.inotify_add_watch(
                    watcher, os.path.realpath(device.link).encode(), 0x20), 0)  # IN_OPEN
            test.assertEqual(self.start(["--list"]).finish()[0], 0)
            # Events are queued by the open itself: ours must be the only one.
            os.close(os.open(self.listed[0].link, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK))
            events = os.read(watcher, 4096)
            test.assertEqual(len(events), 16, "only our own open, none by the listing")
        finally:
            os.close(watcher)


class NetworkBench:
    """A local bench's devices reached over TCP on this machine, as a board
    behind a terminal server is: ser2net in front of the device's own pty,
    its line at 115200 8N1 until a run asks for another over Telnet
    (rfc2217://), or raw at 9600 8N1 (socket://); or, for a row that names
    one, a server of the row's own at the address the row's run is given."""

    def __init__(self, local):
        self.local = local
        self.server = self.special = None

    def __getattr__(self, name):  # the runs, their accounts, the lock: the local bench's
        return getattr(self.local, name)

    def serve(self, case):
        self.server = case.get("server", "rfc2217")
        return self

    def spell(self, text, port):
        address = self.special or port
        return text.replace("ttyUSB0", address).replace("WHERE", address.partition("://")[2])

    def plug(self, device_args):
        device = self.local.plug(device_args)
        raw = self.server == "raw"
        self.said = tempfile.TemporaryFile("w+")
        self.ser2net, (port,) = start_ser2net([(
            "%stcp,127.0.0.1,0" % ("" if raw else "telnet(rfc2217),"), "serialdev,%s,%s,local"
            % (os.path.realpath(device.link), "9600n81" if raw else "115200n81"))], self.said)
        self.port = "%s://127.0.0.1:%d" % ("socket" if raw else "rfc2217", port)
        # ser2net puts back on closing what it found on opening, so the line
        # a run left shows only in the settings ser2net made, as traced.
        self.trace = tempfile.NamedTemporaryFile(suffix=".trace")
        self.tracer = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=ioctl", "-o",
                                        self.trace.name, "-p", str(self.ser2net.pid)],
                                       stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        status = pathlib.Path("/proc/%d/status" % self.ser2net.pid)
        wait_until(lambda: "TracerPid:\t%d\n" % self.tracer.pid in status.read_text(),
                   DEADLINE, "strace attached to ser2net")
        self.special = self.listener = None
        if self.server == "resets":  # each write held up 0.2 s of a poll's 0.3 s: the window
            self.local.tracer = ["env", "ASAN_OPTIONS=%s:detect_leaks=0" % os.environ.get(
                "ASAN_OPTIONS", ""), "strace", "-qq", "-f", "--seccomp-bpf", "-o", "/dev/null",
                "-e", "trace=sendto", "-e", "inject=sendto:delay_enter=200ms"]
        if self.server in ("refused", "silent", "peer", "closes", "corked", "resets", "unacked"):
            self.listener = socket.socket()
            self.listener.bind(("127.0.0.1", 0))
            # Bound, not listening: it refuses, and nothing else can take it.
            if self.server != "refused":
                self.listener.listen()
            self.special = "rfc2217://127.0.0.1:%d" % self.listener.getsockname()[1]
            threading.Thread(target=self.answer, args=(self.listener,), daemon=True).start()
        return device

    def answer(self, listener):
        with contextlib.suppress(OSError):
            connection, _ = listener.accept()
            self.since = time.monotonic()  # what a row's seconds count from
            with connection:
                if self.server in ("peer", "corked", "resets", "unacked"):
                    answer_the_options(connection, self.server)
                if self.server == "resets":
                    return self.reset_in_a_write(connection)
                while self.server not in ("closes", "corked") and connection.recv(4096):
                    pass  # silent, until the run closes

    def reset_in_a_write(self, connection):
        """After a keep-alive, once the program is seen waiting (S), then held
        up by strace in its next write (t): a reset (SO_LINGER 0), between
        its wait and its send."""
        seen = b""
        while b"AT\r\n" not in seen:
            seen += connection.recv(4096) or b"AT\r\n"  # closed: nothing to wait for
        tracer = self.runs[-1].proc.pid
        program = pathlib.Path("/proc/%d/task/%d/children" % (tracer, tracer)).read_text().split()
        stat = pathlib.Path("/proc/%s/stat" % program[0])
        state = lambda: stat.read_text().rpartition(")")[2].split()[0]
        wait_until(lambda: state() == "S", DEADLINE, "the program waiting")
        wait_until(lambda: state() == "t", DEADLINE, "the program held up in a write")
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        connection.close()
        self.since = time.monotonic()

    def speeds_set(self):
        """The speeds ser2net set the line to, in order."""
        with open(self.trace.name) as trace:
            return [int(speed) for speed in re.findall(r"TCSETS\w*, \{.*?c_cflag=B(\d+)",
                                                       trace.read())]

    def pull(self, device):
        self.ser2net.terminate()
        self.ser2net.wait(DEADLINE)
        self.tracer.wait(DEADLINE)

    def replug(self, device):
        return False

    def unplug(self, device):
        if self.listener is not None:
            with contextlib.suppress(OSError):
                self.listener.shutdown(socket.SHUT_RDWR)  # ends a thread's wait in accept()
            self.listener.close()
        self.pull(device)
        self.said.close()
        self.trace.close()
        self.local.unplug(device)


def answer_the_options(connection, server):
    """A Telnet server that takes the COM-PORT option (44) and BINARY (0),
    refuses every other, and answers each of the option's settings with what
    was asked, or 115200 8N1 to a query; the "peer" the rate always with
    115200, until the run closes. The others return once the five sets are
    answered, and so never answer a restore; the "corked" holds those
    answers back to leave with the FIN."""
    current = {1: struct.pack(">I", 115200), 2: b"\x08", 3: b"\1", 4: b"\1", 5: b"\1"}
    unread, sets = b"", 0
    while server == "peer" or sets < 5:
        piece = connection.recv(4096)
        if not piece:
            return
        unread += piece
        end = 0
        for match in re.finditer(rb"\xff([\xfb\xfd])(.)|\xff\xfa,(.)(.*?)\xff\xf0", unread, re.S):
            verb, option, command, value = match.groups()
            if verb:  # WILL or DO: DO or WILL for ours, DONT or WONT for any other
                agree = option == b"\0" or (option == b"," and verb == b"\xfb")
                reply = bytes([255, (253 if verb == b"\xfb" else 251) + (not agree)]) + option
            elif command == b"\5" and value in (b"\7", b"\n"):
                reply = b""  # DTR and RTS asked for: ser2net on a pty never answers
            else:
                if server == "corked" and any(value) and not sets:
                    connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1)
                sets += any(value)
                value = current[1] if server == "peer" and command == b"\1" else value if any(
                    value) else current.get(command[0], b"\0")
                reply = b"\xff\xfa," + bytes([command[0] + 100]) + value + b"\xff\xf0"
            connection.sendall(reply)
            end = match.end()
        unread = unread[end:]


def leave_at_custom_rate(path, rate):
    """The line at `rate` with BOTHER, which only termios2 sets (TCGETS2 and
    TCSETS2, x86 and ARM numbers); CBAUD is the low bits of c_cflag."""
    descriptor = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    line = bytearray(fcntl.ioctl(descriptor, 0x802C542A, bytes(44)))
    struct.pack_into("I", line, 8, struct.unpack_from("I", line, 8)[0] & ~0o10017 | 0o10000)
    struct.pack_into("2I", line, 36, rate, rate)
    fcntl.ioctl(descriptor, 0x402C542B, bytes(line))
    os.close(descriptor)


@contextlib.contextmanager
def kernel_account(types):
    """/sys/class/tty as the serial core keeps it: each port's UART type."""
    mount("-t", "tmpfs", "baudset-tty-class", "/sys/class/tty")
    try:
        for name, kind in types.items():
            os.mkdir("/sys/class/tty/" + name)
            with open("/sys/class/tty/%s/type" % name, "w") as account:
                account.write(kind + "\n")
        yield
    finally:
        subprocess.run(["umount", "-n", "/sys/class/tty"])


class TerminalTable:
    """The table's driver, on whatever bench a subclass gives: this machine's
    ptys, or a kernel's own drivers in a virtual machine."""

    bench = None
    network = None  # the same devices behind a terminal server, for the rows that say so

    def test_cases(self):
        phases = random.Random()
        seed = phases.randrange(1 << 30)
        print("  power cycles at random phases, seed %d" % seed)
        phases.seed(seed)
        for case in CASES:
            over = case.get("network")
            if over != "only":
                with self.subTest(case["name"]):
                    self.run_row(case, phases)
            if over and self.network is None:
                print("  skipped (no network bench here): %s" % case["name"])
            elif over:
                # The row again, its port the terminal server's address.
                self.bench = self.network.serve(case)
                try:
                    with self.subTest(case["name"], over="network"):
                        self.run_row(dict(case, **over) if isinstance(over, dict) else case,
                                     phases)
                finally:
                    del self.bench

    def run_row(self, case, phases):
        only = case.get("only", (self.bench.platform, ""))
        reason = "%s only: %s" % only if only[0] != self.bench.platform \
            else self.bench.cannot(case)
        if reason:
            print("  skipped (%s): %s" % (reason, case["name"]))
            return
        self.run_case(case, phases)

    def run_case(self, case, phases):
        if hasattr(self.bench, "port_for"):
            self.bench.port = self.bench.port_for(case)
        device = self.bench.plug(case.get("device", ["--start-off"]))
        try:
            self.run_on(case, device, phases)
        finally:
            if hasattr(self.bench, "port_for"):
                del self.bench.port  # the class's again
            # A case that failed half-way must not leave a run on the port.
            for run in self.bench.runs:
                if run.poll() is None:
                    with contextlib.suppress(AssertionError):  # it ended meanwhile
                        run.signal("KILL")
                    run.finish()
            self.bench.runs.clear()
            self.bench.unplug(device)

    def run_on(self, case, device, phases):
        bench = self.bench
        if "mode" in case:
            bench.set_mode(*case["mode"])
        if case.get("stale_lock"):
            bench.leave_stale_lock()
        if isinstance(case.get("leave"), int):
            leave_at_custom_rate("/dev/" + bench.port, case["leave"])
        elif "leave" in case:
            bench.shell("stty -F /dev/%s %s" % (bench.port, case["leave"]))
        if case.get("already_on"):
            self.check_nothing_left(port_still_there=True)
            device.ask("powercycle")
            wait_until(lambda: device.ask("power") == "on" and device.ask("pending") == "6",
                       DEADLINE, "the banner out of the device and waiting on the line")
        holder = None
        if case.get("holder"):
            holder = bench.start([bench.port])
            wait_until(lambda: PROMPT in holder.said(), DEADLINE, "the first run's prompt")
        with bench.without_uart(case["no_uart"]) if case.get("no_uart") \
                else contextlib.nullcontext(bench.port) as port, \
                bench.lock_in_the_way(case["in_the_way"]) if "in_the_way" in case \
                else contextlib.nullcontext() as opened:
            begun = time.monotonic()
            program = bench.start([bench.spell(w, port) for w in case["words"]],
                                  nobody=case.get("nobody", False))
            if case.get("prompted", True):
                wait_for_words(program, PROMPT, "the prompt for a power cycle")
                self.assertIsNone(program.poll(), program.said())
                self.during_run(case, device)
                if case.get("then") == "powercycle":
                    # Anywhere in the 0.3 s between two polls.
                    time.sleep(phases.uniform(0, 0.3))
                    device.ask("powercycle")
                elif case.get("then") == "hangup":
                    pulled = time.monotonic()
                    bench.pull(device)
                elif case.get("then") == "away_and_back":
                    bench.pull(device)
                    wait_for_words(program, "waiting for it to come back", "the port awaited")
                    device.ask("clear")
                    bench.come_back(device)
                    # Its polls say the program has the port again: a banner
                    # before that would be lost, as with a real adapter.
                    wait_until(lambda: b"AT\r\n" in device.lines(), DEADLINE,
                               "the program polling the port again")
                    device.ask("powercycle")
                elif case.get("then") == "hold":
                    held = time.monotonic()  # the prompt is out: the wait has begun
                    program.signal("STOP")
                    time.sleep(HOLD)
                    program.signal("CONT")
                elif case.get("then"):
                    program.signal(case["then"])
            status, out, err = program.finish()
        ended = time.monotonic()
        seconds = ended - begun
        print("  %-55s status %3d in %5.2f s%s" % (case["name"], status, seconds,
                                                   " over the network" * (bench is self.network)))
        # The rows name their port ttyUSB0; the bench's may be another.
        statuses = case["status"] if isinstance(case["status"], tuple) else (case["status"],)
        self.assertIn(status, statuses, err)
        self.assertEqual(out, bench.spell(case["out"], port), err)
        self.assertIn(bench.spell(case.get("err", ""), port), err)
        self.assertEqual(PROMPT in err, case.get("prompted", True), err)
        if case.get("seconds", (0,))[0]:
            self.assertGreaterEqual(seconds, case["seconds"][0])
        if case.get("seconds", (0, None))[1]:
            self.assertLess(ended - bench.since, case["seconds"][1], "from its accept or reset")
        if "once" in case:
            self.assertEqual(err.count(case["once"]), 1, err)
        if "within" in case:
            self.assertLess(seconds, case["within"])
        if opened is not None:
            self.assertEqual(opened, [], "the port is not touched")
        if case.get("then") == "hangup":
            self.assertLess(time.monotonic() - pulled, case["gone_within"], "ended in time")
        if case.get("then") == "hold":
            # The wait ran out during the hold, so it ends as the run resumes;
            # a count of ticks would first wait out nearly all 1.5 s again.
            self.assertLess(time.monotonic() - held, HOLD + 1.5 / 2, "the wait ended on time")
        if holder is not None:
            self.assertIsNone(holder.poll(), "the first run goes on")
            holder.signal("TERM")
            self.assertEqual(holder.finish()[0], 143)
        if isinstance(case.get("leave"), int):
            self.assertEqual(device.ask("termios"), "%d 8 N 1" % case["leave"], "left at its rate")
        elif "leave" in case:
            self.assertLessEqual({"speed 115200 baud", "icanon", "echo"},
                                 line_words(bench.shell("stty -F /dev/%s -a" % bench.port)),
                                 "the line is left as it was found")
        self.check_device(case, device)
        replugged = case.get("then") == "hangup" and bench.replug(device)
        self.check_nothing_left(port_still_there=case.get("then") != "hangup" or replugged)

    def during_run(self, case, device):
        bench = self.bench
        if bench is self.network and not bench.special:  # not a server of the row's own
            self.assertEqual(device.ask("termios"), "9600 8 N 1", "the server's line")
        if case.get("locked"):
            self.assertTrue(bench.lock_held(), "locked while it runs")
        if "leave" in case and bench.line_reaches_device:
            self.assertEqual(device.ask("termios"), "9600 8 N 1", "what the device's end is set to")
            self.assertLessEqual(set(LINE_WHILE_RUNNING),
                                 line_words(bench.shell("stty -F /dev/%s -a" % bench.port)))

    def check_device(self, case, device):
        if case.get("then") == "hangup":
            return
        lines = device.lines()
        if case["status"] == 2:
            self.assertEqual(lines, [], "a usage error writes nothing to the wire")
        if "wire" in case:
            self.assertEqual([line for line in lines if line != b"AT\r\n"], case["wire"])
        if case["out"].endswith(("ok\n", "failed\n", "rate 9600\n")):
            self.assertNotEqual(lines[-1], b"AT\r\n", "nothing after the answer it reported")
        if "rate" in case:
            self.assertEqual(device.ask("rate"), case["rate"])
        if self.bench is self.network and case.get("prompted", True) and "server" not in case:
            # Opened at the connector's 115200, set to 9600, put back.
            speeds = iter(self.bench.speeds_set())
            self.assertTrue(all(speed in speeds for speed in (115200, 9600, 115200)),
                            self.bench.speeds_set())

    def check_nothing_left(self, port_still_there):
        """No lock, and the port free: the next open takes it at once, also
        another account's, which the port's exclusive mode would refuse as
        long as any other process holds the port."""
        self.assertFalse(self.bench.lock_held(), "the lock is removed")
        if port_still_there:
            run = self.bench.start_as_another_user(["--wait", "0.01", self.bench.port])
            status, _, err = run.finish()
            self.assertEqual(status, 4, err)

    def test_a_rack_of_boards_in_one_run(self):
        """32 boards in one run, local ports and ports behind one ser2net
        mixed: one that refuses the set and one that stays silent reported
        as such, every other set, every line put back; the same boards as
        JSON; then a run ended from outside halfway puts every line back."""
        if not hasattr(self.bench, "rack_ports"):
            self.skipTest("a bench of a port or two")
        silent = "status 4 nothing valid came from the device within 3 s: check the wiring and " \
                 "the power, then try again"
        with self.rack(32, served=8, refuses=5, silent=30) as (boards, words):
            status, out, err = self.run_rack(boards, ["--wait", "3"] + words + ["57600"])
            self.assertEqual(status, 4, err)  # the highest: the silent board's
            self.assertEqual(err.count("power-cycle"), 1, err)
            said = {5: "version V2.1\nrate unknown\nset 57600 failed\nstatus 1 the device did not "
                       "answer AT+BAUD=57600 with OK", 30: silent}
            self.assertEqual(out, "".join("%s: %s\n" % (word, line) for number, word in enumerate(words)
                                          for line in said.get(number, "version V2.1\nrate 9600\n"
                                                               "set 57600 ok\nstatus 0").split("\n")))
            for number, device in enumerate(boards):
                self.assertEqual(device.ask("rate"), "9600" if number in said else "57600")
                device.ask("switchoff")
                device.ask("setrate 9600")
            # A version with a quote, a backslash and control bytes, as JSON
            # (a byte above 0x7E makes no valid line: the device's OK is then
            # its version, and the unit rows carry such bytes).
            boards[7].ask('banner V"2\\\x01\x1b[2J')
            status, out, err = self.run_rack(boards, ["--json", "--wait", "3"] + words)
            self.assertEqual(status, 4, err)
            objects = {line["port"]: line for line in map(json.loads, out.splitlines())}
            self.assertEqual(sorted(objects), sorted(words), out)
            self.assertEqual(objects[words[7]]["version"].encode("latin-1"), b'V"2\\\x01\x1b[2J')
            self.assertEqual(objects[words[30]], dict(port=words[30], version=None, rate=None,
                             requested=None, set=None, status=4, error=silent[9:]))
            self.assertEqual(objects[words[0]], dict(port=words[0], version="V2.1", rate="9600",
                             requested=None, set=None, status=0, error=None))
            # Ended from outside while every board is waited for.
            ending, ended = ("TERM", 143) if self.bench.platform == "linux" else ("INT", 130)
            status, out, err = self.run_rack(boards, ["--wait", "60"] + words + ["115200"], ending)
            self.assertEqual(status, ended, err)
            self.assertEqual(out.count(": status %d" % ended), 32, out)

    def run_rack(self, boards, words, ending=None):
        """A run over the rack: after its one prompt every board powered up,
        or the run sent ENDING. Once it ends, every line is as found."""
        run = self.bench.start(words)
        wait_for_words(run, "power-cycle the devices now", "the one prompt")
        for device in boards if ending is None else ():
            device.ask("powercycle")
        if ending:
            run.signal(ending)
        result = run.finish()
        self.check_rack_put_back(boards)
        return result

    @contextlib.contextmanager
    def rack(self, count, served, refuses, silent):
        """COUNT boards, switched off, their lines at 19200 8N1: the last
        SERVED behind one ser2net, the others on local ports; board REFUSES
        answers every command with ERROR, board SILENT never speaks."""
        with contextlib.ExitStack() as plugged:
            boards, words = [], []
            for number in range(count):
                args = ["--start-off"] + {refuses: ["--mode", "error"],
                                          silent: ["--mode", "silent"]}.get(number, [])
                if number < count - served:
                    words.append(self.bench.rack_ports[0] % (self.bench.rack_ports[1] + number))
                    boards.append(self.bench.plug(args, words[-1]))
                    plugged.callback(self.bench.unplug, boards[-1])
                else:
                    boards.append(SimulatedDevice(os.path.join(
                        tempfile.mkdtemp(prefix="baudset-rack."), "line"), *args))
                    plugged.callback(boards[-1].stop)
            behind = boards[count - served:]
            # Each board's port chosen here, held together while the kernel
            # chooses, so that each address is known to be its board's.
            held = [socket.create_server(("127.0.0.1", 0)) for _ in behind]
            ports = [listener.getsockname()[1] for listener in held]
            for listener in held:
                listener.close()
            said = plugged.enter_context(tempfile.TemporaryFile("w+"))
            server, _ = start_ser2net([(
                "telnet(rfc2217),tcp,127.0.0.1,%d" % port,
                "serialdev,%s,115200n81,local" % os.path.realpath(device.link))
                for port, device in zip(ports, behind)], said)
            plugged.callback(server.wait, DEADLINE)
            plugged.callback(server.terminate)
            words += ["rfc2217://127.0.0.1:%d" % port for port in ports]
            for device in boards:
                subprocess.run(["stty", "-F", device.link, "19200"], check=True)
            self.found = [device.ask("termios") for device in boards]
            if not self.bench.local_line_put_back:
                self.found[:count - served] = ["9600 8 N 1"] * (count - served)
            yield boards, words

    def check_rack_put_back(self, boards):
        """Each board's line as the run found it, and no lock left. ser2net
        puts its own line back once it has seen the connection close."""
        lines = lambda: [device.ask("termios") for device in boards]
        with contextlib.suppress(AssertionError):
            wait_until(lambda: lines() == self.found, DEADLINE, "every line put back")
        self.assertEqual(lines(), self.found)
        self.assertEqual(glob.glob("/var/lock/LCK..ttyUSB*"), [])

    def test_list_names_the_ports_in_order_and_opens_none(self):
        with self.bench.listing() as expected:
            listing = self.bench.start(["--list"])
            self.assertEqual(listing.finish()[:2], (0, expected))
            self.bench.list_opens_no_port(self)
            # Each port's identity: eight columns a script can cut, and the
            # same as JSON; what a bench knows of its ports, as known.
            status, out, err = self.bench.start(["--list", "--long"]).finish()
            self.assertEqual(status, 0, err)
            rows = [line.split("\t") for line in out.splitlines()]
            self.assertEqual([row[0] for row in rows], expected.splitlines(), out)
            self.assertEqual({len(row) for row in rows}, {8}, out)
            status, out, err = self.bench.start(["--list", "--long", "--json"]).finish()
            objects = [json.loads(line) for line in out.splitlines()]
            self.assertEqual([[port[key] or "-" for key in (
                "name", "by_id", "vendor_id", "product_id", "serial", "manufacturer", "product",
                "driver")] for port in objects], rows)
            known = {row[0]: row for row in rows}
            for name, columns in getattr(self.bench, "known_identities", {}).items():
                for column, value in columns.items():
                    self.assertRegex(known[name][column], value, known[name])


class TerminalProgram(TerminalTable, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bench = PtyBench(PROGRAM)
        cls.network = NetworkBench(cls.bench)

    @classmethod
    def tearDownClass(cls):
        cls.bench.close()


class WindowsTerminalProgram(TerminalTable, unittest.TestCase):
    """baudset-cli.exe: the same table, and what only a Windows console has."""

    @classmethod
    def setUpClass(cls):
        cls.bench = WineBench(PROGRAM, WORK)
        cls.network = NetworkBench(cls.bench)  # Wine's sockets are this machine's

    def test_text_is_utf8_in_a_file_and_characters_in_a_console(self):
        with tempfile.TemporaryFile() as saved:
            subprocess.run(["wine64", PROGRAM, "--help"], stdout=saved, timeout=DEADLINE,
                           check=True)
            saved.seek(0)
            text = saved.read()
        self.assertIn("以 9600 8N1 打开端口".encode(), text)
        self.assertIn(b"\r\nUsage: baudset-cli [OPTION] PORT... [RATE]\r\n", text)
        self.assertIn(b"or \\\\.\\COM12\r\n", text)  # its own part: how Windows names a port
        # On a terminal Wine gives the program a console, whose host turns
        # what reaches it into the terminal's UTF-8: a prompt written as
        # bytes of the console's code page would come out as other letters.
        main_end, program_end = os.openpty()
        run = subprocess.Popen(["wine64", PROGRAM, "--wait", "0.5", "COM7"], stdin=program_end,
                               stdout=program_end, stderr=program_end, start_new_session=True,
                               env=dict(os.environ, LC_ALL="C.UTF-8"))
        os.close(program_end)
        shown = b""
        with contextlib.suppress(OSError):  # EIO once the console's host has gone
            while True:
                piece = os.read(main_end, 4096)
                if not piece:
                    break
                shown += piece
        os.close(main_end)
        self.assertEqual(run.wait(timeout=DEADLINE), 3)
        self.assertIn("COM7 已不存在：串口适配器可能已被拔出", shown.decode("utf-8", "replace"))


def main():
    global PROGRAM, WORK
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--wine", metavar="WORK",
                        help="baudset-cli.exe, inside wine-rig exec with COM3, COM12 and COM40 "
                             "linked to WORK/com3, com12 and com40")
    args, rest = parser.parse_known_args()
    PROGRAM = os.path.abspath(args.program)
    WORK = args.wine and os.path.abspath(args.wine)
    # The other platform's class stands aside.
    del globals()["TerminalProgram" if args.wine else "WindowsTerminalProgram"]
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
