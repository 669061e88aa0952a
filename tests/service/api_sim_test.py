"""brenvikd against the simulated printer: every route, its success and its
error answers, each checked against the service's own /openapi.json."""
import argparse
import json
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import ApiDocument, Daemon, Simulator, wait_for, workdir  # noqa: E402


def receipt(request_id, price="12.50", name="Bread", **extra):
    doc = {"requestId": request_id, "type": "sale",
           "items": [{"name": name, "quantity": 1, "price": price, "tax": 1}]}
    doc.update(extra)
    return doc


class ApiTest:
    def __init__(self, build):
        self.build = build
        self.dir = workdir("api")
        self.sim = Simulator(build, self.dir)
        self.daemon = Daemon(build, self.dir, "--printer", "main=" + self.sim.link, "--log-dir", self.dir,
                             "--timeout-ms", "1000", "--raw")
        status, _, document = self.daemon.request("GET", "/openapi.json")
        assert status == 200
        self.api = ApiDocument(document)
        self.api.check("GET", "/openapi.json", status, document)
        self.failures = []

    def call(self, method, path, body=None, expect=None, **kwargs):
        status, headers, answer = self.daemon.request(method, path, body, **kwargs)
        self.api.check(method, path, status, answer)
        if expect is not None:
            assert status == expect, "%s %s: expected %d, got %d: %r" % (method, path, expect, status, answer)
        return status, headers, answer

    # Each case is one behaviour; all of them run, failures are collected.
    def case_information(self):
        _, _, page = self.call("GET", "/", expect=200)
        assert "<title>brenvikd</title>" in page
        _, _, printers = self.call("GET", "/printers", expect=200)
        assert [p["id"] for p in printers["printers"]] == ["main"]
        _, _, main = self.call("GET", "/printers/main", expect=200)
        assert main["connection"] == "online" and main["serialNumber"] == "4000012345", main
        self.call("GET", "/printers/elsewhere", expect=404)
        _, _, metrics = self.call("GET", "/metrics", expect=200)  # tests/metrics/ holds it to its format
        assert 'brenvik_printer_up{printer="main"} 1\n' in metrics, metrics
        _, _, status = self.call("GET", "/printers/main/status", expect=200)
        assert status["printer"]["lastCheckNumber"] == self.sim.state()["last_check_number"]
        expected = {"config": ("serialNumber", "4000012345"), "taxes": None, "cash": ("rest", None),
                    "fiscal": ("total", None), "documents": ("lastCheckNumber", None)}
        for kind, check in expected.items():
            _, _, doc = self.call("GET", "/printers/main/documents/" + kind, expect=200)
            if check:
                assert check[0] in doc and (check[1] is None or doc[check[0]] == check[1]), (kind, doc)
        _, _, taxes = self.call("GET", "/printers/main/documents/taxes")
        assert taxes["taxes"][0]["rate"] == 2000 and taxes["taxes"][1]["rate"] == 700
        self.call("GET", "/printers/main/documents/nothing", expect=404)
        _, _, article = self.call("GET", "/printers/main/articles/1", expect=422)
        assert article["error"]["word"] == "SOFTBADART", article

    def case_clock(self):
        _, _, now = self.call("GET", "/printers/main/time", expect=200)
        assert len(now["date"]) == 10 and len(now["time"]) == 8
        # The printer sets its clock in the programming key position only.
        self.sim.control("key 8")
        try:
            _, _, set_to = self.call("PUT", "/printers/main/time", {"time": now["date"] + "T23:59:30"}, expect=200)
        finally:
            self.sim.control("key 1")
        assert set_to["time"].startswith("23:59"), set_to
        _, _, bad = self.call("PUT", "/printers/main/time", {"time": "8 Dec"}, expect=400)
        assert bad["error"]["path"] == "/time"

    def case_cash_and_reports(self):
        before = self.sim.state()["cash"]
        self.call("POST", "/printers/main/cash", {"direction": "in", "amount": "100.00"}, expect=200)
        assert self.sim.state()["cash"] == before + 10000
        _, _, refused = self.call("POST", "/printers/main/cash", {"direction": "out", "amount": 99999999},
                                  expect=422)
        assert refused["error"]["word"] == "SOFTNEED", refused
        self.call("POST", "/printers/main/cash", {"direction": "in", "amount": 12.5}, expect=400)
        self.sim.control("key 0")
        try:
            _, _, locked = self.call("POST", "/printers/main/x-report", expect=422)
            assert locked["error"]["word"] and locked["error"]["number"] > 0, locked
        finally:
            self.sim.control("key 1")
        status, headers, task = self.call("POST", "/printers/main/x-report?async=1", expect=202)
        assert headers["Location"] == "/tasks/" + task["id"]
        done = wait_for(lambda: (lambda t: t if t["state"] == "done" else None)(
            self.call("GET", "/tasks/" + task["id"], expect=200)[2]), 30, "the X-report task")
        assert done["status"] == 200, done
        self.call("GET", "/tasks/ffffffff-99", expect=404)
        self.call("POST", "/printers/main/z-report", expect=200)
        journal = "\n".join(self.sim.documents())
        assert "X-ЗВІТ" in journal and "Z-ЗВІТ" in journal

    def case_raw(self):
        _, _, reply = self.call("POST", "/printers/main/raw", {"command": "GLCN"}, expect=200)
        assert reply["command"] == "GLCN"
        self.call("POST", "/printers/main/raw", {"command": "X"}, expect=400)
        self.call("POST", "/printers/main/raw", "{", expect=400)

    def case_receipts_exactly_once(self):
        checks = self.sim.state()["day_sale_checks"]
        _, _, first = self.call("POST", "/printers/main/receipt", receipt("api-1", name="API1 Bread"), expect=200)
        state = self.sim.state()
        assert first["checkNumber"] == state["last_check_number"], (first, state)
        assert state["day_sale_checks"] == checks + 1 and not state["check_open"]
        _, headers, again = self.call("POST", "/printers/main/receipt", receipt("api-1", name="API1 Bread"),
                                      expect=200)
        assert again == first and headers.get("Brenvik-Repeated") == "1"
        self.call("POST", "/printers/main/receipt", receipt("api-1", name="API1 Cake"), expect=409)
        assert self.sim.state()["day_sale_checks"] == checks + 1
        _, _, stored = self.call("GET", "/receipts/api-1", expect=200)
        assert stored["state"] == "closed" and stored["answer"] == first
        _, _, recent = self.call("GET", "/printers/main/receipts?limit=3", expect=200)
        assert recent["receipts"][0]["requestId"] == "api-1"
        self.call("GET", "/printers/main/receipts?limit=lots", expect=400)
        self.call("GET", "/receipts/never-sent", expect=404)
        printed = [d for d in self.sim.documents() if "API1" in d]
        assert len(printed) == 1, printed

    def case_receipts_refused(self):
        before = self.sim.state()
        _, _, bad = self.call("POST", "/printers/main/receipt", receipt("api-bad", price="-1"), expect=400)
        assert bad["error"]["path"] == "/items/0/price", bad
        # Three mistakes: three errors, each with its JSON Pointer.
        three = receipt("api-three", price="1.005")
        three["items"].append({"name": "Cake", "quantity": 0, "price": 1})
        three["payments"] = {"card": "x"}
        _, _, bad = self.call("POST", "/printers/main/receipt", three, expect=400)
        assert [e["path"] for e in bad["error"]["errors"]] == ["/items/0/price", "/items/1/quantity",
                                                                "/payments/card"], bad
        _, _, broken = self.call("POST", "/printers/main/receipt", '{"requestId": "api-broken",\n "type": }',
                                 expect=400)
        assert broken["error"]["message"].startswith("line 2, column 10: "), broken
        assert "json.exception" not in json.dumps(broken) and "syntax error" not in json.dumps(broken), broken
        _, _, no_id = self.call("POST", "/printers/main/receipt", {"type": "sale", "items": []}, expect=400)
        assert no_id["error"]["path"] == "/requestId"
        self.call("POST", "/printers/nowhere/receipt", receipt("api-x"), expect=404)
        self.sim.control("paper out")
        try:
            _, _, failed = self.call("POST", "/printers/main/receipt", receipt("api-paper"), expect=422)
        finally:
            self.sim.control("paper in")
        assert failed["state"] == "failed" and failed["cancelled"] is True, failed
        assert failed["error"]["word"] == "SOFTPAPER", failed
        after = self.sim.state()
        assert not after["check_open"] and after["day_sale_checks"] == before["day_sale_checks"]
        # A failed receipt is stored as failed: the same id answers the same.
        _, _, again = self.call("POST", "/printers/main/receipt", receipt("api-paper"), expect=422)
        assert again == failed

    def case_languages_and_schemas(self):
        # The printer's error told in English, or in Ukrainian when asked
        # (?lang= wins over Accept-Language); its own Russian words stay.
        self.sim.control("paper out")
        try:
            answers = {lang: self.call("POST", "/printers/main/x-report" + query, headers=headers, expect=422)[2]
                       for lang, query, headers in [("en", "", None), ("uk", "?lang=uk", None),
                                                    ("uk-header", "", {"Accept-Language": "de, uk;q=0.8, en;q=0.5"}),
                                                    ("en-query", "?lang=en", {"Accept-Language": "uk"})]}
        finally:
            self.sim.control("paper in")
        en, uk = answers["en"]["error"], answers["uk"]["error"]
        assert en["number"] == uk["number"] == 81 and en["word"] == "SOFTPAPER", en
        assert en["message"] == "Paper is running out: the printer refused the command and printed nothing", en
        assert uk["message"] == "Закінчується папір: реєстратор відхилив команду й нічого не надрукував", uk
        assert uk["advice"].startswith("Заправте папір") and en["advice"].startswith("Load paper"), (en, uk)
        assert en["engineMessage"] == uk["engineMessage"] and "HARDPAPER" in en["engineMessage"], (en, uk)
        assert answers["uk-header"]["error"] == uk and answers["en-query"]["error"] == en, answers
        # The schemas the API document refers to are served as they are.
        for name in self.api.schemas.names():
            status, _, text = self.call("GET", "/schemas/" + name, expect=200)
            assert json.loads(text) == self.api.schemas.store["https://brenvik.example/schemas/" + name], name
        self.call("GET", "/schemas/nothing.schema.json", expect=404)

    def case_offline_printer(self):
        offline = Daemon(self.build, workdir("offline"), "--printer", "gone=/nonexistent/tty",
                         "--timeout-ms", "200")
        try:
            status, _, printers = offline.request("GET", "/printers/gone")
            assert status == 200 and printers["connection"] == "offline", printers
            status, _, answer = offline.request("POST", "/printers/gone/x-report")
            self.api.check("POST", "/printers/gone/x-report", status, answer)
            assert status == 503, answer
        finally:
            offline.stop()
        # The journal's view: a line per request, and the printer's state.
        with open(os.path.join(offline.workdir, "brenvikd.log"), encoding="utf-8") as f:
            log = f.read()
        assert re.search(r"^brenvikd: request method=POST path=/printers/gone/x-report status=503 ms=\d+ "
                         r"client=127\.0\.0\.1$", log, re.M), log
        assert re.search(r"^brenvikd: printer=gone state=offline detail=", log, re.M), log

    def case_printer_replaced_on_its_line(self):
        # A new pseudo-terminal behind the same name, as an adapter plugged in
        # again: the service must open the line anew, not wait on the old one.
        where = workdir("replaced")
        sim = Simulator(self.build, where)
        daemon = Daemon(self.build, where, "--printer", "p=" + sim.link, "--timeout-ms", "300")
        try:
            wait_for(lambda: daemon.request("GET", "/printers/p")[2]["connection"] == "online", 10, "online")
            sim.stop()
            sim = Simulator(self.build, where)
            wait_for(lambda: daemon.request("POST", "/printers/p/x-report")[0] == 200, 15, "the new line in use")
        finally:
            daemon.stop()
            sim.stop()

    def run(self):
        cases = [getattr(self, name) for name in dir(self) if name.startswith("case_")]
        for case in cases:
            try:
                case()
                print("ok   %s" % case.__name__)
            except Exception as error:  # noqa: BLE001 - every case reports
                self.failures.append(case.__name__)
                print("FAIL %s: %s" % (case.__name__, error))
        unseen = self.api.unseen()
        if unseen:
            self.failures.append("coverage")
            print("FAIL routes in the API document never called: %s" % unseen)
        self.daemon.stop()
        self.sim.stop()
        passed = len(cases) - len([f for f in self.failures if f != "coverage"])
        print("%d passed, %d failed" % (passed, len(self.failures)))
        return 1 if self.failures else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    started = time.monotonic()
    code = ApiTest(parser.parse_args().build).run()
    print("api test: %.1f s" % (time.monotonic() - started))
    sys.exit(code)
