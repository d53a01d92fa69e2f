#!/usr/bin/env python3
"""The installed packages as a technician meets them, on the system they are
installed on: /usr/bin/baudset and /usr/bin/baudset-cli started by an
unprivileged account, with simulated devices as its adapters, owned by root
and the group dialout as serial ports are.

  installed_story.py --user NAME --arch ARCH [--package NAME ...]
                     --device NAME:CONTROL:BANNER ...

Run as root in a /dev of its own (scripts/private-dev on this machine, or
an entered root of scripts/debian_root.py), with DISPLAY naming a display
that has a window manager when the window's package, baudset, is among
the --package ones (the default; baudset-cli needs no display). The
devices run outside, on this machine, switched off: each --device names
the port it is in that /dev (ttyUSB0, ttyAMA0), the TCP port of its
control channel and the banner it sends when switched on.
First the story checks that the package is the one for ARCH, and the
program in a terminal: with no display it says so in one line and exits
with 1; --help and --version answer and exit with 0, the version being
the package's; an unknown option gets the usage line and 2. Then the
account is not in dialout, the program starts with its display named by
Qt's -display instead of DISPLAY: the program lists the ports in their order and,
asked to open the first, must name the group and the command. Then it is:
each port in turn connects after a power cycle and shows its device's
version. Closing the window ends the program with status 0, Ctrl-C with a
port open ends it with 130, and nothing of it is left, no lock either.
Everything the account runs (the program, its session and accessibility
bus, the driver) runs as that account, from files it can reach.

baudset-cli, with no display: --version, --help and an unknown option;
--list names the ports in the window's order; outside dialout, opening a
port names the group and the command. Where the window has not switched
the devices on, it then holds the dialogue in the group dialout, with
standard input /dev/null and standard output a pipe: the first port read
after the power cycle that it asks for, the second set to 115200.
"""
import argparse
import os
import pwd
import select
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from harness import (Automate, SimulatedDevice, end_groups, start_accessibility_bus,  # noqa: E402
                     wait_until)

PROGRAM = "/usr/bin/baudset"
CLI = "/usr/bin/baudset-cli"
PROGRAMS = {"baudset": PROGRAM, "baudset-cli": CLI}
# What baudset-cli says on standard error once the port is open.
PROMPT = "power-cycle the device now"
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
                    "PATH": "/usr/bin:/bin"}
        if "DISPLAY" in os.environ:
            self.env["DISPLAY"] = os.environ["DISPLAY"]
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

    def terminal(self, program, *arguments, display=False):
        """`program` as the account from a terminal that has no display,
        or has one; prints what it says, as a transcript. Returns (status,
        standard output, standard error)."""
        env = dict(self.env) if display else without_display(self.env)
        done = subprocess.run(self.wrap + [program] + list(arguments), env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=SECONDS)
        transcript(display, program, arguments, done.stdout + done.stderr, done.returncode)
        return done.returncode, done.stdout, done.stderr

    def converse(self, device, *arguments):
        """baudset-cli holding its dialogue as the account, from a script:
        no display, standard input /dev/null, standard output a pipe. The
        device is power-cycled once the program has asked for it. Returns
        (status, standard output)."""
        program = subprocess.Popen(self.wrap + [CLI] + list(arguments),
                                   env=without_display(self.env), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            asked = read_until(program.stderr, PROMPT.encode(), SECONDS)
            self.expect("%s asks for a power cycle" % arguments[0],
                        PROMPT.encode() in asked, True)
            device.ask("powercycle")
            out, err = program.communicate(timeout=SECONDS)
        finally:
            if program.poll() is None:
                program.kill()
                program.wait()
        transcript(False, CLI, arguments, (asked + err).decode() + out.decode(),
                   program.returncode)
        return program.returncode, out.decode()

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
            wanted = 128 + signal.SIGINT
        try:
            code = self.program.wait(30)
        except subprocess.TimeoutExpired:
            code = "still running"
        self.expect("exit status after %s" % how, code, wanted)
        self.driver.stop()
        wait_until(lambda: not programs_of(self.user), 30, "no baudset of the account left")
        self.expect("programs left after %s" % how, programs_of(self.user), [])


def transcript(display, program, arguments, said, status):
    shown = ([] if display else ["env", "-u", "DISPLAY"]) + [os.path.basename(program)]
    print("  $ " + " ".join(shown + list(arguments)))
    for line in said.splitlines():
        print("  | " + line)
    print("  exit %d" % status, flush=True)


def read_until(stream, text, seconds):
    """What `stream` said until `text` came, it ended or `seconds` passed."""
    said = b""
    deadline = time.monotonic() + seconds
    while text not in said and time.monotonic() < deadline:
        if select.select([stream], [], [], deadline - time.monotonic())[0]:
            chunk = os.read(stream.fileno(), 4096)
            if not chunk:
                break
            said += chunk
    return said


def without_display(env):
    return {name: value for name, value in env.items()
            if name not in ("DISPLAY", "WAYLAND_DISPLAY")}


def play_terminal(story, package, ports):
    """The package's program as a technician first tries it in a terminal,
    not yet in the group dialout; `ports` in the order they are listed."""
    version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package],
                             capture_output=True, text=True).stdout
    # (what, arguments, with a display, status, what it says, in how many lines)
    rows = {
        "baudset": (
            ("no display", [], False, 1, "neither DISPLAY nor WAYLAND_DISPLAY is set", 1),
            ("--help", ["--help"], False, 0, "-v, --version", 12),
            ("--version", ["--version"], False, 0, "baudset %s\n" % version, 1),
            ("an unknown option", ["--frequency", "115200"], True, 2, "'--frequency'", 2)),
        "baudset-cli": (
            ("--help", ["--help"], False, 0, "-l, --list", 41),
            ("--help's own part", ["--help"], False, 0, "by Ctrl-C, SIGTERM or SIGHUP\n", 41),
            ("--version", ["--version"], False, 0, "baudset-cli %s\n" % version, 1),
            ("an unknown option", ["--frequency"], False, 2, "unknown option '--frequency'", 2),
            ("--list", ["--list"], False, 0, "".join(name + "\n" for name in ports),
             len(ports)),
            ("not in dialout", [ports[0]], False, 3,
             "sudo usermod -aG dialout %s\n" % story.user, 4)),
    }[package]
    for what, arguments, display, status, said, lines in rows:
        code, out, err = story.terminal(PROGRAMS[package], *arguments, display=display)
        story.expect("%s %s" % (package, what),
                     (code, said in out + err, (out + err).count("\n")), (status, True, lines))


def play_dialogue(story, devices):
    """baudset-cli in the group dialout: the first port read, the second
    set to 115200, each after its power cycle; no lock is left behind."""
    for index, (name, banner, device) in enumerate(devices[:2]):
        arguments = [name] + (["115200"] if index else [])
        wanted = "version %s\nrate 9600\n%s" % (banner, "set 115200 ok\n" if index else "")
        story.expect("baudset-cli %s" % " ".join(arguments), story.converse(device, *arguments),
                     (0, wanted))
        story.expect("%s lock left" % name, os.path.exists("/var/lock/LCK.." + name), False)


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


def play_window(story, user, devices):
    """The window, first outside the group dialout, then in it."""
    print("== not in the group dialout: the program says which group and command")
    in_dialout(user, False)
    # The display named by Qt's own option, as on a machine whose
    # session sets no DISPLAY.
    story.start("first", "-display", story.env["DISPLAY"], env=without_display(story.env))
    story.expect("ports listed", story.drive("items", "port"),
                 " ".join(name for name, _, _ in devices))
    story.drive("select", "port", devices[0][0])
    story.drive("click", "open")
    said = story.drive("message")
    print("  info the message: " + said)
    story.expect("names the group and the command",
                 "dialout" in said and "sudo usermod -aG dialout %s" % user in said, True)
    story.drive("dismiss")
    story.expect("open button", story.drive("text", "open"), "打开串口")
    story.end("close")

    print("== in the group dialout: each adapter connects after a power cycle")
    in_dialout(user, True)
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
    # Opened again: the last session left nothing on the port (its
    # exclusive mode, say) that refuses a user who is not root.
    story.drive("select", "port", devices[0][0])
    story.drive("click", "open")
    story.expect("%s opened again" % devices[0][0],
                 story.drive("wait", "open", "关闭串口", str(SECONDS * 1000)), "ok")
    # Ctrl-C with the port open lets it go as the close box would.
    story.end("ctrl-c")
    story.expect("lock left after ctrl-c", os.path.exists("/var/lock/LCK.." + devices[0][0]), False)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--user", required=True)
    parser.add_argument("--arch", required=True, choices=sorted(ELF_MACHINES))
    parser.add_argument("--package", action="append", choices=sorted(PROGRAMS),
                        help="an installed package whose program the story plays "
                             "(default: baudset)")
    parser.add_argument("--device", action="append", required=True,
                        help="NAME:CONTROL:BANNER, in the order the port list must show them")
    args = parser.parse_args()
    packages = args.package or ["baudset"]
    if os.environ.get("BAUDSET_PRIVATE_DEV") != "yes" and not os.environ.get("BAUDSET_ENTERED"):
        raise SystemExit("installed_story: run it in a /dev of its own")
    story = Story(args.user)
    devices = []
    for word in args.device:
        name, control, banner = word.split(":", 2)
        devices.append((name, banner, SimulatedDevice("/dev/" + name,
                                                      control_port=int(control))))
    bus = launcher = None
    try:
        print("== the packages are the ones for %s" % args.arch)
        architecture = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                                      text=True).stdout.strip()
        story.expect("system's architecture", architecture, args.arch)
        for package in packages:
            story.expect("%s's ELF machine" % package, elf_machine(PROGRAMS[package]),
                         ELF_MACHINES[args.arch])
        in_dialout(args.user, False)
        for package in packages:
            print("== %s in a terminal: --help, --version, an unknown option, ..." % package)
            play_terminal(story, package, [name for name, _, _ in devices])
        if "baudset" in packages:
            bus, launcher, story.env = start_accessibility_bus(story.env, story.wrap)
            play_window(story, args.user, devices)
        else:
            # The devices are still off, as the window's story would not
            # leave them: each one's banner can only follow the prompt.
            print("== baudset-cli in the group dialout: each device after its power cycle")
            in_dialout(args.user, True)
            play_dialogue(story, devices)
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
