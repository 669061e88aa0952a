#!/bin/sh
# wine-run.sh win64|win32 COMMAND [ARG...]
# Runs a Wine test with `wine` meaning a loader this machine can start.
# win32: the test needs 32-bit Windows programs (a 32-bit prefix, or an
# installer, which is a 32-bit program); where the kernel cannot run 32-bit
# programs at all, the test is skipped (77) with the reason, not failed.
need="$1"; shift
[ -n "$need" ] && [ $# -gt 0 ] || { echo "usage: $0 win64|win32 COMMAND [ARG...]" >&2; exit 2; }
here="$(cd "$(dirname "$0")" && pwd)"
PATH="$here/wine-bin:$PATH"
export PATH
if [ "$need" = win32 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "skipped: this machine cannot start 32-bit programs (/usr/lib/wine/wine will not run)"
    exit 77
fi
exec "$@"
