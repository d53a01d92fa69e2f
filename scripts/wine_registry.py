#!/usr/bin/env python3
"""Sets the values of one key in a Wine registry file (system.reg, user.reg).

  wine_registry.py FILE 'Software\\Wine\\Ports' NAME=VALUE...

Every value the key had is replaced by exactly the ones given (none: the key
is emptied); the key is created if missing. Only for a prefix whose
wineserver is not running: the server reads these files when it starts and
writes them back when it ends, so an edit under a running server is lost.
Editing the text is much faster than starting Wine to run 'reg', and it
cannot boot the prefix at the wrong moment.
"""
import os
import sys
import time


def quote(text):
    out = []
    for ch in text:
        if ch in '\\"':
            out.append("\\" + ch)
        elif 0x20 <= ord(ch) < 0x7F:
            out.append(ch)
        else:
            out.append("\\x%04x" % ord(ch))
    return '"' + "".join(out) + '"'


def set_key(lines, key, values):
    header = "[" + key.replace("\\", "\\\\") + "]"
    body = ["#time=%x" % int(time.time() * 10**7 + 116444736000000000)]
    body += ["%s=%s" % (quote(name), quote(value)) for name, value in values]
    start = next((i for i, line in enumerate(lines)
                  if line == header or line.startswith(header + " ")), None)
    if start is None:
        return lines + ["", "%s %d" % (header, int(time.time()))] + body + [""]
    end = start + 1
    while end < len(lines) and lines[end] != "":
        end += 1
    return lines[:start + 1] + body + lines[end:]


def main(argv):
    if len(argv) < 3 or not all("=" in pair for pair in argv[3:]):
        sys.exit(__doc__.strip())
    path, key = argv[1], argv[2]
    values = [tuple(pair.split("=", 1)) for pair in argv[3:]]
    with open(path, encoding="utf-8", newline="\n") as f:
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    lines = set_key(lines, key, values)
    temporary = path + ".new"
    with open(temporary, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(temporary, path)


if __name__ == "__main__":
    main(sys.argv)
