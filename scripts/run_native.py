#!/usr/bin/env python3
"""Starts the Linux baudset with a simulated device as its only serial port.

  python3 scripts/run_native.py PROGRAM WORK

scripts/run --native builds PROGRAM and calls this. The program lists the
machine's ports from /dev, so it runs in a /dev of its own (private-dev),
where the simulated device, switched off, stands as /dev/ttyUSB0. Enter in
the terminal (or SIGUSR1 to the device) power-cycles it. With no DISPLAY
the program runs on a private Xvfb display and a screenshot of its window
is saved in WORK. Closing the window or Ctrl-C ends everything.
"""
import os
import select
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SIMDEVICE = os.path.join(HERE, "..", "tools", "simdevice.py")
PORT = "ttyUSB0"
TITLE = "VelmoraV1.5"


def start_device(work):
    device = subprocess.Popen(
        [sys.executable, SIMDEVICE, "--link", "/dev/" + PORT, "--start-off",
         "--control-port", "0", "--log", os.path.join(work, "device.log")],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if "ready" not in device.stdout.readline():
        device.kill()
        raise SystemExit("run: the simulated device did not start")
    return device


def start_display():
    """A private Xvfb display; it names itself once it accepts clients."""
    server = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24",
                               "-nolisten", "tcp"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    number = server.stdout.readline().strip()
    if not number.isdigit():
        server.kill()
        raise SystemExit("run: Xvfb did not start")
    return server, ":" + number


def shown_window(program, env, seconds=60):
    """The program's window id once it is mapped, or None."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and program.poll() is None:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(program.pid),
                                "--name", "^%s$" % TITLE], env=env, capture_output=True,
                               text=True, timeout=30).stdout.split()
        if found:
            return found[0]
        time.sleep(0.05)
    return None


def power_cycles_from_terminal(program, device):
    """Enter power-cycles the device, until the program ends."""
    interactive = sys.stdin.isatty()
    while program.poll() is None:
        if interactive and select.select([sys.stdin], [], [], 0.5)[0]:
            if not sys.stdin.readline():
                interactive = False     # end of input: nothing more to read
                continue
            device.send_signal(signal.SIGUSR1)
            print("run: device power-cycled", flush=True)
        elif not interactive:
            time.sleep(0.5)


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    program_path, work = (os.path.abspath(a) for a in argv[1:])
    if os.environ.get("BAUDSET_PRIVATE_DEV") != "yes":
        private_dev = os.path.join(HERE, "private-dev")
        os.execv(private_dev, [private_dev, "--", sys.executable, os.path.abspath(__file__)]
                 + [program_path, work])
    os.makedirs(work, exist_ok=True)
    # Ended from outside, it still ends what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    device = start_device(work)
    server = program = None
    env = dict(os.environ)
    try:
        if not env.get("DISPLAY"):
            server, env["DISPLAY"] = start_display()
        # With no session bus, libdbus would start one for the display on
        # Qt's first call, and it would outlive everything started here.
        env.setdefault("DBUS_SESSION_BUS_ADDRESS", "disabled:")
        program = subprocess.Popen([program_path], env=env, stdin=subprocess.DEVNULL)
        window = shown_window(program, env)
        if window is None:
            print("run: baudset showed no window", file=sys.stderr)
            return 1
        print("run: baudset is up; the simulated device is its port %s, switched off." % PORT)
        print("     Press Enter here to power-cycle it (its log: %s)."
              % os.path.join(work, "device.log"), flush=True)
        if server is not None:
            shot = os.path.join(work, "screenshot.png")
            subprocess.run(["import", "-window", window, shot], env=env, timeout=60)
            print("run: no display here, so a screenshot: " + shot, flush=True)
        power_cycles_from_terminal(program, device)
        return program.wait()
    except KeyboardInterrupt:
        return 130
    finally:
        for proc in (program, device, server):
            if proc is not None and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
