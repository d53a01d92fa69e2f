"""The README's run command as technicians meet it.

  python3 -m unittest tests/run/test_run_command.py

Starts scripts/run, drives the window it brings up with automate.exe (from
outside, through the same Wine prefix), closes it and checks that nothing
the command started is left running. Each case runs once for every account
at hand: the current one, and, when the suite runs as root, a throwaway
unprivileged account that it creates, with a copy of the source tree of its
own (a technician's checkout is theirs, not root's).
"""
import fcntl
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


class Account:
    """Who runs the command, and the checkout it runs it from."""

    def __init__(self, name, root, user=None):
        self.name, self.root, self.user = name, root, user
        self.build = os.path.join(root, "build", "windows")
        self.prefix = os.path.join(self.build, "run-prefix")
        self.home = pwd.getpwnam(user).pw_dir if user else os.environ.get("HOME", "/")
        self.automate_exe = AUTOMATE
        self.driver = None

    def command(self, argv):
        if self.user is None:
            return list(argv)
        # runuser keeps the environment; only what names the account changes.
        return ["runuser", "-u", self.user, "--", "env", "HOME=" + self.home,
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
        ours = (account.prefix.encode() in environ
                or os.path.join(account.build, "run") in cmdline)
        if ours and ("wine" in cmdline or "simdevice" in cmdline or "Xvfb" in cmdline
                     or ".exe" in cmdline):
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
    def start(self, account, *args, env=None, until=r"^run: baudset is up\. Open COM\d+ in it\.$"):
        proc = subprocess.Popen(account.command([os.path.join(account.root, "scripts", "run")]
                                                + list(args)),
                                env=env or headless_env(), stdin=subprocess.DEVNULL,
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

    def adapter(self, account, outside):
        """A pty standing in for a USB adapter, owned by the account as a
        technician's adapter would be (dialout), outside the run's folder."""
        link = os.path.join(outside, "adapter")
        device, _ = harness.start_device(link)
        self.addCleanup(device.stdout.close)
        self.addCleanup(device.wait, 10)
        self.addCleanup(device.terminate)
        pty = os.path.realpath(link)
        if account.user:
            os.chown(pty, pwd.getpwnam(account.user).pw_uid, -1)
        return pty

    def test_simulated_device_headless_comes_up_and_goes_away_cleanly(self):
        for account in accounts():
            with self.subTest(account=account.name):
                proc, said = self.start(account, until=r"press Enter here to power-cycle")
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
                account.automate("click", "open")
                device = [p for p in leftovers(account) if "simdevice" in p]
                self.assertEqual(len(device), 1, leftovers(account))
                subprocess.run(["pkill", "-USR1", "-f", "simdevice.py --link " + account.build],
                               check=True)
                self.assertEqual(account.automate("wait", "status", "已连接"), (0, "ok"))
                self.assertIn(account.automate("text", "version"),
                              [(0, text) for text in harness.VERSION_AFTER_POWER_CYCLE])

                self.close_and_expect_clean_exit(account, proc)

    def test_real_adapter_path_becomes_exactly_the_chosen_com_port(self):
        # (isolation, COM number): with a private /dev, and with the host's
        # own serial ports in view, where they take the numbers left over.
        cases = [("auto", 7), ("off", 1)]
        for account in accounts():
            for isolation, com in cases:
                with self.subTest(account=account.name, isolation=isolation):
                    outside = tempfile.mkdtemp()
                    self.addCleanup(shutil.rmtree, outside, True)
                    pty = self.adapter(account, outside)
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
                    self.assertEqual(account.automate("select", "port", "COM%d" % com),
                                     (0, "ok"))
                    account.automate("click", "open")
                    # Already on: its answer to the first "AT" becomes the version.
                    self.assertEqual(account.automate("wait", "status", "已连接"), (0, "ok"))
                    self.close_and_expect_clean_exit(account, proc)

    def test_window_is_managed_under_a_window_manager(self):
        display = harness.XDisplay(window_manager="openbox")
        self.addCleanup(display.stop)
        for account in accounts():
            with self.subTest(account=account.name):
                env = dict(os.environ, DISPLAY=display.name)
                proc, said = self.start(account, env=env, until=r"press Enter here to power-cycle")
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
        # (arguments, exit code, what it says)
        cases = [
            (["--device", "/dev/ttyUSB-not-there"], 1, "/dev/ttyUSB-not-there does not exist"),
            (["--device", "/dev/null"], 1, "not a serial device"),
            (["--com", "33"], 2, "--com takes a number from 1 to 32"),
            (["--help"], 0, "Usage: scripts/run [--device PATH]"),
        ]
        for args, code, text in cases:
            with self.subTest(args=args):
                result = subprocess.run([os.path.join(ROOT, "scripts", "run")] + args,
                                        env=headless_env(), capture_output=True, text=True,
                                        timeout=60)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(text, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
