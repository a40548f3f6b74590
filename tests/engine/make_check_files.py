#!/usr/bin/python3
"""Writes the reference files of the check tests and their MD5 (hashlib) and CRC-32 (zlib) into a folder.

Each file holds pseudo-random bytes from a seed of its own, so the files are the same on every run.
expected.txt has one line per file: name, size, MD5 as lower-case hex, CRC-32 as unsigned decimal.
spans.txt has the CRC-32 of pieces of spans.bin: one line per piece with its offset, length and CRC-32, for
every start within 16 bytes of alignment and lengths around every step of the folding method (64-byte
rounds, 16-byte rounds, tails under 16).
"""
import hashlib
import os
import random
import sys
import zlib

BLOCK = 65536  # the allocation granularity the MD5 check reads with
MIB = 1048576  # the CRC-32 check's block
SPAN_BYTES = 6000  # the file of spans.txt

# Around the MD5 padding (55/56/57, 63/64/65, 119/120), around one and a few mapped blocks, past several
# CRC-32 blocks, and one large file that ends off every block boundary.
SIZES = [0, 1, 55, 56, 57, 63, 64, 65, 119, 120, BLOCK - 1, BLOCK, BLOCK + 1, 3 * BLOCK + 1,
         4 * MIB + 17, 48 * MIB + 3]


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    lines = []
    files = [("digits", b"123456789")]
    files += [("random-%d" % size, random.Random(size).randbytes(size)) for size in SIZES]
    for name, data in files:
        with open(os.path.join(folder, name + ".bin"), "wb") as f:
            f.write(data)
        lines.append("%s %d %s %d\n" % (name, len(data), hashlib.md5(data).hexdigest(), zlib.crc32(data)))
    spans = random.Random("spans").randbytes(SPAN_BYTES)
    with open(os.path.join(folder, "spans.bin"), "wb") as f:
        f.write(spans)
    with open(os.path.join(folder, "spans.txt"), "w") as f:
        for offset in range(17):
            for length in list(range(300)) + list(range(300, SPAN_BYTES - offset, 37)) + [SPAN_BYTES - offset]:
                f.write("%d %d %d\n" % (offset, length, zlib.crc32(spans[offset:offset + length])))
    # Written last: its presence means the set is complete.
    with open(os.path.join(folder, "expected.txt"), "w") as f:
        f.writelines(lines)


if __name__ == "__main__":
    main()
