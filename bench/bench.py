#!/usr/bin/env python3
"""baudset's cost beside the design's floor (bench/floor.cpp), under Wine,
and the Linux program's beside its own floor and beside the Windows program.

Runs baudset.exe and floor.exe alternately, several rounds, against one
simulated device, and prints one table of medians with the ratio
baudset/floor: CPU share of a core (the program plus wineserver) with the
port closed, open to a silent device and connected; start-up to a shown
window against a bare window; the poll interval; how many polls after the
device's line the version and a set's result show; peak resident memory;
size of the program.

The Linux program (Qt) takes its turn in every round and every series of
starts, so that its figures and the Windows program's come from the same
run on the same machine: start-up to a shown window against the same
widgets in Qt with nothing behind them (bench/floor_qt.cpp) and against the
Wine launcher's later start (scripts/wine-launch, prefix already made); CPU in
the same three states and the same windows (the program alone: it has no
server), and peak resident memory, both against baudset.exe. It lists its
ports from /dev, so it runs in the private /dev of scripts/private-dev,
where a simulated device of its own is /dev/ttyUSB0.

The terminal program (baudset-cli) takes its turn in every round too, on
the Linux program's device: its time from start to its prompt on standard
error and to its first command on the wire, its CPU while it waits for a
silent device, and its peak resident memory over a whole run, beside the
Linux window program's. Its Windows twin (baudset-cli.exe, under Wine on
COM3, the Windows program's device) does the same run in every round,
beside it; and the size of each on disk.

Over the network, each terminal program does the same run in every round
on a device of its own behind ser2net on this machine (rfc2217://127.0.0.1),
its first command on the wire beside a local port's; and 32 boards behind
one ser2net are set to 115200 at once by 32 runs of baudset-cli, each run's
time and their CPU (each run's own resource usage) beside lone runs', then
all 32 in one run of baudset-cli beside those 32 runs at once.

Every start is timed to the X server's report that the window is mapped and
viewable (bench/xwindows.py), the same way for every program.

Meant to run inside `wine-rig exec --xvfb ... -- bench.py ...` (scripts/bench).
"""
import argparse
import concurrent.futures
import os
import select
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from harness import SIMDEVICE, Automate, SimulatedDevice, start_ser2net, wait_until  # noqa: E402
from xwindows import Display  # noqa: E402

# Both programs, Windows and Linux, and so the launcher's window too.
TITLE = "VelmoraV1.5"
# A start that takes longer is broken, not slow: Wine's later start takes
# seconds, and the launcher's a few more.
START_S = 120
# Boards behind one terminal server, set at once from one machine.
BOARDS = 32
PROMPT = b"power-cycle the device now"
# One run of several boards asks once, for all of them.
PROMPT_OF_MANY = b"power-cycle the device"


def cpu_seconds(pid):
    """Time on a CPU of all of the process's threads, from the scheduler's
    own nanosecond account: utime and stime are sampled at the clock tick,
    too coarse for a program that uses 2 % of a core."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            continue   # a thread that ended meanwhile
    return total / 1e9


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def stripped_kib(path, work):
    """Size of a Linux program as its package installs it: the bench's
    build carries debug information, which dh_strip takes out of an
    executable with these options."""
    copy = os.path.join(work, os.path.basename(path) + ".stripped")
    subprocess.run(["strip", "--remove-section=.comment", "--remove-section=.note", "-o", copy,
                    path], check=True)
    return os.path.getsize(copy) / 1024


def wineserver_pid(prefix):
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/comm" % pid) as f:
                if not f.read().startswith("wineserver"):
                    continue
            with open("/proc/%s/environ" % pid, "rb") as f:
                if ("WINEPREFIX=%s\0" % prefix).encode() in f.read():
                    return int(pid)
        except OSError:
            continue
    raise AssertionError("no wineserver for " + prefix)


def x_client(*argv):
    """Runs a short X client (xdotool, import) on the display; its output."""
    return subprocess.run(argv, check=True, timeout=30, capture_output=True, text=True).stdout


def connected(lines):
    """Whether these commands, oldest first, show the dialogue connected and
    the rate asked and answered: AT+BAUD?, and after it the idle AT."""
    query = b"AT+BAUD?\r\n"
    return query in lines and b"AT\r\n" in lines[lines.index(query) + 1:]


class Program:
    """One run of a program under test, from its start until its window is
    shown. With `session`, it and all it starts get a process group of
    their own, ended together (the launcher)."""

    def __init__(self, display, argv, title, env=None, session=False):
        self.session = session
        # A window of the previous run may still be on its way out.
        wait_until(lambda: not display.windows(title), 30, "no %s window left" % title)
        display.forget_events()
        began = time.monotonic()
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=session)
        try:
            self.window, shown = display.wait_shown(title, START_S,
                                                    lambda: self.proc.poll() is None)
        except BaseException:
            self.stop()
            raise
        self.startup = shown - began

    def stop(self):
        # Ending the process is enough here: wineserver tidies up after a
        # Windows program, and the launcher's rig after all it started.
        if self.proc.poll() is None:
            if self.session:
                os.killpg(self.proc.pid, signal.SIGTERM)
            else:
                self.proc.terminate()
        try:
            self.proc.wait(90)
        except subprocess.TimeoutExpired:
            if self.session:
                os.killpg(self.proc.pid, signal.SIGKILL)
            else:
                self.proc.kill()
            self.proc.wait(15)


class PrivateDevice(SimulatedDevice):
    """The Linux program's simulated device: /dev/ttyUSB0 in a private /dev
    (scripts/private-dev) that holds no other serial port. The device's
    process keeps that /dev for as long as it runs, and each program under
    test joins it (command_line()), so that every start sees the same /dev."""

    def __init__(self, private_dev, log):
        self.link = "/dev/ttyUSB0"
        self.proc = subprocess.Popen(
            [private_dev, "--", sys.executable, SIMDEVICE, "--link", self.link,
             "--control-port", "0", "--log", log],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        # One line, flushed whole once the device is linked and listening.
        if select.select([self.proc.stdout], [], [], 60)[0]:
            ready = self.proc.stdout.readline()
        else:
            ready = ""
        if "ready" not in ready:
            self.proc.kill()
            self.proc.wait(10)
            raise AssertionError("simulated device in a private /dev did not start: %r" % ready)
        self.sock = socket.create_connection(("127.0.0.1", int(ready.rsplit(":", 1)[1])),
                                             timeout=30)
        self.file = self.sock.makefile("rw")

    def command_line(self, argv):
        """ARGV run in the device's /dev (and private-dev's folder of port
        locks, so that no other run's ttyUSB0 holds ours). nsenter execs in
        place, so the process it starts is the program itself. Entering a
        mount namespace starts at its root, hence absolute paths."""
        enter = ["nsenter", "--target", str(self.proc.pid), "--mount"]
        if os.getuid() != 0:
            # Outside root, private-dev made a user namespace to mount in.
            enter += ["--user", "--preserve-credentials"]
        program = argv[0] if "/" not in argv[0] else os.path.abspath(argv[0])
        return enter + ["--", program] + list(argv[1:])


def free_ports(count):
    """`count` TCP ports free now, all different: the kernel's choice, held
    together while it chooses."""
    held = [socket.create_server(("127.0.0.1", 0)) for _ in range(count)]
    ports = [server.getsockname()[1] for server in held]
    for server in held:
        server.close()
    return ports


def power_cycle_at_prompt(proc, prompt, devices):
    """Reads the run's standard error up to `prompt`, power-cycles
    `devices` then, and reads it to its end: all it said before the prompt."""
    said = b""
    while prompt not in said:
        chunk = os.read(proc.stderr.fileno(), 4096)
        if not chunk:
            break
        said += chunk
    if prompt in said:
        for device in devices:
            device.ask("powercycle")
    while os.read(proc.stderr.fileno(), 4096):
        pass
    proc.stderr.close()
    return said


class Boards:
    """`count` simulated devices behind one ser2net on this machine, one
    connection each, its line at 115200 8N1 until a run sets it."""

    def __init__(self, work, name, count, *device_args):
        self.devices, self.server = [], None
        self.said = open(os.path.join(work, name + "-ser2net.log"), "w+")
        try:
            for number in range(count):
                self.devices.append(SimulatedDevice(os.path.join(work, "%s%d" % (name, number)),
                                                    *device_args))
            # Ports chosen here, so that each device's is known; one taken
            # meanwhile by another program leaves ser2net short of it, and
            # then it is all done again with others.
            for attempt in range(3):
                ports = free_ports(count)
                try:
                    self.server, _ = start_ser2net([(
                        "telnet(rfc2217),tcp,127.0.0.1,%d" % port,
                        "serialdev,%s,115200n81,local" % os.path.realpath(device.link))
                        for port, device in zip(ports, self.devices)], self.said, seconds=10)
                    break
                except AssertionError:
                    if attempt == 2:
                        raise
            self.addresses = ["rfc2217://127.0.0.1:%d" % port for port in ports]
        except BaseException:
            self.stop()
            raise

    def set_at_once(self, terminal, numbers):
        """Runs of `terminal` started together, one on each board of
        `numbers`, each setting 115200 after its board's power cycle: each
        run's (seconds, CPU seconds)."""
        with concurrent.futures.ThreadPoolExecutor(len(numbers)) as runs:
            return list(runs.map(lambda number: self.set_board(terminal, number), numbers))

    def set_board(self, terminal, number):
        device = self.devices[number]
        device.ask("switchoff")
        device.ask("setrate 9600")
        began = time.monotonic()
        proc = subprocess.Popen([terminal, self.addresses[number], "115200"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        said = power_cycle_at_prompt(proc, PROMPT, [device])
        # Reaped here, for its own resource usage: the CPU of the run alone.
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.monotonic() - began
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0 or device.ask("rate") != "115200":
            raise AssertionError("board %d: status %d, %r" % (number, proc.returncode, said))
        return seconds, usage.ru_utime + usage.ru_stime

    def set_in_one_run(self, terminal, numbers):
        """One run of `terminal` on every board of `numbers`, setting 115200
        after one power cycle of them all: its (seconds, CPU seconds)."""
        for number in numbers:
            self.devices[number].ask("switchoff")
            self.devices[number].ask("setrate 9600")
        began = time.monotonic()
        proc = subprocess.Popen([terminal] + [self.addresses[n] for n in numbers] + ["115200"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        said = power_cycle_at_prompt(proc, PROMPT_OF_MANY, [self.devices[n] for n in numbers])
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.monotonic() - began
        unset = [n for n in numbers if self.devices[n].ask("rate") != "115200"]
        if os.waitstatus_to_exitcode(status) != 0 or unset:
            raise AssertionError("one run: status %d, boards not set %r, %r"
                                 % (os.waitstatus_to_exitcode(status), unset, said[-2000:]))
        return seconds, usage.ru_utime + usage.ru_stime

    def stop(self):
        if self.server is not None:
            self.server.terminate()
            self.server.wait(30)
        for device in self.devices:
            device.stop()
        self.said.close()


class Bench:
    def __init__(self, args):
        self.args = args
        self.display = Display()
        self.device = self.native_device = self.served = self.boards = None
        self.log = os.path.join(args.work, "bench-device.log")
        self.native_log = native_log = os.path.join(args.work, "native-device.log")
        for log in (self.log, native_log):
            if os.path.exists(log):
                os.remove(log)
        link = os.path.join(args.work, "com3")
        try:
            self.device = SimulatedDevice(link, "--log", self.log)
            subprocess.run([args.rig, "ports", "--prefix", args.prefix, "--port", "3=" + link],
                           check=True)
            self.server = wineserver_pid(args.prefix)
            self.native_device = PrivateDevice(args.private_dev, native_log)
            # A device of its own behind ser2net on this machine, for the
            # terminal programs over rfc2217://; its log is the one timed.
            self.served_log = os.path.join(args.work, "served-device.log")
            if os.path.exists(self.served_log):
                os.remove(self.served_log)
            self.served = Boards(args.work, "served", 1, "--log", self.served_log)
            self.boards = Boards(args.work, "board", BOARDS, "--start-off")
        except BaseException:
            self.stop()
            raise

    def stop(self):
        for device in (self.device, self.native_device, self.served, self.boards):
            if device is not None:
                device.stop()
        self.display.close()

    def cpu_share(self, *pids):
        """Share of one core that these processes use, over the measuring
        window (the window's length is the measurement, not a wait for
        something)."""
        return self.cpu_shares(pids)[0]

    def cpu_shares(self, *groups):
        """cpu_share of each group of processes, over one and the same
        window."""
        began, used = time.monotonic(), [sum(map(cpu_seconds, pids)) for pids in groups]
        time.sleep(self.args.window)
        spent = [sum(map(cpu_seconds, pids)) - before for pids, before in zip(groups, used)]
        return [100.0 * share / (time.monotonic() - began) for share in spent]

    def ui(self, *words):
        code, text = self.driver(*words)
        if code != 0:
            raise AssertionError("automate %s: %s" % (" ".join(words), text))
        return text

    def polls_on_the_wire(self, count, device=None):
        """Until the program has written `count` more commands."""
        device = device or self.device
        device.ask("clear")
        wait_until(lambda: len(device.lines()) >= count, 30, "%d polls" % count)

    def baudset_round(self, figures):
        program = Program(self.display, ["wine64", self.args.program], TITLE)
        # Started with the program and ended before it: between actions it
        # waits on its input and costs nothing that is measured.
        self.driver = Automate(["wine64", self.args.automate])
        try:
            pid = program.proc.pid
            figures["cpu closed"].append(self.cpu_share(pid, self.server))
            self.device.ask("mode silent")
            self.ui("select", "port", "COM3")
            self.ui("click", "open")
            self.polls_on_the_wire(2)
            figures["cpu silent"].append(self.cpu_share(pid, self.server))
            self.device.ask("mode normal")
            self.ui("wait", "status", "已连接")
            wait_until(lambda: self.ui("enabled", "set") == "1", 30, "set enabled")
            since = time.monotonic()
            figures["cpu connected"].append(self.cpu_share(pid, self.server))
            figures["poll intervals"] += self.intervals(since)
            figures["version polls"] += self.version_latency()
            figures["result polls"] += self.result_latency()
            figures["peak KiB"].append(status_kib(pid, "VmHWM"))
        finally:
            self.driver.stop()
            program.stop()

    def floor_round(self, figures):
        program = Program(self.display, ["wine64", self.args.floor], "Floor")
        try:
            figures["cpu closed"].append(self.cpu_share(program.proc.pid, self.server))
        finally:
            program.stop()
        self.device.ask("mode silent")
        program = Program(self.display, ["wine64", self.args.floor, "COM3"], "Floor")
        try:
            pid = program.proc.pid
            self.polls_on_the_wire(2)
            figures["cpu silent"].append(self.cpu_share(pid, self.server))
            self.device.ask("mode normal")
            self.polls_on_the_wire(2)
            since = time.monotonic()
            figures["cpu connected"].append(self.cpu_share(pid, self.server))
            figures["poll intervals"] += self.intervals(since)
            figures["peak KiB"].append(status_kib(pid, "VmHWM"))
        finally:
            program.stop()

    def native_round(self, figures):
        """The Linux program through the same three states as baudset.exe."""
        device = self.native_device
        device.ask("mode normal")
        program = Program(self.display, device.command_line([self.args.native]), TITLE)
        try:
            pid = program.proc.pid
            figures["cpu closed"].append(self.cpu_share(pid))
            device.ask("mode silent")
            self.press_open(program.window, device)
            self.polls_on_the_wire(2, device)
            figures["cpu silent"].append(self.cpu_share(pid))
            device.ask("clear")
            device.ask("mode normal")
            # The engine shows 已连接 at the poll that judges the device's
            # first valid line, and that same poll writes AT+BAUD?; the AT
            # after it means the rate's answer was judged too and 设置 is
            # enabled, as baudset.exe's round waits for. The wire tells
            # this without an accessibility bus, which would make Qt keep
            # an accessible tree and so change what is measured.
            wait_until(lambda: connected(device.lines()), 30, "Linux program connected")
            figures["cpu connected"].append(self.cpu_share(pid))
            figures["peak KiB"].append(status_kib(pid, "VmHWM"))
        finally:
            program.stop()

    def terminal_round(self, figures, windows=False, network=False):
        """One run of a terminal program: baudset-cli on the Linux program's
        device, or with `windows` baudset-cli.exe under Wine on COM3, the
        Windows program's device. From its start to its prompt on standard
        error and to its first command on the wire (the first poll's AT: it
        polls from the port's opening, before any banner), waiting on a
        silent device, then the power cycle and the read that ends it. Its
        peak memory is its own high-water mark, read until it ends: the
        reaper's ru_maxrss would count the pages that the fork shared with
        this Python process. With `network`, the same run on a device of its
        own behind ser2net, over rfc2217://127.0.0.1."""
        if windows:
            device, log = self.device, self.log
            argv = ["wine64", self.args.terminal_exe, "COM3"]
            # Wine starts a program about 100 ms slower once its prefix has
            # sat idle for a second or two: an unmeasured start first, as each
            # series of window starts has, so that the figure does not hang on
            # what ran before it.
            subprocess.run(argv[:2] + ["--version"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True, timeout=START_S)
        else:
            device, log = self.native_device, self.native_log
            argv = device.command_line([self.args.terminal, "ttyUSB0"])
        if network:
            device, log = self.served.devices[0], self.served_log
            argv = argv[:-1] + [self.served.addresses[0]]
        device.ask("mode silent")
        # Standard output to a file: Wine's services, when a run starts them,
        # inherit the program's handles and would hold a pipe open past its
        # end.
        said = tempfile.TemporaryFile("w+", encoding="utf-8", errors="replace")
        began = time.monotonic()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=said,
                                stderr=subprocess.PIPE)
        try:
            prompt = b""
            while b"power-cycle the device now" not in prompt:
                left = began + START_S - time.monotonic()
                if left <= 0 or not select.select([proc.stderr], [], [], left)[0]:
                    raise AssertionError("no prompt from %s: %r" % (argv[-2], prompt))
                chunk = os.read(proc.stderr.fileno(), 4096)
                if not chunk:
                    raise AssertionError("%s ended before its prompt: %r" % (argv[-2], prompt))
                prompt += chunk
            figures["prompt ms"].append((time.monotonic() - began) * 1000)
            first = wait_until(lambda: next((t for t, kind, _ in self.log_events(began, log)
                                             if kind == "rx"), None),
                               30, "the terminal program's first command")
            figures["first command ms"].append((first - began) * 1000)
            # The program's own; a Windows program's with wineserver's too, as
            # the window rounds count it. The server's time is not all the
            # program's: it also answers the prefix's own services (a
            # winedevice.exe that polls), alike in every row that counts it.
            shares = self.cpu_shares([proc.pid], *([[proc.pid, self.server]] if windows else []))
            figures["cpu silent"].append(shares[0])
            figures["cpu silent served"] += shares[1:]
            device.ask("mode normal")
            device.ask("powercycle")
            peak = 0
            while proc.poll() is None:
                try:
                    peak = max(peak, status_kib(proc.pid, "VmHWM"))
                except (OSError, ValueError):
                    pass  # it ended between the two looks
                time.sleep(0.01)
            said.seek(0)
            result = said.read()
            if proc.returncode != 0 or not result.startswith("version ") or "\nrate " not in result:
                raise AssertionError("%s ended with %d: %r" % (argv[-2], proc.returncode, result))
            figures["peak KiB"].append(peak)
        finally:
            if proc.returncode is None:
                proc.kill()
                proc.wait(15)
            proc.stderr.close()
            said.close()

    def boards_round(self, figures, lone_runs=4):
        """Lone runs, one board at a time, then all the boards set at once."""
        for number in range(lone_runs):
            (seconds, cpu), = self.boards.set_at_once(self.args.terminal, [number])
            figures["lone ms"].append(seconds * 1000)
            figures["lone cpu ms"].append(cpu * 1000)
        together = self.boards.set_at_once(self.args.terminal, range(BOARDS))
        figures["together ms"] += [seconds * 1000 for seconds, _ in together]
        figures["together cpu ms"].append(sum(cpu for _, cpu in together) * 1000)
        figures["together slowest ms"].append(max(seconds for seconds, _ in together) * 1000)
        seconds, cpu = self.boards.set_in_one_run(self.args.terminal, range(BOARDS))
        figures["one run ms"].append(seconds * 1000)
        figures["one run cpu ms"].append(cpu * 1000)

    def press_open(self, window, device):
        """Presses 打开串口 from the keyboard: focus on the window, Tab from
        the port list (the first control, with ttyUSB0 chosen) to the
        button, Space. A try whose keys came before Qt had taken the focus
        in may land on the port list and open it instead; Escape closes
        that list again before the next try. What the window showed when
        the last try failed is kept in the work folder."""
        device.ask("clear")
        tries = 3
        for attempt in range(tries):
            x_client("xdotool", "windowfocus", "--sync", str(window))
            keys = (["Escape"] if attempt else []) + ["Tab", "space"]
            x_client("xdotool", "key", *keys)
            try:
                # An open port writes AT at every poll, 0.3 s apart.
                wait_until(device.lines, 5, "the Linux program's port open")
                return
            except AssertionError:
                continue
        picture = os.path.join(self.args.work, "native-open-failed.png")
        x_client("import", "-window", str(window), picture)
        raise AssertionError("the Linux program's port did not open after %d tries; its window "
                             "is in %s, the X focus was on %s"
                             % (tries, picture, x_client("xdotool", "getwindowfocus").strip()))

    def log_events(self, since, log=None):
        """(time, 'rx'|'tx', text) from a device's log (the Windows
        program's device's unless named), on our clock."""
        events = []
        with open(log or self.log) as f:
            for line in f:
                stamp, _, rest = line.rstrip("\n").partition(" ")
                kind, _, text = rest.partition(" ")
                # The log's stamps are rounded to the millisecond.
                if kind in ("rx", "tx") and float(stamp) >= since - 0.001:
                    events.append((float(stamp), kind, text))
        return events

    def intervals(self, since):
        times = [t for t, kind, _ in self.log_events(since) if kind == "rx"]
        return [(b - a) * 1000 for a, b in zip(times, times[1:])]

    def polls_between(self, first, then, events):
        """Polls from `first` (the device's line began to arrive) to `then`
        (the command that the poll which judged it wrote), counted by the
        commands in between, one a poll: 1 means the first poll after it. A
        line still on the wire at a poll is judged at the next and counts 2;
        a command that left just before the line began, and arrived just
        after, counts too, so the figure is never better than the truth."""
        return sum(1 for t, kind, _ in events if kind == "rx" and first < t <= then)

    def version_latency(self):
        found = []
        for _ in range(self.args.cycles):
            # Lost link first, so that the next line is taken as a version.
            self.device.ask("mode silent")
            self.ui("wait", "status", "未连接")
            since = time.monotonic()
            self.device.ask("send " + b"V9.9\r\n".hex())
            self.ui("wait", "status", "已连接")
            if self.ui("text", "version") != "V9.9\\r\\n":
                raise AssertionError("version shows " + self.ui("text", "version"))
            events = self.log_events(since)
            sent = next(t for t, kind, text in events if kind == "tx" and "V9.9" in text)
            query = next(t for t, kind, text in events
                         if kind == "rx" and t > sent and "AT+BAUD?" in text)
            found.append(self.polls_between(sent, query, events))
            self.device.ask("mode normal")
            wait_until(lambda: self.ui("enabled", "set") == "1", 30, "set enabled")
        return found

    def result_latency(self):
        found = []
        for cycle in range(self.args.cycles):
            rate = ("57600", "115200")[cycle % 2]
            self.ui("select", "rate", rate)
            since = time.monotonic()
            self.ui("click", "set")
            wait_until(lambda: self.device.ask("rate") == rate, 30, "device at " + rate)
            self.ui("wait", "result", "波特率设置成功")
            self.polls_on_the_wire(1)
            events = self.log_events(since)
            asked = next(i for i, (_, kind, text) in enumerate(events)
                         if kind == "rx" and "AT+BAUD=" + rate in text)
            answer = next(t for t, kind, text in events[asked:] if kind == "tx" and "OK" in text)
            after = next(t for t, kind, _ in events[asked + 1:] if kind == "rx" and t > answer)
            found.append(self.polls_between(answer, after, events))
            # The result text stays; blank it by losing and regaining the link
            # would cost seconds, so the next set waits on the device's rate.
        return found

    def launcher_env(self):
        """A technician's environment for the launcher, pointed at our
        program and at a prefix of its own, made before the run: nothing of
        the rig that runs the bench."""
        env = {name: value for name, value in os.environ.items()
               if not name.startswith(("WINE", "BAUDSET_"))}
        env.update(BAUDSET_EXE=self.args.program, BAUDSET_HOME=self.args.launcher_home)
        return env

    def startup(self, figures, series=0):
        """One start of each program. Wine starts any program about 100 ms
        slower when its prefix has sat idle for a second or two, as it has
        after the Linux programs' and the launcher's starts: so an unmeasured
        start comes first, and the three Windows programs then start back to
        back, each series in another order, none always first."""
        native = self.native_device.command_line
        windows = [("startup baudset", ["wine64", self.args.program], TITLE, {}),
                   ("startup bare", ["wine64", self.args.floor, "--bare"], "FloorBare", {}),
                   ("startup panel", ["wine64", self.args.floor, "--panel"], "FloorPanel", {})]
        turn = series % len(windows)
        Program(self.display, ["wine64", self.args.floor, "--bare"], "FloorBare").stop()
        for key, argv, title, how in windows[turn:] + windows[:turn] + [
                ("startup native", native([self.args.native]), TITLE, {}),
                ("startup floor_qt", native([self.args.floor_qt]), "FloorQt", {}),
                # The adapter is the Windows rounds' device; nothing opens it.
                ("startup launcher", [self.args.launcher, "--device", self.device.link], TITLE,
                 {"env": self.launcher_env(), "session": True})]:
            program = Program(self.display, argv, title, **how)
            program.stop()
            figures[key].append(program.startup * 1000)


def median(values):
    return statistics.median(values) if values else float("nan")


def main():
    parser = argparse.ArgumentParser()
    for name in ("--rig", "--prefix", "--work", "--program", "--floor", "--automate",
                 "--native", "--floor-qt", "--terminal", "--terminal-exe", "--private-dev",
                 "--launcher", "--launcher-home"):
        parser.add_argument(name, required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--window", type=float, default=10, help="seconds of each CPU reading")
    parser.add_argument("--cycles", type=int, default=3, help="version and set latencies a round")
    parser.add_argument("--starts", type=int, default=10)
    # The bench's display has no session bus: without this, libdbus would
    # start one for it at the Qt programs' first bus call, and that bus
    # would outlive the bench.
    os.environ.setdefault("DBUS_SESSION_BUS_ADDRESS", "disabled:")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)

    bench = Bench(args)
    keys = ("cpu closed", "cpu silent", "cpu connected", "poll intervals", "peak KiB",
            "version polls", "result polls")
    ours = {key: [] for key in keys}
    floor = {key: [] for key in keys}
    native = {key: [] for key in keys}
    terminal_keys = ("prompt ms", "first command ms", "cpu silent", "cpu silent served",
                     "peak KiB")
    terminal = {key: [] for key in terminal_keys}
    console = {key: [] for key in terminal_keys}
    terminal_served = {key: [] for key in terminal_keys}
    console_served = {key: [] for key in terminal_keys}
    boards = {key: [] for key in ("lone ms", "lone cpu ms", "together ms", "together cpu ms",
                                  "together slowest ms", "one run ms", "one run cpu ms")}
    starts = {key: [] for key in ("startup baudset", "startup bare", "startup panel",
                                  "startup native", "startup floor_qt", "startup launcher")}
    try:
        # One start of each first: the prefix's first programs pay for
        # Wine's own start-up, which is no part of either, and the first
        # Qt program reads its libraries and fonts from the disk.
        bench.startup({key: [] for key in starts})
        for series in range(args.starts):
            bench.startup(starts, series)
        for _ in range(args.rounds):
            bench.baudset_round(ours)
            bench.floor_round(floor)
            bench.terminal_round(console, windows=True)
            bench.terminal_round(console_served, windows=True, network=True)
            bench.native_round(native)
            bench.terminal_round(terminal)
            bench.terminal_round(terminal_served, network=True)
            bench.boards_round(boards)
    finally:
        bench.stop()

    def row(name, a, b, goal, digits=2):
        # A floor of (about) nothing has no meaningful ratio.
        ratio = "%.2f" % (a / b) if abs(b) > 1e-6 else "–"
        return "| %s | %.*f | %.*f | %s | %s |" % (name, digits, a, digits, b, ratio, goal)

    def spread(values):
        if len(values) < 4:
            return float("nan")
        quartiles = statistics.quantiles(values, n=4)
        return quartiles[2] - quartiles[0]

    size = lambda path: os.path.getsize(path) / 1024
    print("| measure (median) | baudset | floor | ratio | goal |")
    print("|---|---|---|---|---|")
    for state in ("closed", "silent", "connected"):
        print(row("CPU, port %s (%% of a core)" % ("open, device silent" if state == "silent"
                                                   else state), median(ours["cpu " + state]),
                  median(floor["cpu " + state]), "≤ 1.10"))
    print(row("start-up to a shown window (ms; floor: bare window)",
              median(starts["startup baudset"]), median(starts["startup bare"]), "≤ 1.20", 0))
    # The panel's standard controls cost Wine far more than a bare window;
    # against the same panel with no logic behind it, what is left is ours.
    print(row("start-up (ms; floor: the same panel and start, no logic)",
              median(starts["startup baudset"]), median(starts["startup panel"]), "", 0))
    print(row("poll interval (ms)", median(ours["poll intervals"]), median(floor["poll intervals"]),
              "300", 1))
    print(row("poll interval spread, IQR (ms)", spread(ours["poll intervals"]),
              spread(floor["poll intervals"]), "", 1))
    print("| version shown, polls after the banner (worst) | %d | | | 1 |"
          % max(ours["version polls"]))
    print("| result shown, polls after the answer (worst) | %d | | | 1 |"
          % max(ours["result polls"]))
    print(row("peak resident memory (MiB)", median(ours["peak KiB"]) / 1024,
              median(floor["peak KiB"]) / 1024, "", 1))
    print(row("program size (KiB)", size(args.program), size(args.floor), "", 0))
    # The Linux program: first against its own floor and the launcher that
    # would start baudset.exe instead, then against baudset.exe itself.
    linux = "Linux program, "
    print(row(linux + "start-up to a shown window (ms; floor: the same widgets in Qt, no logic)",
              median(starts["startup native"]), median(starts["startup floor_qt"]),
              "< 300 ms", 0))
    print(row(linux + "start-up (ms; floor: the Wine launcher's later start)",
              median(starts["startup native"]), median(starts["startup launcher"]), "", 0))
    for state in ("closed", "silent", "connected"):
        print(row(linux + "CPU, port %s (%% of a core; floor: baudset.exe)"
                  % ("open, device silent" if state == "silent" else state),
                  median(native["cpu " + state]), median(ours["cpu " + state]), "≤ 1.00"))
    print(row(linux + "peak resident memory (MiB; floor: baudset.exe)",
              median(native["peak KiB"]) / 1024, median(ours["peak KiB"]) / 1024, "", 1))
    # The terminal program beside the window program it shares its core
    # and port with, and its first command beside the first poll's 300 ms.
    cli = "Linux terminal program, "
    print(row(cli + "peak resident memory (MiB; floor: the Linux window program)",
              median(terminal["peak KiB"]) / 1024, median(native["peak KiB"]) / 1024, "", 2))
    print(row(cli + "CPU, waiting for a silent device (% of a core; floor: the Linux window "
              "program, port open, device silent)", median(terminal["cpu silent"]),
              median(native["cpu silent"]), "≤ 1.00"))
    print(row(cli + "start to the first command on the wire (ms; floor: the first poll, "
              "30 ticks of 10 ms)", median(terminal["first command ms"]), 300, "", 0))
    # Its Windows twin beside it, the same run in the same rounds; Wine's
    # start is in its figures, as it is in a technician's.
    exe = "Windows terminal program under Wine, "
    print(row(exe + "start to its prompt on standard error (ms; floor: the Linux terminal "
              "program)", median(console["prompt ms"]), median(terminal["prompt ms"]), "", 0))
    print(row(exe + "start to the first command on the wire (ms; floor: the Linux terminal "
              "program)", median(console["first command ms"]),
              median(terminal["first command ms"]), "", 0))
    print(row(exe + "CPU, waiting for a silent device, its own (% of a core; floor: the Linux "
              "terminal program)", median(console["cpu silent"]), median(terminal["cpu silent"]),
              ""))
    # Both wake 100 times a second for the 10 ms tick, each wake a request to
    # wineserver, and leave a reader thread blocked on the port; the console
    # has no window messages to dispatch besides, so it costs no more.
    print(row(exe + "CPU, waiting for a silent device, with wineserver's (% of a core; floor: "
              "baudset.exe, port open, device silent)", median(console["cpu silent served"]),
              median(ours["cpu silent"]), "≤ 1.00"))
    print(row(exe + "peak resident memory (MiB; floor: the Linux terminal program)",
              median(console["peak KiB"]) / 1024, median(terminal["peak KiB"]) / 1024, "", 2))
    # Over the network: a device behind ser2net on this machine, the
    # connection's negotiation before the first poll, beside a local port.
    served = ", over rfc2217:// to ser2net on this machine"
    print(row(cli + "start to the first command on the wire" + served + " (ms; floor: the same "
              "over a local port)", median(terminal_served["first command ms"]),
              median(terminal["first command ms"]), "", 0))
    print(row(exe + "start to the first command on the wire" + served + " (ms; floor: the same "
              "over a local port)", median(console_served["first command ms"]),
              median(console["first command ms"]), "", 0))
    crowd = "%d boards behind one ser2net, set to 115200 at once by the Linux terminal program, " \
        % BOARDS
    print(row(crowd + "a run's time, median (ms; floor: a lone run's)",
              median(boards["together ms"]), median(boards["lone ms"]), "", 0))
    print(row(crowd + "the slowest run (ms; floor: the slowest lone run)",
              max(boards["together ms"]), max(boards["lone ms"]), "", 0))
    print(row(crowd + "CPU of all %d runs (ms; floor: %d lone runs' median)" % (BOARDS, BOARDS),
              median(boards["together cpu ms"]), BOARDS * median(boards["lone cpu ms"]), "", 0))
    # The same boards in one run: one process, one loop, one prompt,
    # against the 32 runs above that each pay for a process and its start.
    many = "%d boards behind one ser2net, set to 115200 in one run of the Linux terminal " \
        "program, " % BOARDS
    print(row(many + "its time (ms; floor: the %d runs at once, the slowest)" % BOARDS,
              median(boards["one run ms"]), median(boards["together slowest ms"]), "≤ 1.10", 0))
    print(row(many + "its CPU (ms; floor: the %d runs at once, all of them)" % BOARDS,
              median(boards["one run cpu ms"]), median(boards["together cpu ms"]), "≤ 1.00", 0))
    print(row("Terminal programs, size on disk (KiB; baudset-cli.exe as built for the bench, "
              "Release and stripped; floor: baudset-cli, stripped as the package's dh_strip does)",
              size(args.terminal_exe), stripped_kib(args.terminal, args.work), "", 0))
    print("bench: %d rounds, CPU windows of %g s, %d starts, %d latency cycles a round; "
          "CPU of a Windows program counts wineserver's unless the row says its own, "
          "a Linux program's is its own"
          % (args.rounds, args.window, args.starts, args.cycles))
    return 0


if __name__ == "__main__":
    sys.exit(main())
