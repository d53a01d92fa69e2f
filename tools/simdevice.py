#!/usr/bin/env python3
"""simdevice - a simulated AT-command device on a pseudo-terminal.

The device owns the master side of a pty; the program under test opens the
slave (Wine: ln -s /tmp/simcom $WINEPREFIX/dosdevices/com5).  --link becomes
a symlink to the slave /dev/pts/N (replaced atomically, removed on exit).
When ready, one line goes to stdout and is flushed:
  simdevice: ready link=PATH pty=/dev/pts/N control=127.0.0.1:PORT

Its bytes leave at 9600 8N1's pace, 1.04 ms a byte, as a real device's do
(--at-once writes each line in one piece).

Device side (lines end in CR LF; a bare LF is accepted too):
  AT -> OK    AT+BAUD? -> rate, e.g. 9600    AT+BAUD=<digits> -> OK
  anything else (an empty line too) -> ERROR
Power-cycle switches the device off (it ignores commands) and, after
--off-time plus --banner-delay, sends the banner line and only then answers
again, so no answer can overtake the banner (one that comes right after it
may still reach the tool before its next poll, as with a real device);
triggered by the control command, SIGUSR1, or Enter on stdin when stdin is
a terminal. With --start-off the device stays off (silent) until its first
power-cycle, as a device that the technician has yet to switch on.

Fault modes (--mode, or "mode NAME" on the control channel):
  normal; silent (log only, no answers, no banner); error (every command
  answers ERROR); split (each line written in two halves --split-delay apart);
  garbage (each line prefixed with 0xff 0xfe); burst (each line preceded by
  600 printable bytes ending in CR LF); slow (each line delayed --slow-delay).
  split/garbage/burst/slow apply to the banner as well.

Control channel: TCP 127.0.0.1:PORT, one command per line, one reply line
per command: "ok[ value]" or "error <reason>".
  powercycle   -> ok              rate        -> ok 9600
  power        -> ok on | ok off  off from a power-cycle until its banner is out
  switchoff    -> ok              off and silent until the next power-cycle, as
                                  with --start-off; what it was sending is lost
  mode NAME    -> ok NAME         setrate N   -> ok N
  banner TEXT  -> ok              clear       -> ok   (forget received lines,
                                                       those waiting on the line too)
  received     -> "ok" if none, else "ok L1 | L2 | ..."  every line received
                  since start or clear (what already waits on the line
                  included), oldest first, terminator included,
                  escaped so that ast.literal_eval("b'%s'" % L) gives the bytes
                  (a '|' inside a line is sent as \\x7c)
  received hex -> ok HEX          the same lines, joined, as hex
  termios      -> ok 9600 8 N 1   speed, data bits, parity (N/E/O/M/S), stop
                  bits as the slave side set them.  Linux ptys force CS8 and
                  clear PARENB, so data bits and parity always read 8 N.
  termios raw  -> ok iflag=0x.. oflag=0x.. cflag=0x.. lflag=0x.. vmin=N vtime=N
  send HEX     -> ok N            N raw bytes written, fault mode not applied
  pace on|off  -> ok on|off       at the line's pace (the default), or each line
                                  at once (as --at-once)
  straddle TEXT -> ok INTERVAL    TEXT CR LF, raw, timed so that the program's
                                  next poll (predicted from the last commands'
                                  arrivals) falls in its middle
  straddled    -> ok pending | ok inside A B | ok outside A
                                  whether the first command after the line's
                                  first byte came A ms after it and B ms before
                                  its last (inside), or after it was out
  pending      -> ok N            bytes written to the program that it has
                                  not read yet (on their way, or queued: of
                                  those the kernel shows at most 4095)
  stream on    -> ok              write "SSS...S\r\n" lines without pause, as
                                  fast as the line takes them
  stream off   -> ok N            stop; replies once what is still queued for
                                  the program (N, counted as by pending) has
                                  settled in its queue
  stall on     -> ok N            stop reading, and fill the line's buffer
                                  towards us with N bytes of our own, so the
                                  program's writes cannot complete
  stall off    -> ok N            read again, throwing away the N bytes queued
  hangup       -> ok              pty closed and link removed (unplugged USB)
  reopen       -> ok /dev/pts/N   new pty, link updated
  quit         -> ok bye          the device exits
powercycle, send and termios answer "error hung up" after hangup.
Received lines and events are logged to stderr (and --log FILE) as
"<monotonic s.ms> rx 'AT\\r\\n'".  SIGTERM/SIGINT exit cleanly, link removed.
"""
import argparse
import collections
import fcntl
import os
import select
import selectors
import signal
import socket
import struct
import sys
import termios
import time

MODES = ("normal", "silent", "error", "split", "garbage", "burst", "slow")
# One start bit, eight data bits and one stop bit at 9600 baud: 1.04 ms.
BYTE_SECONDS = 10 / 9600
GARBAGE = b"\xff\xfe"
BURST = (b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ" * 17)[:598] + b"\r\n"
SPEEDS = {getattr(termios, n): int(n[1:]) for n in dir(termios)
          if n.startswith("B") and n[1:].isdigit()}
BOTHER = 0o010000            # Linux: arbitrary speed, only readable via TCGETS2
TCGETS2 = 0x802C542A         # _IOR('T', 0x2A, struct termios2) on x86/arm
CMSPAR = 0o10000000000       # Linux mark/space parity
MAX_LINE = 4096              # longer input without newline counts as a line
R, W = selectors.EVENT_READ, selectors.EVENT_WRITE
ESCAPES = {13: "\\r", 10: "\\n", 9: "\\t", 92: "\\\\"}
STREAM_CHUNK = (b"S" * 62 + b"\r\n") * 16


def escape(data):
    """Bytes as the inside of a Python bytes literal, with '|' escaped too."""
    return "".join(ESCAPES.get(b) or (chr(b) if 0x20 <= b < 0x7F and b not in b"'|"
                                      else "\\x%02x" % b) for b in data)


class Device:
    def __init__(self, args):
        self.args = args
        self.rate = args.rate
        self.mode = args.mode
        # Switched off: commands are ignored. A power-cycle switches the
        # device on only once its banner has really been written, so no
        # answer can ever overtake it or be written in the same piece.
        self.off = args.start_off
        self.banner = args.banner
        self.master = self.slave = self.pty_name = None
        self.inbuf = b""
        self.received = []
        self.outq = collections.deque()      # (due time, bytes, on_sent), due never decreases
        # A real device's bytes leave one by one at the line's pace; with
        # --at-once each line is written in one piece, where a test needs
        # more bytes between two polls than the line could carry.
        self.paced = not args.at_once
        self.on_the_wire = b""               # the head line's bytes written so far
        self.wire_started = 0.0              # when the first of them was
        self.arrivals = collections.deque(maxlen=6)   # when the last commands came
        self.straddling = None               # the line timed across a poll
        self.want_write = False
        self.streaming = False
        self.stalled = False
        self.running = True
        self.powercycle_pending = False
        self.sel = selectors.DefaultSelector()
        self.logf = open(args.log, "a", buffering=1) if args.log else None

    def log(self, msg, stamp=None):
        line = "%.3f %s\n" % (time.monotonic() if stamp is None else stamp, msg)
        sys.stderr.write(line)
        sys.stderr.flush()
        if self.logf:
            self.logf.write(line)

    # --- pty ------------------------------------------------------------
    def open_pty(self):
        master, slave = os.openpty()
        # Raw, 8 bits: CR LF must pass untouched both ways, and no echo, or
        # the device would read its own answers back as commands.
        a = termios.tcgetattr(slave)
        a[0] &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP |
                  termios.INLCR | termios.IGNCR | termios.ICRNL | termios.IXON |
                  termios.IXOFF | termios.INPCK)
        a[1] &= ~termios.OPOST
        a[2] = (a[2] & ~(termios.CSIZE | termios.PARENB | termios.CSTOPB)) | \
            termios.CS8 | termios.CREAD | termios.CLOCAL
        a[3] &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG |
                  termios.IEXTEN)
        a[4] = a[5] = termios.B9600
        a[6][termios.VMIN], a[6][termios.VTIME] = 1, 0
        termios.tcsetattr(slave, termios.TCSANOW, a)
        os.set_blocking(master, False)
        # Our own slave fd stays open for the whole run, so master reads do not
        # fail with EIO while no program has the port open.
        self.master, self.slave, self.pty_name = master, slave, os.ttyname(slave)
        self.inbuf, self.want_write = b"", False
        self.streaming = self.stalled = False
        self.outq.clear()
        self.on_the_wire = b""
        self.sel.register(master, R, self.on_master)
        tmp = "%s.tmp%d" % (self.args.link, os.getpid())
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(self.pty_name, tmp)
        os.replace(tmp, self.args.link)
        self.log("pty %s linked at %s" % (self.pty_name, self.args.link))

    def close_pty(self):
        if self.master is None:
            return
        if self.sel.get_map().get(self.master) is not None:
            self.sel.unregister(self.master)
        os.close(self.master)        # the program on the slave now sees a hangup
        os.close(self.slave)
        self.master = self.slave = None
        # Unplugging the adapter does not stop a device that is powering up:
        # it finishes, only its banner goes nowhere.
        for _, _, on_sent in self.outq:
            if on_sent:
                on_sent()
        self.outq.clear()
        self.on_the_wire = b""
        self.log("pty %s closed" % self.pty_name)
        try:                         # only our own link, never someone else's file
            if os.readlink(self.args.link) == self.pty_name:
                os.unlink(self.args.link)
        except OSError as e:
            self.log("link not removed: %s" % e)

    def on_master(self, mask):
        if mask & W:
            self.flush_out()
        if not mask & R or self.master is None:
            return
        try:
            data = os.read(self.master, 4096)
        except BlockingIOError:
            return
        except OSError as e:
            data = b""
            self.log("pty read error: %s" % e)
        if not data:                 # should not happen while we hold the slave
            self.close_pty()
            return
        self.inbuf += data
        while b"\n" in self.inbuf:
            line, self.inbuf = self.inbuf.split(b"\n", 1)
            self.on_line(line + b"\n")
        if len(self.inbuf) > MAX_LINE:
            line, self.inbuf = self.inbuf, b""
            self.on_line(line)

    def take_what_arrived(self):
        """Reads what already waits on the line, so that an answer about what
        was received covers everything the program wrote before it asked."""
        while (self.master is not None and not self.stalled
               and select.select([self.master], [], [], 0)[0]):
            self.on_master(R)

    def on_line(self, line):
        now = time.monotonic()
        self.arrivals.append(now)
        if self.straddling and self.straddling["command"] is None and now > self.straddling["start"]:
            self.straddling["command"] = now
        self.received.append(line)
        self.log("rx '%s'" % escape(line))
        if self.off:
            return                   # switched off: nobody listens
        cmd = line[:-1] if line.endswith(b"\n") else line
        cmd = cmd[:-1] if cmd.endswith(b"\r") else cmd
        if self.mode == "error":
            reply = b"ERROR"         # a refusing device changes nothing
        elif cmd == b"AT":
            reply = b"OK"
        elif cmd == b"AT+BAUD?":
            reply = b"%d" % self.rate
        elif cmd.startswith(b"AT+BAUD=") and cmd[8:].isdigit():
            self.rate = int(cmd[8:])
            reply = b"OK"
        else:
            reply = b"ERROR"
        self.emit(reply + b"\r\n")

    # --- output -----------------------------------------------------------
    def switch_on(self):
        self.off = False

    def emit(self, data, delay=0.0, raw=False, on_sent=None):
        """Queue one line, applying the fault mode unless raw; on_sent runs
        once its last byte is written (or at once when nothing is sent)."""
        if self.master is None or (self.mode == "silent" and not raw):
            if on_sent:
                on_sent()
            return
        if not raw and self.mode == "garbage":
            data = GARBAGE + data
        elif not raw and self.mode == "burst":
            data = BURST + data
        elif not raw and self.mode == "slow":
            delay += self.args.slow_delay
        due = time.monotonic() + delay
        if self.outq:                # keep lines in order whatever their delay
            due = max(due, self.outq[-1][0])
        if not raw and self.mode == "split" and len(data) > 1:
            half = len(data) // 2
            self.outq.append((due, data[:half], None))
            self.outq.append((due + self.args.split_delay, data[half:], on_sent))
        else:
            self.outq.append((due, data, on_sent))
        self.flush_out()

    def flush_out(self):
        blocked = False
        while self.master is not None and self.outq and self.outq[0][0] <= time.monotonic():
            due, data, on_sent = self.outq[0]
            # At the line's pace only the bytes whose time has come go out:
            # one every BYTE_SECONDS from `due`, caught up after a late wake.
            count = len(data)
            if self.paced:
                count = min(count, 1 + int((time.monotonic() - due) / BYTE_SECONDS))
            try:
                n = os.write(self.master, data[:count])
            except BlockingIOError:
                n = 0
            except OSError as e:
                self.log("pty write error: %s" % e)
                self.close_pty()
                return
            if n and not self.on_the_wire:
                self.wire_started = time.monotonic()
            self.on_the_wire += data[:n]
            if n < len(data):
                self.outq[0] = (due + n * BYTE_SECONDS if self.paced else due, data[n:], on_sent)
                blocked = n < count          # the pty is full: wait for room
                break                        # else for the next byte's time
            # Stamped with its first byte's time: when the line began to arrive.
            self.log("tx '%s'" % escape(self.on_the_wire), self.wire_started)
            self.on_the_wire = b""
            self.outq.popleft()
            if self.paced and self.outq and self.outq[0][0] < due + n * BYTE_SECONDS:
                # The next line starts once this one is off the wire.
                _, following, callback = self.outq[0]
                self.outq[0] = (due + n * BYTE_SECONDS, following, callback)
            if on_sent:
                on_sent()
        if self.master is not None and self.streaming and not self.outq and not blocked:
            # Not logged: it is a flood by design. Wait for room when full.
            try:
                os.write(self.master, STREAM_CHUNK)
            except BlockingIOError:
                pass
            except OSError as e:
                self.log("pty write error: %s" % e)
                self.close_pty()
                return
            blocked = True
        if self.master is not None and blocked != self.want_write:
            self.want_write = blocked
            self.register_master()

    def register_master(self):
        events = (0 if self.stalled else R) | (W if self.want_write else 0)
        if self.sel.get_map().get(self.master) is not None:
            self.sel.unregister(self.master)
        if events:
            self.sel.register(self.master, events, self.on_master)

    def queued_for_program(self):
        queued = struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, b"\0" * 4))[0]
        return queued + sum(len(data) for _, data, _ in self.outq)

    def stream(self, on):
        self.streaming = on
        self.flush_out()
        if on:
            return "ok"
        return "ok %d" % self.settled_queue()

    def settled_queue(self):
        """What is already written may still be in the kernel's hand-over
        from our end to the program's queue, where no count sees it: count
        once that has stopped changing."""
        before, now = -1, self.queued_for_program()
        while now != before:
            time.sleep(0.002)
            before, now = now, self.queued_for_program()
        return now

    def stall(self, on):
        if on == self.stalled:
            return "ok 0"
        moved = 0
        self.stalled = on
        self.register_master()
        if on:
            # Our own writes on the slave land where the program's do; once
            # the line refuses more, so it will for the program.
            # The kernel moves input on to the line discipline a moment after
            # a write, freeing room again: fill down to single bytes, and
            # again after a pause, until a round finds no room at all.
            filler = os.open(self.pty_name, os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK)
            try:
                while True:
                    before = moved
                    for size in (4096, 256, 16, 1):
                        try:
                            while True:
                                moved += os.write(filler, b"\0" * size)
                        except BlockingIOError:
                            pass
                    if moved == before:
                        break
                    time.sleep(0.005)
            finally:
                os.close(filler)
            self.log("stalled: %d bytes fill the line" % moved)
        else:
            # The kernel hands the rest of the fill on as room appears: read
            # until a pause brings nothing more.
            while True:
                before = moved
                try:
                    while True:
                        chunk = os.read(self.master, 65536)
                        if not chunk:
                            break
                        moved += len(chunk)
                except (BlockingIOError, OSError):
                    pass
                if moved == before:
                    break
                time.sleep(0.005)
            self.inbuf = b""
            self.log("drained: %d bytes thrown away" % moved)
        return "ok %d" % moved

    def powercycle(self):
        if self.master is None:
            return False
        self.log("power-cycle")
        self.outq.clear()            # a reset device forgets what it was sending
        self.on_the_wire = b""
        self.inbuf = b""
        self.off = True
        self.emit(self.banner.encode() + b"\r\n", self.args.off_time + self.args.banner_delay,
                  on_sent=self.switch_on)
        return True

    # --- a line across a poll -------------------------------------------------
    # The program writes one command at each of its polls, so the commands'
    # arrival times give its poll cadence: a line can be timed to be on the
    # wire at the next poll, and the command that arrives while it is shows
    # that the poll really fell inside it.
    def straddle(self, text):
        self.take_what_arrived()     # a command already written counts
        arrivals = list(self.arrivals)
        if len(arrivals) < 3:
            return "error no poll cadence yet: fewer than three commands received"
        gaps = sorted(b - a for a, b in zip(arrivals, arrivals[1:]))
        interval = gaps[len(gaps) // 2]
        data = text.encode() + b"\r\n"
        on_wire = len(data) * BYTE_SECONDS
        poll = arrivals[-1] + interval
        while poll - on_wire / 2 < time.monotonic() + 0.02:
            poll += interval
        start = poll - on_wire / 2
        self.straddling = {"start": start, "end": None, "command": None}
        self.emit(data, start - time.monotonic(), raw=True, on_sent=self.straddle_sent)
        return "ok %.0f ms" % (interval * 1000)

    def straddle_sent(self):
        if self.straddling:
            self.straddling["end"] = time.monotonic()

    def straddle_verdict(self):
        """"ok inside A B": a command arrived A ms after the line's first byte
        and B ms before its last; "ok outside A" when
        the first command after the start came after the line was out;
        "ok pending" until that is known."""
        s = self.straddling
        if s is None:
            return "error nothing straddled"
        if s["command"] is None or s["end"] is None:
            return "ok pending"          # no command yet, or the line is still going out
        after = (s["command"] - s["start"]) * 1000
        if s["command"] < s["end"]:
            return "ok inside %.0f %.0f" % (after, (s["end"] - s["command"]) * 1000)
        return "ok outside %.0f" % after

    # --- termios ------------------------------------------------------------
    def termios_report(self, raw):
        if self.slave is None:
            return "error hung up"
        iflag, oflag, cflag, lflag, _, ospeed, cc = termios.tcgetattr(self.slave)
        if raw:
            # In canonical mode these slots come back as 1-byte bytes objects.
            vmin, vtime = (ord(c) if isinstance(c, bytes) else c
                           for c in (cc[termios.VMIN], cc[termios.VTIME]))
            return "ok iflag=%#x oflag=%#x cflag=%#x lflag=%#x vmin=%d vtime=%d" % (
                iflag, oflag, cflag, lflag, vmin, vtime)
        speed = SPEEDS.get(ospeed)
        if speed is None and cflag & BOTHER:
            try:
                buf = fcntl.ioctl(self.slave, TCGETS2, bytes(44))
                speed = struct.unpack_from("I", buf, 40)[0]
            except OSError:
                pass
        bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[
            cflag & termios.CSIZE]
        if not cflag & termios.PARENB:
            parity = "N"
        elif cflag & CMSPAR:
            parity = "M" if cflag & termios.PARODD else "S"
        else:
            parity = "O" if cflag & termios.PARODD else "E"
        stop = 2 if cflag & termios.CSTOPB else 1
        return "ok %s %d %s %d" % (speed if speed is not None else "?", bits, parity, stop)

    # --- control channel ----------------------------------------------------
    def on_accept(self, mask):
        try:
            conn, _ = self.server.accept()
        except OSError:
            return
        conn.settimeout(5.0)         # recv only after select; bounds sendall
        state = {"buf": b""}
        self.sel.register(conn, R, lambda m: self.on_client(conn, state))

    def drop_client(self, conn):
        self.sel.unregister(conn)
        conn.close()

    def on_client(self, conn, state):
        try:
            data = conn.recv(4096)
        except OSError:
            data = b""
        if not data:
            self.drop_client(conn)
            return
        state["buf"] += data
        while b"\n" in state["buf"]:
            line, state["buf"] = state["buf"].split(b"\n", 1)
            text = line.decode("utf-8", "replace").strip()
            self.log("control %r" % text)
            try:
                reply = self.control(text)
            except Exception as e:   # a bad command must never take the device down
                reply = "error internal: %r" % e
            try:
                conn.sendall(reply.encode("utf-8", "replace") + b"\n")
            except OSError:
                self.drop_client(conn)
                return
        if len(state["buf"]) > 65536:
            self.drop_client(conn)

    def control(self, text):
        cmd, _, arg = text.partition(" ")
        arg = arg.strip()
        if cmd == "powercycle":
            return "ok" if self.powercycle() else "error hung up"
        if cmd == "mode":
            if arg not in MODES:
                return "error unknown mode, use one of: " + " ".join(MODES)
            self.mode = arg
            return "ok " + arg
        if cmd == "rate":
            return "ok %d" % self.rate
        if cmd == "power":
            return "ok off" if self.off else "ok on"
        if cmd == "switchoff":
            self.outq.clear()
            self.on_the_wire = self.inbuf = b""
            self.off = True
            return "ok"
        if cmd == "setrate":
            if not (arg.isascii() and arg.isdigit()):
                return "error rate must be digits"
            self.rate = int(arg)
            return "ok %d" % self.rate
        if cmd == "banner":
            if not arg:
                return "error banner text missing"
            self.banner = arg
            return "ok"
        if cmd == "received" and arg == "hex":
            self.take_what_arrived()
            return ("ok " + b"".join(self.received).hex()).strip()
        if cmd == "received":
            self.take_what_arrived()
            if not self.received:
                return "ok"
            return "ok " + " | ".join(escape(line) for line in self.received)
        if cmd == "clear":
            self.take_what_arrived()
            self.received.clear()
            return "ok"
        if cmd == "termios":
            return self.termios_report(arg == "raw")
        if cmd == "send":
            try:
                data = bytes.fromhex(arg)
            except ValueError:
                return "error bad hex"
            if self.master is None:
                return "error hung up"
            self.emit(data, raw=True)
            return "ok %d" % len(data)
        if cmd in ("pending", "stream", "stall"):
            if self.master is None:
                return "error hung up"
            if cmd == "pending":
                return "ok %d" % self.settled_queue()
            if arg not in ("on", "off"):
                return "error use on or off"
            return (self.stream if cmd == "stream" else self.stall)(arg == "on")
        if cmd == "pace":
            if arg not in ("on", "off"):
                return "error use on or off"
            self.paced = arg == "on"
            return "ok " + arg
        if cmd == "straddle":
            if self.master is None:
                return "error hung up"
            return self.straddle(arg)
        if cmd == "straddled":
            return self.straddle_verdict()
        if cmd == "hangup":
            self.close_pty()
            return "ok"
        if cmd == "reopen":
            self.close_pty()
            self.open_pty()
            return "ok " + self.pty_name
        if cmd == "quit":
            self.running = False
            return "ok bye"
        return "error unknown command"

    # --- main loop ------------------------------------------------------------
    def on_stdin(self, mask):
        data = os.read(0, 1024)
        if not data:
            self.sel.unregister(0)
        for _ in range(data.count(b"\n")):
            self.powercycle()

    def on_wakeup(self, mask):
        try:
            os.read(self.wakeup_r, 512)
        except BlockingIOError:
            pass

    def start(self):
        self.open_pty()
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", self.args.control_port))
        self.server.listen(8)
        self.server.setblocking(False)
        self.sel.register(self.server, R, self.on_accept)
        # Signals only set flags; the wakeup pipe makes select() return at once.
        self.wakeup_r, wakeup_w = os.pipe()
        os.set_blocking(self.wakeup_r, False)
        os.set_blocking(wakeup_w, False)
        signal.set_wakeup_fd(wakeup_w)
        self.sel.register(self.wakeup_r, R, self.on_wakeup)
        signal.signal(signal.SIGTERM, self.on_signal)
        signal.signal(signal.SIGINT, self.on_signal)
        signal.signal(signal.SIGUSR1, self.on_signal)
        # Only when in the foreground: a background read of the tty would stop us.
        if sys.stdin is not None and sys.stdin.isatty() and os.tcgetpgrp(0) == os.getpgrp():
            self.sel.register(0, R, self.on_stdin)
            self.log("press Enter to power-cycle the device")

    def on_signal(self, signum, frame):
        if signum == signal.SIGUSR1:
            self.powercycle_pending = True
        else:
            self.running = False

    def run(self):
        try:
            while self.running:
                timeout = None
                if self.outq and self.master is not None and not self.want_write:
                    timeout = max(0.0, self.outq[0][0] - time.monotonic())
                for key, mask in self.sel.select(timeout):
                    try:
                        key.data(mask)
                    except Exception as e:
                        self.log("internal error: %r" % e)
                if self.powercycle_pending:
                    self.powercycle_pending = False
                    self.powercycle()
                self.flush_out()
        finally:
            self.close_pty()
            self.log("exit")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--link", required=True, help="symlink to create for the pty slave")
    p.add_argument("--rate", type=int, default=9600, help="initial AT+BAUD? rate")
    p.add_argument("--banner", default="V2.1", help="line sent after power-cycle")
    p.add_argument("--banner-on-start", action="store_true", help="send the banner once at start")
    p.add_argument("--banner-delay", type=float, default=0.05, help="power-cycle to banner, s")
    p.add_argument("--off-time", type=float, default=0.1, help="power-cycle: time switched off, s")
    p.add_argument("--start-off", action="store_true", help="silent until the first power-cycle")
    p.add_argument("--mode", choices=MODES, default="normal")
    p.add_argument("--split-delay", type=float, default=0.4, help="gap in split mode, s")
    p.add_argument("--slow-delay", type=float, default=1.0, help="answer delay in slow mode, s")
    p.add_argument("--control-port", type=int, default=0, help="0: pick a free port")
    p.add_argument("--log", help="also append the log to this file")
    p.add_argument("--at-once", action="store_true",
                   help="write each line in one piece, not at 9600 baud's pace (1.04 ms a byte)")
    args = p.parse_args(argv)
    dev = Device(args)
    try:
        dev.start()
    except OSError as e:
        dev.close_pty()
        print("simdevice: %s" % e, file=sys.stderr)
        return 1
    print("simdevice: ready link=%s pty=%s control=127.0.0.1:%d"
          % (args.link, dev.pty_name, dev.server.getsockname()[1]), flush=True)
    if args.banner_on_start:
        dev.emit(dev.banner.encode() + b"\r\n")
    dev.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
