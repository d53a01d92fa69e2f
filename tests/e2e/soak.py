#!/usr/bin/env python3
"""A day at the bench, shortened: the real program stays connected to a
simulated device for MINUTES, with a set request every few seconds and a
power cycle every minute, and must come out of it as it went in.

Measures, first and last: the program's resident memory and its handle
count; from the device's log: the interval between polls (median and
worst); and whether every set was answered.

Meant to run inside `wine-rig exec --xvfb ... -- soak.py ...`, or with
--native for the Linux program inside `scripts/private-dev`.
"""
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import SimulatedDevice, poll, start_session, story_arguments, wait_until  # noqa: E402

RATES = ["57600", "115200", "19200", "38400"]
SET_EVERY_SECONDS = 3
POWER_CYCLE_EVERY_SECONDS = 60
# Under Wine the timer gives 10 ms ticks and is never early, so a median
# poll below 30 ticks less one is a wrong divider. The ceiling is what the
# same divider gives at Windows' coarsest usual tick (15.625 ms): beyond it
# polls are being lost, not merely late.
POLL_FLOOR_MS, POLL_CEILING_MS = 290, 469
WINE_KIB_PER_POLL = 1.3


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


class FloorSession:
    """The benchmark's floor.exe with COM3 open from its start: the same port, polls and
    power cycles as ours, no sets (it has no dialogue), nothing to drive, no handle count."""
    port, automate, one_off_handles = "COM3", None, 0

    def __init__(self, args, *device_args):
        self.device = SimulatedDevice(os.path.join(args.work, "com3"), *device_args)
        subprocess.run([args.rig, "ports", "--prefix", args.prefix, "--port",
                        "3=" + self.device.link], check=True)
        self.program = subprocess.Popen(["wine64", args.program, self.port], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        self.program.kill()
        self.program.wait(30)
        self.device.stop()


class Bench:
    def __init__(self, args):
        self.log = os.path.join(args.work, "soak-device.log")
        if os.path.exists(self.log):
            os.remove(self.log)
        self.session = (FloorSession if args.floor else start_session)(args, "--log", self.log)
        self.device, self.program = self.session.device, self.session.program
        self.automate = self.session.automate

    def drive(self, *words):
        if self.automate is None:
            return "1"    # the floor: nothing to drive, nothing to wait for
        code, text = self.automate(*words)
        if code != 0:
            raise AssertionError("automate %s: %s" % (" ".join(words), text))
        return text

    def connected_and_ready(self):
        self.drive("wait", "status", "已连接")
        wait_until(lambda: self.drive("enabled", "set") == "1", 30, "set button enabled")

    def stop(self):
        if self.automate is not None and self.program.poll() is None:
            self.automate("close")
            try:
                self.program.wait(30)
            except subprocess.TimeoutExpired:
                pass    # the session's stop() kills it
        self.session.stop()


def main():
    parser = story_arguments()
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--floor", action="store_true", help="PROGRAM is bench/floor.cpp's floor.exe")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)

    bench = Bench(args)
    failures = []
    try:
        bench.drive("select", "port", bench.session.port)
        bench.drive("click", "open")
        bench.device.power_cycle_judged()
        bench.connected_and_ready()
        pid = bench.program.pid
        # One set answered first: its locks and objects are made by then.
        bench.drive("click", "set")
        bench.drive("wait", "result", "波特率设置成功")
        census_first = bench.drive("handles")
        first = {"resident KiB": resident_kib(pid), "handles": int(census_first.split()[0])}
        since = time.monotonic()    # the device's log stamps are on this clock too
        end = since + args.minutes * 60
        # Half a minute in, then every minute: a short run gets one too.
        next_cycle = since + POWER_CYCLE_EVERY_SECONDS / 2
        sets = answered = cycles = 0
        while time.monotonic() < end:
            if time.monotonic() >= next_cycle:
                # Between two sets, never during one: a banner that arrives
                # while a set waits for its answer is judged as that answer.
                # The panel may still show the link of before the cycle, so
                # the next set waits until the banner has been judged.
                bench.device.power_cycle_judged()
                cycles += 1
                next_cycle += POWER_CYCLE_EVERY_SECONDS
                bench.connected_and_ready()
            if args.floor:
                poll(lambda: bench.program.poll() is not None, SET_EVERY_SECONDS, 0.1)
                continue
            rate = RATES[sets % len(RATES)]
            bench.drive("select", "rate", rate)
            bench.drive("click", "set")
            sets += 1
            try:
                wait_until(lambda: bench.device.ask("rate") == rate, 10, "the device taking " + rate)
                bench.drive("wait", "result", "波特率设置成功")
                answered += 1
            except AssertionError as e:
                failures.append(str(e))
            # A pause between sets, cut short if the program has ended.
            poll(lambda: bench.program.poll() is not None, SET_EVERY_SECONDS, 0.1)
        census_last = bench.drive("handles")
        last = {"resident KiB": resident_kib(pid), "handles": int(census_last.split()[0])}
        intervals = poll_intervals_ms(bench.log, since)
    finally:
        bench.stop()

    median = statistics.median(intervals)
    print("soak: %.1f min, %d polls, %d power cycles" % (args.minutes, len(intervals) + 1, cycles))
    for key in ("resident KiB",) if args.floor else first:
        print("  %-13s first %7d   last %7d" % (key, first[key], last[key]))
    print("  poll interval median %d ms, worst %d ms" % (median, max(intervals)))
    print("  sets answered %d of %d" % (answered, sets))

    if last["handles"] != first["handles"]:
        print("  handles first: %s\n  handles last:  %s" % (census_first, census_last))
    one_off = bench.session.one_off_handles
    wine_kib = 0 if args.native else round(WINE_KIB_PER_POLL * (len(intervals) + 1))
    checks = [
        ("every set answered", answered == sets),
        ("more sets than one-off handles, so that a leak per set shows", sets > one_off),
        ("handles at most %d more than at the start" % one_off,
         last["handles"] <= first["handles"] + one_off),
        # A leak in the dialogue would grow with every poll. Under Wine the
        # reader's own calls grow it too: Wine 8 starts a thread for every
        # WaitCommEvent and keeps about 0.6 KiB of each, two a poll; the
        # floor program grows alike (--floor).
        ("resident memory within 2 MiB of the start, and Wine's %d KiB" % wine_kib,
         last["resident KiB"] <= first["resident KiB"] + 2048 + wine_kib),
        ("median poll interval within %d to %d ms" % (POLL_FLOOR_MS, POLL_CEILING_MS),
         POLL_FLOOR_MS <= median <= POLL_CEILING_MS),
    ]
    if args.floor:    # no sets, no handle count: only memory and polls mean anything
        del checks[:3]
    for failure in failures:
        print("  note " + failure)
    for name, held in checks:
        print("  %s %s" % ("ok  " if held else "FAIL", name))
    held = sum(1 for _, ok in checks if ok)
    print("soak: %d passed, %d failed" % (held, len(checks) - held))
    return 0 if held == len(checks) else 1


if __name__ == "__main__":
    sys.exit(main())
