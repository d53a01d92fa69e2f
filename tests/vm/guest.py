"""Debian 12's own kernel under QEMU (TCG) with baudset-cli inside, driven from the host while
a simulated device sits on the host end of each serial line.

  with Guest("amd64", "build/linux/baudset-cli", work, uart_link, usb_link) as guest:
      status, out, err = guest.run("baudset-cli --list")

The kernel (linux-image-ARCH's image), busybox-static, libc6, libstdc++6 and libgcc-s1 of
ARCH come through a scratch apt state with this machine's own Debian 12 sources, unpacked
once per version into <cache_home()>/vm/ARCH/; the initramfs made of them and init.sh is
kept there too. The program and its libraries go in a second archive appended to it.

amd64 (-M pc): the channel to the host on ttyS0, the device's line on ttyS1 (ttyS2 and ttyS3
have no UART behind them), with usb_link an FTDI adapter on xHCI, ttyUSB0. arm64 (-M virt):
the channel on the virtio console hvc0, the device's line on the PL011, ttyAMA0. QEMU's tty
chardevs set the simulated devices' ptys as the guest sets its UARTs.

As on Debian, serial ports belong to group dialout and /var/lock is /run/lock. Users tech
(1000) and other (1001) are in dialout; as_user() wraps a command in busybox su
(`su -s /bin/sh -c CMD USER`, which sets the groups /etc/group gives the user). A job is
`sh -c COMMAND` with standard input /dev/null in a session of its own; kill() signals its
process group, as a terminal's Ctrl-C does.
"""
import base64
import ctypes
import glob
import gzip
import json
import os
import re
import select
import shlex
import shutil
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, ".."), os.path.join(HERE, "..", "..", "scripts")]
from harness import wait_until  # noqa: E402
from debian_root import RELEASES, cache_home, cache_lock, recipe_hash  # noqa: E402
import apt_update  # noqa: E402

INIT = os.path.join(HERE, "init.sh")
LIBRARIES = ("libc6", "libstdc++6", "libgcc-s1")
# The FTDI adapter's serial number, as its USB descriptor gives it (QEMU's own is "1").
USB_SERIAL = "BAUDSET01"
# Per architecture: its libraries' folder, the modules to load (with those they need), the
# channel's tty, and the machine.
ARCHES = {"amd64": ("x86_64-linux-gnu", ("xhci_pci", "ftdi_sio"), "ttyS0",
                    ["qemu-system-x86_64", "-M", "pc"]),
          "arm64": ("aarch64-linux-gnu", ("virtio_mmio", "virtio_console"), "hvc0",
                    ["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a57"])}
# How long a choice of package versions holds: runs within it ask the network for nothing.
INDEX_AGE = 24 * 3600
# The agent answers a request after reading a file or two; this bounds that under TCG on a
# loaded machine. Booting and powering off have bounds of their own.
ANSWER, BOOT, POWEROFF = 30, 600, 60
USERS = (("root", 0, ""), ("tech", 1000, ""), ("other", 1001, ""), ("nobody", 65534, ""),
         ("dialout", 20, "tech,other"))


def apt(arch, *argv):
    state = os.path.join(cache_home(), "vm", arch, "apt")
    options = {"Dir::State": state, "Dir::State::status": state + "/status", "Dir::Cache": state,
               "Dir::Etc::SourceList": state + "/sources.list", "Dir::Etc::SourceParts":
               state + "/parts", "APT::Architecture": arch, "APT::Architectures": arch,
               "APT::Sandbox::User": "root"}
    return argv[:1] + ("-q",) + sum((("-o", "%s=%s" % o) for o in options.items()), ()) + argv[1:]


def choose(arch):
    """{role: [package, version]} from Debian 12's indexes, fetched again."""
    state = os.path.join(cache_home(), "vm", arch, "apt")
    for folder in ("lists/partial", "archives/partial", "parts"):
        os.makedirs(os.path.join(state, folder), exist_ok=True)
    open(os.path.join(state, "status"), "a").close()
    targets = subprocess.run(["apt-get", "indextargets", "--format", "$(REPO_URI) $(RELEASE)",
                              "Identifier: Packages"], capture_output=True, text=True, check=True)
    with open(os.path.join(state, "sources.list"), "w") as f:  # this machine's own mirrors
        f.writelines(sorted({"deb %s %s main\n" % (uri, suite) for uri, suite in map(
            str.split, targets.stdout.splitlines()) if suite.split("-")[0] == RELEASES[12]}))
    # A mirror in the middle of a sync fails an index now and then: try again after a pause,
    # then go on with the indexes there are if the packages can be found in them.
    update = apt_update.update(apt(arch, "apt-get", "update"))

    def show(*names):
        shown = subprocess.run(apt(arch, "apt-cache", "show", "--no-all-versions", *names),
                               capture_output=True, text=True).stdout.split("\n\n")
        fields = (dict(re.findall(r"^(Package|Version|Depends): ([^\s,]+)", p, re.M))
                  for p in shown)
        return {f["Package"]: f for f in fields if "Package" in f}
    meta, names = "linux-image-" + arch, ("busybox-static",) + LIBRARIES
    roles = dict(zip(("kernel",) + names, (show(meta).get(meta, {}).get("Depends"),) + names))
    found = show(*filter(None, roles.values()))
    if not all(name in found for name in roles.values()):
        raise RuntimeError("%s: not all of %s in the indexes: %s" % (arch, roles, update.stdout))
    return {role: [name, found[name]["Version"]] for role, name in roles.items()}


def fetch(arch, home):
    """Unpacks the packages into `home`, each once per version (the caller holds its lock);
    returns {role: folder}."""
    chosen = os.path.join(home, "chosen.json")
    fresh = os.path.exists(chosen) and time.time() - os.path.getmtime(chosen) < INDEX_AGE
    roles = json.loads(read(chosen)) if fresh else choose(arch)
    folders, scratch = {}, os.path.join(home, "scratch")
    for role, (name, version) in roles.items():
        folders[role] = os.path.join(home, "debs", role, name + "_" + version.replace(":", "%3a"))
        if not os.path.isdir(folders[role]):
            shutil.rmtree(scratch, ignore_errors=True)  # what an interrupted run left
            os.makedirs(scratch)
            subprocess.run(apt(arch, "apt-get", "download", name + "=" + version), cwd=scratch,
                           check=True, capture_output=True)
            subprocess.run(["dpkg-deb", "-x", glob.glob(scratch + "/*.deb")[0], scratch + "/root"],
                           check=True)
            shutil.rmtree(os.path.dirname(folders[role]), ignore_errors=True)  # older versions
            os.makedirs(os.path.dirname(folders[role]))
            os.rename(scratch + "/root", folders[role])
    shutil.rmtree(scratch, ignore_errors=True)
    if not fresh:
        with open(chosen + ".new", "w") as f:
            json.dump(roles, f)
        os.replace(chosen + ".new", chosen)
    return folders


def modules(kernel, wanted):
    """The modules (paths under lib/modules/) that give `wanted`, in load order. The package
    has no modules.dep: what each needs comes from its modinfo. Built-in ones need nothing."""
    root = os.path.join(kernel, "lib", "modules")
    release, = os.listdir(root)
    name = lambda path: os.path.basename(path.strip())[:-3].replace("-", "_")
    builtin = {name(line) for line in read(os.path.join(root, release, "modules.builtin"))
               .decode().splitlines()}
    paths = {name(line): release + "/" + line for line in read(os.path.join(
        root, release, "modules.order")).decode().splitlines()}
    order = []

    def need(module):
        if module not in builtin and paths[module] not in order:
            depends = re.search(rb"\0depends=([^\0]*)", read(os.path.join(root, paths[module])))
            for other in filter(None, depends.group(1).decode().split(",")):
                need(other.replace("-", "_"))
            order.append(paths[module])
    for module in wanted:
        need(module)
    return order


def read(path):
    with open(path, "rb") as f:
        return f.read()


def archive(entries):
    """A gzip-compressed newc cpio archive of {path: (mode, bytes)} and the folders on the way,
    all owned by root. A symlink's bytes are its target."""
    for path in list(entries):
        while "/" in path:
            path = os.path.dirname(path)
            entries.setdefault(path, (0o40755, b""))
    out = b""
    for number, (path, (mode, data)) in enumerate(sorted(entries.items()) +
                                                  [("TRAILER!!!", (0, b""))]):
        name = path.encode() + b"\0"
        out += b"070701" + b"".join(b"%08X" % v for v in (number, mode, 0, 0, 1, 0, len(data),
                                                          0, 0, 0, 0, len(name), 0))
        out += name + b"\0" * (-(110 + len(name)) % 4) + data + b"\0" * (-len(data) % 4)
    return gzip.compress(out, 6)


def take(entries, root, path):
    """Puts `path` of an unpacked package in `entries`, and what a symlink there points at;
    returns the file it comes to, or None."""
    full = os.path.join(root, path.lstrip("/"))
    if os.path.islink(full):
        entries[path.lstrip("/")] = (0o120777, os.readlink(full).encode())
        return take(entries, root, os.path.join(os.path.dirname(path), os.readlink(full)))
    if os.path.isfile(full):
        entries[os.path.normpath(path).lstrip("/")] = (0o100755, read(full))
        return full


def prepare(arch):
    """The kernel, the initramfs without the program, and the packages' folders."""
    home = os.path.join(cache_home(), "vm", arch)
    with cache_lock(home):
        folders = fetch(arch, home)
        base = os.path.join(home, "initramfs-%s.cpio.gz" % recipe_hash(
            arch, *sorted(folders.values()), *(read(p) for p in (INIT, __file__))))
        if not os.path.exists(base):
            order = modules(folders["kernel"], ARCHES[arch][1])
            entries = {"lib/modules/" + m: (0o100644, read(os.path.join(
                folders["kernel"], "lib/modules", m))) for m in order}
            entries.update({d: (0o40755, b"") for d in ("proc", "sys", "dev", "run", "root",
                                                        "sbin", "usr/bin", "usr/sbin")})
            entries.update({
                "init": (0o100755, read(INIT)), "bin/sh": (0o120777, b"busybox"),
                "bin/busybox": (0o100755, read(folders["busybox-static"] + "/bin/busybox")),
                "etc/modules": (0o100644, "".join(m + "\n" for m in order).encode()),
                "etc/passwd": (0o100644, "".join("%s:x:%d:%d::/:/bin/sh\n" % (u, i, i)
                                                 for u, i, _ in USERS[:4]).encode()),
                "etc/group": (0o100644, "".join("%s:x:%d:%s\n" % u for u in USERS).encode()),
                "var/lock": (0o120777, b"../run/lock"), "tmp": (0o41777, b"")})
            with open(base + ".partial", "wb") as f:
                f.write(archive(entries))
            os.replace(base + ".partial", base)
            for old in set(glob.glob(os.path.join(home, "initramfs-*.cpio.gz"))) - {base}:
                os.remove(old)
    return glob.glob(folders["kernel"] + "/boot/vmlinuz-*")[0], base, folders


def program_layer(triplet, program, folders):
    """The program as /usr/bin/baudset-cli, with the libraries it needs and their loader."""
    readelf = lambda *args: subprocess.run(("readelf", "-W") + args, capture_output=True,
                                           text=True, check=True).stdout
    entries = {"usr/bin/baudset-cli": (0o100755, read(program))}
    take(entries, folders["libc6"], re.search(r"interpreter: (\S+)\]",
                                              readelf("-l", program)).group(1))
    todo, done = [program], set()
    while todo:
        for library in set(re.findall(r"\(NEEDED\).*\[(.+)\]", readelf("-d", todo.pop()))) - done:
            done.add(library)
            todo += filter(None, (take(entries, folders[p], "%s/%s/%s" % (place, triplet, library))
                                  for p in LIBRARIES for place in ("lib", "usr/lib")))
    return archive(entries)


class Guest:
    def __init__(self, arch, program, work, uart_link, usb_link=None, boot_timeout=BOOT):
        """Boots with `program` inside (None: busybox alone); returns once the guest's agent
        answers and, given usb_link, ttyUSB0 is ready. QEMU's output and the channel's
        traffic go to `work`."""
        self.qemu, self.unread, self.said, self.next_id = None, {}, b"", 0
        os.makedirs(work, exist_ok=True)
        kernel, base, folders = prepare(arch)
        triplet, _, console, command = ARCHES[arch]
        with open(os.path.join(work, "initrd.gz"), "wb") as f:
            f.write(read(base) + (program_layer(triplet, program, folders) if program else b""))
        self.channel, channel = socket.socketpair()
        self.qmp, qmp = socket.socketpair()
        command = command + [
            "-accel", "tcg", "-m", "256M", "-smp", "1", "-nodefaults", "-display", "none",
            "-no-reboot", "-kernel", kernel, "-initrd", f.name, "-append",
            "console=%s quiet loglevel=1 panic=-1 guest_channel=%s" % (console, console),
            "-chardev", "socket,id=channel,fd=%d" % channel.fileno(),
            "-chardev", "socket,id=qmp,fd=%d" % qmp.fileno(), "-mon", "chardev=qmp,mode=control",
            "-chardev", "serial,id=line,path=" + uart_link] + (
            ["-device", "virtio-serial-device", "-device", "virtconsole,chardev=channel",
             "-serial", "chardev:line"] if arch == "arm64" else
            ["-serial", "chardev:channel", "-device", "isa-serial,chardev=line,index=1"]) + (
            ["-device", "qemu-xhci,id=xhci", "-chardev", "serial,id=usbline,path=%s" % usb_link,
             "-device", "usb-serial,id=usb0,chardev=usbline,bus=xhci.0,serial=" + USB_SERIAL]
            if usb_link else [])
        self.log = open(os.path.join(work, "qemu.log"), "wb")
        self.transcript = open(os.path.join(work, "channel.log"), "wb")
        begun = time.monotonic()
        # QEMU goes down with the process that started it (PR_SET_PDEATHSIG), even one that
        # dies before it can stop() it.
        self.qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT, pass_fds=(channel.fileno(),
                                                                         qmp.fileno()),
                                     preexec_fn=lambda: ctypes.CDLL(None).prctl(1, 9))
        channel.close()
        qmp.close()
        try:
            self._ask(None, boot_timeout)
            self.boot_seconds = time.monotonic() - begun
            self._qmp("qmp_capabilities")
            if usb_link:
                self._usb_ready()
        except BaseException:
            self.stop()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    @staticmethod
    def as_user(user, command):
        """`command` wrapped to run as `user`, with the user's groups."""
        return "su -s /bin/sh -c %s %s" % (shlex.quote(command), user)

    def run(self, command, timeout=60):
        """(status, stdout, stderr) of `sh -c command` in the guest."""
        job = self.start(command)
        result = self.wait(job, timeout)
        if result[0] is None:
            self.kill(job, "KILL")
            raise AssertionError("%r did not end within %g s" % (command, timeout))
        return result

    def start(self, command):
        """Starts `command` in the background; returns its job id."""
        if self._ask("start " + base64.b64encode(command.encode()).decode()) != "ok":
            raise AssertionError("the guest did not start %r" % command)
        return self.next_id

    def job(self, job_id):
        """(status, or None while it runs; stdout so far; stderr so far)."""
        return self._state(self._ask("job %d" % job_id))

    def wait(self, job_id, timeout):
        """job() once the job has ended, or once `timeout` seconds have passed."""
        return self._state(self._ask("wait %d %d" % (job_id, timeout + 1), timeout + ANSWER))

    def kill(self, job_id, signal_name):
        """Sends SIGsignal_name to the job's process group; fails if the group is gone."""
        if self._ask("kill %d %s" % (job_id, signal_name)) != "ok":
            raise AssertionError("job %d took no SIG%s" % (job_id, signal_name))

    def unplug_usb(self):
        """Unplugs the adapter; returns once QEMU has let it go and ttyUSB0 is gone."""
        self._qmp("device_del", "DEVICE_DELETED", id="usb0")
        wait_until(lambda: self.run("[ ! -e /dev/ttyUSB0 ]")[0] == 0, ANSWER,
                   "/dev/ttyUSB0 gone from the guest")

    def plug_usb(self, ready=True):
        """Plugs the same adapter in again, on the same line; returns once
        ttyUSB0 is ready, unless a run waiting for it is to take it first."""
        self._qmp("device_add", driver="usb-serial", id="usb0", chardev="usbline", bus="xhci.0",
                  serial=USB_SERIAL)
        if ready:
            self._usb_ready()

    def _usb_ready(self):
        """Until ttyUSB0 opens for a member of dialout: its driver bound, the node its group."""
        ready = self.as_user("tech", "stty -F /dev/ttyUSB0 >/dev/null")
        wait_until(lambda: self.run(ready)[0] == 0, ANSWER, "/dev/ttyUSB0 ready in the guest")

    def stop(self):
        """Powers the guest off; kills QEMU if it does not end in time."""
        if self.qemu is not None and self.qemu.poll() is None:
            try:
                self._ask("off")
                self.qemu.wait(POWEROFF)
            except (AssertionError, OSError, subprocess.TimeoutExpired):
                self.qemu.kill()
                self.qemu.wait()
        for end in (self.channel, self.qmp, self.log, self.transcript):
            end.close()

    @staticmethod
    def _state(answer):
        status, out, err = answer.split(":")
        return None if status == "-" else int(status), base64.b64decode(out), base64.b64decode(err)

    def _ask(self, request, seconds=ANSWER):
        """The agent's answer to `request`, the first line that starts with its id; any other
        line is what the guest said. Request None: the greeting, id 0."""
        if request is not None:
            self.next_id += 1
            self.transcript.write(b"> %d %s\n" % (self.next_id, request.encode()))
            self.channel.sendall(b"%d %s\n" % (self.next_id, request.encode()))
        deadline, prefix = time.monotonic() + seconds, b"@%d " % (request and self.next_id or 0)
        while True:
            line = self._line(self.channel, deadline)
            self.transcript.write(b"< " + line + b"\n")
            if line.startswith(prefix):
                return line[len(prefix):].decode()
            self.said = (self.said + line + b"\n")[-2000:]

    def _line(self, end, deadline):
        while b"\n" not in self.unread.get(end, b""):
            left = deadline - time.monotonic()
            data = select.select([end], [], [], max(0, min(left, 1)))[0] and end.recv(65536)
            if data == b"" or left <= 0:
                self.log.flush()
                raise AssertionError("no answer from the guest (QEMU: %s); it said %r; QEMU "
                                     "said %r" % (self.qemu.poll(), self.said, read(self.log.name)))
            self.unread[end] = self.unread.get(end, b"") + (data or b"")
        line, self.unread[end] = self.unread[end].split(b"\n", 1)
        return line.rstrip(b"\r")

    def _qmp(self, command, event=None, **arguments):
        """Runs a QMP command; given `event`, returns once that event has come for its id."""
        self.qmp.sendall(json.dumps({"execute": command, "arguments": arguments}).encode())
        deadline, returned = time.monotonic() + ANSWER, False
        while not returned or event:
            message = json.loads(self._line(self.qmp, deadline))
            if "error" in message:
                raise AssertionError("QMP %s: %s" % (command, message["error"]))
            returned = returned or "return" in message
            if event and (message.get("event"), message.get("data", {}).get("device")) == (
                    event, arguments["id"]):
                event = None
