#!/usr/bin/env bash
# Checks of what is shipped: the manual page, the install layout and the
# Debian package. Exits 77 (skipped) when a needed program is missing.
# usage: packaging.sh man|install|deb SOURCE_DIR BUILD_DIR TOOL
set -euo pipefail
check=$1 source=$2 build=$3 tool=$4
need() { command -v "$1" >/dev/null || { echo "skipped: $1 is missing"; exit 77; }; }
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Converts the bundled sample with the tool given, in a fresh directory; prints the output.
convertSample() {
  mkdir -p "$work/run" && cp "$source/examples/users.txt" "$work/run/"
  (cd "$work/run" && rm -f userData.txt && echo users.txt | "$1" && cat userData.txt)
}

case $check in
man)
  need groff
  warnings=$(groff -man -ww -z "$source/doc/initHashData.1" 2>&1)
  [ -z "$warnings" ] || fail "groff warns: $warnings"
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES NOTES EXAMPLES; do
    grep -q "^\.SH $section\$" "$source/doc/initHashData.1" || fail "no $section section"
  done
  ;;
install)
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  [ -x "$work/prefix/bin/initHashData" ] || fail "bin/initHashData not installed"
  [ -f "$work/prefix/share/man/man1/initHashData.1" ] || fail "share/man/man1/initHashData.1 not installed"
  [ "$(convertSample "$work/prefix/bin/initHashData")" = "$(convertSample "$tool")" ] || fail "installed tool differs"
  ;;
deb)
  need cpack && need dpkg-deb && need dpkg-shlibdeps
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null)
  deb=$(ls "$work"/out/*.deb)
  info=$(dpkg-deb -f "$deb" Package Section Maintainer Depends Description)
  for field in "Package: inithashdata" "Section: utils" "Maintainer: " "Depends: .*libc6" "Description: convert"; do
    grep -q "^$field" <<<"$info" || fail "control lacks '$field' in: $info"
  done
  dpkg-deb -x "$deb" "$work/root"
  [ -f "$work/root/usr/share/man/man1/initHashData.1" ] || fail "the package lacks the manual page"
  [ "$(convertSample "$work/root/usr/bin/initHashData")" = "$(convertSample "$tool")" ] || fail "packaged tool differs"
  ;;
*) fail "unknown check $check" ;;
esac
echo "passed: $check"
