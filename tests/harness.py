"""Pieces the Linux-side test drivers share: starting a simulated device and
running automate.exe under Wine."""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
SIMDEVICE = os.path.join(ROOT, "tools", "simdevice.py")


def start_device(link, *extra):
    """Starts tools/simdevice.py with its pty linked at `link`; returns the
    process and the TCP port of its control channel."""
    device = subprocess.Popen(
        [sys.executable, SIMDEVICE, "--link", link, "--control-port", "0"] + list(extra),
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    ready = device.stdout.readline()
    if "ready" not in ready:
        device.kill()
        raise SystemExit("simulated device at %s did not start: %r" % (link, ready))
    return device, int(ready.rsplit(":", 1)[1])


def automate(exe, *words, env=None):
    """Runs automate.exe once; returns its exit code and its output line.

    Non-ASCII words go hex-encoded, since Wine decodes a command line in the
    host's locale. Output goes through a file, not a pipe: a Wine service
    started meanwhile could inherit a pipe and keep it open for ever."""
    words = [w if w.isascii() else "hex:" + w.encode().hex() for w in words]
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(["wine64", exe] + words, env=env, stdout=out,
                              stderr=subprocess.DEVNULL, timeout=60).returncode
        out.seek(0)
        return code, out.read().decode("utf-8", "replace").rstrip("\r\n")
