#!/usr/bin/env python3
"""brenvik against m301sim: hostile texts are refused (exit 2, the character
as U+XXXX and its JSON path, valid UTF-8 in text and --json) with nothing
sent; goods names at and one past each printer's line; a tax group the
printer has not programmed and values past its short line; what a report
says it did; the progress line on
a terminal and not in a pipe; options after the subcommand.

usage: cli_text_test.py BRENVIK M301SIM HOSTILE_TEXTS_JSON
"""
import json
import os
import pty
import shutil
import socket
import subprocess
import sys
import tempfile
import time

BRENVIK, M301SIM, HOSTILE = sys.argv[1], sys.argv[2], sys.argv[3]
failures = []
checks = 0


def check(name, ok, detail=""):
    global checks
    checks += 1
    if not ok:
        failures.append(f"{name}: {detail}")


class Sim:
    def __init__(self, work, *extra):
        os.makedirs(work, exist_ok=True)
        self.link = os.path.join(work, "com3")
        self.control = os.path.join(work, "ctl")
        self.journal = os.path.join(work, "paper.txt")
        self.proc = subprocess.Popen([M301SIM, "--link", self.link, "--control", self.control,
                                      "--journal", self.journal, *extra],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(250):
            if os.path.exists(self.link) and os.path.exists(self.control):
                return
            time.sleep(0.02)
        raise SystemExit("m301sim did not start")

    def send(self, line):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(self.control)
            s.sendall((line + "\n").encode())
            return s.makefile().readline().strip()

    def state(self):
        return json.loads(self.send("state"))

    def paper(self):
        if not os.path.exists(self.journal):
            return ""
        with open(self.journal, encoding="utf-8") as f:
            return f.read()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def run(sim, args, stdin=None, timeout=60):
    """(exit code, stdout, stderr), the outputs decoded strictly: any byte
    that is not UTF-8 fails the decoding, and so the check."""
    cmd = [BRENVIK, "--device", sim.link, "--log-dir", os.path.dirname(sim.link)] + args
    p = subprocess.run(cmd, input=stdin, capture_output=True, timeout=timeout)
    try:
        return p.returncode, p.stdout.decode("utf-8"), p.stderr.decode("utf-8")
    except UnicodeDecodeError as e:
        return p.returncode, f"<not UTF-8: {e}>", repr(p.stderr)


def receipt_file(work, literal, tax=1, weighed=False, name="r.json"):
    """A sale whose one goods name is `literal` (bytes, as the document
    writes the string)."""
    path = os.path.join(work, name)
    quantity = b"1000" if weighed else b"1"
    with open(path, "wb") as f:
        f.write(b'{"requestId":"cli","type":"sale","items":[{"name":' + literal + b',"quantity":' + quantity +
                b',"price":100,"tax":' + str(tax).encode() + b',"weighed":' + (b"true" if weighed else b"false") +
                b'}]}')
    return path


def load_cases():
    with open(HOSTILE, encoding="utf-8") as f:
        cases = json.load(f)["cases"]
    for c in cases:
        c["bytes"] = bytes.fromhex(c["hex"]) if "hex" in c else c["text"].encode() if "text" in c else None
        if "json" in c:
            c["literal"] = c["json"].encode()
        elif "hex" in c or c.get("raw"):
            c["literal"] = b'"' + c["bytes"] + b'"'
        else:
            c["literal"] = json.dumps(c["text"], ensure_ascii=False).encode()
    return cases


def hostile_texts(work, sim):
    """Each case as a goods name (--json and text), as --cashier and as a raw
    command: exit 2, the right refusal, valid UTF-8, nothing sent."""
    run(sim, ["status"])  # the connection's own commands, once, before any count
    for c in load_cases():
        name = "hostile " + c["id"]
        before, paper = sim.state(), sim.paper()
        path = receipt_file(work, c["literal"])
        code, out, err = run(sim, ["--json", "receipt", path])
        check(name + " --json exit", code == 2, f"{code} {err}")
        try:
            doc = json.loads(out)
        except ValueError:
            doc = {}
        message = json.dumps(doc, ensure_ascii=False)
        check(name + " --json refusal", c["expect"] in message and doc["error"]["path"] == "/items/0/name", out)
        code, out, err = run(sim, ["receipt", path])
        check(name + " text", code == 2 and c["expect"] in err and "/items/0/name" in err, f"{code} {err}")
        argument = c["bytes"] is not None and b"\0" not in c["bytes"]
        if argument:
            code, out, err = run(sim, ["--cashier", c["bytes"], "--json", "status"])
            check(name + " --cashier", code == 2 and "cashier" in out, f"{code} {out} {err}")
        after = sim.state()
        if c.get("printer_only"):
            # Refused by the connected printer's own line: connected, but no
            # check opened and nothing printed.
            after.pop("commands"), before.pop("commands")
        check(name + " nothing sent", after == before and sim.paper() == paper, f"{before} -> {after}")
        if argument and not c["expect"].startswith("longer"):  # a long command is the printer's to refuse
            code, out, err = run(sim, ["raw", b"TEXT000" + c["bytes"]])
            check(name + " raw", code == 2 and "command" in err, f"{code} {err}")
            later = sim.state()
            later.pop("commands"), after.pop("commands", None)
            check(name + " raw sends nothing but the connection", after == later, f"{after} -> {later}")


# The line layouts: a goods name fills a head, then goes on in a
# continuation. Short format (FISC): a 12-character head; the continuation
# holds 43 characters of piece goods, or exactly 30 of weighed goods and a
# full stop; on the narrow printer 36 and 23. Long format (FICD): a
# 24-character head and up to 104 more, whatever the goods.
PRINTERS = [
    ("wide", ["--variant", "vMTM"], {False: 12 + 43, True: 12 + 30}),
    ("narrow", ["--variant", "vTTs"], {False: 12 + 36, True: 12 + 23}),
    ("long lines", ["--variant", "vMTM", "--article-mode", "2"], {False: 24 + 104, True: 24 + 104}),
]
# Letters the printer's code page holds (its code page has no Ґ, ґ or І).
LETTERS = "абвгдеєжзиїйклмнопрстуфхцчшщьюяАБВГДЕЄЖЗИЇЙКЛМНОПРСТУФХЦЧШЩЬЮЯ"


def goods_name(length):
    return "".join(LETTERS[i % len(LETTERS)] for i in range(length))


def limits(work):
    for kind, options, most in PRINTERS:
        sim = Sim(os.path.join(work, kind.replace(" ", "-")), *options)
        try:
            for weighed in (False, True):
                label = f"{kind} {'weighed' if weighed else 'piece'}"
                fits = goods_name(most[weighed])
                path = receipt_file(work, json.dumps(fits, ensure_ascii=False).encode(), weighed=weighed)
                code, out, err = run(sim, ["receipt", path])
                printed = sim.paper().replace("\n", "")
                check(label + " at the limit prints uncut", code == 0 and fits in printed, f"{code} {err}")
                before, paper = sim.state(), sim.paper()
                longer = json.dumps(goods_name(most[weighed] + 1), ensure_ascii=False).encode()
                code, out, err = run(sim, ["--json", "receipt", receipt_file(work, longer, weighed=weighed)])
                doc = json.loads(out) if out.startswith("{") else {}
                # Refused by the printer when connected, or already by the
                # check without one when no printer takes more.
                path = doc.get("error", {}).get("path")
                check(label + " one over is refused", code == 2 and path == "/items/0/name"
                      and str(most[weighed]) in doc.get("error", {}).get("message", ""), out + err)
                after = sim.state()
                after.pop("commands"), before.pop("commands")
                check(label + " one over sends nothing", after == before and sim.paper() == paper,
                      f"{before} -> {after}")
        finally:
            sim.stop()


def printer_decides(work, sim):
    """What only the connected printer decides is refused before the check
    opens, so no cancelled check comes out on paper: tax group 4, which the
    simulator has not programmed; with the short line (article mode 1), a
    quantity past its five digits and an article past its four-character
    code (at most K999, 20999)."""
    cases = [
        ("unprogrammed tax", b'{"type":"sale","items":[{"name":"Bread","quantity":1,"price":100,"tax":4}]}',
         "/items/0/tax"),
        ("quantity past five digits", b'{"type":"sale","items":[{"name":"Cheese","quantity":100000,"price":100,'
         b'"weighed":true,"tax":1}]}', "/items/0/quantity"),
        ("article past the short code", b'{"type":"sale","items":[{"name":"Bread","quantity":1,"price":100,'
         b'"article":21000,"tax":1}]}', "/items/0/article"),
    ]
    for name, document, path in cases:
        before, paper = sim.state(), sim.paper()
        with open(os.path.join(work, "p.json"), "wb") as f:
            f.write(document)
        code, out, err = run(sim, ["--json", "receipt", os.path.join(work, "p.json")])
        doc = json.loads(out) if out.startswith("{") else {}
        check(name + " refused", code == 2 and doc.get("error", {}).get("path") == path, out + err)
        after = sim.state()
        after.pop("commands"), before.pop("commands")
        check(name + " sends nothing", after == before and sim.paper() == paper, f"{before} -> {after}")


def outcomes(work, sim):
    code, out, _ = run(sim, ["x-report"])
    check("x-report printed", code == 0 and out == "X-report printed\n", out)
    code, out, _ = run(sim, ["--json", "cash-in", "1.00"])
    check("cash-in --json", code == 0 and json.loads(out) == {
        "operation": "cash", "direction": "in", "amount": 100, "amountText": "1.00", "outcome": "done"}, out)
    sim.send("paper out")
    code, out, err = run(sim, ["--json", "x-report"])
    doc = json.loads(out) if out.startswith("{") else {}
    check("x-report refused", code == 1 and doc.get("outcome") == "not-done"
          and doc.get("error", {}).get("word") == "SOFTPAPER", out)
    code, out, err = run(sim, ["cash-out", "1.00"])
    check("cash-out refused", code == 1 and "not printed" in err and "SOFTPAPER" in err, err)
    sim.send("paper in")


def slow_printer(work):
    """The printer takes longer than the reply time-out to print: the report
    is never called not printed when it was, and a terminal shows that the
    tool waits; a pipe shows nothing."""
    sim = Sim(os.path.join(work, "slow"), "--print-delay", "100")
    try:
        z = sim.state()["z_number"]
        code, out, err = run(sim, ["--timeout", "1", "--json", "z-report", "--yes"])
        doc = json.loads(out) if out.startswith("{") else {}
        moved = sim.state()["z_number"] == z + 1
        expected = {"done": 0, "unknown": 4} if moved else {"not-done": 3, "unknown": 4}
        check("slow z-report tells the truth", expected.get(doc.get("outcome")) == code, f"moved {moved}: {out}")

        master, slave = pty.openpty()
        p = subprocess.Popen([BRENVIK, "--device", sim.link, "--log-dir", os.path.join(work, "slow"), "x-report"],
                             stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        seen = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        out = p.stdout.read()
        p.wait(timeout=60)
        os.close(master)
        check("progress on a terminal", p.returncode == 0 and b"waiting for the printer" in seen
              and seen.endswith(b"\r") and out == b"X-report printed\n", f"{p.returncode} {seen!r} {out!r}")
        code, out, err = run(sim, ["x-report"])
        check("no progress in a pipe", code == 0 and err == "", repr(err))
    finally:
        sim.stop()


def options(sim):
    code, out, _ = run(sim, ["status", "--json"])
    check("--json after the subcommand", code == 0 and json.loads(out).get("serialNumber") == "4000012345", out)
    code, out, err = run(sim, ["article", "abc"])
    check("article abc", code == 2 and "0 to 999999999" in err and len(err) < 200, err)
    code, out, err = run(sim, ["cash-in", b"1\xff"])
    check("amount with a byte that is not UTF-8", code == 2 and "\\xFF" in err, err)
    p = subprocess.run([BRENVIK, "--help"], capture_output=True, text=True)
    check("help names every exit code", "3 no connection" in p.stdout and "4 unknown" in p.stdout, p.stdout)


def main():
    work = tempfile.mkdtemp(prefix="brenvik-cli-text-")
    sim = Sim(os.path.join(work, "main"))
    try:
        hostile_texts(work, sim)
        printer_decides(work, sim)
        outcomes(work, sim)
        options(sim)
        limits(work)
        slow_printer(work)
    finally:
        sim.stop()
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL", f)
    print(f"{checks - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
