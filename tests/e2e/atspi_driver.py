"""Drives the Linux program from outside, as a technician's hands (or a
screen reader) would: through the accessibility bus (AT-SPI) for its
controls and texts, and through the X server for the mouse and the window
manager. It answers the same actions as automate.exe does for the Windows
program, one call each, as (STATUS, TEXT): 0 done, 1 failed, 2 misuse.

The program needs nothing compiled in for this: Qt publishes every widget
on the bus once QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 (or a screen reader) asks.
Runs under Debian's /usr/bin/python3, which has python3-pyatspi: in the
story's own process, or as a process of its own that takes one action a
line on standard input and answers "STATUS TEXT" (as automate.exe does),
for a program that runs as another account:

  /usr/bin/python3 atspi_driver.py PID
"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import poll  # noqa: E402

TITLE = "VelmoraV1.5"
# A control is found as a screen reader names it: a list by the label in
# front of it, a value by the label beside it or by its description.
# Roles by AT-SPI's numbers: their names differ between at-spi2 releases
# ("push button" became "button").
LABELLED = {"port": ("COMBO_BOX", "串口号:"), "rate": ("COMBO_BOX", "波特率:"),
            "version": ("LABEL", "版本号:"), "status": ("LABEL", "状态:")}
DESCRIBED = {"result": ("LABEL", "设置结果")}
BUTTONS = {"open": ("打开串口", "关闭串口"), "set": ("设置",)}
HINT = "请将串口连接的设备重新上电，确认已获取到版本号。"
READY_SECONDS = 60


class Failed(Exception):
    pass


class AtspiDriver:
    def __init__(self, pid, env):
        # The bus address comes from the environment the session made.
        os.environ.update(env)
        import pyatspi  # noqa: E402 (only now is the bus known)
        self.at = pyatspi
        self.pid = pid
        self.env = env

    # --- finding things ---------------------------------------------------
    def app(self):
        desktop = self.at.Registry.getDesktop(0)
        for index in range(desktop.childCount):
            node = desktop.getChildAtIndex(index)
            try:
                if node is not None and node.get_process_id() == self.pid:
                    return node
            except Exception:
                continue    # an application that went away meanwhile
        return None

    def window(self):
        """The shown main window with its panel, waited for."""
        def shown():
            app = self.app()
            if app is None:
                return None
            for index in range(app.childCount):
                node = app.getChildAtIndex(index)
                if node.name == TITLE and self.has(node, self.at.STATE_SHOWING) \
                        and self.find_button(node, "open") is not None:
                    return node
            return None
        window = poll(shown, READY_SECONDS, 0.05)
        if window is None:
            raise Failed("no shown window titled %s with its panel" % TITLE)
        return window

    def walk(self, node):
        yield node
        for index in range(node.childCount):
            child = node.getChildAtIndex(index)
            if child is not None:
                yield from self.walk(child)

    def is_a(self, node, *roles):
        return node.getRole() in [getattr(self.at, "ROLE_" + role) for role in roles]

    def has(self, node, state):
        return node.getState().contains(state)

    def labels_of(self, node):
        return [relation.getTarget(0).name for relation in node.getRelationSet()
                if relation.getRelationType() == self.at.RELATION_LABELLED_BY]

    def find_button(self, window, name):
        for node in self.walk(window):
            if self.is_a(node, "PUSH_BUTTON") and node.name in BUTTONS[name]:
                return node
        return None

    def control(self, window, name):
        if name in BUTTONS:
            node = self.find_button(window, name)
        elif name == "hint":
            node = next((n for n in self.walk(window) if n.name == HINT), None)
        elif name in LABELLED or name in DESCRIBED:
            role, label = LABELLED.get(name) or DESCRIBED[name]
            node = next((n for n in self.walk(window) if self.is_a(n, role) and (
                label in self.labels_of(n) if name in LABELLED else n.description == label)),
                None)
        else:
            raise Failed("no control called %s" % name)
        if node is None:
            raise Failed("control %s not found" % name)
        return node

    def text(self, window, name):
        return self.control(window, name).name

    def x_window(self):
        found = subprocess.run(["xdotool", "search", "--all", "--pid", str(self.pid),
                                "--name", "^%s$" % TITLE], env=self.env,
                               capture_output=True, text=True, timeout=30).stdout.split()
        visible = [w for w in found if "IsViewable" in self.x("xwininfo", "-id", w)]
        if not visible:
            raise Failed("no viewable X window of the program")
        return visible[0]

    def x(self, *argv):
        return subprocess.run(list(argv), env=self.env, capture_output=True, text=True,
                              timeout=30).stdout

    # --- the actions ------------------------------------------------------
    def check(self, window):
        hints = self.x("xprop", "-id", self.x_window(), "WM_NORMAL_HINTS")
        smallest = re.search(r"minimum size: (\d+) by (\d+)", hints)
        largest = re.search(r"maximum size: (\d+) by (\d+)", hints)
        if not smallest or not largest or smallest.groups() != largest.groups():
            raise Failed("the window can be resized: %s" % " ".join(hints.split()))
        allowed = self.x("xprop", "-id", self.x_window(), "_NET_WM_ALLOWED_ACTIONS")
        if "MAXIMIZE" in allowed or "RESIZE" in allowed:
            raise Failed("the window manager offers: %s" % allowed.strip())
        # Every control a technician can reach has a name to be read out.
        for node in self.walk(window):
            if self.is_a(node, "PUSH_BUTTON", "COMBO_BOX") and not (
                    node.name or self.labels_of(node)):
                raise Failed("a %s without an accessible name" % node.getRoleName())
        return "ok"

    def rect(self, window):
        """The window with the window manager's frame, in screen pixels."""
        wid = self.x_window()
        info = self.x("xwininfo", "-id", wid)
        x, y, width, height = (int(re.search(pattern + r":\s+(-?\d+)", info).group(1)) for pattern in
                               ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
        frame = self.x("xprop", "-id", wid, "_NET_FRAME_EXTENTS")
        extents = [int(v) for v in re.findall(r"\d+", frame.partition("=")[2])] or [0, 0, 0, 0]
        left, right, top, bottom = extents
        return "%d %d %d %d" % (x - left, y - top, width + left + right, height + top + bottom)

    def select(self, window, name, wanted):
        """Opens the list and clicks the item, as with the mouse."""
        combo = self.control(window, name)
        if combo.name == wanted:
            return "ok"
        actions = combo.queryAction()
        names = [actions.getName(i) for i in range(actions.nActions)]
        actions.doAction(names.index("ShowMenu"))

        def shown_item():
            for node in self.walk(combo):
                if self.is_a(node, "LIST_ITEM") and node.name == wanted \
                        and self.has(node, self.at.STATE_SHOWING):
                    return node
            return None
        item = poll(shown_item, 10)
        if item is None:
            subprocess.run(["xdotool", "key", "Escape"], env=self.env, timeout=30)
            raise Failed("no item %s" % wanted)
        box = item.queryComponent().getExtents(self.at.DESKTOP_COORDS)
        subprocess.run(["xdotool", "mousemove", str(box.x + box.width // 2),
                        str(box.y + box.height // 2), "click", "1"], env=self.env, timeout=30)
        if not poll(lambda: self.control(window, name).name == wanted, 10):
            raise Failed("%s shows %s after choosing %s" % (name, combo.name, wanted))
        return "ok"

    def drop_down(self, window, name):
        """Opens the list as with the mouse, reads its entries while it is
        shown (one space between) and closes it again with Escape."""
        combo = self.control(window, name)
        actions = combo.queryAction()
        actions.doAction([actions.getName(i) for i in range(actions.nActions)].index("ShowMenu"))
        if not poll(lambda: self.has(combo, self.at.STATE_EXPANDED), 10):
            raise Failed("the %s list does not open" % name)
        entries = self.items(window, name)
        subprocess.run(["xdotool", "key", "Escape"], env=self.env, timeout=30)
        if not poll(lambda: not self.has(combo, self.at.STATE_EXPANDED), 10):
            raise Failed("the %s list stays open" % name)
        return entries

    def announced(self, window, name):
        """What a screen reader announces for a value: the label nearest to
        it (the one beside it, else its step's title), then its own name,
        " | " between."""
        node = self.control(window, name)
        labels = self.labels_of(node)
        return "%s | %s" % (labels[0] if labels else "", node.name)

    def items(self, window, name):
        """A list's entries in their order, one space between."""
        combo = self.control(window, name)
        return " ".join(node.name for node in self.walk(combo) if self.is_a(node, "LIST_ITEM"))

    def click(self, window, name):
        button = self.control(window, name)
        actions = button.queryAction()
        names = [actions.getName(i) for i in range(actions.nActions)]
        # Qt handles the press on its own thread before it answers the call.
        actions.doAction(names.index("Press"))
        return "ok"

    def wait(self, window, name, wanted, milliseconds="15000"):
        shown = [None]

        def showing():
            shown[0] = self.text(window, name)
            return shown[0] == wanted
        if poll(showing, int(milliseconds) / 1000, 0.02):
            return "ok"
        raise Failed("shows '%s'" % shown[0])

    def enabled(self, window, name):
        return "1" if self.has(self.control(window, name), self.at.STATE_ENABLED) else "0"

    def minimize_restore(self, window):
        wid = self.x_window()
        before = self.rect(window)
        self.x("xdotool", "windowminimize", "--sync", wid)
        if not poll(lambda: "IsViewable" not in self.x("xwininfo", "-id", wid), 5):
            raise Failed("not minimised")
        self.x("xdotool", "windowactivate", "--sync", wid)
        if not poll(lambda: "IsViewable" in self.x("xwininfo", "-id", wid), 5):
            raise Failed("not restored")
        # The bus tells of the restored frame a little after X shows it.
        if not poll(lambda: self.rect(self.window()) == before, 5):
            raise Failed("the window moved or changed size: %s, was %s"
                         % (self.rect(self.window()), before))
        return "ok"

    def close(self, window):
        """As the close box does: the window manager asks the window."""
        self.x("wmctrl", "-i", "-c", self.x_window())
        return "ok"

    def responsive(self, window, seconds):
        """A blocked event loop shows as a slow answer over the bus, which
        Qt gives from the window's own thread."""
        status = self.control(window, "status")
        slowest, trips = 0.0, 0
        end = time.monotonic() + int(seconds)
        while time.monotonic() < end:
            sent = time.monotonic()
            status.name      # one round trip into the program
            slowest = max(slowest, time.monotonic() - sent)
            trips += 1
            time.sleep(0.01)
        return "%d ms slowest of %d" % (slowest * 1000, trips)

    def handles(self, window):
        """The program's open file descriptors: the count, then by kind."""
        kinds = {}
        folder = "/proc/%d/fd" % self.pid
        for fd in os.listdir(folder):
            try:
                target = os.readlink(os.path.join(folder, fd))
            except OSError:
                continue    # closed meanwhile
            kind = re.sub(r"[:/\[].*", "", target.lstrip("/")) or "file"
            if target.startswith("anon_inode:"):
                kind = target.split(":", 1)[1].strip("[]")
            elif target.startswith("/dev/"):
                kind = "dev"
            kinds[kind] = kinds.get(kind, 0) + 1
        return "%d %s" % (sum(kinds.values()),
                          " ".join("%s=%d" % item for item in sorted(kinds.items())))

    def tab(self, window, presses):
        """Presses Tab in the window that many times; names the control that
        has the keyboard focus after each press ("role:name")."""
        self.x("xdotool", "windowactivate", "--sync", self.x_window())

        def focused():
            node = next((n for n in self.walk(window) if self.is_a(
                n, "PUSH_BUTTON", "COMBO_BOX") and self.has(n, self.at.STATE_FOCUSED)), None)
            return node and next(name for name in ("port", "rate", "open", "set")
                                 if self.same(self.control(window, name), node))
        # The bus tells of the move a little after the key: until then it
        # still names the control the focus left.
        landed, left = [], focused()
        for _ in range(int(presses)):
            self.x("xdotool", "key", "Tab")
            control = poll(lambda: (lambda now: now != left and now)(focused()), 5)
            if not control:
                raise Failed("the focus did not move after %s" % " ".join(landed + ["Tab"]))
            landed.append(control)
            left = control
        return " ".join(landed)

    def same(self, a, b):
        box_a = a.queryComponent().getExtents(self.at.DESKTOP_COORDS)
        box_b = b.queryComponent().getExtents(self.at.DESKTOP_COORDS)
        return a.getRole() == b.getRole() and \
            (box_a.x, box_a.y, box_a.width, box_a.height) == (box_b.x, box_b.y, box_b.width, box_b.height)

    def message_box(self):
        app = self.app()
        for index in range(app.childCount):
            node = app.getChildAtIndex(index)
            if self.is_a(node, "ALERT") and self.has(node, self.at.STATE_SHOWING):
                return node
        return None

    def message(self, window):
        """The text of the program's message box, once one shows."""
        box = poll(self.message_box, 15)
        if box is None:
            raise Failed("no message box shown")
        return "\n".join(n.name for n in self.walk(box) if self.is_a(n, "LABEL") and n.name)

    def dismiss(self, window):
        """Presses the message box's one button, as the technician would."""
        box = self.message_box()
        if box is None:
            raise Failed("no message box open")
        button = next(n for n in self.walk(box) if self.is_a(n, "PUSH_BUTTON"))
        button.queryAction().doAction(0)
        if not poll(lambda: self.message_box() is None, 10):
            raise Failed("the message box stays open")
        return "ok"

    ACTIONS = {"check": check, "rect": rect, "select": select, "items": items, "click": click,
               "text": text, "drop-down": drop_down, "announced": announced,
               "wait": wait, "enabled": enabled, "minimize-restore": minimize_restore,
               "close": close, "responsive": responsive, "handles": handles,
               "message": message, "dismiss": dismiss, "tab": tab}

    def __call__(self, *words):
        if not words or words[0] not in self.ACTIONS:
            return 2, "usage: ACTION [ARGUMENTS] (see tests/e2e/atspi_driver.py)"
        try:
            return 0, self.ACTIONS[words[0]](self, self.window(), *words[1:])
        except TypeError as error:
            return 2, "usage: %s" % error
        except Failed as error:
            return 1, "FAIL %s" % error
        except Exception as error:      # the bus or the program went away
            return 1, "FAIL %s: %s" % (type(error).__name__, error)

    def stop(self):
        pass


def main(argv):
    """One action a line; "hex:" words carry UTF-8 text, as for automate."""
    driver = AtspiDriver(int(argv[1]), dict(os.environ))
    for line in sys.stdin:
        words = [bytes.fromhex(word[4:]).decode() if word.startswith("hex:") else word
                 for word in line.split()]
        status, text = driver(*words)
        text = text.replace("\r", "\\r").replace("\n", "\\n")
        sys.stdout.write("%d %s\n" % (status, text))
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
