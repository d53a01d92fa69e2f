#!/usr/bin/env python3
"""A day at the bench, shortened: the real program stays connected to a
simulated device for MINUTES, with a set request every few seconds and a
power cycle every minute, and must come out of it as it went in.

Measures, first and last: the program's resident memory and its handle
count; from the device's log: the interval between polls (median, worst,
how many fall outside 300 +- 30 ms); and whether every set was answered.

Meant to run inside `wine-rig exec --xvfb ... -- soak.py ...`.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import Automate, SimulatedDevice, wait_until  # noqa: E402

RATES = ["57600", "115200", "19200", "38400"]
SET_EVERY_SECONDS = 3
POWER_CYCLE_EVERY_SECONDS = 60
POLL_MS, POLL_TOLERANCE_MS = 300, 30
# Two locks and a condition variable: what may be created late, once.
LAZY_HANDLES = 4


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"^VmRSS:\s+(\d+) kB", status.read(), re.M).group(1))


def poll_intervals_ms(log, since):
    """Milliseconds between the commands the device received after `since`
    (its monotonic clock); the program writes one command per poll."""
    times = []
    with open(log) as f:
        for line in f:
            stamp, _, what = line.partition(" ")
            if what.startswith("rx ") and float(stamp) >= since:
                times.append(float(stamp))
    return [round((b - a) * 1000) for a, b in zip(times, times[1:])]


class Bench:
    def __init__(self, args):
        self.args = args
        link = os.path.join(args.work, "com3")
        self.log = os.path.join(args.work, "soak-device.log")
        if os.path.exists(self.log):
            os.remove(self.log)
        self.device = SimulatedDevice(link, "--log", self.log)
        subprocess.run([args.rig, "ports", "--prefix", args.prefix, "--port", "3=" + link],
                       check=True)
        self.program = subprocess.Popen(["wine64", args.program], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.driver = Automate(args.automate)

    def ask(self, command):
        return self.device.ask(command)

    def automate(self, *words):
        code, text = self.driver(*words)
        if code != 0:
            raise AssertionError("automate %s: %s" % (" ".join(words), text))
        return text

    def connected_and_ready(self):
        self.automate("wait", "status", "已连接")
        wait_until(lambda: self.automate("enabled", "set") == "1", 30, "set button enabled")

    def device_clock(self):
        # The device stamps its log with its monotonic clock, as ours.
        return time.monotonic()

    def stop(self):
        if self.program.poll() is None:
            self.driver("close")
            try:
                self.program.wait(30)
            except subprocess.TimeoutExpired:
                self.program.kill()
        self.driver.stop()
        self.device.stop()


def main():
    parser = argparse.ArgumentParser()
    for name in ("--rig", "--prefix", "--work", "--program", "--automate"):
        parser.add_argument(name, required=True)
    parser.add_argument("--minutes", type=float, default=10)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)

    bench = Bench(args)
    failures = []
    try:
        bench.automate("select", "port", "COM3")
        bench.automate("click", "open")
        bench.ask("powercycle")
        bench.connected_and_ready()
        pid = bench.program.pid
        first = {"resident KiB": resident_kib(pid), "handles": int(bench.automate("handles"))}
        since = bench.device_clock()
        end = since + args.minutes * 60
        # Half a minute in, then every minute: a short run gets one too.
        next_cycle = since + POWER_CYCLE_EVERY_SECONDS / 2
        sets = answered = cycles = 0
        while time.monotonic() < end:
            if time.monotonic() >= next_cycle:
                # Between two sets, never during one: a banner that arrives
                # while a set waits for its answer is judged as that answer.
                bench.ask("powercycle")
                cycles += 1
                next_cycle += POWER_CYCLE_EVERY_SECONDS
                bench.connected_and_ready()
            rate = RATES[sets % len(RATES)]
            bench.automate("select", "rate", rate)
            bench.automate("click", "set")
            sets += 1
            try:
                wait_until(lambda: bench.ask("rate") == rate, 10, "the device taking " + rate)
                bench.automate("wait", "result", "波特率设置成功")
                answered += 1
            except AssertionError as e:
                failures.append(str(e))
            pause_until = time.monotonic() + SET_EVERY_SECONDS
            while time.monotonic() < pause_until and bench.program.poll() is None:
                time.sleep(0.1)
        last = {"resident KiB": resident_kib(pid), "handles": int(bench.automate("handles"))}
        intervals = poll_intervals_ms(bench.log, since)
    finally:
        bench.stop()

    outside = [ms for ms in intervals if abs(ms - POLL_MS) > POLL_TOLERANCE_MS]
    median = statistics.median(intervals)
    print("soak: %.1f min, %d polls, %d power cycles" % (args.minutes, len(intervals) + 1, cycles))
    for key in first:
        print("  %-13s first %7d   last %7d" % (key, first[key], last[key]))
    print("  poll interval median %d ms, worst %d ms, %d of %d outside %d +- %d ms"
          % (median, max(intervals), len(outside), len(intervals), POLL_MS, POLL_TOLERANCE_MS))
    print("  sets answered %d of %d" % (answered, sets))

    checks = [
        ("every set answered", answered == sets),
        # The threads library creates a wait object for a lock the first
        # time two threads meet on it, which a busy machine may put off
        # until late in the run: a few, once. A leak grows with the work:
        # 200 polls and 15 sets a minute, a power cycle a minute.
        ("handles within %d of the start" % LAZY_HANDLES,
         first["handles"] <= last["handles"] <= first["handles"] + LAZY_HANDLES),
        # Wine's own caches settle in the first minutes; a leak in the
        # dialogue would grow with every poll, 200 of them a minute.
        ("resident memory within 2 MiB of the start",
         last["resident KiB"] <= first["resident KiB"] + 2048),
        ("median poll interval within %d +- %d ms" % (POLL_MS, POLL_TOLERANCE_MS),
         abs(median - POLL_MS) <= POLL_TOLERANCE_MS),
    ]
    for failure in failures:
        print("  note " + failure)
    for name, held in checks:
        print("  %s %s" % ("ok  " if held else "FAIL", name))
    held = sum(1 for _, ok in checks if ok)
    print("soak: %d passed, %d failed" % (held, len(checks) - held))
    return 0 if held == len(checks) else 1


if __name__ == "__main__":
    sys.exit(main())
