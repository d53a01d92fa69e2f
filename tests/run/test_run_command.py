"""The README's run command and the Debian package's launcher, as
technicians meet them.

  python3 -m unittest tests/run/test_run_command.py

Starts scripts/run or the launcher, drives the window it brings up with
automate.exe (from outside, through the same Wine prefix), closes it and
checks that nothing the command started is left running. Each case runs
once for every account at hand: the current one, and, when the suite runs
as root, a throwaway unprivileged account that it creates, with a copy of
the source tree of its own (a technician's checkout is theirs, not root's).

As root, the suite also builds the .deb (scripts/package), installs it with
apt-get, checks it with desktop-file-validate, appstreamcli and lintian,
starts the installed /usr/bin/baudset as the throwaway account, and removes
the package at the end (a baudset installed before is removed too).
"""
import fcntl
import glob
import grp
import os
import pwd
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
AUTOMATE = os.path.join(ROOT, "build", "windows", "tests", "automate.exe")
sys.path.insert(0, os.path.join(ROOT, "tests"))
import harness  # noqa: E402

THROWAWAY_USER = "baudset-run-test"
TITLE = r"^VelmoraV1\.5$"
UP = r"^baudset: baudset is up\b.*$"
INSTALLED = "/usr/bin/baudset"
DESKTOP_ENTRY = "/usr/share/applications/baudset.desktop"
METAINFO = "/usr/share/metainfo/example.c_seed_2b56d41b.baudset.metainfo.xml"
# Everything the package may put on the machine (and the folders above).
PACKAGE_PATHS = [
    INSTALLED, "/usr/lib/baudset/baudset.exe", "/usr/lib/baudset/wine-rig",
    "/usr/lib/baudset/wine_registry.py", "/usr/lib/baudset/serial_ports.py",
    DESKTOP_ENTRY, METAINFO, "/usr/share/man/man1/baudset.1.gz",
    "/usr/share/doc/baudset/copyright", "/usr/share/doc/baudset/changelog.gz",
    "/usr/share/doc/baudset/usage.txt",
] + ["/usr/share/icons/hicolor/%dx%d/apps/baudset.png" % (n, n) for n in (16, 32, 48, 256)]


class Account:
    """Who runs the command, and the checkout it runs it from."""

    def __init__(self, name, root, user=None):
        self.name, self.root, self.user = name, root, user
        self.build = os.path.join(root, "build", "windows")
        self.home = pwd.getpwnam(user).pw_dir if user else os.environ.get("HOME", "/")
        self.prefix = self.checkout_prefix = os.path.join(self.build, "run", "prefix")
        self.automate_exe = AUTOMATE
        self.driver = None

    @property
    def installed_data(self):
        """Where the installed launcher keeps its prefix, for this account."""
        return os.path.join(self.home, ".local", "share", "baudset")

    def command(self, argv):
        if self.user is None:
            return list(argv)
        # runuser keeps the environment; only what names the account changes,
        # and nothing of root's session (its data folder, its bus) is kept.
        return ["runuser", "-u", self.user, "--", "env", "-u", "XDG_DATA_HOME",
                "-u", "DBUS_SESSION_BUS_ADDRESS", "HOME=" + self.home,
                "USER=" + self.user, "LOGNAME=" + self.user] + list(argv)

    def automate(self, *words):
        """Drives the window of the account's running tool; the driver
        starts with the first action and lasts until stop_driver()."""
        if self.driver is None:
            env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                       PATH="/usr/lib/wine:" + os.environ.get("PATH", ""))
            self.driver = harness.Automate(self.automate_exe, env=env,
                                           wrap=self.command([]) if self.user else ())
        return self.driver(*words)

    def stop_driver(self):
        if self.driver is not None:
            self.driver.stop()
            self.driver = None


def make_throwaway_account(scratch):
    """An unprivileged user (no sudo, no dialout) with its own checkout."""
    try:
        pwd.getpwnam(THROWAWAY_USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--shell", "/usr/sbin/nologin", "--home-dir",
                        os.path.join(scratch, "home"), "--no-create-home", THROWAWAY_USER],
                       check=True)
    entry = pwd.getpwnam(THROWAWAY_USER)
    home = os.path.join(scratch, "home")
    checkout = os.path.join(scratch, "checkout")
    os.makedirs(home, exist_ok=True)
    # The tracked and new files, as a fresh clone plus work in progress.
    files = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others",
                            "--exclude-standard"], check=True, capture_output=True).stdout
    os.makedirs(checkout)
    for name in filter(None, files.decode().split("\0")):
        source = os.path.join(ROOT, name)
        if os.path.isfile(source):
            os.makedirs(os.path.dirname(os.path.join(checkout, name)), exist_ok=True)
            shutil.copy2(source, os.path.join(checkout, name))
    # Our driver, where the account can reach it whatever our checkout's
    # permissions are.
    automate_exe = os.path.join(scratch, "automate.exe")
    shutil.copy2(AUTOMATE, automate_exe)
    subprocess.run(["chown", "-R", "%d:%d" % (entry.pw_uid, entry.pw_gid), scratch], check=True)
    os.chmod(scratch, 0o755)
    account = Account("unprivileged", checkout, THROWAWAY_USER)
    account.home = home
    account.automate_exe = automate_exe
    return account


SCRATCH = None      # the throwaway account's folder, when there is one
THROWAWAY = None    # its Account
PACKAGE = None      # the .deb installed for this suite, when root


def accounts():
    found = [Account("root" if os.geteuid() == 0 else "current user", ROOT)]
    if THROWAWAY is not None:
        found.append(THROWAWAY)
    return found


# The throwaway account is one per machine: a second suite running at the
# same time (another checkout, a CI run) would remove it from under this one.
# The lock makes such suites take turns; it is held until this process ends.
ACCOUNT_LOCK = "/run/lock/baudset-run-test.lock"
account_lock = None


def install_package():
    """The release's .deb, built from this checkout and installed as a
    technician would."""
    for argv in ([os.path.join(ROOT, "scripts", "package")],
                 ["apt-get", "install", "-y", "-q"]):
        if argv[0] == "apt-get":
            debs = glob.glob(os.path.join(ROOT, "build", "dist", "baudset_*_amd64.deb"))
            assert len(debs) == 1, debs
            argv.append(debs[0])
        result = subprocess.run(argv, capture_output=True, text=True,
                                env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        assert result.returncode == 0, result.stdout + result.stderr
    return debs[0]


def setUpModule():
    global SCRATCH, THROWAWAY, PACKAGE, account_lock
    if os.geteuid() == 0:
        account_lock = open(ACCOUNT_LOCK, "w")
        fcntl.flock(account_lock, fcntl.LOCK_EX)
        SCRATCH = tempfile.mkdtemp(prefix="baudset-run-test-")
        THROWAWAY = make_throwaway_account(SCRATCH)
        PACKAGE = install_package()


def tearDownModule():
    if PACKAGE is not None:
        subprocess.run(["apt-get", "purge", "-y", "-q", "baudset"], check=False,
                       stdout=subprocess.DEVNULL)
    if SCRATCH is not None:
        subprocess.run(["pkill", "-KILL", "-u", THROWAWAY_USER], check=False)
        shutil.rmtree(SCRATCH, ignore_errors=True)
        subprocess.run(["userdel", THROWAWAY_USER], check=False, stderr=subprocess.DEVNULL)


def headless_env(**extra):
    env = dict(os.environ, **extra)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def leftovers(account):
    """Processes that a run of the tool could leave behind."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read()
        except OSError:
            continue
        ours = (account.checkout_prefix.encode() in environ
                or account.installed_data.encode() in environ
                or os.path.join(account.build, "run") in cmdline)
        if ours and any(word in cmdline for word in ("wine", "simdevice", "Xvfb", ".exe",
                                                     "baudset --inside")):
            found.append(cmdline.strip())
    return found


def read_until(proc, pattern, deadline):
    """Output of `proc` up to and including the first line matching
    `pattern`, or everything it said when it ended or the time ran out."""
    said = b""
    while time.monotonic() < deadline:
        complete = said[:said.rfind(b"\n") + 1].decode(errors="replace")
        if re.search(pattern, complete, re.M):
            return complete, True
        # Raw reads: a buffered readline() would hide lines from select().
        if select.select([proc.stdout], [], [], 1)[0]:
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                break
            said += chunk
        elif proc.poll() is not None:
            break
    return said.decode(errors="replace"), False


def installed_accounts():
    """Who runs the installed launcher: the throwaway account, as a
    technician with no rights of their own; none without the package."""
    return [THROWAWAY] if PACKAGE is not None else []


class RunCommand(unittest.TestCase):
    def start(self, account, *args, env=None, launcher="run", until=UP):
        """Until its window is up: scripts/run of the account's checkout
        ("run"), the installed launcher ("installed") or the checkout's own
        launcher with the checkout's program ("checkout")."""
        env = env or headless_env()
        if launcher == "installed":
            command = INSTALLED
            account.prefix = os.path.join(account.installed_data, "prefix")
        else:
            command = os.path.join(account.root, "scripts",
                                   "run" if launcher == "run" else "baudset")
            account.prefix = account.checkout_prefix
        if launcher == "checkout":
            env = dict(env, BAUDSET_EXE=os.path.join(account.build, "baudset.exe"),
                       BAUDSET_HOME=os.path.join(account.build, "run"))
        proc = subprocess.Popen(account.command([command] + list(args)),
                                env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                start_new_session=True)
        self.addCleanup(self.stop, proc)
        self.addCleanup(account.stop_driver)
        # A first run builds the program and makes the prefix.
        said, found = read_until(proc, until, time.monotonic() + 900)
        if not found:
            self.fail("the tool did not come up (%s):\n%s" % (account.name, said))
        return proc, said

    def stop(self, proc):
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGTERM)
            proc.wait(60)
        proc.stdout.close()

    def close_and_expect_clean_exit(self, account, proc):
        code, out = account.automate("close")
        self.assertEqual(code, 0, out)
        account.stop_driver()   # it runs in the tool's prefix too
        self.assertEqual(proc.wait(60), 0)
        deadline = time.monotonic() + 30
        while leftovers(account) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(leftovers(account), [])

    def device(self, link, owner=None, *extra):
        """A simulated device at `link`, standing in for an adapter. Its pty
        goes to `owner`'s account as a technician's adapter would (dialout),
        or with owner "dialout" to root and that group only."""
        device = harness.SimulatedDevice(link, *extra)
        self.addCleanup(device.stop)
        device.pty = os.path.realpath(link)
        if owner == "dialout":
            os.chown(device.pty, 0, grp.getgrnam("dialout").gr_gid)
            os.chmod(device.pty, 0o660)
        elif owner is not None and owner.user:
            os.chown(device.pty, pwd.getpwnam(owner.user).pw_uid, -1)
        return device

    def connect(self, account, com, power_cycle=None):
        """Opens COMn in the window; once the device is on (power-cycled
        here, if given), the panel shows it connected."""
        self.assertEqual(account.automate("select", "port", "COM%d" % com), (0, "ok"))
        account.automate("click", "open")
        if power_cycle:
            power_cycle()
        self.assertEqual(account.automate("wait", "status", "已连接"), (0, "ok"))
        if power_cycle:
            self.assertIn(account.automate("text", "version"),
                          [(0, text) for text in harness.VERSION_AFTER_POWER_CYCLE])

    def folder(self):
        """A folder every account may look into."""
        path = tempfile.mkdtemp(dir=SCRATCH)
        self.addCleanup(shutil.rmtree, path, True)
        os.chmod(path, 0o755)
        return path

    def test_simulated_device_headless_comes_up_and_goes_away_cleanly(self):
        for account in accounts():
            with self.subTest(account=account.name):
                proc, said = self.start(account)
                self.assertIn("simulated device is on COM1", said)
                self.assertIn("press Enter here", said)
                self.assertIn("Open COM1", said)
                self.assertNotIn("appear too", said)
                shot = re.search(r"screenshot of its window is in (\S+)", said)
                self.assertIsNotNone(shot, said)
                self.assertGreater(os.path.getsize(shot.group(1)), 1000)

                self.assertEqual(account.automate("check"), (0, "ok"))
                # Wine draws the caption buttons with it on the headless display.
                self.assertEqual(account.automate("font", "Marlett"), (0, "ok"))
                self.assertEqual(account.automate("text", "port"), (0, "COM1"))
                # The simulated device answers once power-cycled, as the tool says.
                device = [p for p in leftovers(account) if "simdevice" in p]
                self.assertEqual(len(device), 1, leftovers(account))
                self.connect(account, 1, lambda: subprocess.run(
                    ["pkill", "-USR1", "-f", "simdevice.py --link " + account.build], check=True))
                self.close_and_expect_clean_exit(account, proc)

    def test_real_adapter_path_becomes_exactly_the_chosen_com_port(self):
        # (isolation, COM number): with a private /dev, and with the host's
        # own serial ports in view, where they take the numbers left over.
        cases = [("auto", 7), ("off", 1)]
        for account in accounts():
            for isolation, com in cases:
                with self.subTest(account=account.name, isolation=isolation):
                    pty = self.device(os.path.join(self.folder(), "adapter"), account).pty
                    proc, said = self.start(account, "--device", pty, "--com", str(com),
                                            env=headless_env(WINE_RIG_ISOLATION=isolation))
                    self.assertIn("Open COM%d" % com, said)
                    host = re.search(r"its own serial ports appear too: (.*)$", said, re.M)
                    if isolation == "off":
                        self.assertIsNotNone(host, said)
                        numbers = re.findall(r"COM(\d+) \((\S+)\)", host.group(1))
                        self.assertNotIn(str(com), [n for n, _ in numbers])
                        if os.path.exists("/dev/ttyS0"):
                            self.assertIn("/dev/ttyS0", [path for _, path in numbers])
                    else:
                        self.assertIsNone(host, said)
                    # Already on: its answer to the first "AT" becomes the version.
                    self.connect(account, com)
                    self.close_and_expect_clean_exit(account, proc)

    def test_window_is_managed_under_a_window_manager(self):
        display = harness.XDisplay(window_manager="openbox")
        self.addCleanup(display.stop)
        for account in accounts():
            with self.subTest(account=account.name):
                env = dict(os.environ, DISPLAY=display.name)
                proc, said = self.start(account, env=env)
                self.assertNotIn("screenshot", said)
                window = display.x("xdotool", "search", "--onlyvisible", "--name", TITLE).split()
                self.assertEqual(len(window), 1, window)
                info = display.x("xwininfo", "-id", window[0], "-tree")
                self.assertIn("Override Redirect State: no",
                              display.x("xwininfo", "-id", window[0]))
                root = re.search(r"Root window id: (0x[0-9a-f]+)", info).group(1)
                parent = re.search(r"Parent window id: (0x[0-9a-f]+)", info).group(1)
                self.assertNotEqual(parent, root, "not reparented into a frame:\n" + info)
                self.assertIn("_NET_FRAME_EXTENTS", display.x("xprop", "-id", window[0]))
                self.close_and_expect_clean_exit(account, proc)

    def test_refusals_and_usage(self):
        """Bad input: a message, the exit status, and nothing started."""
        run = os.path.join(ROOT, "scripts", "run")
        launcher = os.path.join(ROOT, "scripts", "baudset")
        # (who, command, exit status, what it says); who None is the
        # current account.
        cases = [
            (None, [run, "--device", "/dev/ttyUSB-not-there"], 1, "/dev/ttyUSB-not-there does not exist"),
            (None, [run, "--device", "/dev/null"], 1, "/dev/null is not a serial device"),
            (None, [run, "--com", "33"], 2, "--com takes a number from 1 to 32"),
            (None, [run, "--help"], 0, "Usage: scripts/run [--device PATH]"),
            (None, [launcher, "--device", "/etc/hostname"], 1, "/etc/hostname is not a serial device"),
            (None, [launcher, "--com", "3"], 2, "--com goes with --device"),
            (None, [launcher, "--device", "/dev/null", "--com", "0"], 2, "from 1 to 32"),
            (None, [launcher, "--bogus"], 2, "unknown argument '--bogus'"),
        ]
        if THROWAWAY is not None:
            # A technician who may not open the adapter learns the group and
            # the command; one without Wine learns what to install.
            pty = self.device(os.path.join(self.folder(), "adapter"), "dialout").pty
            cases.append((THROWAWAY, [launcher, "--device", pty], 1,
                          "only members of the group 'dialout' may open %s; add yourself with "
                          "'sudo usermod -aG dialout %s'" % (pty, THROWAWAY_USER)))
            no_wine = ["unshare", "-m", "sh", "-c",
                       'mount -t tmpfs none /usr/lib/wine && exec "$@"', "-"]
            cases.append((None, no_wine + [launcher], 1,
                          "Wine (64-bit) is missing; install it with 'sudo apt install wine wine64'"))
        for who, argv, code, text in cases:
            with self.subTest(who=who and who.name, argv=argv[-3:]):
                before = leftovers(who or accounts()[0])
                result = subprocess.run((who.command(argv) if who else argv),
                                        env=headless_env(), capture_output=True, text=True,
                                        timeout=60)
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                self.assertIn(text, result.stdout + result.stderr)
                self.assertEqual(leftovers(who or accounts()[0]), before)

    def test_no_options_map_the_adapters_usb_first(self):
        """Every adapter the account may open, USB ones from COM1. Simulated
        devices pass for adapters by their names in a folder that stands in
        for /dev (BAUDSET_DEV); a built-in port with nothing behind it, and
        an adapter the account may not open, are left out."""
        launchers = [(account, "installed") for account in installed_accounts()]
        if not launchers:   # no package: the checkout's own launcher
            launchers = [(accounts()[0], "checkout")]
        for account, launcher in launchers:
            with self.subTest(account=account.name, launcher=launcher):
                dev = self.folder()
                devices = {name: self.device(os.path.join(dev, name), account, "--start-off")
                           for name in ("ttyACM0", "ttyUSB10", "ttyUSB9")}
                os.symlink("/dev/null", os.path.join(dev, "ttyS0"))
                if account.user:
                    denied = self.device(os.path.join(self.folder(), "adapter"), "dialout")
                    os.symlink(denied.pty, os.path.join(dev, "ttyUSB0"))
                expected = ["ttyUSB9", "ttyUSB10", "ttyACM0"]
                mapping = ", ".join("COM%d = %s" % (n, os.path.join(dev, name))
                                    for n, name in enumerate(expected, 1))
                proc, said = self.start(account, env=headless_env(BAUDSET_DEV=dev),
                                        launcher=launcher)
                self.assertIn("Its COM ports: %s." % mapping, said)
                if account.user:
                    self.assertIn("only members of the group 'dialout' may open %s"
                                  % os.path.join(dev, "ttyUSB0"), said)
                # The window lists exactly those; COM2, ttyUSB10, connects.
                for n in range(1, len(expected) + 2):
                    self.assertEqual(account.automate("select", "port", "COM%d" % n)[0],
                                     0 if n <= len(expected) else 1)
                self.connect(account, 2, lambda: devices["ttyUSB10"].ask("powercycle"))
                self.close_and_expect_clean_exit(account, proc)

    def test_installed_package(self):
        """What apt-get installed: valid metadata, a clean lintian, nothing
        outside its own paths; its first start says so, later ones are
        quick, and Ctrl-C ends all it started."""
        if PACKAGE is None:
            self.skipTest("installing the package needs root")
        # (what, command, exit status, what must not be in its output)
        checks = [
            ("desktop entry", ["desktop-file-validate", DESKTOP_ENTRY], 0, ""),
            ("metainfo", ["appstreamcli", "validate", "--no-net", METAINFO], 0, "E:"),
            ("lintian", ["lintian", "--fail-on", "error,warning", PACKAGE], 0, "E:"),
        ]
        for what, argv, code, banned in checks:
            with self.subTest(check=what):
                result = subprocess.run(argv, capture_output=True, text=True, timeout=300)
                said = result.stdout + result.stderr
                print("%s: %s" % (" ".join(argv), said.strip() or "(nothing)"))
                self.assertEqual(result.returncode, code, said)
                if banned:
                    self.assertNotIn(banned, said)
        with self.subTest(check="files"):
            listed = subprocess.run(["dpkg", "-L", "baudset"], check=True, capture_output=True,
                                    text=True).stdout.split()
            folders = {os.path.dirname(path) for path in PACKAGE_PATHS}
            while any(os.path.dirname(f) not in folders for f in folders):
                folders |= {os.path.dirname(f) for f in folders}
            self.assertEqual(sorted(set(listed) - folders - {"/."}), sorted(PACKAGE_PATHS))

        account = THROWAWAY
        shutil.rmtree(account.installed_data, ignore_errors=True)
        device = self.device(os.path.join(self.folder(), "adapter"), account, "--start-off")
        # (start, what it must say, how it ends)
        for start, notice, end in (("first", True, "close"), ("later", False, "ctrl-c")):
            with self.subTest(start=start):
                began = time.monotonic()
                proc, said = self.start(account, "--device", device.link, "--com", "3",
                                        launcher="installed")
                print("%s start of the installed launcher: up after %.1f s"
                      % (start, time.monotonic() - began))
                self.assertEqual("first start: preparing Wine" in said, notice, said)
                self.assertIn("Open COM3 in it.", said)
                if end == "close":
                    self.connect(account, 3, lambda: device.ask("powercycle"))
                    self.close_and_expect_clean_exit(account, proc)
                    continue
                self.assertEqual(account.automate("check"), (0, "ok"))
                account.stop_driver()
                # Ctrl-C in a terminal reaches the launcher's whole process
                # group; runuser's child is the launcher (it execs the rig).
                with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
                    launcher = int(f.read().split()[0])
                os.killpg(os.getpgid(launcher), signal.SIGINT)
                self.assertIn(proc.wait(60), (130, -signal.SIGINT))
                harness.wait_until(lambda: not leftovers(account), 30, "nothing left running")


if __name__ == "__main__":
    unittest.main()
