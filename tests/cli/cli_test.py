#!/usr/bin/env python3
"""Every brenvik subcommand against m301sim, text and --json, compared with
the expected output; a refused operation, a silent printer, a missing device,
bad input and the Z-report's question.

usage: cli_test.py BRENVIK M301SIM
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from schemas import Schemas  # noqa: E402

BRENVIK, M301SIM = sys.argv[1], sys.argv[2]
failures = []


def check(name, ok, detail=""):
    if not ok:
        failures.append(f"{name}: {detail}")


class Sim:
    def __init__(self, work):
        self.link = os.path.join(work, "com3")
        self.control = os.path.join(work, "ctl")
        self.proc = subprocess.Popen(
            [M301SIM, "--link", self.link, "--control", self.control,
             "--journal", os.path.join(work, "paper.txt")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.exists(self.link) and os.path.exists(self.control):
                return
            time.sleep(0.02)
        raise SystemExit("m301sim did not start")

    def send(self, line):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(self.control)
            s.sendall((line + "\n").encode())
            return s.makefile().readline().strip()

    def state(self):
        return json.loads(self.send("state"))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def run(work, *args, stdin=None, device=None):
    cmd = [BRENVIK, "--device", device or os.path.join(work, "com3"),
           "--log-dir", work, "--timeout", "1", "--cashier", "Олена"] + list(args)
    p = subprocess.run(cmd, input=stdin, capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


CLOCK = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d")


def masked(text):
    return CLOCK.sub("CLOCK", text)


def expect(work, name, args, code, stdout=None, stderr=None, stdin=None, device=None):
    got_code, out, err = run(work, *args, stdin=stdin, device=device)
    check(name + " exit", got_code == code, f"{got_code} != {code}; stderr {err!r}")
    if stdout is not None:
        check(name + " stdout", masked(out) == stdout, f"\n{masked(out)!r}\n!=\n{stdout!r}")
    if stderr is not None:
        check(name + " stderr", stderr in err, f"{err!r} lacks {stderr!r}")
    return out


def table(rows):
    return "".join(f"{label:<22}{value}\n" for label, value in rows)


def one_json_language(work, sim):
    """Every --json document validates against the JSON Schema the service's
    answers do too (docs/schemas/); a document with three mistakes gets
    three errors with JSON Pointers; --lang uk tells the meaning in
    Ukrainian beside the printer's own Russian words."""
    schemas = Schemas()

    def valid(name, args, schema, code=0, stdin=None, device=None):
        got, out, err = run(work, "--json", *args, stdin=stdin, device=device)
        check(name + " exit", got == code, f"{got} != {code}: {out} {err}")
        try:
            doc = json.loads(out)
        except ValueError:
            check(name + " is JSON", False, out + err)
            return {}
        for reference in schema if isinstance(schema, tuple) else (schema,):
            problems = schemas.errors(doc, reference)
            check(f"{name} against {reference}", not problems, f"{problems}: {out}")
        return doc

    sale = json.dumps({"type": "sale", "items": [{"name": "Хліб", "quantity": 1, "price": "9.90", "tax": 1}]})
    for name, args, schema in [("status", ["status"], "printer-status.schema.json"),
                               ("config", ["config"], "config.schema.json"),
                               ("taxes", ["taxes"], "taxes.schema.json"),
                               ("cash", ["cash"], "cash.schema.json"),
                               ("fiscal", ["fiscal"], "fiscal.schema.json"),
                               ("documents", ["documents"], "documents.schema.json"),
                               ("time", ["time"], "clock.schema.json"),
                               ("raw", ["raw", "GETD"], "raw.schema.json"),
                               ("x-report", ["x-report"], "operation.schema.json"),
                               ("cash-in", ["cash-in", "2.50"], "operation.schema.json")]:
        valid(name + " --json", args, schema)
    closed = valid("receipt --json", ["receipt", "-"], "receipt-result.schema.json", stdin=sale)
    check("receipt total", closed.get("total") == 990 and closed.get("totalText") == "9.90", closed)
    valid("article --json refused", ["article", "1"], "error.schema.json", code=1)

    sim.send("paper out")
    refused = valid("x-report refused --json", ["x-report"], ("error.schema.json", "operation.schema.json"), code=1)
    uk = valid("x-report refused --lang uk", ["--lang", "uk", "x-report"], "error.schema.json", code=1)
    _, _, err = run(work, "--lang", "uk", "x-report")
    sim.send("paper in")
    en_error, uk_error = refused.get("error", {}), uk.get("error", {})
    check("the meaning in English", en_error.get("message") == "Paper is running out: the printer refused the "
          "command and printed nothing" and en_error.get("word") == "SOFTPAPER" and en_error.get("number") == 81,
          refused)
    check("the meaning in Ukrainian", uk_error.get("message") == "Закінчується папір: реєстратор відхилив команду "
          "й нічого не надрукував" and uk_error.get("advice", "").startswith("Заправте папір"), uk)
    check("the printer's own words in both", "HARDPAPER" in en_error.get("engineMessage", "")
          and en_error.get("engineMessage") == uk_error.get("engineMessage"), uk)
    check("text: number, word, meaning, the printer's words, advice", "error 81 SOFTPAPER: Закінчується папір" in err
          and "(Следующая команда печати" in err and "Заправте папір" in err, err)

    three = json.dumps({"type": "sale", "items": [{"name": "a", "quantity": 1, "price": "1.005"},
                                                  {"name": "b", "quantity": 0, "price": 1}],
                        "payments": {"card": "x"}})
    bad = valid("three mistakes --json", ["receipt", "-"], "error.schema.json", code=2, stdin=three)
    check("three mistakes, three pointers", [e["path"] for e in bad.get("error", {}).get("errors", [])] ==
          ["/items/0/price", "/items/1/quantity", "/payments/card"], bad)
    _, _, err = run(work, "receipt", "-", stdin=three)
    check("three mistakes in text, one a line", all(p in err for p in ("/items/0/price", "/items/1/quantity",
                                                                       "/payments/card")), err)
    broken = valid("not JSON", ["receipt", "-"], "error.schema.json", code=2, stdin='{"type": "sale",\n "items": [}')
    message = broken.get("error", {}).get("message", "")
    check("not JSON: where, in our words", message.startswith("line 2, column 12: ")
          and "json.exception" not in message and "syntax error" not in message, broken)
    missing = valid("no device --json", ["status"], "error.schema.json", code=3, device=os.path.join(work, "none"))
    error = missing.get("error", {})
    check("no device: meaning, system's words, what to do", error.get("status") == "no-connection"
          and error.get("message") == "The COM port cannot be opened"
          and "No such file or directory" in error.get("engineMessage", "")
          and "/dev/serial/by-id" in error.get("advice", ""), missing)


def main():
    work = tempfile.mkdtemp(prefix="brenvik-cli-")
    sim = Sim(work)
    try:
        dev = os.path.join(work, "com3")
        expect(work, "status", ["status"], 0, table([
            ("connection", dev), ("key position", "R (work)"), ("serial number", "4000012345"),
            ("fiscal number", "3000054321"), ("last check", "0"), ("last document", "0"),
            ("last Z-report", "0"), ("printer clock", "CLOCK")]))
        out = expect(work, "status --json", ["--json", "status"], 0)
        status = json.loads(out)
        check("status --json", {k: status.get(k) for k in ("connection", "keyPosition", "serialNumber",
                                                            "fiscalNumber", "lastCheckNumber")} == {
            "connection": dev, "keyPosition": "R", "serialNumber": "4000012345",
            "fiscalNumber": "3000054321", "lastCheckNumber": 0}, out)
        expect(work, "config", ["config"], 0, table([
            ("serial number", "4000012345"), ("fiscal number", "3000054321"),
            ("owner", 'ТОВ "Демо-Маркет"'), ("printer clock", "CLOCK"), ("key position", "R (work)"),
            ("check number", "0"), ("printer variant", "vMTM"), ("firmware date", "20050208"),
            ("currency", "ГРН"), ("currency date", "20000101"), ("decimal point", "2")]))
        expect(work, "taxes", ["taxes"], 0,
               "tax group 1           20.00%  type 0  since 2024-01-01\n"
               "tax group 2           7.00%  type 0  since 2024-01-01\n"
               "tax group 3           0.00%  type 0  since 2024-01-01\n")
        out = expect(work, "taxes --json", ["--json", "taxes"], 0)
        check("taxes --json", json.loads(out)["taxes"][1] == {
            "group": 2, "programmed": True, "rate": 700, "rateText": "7.00", "type": "0", "since": "2024-01-01"}, out)
        expect(work, "cash-in", ["cash-in", "100.50"], 0, "cash in 100.50 printed\n")
        expect(work, "cash-out", ["--json", "cash-out", "0.50"], 0,
               json.dumps({"operation": "cash", "direction": "out", "amount": 50, "amountText": "0.50",
                           "outcome": "done"}, indent=2) + "\n")
        expect(work, "cash", ["cash"], 0, table([
            ("rest", "0.00"), ("income", "100.50"), ("outcome", "0.50"), ("sales", "0.00"),
            ("returns", "0.00"), ("total", "100.00"), ("checkIncome", "0.00"), ("checkOutcome", "0.00")]))
        expect(work, "documents", ["--json", "documents"], 0)
        expect(work, "fiscal", ["fiscal"], 0)
        expect(work, "article not programmed", ["article", "1"], 1, stderr="SOFTBADART")
        expect(work, "x-report", ["x-report"], 0, "X-report printed\n")
        expect(work, "time", ["time"], 0, table([("printer clock", "CLOCK")]))
        expect(work, "time set in the work position", ["time", "set", "now"], 1, stderr="SOFTSLPROG")
        sim.send("key 8")  # the printer sets its clock in the programming position only
        expect(work, "time set now", ["time", "set", "now"], 0, table([("printer clock", "CLOCK")]))
        sim.send("key 1")
        expect(work, "time set other day", ["time", "set", "1999-01-01T10:00:00"], 2,
               stderr="cannot be set")
        expect(work, "raw", ["raw", "GETD"], 0)
        expect(work, "raw refused", ["raw", "XXXX"], 1, stderr="SOFTCOMMAN")

        receipt = os.path.join(work, "r.json")
        with open(receipt, "w", encoding="utf-8") as f:
            json.dump({"requestId": "cli-1", "type": "sale",
                       "items": [{"name": "Хліб житній", "quantity": 2, "price": "18.50", "tax": 1}],
                       "payments": {"cash": "50"}}, f, ensure_ascii=False)
        expect(work, "receipt", ["receipt", receipt], 0, table([
            ("check", "1"), ("total", "37.00"), ("cash", "50.00"), ("change", "13.00"),
            ("printer clock", "CLOCK")]))
        out = expect(work, "receipt --json from stdin", ["--json", "receipt", "-"], 0,
                     stdin=open(receipt, encoding="utf-8").read())
        check("receipt --json", json.loads(out)["checkNumber"] == 2, out)
        expect(work, "receipt invalid", ["receipt", "-"], 2,
               stdin='{"type":"sale","items":[{"name":"a","quantity":1,"price":"1.005"}]}',
               stderr="/items/0/price")

        # The printer refuses: its word is printed and the exit code is 1.
        sim.send("paper out")
        expect(work, "refused", ["x-report"], 1, stderr="SOFTPAPER")
        out = expect(work, "refused --json", ["--json", "x-report"], 1)
        check("refused --json", json.loads(out)["error"]["word"] == "SOFTPAPER", out)
        sim.send("paper in")

        # A Z-report asks first; no answer prints nothing.
        z_before = sim.state()["z_number"]
        expect(work, "z-report declined", ["z-report"], 2, stdin="n\n", stderr="not confirmed")
        check("z-report declined", sim.state()["z_number"] == z_before)
        expect(work, "z-report --yes", ["z-report", "--yes"], 0)
        check("z-report printed", sim.state()["z_number"] == z_before + 1)

        # A silent printer and a missing device: no connection.
        # --timeout bounds connecting too: 1 s, not the whole 8 s wake-up.
        sim.send("handshake off")
        started = time.monotonic()
        expect(work, "silent", ["status"], 3, stderr="no connection")
        check("silent gives up within --timeout", time.monotonic() - started < 3.5,
              f"{time.monotonic() - started:.1f} s")
        sim.send("handshake on")
        expect(work, "missing device", ["status"], 3, device=os.path.join(work, "nothing"))
        expect(work, "bad amount", ["cash-in", "1.005"], 2, stderr="at most two decimals")
        expect(work, "no device", [], 2)
        p = subprocess.run([BRENVIK, "status"], capture_output=True, text=True)
        check("no device given", p.returncode == 2 and "--device" in p.stderr, p.stderr)
        p = subprocess.run([BRENVIK, "--help"], capture_output=True, text=True)
        check("help names the exit codes", p.returncode == 0 and "3 no connection" in p.stdout, p.stdout)
        one_json_language(work, sim)
    finally:
        sim.stop()
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL", f)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
