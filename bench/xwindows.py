"""When a top-level window is shown on the X display, told by the X server.

A window counts as shown once it is mapped and viewable and carries the
title asked for: the moment the display server would draw it. The server
reports every map of a top-level window to a client that listens on the
root window, so the time is taken when the event arrives, not at the next
turn of a polling loop, and nothing is started while a program comes up.

The bench's display (the rig's Xvfb) has no window manager, so top-level
windows are the root's own children. Only libX11, through ctypes: nothing
to install beyond what xdotool already brings.
"""
import ctypes
import os
import select
import time

_x = ctypes.cdll.LoadLibrary("libX11.so.6")

_MAP_NOTIFY, _UNMAP_NOTIFY, _DESTROY_NOTIFY, _PROPERTY_NOTIFY = 19, 18, 17, 28
_SUBSTRUCTURE_NOTIFY_MASK, _PROPERTY_CHANGE_MASK = 1 << 19, 1 << 22
_IS_VIEWABLE = 2


class _WindowEvent(ctypes.Structure):
    # The head that MapNotify, UnmapNotify and DestroyNotify share.
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("event", ctypes.c_ulong),
                ("window", ctypes.c_ulong)]


class _PropertyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("atom", ctypes.c_ulong), ("time", ctypes.c_ulong), ("state", ctypes.c_int)]


class _Event(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xwindow", _WindowEvent),
                ("xproperty", _PropertyEvent), ("pad", ctypes.c_long * 24)]


class _Attributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                ("height", ctypes.c_int), ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
                ("visual", ctypes.c_void_p), ("root", ctypes.c_ulong), ("class_", ctypes.c_int),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


_x.XOpenDisplay.restype = ctypes.c_void_p
_x.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x.XCloseDisplay.argtypes = [ctypes.c_void_p]
_x.XDefaultRootWindow.restype = ctypes.c_ulong
_x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_x.XConnectionNumber.argtypes = [ctypes.c_void_p]
_x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
_x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
_x.XPending.argtypes = [ctypes.c_void_p]
_x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Event)]
_x.XInternAtom.restype = ctypes.c_ulong
_x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
_x.XGetWindowProperty.argtypes = [
    ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int,
    ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
    ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong),
    ctypes.POINTER(ctypes.c_void_p)]
_x.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                    ctypes.POINTER(_Attributes)]
_x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                          ctypes.POINTER(ctypes.c_ulong),
                          ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                          ctypes.POINTER(ctypes.c_uint)]
_x.XFree.argtypes = [ctypes.c_void_p]

# A window may go between its event and our question about it; Xlib's
# default handler would end the whole bench for that. The answer is then
# simply "not shown".
_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(
    lambda display, error: 0)
_x.XSetErrorHandler(_ERROR_HANDLER)


class Display:
    """A connection to $DISPLAY that hears every top-level window's map."""

    def __init__(self):
        self.display = _x.XOpenDisplay(os.environ.get("DISPLAY", "").encode())
        if not self.display:
            raise AssertionError("cannot open the X display %r" % os.environ.get("DISPLAY"))
        self.root = _x.XDefaultRootWindow(self.display)
        self.names = [_x.XInternAtom(self.display, name, 0)
                      for name in (b"_NET_WM_NAME", b"WM_NAME")]
        _x.XSelectInput(self.display, self.root, _SUBSTRUCTURE_NOTIFY_MASK)
        _x.XSync(self.display, 0)

    def close(self):
        _x.XCloseDisplay(self.display)

    def title(self, window):
        for atom in self.names:
            kind, size, count, left = (ctypes.c_ulong(), ctypes.c_int(), ctypes.c_ulong(),
                                       ctypes.c_ulong())
            data = ctypes.c_void_p()
            if _x.XGetWindowProperty(self.display, window, atom, 0, 1024, 0, 0,
                                     ctypes.byref(kind), ctypes.byref(size),
                                     ctypes.byref(count), ctypes.byref(left),
                                     ctypes.byref(data)) != 0:
                return None
            if data.value:
                text = ctypes.string_at(data.value, count.value) if size.value == 8 else b""
                _x.XFree(data)
                if text:
                    return text.decode("utf-8", "replace")
        return None

    def viewable(self, window):
        attributes = _Attributes()
        return (_x.XGetWindowAttributes(self.display, window, ctypes.byref(attributes)) != 0
                and attributes.map_state == _IS_VIEWABLE)

    def shown(self, window, title):
        return self.title(window) == title and self.viewable(window)

    def windows(self, title):
        """The top-level windows with this title that are shown now."""
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        if not _x.XQueryTree(self.display, self.root, ctypes.byref(root), ctypes.byref(parent),
                             ctypes.byref(children), ctypes.byref(count)):
            return []
        found = [children[i] for i in range(count.value)]
        if children:
            _x.XFree(children)
        return [window for window in found if self.shown(window, title)]

    def forget_events(self):
        """Drops whatever the server has reported so far."""
        _x.XSync(self.display, 0)
        event = _Event()
        while _x.XPending(self.display):
            _x.XNextEvent(self.display, ctypes.byref(event))

    def wait_shown(self, title, seconds, alive=lambda: True):
        """The window with `title` that is mapped next, and the monotonic
        time its map was heard; fails after `seconds`, or at once when
        `alive` says that what should show it has ended."""
        deadline = time.monotonic() + seconds
        pending = set()   # mapped, but not yet under this title
        event = _Event()
        while True:
            while _x.XPending(self.display):
                _x.XNextEvent(self.display, ctypes.byref(event))
                heard = time.monotonic()
                if event.type == _MAP_NOTIFY and event.xwindow.event == self.root:
                    window = event.xwindow.window
                    # Listen before asking, so that a title set in between
                    # is heard rather than missed.
                    _x.XSelectInput(self.display, window, _PROPERTY_CHANGE_MASK)
                    if self.shown(window, title):
                        return window, heard
                    pending.add(window)
                elif event.type == _PROPERTY_NOTIFY and event.xproperty.window in pending:
                    window = event.xproperty.window
                    if event.xproperty.atom in self.names and self.shown(window, title):
                        return window, heard
                elif event.type in (_UNMAP_NOTIFY, _DESTROY_NOTIFY):
                    pending.discard(event.xwindow.window)
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("%s shown: not within %g s" % (title, seconds))
            if not alive():
                raise AssertionError("%s: ended before its window was shown" % title)
            select.select([_x.XConnectionNumber(self.display)], [], [], min(left, 0.5))
