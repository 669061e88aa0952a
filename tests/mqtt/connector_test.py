"""brenvikd's MQTT connector against a real mosquitto and m301sim: receipts
and reports through the broker print once, a message published again is
answered from the ledger, mistakes are answered (never dropped), the
status is retained with its last will, and a printer that is away makes a
message wait or refuses it, per the setting."""
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mqtt_support import (run_cases, PREFIX, SHOP, Broker, Cloud, start_simulator, check_paper, receipt,  # noqa: E402
                          start_daemon, wait_for, workdir)

BASE = "%s/%s" % (PREFIX, SHOP)


class ConnectorTest:
    def __init__(self, build):
        self.build = build
        self.dir = workdir("mqtt")
        self.broker = Broker(self.dir)
        self.state = os.path.join(self.dir, "printer.state")
        self.sim = start_simulator(build, self.dir, "--state", self.state)
        self.daemon = start_daemon(build, self.dir, self.sim, self.broker)
        self.cloud = Cloud(self.broker)
        self.numbers = []

    def retained(self, topic):
        with self.cloud.lock:
            found = [p for t, p in self.cloud.other if t == topic]
        return found[-1] if found else None

    def print_receipts(self, numbers):
        for n in numbers:
            self.cloud.send("main", "receipt", receipt(n))
        self.numbers += numbers
        self.cloud.wait(["m-%04d" % n for n in numbers], 30)

    def case_receipts_print_once(self):
        self.print_receipts(list(range(0, 8)))
        for n in range(8):
            answer = self.cloud.result("m-%04d" % n)
            assert answer["httpStatus"] == 200 and answer["state"] == "closed", answer
        assert check_paper(self.sim, self.cloud, self.numbers) == []

    def case_published_again_is_answered_from_the_ledger(self):
        first = self.cloud.result("m-0000")
        checks = self.sim.state()["day_sale_checks"]
        self.cloud.send("main", "receipt", receipt(0))
        wait_for(lambda: len(self.cloud.results["m-0000"]) == 2, 10, "the second answer")
        again = self.cloud.results["m-0000"][1]
        assert again.get("repeated") is True and {k: v for k, v in again.items() if k != "repeated"} == first, again
        assert self.sim.state()["day_sale_checks"] == checks
        # The same requestId for another receipt: a conflict, and nothing printed.
        self.cloud.send("main", "receipt", receipt(0, price="99.99"))
        wait_for(lambda: len(self.cloud.results["m-0000"]) == 3, 10, "the conflict's answer")
        assert self.cloud.results["m-0000"][2]["httpStatus"] == 409
        self.cloud.results["m-0000"].pop()
        assert self.sim.state()["day_sale_checks"] == checks

    def case_mistakes_are_answered(self):
        # (topic's printer and kind, payload, where the answer comes, its status)
        table = [
            ("main/receipt", {"type": "sale", "items": []}, "main/error", 400),
            ("main/receipt", "{not json", "main/error", 400),
            ("main/receipt", {"requestId": "bad/id", "type": "sale"}, "main/error", 400),
            ("main/receipt", {"requestId": "e-1", "type": "sale", "items": []}, "main/result/e-1", 400),
            ("nowhere/receipt", dict(receipt(1), requestId="e-2"), "nowhere/result/e-2", 404),
            ("main/cash", {"requestId": "e-3", "direction": "sideways", "amount": 5}, "main/result/e-3", 400),
        ]
        for where, payload, answer_topic, status in table:
            printer, kind = where.split("/")
            self.cloud.send(printer, kind, payload)
            topic = "%s/printers/%s" % (BASE, answer_topic)

            def answered():
                if "/result/" in topic:
                    return self.cloud.result(topic.rsplit("/", 1)[1])
                found = self.retained(topic)
                return found and json.loads(found)
            answer = wait_for(answered, 10, "the answer on " + topic)
            assert answer["httpStatus"] == status and answer["error"]["status"], (where, payload, answer)
            if answer_topic.endswith("/error"):
                assert answer["topic"] == "%s/printers/%s" % (BASE, where), answer
            with self.cloud.lock:
                self.cloud.other = [(t, p) for t, p in self.cloud.other if t != topic]

    def case_reports_and_cash(self):
        self.cloud.send("main", "x-report", {"requestId": "r-x"})
        self.cloud.send("main", "cash", {"requestId": "r-cash", "direction": "in", "amount": "10.00"})
        self.cloud.wait(["r-x", "r-cash"], 30)
        x, cash = self.cloud.result("r-x"), self.cloud.result("r-cash")
        assert x["httpStatus"] == 200 and x["outcome"] == "done", x
        assert cash["httpStatus"] == 200 and cash["outcome"] == "done", cash

    def case_status_is_retained(self):
        assert wait_for(lambda: self.retained(BASE + "/status"), 10, "the status") == "online"
        status = json.loads(wait_for(lambda: self.retained(BASE + "/printers/main/status"), 10, "printer status"))
        assert status["connection"] == "online" and status["serialNumber"] == "4000012345", status

    def case_offline_printer_queue_or_refuse(self):
        for policy in ("queue", "refuse"):
            self.daemon.stop()
            self.sim.stop()  # switched off: its state stays in its file
            self.daemon = start_daemon(self.build, self.dir, self.sim, self.broker, "--mqtt-offline", policy)
            n = 20 if policy == "queue" else 21
            wait_for(lambda: json.loads(self.retained(BASE + "/printers/main/status") or "{}").get("connection")
                     == "offline", 20, "the printer offline")
            self.cloud.send("main", "receipt", receipt(n))
            self.numbers.append(n)
            if policy == "queue":
                time.sleep(1.5)
                assert self.cloud.result("m-%04d" % n) is None, "answered while the printer was away"
                self.sim = start_simulator(self.build, self.dir, "--state", self.state)
                self.cloud.wait(["m-%04d" % n], 30)
                assert self.cloud.result("m-%04d" % n)["httpStatus"] == 200
            else:
                self.cloud.wait(["m-%04d" % n], 30)
                answer = self.cloud.result("m-%04d" % n)
                self.sim = start_simulator(self.build, self.dir, "--state", self.state)
                assert answer["httpStatus"] == 503 and answer["error"]["status"] in ("unavailable", "no-connection"), \
                    answer
        assert check_paper(self.sim, self.cloud, self.numbers) == []

    def case_last_will_and_offline_status(self):
        self.daemon.kill9()
        # The broker tells the will as the connection drops.
        wait_for(lambda: self.retained(BASE + "/status") == "offline", 15, "the last will")
        self.daemon.start()
        wait_for(lambda: self.retained(BASE + "/status") == "online", 15, "online again")
        self.daemon.stop()
        wait_for(lambda: self.retained(BASE + "/status") == "offline", 5, "offline at a stop")
        self.daemon.start()

    def cleanup(self):
        self.cloud.close()
        self.daemon.stop()
        self.sim.stop()
        self.broker.stop()


if __name__ == "__main__":
    sys.exit(run_cases(ConnectorTest))
