#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Holds examples/checkPassword.py, or with "node" examples/checkPassword.js,
to the library and to the tool's output.

usage: checkPasswordTest.py HASH_SAMPLES TOOL EXAMPLES_DIR [node]
"""

import os
import subprocess
import sys
import tempfile

hash_samples, tool, examples = sys.argv[1:4]
node = sys.argv[4:] == ["node"]
script = os.path.abspath(os.path.join(examples, "checkPassword.js" if node else "checkPassword.py"))
checker = ["node", script] if node else [sys.executable, script]
# The checker's hash of each line of hex bytes on standard input, one a line.
hash_lines = (
    "const {fieldHash} = require(process.argv[1]);"
    "for (const hex of require('fs').readFileSync(0, 'latin1').split('\\n').slice(0, -1))"
    "  console.log(fieldHash(Buffer.from(hex, 'hex')));"
    if node
    else "import sys; sys.path.insert(0, sys.argv[1]); from checkPassword import field_hash\n"
    "for hex in sys.stdin.read().splitlines(): print(field_hash(bytes.fromhex(hex)))"
)

failures = []

samples = subprocess.run([hash_samples], capture_output=True, check=True).stdout.splitlines()
hex_lines = "".join(line.decode("ascii").split(" ")[0] + "\n" for line in samples)
hashes = subprocess.run(
    [checker[0], "-e" if node else "-c", hash_lines, script if node else examples],
    input=hex_lines.encode("ascii"),
    capture_output=True,
    check=True,
).stdout.splitlines()
for line, got in zip(samples, hashes + [b"(none)"] * len(samples)):
    hex_bytes, expected = line.decode("ascii").split(" ")
    if got.decode("ascii") != expected:
        failures.append(f"the hash of bytes {hex_bytes or '(none)'} is {got!r}, not the library's {expected}")
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
    for user, password, expected in cases:
        status = subprocess.run(checker + [user], input=password, cwd=work).returncode
        if status != expected:
            failures.append(f"{user} with {password!r} exits {status}, not {expected}")
    usage = subprocess.run(checker, input=b"", cwd=work, capture_output=True)
    missing = subprocess.run(checker + ["bob", "absent.txt"], input=b"x\n", cwd=work, capture_output=True)
    for name, run in (("no user", usage), ("a missing file", missing)):
        if run.returncode != 2 or not run.stderr:
            failures.append(f"with {name} the script exits {run.returncode} saying {run.stderr!r}, not 2 and why")

print("\n".join(failures) or f"{len(samples)} samples and {len(cases)} checks of the script agree")
sys.exit(1 if failures else 0)
