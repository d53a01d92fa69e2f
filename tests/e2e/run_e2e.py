#!/usr/bin/env python3
"""The whole program end to end, as a technician uses it.

Starts a simulated device (switched off) and the program: baudset.exe
under Wine with the device on COM3, driven from outside with automate.exe,
or with --native the Linux program with the device at /dev/ttyUSB0, driven
through the accessibility bus (tests/e2e/atspi_driver.py). Then: open the port,
power-cycle the device, read the version, see the device's rate pre-selected,
set 57600, see success, lose the link, recover, close, and close the window
with the port open; the program must end with exit code 0. Screenshots of
the window at each step go to WORK/screenshots.

Meant to run inside `wine-rig exec --xvfb ... -- run_e2e.py ...`, or for
the Linux program inside `scripts/private-dev -- /usr/bin/python3 run_e2e.py
--native ...`.
"""
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import AS_NOBODY, SimulatedDevice, start_session, story_arguments, wait_until  # noqa: E402

# One poll is 30 ticks of 10 ms; Wine's timers may run late, never early.
POLL_SECONDS = 0.3
# A write that cannot complete holds the window for its 1 s wait and at most
# as long again for its cancellation; a third second for what a loaded
# machine adds around them. A window that hung would never answer.
STUCK_WRITE_LIMIT_MS = 3 * 1000


class Story:
    def __init__(self, args, driver, session):
        self.args = args
        self.session = session
        self.shots = os.path.join(args.work, "screenshots")
        os.makedirs(self.shots, exist_ok=True)
        self.failures = 0
        self.passes = 0
        self.driver = driver

    def automate(self, *words, check=True):
        code, text = self.driver(*words)
        if check and code != 0:
            self.fail("automate %s: %s" % (" ".join(words), text))
        return text

    def expect(self, what, actual, expected):
        self.judge(actual == expected, what, actual, "expected %r" % (expected,))

    def expect_panel(self, **shown):
        """Each control's text as given; set_enabled is the set button's state."""
        for name, expected in shown.items():
            self.expect(name, self.automate("enabled", "set") if name == "set_enabled"
                        else self.automate("text", name), expected)

    def expect_one_of(self, what, actual, allowed):
        self.judge(actual in allowed, what, actual, "expected one of %r" % (allowed,))

    def judge(self, held, what, actual, wanted):
        if held:
            self.passes += 1
            print("  ok  %s = %r" % (what, actual))
        else:
            self.fail("%s: %r, %s" % (what, actual, wanted))

    def fail(self, message):
        self.failures += 1
        print("  FAIL %s" % message)

    def screenshot(self, name):
        rect = self.automate("rect").split()
        if len(rect) != 4:
            return   # already counted as a failure; the story goes on
        x, y, w, h = rect
        path = os.path.join(self.shots, name + ".png")
        subprocess.run(["import", "-window", "root", "-crop", "%sx%s+%s+%s" % (w, h, x, y),
                        "+repage", path], check=True, timeout=60)
        print("  shot %s" % path)

    def step(self, title):
        print("== " + title)


def expect_announced(story, fields):
    """Each value field as a screen reader announces it: its label once,
    then what it shows, empty or not."""
    for name, heard in fields.items():
        story.expect("%s announced" % name, story.automate("announced", name), heard)


# --- the device's faults, one after the other on the open port -----------
# Each starts connected (status "已连接", set enabled); reach_ready() brings
# the device back to normal after each.

def reopen(story, device, *device_commands):
    """Closes the port, tells the device `device_commands`, opens the port
    again and waits until the device answers."""
    close_port(story)
    for command in device_commands:
        device.ask(command)
    open_port(story)


def reach_ready(story, device):
    device.ask("mode normal")
    device.ask("pace on")
    # Ready only once its banner is judged; unplugged before it is out, it
    # would come back with the banner lost, which is another story.
    device.power_cycle_judged()
    story.automate("wait", "status", "已连接")
    wait_for_set_button(story)


def wait_for_set_button(story):
    wait_until(lambda: story.automate("enabled", "set") == "1", 30, "the set button enabled")


def garbage(story, device):
    device.ask("mode garbage")
    device.ask("powercycle")
    device.ask("clear")
    # Banner and answers all carry 0xFF 0xFE: seven polls, nothing counts.
    device.wait_received(b"AT\r\n", 7)
    story.expect_panel(status="未连接", version=" ", set_enabled="0")


def split_reply(story, device):
    # The test plays the device by hand: a version, then the rate answer in
    # two parts with a poll between them.
    device.ask("mode silent")
    story.automate("select", "rate", "9600")
    device.ask("clear")
    story.automate("wait", "status", "未连接")          # five silent polls
    device.send(b"V3.0\r\n")
    story.automate("wait", "status", "已连接")
    device.wait_received(b"AT+BAUD?\r\n", 1)
    device.send(b"1152")
    story.expect("after the first part", device.next_command(), b"AT+BAUD?\r\n")
    device.send(b"00\r\n")
    story.expect("after the second part", device.next_command(), b"AT\r\n")
    story.expect_panel(rate="115200", set_enabled="1")  # the split 115200 judged whole


# 82 bytes, 85 ms on the wire: long enough for a poll to fall well inside.
LONG_BANNER = "HC-XX V2.1 20190501 BOOT, UART 9600 8N1, AT command set, build 0123456789ABCDEF"


def banner_across_a_poll(story, device):
    # The device times the banner so that a poll falls in its middle, and the
    # poll's command arriving 20 ms into it (far above the latency each way)
    # shows that it did. A missed poll is tried again.
    device.ask("mode silent")
    for _ in range(5):
        story.automate("wait", "status", "未连接")      # the next valid line is a version
        device.ask("straddle " + LONG_BANNER)
        verdict = wait_until(lambda: device.ask("straddled").replace("pending", ""), 30,
                             "the banner sent").split()
        print("  info the poll's command came %s ms into the banner" % " ".join(verdict))
        if verdict[0] == "inside" and float(verdict[1]) >= 20:
            break
    story.automate("wait", "status", "已连接")
    # The Windows field shows the line as it came, CR LF included.
    story.expect("version", story.automate("text", "version"),
                 LONG_BANNER + ("" if story.args.native else "\\r\\n"))
    story.expect("a poll 20 ms or more into the banner", verdict[0] == "inside" and
                 float(verdict[1]) >= 20, True)


def burst(story, device):
    story.automate("select", "rate", "57600")
    device.ask("mode silent")
    device.ask("pace off")     # 600 bytes within one poll: more than 9600 baud can carry
    device.ask("clear")
    story.automate("click", "set")
    device.wait_received(b"AT+BAUD=57600\r\n", 1)
    # 600 bytes before the answer: the poll keeps 512 and drops them all.
    device.send(b"x" * 598 + b"\r\n" + b"OK\r\n")
    story.expect("after the burst", device.next_command(), b"AT+BAUD=57600\r\n")
    story.expect("result after the burst", story.automate("text", "result"), " ")
    device.send(b"OK\r\n")
    story.expect("after the answer", device.next_command(), b"AT\r\n")
    story.expect("result", story.automate("text", "result"), "波特率设置成功")


def error_answer(story, device):
    rate_before = device.ask("rate")
    device.ask("mode error")
    story.automate("select", "rate", "19200")
    story.automate("click", "set")
    story.automate("wait", "result", "波特率设置失败")
    device.ask("clear")
    device.wait_received(b"AT\r\n", 5)
    story.expect("no retry of the set", set(device.lines()), {b"AT\r\n"})
    story.expect("status", story.automate("text", "status"), "已连接")
    story.expect("device's rate", device.ask("rate"), rate_before)


def slow_answers(story, device):
    device.ask("mode slow")
    device.ask("clear")
    device.wait_received(b"AT\r\n", 10)
    # While the first late answer is on its way the link may drop once and
    # come back with it; once answers flow again it holds.
    wait_for_set_button(story)
    device.ask("clear")
    device.wait_received(b"AT\r\n", 5)
    story.expect("status with answers 1 s late", story.automate("text", "status"), "已连接")
    story.automate("select", "rate", "38400")
    story.automate("click", "set")
    story.automate("wait", "result", "波特率设置成功")
    wait_until(lambda: device.ask("rate") == "38400", 30, "the device taking 38400")


def hang_up_connected(story, device):
    device.ask("hangup")
    story.automate("wait", "status", "未连接")
    story.expect("window answers", story.automate("check"), "ok")
    reopen(story, device, "reopen", "mode normal")
    wait_for_set_button(story)


def hang_up_with_set_pending(story, device):
    device.ask("mode silent")
    story.automate("select", "rate", "115200")
    story.automate("click", "set")
    hang_up_connected(story, device)


def stalled_line(story, device):
    # The device takes nothing: every write runs into its time limit.
    device.ask("stall on")
    slowest = story.automate("responsive", "4")
    print("  info window answered while writes were stuck: " + slowest)
    story.expect("window answers within about 1 s",
                 int(slowest.split()[0]) < STUCK_WRITE_LIMIT_MS, True)
    reopen(story, device, "stall off")


def until_in_time(story, device, one_try, what):
    """Some faults need an action to land within one poll interval. A try
    that missed it (a machine too slow to act within 0.3 s) is made again,
    from ready; whether the last one landed is judged."""
    for attempt in range(1, 6):
        if one_try():
            break
        print("  info try %d missed: %s; once more" % (attempt, what))
        reach_ready(story, device)
    else:
        story.fail("no try landed: " + what)


def set_pressed_as_the_link_is_lost(story, device):
    # Set pressed after the fourth unanswered poll, before the fifth, which
    # declares the link lost: the request dies with the link, and once the
    # device is back it shows connected with set available.
    def press():
        device.ask("mode silent")
        device.ask("clear")
        device.wait_received(b"AT\r\n", 5)    # the last answer counted at the first
        story.automate("click", "set")
        # Read after the press on the window's own thread: still connected
        # means the fifth poll had not come yet, so the press was taken.
        taken = story.automate("text", "status") == "已连接"
        story.automate("wait", "status", "未连接")
        return taken

    story.automate("select", "rate", "115200")
    until_in_time(story, device, press, "set pressed between the fourth and fifth silent poll")
    device.ask("mode normal")
    device.ask("powercycle")
    story.automate("wait", "status", "已连接")
    wait_for_set_button(story)
    story.expect("result once the device is back", story.automate("text", "result"), " ")
    story.expect("set commands on the wire",
                 [line for line in device.lines() if line.startswith(b"AT+BAUD=")], [])


def reply_left_at_close(story, device):
    # The device answers each poll at once, so its answer waits for the next
    # poll; the port is closed before that poll and opened again with the
    # device silent (switched off, or another port with nothing on it).
    def close_and_reopen():
        device.ask("mode silent")
        device.ask("clear")
        device.wait_received(b"AT\r\n", 1)
        device.send(b"OK\r\n")         # read by the program, judged at no poll yet
        story.automate("click", "open")
        closed_in_time = len(device.lines()) == 1
        story.automate("wait", "open", "打开串口")
        device.ask("clear")
        story.automate("click", "open")
        story.automate("wait", "open", "关闭串口")
        return closed_in_time

    until_in_time(story, device, close_and_reopen, "closed with the answer not yet judged")
    wait_until(device.lines, 30, "the first poll after reopening")
    story.expect_panel(status="未连接", version=" ")  # after the first poll
    wait_until(lambda: len(device.lines()) >= 2, 30, "the second poll after reopening")
    story.expect("commands after reopening", device.lines()[:2], [b"AT\r\n"] * 2)


def lock_of(port):
    """The port's UUCP lock, by the name of the pty behind it."""
    return "/var/lock/LCK.." + os.path.realpath(port)[5:].replace("/", "_")


def open_unplugged(story, device):
    # An adapter unplugged while the port is closed cannot be opened: the
    # panel stays closed. The Linux program also says why.
    story.automate("click", "open")
    story.automate("wait", "open", "打开串口")
    device.ask("hangup")
    story.automate("click", "open")
    story.expect("open button after a failed open", story.automate("text", "open"), "打开串口")
    if story.args.native:
        said = story.automate("message")
        story.expect("the message names the adapter as gone",
                     "/dev/ttyUSB0" in said and "已不存在" in said, True)
        story.automate("dismiss")
    story.expect("status", story.automate("text", "status"), "未连接")
    device.ask("reopen")
    if story.args.native:  # another user's FIFO where the lock goes
        lock = lock_of("/dev/ttyUSB0")
        os.mkfifo(lock)
        story.automate("click", "open")
        said = story.automate("message")
        story.screenshot("lock-in-the-way")
        os.unlink(lock)
        story.expect("the message names what is in the way", lock + " 不是普通文件" in said, True)
        story.automate("dismiss")
    story.automate("click", "open")
    story.automate("wait", "open", "关闭串口")
    story.automate("wait", "status", "已连接")


def adapter_back_by_itself(story, device):
    # A board powered from its adapter takes it along in its power cycle:
    # the Linux program lets go of the port meanwhile, lock and all, and
    # opens it again once it is back, with no click.
    if not story.args.native:
        return
    held = lock_of("/dev/ttyUSB0")
    device.ask("hangup")
    story.automate("wait", "status", "未连接")
    wait_until(lambda: not os.path.exists(held), 30, "the lock let go while the adapter is away")
    story.expect("the panel still open", story.automate("text", "open"), "关闭串口")
    story.screenshot("adapter-away")
    device.ask("reopen")
    # Opened again, not yet spoken to: then the board's power comes back.
    wait_until(lambda: os.path.exists(lock_of("/dev/ttyUSB0")), 30,
               "the port opened again, its lock taken")
    device.power_cycle_judged()
    story.automate("wait", "status", "已连接")
    wait_for_set_button(story)
    # Another program takes the name meanwhile: its live lock refuses the
    # return, which is then said as a failed open and closes the panel.
    device.ask("hangup")
    master, slave = os.openpty()
    taken = lock_of(os.ttyname(slave))
    with open(taken, "w") as other:
        other.write("%10d\n" % os.getpid())
    os.symlink(os.ttyname(slave), "/dev/ttyUSB0")
    said = story.automate("message")
    story.expect("the return refused as an open would be",
                 "/dev/ttyUSB0 正被其他程序使用（锁文件 %s）" % taken in said, True)
    story.automate("dismiss")
    story.expect_panel(open="打开串口", status="未连接")
    for made in (taken, "/dev/ttyUSB0"):
        os.unlink(made)
    os.close(master)
    os.close(slave)
    device.ask("reopen")
    open_port(story)


def adapters_come_and_go(story, device):
    # The Linux program reads /dev again whenever the port list opens with
    # no port open; the Windows program probes its ports once, at start.
    if not story.args.native:
        return
    second = SimulatedDevice("/dev/ttyUSB1", "--start-off", "--banner", "V3.0")
    try:
        story.expect("list while a port is open", story.automate("drop-down", "port"), "ttyUSB0")
        close_port(story)
        story.expect("list and choice once closed",
                     story.automate("drop-down", "port") + " " + story.automate("text", "port"),
                     "ttyUSB0 ttyUSB1 ttyUSB0")
        open_port(story, "ttyUSB1", second)
        story.expect("the new adapter's version", story.automate("text", "version"), "V3.0")
        story.screenshot("adapter-plugged-in")
        close_port(story)
    finally:
        second.stop()       # unplugged: its name leaves /dev
    story.expect("list and choice once it is unplugged",
                 story.automate("drop-down", "port") + " " + story.automate("text", "port"),
                 "ttyUSB0 ttyUSB0")
    open_port(story, "ttyUSB0")


def close_port(story):
    story.automate("click", "open")
    story.automate("wait", "open", "打开串口")


def open_port(story, port=None, device=None):
    """Opens `port` (the one chosen, when None) and waits for its device,
    power-cycled when given."""
    if port is not None:
        story.automate("select", "port", port)
    story.automate("click", "open")
    story.automate("wait", "open", "关闭串口")
    if device is not None:
        device.ask("powercycle")
    story.automate("wait", "status", "已连接")


def end_badly_and_reopen(story, device):
    """One leak-check cycle: writes run into a line that takes nothing, the
    adapter is unplugged under them, and the port is closed and reopened."""
    device.ask("stall on")
    story.automate("responsive", "1")     # a poll's write runs into its limit
    device.ask("hangup")
    reopen(story, device, "reopen")


def ended_abruptly(story, session, how, status):
    """Ended with the port open. The device holds its own end of the port as a
    third process would, so exclusive mode and the line's settings outlive
    the program but for what it puts back."""
    port = "/dev/" + session.port
    os.chmod(port, 0o666)
    found = subprocess.run("stty -F %s 19200 && stty -g -F %s" % (port, port), shell=True,
                           capture_output=True, text=True, timeout=30).stdout
    story.driver = session.start_program()
    open_port(story)
    if how == "display":
        session.display.stop()
    else:
        session.program.send_signal(getattr(signal, how))
    story.expect("exit status", session.program.wait(15), status)
    lock = lock_of(port)
    story.expect("lock left", os.path.exists(lock), False)
    story.expect("a normal user's open at once, the line as found", subprocess.run(
        AS_NOBODY + ["stty", "-g", "-F", port],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30).stdout, found)


FAULTS = [
    ("garbage: bytes above 0x7E, no version and no link", garbage),
    ("a reply split across a poll is judged whole at the next", split_reply),
    ("a long banner on the wire at a poll is shown whole as the version", banner_across_a_poll),
    ("a burst of more than 512 bytes is dropped, the next reply counts", burst),
    ("ERROR to the set: failure, and no retry", error_answer),
    ("answers 1 s late: still connected, set still works", slow_answers),
    ("a device that takes nothing: the window still answers, close and reopen work",
     stalled_line),
    ("unplugged while connected: reopen after re-plugging", hang_up_connected),
    ("unplugged with a set pending: reopen after re-plugging", hang_up_with_set_pending),
    ("set pressed as the link is lost: void, and the device's return connects",
     set_pressed_as_the_link_is_lost),
    ("an answer not yet judged at close is never judged after reopening", reply_left_at_close),
    ("an unplugged adapter does not open, and opens once it is back", open_unplugged),
    ("an adapter gone in its board's power cycle is opened again once back, with no click",
     adapter_back_by_itself),
    ("adapters plugged in and out while the program runs: the list follows while no port is open",
     adapters_come_and_go),
]


def main():
    args = story_arguments().parse_args()
    if not os.path.isfile(args.program):
        print("FAIL no program at %s (build it first)" % args.program)
        return 1

    session = start_session(args, "--start-off", "--rate", "38400", "--banner", "V2.1",
                            "--log", os.path.join(args.work, "device.log"))
    device, program, port = session.device, session.program, session.port
    story = Story(args, session.automate, session)
    try:

        story.step("start: window, title, marker, fixed frame")
        story.automate("check")
        story.expect("port list", story.automate("text", "port"), port)
        story.expect_panel(rate="9600", set_enabled="0", status="未连接")
        story.screenshot("01-start")
        if args.native:
            # The keyboard reaches every control that can act, in panel
            # order, and passes over the set button while it is disabled.
            story.expect("focus after each Tab", story.automate("tab", "4"), "open rate port open")
            expect_announced(story, {"version": "版本号: | ", "result": "第3步：修改波特率 | ",
                                     "status": "状态: | 未连接"})

        story.step("open %s; the device is still off" % port)
        story.automate("select", "port", port)
        device.ask("clear")
        story.automate("click", "open")
        story.automate("wait", "open", "关闭串口")
        # Two polls have gone unanswered: the tool must not claim a link.
        device.wait_received(b"AT\r\n", 2)
        story.expect("status before power-cycle", story.automate("text", "status"), "未连接")

        story.step("power-cycle: version, connected, device's rate pre-selected")
        device.ask("powercycle")
        story.automate("wait", "status", "已连接")
        story.expect_one_of("version", story.automate("text", "version"),
                            session.versions)
        story.automate("wait", "rate", "38400")
        story.expect("set button enabled", story.automate("enabled", "set"), "1")
        story.screenshot("02-connected")
        print("  info handles when first connected: " + story.automate("handles"))

        story.step("set 57600")
        device.ask("clear")
        story.automate("select", "rate", "57600")
        story.automate("click", "set")
        story.automate("wait", "result", "波特率设置成功")
        story.expect("device's rate", device.ask("rate"), "57600")
        story.expect("set command on the wire",
                     b"AT+BAUD=57600\r\n" in device.received(), True)
        if args.native:
            expect_announced(story, {"version": "版本号: | V2.1",
                                     "result": "第3步：修改波特率 | 波特率设置成功",
                                     "status": "状态: | 已连接"})
        story.screenshot("03-set")

        story.step("minimise and restore keep the panel")
        story.automate("minimize-restore")

        story.step("device falls silent: link lost after five unanswered polls, never sooner")
        device.ask("mode silent")
        silent_since = time.monotonic()
        # 1.5 s of ticks; the deadline leaves room for a machine so loaded
        # that Wine's timer falls far behind.
        story.automate("wait", "status", "未连接", "60000")
        # The last answer was judged at most one poll after it fell silent.
        story.expect("four polls at least before the loss",
                     time.monotonic() - silent_since >= 4 * POLL_SECONDS, True)
        story.expect_panel(version=" ", result=" ", set_enabled="0")
        story.screenshot("04-link-lost")
        # Still lost two watchdog periods later, and still asking.
        device.ask("clear")
        device.wait_received(b"AT\r\n", 10)
        story.expect_panel(status="未连接", set_enabled="0")  # while silent
        story.expect("only keep-alives while silent", set(device.lines()), {b"AT\r\n"})

        story.step("device back: connected again")
        device.ask("mode normal")
        device.ask("powercycle")
        story.automate("wait", "status", "已连接")
        story.automate("wait", "rate", "57600")

        for title, fault in FAULTS:
            story.step(title)
            fault(story, device)
            story.screenshot("fault-" + fault.__name__)
            reach_ready(story, device)

        # Wine makes a few objects once, on first use, and the threads
        # library one per lock on first contention; a busy machine may put
        # either off. So: a base after a round of faults and two warm-up
        # cycles, then more cycles than those few objects, so that a handle
        # lost per cycle always shows, and a one-off never does.
        story.step("ending badly and reopening leaks no handle")
        for _ in range(2):
            end_badly_and_reopen(story, device)
        before = story.automate("handles")
        cycles, one_off = 10, session.one_off_handles    # more cycles than one-off handles
        for _ in range(cycles):
            end_badly_and_reopen(story, device)
        after = story.automate("handles")
        print("  info handles before %d cycles: %s\n  info after:  %s" % (cycles, before, after))
        story.expect("handles after %d cycles, at most %d more" % (cycles, one_off),
                     int(after.split()[0]) <= int(before.split()[0]) + one_off, True)
        reach_ready(story, device)

        story.step("close the port")
        close_port(story)
        story.expect_panel(status="未连接", version=" ", set_enabled="0")
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
        # Whatever it wrote is on the line by the time it is gone, and the
        # device reads what waits there before it answers.
        device.ask("clear")
        story.expect("bytes on the line after exit", device.received(), b"")

        # Qt leaves with exit(1) when its display goes: ours the last way out.
        for how, status in (("SIGTERM", 143), ("SIGINT", 130), ("SIGHUP", 129), ("display", 1)):
            if args.native:
                story.step("ended by %s with the port open: let go as the close box does" % how)
                ended_abruptly(story, session, how, status)
    finally:
        session.stop()

    print("end_to_end checks: %d passed, %d failed" % (story.passes, story.failures))
    return 1 if story.failures else 0


if __name__ == "__main__":
    sys.exit(main())
