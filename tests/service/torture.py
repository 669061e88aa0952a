"""Exactly once, tortured: concurrent clients post receipts to brenvikd
while the simulated printer loses, cuts, garbles and refuses replies (aimed
at the closing command too), clients hang up mid-request, request ids are
repeated, and the service is killed with SIGKILL and started again. At the
end the printer's journal and registers are compared with the ledger and
with what every client was told. Loopback only, bounded in count and time."""
import argparse
import http.client
import os
import random
import re
import socket
import sqlite3
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Daemon, Simulator, wait_for, workdir  # noqa: E402

# A service killed mid-answer shows as any of these; the client asks again.
LOST = (OSError, http.client.HTTPException, ValueError)

FAULTS = ["next silent", "next cut {n}", "next noise", "next error SOFTPAPER",
          "next done-and-error SOFTPAPER", "next cut-end {n}", "next trailing 3"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Torture:
    def __init__(self, args):
        self.args = args
        self.random = random.Random(args.seed)
        self.dir = workdir("torture")
        # A little printing time per line, so a fault can be aimed between a
        # check's last line and its closing.
        self.sim = Simulator(args.build, self.dir, "--print-delay", "1")
        # Restarts keep the port: the clients do not look it up again.
        self.daemon = Daemon(args.build, self.dir, "--printer", "main=" + self.sim.link, "--log-dir", self.dir,
                             "--timeout-ms", "300", "--queue", "64", "--wait-ms", "20000", port=free_port())
        self.lock = threading.Lock()
        self.up = threading.Event()
        self.up.set()
        self.stop = threading.Event()
        self.ids = list(range(args.count))
        self.answers = {}      # request number -> (status, body) final answer
        self.counts = {"posts": 0, "connection_errors": 0, "hangups": 0, "busy": 0, "pending": 0,
                       "unknown": 0, "repeats": 0, "repeat_mismatch": 0, "kills": 0, "conflicts": 0,
                       "faults": 0, "closing_faults": 0}
        self.fault_kinds = {}
        self.problems = []

    def body(self, n):
        rng = random.Random(n)
        items = [{"name": "T%04d" % n + (" Bread" if i == 0 else " Milk %d" % i), "quantity": 1,
                  "price": "%d.%02d" % (rng.randint(1, 99), rng.randint(0, 99)), "tax": 1}
                 for i in range(1 if rng.random() < 0.7 else 2)]
        return {"requestId": "t-%04d" % n, "type": "sale", "items": items}

    def count(self, key, by=1):
        with self.lock:
            self.counts[key] += by

    def post(self, n, timeout=30):
        self.up.wait(30)
        self.count("posts")
        return self.daemon.request("POST", "/printers/main/receipt", self.body(n), timeout=timeout)

    def client(self, rng):
        try:
            self.serve_client(rng)
        except Exception as error:  # noqa: BLE001 - a dead client must show
            self.problems.append("a client stopped: %r" % error)

    def serve_client(self, rng):
        while not self.stop.is_set():
            with self.lock:
                if not self.ids:
                    return
                n = self.ids.pop()
            while not self.stop.is_set():
                try:
                    if rng.random() < self.args.hangups:
                        # The client gives up mid-request: the service goes on alone.
                        self.count("hangups")
                        try:
                            self.post(n, timeout=0.005)
                        except LOST:
                            pass
                        continue
                    status, _, answer = self.post(n)
                except LOST:
                    self.count("connection_errors")
                    time.sleep(0.05)
                    continue
                if status in (200, 422):
                    with self.lock:
                        self.answers[n] = (status, answer)
                    if rng.random() < self.args.repeats:
                        self.repeat(n, status, answer)
                    break
                if status == 409:
                    self.count("conflicts")
                    self.problems.append("t-%04d: 409 for its own body" % n)
                    break
                self.count({503: "busy", 202: "pending", 504: "unknown"}.get(status, "unknown"))
                time.sleep(0.05)

    def repeat(self, n, status, answer):
        for _ in range(50):
            try:
                again = self.post(n)
                break
            except LOST:
                time.sleep(0.05)
        else:
            return
        self.count("repeats")
        if again[0] != status or again[2] != answer:
            self.count("repeat_mismatch")
            self.problems.append("t-%04d: repeated answer %r differs from %r" % (n, again[:3:2], (status, answer)))

    def faults(self, rng):
        aimed = None
        # A printer fails now and then per command, not per second: while the
        # service reconnects it sends few commands, and faults timed by the
        # clock alone would hit every one of them and never let it recover.
        last_fault_at = 0
        gap = rng.randint(4, 16)
        while not self.stop.is_set():
            try:
                state = self.sim.state()
                # Aim once per check: its last line is in, its closing comes next.
                check = (state["last_doc_number"], state["check_lines"])
                aim = (state["check_open"] and state["check_lines"] >= 1 and check != aimed
                       and rng.random() < self.args.closing)
                if state["check_open"]:
                    aimed = check
                due = state["commands"] - last_fault_at >= gap
                if aim or (due and rng.random() < self.args.faults / 300):
                    last_fault_at = state["commands"]
                    gap = rng.randint(4, 16)
                    fault = rng.choice(FAULTS)
                    if aim:
                        self.count("closing_faults")
                    self.count("faults")
                    kind = fault.split(" {")[0]
                    with self.lock:
                        self.fault_kinds[kind] = self.fault_kinds.get(kind, 0) + 1
                    self.sim.control(fault.format(n=rng.randint(0, 12)))
                    time.sleep(0.1)
            except (OSError, ValueError):
                pass
            time.sleep(0.002)

    def killer(self, rng):
        while not self.stop.wait(rng.uniform(*self.args.kill_every)):
            if self.counts["kills"] >= self.args.kills:
                return
            self.up.clear()
            self.daemon.kill9()
            self.count("kills")
            self.daemon.start()
            self.up.set()

    def run(self):
        started = time.monotonic()
        threads = [threading.Thread(target=self.client, args=(random.Random(self.args.seed * 100 + i),))
                   for i in range(self.args.clients)]
        helpers = [threading.Thread(target=self.faults, args=(random.Random(self.args.seed + 1),)),
                   threading.Thread(target=self.killer, args=(random.Random(self.args.seed + 2),))]
        for t in threads + helpers:
            t.start()
        deadline = started + self.args.seconds
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        self.stop.set()
        for t in threads + helpers:
            t.join(60)
        elapsed = time.monotonic() - started
        self.sim.control("clear")
        # One more restart: the start-up reconciliation decides whatever was left.
        self.daemon.stop()
        self.daemon.start()
        wait_for(lambda: self.daemon.request("GET", "/printers/main")[2]["connection"] == "online", 60,
                 "the printer online")
        self.daemon.stop()
        self.sim.control("clear")
        return elapsed

    def verify(self):
        docs = self.sim.documents()
        closed, cancelled = {}, 0
        for doc in docs:
            tags = set(re.findall(r"\bT(\d{4})\b", doc))
            if "ЧЕК АНУЛЬОВАНО" in doc:
                cancelled += 1
                continue
            number = re.search(r"ЧЕК № (\d+)", doc)
            for tag in tags:
                closed.setdefault(int(tag), []).append(int(number.group(1)) if number else None)
        ledger = {}
        with sqlite3.connect(os.path.join(self.dir, "ledger.db")) as db:
            for rid, state, check in db.execute("SELECT request_id, state, check_number FROM receipts"):
                ledger[int(rid[2:])] = (state, check)
        state = self.sim.state()
        ok_count = fail_count = 0
        for n in range(self.args.count):
            printed = closed.get(n, [])
            if len(printed) > 1:
                self.problems.append("t-%04d printed %d times: %s" % (n, len(printed), printed))
            in_ledger = ledger.get(n)
            if in_ledger and in_ledger[0] not in ("closed", "failed"):
                self.problems.append("t-%04d left %s in the ledger" % (n, in_ledger[0]))
            if in_ledger and (in_ledger[0] == "closed") != (len(printed) == 1):
                self.problems.append("t-%04d: ledger %s, printed %d times" % (n, in_ledger, len(printed)))
            if n not in self.answers:
                continue
            status, answer = self.answers[n]
            if status == 200:
                ok_count += 1
                if printed != [answer["checkNumber"]]:
                    self.problems.append("t-%04d answered check %s, printed %s" % (n, answer["checkNumber"], printed))
                if in_ledger != ("closed", answer["checkNumber"]):
                    self.problems.append("t-%04d answered 200, ledger %s" % (n, in_ledger))
            else:
                fail_count += 1
                if printed:
                    self.problems.append("t-%04d answered %d but was printed as %s" % (n, status, printed))
                if not in_ledger or in_ledger[0] != "failed":
                    self.problems.append("t-%04d answered %d, ledger %s" % (n, status, in_ledger))
        all_closed = sum(len(v) for v in closed.values())
        if state["check_open"]:
            self.problems.append("a check is left open on the printer")
        if state["day_sale_checks"] != all_closed:
            self.problems.append("the printer counts %d checks, the journal shows %d" %
                                 (state["day_sale_checks"], all_closed))
        numbers = [c for v in closed.values() for c in v]
        if len(numbers) != len(set(numbers)):
            self.problems.append("check numbers repeat")
        reconciled = sum(1 for s, a in self.answers.values() if isinstance(a, dict) and a.get("reconciled"))
        return {"receipts": self.args.count, "answered": len(self.answers), "closed (200)": ok_count,
                "failed (422)": fail_count, "unanswered": self.args.count - len(self.answers),
                "printed checks": all_closed, "cancelled checks on paper": cancelled,
                "reconciled answers": reconciled, "printer checks": state["day_sale_checks"]}

    def cleanup(self):
        self.sim.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=180)
    parser.add_argument("--seed", type=int, default=int(os.environ.get("TORTURE_SEED", "11")))
    parser.add_argument("--faults", type=float, default=4, help="random faults per second, about")
    parser.add_argument("--closing", type=float, default=0.15, help="chance to aim at an open check's closing")
    parser.add_argument("--hangups", type=float, default=0.03)
    parser.add_argument("--repeats", type=float, default=0.1)
    parser.add_argument("--kills", type=int, default=15)
    parser.add_argument("--kill-every", type=float, nargs=2, default=(0.3, 1.5))
    args = parser.parse_args()
    torture = Torture(args)
    try:
        elapsed = torture.run()
        figures = torture.verify()
    finally:
        torture.cleanup()
    print("torture: seed %d, %.1f s, %d clients" % (args.seed, elapsed, args.clients))
    for key, value in list(figures.items()) + list(torture.counts.items()):
        print("  %-26s %s" % (key, value))
    print("  fault kinds               ", dict(sorted(torture.fault_kinds.items())))
    for problem in torture.problems[:50]:
        print("PROBLEM " + problem)
    unfinished = figures["unanswered"]
    passed = args.count - unfinished - len(torture.problems)
    print("%d passed, %d failed" % (max(0, passed), len(torture.problems) + unfinished))
    return 1 if torture.problems or unfinished else 0


if __name__ == "__main__":
    sys.exit(main())
