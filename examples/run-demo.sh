#!/bin/sh
# The demo: a substitute printer (m301sim) on a pseudo-terminal, driven by
# the brenvik tool as a shop would drive a real one: its status, a receipt,
# an X-report and the cash; then the paper it printed and the debug log.
#
# Usage: sh examples/run-demo.sh [BUILD_DIR]   (default build/linux)
set -eu

BUILD=${1:-build/linux}
SIM="$BUILD/sim/m301sim"
BRENVIK="$BUILD/cli/brenvik"
for program in "$SIM" "$BRENVIK"; do
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
run() { printf '$ %s\n' "$*" | sed "s|$WORK|\$WORK|g; s|$BUILD/cli/||"; "$@"; }

PRINTER="$WORK/printer"
rule "A substitute printer, m301sim, on a pseudo-terminal: $PRINTER (a real one is /dev/ttyUSB0)"
"$SIM" --link "$PRINTER" --journal "$WORK/paper.txt" >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
# The link appears once the printer is ready to answer.
tries=0
while [ ! -e "$PRINTER" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$SIM_PID" 2>/dev/null; then
        echo "run-demo: the simulator did not come up:" >&2
        cat "$WORK/sim.out" >&2
        exit 1
    fi
    sleep 0.1
done

export BRENVIK_LOG_DIR="$WORK"
status=0
rule "The printer"
run "$BRENVIK" --device "$PRINTER" status || status=$?

cat >"$WORK/sale.json" <<'JSON'
{"type": "sale",
 "items": [{"name": "Хліб житній", "quantity": 2, "price": "18.50", "tax": 1},
           {"name": "Сир твердий", "quantity": 350, "price": "400.00", "weighed": true, "tax": 2},
           {"name": "Кава мелена", "quantity": 1, "price": "145.00", "tax": 1, "discount": "5.00"}],
 "texts": [{"text": "Дякуємо за покупку!"}],
 "payments": {"cash": "400.00"}}
JSON
rule "A receipt from a JSON document (sale.json: three lines, paid in cash)"
run "$BRENVIK" --device "$PRINTER" --cashier "Олена" --password 1111 receipt "$WORK/sale.json" || status=$?

rule "An X-report, and the cash registers as JSON"
run "$BRENVIK" --device "$PRINTER" x-report || status=$?
run "$BRENVIK" --device "$PRINTER" --json cash || status=$?

kill "$SIM_PID" 2>/dev/null || true
wait "$SIM_PID" 2>/dev/null || true
SIM_PID=

rule "What the printer printed (the simulator's paper)"
if [ -s "$WORK/paper.txt" ]; then
    cat "$WORK/paper.txt"
else
    echo "(nothing)"
fi

rule "The end of the debug log, $WORK/Pelmora.log (code page 1251, shown in UTF-8)"
if [ -f "$WORK/Pelmora.log" ]; then
    tail -n 12 "$WORK/Pelmora.log" | iconv -f CP1251 -t UTF-8
else
    echo "(no log)"
fi
exit "$status"
