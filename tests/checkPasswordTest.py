#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Holds examples/checkPassword.py to the library and to the tool's output.

usage: checkPasswordTest.py HASH_SAMPLES TOOL EXAMPLES_DIR
"""

import os
import subprocess
import sys
import tempfile

hash_samples, tool, examples = sys.argv[1:]
sys.path.insert(0, examples)
from checkPassword import field_hash  # noqa: E402

failures = []

samples = subprocess.run([hash_samples], capture_output=True, check=True).stdout.splitlines()
for line in samples:
    hex_bytes, expected = line.decode("ascii").split(" ")
    if str(field_hash(bytes.fromhex(hex_bytes))) != expected:
        failures.append(f"field_hash of bytes {hex_bytes or '(none)'} is not the library's {expected}")
if len(samples) < 1000:
    failures.append(f"only {len(samples)} samples")

# The script on a file the tool wrote: (user, password line, exit status).
cases = [
    ("bob", b"hunter2\n", 0),
    ("bob", b"hunter3\n", 1),
    ("bob", b"hunter2 \n", 1),
    ("ann", b"\xffp\xc3\n", 0),
    ("ann", b"\xffp\xc3", 0),
    ("nobodyHere", b"hunter2\n", 1),
]
with tempfile.TemporaryDirectory() as work:
    with open(os.path.join(work, "users.txt"), "wb") as users:
        users.write(b"bob:hunter2:Bob Builder:staff\nann:\xffp\xc3:Ann:x:y\n")
    subprocess.run([tool], input=b"users.txt\n", cwd=work, check=True)
    script = os.path.join(examples, "checkPassword.py")
    for user, password, expected in cases:
        status = subprocess.run([sys.executable, script, user], input=password, cwd=work).returncode
        if status != expected:
            failures.append(f"{user} with {password!r} exits {status}, not {expected}")
    usage = subprocess.run([sys.executable, script], input=b"", cwd=work, capture_output=True)
    missing = subprocess.run([sys.executable, script, "bob", "absent.txt"], input=b"x\n", cwd=work, capture_output=True)
    for name, run in (("no user", usage), ("a missing file", missing)):
        if run.returncode != 2 or not run.stderr:
            failures.append(f"with {name} the script exits {run.returncode} saying {run.stderr!r}, not 2 and why")

print("\n".join(failures) or f"{len(samples)} samples and {len(cases)} checks of the script agree")
sys.exit(1 if failures else 0)
