#!/usr/bin/env python3
"""The installed package as a technician meets it, on the system it is
installed on: /usr/bin/baudset started by an unprivileged account, with
simulated devices as its adapters, owned by root and the group dialout as
serial ports are.

  installed_story.py --user NAME --arch ARCH --device NAME:CONTROL:BANNER ...

Run as root in a /dev of its own (scripts/private-dev on this machine, or
an entered root of scripts/debian_root.py), with DISPLAY naming a display
that has a window manager. The devices run outside, on this machine: each
--device names the port it is in that /dev (ttyUSB0, ttyAMA0), the TCP
port of its control channel and the banner it sends when switched on.
First the story checks that the package is the one for ARCH, and the
program in a terminal: with no display it says so in one line and exits
with 1; --help and --version answer and exit with 0, the version being
the package's; an unknown option gets the usage line and 2. Then the
account is not in dialout, the program starts with its display named by
Qt's -display instead of DISPLAY: the program lists the ports in their order and,
asked to open the first, must name the group and the command. Then it is:
each port in turn connects after a power cycle and shows its device's
version. Closing the window ends the program with status 0, Ctrl-C ends it
too, and nothing of it is left. Everything the account runs (the program,
its session and accessibility bus, the driver) runs as that account, from
files it can reach.
"""
import argparse
import os
import pwd
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from harness import (Automate, SimulatedDevice, end_groups, start_accessibility_bus,  # noqa: E402
                     wait_until)

PROGRAM = "/usr/bin/baudset"
DRIVER = os.path.join(HERE, "..", "e2e", "atspi_driver.py")
# The ELF machine of each Debian architecture's programs.
ELF_MACHINES = {"amd64": 0x3E, "arm64": 0xB7, "armhf": 0x28}
# How long a port may take to open or to connect after a power cycle.
# Under emulation everything takes many times longer than on a board; the
# driver waits up to 60 s for the window first, and answers within 150 s.
SECONDS = 80


class Story:
    def __init__(self, user):
        self.user = user
        entry = pwd.getpwnam(user)
        self.wrap = ["setpriv", "--reuid", str(entry.pw_uid), "--regid", str(entry.pw_gid),
                     "--init-groups", "--"]
        self.env = {"HOME": entry.pw_dir, "USER": user, "LOGNAME": user, "LANG": "C.UTF-8",
                    "PATH": "/usr/bin:/bin", "DISPLAY": os.environ["DISPLAY"]}
        self.passes = self.failures = 0
        self.program = self.driver = None

    def expect(self, what, actual, wanted):
        held = actual == wanted
        self.passes += held
        self.failures += not held
        print("  %s %s = %r%s" % ("ok  " if held else "FAIL", what, actual,
                                  "" if held else ", expected %r" % (wanted,)), flush=True)

    def drive(self, *words):
        code, text = self.driver(*words)
        if code != 0:
            raise AssertionError("driver %s: %s" % (" ".join(words), text))
        return text

    def terminal(self, *arguments, display=False):
        """The program as the account from a terminal that has no display,
        or has one; prints what it says, as a transcript. Returns (status,
        standard output, standard error)."""
        env = dict(self.env) if display else without_display(self.env)
        done = subprocess.run(self.wrap + [PROGRAM] + list(arguments), env=env,
                              capture_output=True, text=True, timeout=SECONDS)
        shown = ([] if display else ["env", "-u", "DISPLAY"]) + ["baudset"] + list(arguments)
        print("  $ " + " ".join(shown))
        for line in (done.stdout + done.stderr).splitlines():
            print("  | " + line)
        print("  exit %d" % done.returncode, flush=True)
        return done.returncode, done.stdout, done.stderr

    def start(self, what, *arguments, env=None):
        """The program as the account, as from a terminal: a process group of
        its own, which Ctrl-C reaches as a whole."""
        began = time.monotonic()
        self.program = subprocess.Popen(
            self.wrap + [PROGRAM] + list(arguments),
            env=dict(env or self.env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"),
            stdin=subprocess.DEVNULL, start_new_session=True)
        self.driver = Automate(["/usr/bin/python3", DRIVER, str(self.program.pid)],
                               env=self.env, wrap=self.wrap)
        self.drive("check")
        print("  info %s start: window shown after %.2f s (the driver polls every 50 ms)"
              % (what, time.monotonic() - began), flush=True)

    def end(self, how):
        if how == "close":
            self.drive("close")
            wanted = 0
        else:
            os.killpg(self.program.pid, signal.SIGINT)
            wanted = -signal.SIGINT
        try:
            code = self.program.wait(30)
        except subprocess.TimeoutExpired:
            code = "still running"
        self.expect("exit status after %s" % how, code, wanted)
        self.driver.stop()
        wait_until(lambda: not programs_of(self.user), 30, "no baudset of the account left")
        self.expect("programs left after %s" % how, programs_of(self.user), [])


def without_display(env):
    return {name: value for name, value in env.items()
            if name not in ("DISPLAY", "WAYLAND_DISPLAY")}


def play_terminal(story):
    version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "baudset"],
                             capture_output=True, text=True).stdout
    # (what, arguments, with a display, status, what it says, in how many lines)
    for what, arguments, display, status, said, lines in (
            ("no display", [], False, 1, "neither DISPLAY nor WAYLAND_DISPLAY is set", 1),
            ("--help", ["--help"], False, 0, "-v, --version", 12),
            ("--version", ["--version"], False, 0, "baudset %s\n" % version, 1),
            ("an unknown option", ["--frequency", "115200"], True, 2, "'--frequency'", 2)):
        code, out, err = story.terminal(*arguments, display=display)
        story.expect(what, (code, said in out + err, (out + err).count("\n")),
                     (status, True, lines))


def programs_of(user):
    uid = pwd.getpwnam(user).pw_uid
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.stat("/proc/" + pid).st_uid == uid and \
                    os.readlink("/proc/%s/exe" % pid) == PROGRAM:
                found.append(int(pid))
        except OSError:
            continue
    return found


def elf_machine(path):
    with open(path, "rb") as program:
        header = program.read(20)
    return int.from_bytes(header[18:20], "little")


def in_dialout(user, member):
    command = ["usermod", "-aG", "dialout", user] if member else ["gpasswd", "-d", user, "dialout"]
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--user", required=True)
    parser.add_argument("--arch", required=True, choices=sorted(ELF_MACHINES))
    parser.add_argument("--device", action="append", required=True,
                        help="NAME:CONTROL:BANNER, in the order the port list must show them")
    args = parser.parse_args()
    if os.environ.get("BAUDSET_PRIVATE_DEV") != "yes" and not os.environ.get("BAUDSET_ENTERED"):
        raise SystemExit("installed_story: run it in a /dev of its own")
    story = Story(args.user)
    devices = []
    for word in args.device:
        name, control, banner = word.split(":", 2)
        devices.append((name, banner, SimulatedDevice("/dev/" + name,
                                                      control_port=int(control))))
    first = devices[0][0]
    bus = launcher = None
    try:
        print("== the package is the one for %s" % args.arch)
        architecture = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                                      text=True).stdout.strip()
        story.expect("system's architecture", architecture, args.arch)
        story.expect("program's ELF machine", elf_machine(PROGRAM), ELF_MACHINES[args.arch])
        print("== in a terminal: no display, --help, --version, an unknown option")
        play_terminal(story)
        bus, launcher, story.env = start_accessibility_bus(story.env, story.wrap)

        print("== not in the group dialout: the program says which group and command")
        in_dialout(args.user, False)
        # The display named by Qt's own option, as on a machine whose
        # session sets no DISPLAY.
        story.start("first", "-display", story.env["DISPLAY"], env=without_display(story.env))
        story.expect("ports listed", story.drive("items", "port"),
                     " ".join(name for name, _, _ in devices))
        story.drive("select", "port", first)
        story.drive("click", "open")
        said = story.drive("message")
        print("  info the message: " + said)
        story.expect("names the group and the command",
                     "dialout" in said and "sudo usermod -aG dialout %s" % args.user in said, True)
        story.drive("dismiss")
        story.expect("open button", story.drive("text", "open"), "打开串口")
        story.end("close")

        print("== in the group dialout: each adapter connects after a power cycle")
        in_dialout(args.user, True)
        story.start("later")
        for name, banner, device in devices:
            story.drive("select", "port", name)
            story.drive("click", "open")
            story.drive("wait", "open", "关闭串口", str(SECONDS * 1000))
            device.ask("powercycle")
            story.expect("%s status" % name,
                         story.drive("wait", "status", "已连接", str(SECONDS * 1000)), "ok")
            story.expect("%s version" % name, story.drive("text", "version"), banner)
            story.drive("click", "open")
            story.drive("wait", "open", "打开串口", str(SECONDS * 1000))
        story.end("ctrl-c")
    finally:
        in_dialout(args.user, False)
        if story.program is not None and story.program.poll() is None:
            story.program.kill()
        end_groups(launcher, bus)
        for _, _, device in devices:
            device.stop()
    print("installed_story: %d passed, %d failed" % (story.passes, story.failures))
    return 1 if story.failures else 0


if __name__ == "__main__":
    sys.exit(main())
