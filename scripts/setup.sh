#!/bin/sh
# Installs the Debian packages a make target needs, once.
# Safe to run again: it does nothing when everything is there.
#
# Usage: sh scripts/setup.sh [demo|test]   (default: test, which is everything)
#   demo  the native toolchain and the libraries of the Linux programs
#   test  the above, plus the cross toolchains, Wine, Xvfb, NSIS, Chromium
#         and the test libraries
set -e

target=${1:-test}

# Native build of the engine, libbrenvik, brenvik, brenvikd and m301sim.
NATIVE="build-essential cmake ninja-build pkg-config
        libcli11-dev nlohmann-json3-dev libcpp-httplib-dev libboost-dev libsqlite3-dev
        python3 util-linux curl"
# Tests, the fuzzer, the cross builds and what runs them.
TESTING="clang libclang-rt-14-dev libgtest-dev libgmock-dev libxml2-dev sqlite3
         mingw-w64 mingw-w64-tools libwine-dev nsis
         wine wine64 fonts-wine xvfb x11-utils xdotool imagemagick fonts-dejavu-core
         chromium"
TESTING32="wine32:i386"

case "$target" in
    demo) PKGS="$NATIVE" ;;
    test) PKGS="$NATIVE $TESTING $TESTING32" ;;
    *) echo "setup: unknown target '$target' (demo or test)" >&2; exit 2 ;;
esac

missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
        || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "setup: installing$missing"
case "$missing" in
    *:i386*)
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            $SUDO dpkg --add-architecture i386
        fi ;;
esac
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
echo "setup: done"
