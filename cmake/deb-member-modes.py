#!/usr/bin/env python3
"""Gives every member of the .deb files named the mode 100644, as dpkg-deb
writes them: cpack takes each member's mode from a file its umask made."""
import sys

for path in sys.argv[1:]:
    with open(path, "r+b") as deb:
        data = bytearray(deb.read())
        if data[:8] != b"!<arch>\n":
            sys.exit(f"{path}: not an ar archive")
        at = 8
        while at < len(data):
            data[at + 40 : at + 48] = b"100644  "
            size = int(data[at + 48 : at + 58])
            at += 60 + size + size % 2
        deb.seek(0)
        deb.write(data)
