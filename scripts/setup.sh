#!/bin/sh
# Installs the Debian packages a make target needs, once.
# Safe to run again: it does nothing when everything is there.
#
# Usage: sh scripts/setup.sh [demo|package|test]   (default: test, which is everything)
#   demo     the native toolchain and the libraries of the Linux programs
#   package  the above, plus what builds and checks the Debian packages
#   test     the above, plus the cross toolchains, Wine, Xvfb, NSIS, Chromium
#            and the test libraries; and Debian's SQLite source for the
#            MinGW builds
set -e

target=${1:-test}

# Native build of the engine, libbrenvik, brenvik, brenvikd and m301sim
# (libmosquitto: brenvikd's MQTT connector).
NATIVE="build-essential cmake ninja-build pkg-config
        libcli11-dev nlohmann-json3-dev libcpp-httplib-dev libboost-dev libsqlite3-dev
        libmosquitto-dev python3 util-linux curl"
# Tests, the fuzzer, the cross builds and what runs them (python3-jsonschema:
# the JSON answers against docs/schemas/). The MQTT tests start their own
# mosquitto and talk to it as a cloud program would (paho); /metrics is read
# back with the Prometheus client's own parser. Windows delivery: pandoc
# writes the HTML manual, wixl the MSI (msiinfo reads it back), osslsigncode
# signs and verifies; locales lets the installer tests build the Russian,
# Ukrainian and German locales Wine needs for Cyrillic file names.
TESTING="clang libclang-rt-14-dev libgtest-dev libgmock-dev libxml2-dev sqlite3
         mingw-w64 mingw-w64-tools libwine-dev nsis tcl dpkg-dev
         wine wine64 fonts-wine xvfb x11-utils xdotool imagemagick fonts-dejavu-core
         chromium zsh python3-jsonschema
         mosquitto python3-paho-mqtt python3-prometheus-client
         pandoc wixl msitools osslsigncode locales"
TESTING32="wine32:i386"
# The Debian packages (make package): dpkg-shlibdeps, lintian, `file` for
# CPack, useradd for the maintainer scripts, systemd-analyze for the unit;
# help2man writes the programs' man pages from their --help.
PACKAGING="dpkg-dev lintian file passwd systemd help2man"

case "$target" in
    demo) PKGS="$NATIVE" ;;
    package) PKGS="$NATIVE $PACKAGING" ;;
    test) PKGS="$NATIVE $TESTING $TESTING32 $PACKAGING" ;;
    *) echo "setup: unknown target '$target' (demo, package or test)" >&2; exit 2 ;;
esac

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

# SQLite for the MinGW builds: Debian ships no MinGW build of it, so the
# cross builds compile Debian's own source package (cmake/BrenvikSqlite.cmake).
# It is fetched once, with a deb-src entry for the suite this machine runs,
# into a cache that `make clean` leaves alone.
SQLITE_SOURCE_CACHE=/var/cache/brenvik/sqlite3
sqlite_source() {
    ls "$SQLITE_SOURCE_CACHE"/sqlite3_*.dsc >/dev/null 2>&1 && return 0
    list=/etc/apt/sources.list.d/brenvik-deb-src.sources
    if [ ! -f "$list" ]; then
        suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
        [ -n "$suite" ] || { echo "setup: no VERSION_CODENAME in /etc/os-release" >&2; exit 1; }
        printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
            "Suites: $suite $suite-updates" "Components: main" \
            "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" "" \
            "Types: deb-src" "URIs: http://deb.debian.org/debian-security" "Suites: $suite-security" \
            "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" \
            | $SUDO tee "$list" >/dev/null
    fi
    echo "setup: fetching Debian's sqlite3 source into $SQLITE_SOURCE_CACHE"
    $SUDO apt-get update -qq
    $SUDO mkdir -p "$SQLITE_SOURCE_CACHE"
    (cd "$SQLITE_SOURCE_CACHE" && $SUDO apt-get source -qq --download-only sqlite3 >/dev/null)
    ls "$SQLITE_SOURCE_CACHE"/sqlite3_*.dsc >/dev/null 2>&1 \
        || { echo "setup: apt-get source sqlite3 fetched nothing" >&2; exit 1; }
}

missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
        || missing="$missing $p"
done
if [ -z "$missing" ]; then
    [ "$target" = test ] && sqlite_source
    exit 0
fi

echo "setup: installing$missing"
case "$missing" in
    *:i386*)
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            $SUDO dpkg --add-architecture i386
        fi ;;
esac
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
[ "$target" = test ] && sqlite_source
echo "setup: done"
