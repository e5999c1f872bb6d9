#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Converts the bundled sample, the fuzz corpus and an 8 MiB generated input
# with the native build and with another command (a cross build under its
# emulator), and fails unless both write the same bytes.
#
# usage: sameBytes.sh SOURCE_DIR NATIVE_BUILD_DIR COMMAND...
set -euo pipefail
source=$1 native=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$native/bench/generateUsers" $((8 * 1048576)) "$work/generated.txt"
cp "$source/examples/users.txt" "$source"/fuzz/corpus/* "$work/"
mkdir "$work/native" "$work/other"
inputs=0
for input in "$work"/*; do
  [ -f "$input" ] || continue
  (cd "$work/native" && rm -f userData.txt && printf '%s\n' "$input" | "$native/initHashData")
  (cd "$work/other" && rm -f userData.txt && printf '%s\n' "$input" | "$@")
  cmp "$work/native/userData.txt" "$work/other/userData.txt"
  inputs=$((inputs + 1))
done
echo "the same bytes for $inputs inputs"
