#!/bin/sh
# The demo: a substitute printer (m301sim) on a pseudo-terminal, the demo
# program driving it through the engine, then the paper it printed and the
# engine's debug log.
#
# Usage: sh examples/run-demo.sh [BUILD_DIR]   (default build/linux)
set -eu

BUILD=${1:-build/linux}
SIM="$BUILD/sim/m301sim"
DEMO="$BUILD/examples/brenvik_demo"
for program in "$SIM" "$DEMO"; do
    if [ ! -x "$program" ]; then
        echo "run-demo: $program is missing; build first (make demo does)" >&2
        exit 1
    fi
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/brenvik-demo.XXXXXX")
SIM_PID=
cleanup() {
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

rule() { printf '\n%s\n%s\n' "$1" "------------------------------------------------------------------------"; }

rule "Starting the substitute printer m301sim on a pseudo-terminal ($WORK/com3)"
"$SIM" --link "$WORK/com3" --control "$WORK/control" --journal "$WORK/journal.txt" \
    >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
# The link appears once the printer is ready to answer.
tries=0
while [ ! -e "$WORK/com3" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$SIM_PID" 2>/dev/null; then
        echo "run-demo: the simulator did not come up:" >&2
        cat "$WORK/sim.out" >&2
        exit 1
    fi
    sleep 0.1
done
echo "ready: COM3 is $(readlink "$WORK/com3" 2>/dev/null || echo "$WORK/com3")"

rule "The cash-register program (examples/demo.cpp)"
status=0
BRENVIK_PORTS_DIR="$WORK" "$DEMO" 3 || status=$?

kill "$SIM_PID" 2>/dev/null || true
wait "$SIM_PID" 2>/dev/null || true
SIM_PID=

rule "What the printer printed (the simulator's journal)"
if [ -s "$WORK/journal.txt" ]; then
    cat "$WORK/journal.txt"
else
    echo "(nothing)"
fi

LOG="$(dirname "$DEMO")/Pelmora.log"
rule "The end of the engine's debug log, $LOG (code page 1251, shown in UTF-8)"
if [ -f "$LOG" ]; then
    tail -n 30 "$LOG" | iconv -f CP1251 -t UTF-8
else
    echo "(no log)"
fi
exit "$status"
