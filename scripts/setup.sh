#!/bin/sh
# Installs what the build and the tests need on a Debian machine, once.
# Safe to run again: it does nothing when everything is there.
set -e

PKGS="build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
      libgtest-dev libgmock-dev libxml2-dev
      mingw-w64 mingw-w64-tools libwine-dev
      wine wine64 fonts-wine xvfb x11-utils xdotool imagemagick fonts-dejavu-core
      python3 util-linux"
PKGS32="wine32:i386"

missing=""
for p in $PKGS $PKGS32; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
        || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "setup: installing$missing"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $PKGS $PKGS32 >/dev/null
echo "setup: done"
