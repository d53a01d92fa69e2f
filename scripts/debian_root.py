#!/usr/bin/env python3
"""Minimal Debian roots of any release and architecture, to build the
package in and to install it in as on a technician's machine, whatever this
machine runs.

  python3 scripts/debian_root.py enter ROOT CACHE [--port NAME=PTY ...] -- COMMAND [ARGS...]
                                                         (as root)

A root comes from mmdebstrap (variant apt: essential packages and apt),
made once and kept as a tarball in the user's cache folder
($XDG_CACHE_HOME/baudset, or ~/.cache/baudset: roots/debian12-arm64/, ...),
so that every checkout on the machine shares it. Each tarball is named by
the hash of what it was made from and has a .sha256 beside it, written only
once the tarball is whole: one without it, or that no longer matches it (an
interrupted run, a damaged disk), is made again, never trusted. Each use
unpacks it afresh, in a folder the caller chooses. Packages apt fetches are
kept in the cache too, so a second run downloads nothing.
ARM roots run through qemu-user (Debian's qemu-user-static) registered with
binfmt_misc; where this kernel cannot do that, or no archive is reachable,
the callers are told why and skip.

`enter` runs COMMAND inside ROOT: a mount namespace of its own, with /proc,
a /dev of its own holding no serial device but the pseudo-terminals that
--port links in under the names given (ttyUSB0=/dev/pts/5: a simulated
device that runs on this machine), the X server's socket folder and the apt
cache bound in, and the root made the namespace's root with pivot_root (a
chrooted process may not make user namespaces, and apt's sandbox and Qt want
a real root). The network is this machine's: the simulated devices' control
ports on 127.0.0.1 are reachable from inside.
"""
import ctypes
import fcntl
import hashlib
import os
import platform
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import private_dev  # noqa: E402

RELEASES = {12: "bookworm", 13: "trixie"}
MIRROR = "http://deb.debian.org/debian"
# pivot_root's number for the machine this helper itself runs on.
SYS_PIVOT_ROOT = {"x86_64": 155, "aarch64": 41}[platform.machine()]
MNT_DETACH = 2
# Debian architecture: the qemu-user binfmt entry that runs its programs.
EMULATORS = {"arm64": "qemu-aarch64", "armhf": "qemu-arm"}
BINFMT = "/proc/sys/fs/binfmt_misc"


def host_architecture():
    return subprocess.run(["dpkg", "--print-architecture"], check=True, capture_output=True,
                          text=True).stdout.strip()


def cache_home():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "baudset")


def cache_folder(release, arch):
    return os.path.join(cache_home(), "roots", "debian%d-%s" % (release, arch))


class cache_lock:
    """Holds the cache folder while its tarballs are checked or made: two
    checkouts (or CI beside a developer) must not write one at once."""

    def __init__(self, cache):
        os.makedirs(cache, exist_ok=True)
        self.file = open(os.path.join(cache, "lock"), "w")

    def __enter__(self):
        fcntl.flock(self.file, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        self.file.close()


def digest_of(path):
    sha = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            sha.update(block)
    return sha.hexdigest()


# Tarballs this process has already checked, with their size and time: a
# run unpacks one root many times, and each check reads gigabytes.
_checked = set()


def intact(tarball):
    """Whether `tarball` was written whole: its .sha256 exists and matches.
    Anything else is removed, for the caller to make it again."""
    seal = tarball + ".sha256"
    try:
        stat = os.stat(tarball)
        key = (tarball, stat.st_size, stat.st_mtime_ns)
        if key in _checked:
            return True
        with open(seal) as f:
            if f.read().strip() == digest_of(tarball):
                _checked.add(key)
                return True
    except OSError:
        pass
    for path in (tarball, seal, tarball + ".partial"):
        if os.path.exists(path):
            os.remove(path)
    return False


def seal(partial, tarball):
    """Moves a finished `partial` tarball into place, then vouches for it."""
    os.replace(partial, tarball)
    with open(tarball + ".sha256.partial", "w") as f:
        f.write(digest_of(tarball) + "\n")
    os.replace(tarball + ".sha256.partial", tarball + ".sha256")


def recipe_hash(*parts):
    """A short hash of what a tarball is made from, for its name."""
    return hashlib.sha256("\0".join(map(str, parts)).encode()).hexdigest()[:12]


def emulation_missing(arch):
    """None when programs of `arch` run here; else why they cannot. Mounts
    binfmt_misc and registers Debian's qemu-user entry when missing. The F
    flag opens the emulator at registration, so that it still runs inside
    a root that has none."""
    if arch == host_architecture():
        return None
    name = EMULATORS.get(arch)
    if name is None:
        return "no emulator is known for %s" % arch
    if not os.path.exists(os.path.join(BINFMT, "register")):
        result = subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT],
                                capture_output=True, text=True)
        if result.returncode != 0:
            return "this kernel has no binfmt_misc (%s)" % result.stderr.strip()
    rule = "/usr/lib/binfmt.d/%s.conf" % name
    if not os.path.exists(rule):
        return "qemu-user-static is not installed (%s is missing)" % rule
    entry = os.path.join(BINFMT, name)
    if os.path.exists(entry):
        with open(entry) as f:
            said = f.read()
        if "enabled" in said.splitlines()[0] and "F" in _flags(said):
            return None
        with open(entry, "w") as f:   # registered without F (binfmt-support): again
            f.write("-1")
    with open(rule) as f:
        line = next(l.strip() for l in f if l.startswith(":"))
    try:
        with open(os.path.join(BINFMT, "register"), "w") as f:
            f.write(line)
    except OSError as error:
        return "binfmt_misc refused %s: %s" % (name, error)
    return None


def _flags(said):
    for line in said.splitlines():
        if line.startswith("flags:"):
            return line.split(":", 1)[1].strip()
    return ""


def base_tarball(cache, release, arch):
    """The cached bare root, made when missing or not intact. Returns
    (path, None), or (None, why) when it cannot be made here."""
    # A cached root is no use either when its programs cannot run here.
    why = emulation_missing(arch)
    if why:
        return None, why
    command = ["mmdebstrap", "--variant=apt", "--mode=root", "--format=tar",
               "--architectures=" + arch, RELEASES[release]]
    tarball = os.path.join(cache, "root-%s.tar" % recipe_hash(*command, MIRROR))
    with cache_lock(cache):
        if os.path.exists(tarball) and intact(tarball):
            return tarball, None
        if shutil.which("mmdebstrap") is None:
            return None, "mmdebstrap is not installed"
        partial = tarball + ".partial"
        result = subprocess.run(command + [partial, MIRROR], capture_output=True, text=True,
                                timeout=3600)
        if result.returncode != 0:
            return None, "mmdebstrap failed: " + (result.stderr.strip().splitlines() or ["?"])[-1]
        seal(partial, tarball)
    return tarball, None


def scratch(build):
    """A new empty folder to unpack a root in: in the checkout's build
    folder, never in the shared cache, so that two checkouts' runs never
    unpack over each other."""
    os.makedirs(os.path.join(build, "roots"), exist_ok=True)
    return tempfile.mkdtemp(prefix="root-", dir=os.path.join(build, "roots"))


def unpack(tarball, root):
    """`tarball` unpacked into `root`, made anew; returns `root`."""
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    subprocess.run(["tar", "-xf", tarball, "-C", root], check=True)
    shutil.copy("/etc/resolv.conf", os.path.join(root, "etc", "resolv.conf"))
    return root


def pack(root, tarball):
    """The root as a tarball, for a later unpack; sealed once whole."""
    partial = tarball + ".partial"
    subprocess.run(["tar", "-cf", partial, "-C", root, "."], check=True)
    seal(partial, tarball)


def enter_command(root, cache, argv, ports=None):
    """The command line that runs argv inside root, for subprocess; ports
    maps a name in the root's /dev to a pseudo-terminal of this machine."""
    links = []
    for name, pty in sorted((ports or {}).items()):
        links += ["--port", "%s=%s" % (name, pty)]
    return ["unshare", "-m", "--propagation", "private", sys.executable,
            os.path.abspath(__file__), "enter", root, cache] + links + ["--"] + list(argv)


mount = private_dev.mount


def prepare(root, cache, ports):
    mount("--bind", root, root)
    mount("-t", "proc", "proc", os.path.join(root, "proc"))
    private_dev.populate_dev(os.path.join(root, "dev"), ports)
    mount("-t", "tmpfs", "-o", "mode=755", "baudset-run", os.path.join(root, "run"))
    os.makedirs(os.path.join(root, "run", "lock"), mode=0o1777)
    os.chmod(os.path.join(root, "run", "lock"), 0o1777)
    x11 = os.path.join(root, "tmp", ".X11-unix")
    os.makedirs(x11, exist_ok=True)
    if os.path.isdir("/tmp/.X11-unix"):
        mount("--bind", "/tmp/.X11-unix", x11)
    archives = os.path.join(cache, "archives")
    os.makedirs(os.path.join(archives, "partial"), exist_ok=True)
    mount("--bind", archives, os.path.join(root, "var", "cache", "apt", "archives"))


def pivot(root):
    libc = ctypes.CDLL(None, use_errno=True)
    os.chdir(root)
    os.makedirs(".old-root", exist_ok=True)
    if libc.syscall(SYS_PIVOT_ROOT, b".", b".old-root") != 0:
        raise OSError(ctypes.get_errno(), "pivot_root")
    os.chdir("/")
    if libc.umount2(b"/.old-root", MNT_DETACH) != 0:
        raise OSError(ctypes.get_errno(), "umount /.old-root")
    os.rmdir("/.old-root")


def main(argv):
    if len(argv) < 6 or argv[1] != "enter" or "--" not in argv[4:]:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    split = argv.index("--", 4)
    root, cache, command = os.path.abspath(argv[2]), os.path.abspath(argv[3]), argv[split + 1:]
    options = argv[4:split]
    if len(options) % 2 or any(word != "--port" for word in options[::2]):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    ports = dict(pair.split("=", 1) for pair in options[1::2])
    prepare(root, cache, ports)
    pivot(root)
    env = dict(os.environ, BAUDSET_ENTERED="debian-root", DEBIAN_FRONTEND="noninteractive",
               PATH="/usr/sbin:/usr/bin:/sbin:/bin")
    os.execvpe(command[0], command, env)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
