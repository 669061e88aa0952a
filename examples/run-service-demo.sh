#!/bin/sh
# The service demo: brenvikd with its simulated printer, a receipt posted
# with curl, the same receipt posted again (the same answer, one check), and
# the paper the printer printed.
#
# Usage: sh examples/run-service-demo.sh [BUILD_DIR]   (default build/linux)
set -eu

BUILD=${1:-build/linux}
DAEMON="$BUILD/service/brenvikd"
if [ ! -x "$DAEMON" ]; then
    echo "run-service-demo: $DAEMON is missing; build first (make demo does)" >&2
    exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/brenvikd-demo.XXXXXX")
PID=
cleanup() {
    if [ -n "$PID" ]; then
        kill "$PID" 2>/dev/null || true
        wait "$PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

rule() { printf '\n%s\n%s\n' "$1" "------------------------------------------------------------------------"; }

rule "Starting brenvikd --simulate (a simulated printer 'sim', loopback only)"
"$DAEMON" --simulate --listen 127.0.0.1:0 --ledger "$WORK/ledger.db" --log-dir "$WORK" \
    --sim-journal "$WORK/journal.txt" >"$WORK/brenvikd.out" 2>&1 &
PID=$!
tries=0
while ! grep -q "listening on" "$WORK/brenvikd.out"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 300 ] || ! kill -0 "$PID" 2>/dev/null; then
        echo "run-service-demo: brenvikd did not come up:" >&2
        cat "$WORK/brenvikd.out" >&2
        exit 1
    fi
    sleep 0.1
done
cat "$WORK/brenvikd.out"
URL=$(sed -n 's|.*listening on \(http://[^ ]*\)/ .*|\1|p' "$WORK/brenvikd.out")

cat >"$WORK/receipt.json" <<'JSON'
{
  "requestId": "demo-0001",
  "type": "sale",
  "items": [
    {"name": "Хліб житній", "quantity": 2, "price": "18.50", "tax": 1},
    {"name": "Молоко 2,5%", "quantity": 1, "price": "32.90", "tax": 2}
  ],
  "payments": {"cash": "100.00"}
}
JSON

rule "POST $URL/printers/sim/receipt"
cat "$WORK/receipt.json"
echo
curl -sS -H 'Content-Type: application/json' --data-binary @"$WORK/receipt.json" "$URL/printers/sim/receipt"
echo

rule "The same request again (a retry): the stored answer, nothing printed twice"
curl -sS -i -H 'Content-Type: application/json' --data-binary @"$WORK/receipt.json" \
    "$URL/printers/sim/receipt" | tr -d '\r' | grep -E '^(HTTP|Brenvik-Repeated|\{)'

rule "GET $URL/printers/sim/status"
curl -sS "$URL/printers/sim/status"
echo

kill "$PID" 2>/dev/null || true
wait "$PID" 2>/dev/null || true
PID=

rule "What the printer printed (the simulator's journal)"
if [ -s "$WORK/journal.txt" ]; then
    cat "$WORK/journal.txt"
else
    echo "(nothing)"
fi
