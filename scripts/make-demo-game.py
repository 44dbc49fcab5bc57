#!/usr/bin/env python3
"""Writes a synthetic game folder for the demo (scripts/demo).

    scripts/make-demo-game.py OUT_DIR

OUT_DIR must not exist or be empty. The folder holds what a real game folder
holds in kind, not in content: plain files in nested folders, an empty
folder, an IMG archive in the game's own VER2 form, an audio stream large
enough to travel in several parts, and a stand-in "gta_sa.exe". Every name
is lower case and free of blanks, so varo-publish takes the folder as it is.
The content is deterministic: the same folder comes out on every run.

The stand-in game is a shell script. Started (by the launcher's ИГРАТЬ
button) it writes its working directory and arguments, one per line, to
"started.txt" next to itself and exits; nothing else happens.
"""

import os
import random
import struct
import sys

SECTOR = 2048
MIB = 1024 * 1024

# More than 60 MiB travels in 40 MiB parts: 100 MiB gives three parts.
AUDIO_SIZE = 100 * MIB

STAND_IN_GAME = """#!/bin/sh
# Stand-in for the game executable: records how the launcher started it
# (working directory, then every argument) and exits.
out="$(dirname "$0")/started.txt"
{
  printf 'cwd=%s\\n' "$(pwd)"
  for argument in "$@"; do printf 'arg=%s\\n' "$argument"; done
} > "$out.part" && mv "$out.part" "$out"
"""


def write(root, relative, data):
    path = os.path.join(root, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def noise(size, seed):
    """Incompressible bytes: they make the download take visible time."""
    return random.Random(seed).randbytes(size)


def text_lines(count, seed, prefix):
    """Plain configuration-like text."""
    rng = random.Random(seed)
    lines = []
    for i in range(count):
        values = " ".join("%.3f" % rng.uniform(-100, 100) for _ in range(6))
        lines.append("%s_%04d %s" % (prefix, i, values))
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def ver2_archive(members):
    """The game's archive form: "VER2", the member count, 32-byte records
    (first sector, sector count, zero, name of at most 23 bytes and a NUL),
    then the members, each padded to whole sectors."""
    count = len(members)
    first = (8 + 32 * count + SECTOR - 1) // SECTOR
    directory = bytearray(b"VER2" + struct.pack("<I", count))
    body = bytearray()
    sector = first
    for name, data in members:
        encoded = name.encode("ascii")
        assert len(encoded) <= 23 and " " not in name
        sectors = (len(data) + SECTOR - 1) // SECTOR
        directory += struct.pack("<IHH", sector, sectors, 0) + encoded.ljust(24, b"\0")
        body += data.ljust(sectors * SECTOR, b"\0")
        sector += sectors
    directory = directory.ljust(first * SECTOR, b"\0")
    return bytes(directory + body)


def audio_stream(path, size):
    """Cheap, well-compressible audio stand-in written in 1 MiB steps: a
    repeating wave with the step number in front, so that parts differ."""
    wave = bytes((128 + int(100 * ((i % 64) / 32.0 - 1.0))) & 0xFF for i in range(4096))
    block = (wave * (MIB // len(wave)))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        written = 0
        step = 0
        while written < size:
            chunk = (b"VAROSTRM%08d" % step) + block[16:]
            chunk = chunk[: size - written]
            f.write(chunk)
            written += len(chunk)
            step += 1


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make-demo-game.py OUT_DIR\n")
        return 64
    root = sys.argv[1]
    if os.path.exists(root) and os.listdir(root):
        sys.stderr.write("make-demo-game.py: %s exists and is not empty\n" % root)
        return 73
    os.makedirs(root, exist_ok=True)

    exe = os.path.join(root, "gta_sa.exe")
    write(root, "gta_sa.exe", STAND_IN_GAME.encode("ascii"))
    os.chmod(exe, 0o755)

    # Plain files in nested folders.
    write(root, "data/handling.cfg", text_lines(400, 1, "veh"))
    write(root, "data/timecyc.dat", text_lines(200, 2, "hour"))
    write(root, "data/maps/city/city.ipl", text_lines(1500, 3, "inst"))
    write(root, "data/maps/country/countryn.ipl", text_lines(900, 4, "inst"))
    write(root, "data/paths/nodes0.dat", noise(180 * 1024, 5))
    write(root, "text/american.gxt", noise(96 * 1024, 6))
    write(root, "models/generic/vehicle.txd", noise(3 * MIB, 7))
    write(root, "models/particle.txd", noise(512 * 1024, 8))
    write(root, "audio/config/banklkup.dat", noise(4 * 1024, 9))
    write(root, "readme.txt", "Varo demo game folder. Nothing here is a real game file.\n".encode("ascii"))
    os.makedirs(os.path.join(root, "screens"), exist_ok=True)

    # One archive of 40 members in the game's own form.
    members = []
    for i in range(40):
        kind = ("dff", "txd", "col")[i % 3]
        members.append(("object%02d.%s" % (i, kind), noise(3000 + i * 4100, 100 + i)))
    write(root, "models/gta3.img", ver2_archive(members))

    # An audio stream of several parts.
    audio_stream(os.path.join(root, "audio/streams/radio"), AUDIO_SIZE)
    return 0


if __name__ == "__main__":
    sys.exit(main())
