#!/bin/sh
# wine-prefix.sh win64|win32 DIR
# Makes a throw-away Wine prefix in DIR. The first call per architecture
# boots a template prefix (slow, ~20 s); later calls copy it (fast).
# The template lives in $BRENVIK_WINE_CACHE (the build tree sets one on its
# own file system, else a directory in /tmp keyed by user), guarded by a
# lock so parallel tests share one boot.
set -e
arch="$1"; dir="$2"
[ -n "$arch" ] && [ -n "$dir" ] || { echo "usage: $0 win64|win32 DIR" >&2; exit 2; }
PATH="$(cd "$(dirname "$0")" && pwd)/wine-bin:$PATH"
export PATH
cache="${BRENVIK_WINE_CACHE:-/tmp/brenvik-wine-$(id -u)}"
mkdir -p "$cache"
template="$cache/template-$arch"
export WINEDEBUG=-all
(
    flock 9
    if [ ! -f "$template/.ready" ]; then
        rm -rf "$template"
        WINEARCH="$arch" WINEPREFIX="$template" wine wineboot -i >/dev/null 2>&1 || true
        WINEPREFIX="$template" wineserver -w 2>/dev/null || true
        [ -f "$template/system.reg" ] || { echo "wine-prefix: wineboot failed" >&2; exit 1; }
        touch "$template/.ready"
    fi
) 9>"$cache/lock-$arch"
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
# Wine's own programs and libraries (over 600 MB a prefix) are hard links to
# the template's, as nothing a test does writes into them: two dozen full
# copies filled small disks. Everything else, the registry and the .ini
# files that Wine rewrites in place among it, is a file of the prefix's own.
cp -al "$template" "$dir" 2>/dev/null || { rm -rf "$dir"; cp -a "$template" "$dir"; }
rm -f "$dir/.ready"
find "$dir" \( -path "$dir/drive_c/windows/system32" -o -path "$dir/drive_c/windows/syswow64" \
        -o -path "$dir/drive_c/windows/winsxs" \) -prune -o -type f \
    -exec sh -c 'for f; do cp -p "$f" "$f.own" && mv -f "$f.own" "$f"; done' sh {} +
