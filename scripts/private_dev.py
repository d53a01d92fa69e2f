#!/usr/bin/env python3
"""Runs a command with a /dev of its own, in a private mount namespace.

  scripts/private-dev [--port NAME=PTY ...] [--] COMMAND [ARGS...]

(private-dev is this file, private_dev.py, under the name that commands
call; debian_root.py imports it.)

The private /dev holds only what any program needs (null, zero, tty, the
pseudo-terminals, shm, ...) and no serial device at all, but for the
pseudo-terminals that --port links in under the names given
(ttyUSB0=/dev/pts/5: a simulated device started before). Whatever the
command then puts there, for example a simulated device linked at
/dev/ttyUSB0, is exactly what the Linux baudset finds when it lists the
machine's serial ports, and nothing of the host's ports or adapters is.
Nothing outside the command sees the change. As root it needs a mount
namespace; as anyone else, a user namespace too (mapped to oneself).
"""
import os
import subprocess
import sys
import tempfile

INSIDE = "BAUDSET_PRIVATE_DEV"
SHARED_NODES = ("null", "zero", "full", "random", "urandom", "tty")


def mount(*args):
    # -n: inside a user namespace mount(8) cannot update anything after the
    # call and would report the mount itself as failed.
    subprocess.run(["mount", "-n"] + list(args), check=True)


def populate_dev(dev, ports, shm=None):
    """Mounts a fresh /dev at `dev`, in the caller's mount namespace: the
    nodes any program needs, the pseudo-terminals that `ports` links in
    (name: host pty), devpts of its own and shm, bound from the host's
    `shm` folder or a tmpfs of its own. Both this command and the Debian
    roots (debian_root.py) use it, so both hold the same /dev."""
    mount("-t", "tmpfs", "-o", "mode=755,size=1m", "baudset-dev", dev)
    nodes = [("/dev/" + node, node) for node in SHARED_NODES] + \
        [(pty, name) for name, pty in sorted(ports.items())]
    for source, name in nodes:
        open(os.path.join(dev, name), "w").close()
        mount("--bind", source, os.path.join(dev, name))
    # Pseudo-terminals of our own, for simulated devices made inside: a user
    # namespace may not make a ptmx node, and the host's pts/ptmx is often
    # mode 000, so the new instance's own ptmx serves, open to all.
    os.mkdir(os.path.join(dev, "pts"))
    mount("-t", "devpts", "-o", "newinstance,ptmxmode=0666,mode=0620", "baudset-pts",
          os.path.join(dev, "pts"))
    os.symlink("pts/ptmx", os.path.join(dev, "ptmx"))
    os.mkdir(os.path.join(dev, "shm"))
    if shm:
        mount("--bind", shm, os.path.join(dev, "shm"))
    else:
        mount("-t", "tmpfs", "-o", "mode=1777", "baudset-shm", os.path.join(dev, "shm"))
    os.symlink("/proc/self/fd", os.path.join(dev, "fd"))
    for number, name in enumerate(("stdin", "stdout", "stderr")):
        os.symlink("fd/%d" % number, os.path.join(dev, name))


def make_private_dev(ports):
    # Made aside and moved over /dev in one step: the commands that build
    # it need the host's /dev until the end.
    stage = tempfile.mkdtemp(prefix="baudset-dev.")
    populate_dev(stage, ports, shm="/dev/shm")
    mount("--move", stage, "/dev")
    os.rmdir(stage)
    # Serial ports are locked by their /dev name (LCK..ttyUSB0): the names
    # in this /dev are ours alone, and so must their locks be, or a run in
    # another private /dev would hold "our" port.
    locks = os.path.realpath("/var/lock")
    if os.path.isdir(locks):
        mount("-t", "tmpfs", "-o", "mode=1777,size=1m", "baudset-lock", locks)


def namespace_command():
    if os.getuid() == 0:
        return ["unshare", "-m", "--propagation", "private"]
    return ["unshare", "-U", "-c", "--keep-caps", "-m", "--propagation", "private"]


def parse(words):
    """(ports, command) from the words after the script's name."""
    ports = {}
    while words[:1] == ["--port"] and len(words) > 1 and "=" in words[1]:
        name, pty = words[1].split("=", 1)
        ports[name] = pty
        words = words[2:]
    if words[:1] == ["--"]:
        words = words[1:]
    return ports, words


def main(argv):
    ports, command = parse(argv[1:])
    if not command or command[0] in ("-h", "--help", "--port"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    if os.environ.get(INSIDE) != "yes":
        os.environ[INSIDE] = "yes"
        argv0 = os.path.abspath(argv[0])
        try:
            os.execvp("unshare", namespace_command() + [sys.executable, argv0] + argv[1:])
        except OSError as error:
            print("private-dev: cannot start unshare: %s" % error, file=sys.stderr)
            return 1
    try:
        make_private_dev(ports)
    except (OSError, subprocess.CalledProcessError) as error:
        print("private-dev: this machine allows no private /dev here (%s)" % error,
              file=sys.stderr)
        return 1
    try:
        os.execvp(command[0], command)
    except OSError as error:
        print("private-dev: cannot run %s: %s" % (command[0], error), file=sys.stderr)
        return 127


if __name__ == "__main__":
    sys.exit(main(sys.argv))
