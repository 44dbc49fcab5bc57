#!/usr/bin/env python3
"""Unpacks mirror blocks: qunpack.py LIST OUT_DIR

LIST names one block file per line. Each block is a 4-byte big-endian length
followed by a zlib stream (the format of Qt's qCompress); block i of the list
is unpacked to OUT_DIR/i. A block whose stream does not unpack to the length
it announces is an error (exit status 1).
"""

import os
import struct
import sys
import zlib


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("usage: qunpack.py LIST OUT_DIR\n")
        return 64
    list_file, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    with open(list_file, encoding="utf-8") as names:
        blocks = [line.rstrip("\n") for line in names if line.strip()]
    for index, block in enumerate(blocks):
        with open(block, "rb") as packed:
            data = packed.read()
        if len(data) < 4:
            sys.stderr.write("qunpack: %s is too short to be a block\n" % block)
            return 1
        (length,) = struct.unpack(">I", data[:4])
        unpacked = zlib.decompress(data[4:]) if length else b""
        if len(unpacked) != length:
            sys.stderr.write("qunpack: %s unpacks to %d bytes, not %d\n" % (block, len(unpacked), length))
            return 1
        with open(os.path.join(out_dir, str(index)), "wb") as out:
            out.write(unpacked)
    return 0


if __name__ == "__main__":
    sys.exit(main())
