#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Converts the bundled sample, the fuzz corpus and an 8 MiB generated input
# with the native build and with another command (a cross build under its
# emulator), and fails unless both write the same bytes, with the same status
# and warnings.
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
  for side in native other; do
    command=("$@")
    [ $side = other ] || command=("$native/initHashData")
    (cd "$work/$side" && rm -f userData.txt && printf '%s\n' "$input" | "${command[@]}" 2>"$work/$side/err" &&
      echo "status 0" >>"$work/$side/err" || echo "status $?" >>"$work/$side/err")
    sed -i "s|$work/$side/|DIR/|g" "$work/$side/err"
  done
  cmp "$work/native/userData.txt" "$work/other/userData.txt"
  diff "$work/native/err" "$work/other/err" || { echo "other warnings or status for $input"; exit 1; }
  inputs=$((inputs + 1))
done
echo "the same bytes for $inputs inputs"
