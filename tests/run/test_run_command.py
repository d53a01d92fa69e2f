"""The README's run command and the Debian package, as technicians meet
them.

  python3 -m unittest tests/run/test_run_command.py

Starts scripts/run, drives the window it brings up with automate.exe (from
outside, through the same Wine prefix), closes it and checks that nothing
the command started is left running. Each case runs once for every account
at hand: the current one, and, when the suite runs as root, a throwaway
unprivileged account that it creates, with a copy of the source tree of its
own (a technician's checkout is theirs, not root's, and root's may be closed
to others).

InstalledPackage, as root, builds this machine's packages (scripts/package
--only host; not again when build/dist holds this very commit's), installs
baudset and baudset-cli with apt-get, checks them with desktop-file-validate
and appstreamcli, and plays tests/run/installed_story.py with the installed
/usr/bin/baudset and /usr/bin/baudset-cli as the throwaway account; its
test_debian_* cases (the release matrix) play it in bare Debian roots
(scripts/debian_root.py) of each release and architecture the README
promises, the ARM packages built and run emulated: the window's package
with a display, and, in the *_terminal ones, baudset-cli alone on a
headless system. The simulated devices run here; each root sees them as
its ttyUSB0 and ttyAMA0. It removes the packages at the end (and ones
installed before).

  python3 tests/run/test_run_command.py RunCommand         (the run command)
  python3 tests/run/test_run_command.py InstalledPackage [-k test_debian]  (the packages)
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
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

THROWAWAY_USER = "baudset-run-test"
TITLE = r"^VelmoraV1\.5$"
UP = r"^baudset: baudset is up\b.*$"
INSTALLED = "/usr/bin/baudset"
DESKTOP_ENTRY = "/usr/share/applications/baudset.desktop"
METAINFO = "/usr/share/metainfo/example.c_seed_2b56d41b.baudset.metainfo.xml"
# Everything each package may put on the machine (and the folders above).
PACKAGE_PATHS = {
    "baudset": [
        INSTALLED, DESKTOP_ENTRY, METAINFO, "/usr/share/man/man1/baudset.1.gz",
        "/usr/share/doc/baudset/copyright", "/usr/share/doc/baudset/changelog.gz",
        "/usr/share/doc/baudset/usage.txt",
    ] + ["/usr/share/icons/hicolor/%dx%d/apps/baudset.png" % (n, n) for n in (16, 32, 48, 256)],
    "baudset-cli": [
        "/usr/bin/baudset-cli", "/usr/share/man/man1/baudset-cli.1.gz",
        "/usr/share/doc/baudset-cli/copyright", "/usr/share/doc/baudset-cli/changelog.gz",
    ],
}
# What the installed story needs of the checkout, copied where every
# account can read it.
STORY_FILES = ["tests/harness.py", "tests/e2e/atspi_driver.py", "tests/run/installed_story.py"]
# What the story needs inside a bare root besides the package.
STORY_TOOLS = ["python3", "python3-pyatspi", "at-spi2-core", "dbus", "xdotool", "x11-utils",
               "wmctrl", "passwd", "util-linux"]
# The adapters of every story, in the order the port list must show them:
# a USB adapter, and the Raspberry Pi's own UART. (name, banner)
STORY_PORTS = [("ttyUSB0", "V2.1"), ("ttyAMA0", "V3.0")]
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import debian_root  # noqa: E402


class Account:
    """Who runs the command, and the checkout it runs it from."""

    def __init__(self, name, root, user=None):
        self.name, self.root, self.user = name, root, user
        self.build = os.path.join(root, "build", "windows")
        self.home = pwd.getpwnam(user).pw_dir if user else os.environ.get("HOME", "/")
        self.prefix = self.checkout_prefix = os.path.join(self.build, "run", "prefix")
        self.automate_exe = AUTOMATE
        self.driver = None

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
            self.driver = harness.Automate(["wine64", self.automate_exe], env=env,
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


def setUpModule():
    global SCRATCH, THROWAWAY, account_lock
    if os.geteuid() == 0:
        account_lock = open(ACCOUNT_LOCK, "w")
        fcntl.flock(account_lock, fcntl.LOCK_EX)
        SCRATCH = tempfile.mkdtemp(prefix="baudset-run-test-")
        THROWAWAY = make_throwaway_account(SCRATCH)


def tearDownModule():
    if SCRATCH is not None:
        subprocess.run(["pkill", "-KILL", "-u", THROWAWAY_USER], check=False)
        shutil.rmtree(SCRATCH, ignore_errors=True)
        subprocess.run(["userdel", THROWAWAY_USER], check=False, stderr=subprocess.DEVNULL)


def shared_folder(test):
    """A folder every account may look into, gone after `test`."""
    path = tempfile.mkdtemp(dir=SCRATCH)
    test.addCleanup(shutil.rmtree, path, True)
    os.chmod(path, 0o755)
    return path


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


class RunCommand(unittest.TestCase):
    def start(self, account, *args, env=None, until=UP):
        """scripts/run of the account's checkout, until its window is up."""
        env = env or headless_env()
        account.prefix = account.checkout_prefix
        proc = subprocess.Popen(account.command([os.path.join(account.root, "scripts", "run")]
                                                + list(args)),
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
        harness.poll(lambda: not leftovers(account), 30, 0.2)
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
        return shared_folder(self)

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
        """Bad input: a message, the exit status, and nothing started. Each
        account runs its own checkout's commands."""
        def command(who, name):
            return os.path.join((who or accounts()[0]).root, "scripts", name)
        run, launcher = command(None, "run"), command(None, "wine-launch")
        # (who, command, exit status, what it says); who None is the
        # current account.
        cases = [
            (None, [run, "--device", "/dev/ttyUSB-not-there"], 1, "/dev/ttyUSB-not-there does not exist"),
            (None, [run, "--device", "/dev/null"], 1, "/dev/null is not a serial device"),
            (None, [run, "--com", "33"], 2, "--com takes a number from 1 to 32"),
            (None, [run, "--native", "--device", "/dev/null"], 2, "lists the machine's adapters itself"),
            (None, [run, "--help"], 0, "Usage: scripts/run [--device PATH]"),
            (None, [launcher, "--device", "/etc/hostname"], 1, "/etc/hostname is not a serial device"),
            (None, [launcher, "--com", "3"], 2, "--device PATH names the adapter"),
            (None, [launcher, "--device", "/dev/null", "--com", "0"], 2, "from 1 to 32"),
            (None, [launcher, "--bogus"], 2, "unknown argument '--bogus'"),
        ]
        if THROWAWAY is not None:
            # A technician who may not open the adapter learns the group and
            # the command; one without Wine learns what to install.
            pty = self.device(os.path.join(self.folder(), "adapter"), "dialout").pty
            cases.append((THROWAWAY, [command(THROWAWAY, "wine-launch"), "--device", pty], 1,
                          "only members of the group 'dialout' may open %s; add yourself with "
                          "'sudo usermod -aG dialout %s'" % (pty, THROWAWAY_USER)))
            no_wine = ["unshare", "-m", "sh", "-c",
                       'mount -t tmpfs none /usr/lib/wine && exec "$@"', "-"]
            cases.append((None, no_wine + [launcher, "--device", pty], 1,
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


def ensure_release(only, arches):
    """scripts/package --only `only`, unless build/dist holds this very
    commit's with the .debs of `arches` (the same commit, the same bytes)."""
    described = subprocess.run(["git", "-C", ROOT, "describe", "--tags", "--long", "--always",
                                "--dirty", "--match", "v[0-9]*"], capture_output=True,
                               text=True).stdout.strip()
    zip_path = os.path.join(ROOT, "build", "dist", "baudset-%s-win64.zip" % described)
    if described.endswith("-dirty") or not os.path.exists(zip_path) or not all(
            release_package(arch, name) for arch in arches for name in PACKAGE_PATHS):
        made = subprocess.run([os.path.join(ROOT, "scripts", "package"), "--only", only],
                              capture_output=True, text=True)
        print(made.stdout + made.stderr)
        assert made.returncode == 0, made.stdout[-3000:] + made.stderr[-3000:]


def release_package(arch, name="baudset"):
    """The release's .deb of package `name` and `arch` in build/dist, or None
    when the release skipped it (it said why)."""
    debs = glob.glob(os.path.join(ROOT, "build", "dist", "%s_*_%s.deb" % (name, arch)))
    assert len(debs) <= 1, debs
    return debs[0] if debs else None


class InstalledPackage(unittest.TestCase):
    """The release's packages, installed with apt as technicians install
    them, and the story played on each."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("installing the package needs root")
        ensure_release("host", [debian_root.host_architecture()])
        debs = [release_package(debian_root.host_architecture(), name) for name in PACKAGE_PATHS]
        installed = subprocess.run(["apt-get", "install", "-y", "-q"] + debs,
                                   capture_output=True, text=True,
                                   env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        assert installed.returncode == 0, installed.stdout + installed.stderr

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["apt-get", "purge", "-y", "-q"] + list(PACKAGE_PATHS), check=False,
                       stdout=subprocess.DEVNULL)

    def folder(self):
        return shared_folder(self)

    def test_installed_here(self):
        """What apt-get installed: valid metadata and nothing outside its own
        paths (lintian has judged it in scripts/package); then the story as
        the throwaway account, with this machine's own Debian."""
        # (what, command, what must not be in its output)
        checks = [
            ("desktop entry", ["desktop-file-validate", DESKTOP_ENTRY], ""),
            ("metainfo", ["appstreamcli", "validate", "--no-net", METAINFO], "E:"),
        ]
        for what, argv, banned in checks:
            with self.subTest(check=what):
                result = subprocess.run(argv, capture_output=True, text=True, timeout=300)
                said = result.stdout + result.stderr
                print("%s: %s" % (" ".join(argv), said.strip() or "(nothing)"))
                self.assertEqual(result.returncode, 0, said)
                if banned:
                    self.assertNotIn(banned, said)
        for package, paths in PACKAGE_PATHS.items():
            with self.subTest(check="files", package=package):
                listed = subprocess.run(["dpkg", "-L", package], check=True, capture_output=True,
                                        text=True).stdout.split()
                folders = {os.path.dirname(path) for path in paths}
                while any(os.path.dirname(f) not in folders for f in folders):
                    folders |= {os.path.dirname(f) for f in folders}
                self.assertEqual(sorted(set(listed) - folders - {"/."}), sorted(paths))
        with self.subTest(check="story here"):
            ports, words = self.devices()
            story = self.story_copy(self.folder())
            links = [word for name, pty in ports.items() for word in ("--port", name + "=" + pty)]
            self.play([os.path.join(ROOT, "scripts", "private-dev")] + links +
                      ["--", "/usr/bin/python3", story, "--user", THROWAWAY_USER,
                       "--arch", debian_root.host_architecture(),
                       "--package", "baudset", "--package", "baudset-cli"] + words)

    def test_debian_13_armhf_refuses_the_debian_12_package(self):
        """Debian 13 changed armhf's ABI (64-bit time_t, libqt6core6t64 that
        does not provide libqt6core6): apt must refuse the package, as the
        README says, rather than install something that cannot run."""
        said = self.in_root(13, "armhf", [
            "apt-get update -qq",
            "! apt-get install -y /tmp/baudset-test/baudset.deb > /tmp/baudset-test/apt.log 2>&1",
            "cat /tmp/baudset-test/apt.log",
        ])
        self.assertIn("libqt6core6", said)
        self.assertRegex(said, r"(Unmet dependencies|not installable|unmet dependencies)")

    def story_in_root(self, release, arch):
        ports, words = self.devices()
        self.in_root(release, arch, [
            "apt-get update -qq",
            # As a technician installs it: with what the package recommends.
            "apt-get install -y /tmp/baudset-test/baudset.deb > /tmp/baudset-test/apt.log",
            "grep -E 'newly installed|^After this operation|^Need to get' /tmp/baudset-test/apt.log",
            "apt-get install -y -qq --no-install-recommends %s > /dev/null" % " ".join(STORY_TOOLS),
            "useradd --system --create-home --home-dir /tmp/baudset-home %s" % THROWAWAY_USER,
            "/usr/bin/python3 /tmp/baudset-test/tests/run/installed_story.py --user %s --arch %s %s"
            % (THROWAWAY_USER, arch, " ".join(words)),
        ], ports, story=True)

    def terminal_story_in_root(self, release, arch):
        """baudset-cli installed alone: what apt adds for it and, for
        comparison, what it would add for the window (apt asks before it
        adds dependencies, and is told no); then the story, with no display."""
        ports, words = self.devices()
        log = "/tmp/baudset-test/%s.log"
        said = self.in_root(release, arch, [
            "apt-get update -qq",
            "{ apt-get install --assume-no /tmp/baudset-test/baudset.deb > %s 2>&1 || true; }"
            % (log % "baudset"),
            "apt-get install -y /tmp/baudset-test/baudset-cli.deb > %s" % (log % "baudset-cli"),
            "grep -H -E 'newly installed|^After this operation|^Need to get' %s %s"
            % (log % "baudset", log % "baudset-cli"),
            "! dpkg-query -W baudset 2>/dev/null",
            "apt-get install -y -qq --no-install-recommends python3 passwd > /dev/null",
            "useradd --system --create-home --home-dir /tmp/baudset-home %s" % THROWAWAY_USER,
            "/usr/bin/python3 /tmp/baudset-test/tests/run/installed_story.py --user %s --arch %s "
            "--package baudset-cli %s" % (THROWAWAY_USER, arch, " ".join(words)),
        ], ports, story=True, display=False)
        grown = {name: re.search(r"^/tmp/baudset-test/%s\.log:After this operation, (\S+ \S+)"
                                 % name, said, re.M) for name in PACKAGE_PATHS}
        print("apt on a bare Debian %d %s, disk space after this operation: %s" % (
            release, arch, ", ".join("%s %s" % (name, found and found.group(1))
                                     for name, found in grown.items())))
        self.assertTrue(all(grown.values()), said[-3000:])
        # Nothing but itself: the runtimes come with apt in any Debian.
        self.assertRegex(said, r"baudset-cli\.log:0 upgraded, 1 newly installed")

    def in_root(self, release, arch, script, ports=None, story=False, display=True):
        """Runs the shell lines in a fresh bare root of `release` and `arch`
        that holds the packages of `arch` in /tmp/baudset-test (NAME.deb);
        what it said."""
        ensure_release("foreign", ["arm64", "armhf"])
        debs = {name: release_package(arch, name) for name in PACKAGE_PATHS}
        if None in debs.values():
            self.skip_saying("scripts/package made no %s package" % arch)
        cache = debian_root.cache_folder(release, arch)
        tarball, why = debian_root.base_tarball(cache, release, arch)
        if tarball is None:
            self.skip_saying("no Debian %d %s root here: %s" % (release, arch, why))
        root = debian_root.unpack(tarball, debian_root.scratch(os.path.join(ROOT, "build")))
        self.addCleanup(shutil.rmtree, root, True)
        inside = os.path.join(root, "tmp", "baudset-test")
        os.makedirs(inside)
        for name, deb in debs.items():
            shutil.copy(deb, os.path.join(inside, name + ".deb"))
        if story:
            self.story_copy(inside)
        print("== Debian %d %s" % (release, arch))
        command = debian_root.enter_command(root, cache, ["/bin/sh", "-c", " && ".join(script)],
                                            ports)
        return self.play(command, display) if story else self.run_quietly(command)

    def skip_saying(self, why):
        print("SKIPPED: " + why)
        self.skipTest(why)

    def devices(self):
        """The story's simulated devices, here, switched off, each on a pty
        owned by root and the group dialout as a serial port is; the ports
        to link in, and the story's --device words."""
        ports, words = {}, []
        for name, banner in STORY_PORTS:
            device = harness.SimulatedDevice(os.path.join(self.folder(), name), "--start-off",
                                             "--banner", banner)
            self.addCleanup(device.stop)
            pty = os.path.realpath(device.link)
            os.chown(pty, 0, grp.getgrnam("dialout").gr_gid)
            os.chmod(pty, 0o660)
            ports[name] = pty
            words += ["--device", "%s:%d:%s" % (name, device.sock.getpeername()[1], banner)]
        return ports, words

    def story_copy(self, folder):
        """installed_story.py and what it imports, in `folder`; its path."""
        for name in STORY_FILES:
            os.makedirs(os.path.join(folder, os.path.dirname(name)), exist_ok=True)
            shutil.copy(os.path.join(ROOT, name), os.path.join(folder, name))
        subprocess.run(["chmod", "-R", "a+rX", folder], check=True)
        return os.path.join(folder, "tests", "run", "installed_story.py")

    def run_quietly(self, argv):
        result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=1800)
        said = result.stdout + result.stderr
        print(said)
        self.assertEqual(result.returncode, 0, said[-3000:])
        return said

    def play(self, argv, display=True):
        """Runs the installed story on a display with a window manager, or
        with no display at all."""
        env = headless_env()
        if display:
            display = harness.XDisplay(window_manager="openbox")
            self.addCleanup(display.stop)
            env["DISPLAY"] = display.name
        result = subprocess.run(argv, env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=1800)
        print(result.stdout + result.stderr)
        self.assertEqual(result.returncode, 0, result.stdout[-3000:] + result.stderr[-2000:])
        self.assertIn("installed_story: ", result.stdout)
        return result.stdout


# A technician's system of each release and architecture the README names,
# as bare as a fresh install: the package installed with apt and the story
# played there; and baudset-cli alone, as on a headless board, no display.
for _release, _arch in ((12, "amd64"), (13, "amd64"), (12, "arm64"), (13, "arm64"), (12, "armhf")):
    setattr(InstalledPackage, "test_debian_%d_%s" % (_release, _arch),
            lambda self, release=_release, arch=_arch: self.story_in_root(release, arch))
for _release, _arch in ((12, "amd64"), (13, "amd64"), (12, "arm64"), (12, "armhf")):
    setattr(InstalledPackage, "test_debian_%d_%s_terminal" % (_release, _arch),
            lambda self, release=_release, arch=_arch: self.terminal_story_in_root(release, arch))

if __name__ == "__main__":
    unittest.main()
