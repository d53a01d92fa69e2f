"""The README's run command as a new user meets it, without a display.

  python3 -m unittest tests/run/test_run_command.py

Starts scripts/run, drives the window it brings up with automate.exe (from
outside, through the same Wine prefix), closes it and checks that nothing
the command started is left running.
"""
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
RUN = os.path.join(ROOT, "scripts", "run")
BUILD = os.path.join(ROOT, "build", "windows")
PREFIX = os.path.join(BUILD, "run-prefix")
AUTOMATE = os.path.join(BUILD, "tests", "automate.exe")
sys.path.insert(0, os.path.join(ROOT, "tests"))
import harness  # noqa: E402


def headless_env():
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def automate(*words):
    env = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all",
               PATH="/usr/lib/wine:" + os.environ.get("PATH", ""))
    return harness.automate(AUTOMATE, *words, env=env)


def leftovers():
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
        ours = PREFIX.encode() in environ or "build/windows/run/" in cmdline
        if ours and ("wine" in cmdline or "simdevice" in cmdline or "Xvfb" in cmdline
                     or ".exe" in cmdline):
            found.append(cmdline.strip())
    return found


class RunCommand(unittest.TestCase):
    def start(self, *args):
        proc = subprocess.Popen([RUN] + list(args), env=headless_env(), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                start_new_session=True)
        self.addCleanup(self.stop, proc)
        # Raw reads: a buffered readline() would hide lines from select().
        said = b""
        deadline = time.monotonic() + 600   # a first run may build and make a prefix
        while time.monotonic() < deadline and b"baudset is up" not in said:
            if select.select([proc.stdout], [], [], 1)[0]:
                chunk = os.read(proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                said += chunk
            elif proc.poll() is not None:
                break
        if b"baudset is up" in said:
            # The rest of that line, and the power-cycle hint that follows it.
            time.sleep(0.5)
            if select.select([proc.stdout], [], [], 0)[0]:
                said += os.read(proc.stdout.fileno(), 4096)
            return proc, said.decode(errors="replace")
        lines = [said.decode(errors="replace")]
        self.fail("the tool did not come up:\n" + "".join(lines))

    def stop(self, proc):
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGTERM)
            proc.wait(60)
        proc.stdout.close()

    def close_and_expect_clean_exit(self, proc):
        code, out = automate("close")
        self.assertEqual(code, 0, out)
        self.assertEqual(proc.wait(60), 0)
        deadline = time.monotonic() + 15
        while leftovers() and time.monotonic() < deadline:
            time.sleep(0.5)
        self.assertEqual(leftovers(), [])

    def test_simulated_device_headless_comes_up_and_goes_away_cleanly(self):
        proc, said = self.start()
        self.assertIn("Open COM1", said)
        self.assertIn("press Enter here to power-cycle", said)
        shot = re.search(r"screenshot of its window is in (\S+)", said)
        self.assertIsNotNone(shot, said)
        self.assertGreater(os.path.getsize(shot.group(1)), 1000)

        self.assertEqual(automate("check"), (0, "ok"))
        self.assertEqual(automate("text", "port"), (0, "COM1"))
        # The simulated device answers once power-cycled, as the tool says.
        automate("click", "open")
        device = [p for p in leftovers() if "simdevice" in p]
        self.assertEqual(len(device), 1, leftovers())
        subprocess.run(["pkill", "-USR1", "-f", "simdevice.py --link " + BUILD], check=True)
        self.assertEqual(automate("wait", "status", "已连接", "5000"), (0, "ok"))
        self.assertEqual(automate("text", "version"), (0, "V2.1\\r\\n"))

        self.close_and_expect_clean_exit(proc)

    def test_real_adapter_path_becomes_the_chosen_com_port(self):
        # A pty stands in for the adapter: the same path a USB adapter takes.
        # It lives outside the run's folder: only what the run starts counts.
        outside = tempfile.TemporaryDirectory()
        self.addCleanup(outside.cleanup)
        link = os.path.join(outside.name, "adapter")
        device, _ = harness.start_device(link)
        self.addCleanup(device.stdout.close)
        self.addCleanup(device.wait, 10)
        self.addCleanup(device.terminate)
        pty = os.path.realpath(link)

        proc, said = self.start("--device", pty, "--com", "7")
        self.assertIn("Open COM7", said)
        self.assertEqual(automate("text", "port"), (0, "COM7"))
        automate("click", "open")
        # Already on: its answer to the first "AT" becomes the version.
        self.assertEqual(automate("wait", "status", "已连接", "5000"), (0, "ok"))
        self.close_and_expect_clean_exit(proc)

    def test_missing_device_is_refused_with_a_message(self):
        result = subprocess.run([RUN, "--device", "/dev/ttyUSB-not-there"], env=headless_env(),
                                capture_output=True, text=True, timeout=60)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("/dev/ttyUSB-not-there does not exist", result.stderr)

    def test_device_that_is_no_serial_port_is_refused(self):
        result = subprocess.run([RUN, "--device", "/dev/null"], env=headless_env(),
                                capture_output=True, text=True, timeout=60)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("not a serial device", result.stderr)

    def test_help_prints_the_usage(self):
        result = subprocess.run([RUN, "--help"], capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0)
        self.assertIn("Usage: scripts/run [--device PATH]", result.stdout)


if __name__ == "__main__":
    unittest.main()
