"""A minimal Debian 13 root to install the package in, as on a technician's
up-to-date machine, while this one runs Debian 12.

  python3 debian13.py enter ROOT -- COMMAND [ARGS...]   (as root)

The root comes from mmdebstrap (variant apt: essential packages and apt),
made once and kept as a tarball under the cache folder; each use unpacks it
afresh. Packages apt fetches are kept in the cache folder too, so a second
run downloads nothing. `enter` runs COMMAND inside ROOT: a mount namespace
of its own, with /proc, a /dev of its own (no serial device in it), the X
server's socket folder and the apt cache bound in, and the root made the
namespace's root with pivot_root (a chrooted process may not make user
namespaces, and apt's sandbox and Qt want a real root).
"""
import ctypes
import os
import shutil
import subprocess
import sys

SUITE = "trixie"
MIRROR = "http://deb.debian.org/debian"
SYS_PIVOT_ROOT = 155     # x86_64
MNT_DETACH = 2
DEV_NODES = ("null", "zero", "full", "random", "urandom", "tty")


def base_tarball(cache):
    """The cached root, made when missing. Returns (path, None), or (None,
    why) when it cannot be made here (no mmdebstrap, no archive reachable)."""
    tarball = os.path.join(cache, "root.tar")
    if os.path.exists(tarball):
        return tarball, None
    os.makedirs(cache, exist_ok=True)
    if shutil.which("mmdebstrap") is None:
        return None, "mmdebstrap is not installed"
    partial = tarball + ".partial"
    result = subprocess.run(["mmdebstrap", "--variant=apt", "--mode=root", "--format=tar",
                             SUITE, partial, MIRROR],
                            capture_output=True, text=True, timeout=1800)
    if result.returncode != 0:
        return None, "mmdebstrap failed: " + (result.stderr.strip().splitlines() or ["?"])[-1]
    os.replace(partial, tarball)
    return tarball, None


def unpack(tarball, root):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    subprocess.run(["tar", "-xf", tarball, "-C", root], check=True)
    shutil.copy("/etc/resolv.conf", os.path.join(root, "etc", "resolv.conf"))


def enter_command(root, cache, argv):
    """The command line that runs argv inside root, for subprocess."""
    return ["unshare", "-m", "--propagation", "private", sys.executable,
            os.path.abspath(__file__), "enter", root, cache, "--"] + list(argv)


def mount(*args):
    subprocess.run(["mount", "-n"] + list(args), check=True)


def prepare(root, cache):
    mount("--bind", root, root)
    mount("-t", "proc", "proc", os.path.join(root, "proc"))
    dev = os.path.join(root, "dev")
    mount("-t", "tmpfs", "-o", "mode=755,size=1m", "baudset-dev", dev)
    for node in DEV_NODES:
        open(os.path.join(dev, node), "w").close()
        mount("--bind", "/dev/" + node, os.path.join(dev, node))
    os.mkdir(os.path.join(dev, "pts"))
    mount("-t", "devpts", "-o", "newinstance,ptmxmode=0666,mode=0620", "baudset-pts",
          os.path.join(dev, "pts"))
    os.symlink("pts/ptmx", os.path.join(dev, "ptmx"))
    os.mkdir(os.path.join(dev, "shm"))
    mount("-t", "tmpfs", "-o", "mode=1777", "baudset-shm", os.path.join(dev, "shm"))
    mount("-t", "tmpfs", "-o", "mode=755", "baudset-run", os.path.join(root, "run"))
    os.makedirs(os.path.join(root, "run", "lock"), mode=0o1777)
    os.chmod(os.path.join(root, "run", "lock"), 0o1777)
    x11 = os.path.join(root, "tmp", ".X11-unix")
    os.makedirs(x11, exist_ok=True)
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
    if len(argv) < 6 or argv[1] != "enter" or argv[4] != "--":
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root, cache, command = os.path.abspath(argv[2]), os.path.abspath(argv[3]), argv[5:]
    prepare(root, cache)
    pivot(root)
    env = dict(os.environ, BAUDSET_ENTERED="debian13", DEBIAN_FRONTEND="noninteractive",
               PATH="/usr/sbin:/usr/bin:/sbin:/bin")
    os.execvpe(command[0], command, env)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
