#!/usr/bin/env python3
"""Packs the 16, 32 and 48 pixel PNG icons into rostrel.ico (PNG-compressed entries, which Windows
reads since Vista). Run again when the PNGs change; the .ico is kept in the tree so that a build on
Windows needs no Python."""
import struct
from pathlib import Path

here = Path(__file__).resolve().parent
sizes = (16, 32, 48)
images = [(here.parent / "icons" / f"rostrel-{s}.png").read_bytes() for s in sizes]
header = struct.pack("<HHH", 0, 1, len(images))
offset = len(header) + 16 * len(images)
entries = b""
for size, data in zip(sizes, images):
    entries += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
    offset += len(data)
(here / "rostrel.ico").write_bytes(header + entries + b"".join(images))
