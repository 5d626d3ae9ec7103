#!/usr/bin/env python3
"""Writes mutants of the sqlite_reader_fuzz seeds that change only bytes SQLite never reads.

Each mutant overwrites a few stretches of a seed's free space: the bodies of freeblocks (their
4-byte headers stay), the unallocated gap between a page's cell pointer array and its cell
content, the unused tail of freelist trunk pages and whole freelist leaf pages. The stretches
get random bytes, copies of live table cells, or runs of varint-significant bytes (0x00, 0x01,
0x7F, 0x80, 0x81, 0xFF). SQLite's integrity_check still passes, so the fuzz target compares the
reader's live messages with SQLite's for every mutant; libFuzzer's own mutations rarely keep a
file intact.

    fuzz/free_space_mutants.py <seed directory> <output directory> [per seed] [random seed]

Run the mutants once with `sqlite_reader_fuzz -runs=0 <output directory>`, or pass the
directory as an extra corpus directory to a fuzzing run.
"""
import os
import random
import struct
import sys


def page_size(db):
    size = struct.unpack(">H", db[16:18])[0]
    return 65536 if size == 1 else size


def free_stretches(db):
    """(start, end) file offsets of free space, and the file offsets of live table cells."""
    size = page_size(db)
    pages = len(db) // size
    stretches, cells, free = [], [], set()
    trunk = struct.unpack(">I", db[32:36])[0]
    while trunk and trunk <= pages and trunk - 1 not in free:
        base = (trunk - 1) * size
        free.add(trunk - 1)
        following, count = struct.unpack(">II", db[base:base + 8])
        count = min(count, size // 4 - 2)
        stretches.append((base + 8 + 4 * count, base + size))
        for i in range(count):
            leaf = struct.unpack(">I", db[base + 8 + 4 * i:base + 12 + 4 * i])[0]
            if 0 < leaf <= pages and leaf - 1 not in free:
                free.add(leaf - 1)
                stretches.append(((leaf - 1) * size, leaf * size))
        trunk = following
    for index in range(pages):
        if index in free:
            continue
        base = index * size
        header = base + (100 if index == 0 else 0)
        kind = db[header]
        if kind not in (2, 5, 10, 13):
            continue
        pointers = header + (12 if kind in (2, 5) else 8)
        count, content = struct.unpack(">HH", db[header + 3:header + 7])
        stretches.append((pointers + 2 * count, base + (content or 65536)))
        block = struct.unpack(">H", db[header + 1:header + 3])[0]
        visited = set()
        while block and block not in visited and block + 4 <= size:
            visited.add(block)
            following, length = struct.unpack(">HH", db[base + block:base + block + 4])
            stretches.append((base + block + 4, base + block + length))
            block = following
        if kind == 13:
            for i in range(count):
                cell = struct.unpack(">H", db[pointers + 2 * i:pointers + 2 * i + 2])[0]
                cells.append(base + cell)
    return [s for s in stretches if s[1] > s[0]], cells


def mutate(db, stretches, cells, rng):
    out = bytearray(db)
    for _ in range(rng.randint(1, 6)):
        start, end = rng.choice(stretches)
        at = rng.randrange(start, end)
        choice = rng.random()
        if choice < 0.4:
            length = rng.randint(1, min(64, end - at))
            out[at:at + length] = bytes(rng.randrange(256) for _ in range(length))
        elif choice < 0.8 and cells:
            cell = rng.choice(cells)
            length = min(end - at, len(db) - cell, rng.randint(8, 400))
            out[at:at + length] = db[cell:cell + length]
        else:
            for i in range(rng.randint(1, min(64, end - at))):
                out[at + i] = rng.choice((0x00, 0x01, 0x7F, 0x80, 0x81, 0xFF))
    return bytes(out)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    seeds, output = sys.argv[1], sys.argv[2]
    per_seed = int(sys.argv[3]) if len(sys.argv) > 3 else 150
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
    os.makedirs(output, exist_ok=True)
    written = 0
    for name in sorted(os.listdir(seeds)):
        with open(os.path.join(seeds, name), "rb") as f:
            seed = f.read()
        flags, db = seed[0], seed[1:]
        stretches, cells = free_stretches(db)
        if not stretches:
            continue
        for i in range(per_seed):
            # Bit 6 of the flag byte also runs ParseMessages and the row dumps.
            flag = flags | rng.choice((0, 0x40))
            with open(os.path.join(output, "%s-%d" % (name, i)), "wb") as f:
                f.write(bytes([flag]) + mutate(db, stretches, cells, rng))
            written += 1
    print("%d mutants in %s" % (written, output))


if __name__ == "__main__":
    main()
