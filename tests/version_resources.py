#!/usr/bin/env python3
"""Checks each Windows program's version resource: the fixed file version
(what Windows compares) and the version and file name that File Properties,
Details shows. Usage: version_resources.py VERSION PROGRAM.exe..."""
import struct
import sys

version = sys.argv[1]
major, minor, patch = (int(n) for n in version.split("."))
failed = False
for path in sys.argv[2:]:
    data = open(path, "rb").read()
    name = path.rsplit("/", 1)[-1]
    at = data.find(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO's signature
    fixed = struct.unpack_from("<III", data, at + 4) if at >= 0 else None
    want = (major << 16 | minor, patch << 16)
    texts = [t + "\0" for t in ("FileVersion", version, "ProductVersion", name)]
    missing = [t.rstrip("\0") for t in texts if t.encode("utf-16-le") not in data]
    if fixed is None or fixed[1:] != want or missing:
        print(f"{path}: version resource wrong: fixed {fixed}, missing texts {missing}")
        failed = True
sys.exit(1 if failed else 0)
