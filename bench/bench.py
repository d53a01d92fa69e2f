#!/usr/bin/env python3
"""baudset's cost beside the design's floor (bench/floor.cpp), under Wine.

Runs baudset.exe and floor.exe alternately, several rounds, against one
simulated device, and prints one table of medians with the ratio
baudset/floor: CPU share of a core (the program plus wineserver) with the
port closed, open to a silent device and connected; start-up to a shown
window against a bare window; the poll interval; how many polls after the
device's line the version and a set's result show; peak resident memory;
size of the program.

Meant to run inside `wine-rig exec --xvfb ... -- bench.py ...` (scripts/bench).
"""
import argparse
import math
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from harness import Automate, SimulatedDevice, wait_until  # noqa: E402

POLL_S = 0.3


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


def shown(title):
    result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                            capture_output=True, text=True)
    return result.returncode == 0 and result.stdout.strip() != ""


class Program:
    """One run of a program under test, started and waited for."""

    def __init__(self, exe, title, *args):
        self.title = title
        began = time.monotonic()
        self.proc = subprocess.Popen(["wine64", exe] + list(args), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: shown(title), 60, title + " shown")
        self.startup = time.monotonic() - began

    def stop(self):
        # Ending the process is enough here; wineserver tidies up after it.
        self.proc.terminate()
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(15)


class Bench:
    def __init__(self, args):
        self.args = args
        self.log = os.path.join(args.work, "bench-device.log")
        if os.path.exists(self.log):
            os.remove(self.log)
        link = os.path.join(args.work, "com3")
        self.device = SimulatedDevice(link, "--log", self.log)
        subprocess.run([args.rig, "ports", "--prefix", args.prefix, "--port", "3=" + link],
                       check=True)
        self.server = wineserver_pid(args.prefix)

    def cpu_share(self, pid):
        """Share of one core that the program and wineserver use, over the
        measuring window (the window's length is the measurement, not a
        wait for something)."""
        began, used = time.monotonic(), cpu_seconds(pid) + cpu_seconds(self.server)
        time.sleep(self.args.window)
        spent = cpu_seconds(pid) + cpu_seconds(self.server) - used
        return 100.0 * spent / (time.monotonic() - began)

    def ui(self, *words):
        code, text = self.driver(*words)
        if code != 0:
            raise AssertionError("automate %s: %s" % (" ".join(words), text))
        return text

    def polls_on_the_wire(self, count):
        """Until the program has written `count` more commands."""
        self.device.ask("clear")
        wait_until(lambda: len(self.device.lines()) >= count, 30, "%d polls" % count)

    def baudset_round(self, figures):
        program = Program(self.args.program, "VelmoraV1.5")
        # Started with the program and ended before it: between actions it
        # waits on its input and costs nothing that is measured.
        self.driver = Automate(self.args.automate)
        try:
            figures["cpu closed"].append(self.cpu_share(program.proc.pid))
            self.device.ask("mode silent")
            self.ui("select", "port", "COM3")
            self.ui("click", "open")
            self.polls_on_the_wire(2)
            figures["cpu silent"].append(self.cpu_share(program.proc.pid))
            self.device.ask("mode normal")
            self.ui("wait", "status", "已连接")
            wait_until(lambda: self.ui("enabled", "set") == "1", 30, "set enabled")
            since = time.monotonic()
            figures["cpu connected"].append(self.cpu_share(program.proc.pid))
            figures["poll intervals"] += self.intervals(since)
            figures["version polls"] += self.version_latency()
            figures["result polls"] += self.result_latency()
            figures["peak KiB"].append(status_kib(program.proc.pid, "VmHWM"))
        finally:
            self.driver.stop()
            program.stop()

    def floor_round(self, figures):
        program = Program(self.args.floor, "Floor")
        try:
            figures["cpu closed"].append(self.cpu_share(program.proc.pid))
        finally:
            program.stop()
        self.device.ask("mode silent")
        program = Program(self.args.floor, "Floor", "COM3")
        try:
            self.polls_on_the_wire(2)
            figures["cpu silent"].append(self.cpu_share(program.proc.pid))
            self.device.ask("mode normal")
            self.polls_on_the_wire(2)
            since = time.monotonic()
            figures["cpu connected"].append(self.cpu_share(program.proc.pid))
            figures["poll intervals"] += self.intervals(since)
            figures["peak KiB"].append(status_kib(program.proc.pid, "VmHWM"))
        finally:
            program.stop()

    def log_events(self, since):
        """(time, 'rx'|'tx', text) from the device's log, on our clock."""
        events = []
        with open(self.log) as f:
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

    def polls_between(self, first, then):
        """Polls from `first` (the device's line) to `then` (the command that
        the poll which judged it wrote): 1 means the first poll after it."""
        return max(1, math.ceil((then - first) / POLL_S - 0.1))

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
            found.append(self.polls_between(sent, query))
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
            found.append(self.polls_between(answer, after))
            # The result text stays; blank it by losing and regaining the link
            # would cost seconds, so the next set waits on the device's rate.
        return found

    def startup(self, figures):
        for exe, title, args, key in ((self.args.program, "VelmoraV1.5", (), "startup baudset"),
                                      (self.args.floor, "FloorBare", ("--bare",), "startup bare"),
                                      (self.args.floor, "FloorPanel", ("--panel",), "startup panel")):
            program = Program(exe, title, *args)
            program.stop()
            figures[key].append(program.startup * 1000)


def median(values):
    return statistics.median(values) if values else float("nan")


def main():
    parser = argparse.ArgumentParser()
    for name in ("--rig", "--prefix", "--work", "--program", "--floor", "--automate"):
        parser.add_argument(name, required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--window", type=float, default=10, help="seconds of each CPU reading")
    parser.add_argument("--cycles", type=int, default=3, help="version and set latencies a round")
    parser.add_argument("--starts", type=int, default=10)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)

    bench = Bench(args)
    keys = ("cpu closed", "cpu silent", "cpu connected", "poll intervals", "peak KiB",
            "version polls", "result polls")
    ours = {key: [] for key in keys}
    floor = {key: [] for key in keys}
    starts = {"startup baudset": [], "startup bare": [], "startup panel": []}
    try:
        # One start of each first: the prefix's first programs pay for
        # Wine's own start-up, which is no part of either.
        bench.startup({key: [] for key in starts})
        for _ in range(args.starts):
            bench.startup(starts)
        for _ in range(args.rounds):
            bench.baudset_round(ours)
            bench.floor_round(floor)
    finally:
        bench.device.stop()

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
    print(row("start-up (ms; floor: the same panel, no logic)",
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
    print("bench: %d rounds, CPU windows of %g s, %d starts, %d latency cycles a round"
          % (args.rounds, args.window, args.starts, args.cycles))
    return 0


if __name__ == "__main__":
    sys.exit(main())
