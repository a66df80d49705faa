#!/usr/bin/env python3
"""Packs each table family of a corpus of Paradox files into one fuzz input.

Usage: pack_seeds.py CORPUS_DIR OUT_DIR

The container is the one fuzz/family_scan.h describes: per member a 4-byte
NUL-padded extension, a little-endian u32 length, the bytes. Index and
validity files come first and the .MB last, so that an input cut to the
fuzzer's length limit still holds the small members and the table.
"""
import os
import re
import struct
import sys

KNOWN = re.compile(r"^(DB|PX|MB|VAL|[XY][0-9A-F]{2}|[XY]G[0-9A-Z])$")


def order(ext):
    return {"DB": 1, "MB": 2}.get(ext, 0)


def pack(members):
    out = b""
    for ext, data in sorted(members, key=lambda m: (order(m[0]), m[0])):
        out += ext.encode().ljust(4, b"\0") + struct.pack("<I", len(data)) + data
    return out


def main(corpus, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    count = 0
    for root, _, files in os.walk(corpus):
        by_stem = {}
        for name in files:
            stem, dot, ext = name.rpartition(".")
            if dot and KNOWN.match(ext.upper()):
                by_stem.setdefault(stem.upper(), []).append((ext.upper(), name))
        for stem, entries in sorted(by_stem.items()):
            if not any(ext == "DB" for ext, _ in entries):
                continue
            members = []
            for ext, name in entries:
                with open(os.path.join(root, name), "rb") as f:
                    members.append((ext, f.read()))
            seed = os.path.basename(root) + "-" + stem.lower()
            with open(os.path.join(out_dir, seed), "wb") as f:
                f.write(pack(members))
            count += 1
    print(f"{count} seeds in {out_dir}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
