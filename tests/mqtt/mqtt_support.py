"""The MQTT tests' parts: a mosquitto of their own on a free loopback port
(persistence on), a cloud client on paho-mqtt that sends requests and
collects results, and the check of the simulated printer's journal against
the results published."""
import argparse
import atexit
import getpass
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "service"))
from harness import Daemon, Simulator, end, wait_for, workdir  # noqa: E402,F401

import paho.mqtt.client as paho  # noqa: E402

PREFIX, SHOP = "brenvik", "shop1"
_owned = []


def own(thing):
    """Stopped at exit, whatever failed meanwhile: no broker, printer or
    service outlives its test."""
    _owned.append(thing)
    return thing


@atexit.register
def _stop_owned():
    for thing in reversed(_owned):
        try:
            (thing.close if isinstance(thing, Cloud) else thing.stop)()
        except Exception:  # noqa: BLE001 - stopping what is left, as far as it goes
            pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """mosquitto with a configuration of the test's own; its database is
    saved on every change, so even SIGKILL loses little."""

    def __init__(self, directory):
        self.dir = directory
        self.port = free_port()
        self.conf = os.path.join(directory, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence true\n"
                    "persistence_location %s/\nautosave_on_changes true\nautosave_interval 1\n"
                    "log_dest file %s/mosquitto.log\nlog_type all\nuser %s\n"
                    % (self.port, directory, directory, getpass.getuser()))
        self.process = None
        own(self)
        self.start()

    @property
    def url(self):
        return "mqtt://127.0.0.1:%d" % self.port

    def start(self):
        self.process = subprocess.Popen([os.environ.get("MOSQUITTO", "mosquitto"), "-c", self.conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def accepting():
            if self.process.poll() is not None:
                raise AssertionError("mosquitto ended with %d" % self.process.returncode)
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        wait_for(accepting, 10, "mosquitto")

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def freeze(self):
        self.process.send_signal(signal.SIGSTOP)

    def thaw(self):
        self.process.send_signal(signal.SIGCONT)

    def stop(self):
        self.thaw()
        end(self.process, 10)


def receipt(n, price=None):
    """A receipt whose goods name carries its number, to find it on paper."""
    price = price or "%d.%02d" % (1 + n % 90, n % 100)
    return {"requestId": "m-%04d" % n, "type": "sale",
            "items": [{"name": "T%04d Bread" % n, "quantity": 1, "price": price, "tax": 1}]}


class Cloud:
    """A point-of-sale program in the cloud: a persistent session, requests
    at QoS 1, every result kept in the order it came."""

    def __init__(self, broker, name="cloud"):
        self.lock = threading.Lock()
        self.results = {}   # requestId -> [payload, ...]
        self.other = []     # (topic, payload) of the status and error topics
        self.sent = {}      # requestId -> (topic, payload) to send again
        own(self)
        self.client = paho.Client(client_id="%s-%d" % (name, os.getpid()), clean_session=False)
        self.client.on_connect = self._connected
        self.client.on_message = self._message
        self.client.reconnect_delay_set(0.2, 1)
        self.connected = threading.Event()
        self.client.connect_async("127.0.0.1", broker.port, keepalive=5)
        self.client.loop_start()
        assert self.connected.wait(10), "the cloud client did not connect"

    def _connected(self, client, userdata, flags, rc):
        if rc == 0:
            client.subscribe("%s/%s/#" % (PREFIX, SHOP), qos=1)
            self.connected.set()

    def _message(self, client, userdata, message):
        with self.lock:
            found = re.match(r".*/printers/([^/]+)/result/(.+)$", message.topic)
            payload = message.payload.decode()
            if found:
                self.results.setdefault(found.group(2), []).append(json.loads(payload))
            else:
                self.other.append((message.topic, payload))

    def send(self, printer, kind, body):
        topic = "%s/%s/printers/%s/%s" % (PREFIX, SHOP, printer, kind)
        payload = body if isinstance(body, str) else json.dumps(body)
        if isinstance(body, dict) and "requestId" in body:
            with self.lock:
                self.sent[body["requestId"]] = (topic, payload)
        self.client.publish(topic, payload, qos=1)

    def result(self, request_id):
        with self.lock:
            found = self.results.get(request_id)
            return found[-1] if found else None

    def wait(self, ids, seconds, again=None):
        """Until every id has a result; the unanswered are sent again every
        `again` seconds, as the documented client does."""
        deadline = time.monotonic() + seconds
        last = time.monotonic()
        while time.monotonic() < deadline:
            with self.lock:
                missing = [i for i in ids if i not in self.results]
            if not missing:
                return
            if again and time.monotonic() - last > again:
                last = time.monotonic()
                for i in missing:
                    topic, payload = self.sent[i]
                    self.client.publish(topic, payload, qos=1)
            time.sleep(0.05)
        raise AssertionError("no result for %d request(s): %s" % (len(missing), missing[:10]))

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def printed(sim):
    """The simulator's paper: number -> [check numbers] of closed checks."""
    closed = {}
    for doc in sim.documents():
        if "ЧЕК АНУЛЬОВАНО" in doc:
            continue
        number = re.search(r"ЧЕК № (\d+)", doc)
        for tag in set(re.findall(r"\bT(\d{4})\b", doc)):
            closed.setdefault(int(tag), []).append(int(number.group(1)) if number else None)
    return closed


def check_paper(sim, cloud, numbers):
    """Each receipt printed at most once, and its results (all alike) tell
    what the paper shows: a closed one its check, a failed one nothing.
    Returns the problems."""
    problems = []
    paper = printed(sim)
    for n in numbers:
        rid = "m-%04d" % n
        checks = paper.get(n, [])
        with cloud.lock:
            results = list(cloud.results.get(rid, []))
        if len(checks) > 1:
            problems.append("%s printed %d times: %s" % (rid, len(checks), checks))
        if not results:
            problems.append("%s has no result" % rid)
            continue
        bare = [{k: v for k, v in r.items() if k != "repeated"} for r in results]
        if any(b != bare[0] for b in bare):
            problems.append("%s has results that differ: %s" % (rid, bare))
        first = bare[0]
        if first.get("httpStatus") == 200:
            if checks != [first.get("checkNumber")]:
                problems.append("%s answered check %s, printed %s" % (rid, first.get("checkNumber"), checks))
        elif checks:
            problems.append("%s answered %s but was printed as %s" % (rid, first.get("httpStatus"), checks))
    state = sim.state()
    if state["check_open"]:
        problems.append("a check is left open on the printer")
    if state["day_sale_checks"] != sum(len(v) for v in paper.values()):
        problems.append("the printer counts %d checks, the paper shows %d" %
                        (state["day_sale_checks"], sum(len(v) for v in paper.values())))
    return problems


def start_simulator(build, directory, *extra):
    return own(Simulator(build, directory, *extra))


def start_daemon(build, directory, sim, broker, *extra):
    return own(Daemon(build, directory, "--printer", "main=" + sim.link, "--log-dir", directory, "--timeout-ms", "300",
                  "--mqtt", broker.url, "--shop", SHOP, "--mqtt-keepalive", "5", "--mqtt-reconnect-max", "1",
                  *extra))


def run_cases(test_class):
    """Runs every case_ method of test_class on one instance (--build from
    the command line), each failure told, then its cleanup; the exit code."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    test = test_class(parser.parse_args().build)
    failures = []
    cases = [name for name in test_class.__dict__ if name.startswith("case_")]
    try:
        for name in cases:
            started = time.monotonic()
            try:
                getattr(test, name)()
                print("ok   %s (%.1f s)" % (name[5:], time.monotonic() - started))
            except Exception as error:  # noqa: BLE001 - every case runs, each failure is told
                failures.append(name)
                print("FAIL %s: %r" % (name[5:], error))
    finally:
        test.cleanup()
    print("%d passed, %d failed (%s)" % (len(cases) - len(failures), len(failures), test.dir))
    return 1 if failures else 0
