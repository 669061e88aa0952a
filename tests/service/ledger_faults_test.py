"""brenvikd and the simulated printer while the ledger fails: a full disk, an
immutable file, a file deleted or replaced, a damaged page; a stop while the
printer is stuck; reports and cash asked twice with one requestId. After
each, what the printer printed (its journal and counters) is compared with
what every client was told, and every answer with /openapi.json."""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import ApiDocument, Daemon, Simulator, end, wait_for, workdir  # noqa: E402

RECEIPT = "/printers/main/receipt"


class Skip(Exception):
    pass


def sale(rid):
    return {"requestId": rid, "type": "sale", "items": [{"name": "L " + rid, "quantity": 1, "price": "3.00", "tax": 1}]}


class Bench:
    """One simulated printer, one brenvikd, and what every client was told."""

    def __init__(self, test, name, ledger=None, sim_args=(), workdir_=None, timeout_ms=1000):
        self.test = test
        self.dir = workdir_ or workdir(name)
        self.sim = Simulator(test.build, self.dir, *sim_args)
        self.ledger = ledger or os.path.join(self.dir, "ledger.db")
        self.args = ["--printer", "main=" + self.sim.link, "--log-dir", self.dir, "--timeout-ms", str(timeout_ms)]
        self.daemon = Daemon(test.build, self.dir, *self.args, ledger=self.ledger)
        self.told = {}  # request id -> (status, body), the last answer that tells an outcome

    def call(self, method, path, body=None, **kwargs):
        status, headers, answer = self.daemon.request(method, path, body, **kwargs)
        self.test.api.check(method, path, status, answer)
        return status, headers, answer

    def post(self, rid):
        status, _, answer = self.call("POST", RECEIPT, sale(rid))
        assert status in (200, 422, 503, 504), (rid, status, answer)
        if status != 504:
            self.told[rid] = (status, answer)
        return status, answer

    def ledger_state(self):
        return self.call("GET", "/printers/main/status")[2]["ledger"]

    def alive(self):
        assert self.daemon.process.poll() is None, "brenvikd ended with %s" % self.daemon.process.returncode

    def printed(self):
        """Request id -> the numbers of the checks the journal shows it closed in."""
        closed = {}
        for doc in self.sim.documents():
            if "ЧЕК АНУЛЬОВАНО" in doc:
                continue
            number = re.search(r"ЧЕК № (\d+)", doc)
            for rid in re.findall(r"^L (\S+)$", doc, re.M):
                closed.setdefault(rid, []).append(int(number.group(1)) if number else None)
        return closed

    def verify(self):
        """No receipt printed twice, every 200 printed once with its number,
        nothing else printed, no check left open."""
        printed = self.printed()
        problems = ["%s printed %d times" % (rid, len(n)) for rid, n in printed.items() if len(n) > 1]
        for rid, (status, answer) in self.told.items():
            numbers = printed.get(rid, [])
            if status == 200 and numbers != [answer["checkNumber"]]:
                problems.append("%s answered check %s, printed %s" % (rid, answer["checkNumber"], numbers))
            if status != 200 and numbers:
                problems.append("%s answered %d but printed as %s" % (rid, status, numbers))
        if self.sim.state()["check_open"]:
            problems.append("a check is left open")
        assert not problems, problems

    def settle(self):
        """Asks every id again once the ledger works: the answer is final and
        agrees with the printer."""
        wait_for(lambda: self.ledger_state()["state"] == "ok", 15, "the ledger to work again")
        for rid in list(self.told):
            status, answer = self.post(rid)
            assert status in (200, 422), (rid, status, answer)
        self.verify()

    def stop(self):
        end(self.daemon.process, 30)
        self.daemon.log.close()
        self.sim.stop()

    def log(self):
        with open(os.path.join(self.dir, "brenvikd.log")) as f:
            return f.read()


def start_fails(test, bench, seconds=20):
    """Starts brenvikd on the bench's ledger, expecting it to refuse: the
    exit status (never a signal) and what it said."""
    started = time.monotonic()
    result = subprocess.run([os.path.join(test.build, "service", "brenvikd"), "--listen", "127.0.0.1:0",
                             "--ledger", bench.ledger, *bench.args], capture_output=True, text=True,
                            timeout=seconds)
    return result.returncode, result.stderr, time.monotonic() - started


class LedgerFaults:
    def __init__(self, build):
        self.build = build
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "service", "openapi.json")) as f:
            self.api = ApiDocument(json.load(f))
        self.failures = []
        self.skipped = []

    def case_full_disk(self):
        if os.geteuid() != 0:
            raise Skip("mounting a tmpfs needs root")
        base = workdir("full")
        disk = os.path.join(base, "disk")
        os.mkdir(disk)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", disk]).returncode != 0:
            raise Skip("cannot mount a tmpfs here")
        bench = None
        try:
            bench = Bench(self, "full", ledger=os.path.join(disk, "ledger.db"), workdir_=base)
            for i in range(3):
                assert bench.post("f.%d" % i)[0] == 200
            filler = os.path.join(disk, "filler")
            with open(filler, "wb") as f:
                try:
                    while True:
                        f.write(b"\0" * 65536)
                        f.flush()
                except OSError:
                    pass
            answers = [bench.post("full.%d" % i)[0] for i in range(4)]
            bench.alive()
            assert 503 in answers, answers
            state = bench.ledger_state()
            assert state["state"] == "degraded" and "full" in state["cause"], state
            _, _, printers = bench.call("GET", "/printers")
            assert printers["printers"][0]["ledger"]["state"] == "degraded", printers
            # A repeat still gets its answer; new work of any kind does not start.
            status, headers, again = bench.call("POST", RECEIPT, sale("f.0"))
            assert status == 200 and again == bench.told["f.0"][1] and headers.get("Brenvik-Repeated") == "1", again
            status, _, report = bench.call("POST", "/printers/main/x-report")
            assert status == 503 and "full" in report["error"]["message"], report
            bench.verify()
            # A start on the full disk refuses clearly, or starts degraded.
            bench.daemon.stop()
            code, said, _ = start_fails(self, bench, seconds=60)
            assert code > 0 and "ledger" in said, (code, said)
            os.unlink(filler)
            bench.daemon.start()
            assert bench.post("after.full")[0] == 200
            bench.settle()
        finally:
            if bench:
                bench.stop()
            subprocess.run(["umount", "-l", disk])

    def case_immutable_ledger(self):
        bench = Bench(self, "immutable")
        files = [bench.ledger, bench.ledger + "-wal"]
        try:
            assert bench.post("i.1")[0] == 200
            if subprocess.run(["chattr", "+i", *files], capture_output=True).returncode != 0:
                raise Skip("chattr +i is not supported here")
            status, answer = bench.post("i.2")
            assert status == 503 and "ledger" in answer["error"]["message"], answer
            assert bench.ledger_state()["state"] == "degraded"
            bench.alive()
            bench.verify()
            subprocess.run(["chattr", "-i", *files])
            bench.settle()
            assert bench.post("i.3")[0] == 200
            # At start, an immutable ledger is refused with a clear message.
            bench.daemon.stop()
            subprocess.run(["chattr", "+i", bench.ledger])
            code, said, _ = start_fails(self, bench)
            assert code > 0 and bench.ledger in said, (code, said)
        finally:
            subprocess.run(["chattr", "-i", *files], capture_output=True)
            bench.stop()

    def case_deleted_and_replaced_ledger(self):
        for how in ("deleted", "replaced"):
            bench = Bench(self, how)
            try:
                assert bench.post("d.1")[0] == 200
                os.rename(bench.ledger, bench.ledger + ".away")
                if how == "replaced":
                    shutil.copy(bench.ledger + ".away", bench.ledger)
                status, answer = bench.post("d.2")
                assert status == 503 and how in answer["error"]["message"], answer
                state = bench.ledger_state()
                assert state["state"] == "degraded" and how in state["cause"], state
                bench.alive()
                bench.verify()
                if how == "deleted":
                    # A new ledger beside a printer that printed says so.
                    bench.daemon.stop()
                    bench.daemon.start()
                    warnings = bench.ledger_state()["warnings"]
                    assert any("no record" in w for w in warnings), warnings
                    assert "WARNING" in bench.log()
            finally:
                bench.stop()

    def case_damaged_page(self):
        bench = Bench(self, "damaged")
        try:
            for i in range(60):
                assert bench.post("p.%d" % i)[0] == 200
            bench.daemon.stop()
            with open(bench.ledger, "r+b") as f:
                f.seek(3 * 4096 + 16)
                f.write(b"\xa5" * 200)
            code, said, seconds = start_fails(self, bench)
            assert code > 0 and bench.ledger in said and "Keep the file" in said, (code, said)
            assert seconds < 10, seconds
        finally:
            bench.stop()

    def case_foreign_ledger(self):
        bench = Bench(self, "foreign")
        try:
            assert bench.post("o.1")[0] == 200
            bench.stop()
            other = Bench(self, "foreign", ledger=bench.ledger, sim_args=("--serial", "4000099999"))
            try:
                warnings = other.ledger_state()["warnings"]
                assert any("4000012345" in w and "4000099999" in w for w in warnings), warnings
            finally:
                other.stop()
        finally:
            bench.sim.stop()

    def case_stop_while_the_printer_is_stuck(self):
        bench = Bench(self, "stuck", timeout_ms=30000)
        try:
            assert bench.post("s.1")[0] == 200
            bench.sim.control("next silent")
            status, _, task = bench.call("POST", RECEIPT + "?async=1", sale("s.2"))
            assert status == 202, task
            wait_for(lambda: bench.call("GET", "/printers/main/status")[2]["busy"], 10, "the printer busy")
            started = time.monotonic()
            bench.daemon.process.send_signal(signal.SIGTERM)
            code = bench.daemon.process.wait(15)
            seconds = time.monotonic() - started
            assert code == 0 and seconds < 5, (code, seconds)
            bench.daemon.log.close()
            assert "decided at the next start" in bench.log()
            bench.sim.control("clear")
            bench.daemon.start()
            _, _, stored = bench.call("GET", "/receipts/s.2")
            assert stored["state"] in ("closed", "failed"), stored
            bench.told["s.2"] = (0 if "error" in stored["answer"] else 200, stored["answer"])
            bench.verify()
        finally:
            bench.stop()

    def case_reports_and_cash_once_per_request_id(self):
        bench = Bench(self, "actions")
        try:
            before = bench.sim.state()
            for path, body in (("x-report", {"requestId": "x.1"}), ("z-report", {"requestId": "z.1"}),
                               ("cash", {"requestId": "c.1", "direction": "in", "amount": "5.00"})):
                first = bench.call("POST", "/printers/main/" + path, body)
                again = bench.call("POST", "/printers/main/" + path, body)
                assert first[0] == 200 and first[2]["state"] == "done", first
                assert again[0] == 200 and again[2] == first[2] and again[1].get("Brenvik-Repeated") == "1", again
            # The same amount written another way is the same request.
            again = bench.call("POST", "/printers/main/cash", {"requestId": "c.1", "direction": "in", "amount": 500})
            assert again[0] == 200, again
            conflict = bench.call("POST", "/printers/main/z-report", {"requestId": "x.1"})
            assert conflict[0] == 409 and conflict[2]["error"]["path"] == "/requestId", conflict
            bad = bench.call("POST", "/printers/main/x-report", {"requestId": "not ok"})
            assert bad[0] == 400, bad
            after = bench.sim.state()
            journal = "\n".join(bench.sim.documents())
            assert journal.count("X-ЗВІТ") == 1 and journal.count("Z-ЗВІТ") == 1, journal
            assert after["z_number"] == before["z_number"] + 1, (before, after)
            assert after["day_cash_in"] == 500, after
            # Without a requestId each one is done, as before.
            assert bench.call("POST", "/printers/main/x-report")[0] == 200
            assert "\n".join(bench.sim.documents()).count("X-ЗВІТ") == 2
        finally:
            bench.stop()

    def run(self):
        cases = [getattr(self, name) for name in dir(self) if name.startswith("case_")]
        for case in cases:
            started = time.monotonic()
            try:
                case()
                print("ok   %s (%.1f s)" % (case.__name__, time.monotonic() - started))
            except Skip as reason:
                self.skipped.append(case.__name__)
                print("skip %s: %s" % (case.__name__, reason))
            except Exception as error:  # noqa: BLE001 - every case reports
                self.failures.append(case.__name__)
                print("FAIL %s: %r" % (case.__name__, error))
        print("%d passed, %d failed, %d skipped" % (len(cases) - len(self.failures) - len(self.skipped),
                                                     len(self.failures), len(self.skipped)))
        return 1 if self.failures else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    begun = time.monotonic()
    code = LedgerFaults(parser.parse_args().build).run()
    print("ledger faults test: %.1f s" % (time.monotonic() - begun))
    sys.exit(code)
