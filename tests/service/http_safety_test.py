"""brenvikd's HTTP side against the simulated printer, as a web page, a
slow client or a second service would meet it: requests from foreign pages
and foreign names print nothing, trickling clients do not starve the status,
a second service on the address is refused, and the clock and empty POSTs
behave."""
import argparse
import datetime
import json
import os
import select
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import ApiDocument, Daemon, Simulator, workdir  # noqa: E402

REQUEST_BOUND_S = 2.0  # --request-timeout-ms of the daemon under test
SLOW_CLIENTS = 300
PER_CLIENT = 64  # the daemon's default --client-connections


def send(port, method, path, headers=None, body=None, timeout=20):
    """One request exactly as given (no Content-Length without a body);
    returns (status, headers in lower case, JSON or text)."""
    fields = {"Host": "127.0.0.1:%d" % port, "Connection": "close"}
    fields.update(headers or {})
    head = "%s %s HTTP/1.1\r\n" % (method, path)
    head += "".join("%s: %s\r\n" % (k, v) for k, v in fields.items() if v is not None)
    if body is not None:
        head += "Content-Length: %d\r\n" % len(body)
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(head.encode() + b"\r\n" + (body or b""))
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    top, _, payload = data.partition(b"\r\n\r\n")
    lines = top.decode("latin-1").split("\r\n")
    answer = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    parsed = json.loads(payload) if answer.get("content-type", "").startswith("application/json") else payload
    return int(lines[0].split()[1]), answer, parsed


class SafetyTest:
    def __init__(self, build):
        self.build = build
        self.dir = workdir("safety")
        self.sim = Simulator(build, self.dir)
        self.daemon = Daemon(build, self.dir, "--printer", "main=" + self.sim.link, "--log-dir", self.dir, "--raw",
                             "--allow-host", "till.shop.example", "--cors-origin", "http://pos.example:3000",
                             "--request-timeout-ms", str(int(REQUEST_BOUND_S * 1000)))
        self.port = self.daemon.port
        self.api = ApiDocument(self.daemon.request("GET", "/openapi.json")[2])
        self.failures = []
        self.figures = []

    def call(self, method, path, headers=None, body=None):
        status, headers, answer = send(self.port, method, path, headers, body)
        self.api.check(method, path, status, answer)
        return status, headers, answer

    def printed(self):
        """What the printer did that a request could have caused."""
        state = self.sim.state()
        keys = ("day_sale_checks", "z_number", "last_serv_doc_number", "drawer_openings", "cash")
        return {k: state[k] for k in keys}, len(self.sim.documents())

    def case_pages_and_names_not_ours_change_nothing(self):
        evil, own = "http://evil.example", "http://127.0.0.1:%d" % self.port
        sale = json.dumps({"requestId": "cross-1", "type": "sale",
                           "items": [{"name": "Bread", "quantity": 1, "price": "1.00", "tax": 1}]}).encode()
        kass, cash = b'{"command":"KASS"}', b'{"direction":"in","amount":100}'
        plain, form, js = "text/plain", "application/x-www-form-urlencoded", "application/json"
        refused = [
            # what, method, route, headers, body, status
            ("receipt from a foreign page as text", "POST", "receipt", {"Origin": evil, "Content-Type": plain}, sale,
             403),
            ("z-report from a foreign page as text", "POST", "z-report", {"Origin": evil, "Content-Type": plain}, b"",
             403),
            ("raw from a foreign page as text", "POST", "raw", {"Origin": evil, "Content-Type": plain}, kass, 403),
            ("raw from a foreign page as JSON", "POST", "raw", {"Origin": evil, "Content-Type": js}, kass, 403),
            ("x-report from a sandboxed page", "POST", "x-report", {"Origin": "null"}, None, 403),
            ("cash from a look-alike name", "POST", "cash",
             {"Origin": "http://127.0.0.1.evil.example:%d" % self.port, "Content-Type": js}, cash, 403),
            ("cash from our address on another port", "POST", "cash",
             {"Origin": "http://127.0.0.1:%d" % (self.port + 1), "Content-Type": js}, cash, 403),
            ("receipt without Origin as text", "POST", "receipt", {"Content-Type": plain}, sale, 415),
            ("receipt without a type", "POST", "receipt", {}, sale, 415),
            ("x-report as an empty form", "POST", "x-report", {"Content-Type": form}, b"", 415),
            ("z-report under a rebound name", "POST", "z-report", {"Host": "evil.example:%d" % self.port}, None, 403),
            ("status under a rebound name", "GET", "status", {"Host": "evil.example:%d" % self.port}, None, 403),
            ("status on another port", "GET", "status", {"Host": "127.0.0.1:80"}, None, 403),
            ("status read by a foreign page", "GET", "status", {"Origin": evil}, None, 403),
        ]
        before = self.printed()
        for what, method, route, headers, body, expected in refused:
            status, _, answer = self.call(method, "/printers/main/" + route, headers, body)
            assert status == expected, "%s: %d, not %d: %r" % (what, status, expected, answer)
        assert self.printed() == before, "refused requests reached the printer: %r -> %r" % (before, self.printed())

        allowed = [
            ("raw from a program", {"Content-Type": js}),
            ("raw from the service's own page", {"Origin": own, "Content-Type": "application/json; charset=utf-8"}),
            ("raw from the page as localhost", {"Origin": "http://localhost:%d" % self.port,
                                                "Host": "localhost:%d" % self.port, "Content-Type": js}),
            ("raw as [::1]", {"Host": "[::1]:%d" % self.port, "Content-Type": "Application/JSON"}),
            ("raw under an allowed name", {"Host": "till.shop.example", "Content-Type": js}),
            ("raw from an allowed site", {"Origin": "http://pos.example:3000", "Content-Type": js}),
        ]
        openings = before[0]["drawer_openings"]
        for what, headers in allowed:
            status, answer_headers, answer = self.call("POST", "/printers/main/raw", headers, kass)
            assert status == 200, "%s: %d %r" % (what, status, answer)
        assert self.printed()[0]["drawer_openings"] == openings + len(allowed)
        _, answer_headers, _ = self.call("GET", "/printers", {"Origin": "http://pos.example:3000"})
        assert answer_headers.get("access-control-allow-origin") == "http://pos.example:3000"
        # An answer that waited for the printer carries them too, or the page never sees it.
        status, answer_headers, answer = self.call("POST", "/printers/main/x-report",
                                                   {"Origin": "http://pos.example:3000"})
        assert status == 200 and answer_headers.get("access-control-allow-origin") == "http://pos.example:3000", \
            (status, answer_headers, answer)

    def case_a_post_without_body_or_length_is_empty(self):
        reports = self.sim.state()["last_serv_doc_number"]
        # As the status page's button sends it: the page's Origin, no body, no type.
        status, _, answer = self.call("POST", "/printers/main/x-report",
                                      {"Origin": "http://127.0.0.1:%d" % self.port})
        assert status == 200, answer
        assert self.sim.state()["last_serv_doc_number"] == reports + 1
        status, _, answer = self.call("POST", "/printers/main/receipt")
        assert status == 400 and answer["error"]["path"] == "", answer

    def case_the_clock_keeps_the_printers_date(self):
        js = {"Content-Type": "application/json"}
        _, _, clock = self.call("GET", "/printers/main/time")
        other = (datetime.date.fromisoformat(clock["date"]) + datetime.timedelta(days=1)).isoformat()
        for value in (other + "T10:00:00", clock["date"] + "T24:00:00", "later"):
            status, _, answer = self.call("PUT", "/printers/main/time", js, json.dumps({"time": value}).encode())
            assert status == 400 and answer["error"]["path"] == "/time", (value, answer)
        asked = datetime.datetime.now()
        self.sim.control("key 8")  # the clock is set in the programming key position only
        try:
            status, _, answer = self.call("PUT", "/printers/main/time", js, b'{"time":"now"}')
        finally:
            self.sim.control("key 1")
        assert status == 200 and answer["date"] == clock["date"], answer
        set_to = datetime.datetime.combine(asked.date(), datetime.time.fromisoformat(answer["time"]))
        assert abs((set_to - asked).total_seconds()) < 5, (answer, asked)

    def case_slow_clients_do_not_starve_the_status(self):
        started = time.monotonic()
        slow = []
        for _ in range(SLOW_CLIENTS):
            s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            s.sendall(b"POST /printers/main/receipt HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-Slow: " % self.port)
            s.setblocking(False)
            slow.append(s)
        opened = {s: time.monotonic() for s in slow}
        closed_at = {}
        latencies = []
        open_midway = None
        while len(closed_at) < len(slow) and time.monotonic() < started + REQUEST_BOUND_S + 3:
            for s in slow:
                if s not in closed_at:
                    try:
                        s.send(b"x")
                    except OSError:
                        pass
            readable, _, _ = select.select([s for s in slow if s not in closed_at], [], [], 0)
            for s in readable:
                try:
                    data = s.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    closed_at[s] = time.monotonic()
            asked = time.monotonic()
            status, _, _ = self.daemon.request("GET", "/printers/main/status", timeout=10)
            latencies.append(time.monotonic() - asked)
            assert status == 200
            if open_midway is None and time.monotonic() > started + REQUEST_BOUND_S / 2:
                open_midway = len(slow) - len(closed_at)
            time.sleep(0.1)
        for s in slow:
            s.close()
        latencies.sort()
        self.figures.append("GET /status under %d trickling connections: %d answers, median %.1f ms, max %.1f ms"
                            % (SLOW_CLIENTS, len(latencies), 1000 * latencies[len(latencies) // 2],
                               1000 * latencies[-1]))
        assert latencies[-1] < 1.0, latencies
        assert len(closed_at) == len(slow), "%d slow connections still open" % (len(slow) - len(closed_at))
        # The excess over the per-client limit made room at once; the rest
        # trickled on until the whole-request bound, not a byte's time-out.
        assert open_midway is not None and 0 < open_midway <= PER_CLIENT, open_midway
        bounded = [closed_at[s] - opened[s] for s in slow if closed_at[s] > started + REQUEST_BOUND_S / 2]
        assert bounded and min(bounded) >= REQUEST_BOUND_S - 0.2, min(bounded)
        self.figures.append("evicted at once: %d, closed by the %.0f s bound: %d (after %.2f to %.2f s)"
                            % (len(slow) - len(bounded), REQUEST_BOUND_S, len(bounded), min(bounded),
                               max(bounded)))

    def case_a_second_service_and_an_open_address_are_refused(self):
        program = os.path.join(self.build, "service", "brenvikd")
        base = ["--printer", "gone=/nonexistent/tty"]
        ledger = ["--ledger", os.path.join(self.dir, "second.db")]
        second = subprocess.run([program, "--listen", "127.0.0.1:%d" % self.port, *base, *ledger],
                                capture_output=True, text=True, timeout=30)
        assert second.returncode != 0 and "in use" in second.stderr, (second.returncode, second.stderr)
        assert self.daemon.request("GET", "/printers/main/status")[0] == 200
        exposed = subprocess.run([program, "--listen", "0.0.0.0:0", *base, *ledger], capture_output=True,
                                 text=True, timeout=30)
        assert exposed.returncode != 0 and "without a token" in exposed.stderr, (exposed.returncode, exposed.stderr)
        plain = Daemon(self.build, workdir("plain"), *base)
        try:
            status, _, answer = plain.request("POST", "/printers/gone/raw", {"command": "KASS"})
            assert status == 403 and "switched off" in answer["error"]["message"], answer
        finally:
            plain.stop()

    def run(self):
        cases = [getattr(self, name) for name in dir(self) if name.startswith("case_")]
        for case in cases:
            began = time.monotonic()
            try:
                case()
                print("ok   %s (%.1f s)" % (case.__name__, time.monotonic() - began))
            except Exception as error:  # noqa: BLE001 - every case reports
                self.failures.append(case.__name__)
                print("FAIL %s: %s" % (case.__name__, error))
        for figure in self.figures:
            print("     " + figure)
        self.daemon.stop()
        self.sim.stop()
        print("%d passed, %d failed" % (len(cases) - len(self.failures), len(self.failures)))
        return 1 if self.failures else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    sys.exit(SafetyTest(parser.parse_args().build).run())
