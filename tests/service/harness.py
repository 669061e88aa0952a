"""The service's tests in Python: a simulated printer (m301sim) as its own
process, brenvikd as another, and small HTTP and control-socket clients.
Loopback only; every wait is bounded."""
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from schemas import Schemas  # noqa: E402


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def end(process, seconds):
    """SIGTERM, and SIGKILL when it does not end in time."""
    if process and process.poll() is None:
        process.terminate()
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Simulator:
    """m301sim on a pseudo-terminal, with its control socket and journal."""

    def __init__(self, build, workdir, *extra):
        self.link = os.path.join(workdir, "com1")
        self.control_path = os.path.join(workdir, "control")
        self.journal = os.path.join(workdir, "journal.txt")
        self.log = open(os.path.join(workdir, "sim.log"), "w")
        self.process = subprocess.Popen(
            [os.path.join(build, "sim", "m301sim"), "--link", self.link, "--control", self.control_path,
             "--journal", self.journal, *extra], stdout=self.log, stderr=subprocess.STDOUT)
        wait_for(lambda: os.path.exists(self.link) and os.path.exists(self.control_path), 10, "the simulator")

    def control(self, line):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(self.control_path)
            s.sendall((line + "\n").encode())
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        return answer.decode().strip()

    def state(self):
        return json.loads(self.control("state"))

    def documents(self):
        """The journal as documents (each ends with a line of '=')."""
        if not os.path.exists(self.journal):
            return []
        with open(self.journal, encoding="utf-8") as f:
            text = f.read()
        docs, current = [], []
        for line in text.splitlines():
            if line and set(line) == {"="}:
                docs.append("\n".join(current))
                current = []
            else:
                current.append(line)
        return docs

    def stop(self):
        end(self.process, 10)
        self.log.close()


class Daemon:
    """brenvikd as a process; the port is the one it reports."""

    def __init__(self, build, workdir, *args, token=None, port=0, ledger=None):
        self.build, self.workdir, self.args, self.token = build, workdir, list(args), token
        self.ledger = ledger or os.path.join(workdir, "ledger.db")
        self.listen = "127.0.0.1:%d" % port
        self.process = None
        self.port = None
        self.start()

    def start(self):
        log_path = os.path.join(self.workdir, "brenvikd.log")
        self.log = open(log_path, "a")
        offset = os.path.getsize(log_path)
        self.process = subprocess.Popen(
            [os.path.join(self.build, "service", "brenvikd"), "--listen", self.listen,
             "--ledger", self.ledger, *self.args],
            stdout=self.log, stderr=subprocess.STDOUT)

        def listening():
            if self.process.poll() is not None:
                raise AssertionError("brenvikd ended with status %d" % self.process.returncode)
            with open(log_path) as f:
                f.seek(offset)
                found = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", f.read())
            return found and int(found.group(1))

        self.port = wait_for(listening, 60, "brenvikd to listen")

    def kill9(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()
        self.log.close()

    def stop(self):
        end(self.process, 30)
        self.log.close()

    def request(self, method, path, body=None, headers=None, timeout=60):
        """(status, headers, parsed JSON or text). Raises OSError when the
        connection fails."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            all_headers = {"Content-Type": "application/json"}
            if self.token:
                all_headers["Authorization"] = "Bearer " + self.token
            all_headers.update(headers or {})
            data = body if isinstance(body, (str, bytes)) or body is None else json.dumps(body)
            if data is None and method in ("POST", "PUT"):
                data = ""
            conn.request(method, path, body=data, headers=all_headers)
            response = conn.getresponse()
            raw = response.read()
            kind = response.getheader("Content-Type", "")
            parsed = json.loads(raw) if kind.startswith("application/json") else raw.decode()
            return response.status, dict(response.getheaders()), parsed
        finally:
            conn.close()


# The error status token each HTTP status may carry.
ERROR_STATUS = {400: {"invalid"}, 401: {"unauthorized"}, 403: {"forbidden"}, 404: {"not-found"},
                409: {"conflict"}, 413: {"too-large"}, 415: {"unsupported-media-type"}, 422: {"refused"},
                431: {"too-large"}, 500: {"internal"}, 503: {"unavailable", "no-connection"}, 504: {"unknown"}}


class ApiDocument:
    """Checks answers against the service's own /openapi.json: the route,
    the status, and the body against the JSON Schema the document gives
    for it (those of docs/schemas/, the brenvik tool's too)."""

    def __init__(self, document):
        self.document = document
        self.schemas = Schemas(document)
        self.routes = []
        for template, item in document["paths"].items():
            pattern = "^" + re.sub(r"\\\{[^}]+\\\}", "[^/]+", re.escape(template)) + "$"
            self.routes.append((re.compile(pattern), template, item))
        self.seen = set()

    def check(self, method, path, status, body):
        bare = path.split("?")[0]
        matches = [(t, item) for p, t, item in self.routes if p.match(bare)]
        # The most specific template wins (fewest parameters).
        matches.sort(key=lambda m: m[0].count("{"))
        assert matches, "%s %s is not in the API document" % (method, path)
        template, item = matches[0]
        operation = item.get(method.lower())
        assert operation, "%s %s: no %s in the API document" % (method, template, method)
        assert str(status) in operation["responses"], \
            "%s %s answered %d, which the API document does not list" % (method, template, status)
        where = ["paths", template, method.lower(), "responses", str(status)]
        response = operation["responses"][str(status)]
        if "$ref" in response:
            where = response["$ref"][2:].split("/")
            response = self.document[where[0]][where[1]][where[2]]
        if "schema" in response.get("content", {}).get("application/json", {}) and isinstance(body, (dict, list)):
            self.schemas.check(body, Schemas.pointer(*where, "content", "application/json", "schema"))
        if status >= 400:
            assert isinstance(body, dict) and "error" in body, \
                "%s %s: %d without the error shape: %r" % (method, template, status, body)
            assert body["error"]["status"] in ERROR_STATUS[status], (status, body)
        self.seen.add((method.lower(), template))

    def unseen(self):
        every = {(m, t) for _, t, item in self.routes for m in item if m in ("get", "post", "put")}
        return sorted(every - self.seen)


def workdir(name):
    return tempfile.mkdtemp(prefix="brenvikd-%s-" % name)
