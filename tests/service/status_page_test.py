"""The status page in headless Chromium against brenvikd and the simulated
printer: the rendered printers and receipts, and the X-report button, driven
through the DevTools protocol. Keeps a screenshot when asked (docs/)."""
import argparse
import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Daemon, Simulator, wait_for, workdir  # noqa: E402


class DevTools:
    """Just enough of a WebSocket client for Chromium's DevTools protocol."""

    def __init__(self, url):
        host, rest = url[len("ws://"):].split("/", 1)
        hostname, port = host.split(":")
        self.sock = socket.create_connection((hostname, int(port)), timeout=30)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET /%s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (rest, host, key)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += self.sock.recv(1)
        assert b" 101 " in head.split(b"\r\n")[0], head
        self.next_id = 0

    def _send(self, text):
        data = text.encode()
        mask = os.urandom(4)
        header = bytes([0x81])
        if len(data) < 126:
            header += bytes([0x80 | len(data)])
        elif len(data) < 65536:
            header += bytes([0x80 | 126]) + struct.pack(">H", len(data))
        else:
            header += bytes([0x80 | 127]) + struct.pack(">Q", len(data))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def _exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise OSError("DevTools closed the connection")
            data += chunk
        return data

    def _receive(self):
        message = b""
        while True:
            first, second = self._exact(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack(">H", self._exact(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self._exact(8))[0]
            message += self._exact(length)
            if first & 0x80:
                return json.loads(message)

    def call(self, method, **params):
        self.next_id += 1
        self._send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            reply = self._receive()
            if reply.get("id") == self.next_id:
                assert "error" not in reply, reply
                return reply["result"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, awaitPromise=True, returnByValue=True)
        return result["result"].get("value")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--screenshot", help="keep a PNG of the page here")
    args = parser.parse_args()
    directory = workdir("page")
    sim = Simulator(args.build, directory)
    daemon = Daemon(args.build, directory, "--printer", "main=" + sim.link, "--log-dir", directory)
    profile = tempfile.mkdtemp(prefix="brenvikd-chromium-")
    browser = None
    failures = []
    try:
        for n, (name, price) in enumerate([("Хліб житній", "18.50"), ("Молоко 2,5%", "32.90"),
                                           ("Яблука", "41.00")]):
            status, _, answer = daemon.request("POST", "/printers/main/receipt", {
                "requestId": "page-%d" % n, "type": "sale",
                "items": [{"name": name, "quantity": 1, "price": price, "tax": 1}]})
            assert status == 200, answer
        browser = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-port=0",
             "--user-data-dir=" + profile, "--window-size=1000,760", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(profile, "DevToolsActivePort")
        wait_for(lambda: os.path.exists(port_file) and open(port_file).read().count("\n") >= 1, 60, "Chromium")
        devtools_port = int(open(port_file).read().split()[0])
        pages = json.load(urllib.request.urlopen("http://127.0.0.1:%d/json/list" % devtools_port, timeout=10))
        page = DevTools([p for p in pages if p["type"] == "page"][0]["webSocketDebuggerUrl"])
        page.call("Page.navigate", url="http://127.0.0.1:%d/" % daemon.port)

        def rendered():
            return page.evaluate("document.querySelectorAll('.printer table.receipts tr').length") or 0

        wait_for(lambda: rendered() >= 4, 30, "the page to show the receipts")
        text = page.evaluate("document.body.innerText")
        checks = [("printer", "Printer main" in text), ("state", "online" in text),
                  ("serial number", "4000012345" in text), ("fiscal number", "3000054321" in text),
                  ("receipts", all("page-%d" % n in text for n in range(3))),
                  ("closed", text.count("closed") >= 3)]
        reports_before = sim.state()["last_serv_doc_number"]
        page.evaluate("document.querySelector('button.x-report').click()")
        wait_for(lambda: "X-report printed on main" in (page.evaluate("document.body.innerText") or ""), 30,
                 "the X-report message")
        journal = "\n".join(sim.documents())
        checks.append(("x-report printed", "X-ЗВІТ" in journal))
        checks.append(("x-report counted", sim.state()["last_serv_doc_number"] > reports_before))
        if args.screenshot:
            shot = page.call("Page.captureScreenshot", format="png")
            with open(args.screenshot, "wb") as f:
                f.write(base64.b64decode(shot["data"]))
        # The sample page, served by the service itself, prints a receipt
        # once however often Print is pressed; the page links to it.
        checks.append(("links the sample", page.evaluate("document.querySelector('a[href=\"/sample\"]') !== null")))
        page.call("Page.navigate", url="http://127.0.0.1:%d/sample" % daemon.port)
        wait_for(lambda: page.evaluate("document.querySelector('#printer') && "
                                       "document.querySelector('#printer').options.length") or 0, 30,
                 "the sample to list the printers")
        checks_before = sim.state()["last_check_number"]
        printed = "document.querySelector('#answer').textContent"
        for press in range(2):
            page.evaluate("document.querySelector('#answer').textContent = ''; "
                          "document.querySelector('#print').click()")
            wait_for(lambda: "Printed: check" in (page.evaluate(printed) or ""), 30, "the sample's answer")
        text = page.evaluate("document.body.innerText") or ""
        number = sim.state()["last_check_number"]
        checks.append(("the sample printed once", number == checks_before + 1 and
                       ("Printed: check %d" % number) in text))

        # A ledger that disappears shows on the page with its cause.
        os.unlink(os.path.join(directory, "ledger.db"))
        page.call("Page.navigate", url="http://127.0.0.1:%d/" % daemon.port)
        wait_for(lambda: "was deleted" in (page.evaluate("document.body.innerText") or ""), 30,
                 "the deleted ledger on the page")
        checks.append(("degraded", page.evaluate("document.querySelector('.state.degraded') !== null")))
        for name, ok in checks:
            print("%s %s" % ("ok  " if ok else "FAIL", name))
            if not ok:
                failures.append(name)
        if failures:
            print(text)
    finally:
        if browser:
            browser.terminate()
            browser.wait(30)
        daemon.stop()
        sim.stop()
        shutil.rmtree(profile, ignore_errors=True)
    print("%d passed, %d failed" % (len(checks) - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
