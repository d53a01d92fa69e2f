"""Pieces the Linux-side test drivers share: starting a simulated device,
driving the Windows program with automate.exe under Wine or the Linux
program through the accessibility bus, a private X display, and waiting
for a condition with a deadline."""
import argparse
import ast
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
SIMDEVICE = os.path.join(ROOT, "tools", "simdevice.py")
RIG = os.path.join(ROOT, "scripts", "wine-rig")
# Run as an account with no rights of its own, as another user of the machine.
AS_NOBODY = ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", "--"]


def start_device(link, *extra):
    """Starts tools/simdevice.py with its pty linked at `link`; returns the
    process and the TCP port of its control channel."""
    device = subprocess.Popen(
        [sys.executable, SIMDEVICE, "--link", link, "--control-port", "0"] + list(extra),
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    ready = device.stdout.readline()
    if "ready" not in ready:
        device.kill()
        raise SystemExit("simulated device at %s did not start: %r" % (link, ready))
    return device, int(ready.rsplit(":", 1)[1])


# What the version field may hold after a power cycle of a device whose
# banner is "V2.1", as automate prints it. All that arrives between two polls
# is judged as one piece: when the banner comes out just before a poll's
# "AT\r\n" reaches the device, the device's "OK" joins the banner in that
# piece. The field then holds both lines and shows only the first.
VERSION_AFTER_POWER_CYCLE = ("V2.1\\r\\n", "V2.1\\r\\nOK\\r\\n")


class SimulatedDevice:
    """A simulated device on `link`, driven through its control channel;
    or, given only `control_port`, one that another process started."""

    def __init__(self, link, *extra, control_port=None):
        self.link = link
        self.proc, port = (None, control_port) if control_port else start_device(link, *extra)
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.file = self.sock.makefile("rw")

    def command(self, command):
        """The reply line to one control command, as the device gives it."""
        self.file.write(command + "\n")
        self.file.flush()
        return self.file.readline().rstrip("\n")

    def ask(self, command):
        """The reply to one control command, without its "ok"."""
        reply = self.command(command).strip()
        if not reply.startswith("ok"):
            raise AssertionError("device refused %r: %s" % (command, reply))
        return reply[3:]

    def lines(self):
        """What the program sent since the last clear, line by line."""
        items = self.ask("received")
        return [ast.literal_eval("b'%s'" % item) for item in items.split(" | ") if item]

    def received(self):
        return b"".join(self.lines())

    def wait_received(self, command, count, seconds=30):
        """Until the program has sent `command` `count` times since the last clear."""
        wait_until(lambda: self.received().count(command) >= count, seconds,
                   "%d x %r on the line" % (count, command))

    def send(self, data):
        """Writes raw bytes to the program, bypassing the fault mode, and
        returns once the program's reader has taken them off the line."""
        self.ask("send " + data.hex())
        wait_until(lambda: self.ask("pending") == "0", 30, "%r read by the program" % data[:20])

    def next_command(self):
        """The first command the program writes from now on: the poll that
        writes it has judged everything sent before this call."""
        self.ask("clear")
        return wait_until(lambda: (self.lines() or [None])[0], 30, "a command from the program")

    def power_cycle_judged(self):
        """Power-cycles the device and returns once the program has judged
        its banner at a poll. Until then a panel may still show the link of
        before, and a set pressed meanwhile would go to a booting device and
        take the banner for its answer."""
        self.ask("powercycle")
        wait_until(lambda: self.ask("power") == "on", 30, "the device powered up")
        wait_until(lambda: self.ask("pending") == "0", 30, "the banner read by the program")
        self.next_command()

    def stop(self):
        self.file.close()
        self.sock.close()
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc.stdout.close()


def listening_ports(pid):
    """The TCP ports on which process `pid` listens, from its sockets in /proc."""
    sockets = set()
    for descriptor in os.listdir("/proc/%d/fd" % pid):
        try:
            sockets.add(os.readlink("/proc/%d/fd/%s" % (pid, descriptor)))
        except OSError:
            continue  # closed meanwhile
    with open("/proc/%d/net/tcp" % pid) as table:
        entries = [entry.split() for entry in list(table)[1:]]
    return {int(fields[1].rsplit(":", 1)[1], 16) for fields in entries
            if fields[3] == "0A" and "socket:[%s]" % fields[9] in sockets}  # 0A: LISTEN


def start_ser2net(connections, output, seconds=30):
    """Debian's ser2net in the foreground, its log in the file `output`, one
    connection for each (accepter, connector) pair, with no UUCP locks (-u),
    which would stand for a local port's own. Returns the process and its
    ports once it listens on one for each connection: listening is
    accepting, as the kernel completes a connection before ser2net takes
    it. An accepter at port 0 gets a free one from the kernel."""
    with tempfile.NamedTemporaryFile("w", suffix=".yaml") as config:
        config.write("".join("connection: &line%d\n  accepter: %s\n  connector: %s\n"
                             % (number, accepter, connector)
                             for number, (accepter, connector) in enumerate(connections)))
        config.flush()
        server = subprocess.Popen(["ser2net", "-n", "-u", "-c", config.name],
                                  stdin=subprocess.DEVNULL, stdout=output,
                                  stderr=subprocess.STDOUT)
        try:
            wait_until(lambda: server.poll() is not None
                       or len(listening_ports(server.pid)) == len(connections),
                       seconds, "ser2net listening")
            if server.poll() is not None:
                output.seek(0)
                raise AssertionError("ser2net ended: " + output.read())
        except BaseException:
            server.kill()
            server.wait(10)
            raise
    return server, listening_ports(server.pid)


def story_arguments():
    """The arguments of every story (add_story and add_native_story in
    tests/CMakeLists.txt); a story may add its own before parsing."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--native", action="store_true",
                        help="PROGRAM is the Linux program (run inside scripts/private-dev)")
    for name in ("--rig", "--prefix", "--automate"):
        parser.add_argument(name, help="the Windows program's Wine rig")
    return parser


def start_session(args, *device_args):
    """The session the arguments ask for: the Windows or the Linux program."""
    return (NativeSession if args.native else Session)(args, *device_args)


class Session:
    """baudset.exe under Wine with a simulated device as its only port,
    COM3, and automate.exe to drive it; stop() ends all three."""

    # How the program names the device's port, and what its version field
    # may show after a power cycle.
    port = "COM3"
    versions = VERSION_AFTER_POWER_CYCLE
    # Handles that Wine and the threads library make once, on first use or
    # contention (kOneOffHandles of tests/windows/test_support.h).
    one_off_handles = 8

    def __init__(self, args, *device_args):
        os.makedirs(args.work, exist_ok=True)
        self.device = SimulatedDevice(os.path.join(args.work, "com3"), *device_args)
        self.program = self.automate = None
        try:
            subprocess.run([args.rig, "ports", "--prefix", args.prefix, "--port",
                            "3=" + self.device.link], check=True)
            self.program = subprocess.Popen(["wine64", args.program], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.automate = Automate(["wine64", args.automate])
        except BaseException:
            self.stop()
            raise

    def stop(self):
        if self.program is not None and self.program.poll() is None:
            self.program.kill()
            self.program.wait(30)
        if self.automate is not None:
            self.automate.stop()
        self.device.stop()


class NativeSession:
    """The Linux program with a simulated device as its only serial port,
    /dev/ttyUSB0 of the private /dev that scripts/private-dev gives the
    story, on a private X display with a window manager and an
    accessibility bus, driven through that bus; stop() ends it all."""

    port = "ttyUSB0"
    # The field shows the reply's first line; a poll's "OK" that joined the
    # banner is not shown.
    versions = ("V2.1",)
    # Every descriptor the program opens for a port it closes again.
    one_off_handles = 0

    def __init__(self, args, *device_args):
        if os.environ.get("BAUDSET_PRIVATE_DEV") != "yes":
            raise SystemExit("the Linux program's story runs inside scripts/private-dev")
        os.makedirs(args.work, exist_ok=True)
        self.device = SimulatedDevice("/dev/" + self.port, *device_args)
        self.display = self.bus = self.launcher = self.program = self.automate = None
        self.errors = None
        try:
            self.display = XDisplay("openbox")
            self.bus, self.launcher, env = start_accessibility_bus(self.display.env())
            self.errors = open(os.path.join(args.work, "program.err"), "w")
            self.command, self.env = [args.program], env
            self.start_program()
        except BaseException:
            self.stop()
            raise

    def start_program(self):
        """The program (again, once the last one ended), and its driver."""
        self.program = subprocess.Popen(self.command, env=dict(
            self.env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb"),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.errors)
        from e2e.atspi_driver import AtspiDriver
        self.automate = AtspiDriver(self.program.pid, self.env)
        return self.automate

    def stop(self):
        if self.program is not None and self.program.poll() is None:
            self.program.kill()
            self.program.wait(30)
        end_groups(self.launcher, self.bus)
        if self.errors is not None:
            self.errors.close()
        if self.display is not None:
            self.display.stop()
        self.device.stop()


def start_accessibility_bus(env, wrap=()):
    """A session bus with the accessibility bus behind it, as a desktop
    session has, run through `wrap` (as another account, say). Returns the
    two processes and the environment that reaches them. Each has a
    process group of its own: the launcher's bus daemon and the registry it
    activates go down with the group (end_groups), not with the launcher."""
    bus = subprocess.Popen(list(wrap) + ["dbus-daemon", "--session", "--nofork",
                                         "--print-address=1"],
                           env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True, start_new_session=True)
    address = bus.stdout.readline().strip()
    bus.stdout.close()
    if not address:
        end_groups(bus)
        raise AssertionError("the session bus did not start")
    env = dict(env, DBUS_SESSION_BUS_ADDRESS=address)
    launcher = subprocess.Popen(
        list(wrap) + ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately", "--a11y=1"],
        env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, start_new_session=True)
    ask = list(wrap) + ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                        "/org/a11y/bus", "org.a11y.Bus.GetAddress"]
    try:
        wait_until(lambda: subprocess.run(ask, env=env, capture_output=True,
                                          timeout=30).returncode == 0,
                   60, "the accessibility bus")
    except BaseException:
        end_groups(launcher, bus)
        raise
    return bus, launcher, env


def end_groups(*leaders):
    """Ends each process and everything in its process group."""
    for leader in leaders:
        if leader is None:
            continue
        try:
            os.killpg(leader.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        leader.wait(30)


def poll(condition, seconds, step=0.02):
    """What `condition` returns once true, asked every `step` seconds; its
    last (false) answer once `seconds` have passed first."""
    deadline = time.monotonic() + seconds
    while True:
        result = condition()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(step)


def wait_until(condition, seconds, what):
    """Polls `condition` until it returns something true; fails the caller
    with `what` when `seconds` have passed first."""
    result = poll(condition, seconds, 0.05)
    if not result:
        raise AssertionError("%s: not within %g s" % (what, seconds))
    return result


class XDisplay:
    """A private Xvfb display (the rig's own) with a window manager on it,
    until stop()."""

    def __init__(self, window_manager):
        # The rig prints nothing of its own on stdout: the first line is ours.
        self.server = subprocess.Popen(
            [RIG, "xvfb", "--", "sh", "-c", 'echo "$DISPLAY"; exec "$0"', window_manager],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True)
        self.name = self.server.stdout.readline().strip()
        if not self.name.startswith(":"):
            self.stop()
            raise AssertionError("no display for %s" % window_manager)
        # A window manager announces itself on the root window once it
        # manages; a window mapped before that would stay unframed.
        wait_until(lambda: "_NET_SUPPORTING_WM_CHECK(WINDOW)" in self.x("xprop", "-root"),
                   60, window_manager + " managing " + self.name)

    def env(self):
        return dict(os.environ, DISPLAY=self.name)

    def x(self, *argv):
        """Runs an X client on this display; its output, or "" if it failed."""
        result = subprocess.run(list(argv), env=self.env(), capture_output=True, text=True,
                                timeout=60)
        return result.stdout if result.returncode == 0 else ""

    def stop(self):
        """The rig takes the window manager and the display down with it."""
        if self.server.poll() is None:
            self.server.terminate()
            self.server.wait(30)
        self.server.stdout.close()


class Automate:
    """A driver process (automate.exe under Wine, or atspi_driver.py for the
    Linux program), started once and then driven line by line: each call
    sends one action and returns its exit status and its answer.

    Words that are not plain ASCII go hex-encoded, so that no code page
    stands between us and the program's texts. `wrap` runs it as another
    account (the prefix's owner)."""

    def __init__(self, argv, env=None, wrap=()):
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(list(wrap) + list(argv), env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.errors)
        self.unread = b""

    def __call__(self, *words):
        words = [w if w.isascii() and w and " " not in w else "hex:" + w.encode().hex()
                 for w in words]
        self.proc.stdin.write((" ".join(words) + "\n").encode())
        self.proc.stdin.flush()
        # The slowest action waits up to 60 s for the window and then up to
        # its own limit (a minute at most in these tests).
        status, _, text = self.read_line(150).partition(" ")
        return int(status), text

    def read_line(self, seconds):
        deadline = time.monotonic() + seconds
        while b"\n" not in self.unread:
            # A Wine process started meanwhile may hold the pipe's other end,
            # so the end of automate shows by its exit, not by end of file.
            if self.proc.poll() is not None or time.monotonic() >= deadline:
                self.errors.seek(0)
                said = self.errors.read().decode("utf-8", "replace").strip().splitlines()[-5:]
                raise AssertionError("automate gave no answer (exit %s); Wine said: %s"
                                     % (self.proc.poll(), " | ".join(said) or "nothing"))
            if select.select([self.proc.stdout], [], [], 1)[0]:
                self.unread += os.read(self.proc.stdout.fileno(), 4096)
        line, self.unread = self.unread.split(b"\n", 1)
        return line.decode("utf-8", "replace")

    def stop(self):
        """Ends it: it leaves at the end of its input."""
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        self.proc.stdout.close()
        self.errors.close()
