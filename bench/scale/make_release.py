#!/usr/bin/env python3
"""A game-sized release from files on this machine, seeded: about 95 MB in
about 1,900 files (shared libraries and documentation) as the new version,
and two older versions made from it by random insertions, deletions and
overwrites; a few files only in one version.

    make_release.py OUTDIR [SEED]     writes OUTDIR/new, OUTDIR/old1, OUTDIR/old2
"""
import os
import random
import sys

TARGET_BYTES = 95 << 20
TARGET_FILES = 1900


def candidates():
    libs, docs = [], []
    for root in ("/usr/lib", "/usr/share/doc"):
        for folder, _, names in os.walk(root):
            for name in names:
                path = os.path.join(folder, name)
                if os.path.islink(path) or not os.path.isfile(path):
                    continue
                size = os.path.getsize(path)
                if size < 1024 or size > (4 << 20):
                    continue
                (libs if ".so" in name else docs).append((path, size))
    libs.sort()
    docs.sort()
    return libs, docs


def pick(rng):
    libs, docs = candidates()
    rng.shuffle(libs)
    rng.shuffle(docs)
    chosen, total = [], 0
    # Libraries carry the bytes, documentation the file count.
    for path, size in libs:
        if total + size > TARGET_BYTES * 0.85 or len(chosen) >= TARGET_FILES // 3:
            break
        chosen.append(path)
        total += size
    for path, size in docs:
        if len(chosen) >= TARGET_FILES:
            break
        if size > (16 << 10) or total + size > TARGET_BYTES:
            continue
        chosen.append(path)
        total += size
    return chosen


def edit(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 12)):
        at = rng.randrange(len(data) + 1)
        n = rng.randint(1, 4096)
        kind = rng.random()
        if kind < 0.35:
            data[at:at] = rng.randbytes(n)
        elif kind < 0.7:
            del data[at:at + n]
        else:
            data[at:at + n] = rng.randbytes(len(data[at:at + n]))
    return bytes(data)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    out = sys.argv[1]
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    files = pick(rng)
    for index, source in enumerate(files):
        with open(source, "rb") as f:
            data = f.read()
        name = "data%02d/%s_%04d" % (index % 40, os.path.basename(source), index)
        write(os.path.join(out, "new", name), data)
        for old in ("old1", "old2"):
            roll = rng.random()
            if roll < 0.02:
                continue  # new in this version
            if roll < 0.6:
                write(os.path.join(out, old, name), edit(rng, data))
            else:
                write(os.path.join(out, old, name), data)
    for old in ("old1", "old2"):
        for i in range(5):
            write(os.path.join(out, old, "gone", "file%d.dat" % i), rng.randbytes(5000))


main()
