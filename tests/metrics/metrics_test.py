"""GET /metrics of brenvikd against m301sim: the output read by Prometheus's
own parser, the counters moved by receipts, reports, cash and the printer's
faults, the token rules of both ports, and the shipped dashboard and alert
rules held to the names a live service exports."""
import argparse
import http.client
import json
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "service"))
from harness import Daemon, Simulator, wait_for, workdir  # noqa: E402

try:
    from prometheus_client.parser import text_string_to_metric_families
    import yaml
except ImportError:  # Debian's packages, for an interpreter of another prefix
    sys.path.append("/usr/lib/python3/dist-packages")
    from prometheus_client.parser import text_string_to_metric_families
    import yaml

TOKEN = "metrics-test-token"


def receipt(request_id, price="12.50"):
    return {"requestId": request_id, "type": "sale",
            "items": [{"name": "Bread", "quantity": 1, "price": price, "tax": 1}]}


def get(port, path, headers=None, method="GET"):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request(method, path, headers=headers or {})
        response = conn.getresponse()
        return response.status, response.getheader("Content-Type", ""), response.read().decode()
    finally:
        conn.close()


class Scrape:
    """One /metrics text, parsed; values by (sample name, labels)."""

    def __init__(self, text):
        self.text = text
        self.families = list(text_string_to_metric_families(text))
        self.samples = {}
        for family in self.families:
            for s in family.samples:
                self.samples[(s.name, tuple(sorted(s.labels.items())))] = s.value

    def value(self, name, default=0.0, **labels):
        return self.samples.get((name, tuple(sorted(labels.items()))), default)

    def names(self):
        return {name for name, _ in self.samples}


class MetricsTest:
    def __init__(self, build):
        self.dir = workdir("metrics")
        with open(os.path.join(self.dir, "token"), "w") as f:
            f.write(TOKEN + "\n")
        self.sim = Simulator(build, self.dir)
        self.daemon = Daemon(build, self.dir, "--printer", "main=" + self.sim.link, "--log-dir", self.dir,
                             "--timeout-ms", "1000", "--token-file", os.path.join(self.dir, "token"),
                             "--metrics-port", "0", token=TOKEN)
        with open(os.path.join(self.dir, "brenvikd.log")) as f:
            self.metrics_port = int(re.search(r"metrics on http://127\.0\.0\.1:(\d+)/metrics", f.read()).group(1))
        self.seen = set()  # every sample name any scrape showed
        self.failures = []

    def scrape(self):
        status, kind, text = get(self.metrics_port, "/metrics")
        assert status == 200 and kind.startswith("text/plain; version=0.0.4"), (status, kind)
        scrape = Scrape(text)
        self.seen |= scrape.names()
        return scrape

    def post(self, path, body=None, expect=None):
        status, _, answer = self.daemon.request("POST", path, body)
        if expect is not None:
            assert status == expect, "%s: expected %d, got %d: %r" % (path, expect, status, answer)
        return answer

    def moved(self, before, after, name, **labels):
        return after.value(name, **labels) - before.value(name, **labels)

    # --- the cases, in this order: the last one takes the printer away ---

    def case_token_rules(self):
        status, _, body = get(self.daemon.port, "/metrics")
        assert status == 401 and json.loads(body)["error"]["status"] == "unauthorized", (status, body)
        status, _, _ = get(self.daemon.port, "/metrics", {"Authorization": "Bearer wrong"})
        assert status == 401, status
        status, kind, text = get(self.daemon.port, "/metrics", {"Authorization": "Bearer " + TOKEN})
        assert status == 200 and kind.startswith("text/plain") and "brenvik_printer_up" in text, (status, kind)
        # The separate port: /metrics without a token, and nothing else.
        assert get(self.metrics_port, "/metrics")[0] == 200
        assert get(self.metrics_port, "/metrics", method="HEAD")[0] == 200
        for path in ("/", "/printers", "/printers/main/status", "/openapi.json", "/metrics/"):
            status, _, body = get(self.metrics_port, path, {"Authorization": "Bearer " + TOKEN})
            assert status == 404 and json.loads(body)["error"]["status"] == "not-found", (path, status)
        assert get(self.metrics_port, "/printers/main/x-report", method="POST")[0] == 404
        # A page whose name was pointed at the loopback cannot read it.
        assert get(self.metrics_port, "/metrics", {"Host": "attacker.example"})[0] == 403
        assert get(self.metrics_port, "/metrics", {"Origin": "http://attacker.example"})[0] == 403

    def case_format_is_prometheus_text(self):
        scrape = self.scrape()
        helped = set(re.findall(r"^# HELP (\S+) \S", scrape.text, re.M))
        typed = dict(re.findall(r"^# TYPE (\S+) (\S+)$", scrape.text, re.M))
        assert scrape.families, "no families"
        for family in scrape.families:
            # The parser drops a counter's _total from the family's name.
            written = family.name + "_total" if family.type == "counter" else family.name
            assert written in helped and family.documentation, "no HELP for %s" % written
            assert typed.get(written) == family.type != "unknown", "no TYPE for %s" % written
            for s in family.samples:
                assert s.name.startswith(family.name), (family.name, s.name)
        # Every series of a histogram ends at +Inf with its count.
        for (name, labels), value in scrape.samples.items():
            if name.endswith("_count"):
                base = name[:-len("_count")]
                inf = scrape.samples.get((base + "_bucket", tuple(sorted(labels + (("le", "+Inf"),)))))
                assert inf == value, (base, labels, inf, value)
        want = ["process_cpu_seconds_total", "process_resident_memory_bytes", "process_virtual_memory_bytes",
                "process_open_fds", "process_max_fds", "process_start_time_seconds"]
        missing = [n for n in want if n not in scrape.names()]
        assert not missing, missing
        assert 1e6 < scrape.value("process_resident_memory_bytes") < scrape.value("process_virtual_memory_bytes")
        assert 0 < scrape.value("process_open_fds") < scrape.value("process_max_fds")
        assert abs(scrape.value("process_start_time_seconds") - time.time()) < 600
        assert scrape.value("brenvik_ledger_size_bytes") >= os.path.getsize(self.daemon.ledger) > 0

    def case_counters_move_with_receipts_reports_and_cash(self):
        p = "/printers/main"
        before = self.scrape()
        self.post(p + "/receipt", receipt("m-1"), expect=200)
        self.post(p + "/receipt", receipt("m-1"), expect=200)  # a repeat, from the ledger: not a receipt
        self.post(p + "/x-report", {"requestId": "m-x1"}, expect=200)
        self.post(p + "/cash", {"direction": "in", "amount": "50.00"}, expect=200)
        self.post(p + "/cash", {"direction": "out", "amount": 99999999}, expect=422)  # more than the drawer holds
        after = self.scrape()
        expected = [("brenvik_receipts_total", {"outcome": "closed"}, 1),
                    ("brenvik_receipts_total", {"outcome": "failed"}, 0),
                    ("brenvik_receipt_duration_seconds_count", {}, 1),
                    ("brenvik_operations_total", {"kind": "x-report", "outcome": "done"}, 1),
                    ("brenvik_operations_total", {"kind": "cash", "outcome": "done"}, 1),
                    ("brenvik_operations_total", {"kind": "cash", "outcome": "not_done"}, 1),
                    ("brenvik_printer_errors_total", {"word": "SOFTNEED"}, 1)]
        for name, labels, delta in expected:
            got = self.moved(before, after, name, printer="main", **labels)
            assert got == delta, "%s%r moved by %s, not %s" % (name, labels, got, delta)
        assert after.value("brenvik_printer_last_check_number", printer="main") == \
            self.sim.state()["last_check_number"]
        assert after.value("brenvik_printer_up", printer="main") == 1
        assert after.value("brenvik_status_request_duration_seconds_count", printer="main") >= 1

    def case_paper_out_is_counted_and_shown(self):
        p = "/printers/main"
        before = self.scrape()
        assert ("brenvik_printer_paper_out", (("printer", "main"),)) in before.samples  # printed above
        self.sim.control("paper out")
        try:
            answer = self.post(p + "/receipt", receipt("m-paper-1"), expect=422)
            assert answer["error"]["word"] == "SOFTPAPER", answer
            out = self.scrape()
        finally:
            self.sim.control("paper in")
        assert out.value("brenvik_printer_paper_out", printer="main") == 1
        assert self.moved(before, out, "brenvik_receipts_total", printer="main", outcome="failed") == 1
        assert self.moved(before, out, "brenvik_printer_errors_total", printer="main", word="SOFTPAPER") >= 1
        self.post(p + "/receipt", receipt("m-paper-2"), expect=200)
        assert self.scrape().value("brenvik_printer_paper_out", printer="main") == 0

    def case_queue_depth_while_the_printer_is_busy(self):
        self.sim.control("next delay 800")  # within the 1000 ms time-out: slow, not lost
        for n in range(3):
            status, _, _ = self.daemon.request("POST", "/printers/main/receipt?async=1", receipt("m-q%d" % n))
            assert status in (200, 202), status
        depth = self.scrape().value("brenvik_queue_depth", printer="main")
        assert depth >= 1, depth
        wait_for(lambda: self.scrape().value("brenvik_queue_depth", printer="main") == 0, 20, "the queue to empty")

    def case_undecided_receipt_then_reconciled(self):
        before = self.scrape()
        # The close is carried out, its reply (and every one behind it) held
        # longer than the service asks: the answer cannot say.
        self.sim.control("target COMP")
        self.sim.control("next delay 6000")
        status, _, answer = self.daemon.request("POST", "/printers/main/receipt", receipt("m-lost"))
        assert status == 504 and answer["state"] == "closing", (status, answer)
        held = self.scrape()
        assert self.moved(before, held, "brenvik_receipts_total", printer="main", outcome="undecided") == 1
        assert held.value("brenvik_requests_undecided", printer="main") == 1
        assert self.moved(before, held, "brenvik_reconciliations_total", printer="main", result="undecided") >= 1
        decided = wait_for(lambda: (lambda s: s if s.value("brenvik_requests_undecided", printer="main") == 0
                                    else None)(self.scrape()), 30, "the reconciliation")
        assert self.moved(before, decided, "brenvik_receipts_total", printer="main",
                          outcome="reconciled_closed") == 1
        assert self.moved(before, decided, "brenvik_reconciliations_total", printer="main", result="decided") == 1
        assert self.daemon.request("GET", "/receipts/m-lost")[2]["state"] == "closed"

    def case_printer_down(self):
        self.sim.stop()
        wait_for(lambda: self.scrape().value("brenvik_printer_up", printer="main", default=1) == 0, 20,
                 "brenvik_printer_up to fall to 0")

    def check_dashboard_and_alerts(self):
        """Every metric the shipped dashboard and alert rules ask for is
        one a live service exports: a renamed metric breaks this, not the
        shop's dashboard."""
        with open(os.path.join(ROOT, "docs", "grafana", "brenvik-dashboard.json")) as f:
            dashboard = json.load(f)
        with open(os.path.join(ROOT, "docs", "prometheus", "brenvik-alerts.yml")) as f:
            alerts = yaml.safe_load(f)
        expressions = []

        def panels(items):
            for panel in items:
                yield panel
                yield from panels(panel.get("panels", []))
        for panel in panels(dashboard["panels"]):
            expressions += [t["expr"] for t in panel.get("targets", [])]
        expressions += [v["query"] if isinstance(v["query"], str) else v["query"]["query"]
                        for v in dashboard.get("templating", {}).get("list", []) if v.get("type") == "query"]
        rules = [r for g in alerts["groups"] for r in g["rules"]]
        names = {r["alert"] for r in rules}
        assert {"BrenvikPrinterDown", "BrenvikPaperOut", "BrenvikUndecidedRequests"} <= names, names
        assert next(r for r in rules if r["alert"] == "BrenvikPrinterDown")["for"] == "5m"
        expressions += [r["expr"] for r in rules]
        used = set()
        for expr in expressions:
            used |= set(re.findall(r"\b(?:brenvik|process)_[a-z0-9_]+", re.sub(r'"[^"]*"', '""', expr)))
        assert len(used) >= 10, used
        unknown = sorted(used - self.seen)
        assert not unknown, "asked for but not exported: %s" % unknown

    def run(self):
        cases = [self.case_token_rules, self.case_format_is_prometheus_text,
                 self.case_counters_move_with_receipts_reports_and_cash, self.case_paper_out_is_counted_and_shown,
                 self.case_queue_depth_while_the_printer_is_busy, self.case_undecided_receipt_then_reconciled,
                 self.case_printer_down, self.check_dashboard_and_alerts]
        for case in cases:
            try:
                case()
                print("ok   %s" % case.__name__)
            except Exception as error:  # noqa: BLE001 - every case reports
                self.failures.append(case.__name__)
                print("FAIL %s: %r" % (case.__name__, error))
        self.daemon.stop()
        self.sim.stop()
        print("%d passed, %d failed" % (len(cases) - len(self.failures), len(self.failures)))
        return 1 if self.failures else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    started = time.monotonic()
    code = MetricsTest(parser.parse_args().build).run()
    print("metrics test: %.1f s" % (time.monotonic() - started))
    sys.exit(code)
