"""Tests for tools/simdevice.py: drive the pty slave and the control channel.

Run: python3 -m unittest discover -s tests/tools -v
"""
import fcntl
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from harness import SIMDEVICE, SimulatedDevice, poll  # noqa: E402


def start_device(tmpdir, *extra):
    """A device linked at tmpdir/simcom, logging to tmpdir/device.log."""
    log = os.path.join(tmpdir, "device.log")
    return SimulatedDevice(os.path.join(tmpdir, "simcom"), "--log", log, *extra), log


def unread(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]


def read(fd, timeout=1.0, until=b"\r\n"):
    """Read until the data ends with `until` or the timeout passes."""
    data, end = b"", time.monotonic() + timeout
    while not data.endswith(until):
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        data += os.read(fd, 4096)
    return data


def set_port(fd, speed=termios.B9600, bits=termios.CS8, parity=None, stop2=False):
    """Configure the slave the way a serial program would: raw, given frame."""
    a = termios.tcgetattr(fd)
    a[0] = 0
    a[1] = 0
    a[2] = bits | termios.CREAD | termios.CLOCAL
    if parity:
        a[2] |= termios.PARENB | (termios.PARODD if parity == "O" else 0)
    if stop2:
        a[2] |= termios.CSTOPB
    a[3] = 0
    a[4] = a[5] = speed
    a[6][termios.VMIN], a[6][termios.VTIME] = 0, 0
    termios.tcsetattr(fd, termios.TCSANOW, a)


class SimDeviceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.device, cls.logfile = start_device(
            cls.tmp.name, "--split-delay", "0.3", "--slow-delay", "0.3",
            "--banner-delay", "0.02")
        cls.link = cls.device.link

    @classmethod
    def tearDownClass(cls):
        cls.device.stop()
        cls.tmp.cleanup()

    def setUp(self):
        self.ctl = self.device.command
        for cmd in ("reopen", "mode normal", "setrate 9600", "banner V2.1", "clear", "pace on"):
            self.assertTrue(self.ctl(cmd).startswith("ok"), cmd)
        self.fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        set_port(self.fd)
        termios.tcflush(self.fd, termios.TCIOFLUSH)

    def tearDown(self):
        os.close(self.fd)

    def read(self, timeout=1.0, until=b"\r\n"):
        return read(self.fd, timeout, until)

    def cmd(self, line, timeout=1.0):
        os.write(self.fd, line)
        return self.read(timeout)

    def test_at_ok(self):
        self.assertEqual(self.cmd(b"AT\r\n"), b"OK\r\n")
        self.assertEqual(self.cmd(b"AT\n"), b"OK\r\n")   # bare LF tolerated

    def test_unknown_commands(self):
        for line in (b"ATZ\r\n", b"at\r\n", b"AT+BAUD=\r\n", b"AT+BAUD=12x\r\n", b"\r\n"):
            self.assertEqual(self.cmd(line), b"ERROR\r\n", line)

    def test_rate(self):
        self.assertEqual(self.cmd(b"AT+BAUD?\r\n"), b"9600\r\n")
        self.assertEqual(self.cmd(b"AT+BAUD=57600\r\n"), b"OK\r\n")
        self.assertEqual(self.cmd(b"AT+BAUD?\r\n"), b"57600\r\n")
        self.assertEqual(self.ctl("rate"), "ok 57600")
        self.assertEqual(self.ctl("setrate 115200"), "ok 115200")
        self.assertEqual(self.cmd(b"AT+BAUD?\r\n"), b"115200\r\n")
        self.assertTrue(self.ctl("setrate fast").startswith("error"))

    def test_powercycle(self):
        self.assertEqual(self.ctl("power"), "ok on")
        self.assertEqual(self.ctl("powercycle"), "ok")
        self.assertEqual(self.ctl("power"), "ok off")
        self.assertEqual(self.read(), b"V2.1\r\n")
        self.assertEqual(self.ctl("power"), "ok on")
        # Unplugged while powering up, it still comes up: after re-plugging
        # it answers, though its banner went nowhere.
        self.assertEqual(self.ctl("powercycle"), "ok")
        self.assertEqual(self.ctl("hangup"), "ok")
        self.assertEqual(self.ctl("power"), "ok on")
        self.assertTrue(self.ctl("reopen").startswith("ok"))
        os.close(self.fd)
        self.fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        set_port(self.fd)
        self.assertEqual(self.cmd(b"AT\r\n"), b"OK\r\n")
        self.assertEqual(self.ctl("banner V3.0-beta"), "ok")
        self.assertEqual(self.ctl("powercycle"), "ok")
        self.assertEqual(self.read(), b"V3.0-beta\r\n")
        self.device.proc.send_signal(signal.SIGUSR1)
        self.assertEqual(self.read(), b"V3.0-beta\r\n")

    def test_silent(self):
        self.assertEqual(self.ctl("mode silent"), "ok silent")
        self.assertEqual(self.cmd(b"AT\r\n", timeout=0.3), b"")
        self.ctl("powercycle")
        self.assertEqual(self.read(timeout=0.2), b"")
        self.assertEqual(self.ctl("received"), "ok AT\\r\\n")

    def test_error(self):
        self.ctl("mode error")
        self.assertEqual(self.cmd(b"AT\r\n"), b"ERROR\r\n")
        self.assertEqual(self.cmd(b"AT+BAUD?\r\n"), b"ERROR\r\n")

    def test_split(self):
        self.ctl("mode split")
        os.write(self.fd, b"AT\r\n")
        first = self.read(until=b"OK")
        t0 = time.monotonic()
        self.assertEqual(first, b"OK")
        self.assertEqual(self.read(timeout=0.15), b"")    # the rest is still held back
        self.assertEqual(self.read(), b"\r\n")
        self.assertGreater(time.monotonic() - t0, 0.25)

    def test_garbage(self):
        self.ctl("mode garbage")
        data = self.cmd(b"AT\r\n")
        self.assertTrue(data.endswith(b"OK\r\n"))
        self.assertTrue(any(b >= 0x80 for b in data))

    def test_burst(self):
        self.ctl("pace off")      # more than a poll's worth of the line's bytes at once
        self.ctl("mode burst")
        os.write(self.fd, b"AT\r\n")
        time.sleep(0.1)
        chunk = os.read(self.fd, 4096)                    # one read gets it all
        self.assertGreater(len(chunk), 512)
        self.assertTrue(chunk.endswith(b"\r\nOK\r\n"))

    def test_slow(self):
        self.ctl("mode slow")
        os.write(self.fd, b"AT\r\n")
        self.assertEqual(self.read(timeout=0.15), b"")
        self.assertEqual(self.read(), b"OK\r\n")

    def test_termios(self):
        self.assertEqual(self.ctl("termios"), "ok 9600 8 N 1")
        # Linux ptys force CS8 and clear PARENB on every tcsetattr, so data
        # bits and parity never reach the device; speed and stop bits do.
        set_port(self.fd, termios.B19200, termios.CS7, "E", stop2=True)
        self.assertEqual(self.ctl("termios"), "ok 19200 8 N 2")
        set_port(self.fd, termios.B115200, termios.CS8, "O")
        self.assertEqual(self.ctl("termios"), "ok 115200 8 N 1")
        self.assertRegex(self.ctl("termios raw"), r"^ok iflag=0x0 oflag=0x0 cflag=0x\w+ lflag=0x0 ")

    def test_hangup_and_reopen(self):
        self.assertEqual(self.ctl("hangup"), "ok")
        self.assertFalse(os.path.lexists(self.link))
        try:                                               # unplugged: EOF or EIO
            self.assertEqual(os.read(self.fd, 16), b"")
        except OSError:
            pass
        self.assertEqual(self.ctl("rate"), "ok 9600")      # control still works
        self.assertEqual(self.ctl("powercycle"), "error hung up")
        self.assertEqual(self.ctl("hangup"), "ok")
        reply = self.ctl("reopen")
        self.assertRegex(reply, r"^ok /dev/pts/\d+$")
        self.assertEqual(os.readlink(self.link), reply[3:])
        os.close(self.fd)
        self.fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        set_port(self.fd)
        self.assertEqual(self.cmd(b"AT\r\n"), b"OK\r\n")

    def test_received(self):
        lines = [b"AT\r\n", b"AT+BAUD?\r\n", b"x|y 'q'\\\xff\n"]
        for line in lines:
            self.cmd(line)
        self.assertEqual(self.device.lines(), lines)
        self.assertEqual(self.ctl("received hex"), "ok " + b"".join(lines).hex())
        self.assertEqual(self.ctl("clear"), "ok")
        self.assertEqual(self.ctl("received"), "ok")
        with open(self.logfile) as f:
            self.assertIn("rx 'AT+BAUD?\\r\\n'", f.read())

    def test_pending_stream_and_stall(self):
        # pending: bytes the program has not read yet.
        self.assertEqual(self.ctl("send 4f 4b 0d 0a"), "ok 4")
        # Paced bytes in the kernel's hand-over between the two ends are
        # counted nowhere, so the count is only exact once all 4 have landed.
        poll(lambda: unread(self.fd) >= 4, 5, 0.005)
        self.assertEqual(self.ctl("pending"), "ok 4")
        self.assertEqual(self.read(), b"OK\r\n")
        self.assertEqual(self.ctl("pending"), "ok 0")
        # stream: a flood of whole S lines, and nothing more once it is off.
        self.assertEqual(self.ctl("stream on"), "ok")
        flood = b""
        while len(flood) < 20000:
            self.assertTrue(select.select([self.fd], [], [], 5)[0], "stream stopped")
            flood += os.read(self.fd, 65536)
        self.assertEqual(set(flood), set(b"S\r\n"))
        stopped = self.ctl("stream off")
        self.assertRegex(stopped, r"^ok \d+$")
        left = b""
        while select.select([self.fd], [], [], 0)[0]:
            left += os.read(self.fd, 65536)
        # The count sees the line discipline's 4 KiB; more may wait behind it.
        self.assertGreaterEqual(len(left), min(int(stopped.split()[1]), 4095))
        self.assertGreater(int(stopped.split()[1]), 0)
        self.assertEqual(self.read(timeout=0.3), b"")
        # stall: the line refuses our bytes until the device reads again.
        filled = self.ctl("stall on")
        self.assertRegex(filled, r"^ok [1-9]\d*$")
        with self.assertRaises(BlockingIOError):
            os.write(self.fd, b"AT\r\n")
        self.assertEqual(self.ctl("received"), "ok")
        drained = self.ctl("stall off")
        self.assertGreaterEqual(int(drained.split()[1]), int(filled.split()[1]))
        self.assertEqual(self.cmd(b"AT\r\n"), b"OK\r\n")
        self.assertEqual(self.ctl("received"), "ok AT\\r\\n", "none of the fill came through")
        for bad in ("stream", "stall maybe"):
            self.assertTrue(self.ctl(bad).startswith("error"), bad)

    def test_send_hex_and_control_errors(self):
        self.assertEqual(self.ctl("send 48 69 0d 0a"), "ok 4")
        self.assertEqual(self.read(), b"Hi\r\n")
        for bad in ("send zz", "mode hangup", "banner", "frobnicate", "", "\x00\xff"):
            self.assertTrue(self.ctl(bad).startswith("error"), bad)
        # Odd device input must not hurt either.
        os.write(self.fd, bytes(range(256)) * 20 + b"\r\n")
        self.assertIn(b"ERROR\r\n", self.read(timeout=0.3, until=b"no such end"))
        self.assertEqual(self.cmd(b"AT\r\n"), b"OK\r\n")


class LifecycleTest(unittest.TestCase):
    def test_help(self):
        out = subprocess.run([sys.executable, SIMDEVICE, "--help"], capture_output=True,
                             text=True, timeout=10)
        self.assertEqual(out.returncode, 0)
        self.assertIn("--control-port", out.stdout)

    def test_banner_on_start_and_sigterm(self):
        with tempfile.TemporaryDirectory() as tmp:
            device, _ = start_device(tmp, "--banner-on-start", "--banner", "V9")
            try:
                fd = os.open(device.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                set_port(fd)
                time.sleep(0.1)
                self.assertEqual(os.read(fd, 100), b"V9\r\n")   # waited in the pty
                os.close(fd)
                device.proc.send_signal(signal.SIGTERM)
                self.assertEqual(device.proc.wait(5), 0)
                self.assertFalse(os.path.lexists(device.link))
            finally:
                device.stop()

    def test_start_off_until_powercycle(self):
        def ask(fd, line, wait):
            if line:
                os.write(fd, line)
            return read(fd, wait)

        with tempfile.TemporaryDirectory() as tmp:
            device, _ = start_device(tmp, "--start-off", "--off-time", "0.2")
            try:
                fd = os.open(device.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                set_port(fd)
                self.assertEqual(ask(fd, b"AT\r\n", 0.3), b"", "off: no answer")
                self.assertEqual(device.command("powercycle"), "ok")
                self.assertEqual(ask(fd, b"AT\r\n", 0.1), b"", "still off while cycling")
                self.assertEqual(ask(fd, b"", 1.0), b"V2.1\r\n")
                self.assertEqual(ask(fd, b"AT\r\n", 1.0), b"OK\r\n")
                os.close(fd)
            finally:
                device.stop()

    def test_quit(self):
        with tempfile.TemporaryDirectory() as tmp:
            device, _ = start_device(tmp)
            try:
                self.assertEqual(device.command("quit"), "ok bye")
                self.assertEqual(device.proc.wait(5), 0)
                self.assertFalse(os.path.lexists(device.link))
            finally:
                device.stop()


if __name__ == "__main__":
    unittest.main()
