#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks of what is shipped: the manual page, the install layout, the Debian
# and RPM packages, the field hash library as another project uses it, and
# this project as another project's subdirectory. Exits 77 (skipped) when a
# needed program is missing.
# usage: packaging.sh man|install|deb|rpm|library|subproject SOURCE_DIR BUILD_DIR TOOL
# environment, for a cross build: INITHASHDATA_EMULATOR (the command that runs
# its programs) and INITHASHDATA_MACHINE (uname -m of the machine it is for).
set -euo pipefail
check=$1 source=$2 build=$3 tool=$4
emulator=${INITHASHDATA_EMULATOR:-}
machine=${INITHASHDATA_MACHINE:-$(uname -m)}
case $machine in
x86_64) debianMachine=amd64 ;;
aarch64) debianMachine=arm64 ;;
*) debianMachine=$machine ;;
esac
need() { command -v "$1" >/dev/null || { echo "skipped: $1 is missing"; exit 77; }; }
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A sanitized build's library only links with the same flags; only a Release build is what is shipped.
buildFlags=$(sed -n 's/^CMAKE_CXX_FLAGS:STRING=//p' "$build/CMakeCache.txt")
buildType=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")

# Converts the bundled sample with the tool given, in a fresh directory; prints the output.
# Installs the build into $1, keeping the build's install_manifest.txt, which
# names what its user installed and is how they uninstall it.
installInto() {
  local manifest="$build/install_manifest.txt"
  [ ! -e "$manifest" ] || cp "$manifest" "$work/manifest.kept"
  cmake --install "$build" --prefix "$1" >/dev/null
  if [ -e "$work/manifest.kept" ]; then mv "$work/manifest.kept" "$manifest"; else rm -f "$manifest"; fi
}

convertSample() {
  mkdir -p "$work/run" && cp "$source/examples/users.txt" "$work/run/"
  # shellcheck disable=SC2086
  (cd "$work/run" && rm -f userData.txt && printf '%s\n' users.txt | $emulator "$1" && cat userData.txt)
}

# Fails with "$1 needs ..." where the text on standard input names a GLIBC
# symbol version newer than 2.28, RHEL 8's.
glibcUpTo228() {
  local newest
  newest=$(grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1 || true)
  [ "$(printf '%s\n' GLIBC_2.28 "${newest:-GLIBC_2.28}" | sort -V | tail -1)" = GLIBC_2.28 ] ||
    fail "$1 needs $newest, newer than the 2.28 of RHEL 8"
}

# The shipped tool (a Release build's): position-independent, with full RELRO
# and immediate binding, needing no C library newer than 2.28 (none at all,
# linked static), and built with the stack protector, _FORTIFY_SOURCE and
# stack-clash protection in every compile command of its own code.
checkExecutable() {
  local exe=$1 dynamic commands flag
  [ "$buildType" = Release ] || return 0
  need readelf
  [ "$(readelf -hW "$exe" | awk '$1 == "Type:" {print $2}')" = DYN ] || fail "$exe is not position-independent"
  readelf -lW "$exe" | grep -q GNU_RELRO || fail "$exe has no RELRO"
  dynamic=$(readelf -dW "$exe")
  grep -q 'FLAGS.*BIND_NOW' <<<"$dynamic" && grep -q 'FLAGS_1.*NOW.*PIE' <<<"$dynamic" || fail "$exe binds lazily"
  readelf -VW "$exe" | glibcUpTo228 "$exe"
  [ -f "$build/build.ninja" ] || return 0
  commands=$(cmake --build "$build" -- -t commands initHashData | grep -- ' -c .*/src/')
  for flag in -fstack-protector-strong -D_FORTIFY_SOURCE=2 -fstack-clash-protection; do
    ! grep -v -- "$flag" <<<"$commands" | grep -q . || fail "a compile command of the tool lacks $flag"
  done
}

# Builds the ten-line consumer against the tree installed under $1, both with
# CMake's find_package and with pkg-config, and checks the hashes it prints.
checkConsumer() {
  local prefix=$1 expected=$'1087378769\n3990065800'
  cmake -S "$source/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="$buildFlags" >/dev/null
  cmake --build "$work/consumer" >/dev/null
  [ "$("$work/consumer/checkPassword" hunter2 '')" = "$expected" ] || fail "find_package consumer gives wrong hashes"
  local pcdir
  pcdir=$(dirname "$(find "$prefix" -name initHashData.pc)")
  # shellcheck disable=SC2046,SC2086
  g++ -std=c++17 $buildFlags -o "$work/pkgConsumer" "$source/tests/consumer/checkPassword.cpp" \
    $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs initHashData)
  [ "$("$work/pkgConsumer" hunter2 '')" = "$expected" ] || fail "pkg-config consumer gives wrong hashes"
}

# What a colleague needs to write a checker, in every package.
documents=(/usr/share/doc/inithashdata/fieldHash.md /usr/share/doc/inithashdata/examples/checkPassword.py
  /usr/share/doc/inithashdata/examples/checkPassword.js)

case $check in
man)
  need groff
  warnings=$(groff -man -ww -z "$source/doc/initHashData.1" 2>&1)
  [ -z "$warnings" ] || fail "groff warns: $warnings"
  if command -v mandoc >/dev/null; then
    lint=$(mandoc -T lint -W warning "$source/doc/initHashData.1" 2>&1 || true)
    [ -z "$lint" ] || fail "mandoc warns: $lint"
  fi
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES NOTES EXAMPLES "SEE ALSO"; do
    grep -q "^\.SH $section\$" "$source/doc/initHashData.1" || fail "no $section section"
  done
  ;;
install)
  installInto "$work/prefix"
  for file in bin/initHashData share/man/man1/initHashData.1.gz share/doc/inithashdata/copyright \
    share/doc/inithashdata/changelog.gz include/initHashData/fieldHash.hpp; do
    [ -e "$work/prefix/$file" ] || fail "$file not installed"
  done
  [ "$(convertSample "$work/prefix/bin/initHashData")" = "$(convertSample "$tool")" ] || fail "installed tool differs"
  ;;
deb)
  need cpack && need dpkg-deb && need dpkg-shlibdeps
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null)
  deb=$(ls "$work"/out/*.deb)
  info=$(dpkg-deb -f "$deb" Package Section Maintainer Architecture Depends Description)
  for field in "Package: inithashdata" "Section: utils" "Maintainer: " "Architecture: $debianMachine$" \
    "Description: convert"; do
    grep -q "^$field" <<<"$info" || fail "control lacks '$field' in: $info"
  done
  dpkg-deb -x "$deb" "$work/root"
  # A dynamic tool's package names the C library it needs; a static one needs none.
  if readelf -dW "$work/root/usr/bin/initHashData" | grep -q NEEDED; then
    grep -q "^Depends: .*libc6" <<<"$info" || fail "a dynamic tool's package does not depend on libc6: $info"
  else
    ! grep -q "^Depends:" <<<"$info" || fail "a static tool's package depends on something: $info"
  fi
  checkExecutable "$work/root/usr/bin/initHashData"
  [ -f "$work/root/usr/share/man/man1/initHashData.1.gz" ] || fail "the package lacks the compressed manual page"
  grep -q '^License: MIT' "$work/root/usr/share/doc/inithashdata/copyright" || fail "the package lacks the licence"
  grep -q 'status 2' <<<"$info" || fail "the description does not name status 2: $info"
  listing=$(dpkg -c "$deb" | awk '{print $1, substr($NF, 2)}')
  for file in "${documents[@]}"; do
    grep -qx -- "-rw-r--r-- $file" <<<"$listing" || fail "the package lacks $file, not executable: $listing"
  done
  [ "$(convertSample "$work/root/usr/bin/initHashData")" = "$(convertSample "$tool")" ] || fail "packaged tool differs"
  if [ -z "$emulator" ]; then
    checkConsumer "$work/root/usr"
  fi
  if [ "$buildType" != Release ]; then
    echo "not linted: a $buildType build is not what is shipped"
  elif command -v lintian >/dev/null; then
    tags=$(lintian -I --pedantic "$deb" 2>/dev/null || true)
    echo "$tags"
    ! grep -qE '^(E|W): |hardening-no-' <<<"$tags" || fail "lintian objects to the package"
  else
    echo "lintian is missing: the package was not linted"
  fi
  ;;
rpm)
  need cpack && need rpmbuild && need rpm && need rpm2cpio && need cpio
  # Built again in the layout of the systems the package is for.
  toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt")
  static=$(sed -n 's/^INITHASHDATA_STATIC:BOOL=//p' "$build/CMakeCache.txt")
  cmake -S "$source" -B "$work/rpmBuild" -G Ninja -DCMAKE_BUILD_TYPE="$buildType" -DCMAKE_CXX_FLAGS="$buildFlags" \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} -DINITHASHDATA_STATIC="${static:-ON}" -DBUILD_TESTING=OFF \
    -DINITHASHDATA_PACKAGE_FAMILY=rpm >/dev/null
  cmake --build "$work/rpmBuild" >/dev/null
  (cd "$work" && cpack -G RPM --config "$work/rpmBuild/CPackConfig.cmake" -B "$work/out" >/dev/null)
  rpmFile=$work/out/inithashdata-$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")-1.$machine.rpm
  develFile=${rpmFile/inithashdata-/inithashdata-devel-}
  [ -f "$rpmFile" ] && [ -f "$develFile" ] || fail "no tool and devel packages named for $machine: $(ls "$work/out")"
  [ "$(rpm -qp --qf '%{ARCH}' "$rpmFile" 2>/dev/null)" = "$machine" ] || fail "the package is not for $machine"
  info=$(rpm -qip "$rpmFile" 2>/dev/null)
  for field in "License *: MIT" "Summary *: convert a plain user data file" "Description :"; do
    grep -q "^$field" <<<"$info" || fail "header lacks '$field' in: $info"
  done
  grep -q "initHashData reads the name" <<<"$info" || fail "generic description in: $info"
  grep -q "status 2" <<<"$info" || fail "the description does not name status 2: $info"
  rpm -qip "$develFile" 2>/dev/null | grep -q '^Group *: Development/Libraries' || fail "the devel package's Group is not Development/Libraries"
  modes=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpmFile" 2>/dev/null)
  for file in "${documents[@]}"; do
    grep -qx -- "-rw-r--r-- $file" <<<"$modes" || fail "the package lacks $file, not executable: $modes"
  done
  # Someone who wants the tool alone gets no pkg-config, nor a C library newer than RHEL 8's.
  requires=$(rpm -qpR "$rpmFile" 2>/dev/null)
  ! grep -qi pkgconf <<<"$requires" || fail "the tool's package pulls in pkg-config: $requires"
  [ "$buildType" != Release ] || glibcUpTo228 "the tool's package" <<<"$requires"
  owned=$(rpm -qlp "$rpmFile" "$develFile" 2>/dev/null)
  for system in /usr /usr/bin /usr/share /usr/share/man /usr/share/man/man1 /usr/share/doc /usr/include; do
    ! grep -qx "$system" <<<"$owned" || fail "the packages own the system directory $system"
  done
  grep -qx /usr/share/licenses/inithashdata/LICENSE <<<"$owned" || fail "the package lacks the licence where RPM keeps it"
  ! grep -qE 'libinitHashData|\.pc$|\.hpp$' <<<"$(rpm -qlp "$rpmFile" 2>/dev/null)" || fail "the tool's package holds the library"
  grep -qx /usr/lib64/libinitHashDataFieldHash.a <<<"$owned" || fail "the library is not in lib64: $owned"
  mkdir "$work/rpmRoot" && (cd "$work/rpmRoot" && rpm2cpio "$rpmFile" | cpio -idm --quiet)
  mkdir "$work/develRoot" && (cd "$work/develRoot" && rpm2cpio "$develFile" | cpio -idm --quiet)
  if command -v pkg-config >/dev/null; then
    pcdir=$work/develRoot/usr/lib64/pkgconfig
    [ -f "$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=includedir initHashData)/initHashData/fieldHash.hpp" ] &&
      [ -f "$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir initHashData)/libinitHashDataFieldHash.a" ] ||
      fail "the devel package's initHashData.pc points away from its header or library"
  fi
  checkExecutable "$work/rpmRoot/usr/bin/initHashData"
  [ "$(convertSample "$work/rpmRoot/usr/bin/initHashData")" = "$(convertSample "$tool")" ] || fail "packaged tool differs"
  ;;
library)
  need pkg-config
  installInto "$work/prefix"
  checkConsumer "$work/prefix"
  ;;
subproject)
  # A host with its own build type, targets named like ours, its own packaging and no GoogleTest.
  mkdir -p "$work/host"
  cat >"$work/host/CMakeLists.txt" <<HOST
cmake_minimum_required(VERSION 3.25)
project(host LANGUAGES CXX)
set(CPACK_PACKAGE_NAME hostpackage)
add_custom_target(demo)
add_executable(unitTests main.cpp)
add_subdirectory("$source" initHashData)
target_link_libraries(unitTests PRIVATE initHashData::fieldHash)
include(CPack)
HOST
  printf '%s\n' '#include <initHashData/fieldHash.hpp>' '#include <iostream>' \
    'int main() { std::cout << initHashData::renderHash(initHashData::fieldHash("hunter2")).view() << "\n"; }' \
    >"$work/host/main.cpp"
  cmake -S "$work/host" -B "$work/hostBuild" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "the host does not configure"; }
  cmake --build "$work/hostBuild" >/dev/null
  [ "$("$work/hostBuild/unitTests")" = 1087378769 ] || fail "the host's program gives a wrong hash"
  grep -q '^CMAKE_BUILD_TYPE:STRING=Debug$' "$work/hostBuild/CMakeCache.txt" || fail "the host's build type changed"
  grep -q 'CPACK_PACKAGE_NAME "hostpackage"' "$work/hostBuild/CPackConfig.cmake" || fail "the host's CPack changed"
  targets=$(cmake --build "$work/hostBuild" --target help)
  ! grep -qE 'Experimental|Nightly|endToEndTests|bench|initHashDataCore|\.\.\. initHashData$' <<<"$targets" ||
    fail "the host got our tool, tests or dashboards"
  [ -z "$(find "$work/hostBuild" -name 'libinitHashDataCore*')" ] || fail "the host builds our tool's modules"
  cmake --install "$work/hostBuild" --prefix "$work/hostPrefix" >/dev/null
  [ -z "$(find "$work/hostPrefix" -type f 2>/dev/null)" ] || fail "the host installs our files: $(find "$work/hostPrefix" -type f)"
  ;;
*) fail "unknown check $check" ;;
esac
echo "passed: $check"
