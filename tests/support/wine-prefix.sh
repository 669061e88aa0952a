#!/bin/sh
# wine-prefix.sh win64|win32 DIR
# Makes a throw-away Wine prefix in DIR. The first call per architecture
# boots a template prefix (slow, ~20 s); later calls copy it (fast).
# The template lives in $BRENVIK_WINE_CACHE (default: a directory in /tmp
# keyed by user), guarded by a lock so parallel tests share one boot.
set -e
arch="$1"; dir="$2"
[ -n "$arch" ] && [ -n "$dir" ] || { echo "usage: $0 win64|win32 DIR" >&2; exit 2; }
cache="${BRENVIK_WINE_CACHE:-/tmp/brenvik-wine-$(id -u)}"
mkdir -p "$cache"
template="$cache/template-$arch"
export WINEDEBUG=-all
(
    flock 9
    if [ ! -f "$template/.ready" ]; then
        rm -rf "$template"
        WINEARCH="$arch" WINEPREFIX="$template" wineboot -i >/dev/null 2>&1 || true
        WINEPREFIX="$template" wineserver -w 2>/dev/null || true
        [ -f "$template/system.reg" ] || { echo "wine-prefix: wineboot failed" >&2; exit 1; }
        touch "$template/.ready"
    fi
) 9>"$cache/lock-$arch"
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
cp -a "$template" "$dir"
rm -f "$dir/.ready"
