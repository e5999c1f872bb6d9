#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Check a password against userData.txt, as initHashData wrote it.

usage: checkPassword.py USER [FILE] < password

The password is the first line of standard input (without its newline), so
that it never shows in a process listing. FILE is userData.txt by default.
Exit status: 0 if the password matches the first record of USER, 1 if it
does not or there is no such user, 2 on a usage error or a file that cannot
be read.

As a module: field_hash(data) is the number that stands in field 2 for the
password bytes `data`; doc/fieldHash.md gives the steps.
"""

import os
import re
import sys

USAGE = "usage: checkPassword.py USER [FILE] < password"
SEED = 0xC70F6907
M = 0x5BD1E995
MASK = 0xFFFFFFFF

# Fields 1 to 3 end at a colon and may hold newlines; field 4 ends at a newline.
RECORD = re.compile(rb"([^:]*):([^:]*):([^:]*):([^\n]*)\n")


def field_hash(data: bytes) -> int:
    """32-bit MurmurHash2 of `data` with initHashData's seed."""
    length = len(data)
    h = SEED ^ length
    blocks_end = length - length % 4
    for i in range(0, blocks_end, 4):
        # Little-endian whatever the machine, as the tool reads it.
        k = int.from_bytes(data[i : i + 4], "little")
        k = (k * M) & MASK
        k ^= k >> 24
        k = (k * M) & MASK
        h = ((h * M) & MASK) ^ k
    tail = data[blocks_end:]
    if tail:
        # Indexing bytes gives 0..255, never a negative byte.
        for shift, byte in enumerate(tail):
            h ^= byte << (8 * shift)
        h = (h * M) & MASK
    h ^= h >> 13
    h = (h * M) & MASK
    h ^= h >> 15
    return h


def password_matches(password: bytes, field2: bytes) -> bool:
    """Whether `password` matches `field2`, the second field of a record."""
    return str(field_hash(password)).encode("ascii") == field2


def main(argv: list) -> int:
    if len(argv) not in (2, 3):
        print(USAGE, file=sys.stderr)
        return 2
    # Bytes, so that names and passwords that are not UTF-8 still match.
    user = os.fsencode(argv[1])
    path = argv[2] if len(argv) == 3 else "userData.txt"
    password = sys.stdin.buffer.readline()
    if password.endswith(b"\n"):
        password = password[:-1]
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        print(f"checkPassword: cannot read {path!r}: {error.strerror}", file=sys.stderr)
        return 2
    for record in RECORD.finditer(data):
        if record[1] == user:
            return 0 if password_matches(password, record[2]) else 1
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
