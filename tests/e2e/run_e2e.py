#!/usr/bin/env python3
"""The whole program end to end, as a technician uses it.

Starts a simulated device (switched off) on COM3 and baudset.exe under Wine,
then drives the window from outside with automate.exe: open the port,
power-cycle the device, read the version, see the device's rate pre-selected,
set 57600, see success, lose the link, recover, close, and close the window
with the port open; the program must end with exit code 0. Screenshots of
the window at each step go to WORK/screenshots.

Meant to run inside `wine-rig exec ... -- wine-rig xvfb -- run_e2e.py ...`.
"""
import argparse
import ast
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import automate, start_device, wait_until  # noqa: E402

# One poll is 30 ticks of 10 ms; Wine's timers may run late, never early.
POLL_SECONDS = 0.3


class Device:
    def __init__(self, work):
        self.link = os.path.join(work, "com3")
        self.proc, port = start_device(self.link, "--start-off", "--rate", "38400",
                                       "--banner", "V2.1", "--log", os.path.join(work, "device.log"))
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.file = self.sock.makefile("rw")

    def ask(self, command):
        self.file.write(command + "\n")
        self.file.flush()
        reply = self.file.readline().strip()
        if not reply.startswith("ok"):
            raise AssertionError("device refused %r: %s" % (command, reply))
        return reply[3:]

    def received(self):
        items = self.ask("received")
        return b"".join(ast.literal_eval("b'%s'" % item) for item in items.split(" | ") if item)

    def wait_received(self, command, count, seconds=30):
        """Until the program has sent `command` `count` times since the last clear."""
        wait_until(lambda: self.received().count(command) >= count, seconds,
                   "%d x %r on the line" % (count, command))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)


class Story:
    def __init__(self, args):
        self.args = args
        self.shots = os.path.join(args.work, "screenshots")
        os.makedirs(self.shots, exist_ok=True)
        self.failures = 0
        self.passes = 0

    def automate(self, *words, check=True):
        code, text = automate(self.args.automate, *words)
        if check and code != 0:
            self.fail("automate %s: %s" % (" ".join(words), text))
        return text

    def expect(self, what, actual, expected):
        if actual != expected:
            self.fail("%s: %r, expected %r" % (what, actual, expected))
        else:
            self.passes += 1
            print("  ok  %s = %r" % (what, actual))

    def fail(self, message):
        self.failures += 1
        print("  FAIL %s" % message)

    def screenshot(self, name):
        x, y, w, h = self.automate("rect").split()
        path = os.path.join(self.shots, name + ".png")
        subprocess.run(["import", "-window", "root", "-crop", "%sx%s+%s+%s" % (w, h, x, y),
                        "+repage", path], check=True, timeout=60)
        print("  shot %s" % path)

    def step(self, title):
        print("== " + title)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rig", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--automate", required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)

    device = Device(args.work)
    story = Story(args)
    program = None
    try:
        subprocess.run([args.rig, "ports", "--prefix", args.prefix, "--port", "3=" + device.link],
                       check=True)
        program = subprocess.Popen(["wine64", args.program], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        story.step("start: window, title, marker, fixed frame")
        story.automate("check")
        story.expect("port list", story.automate("text", "port"), "COM3")
        story.expect("rate", story.automate("text", "rate"), "9600")
        story.expect("set button enabled", story.automate("enabled", "set"), "0")
        story.expect("status", story.automate("text", "status"), "未连接")
        story.screenshot("01-start")

        story.step("open COM3; the device is still off")
        story.automate("select", "port", "COM3")
        device.ask("clear")
        story.automate("click", "open")
        story.automate("wait", "open", "关闭串口")
        # Two polls have gone unanswered: the tool must not claim a link.
        device.wait_received(b"AT\r\n", 2)
        story.expect("status before power-cycle", story.automate("text", "status"), "未连接")

        story.step("power-cycle: version, connected, device's rate pre-selected")
        device.ask("powercycle")
        story.automate("wait", "status", "已连接")
        story.expect("version", story.automate("text", "version"), "V2.1\\r\\n")
        story.automate("wait", "rate", "38400")
        story.expect("set button enabled", story.automate("enabled", "set"), "1")
        story.screenshot("02-connected")

        story.step("set 57600")
        device.ask("clear")
        story.automate("select", "rate", "57600")
        story.automate("click", "set")
        story.automate("wait", "result", "波特率设置成功")
        story.expect("device's rate", device.ask("rate"), "57600")
        story.expect("set command on the wire",
                     b"AT+BAUD=57600\r\n" in device.received(), True)
        story.screenshot("03-set")

        story.step("minimise and restore keep the panel")
        story.automate("minimize-restore")

        story.step("device falls silent: link lost")
        device.ask("mode silent")
        story.automate("wait", "status", "未连接")
        story.expect("version", story.automate("text", "version"), " ")
        story.expect("result", story.automate("text", "result"), " ")
        story.expect("set button enabled", story.automate("enabled", "set"), "0")
        story.screenshot("04-link-lost")

        story.step("device back: connected again")
        device.ask("mode normal")
        device.ask("powercycle")
        story.automate("wait", "status", "已连接")
        story.automate("wait", "rate", "57600")

        story.step("close the port")
        story.automate("click", "open")
        story.automate("wait", "open", "打开串口")
        story.expect("status", story.automate("text", "status"), "未连接")
        story.expect("version", story.automate("text", "version"), " ")
        story.expect("set button enabled", story.automate("enabled", "set"), "0")
        story.screenshot("05-closed")

        story.step("close the window with the port open: exit code 0, line quiet")
        story.automate("click", "open")
        story.automate("wait", "open", "关闭串口")
        story.automate("close")
        try:
            code = program.wait(15)
        except subprocess.TimeoutExpired:
            code = "still running"
        story.expect("exit code", code, 0)
        # Nothing can come after the process is gone; watch a few polls' worth
        # of time to be sure nothing of it lingers (a detached writer, say).
        device.ask("clear")
        quiet_until = time.monotonic() + 4 * POLL_SECONDS
        while time.monotonic() < quiet_until and not device.received():
            time.sleep(POLL_SECONDS / 3)
        story.expect("bytes on the line after exit", device.received(), b"")
    finally:
        if program is not None and program.poll() is None:
            program.kill()
        device.stop()

    print("end_to_end checks: %d passed, %d failed" % (story.passes, story.failures))
    return 1 if story.failures else 0


if __name__ == "__main__":
    sys.exit(main())
