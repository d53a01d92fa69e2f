#!/usr/bin/env python3
"""Runs one Windows test program with simulated devices on its COM ports.

  with_devices.py --rig scripts/wine-rig --prefix DIR --work DIR
                  [--device N]... [--device-args "ARGS"] -- COMMAND [ARGS...]

Starts tools/simdevice.py once per --device N, maps COM<N> to it in the Wine
prefix (and no other port), tells the program where each device's control
channel listens (BAUDSET_DEVICE_COM<N>=<tcp port>), runs COMMAND and stops
the devices again. Meant to run inside `wine-rig exec`, so that the program
sees no host serial device. Exits with COMMAND's status.
"""
import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import start_device  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rig", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--device", type=int, action="append", default=[])
    parser.add_argument("--device-args", default="", help="extra simdevice arguments, for all")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    os.makedirs(args.work, exist_ok=True)

    devices = []
    env = dict(os.environ)
    try:
        port_args = []
        for number in args.device:
            link = os.path.join(args.work, "com%d" % number)
            log = os.path.join(args.work, "com%d.log" % number)
            device, control_port = start_device(link, "--log", log, *args.device_args.split())
            devices.append(device)
            port_args += ["--port", "%d=%s" % (number, link)]
            env["BAUDSET_DEVICE_COM%d" % number] = str(control_port)
        subprocess.run([args.rig, "ports", "--prefix", args.prefix] + port_args, check=True)
        # Wine passes the environment on to the Windows program.
        return subprocess.run(command, env=env).returncode
    finally:
        for device in devices:
            device.terminate()
        for device in devices:
            try:
                device.wait(timeout=5)
            except subprocess.TimeoutExpired:
                device.kill()


if __name__ == "__main__":
    sys.exit(main())
