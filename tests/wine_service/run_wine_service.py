#!/usr/bin/env python3
"""brenvikd.exe as a Windows service in one throw-away Wine prefix, against
m301sim on a pseudo-terminal linked as COM3:

- `brenvikd.exe --install-service --printer main=COM3` writes brenvikd.json,
  the token and the registrations; `net start` and `sc stop` start and stop
  it through the Service Control Manager;
- from here, on 127.0.0.1:8123 with the token read from the prefix's
  ProgramData: a receipt printed once, repeated, and repeated again after
  the service's process was killed and started anew, always one check;
- the status page in headless Chromium;
- the Event Log entries when the printer goes silent, comes back, runs out
  of paper and has paper again;
- the 32-bit brenvikd.exe installed over it (keeping brenvikd.json) serves
  the same ledger, when this machine runs 32-bit programs;
- --uninstall-service removes the service and its Event Log source, and
  keeps %ProgramData%\\Brenvik.

Wine's limits, and what the test does about them:
- Wine keeps no Event Log (its wevtutil is a stub): ReportEventW hands each
  entry to Wine's "eventlog" debug channel. The session's first program
  starts services.exe with that channel on and its standard error in a file,
  which every service inherits; the entries are read back from there, with
  their type and id from the advapi line before them.
- A second program opening the same pseudo-terminal under Wine may fail to
  set the line (error 5; see PLATFORM-NOTES), so each new service process
  gets the simulator started afresh, with the same state file and journal.
- Wine's Service Control Manager still says RUNNING for a service whose
  process was killed (Windows says STOPPED and restarts it, as
  --install-service asks), and takes no recovery settings (error 124, a
  warning of --install-service); `net start` starts it again all the same.
Exit code 0 on success, 1 on failure, 77 when a program is not built.
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "service"))
from harness import wait_for  # noqa: E402
from status_page_test import DevTools  # noqa: E402

PORT = 8123
SERVICE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\brenvikd"
EVENT_SOURCE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\brenvikd"
WINE64 = "/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else "wine"
# ReportEventW's types.
WARNING, INFORMATION = 0x2, 0x4


class Simulator:
    """m301sim on COM3 of the prefix; restartable with the same printer."""

    def __init__(self, program, work, prefix):
        self.program, self.work = program, work
        self.link = os.path.join(prefix, "dosdevices", "com3")
        self.control_path = os.path.join(work, "control")
        self.journal = os.path.join(work, "journal.txt")
        self.state_file = os.path.join(work, "printer-state.json")
        self.process = None
        self.start()

    def start(self):
        self.log = open(os.path.join(self.work, "sim.log"), "a")
        self.process = subprocess.Popen(
            [self.program, "--link", self.link, "--control", self.control_path, "--journal", self.journal,
             "--state", self.state_file], stdout=self.log, stderr=subprocess.STDOUT)
        wait_for(lambda: os.path.lexists(self.link) and os.path.exists(self.control_path), 10, "the simulator")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            self.process.wait(10)
        self.log.close()

    def restart(self):
        self.stop()
        self.start()

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

    def checks(self):
        """Sale checks on the journal: each one prints its check number line."""
        if not os.path.exists(self.journal):
            return 0
        with open(self.journal, encoding="utf-8") as f:
            return len(re.findall(r"^ЧЕК №", f.read(), re.M))

    def state(self):
        return json.loads(self.control("state"))


class Prefix:
    def __init__(self, path):
        self.path = path
        self.env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all")
        self.env.pop("DISPLAY", None)
        self.data = os.path.join(path, "drive_c", "ProgramData", "Brenvik")

    def run(self, *args, loader=WINE64, env=None, stderr=subprocess.STDOUT, timeout=120):
        proc = subprocess.run([loader, *args], env=env or self.env, stdout=subprocess.PIPE, stderr=stderr,
                              timeout=timeout)
        return proc.returncode, (proc.stdout or b"").decode("utf-8", "replace")

    def state(self):
        """The service's state as `sc query` tells it, or None when there is no service."""
        rc, out = self.run("sc", "query", "brenvikd")
        found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
        return found.group(1) if rc == 0 and found else None

    def registry(self, key):
        rc, out = self.run("reg", "query", key)
        return out if rc == 0 else None

    def service_pids(self):
        """The Linux processes of this prefix's brenvikd service."""
        pids = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    argv = f.read().split(b"\0")
                with open("/proc/%s/environ" % pid, "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            if argv and argv[0].lower().endswith(b"brenvikd.exe") and b"--service" in argv and \
                    ("WINEPREFIX=" + self.path).encode() in environ:
                pids.append(int(pid))
        return pids


class Events:
    """The Event Log entries as Wine's eventlog channel printed them."""

    def __init__(self, path):
        self.path = path

    def entries(self):
        with open(self.path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
        entries = []
        for line in lines:
            head = re.search(r"fixme:advapi:ReportEventW \([0-9A-Fa-f]+,0x([0-9a-f]+),0x[0-9a-f]+,0x([0-9a-f]+),", line)
            # Wine cuts a long string short with "...
            text = re.search(r":eventlog:ReportEventW L\"(.*)\"(\.\.\.)?$", line)
            if head:
                entries.append({"type": int(head.group(1), 16), "id": int(head.group(2), 16), "strings": []})
            elif text and entries:
                entries[-1]["strings"].append(decode_wine_string(text.group(1)))
        return entries

    def wait(self, count, seconds, what):
        """The entry number count (0-based) once it is there."""
        return wait_for(lambda: len(self.entries()) > count and self.entries()[count], seconds, what)


def decode_wine_string(text):
    """Wine's debugstr_w: \\XXXX for non-ASCII, C escapes for the rest."""
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            if re.match(r"[0-9a-f]{4}", text[i + 1:i + 5]):
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(nxt, nxt))
            i += 2
            continue
        out.append(text[i])
        i += 1
    return "".join(out)


def http(method, path, token=None, body=None, timeout=60):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (PORT, path), data=data, method=method)
    request.add_header("Content-Type", "application/json")
    if token:
        request.add_header("Authorization", "Bearer " + token)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            return response.status, json.loads(response.read() or b"null")
    except urllib.error.HTTPError as e:
        raw = e.read()
        try:
            return e.code, json.loads(raw)
        except ValueError:
            return e.code, raw.decode("utf-8", "replace")


def online(token):
    try:
        status, body = http("GET", "/printers/main/status", token, timeout=5)
    except OSError:
        return False
    return status == 200 and body.get("connection") == "online" and body.get("printer")


def receipt(request_id, name="Хліб житній", price="18.50"):
    return {"requestId": request_id, "type": "sale", "items": [{"name": name, "quantity": 1, "price": price, "tax": 1}]}


def port_taken():
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex(("127.0.0.1", PORT)) == 0


def status_page(token):
    """The page asks for the token, takes it in its box and shows the printer."""
    profile = tempfile.mkdtemp(prefix="brenvikd-wine-chromium-")
    browser = subprocess.Popen(
        ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-port=0",
         "--user-data-dir=" + profile, "--window-size=1000,760", "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        port_file = os.path.join(profile, "DevToolsActivePort")
        wait_for(lambda: os.path.exists(port_file) and open(port_file).read().count("\n") >= 1, 60, "Chromium")
        devtools_port = int(open(port_file).read().split()[0])
        pages = json.load(urllib.request.urlopen("http://127.0.0.1:%d/json/list" % devtools_port, timeout=10))
        page = DevTools([p for p in pages if p["type"] == "page"][0]["webSocketDebuggerUrl"])
        page.call("Page.navigate", url="http://127.0.0.1:%d/" % PORT)
        wait_for(lambda: page.evaluate("getComputedStyle(document.getElementById('token')).display") == "block",
                 30, "the page to ask for the token")
        page.evaluate("document.getElementById('token-value').value = %s; "
                      "document.getElementById('token-save').click()" % json.dumps(token))
        wait_for(lambda: (page.evaluate("document.querySelectorAll('.printer table.receipts td.closed').length")
                          or 0) >= 1, 30, "the page to show the receipt")
        return page.evaluate("document.body.innerText") or ""
    finally:
        browser.terminate()
        browser.wait(30)
        shutil.rmtree(profile, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe64", required=True)
    ap.add_argument("--exe32", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--prefix-script", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    for program in (args.exe64, args.sim):
        if not os.path.exists(program):
            print("not built: %s" % program)
            return 77
    if port_taken():
        print("FAILED: 127.0.0.1:%d is taken by another program; the service's default port is tested" % PORT)
        return 1

    failures = []

    def expect(ok, what):
        print("%s %s" % ("ok  " if ok else "FAIL", what), flush=True)
        if not ok:
            failures.append(what)
        return ok

    started = time.monotonic()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    prefix = Prefix(os.path.join(args.work, "prefix"))
    subprocess.run(["sh", args.prefix_script, "win64", prefix.path], check=True)
    program_dir = os.path.join(prefix.path, "drive_c", "Program Files", "Brenvik")
    os.makedirs(program_dir)
    shutil.copy(args.exe64, program_dir)
    exe = "C:\\Program Files\\Brenvik\\brenvikd.exe"
    sim = Simulator(args.sim, args.work, prefix.path)
    events = Events(os.path.join(args.work, "events.log"))
    # Kept up until the end: the services end with it. (On its way out it
    # prints a dump of its objects, of no use here.)
    subprocess.run(["wineserver", "-p"], env=prefix.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True)
    try:
        # The session's first program starts services.exe: with the Event
        # Log's channel on and standard error kept, for every service.
        with open(events.path, "w") as log:
            prefix.run("sc", "query", "brenvikd", stderr=log,
                       env=dict(prefix.env, WINEDEBUG="-all,warn+eventlog,trace+eventlog,fixme+advapi"))

        # --- installed and started through the Service Control Manager ---
        rc, out = prefix.run(exe, "--install-service", "--printer", "main=COM3", "--timeout-ms", "2000")
        expect(rc == 0, "--install-service --printer main=COM3 (exit %d): %s" % (rc, out.strip()))
        with open(os.path.join(prefix.data, "brenvikd.json"), encoding="utf-8") as f:
            config = json.load(f)
        printers = config.get("printers", [])
        expect(len(printers) == 1 and printers[0].get("id") == "main" and printers[0].get("port") == 3,
               "brenvikd.json names printer main on port 3: %s" % printers)
        expect(config.get("listen") == "127.0.0.1:%d" % PORT, "brenvikd.json listens on the loopback's 8123")
        token = open(os.path.join(prefix.data, "brenvikd.token")).read().strip()
        expect(re.fullmatch(r"[0-9a-f]{64}", token) is not None, "a token of 256 random bits in ProgramData")
        service = prefix.registry(SERVICE_KEY) or ""
        expect(re.search(r"Start\s+REG_DWORD\s+0x2\b", service) is not None, "the service starts automatically")
        expect("brenvikd.exe\" --service" in service and "LocalSystem" in service and "Description" in service,
               "it runs brenvikd.exe --service as LocalSystem, with a description")
        source = prefix.registry(EVENT_SOURCE_KEY) or ""
        expect("EventMessageFile" in source and "brenvikd.exe" in source,
               "the Event Log source brenvikd names brenvikd.exe as its message file")
        rc, out = prefix.run("net", "start", "brenvikd")
        expect(rc == 0, "net start brenvikd (%s)" % out.strip())
        wait_for(lambda: prefix.state() == "RUNNING", 30, "sc query to say RUNNING")
        wait_for(lambda: online(token), 60, "the printer online through the service")
        status, _ = http("GET", "/printers")
        expect(status == 401, "without the token the API answers 401 (%d)" % status)
        # A console brenvikd beside the service must not share its address.
        rc, out = prefix.run(exe, "--ledger", "C:\\second.db", timeout=60)
        expect(rc != 0 and "in use" in out, "a second brenvikd finds 127.0.0.1:8123 in use (exit %d): %s"
               % (rc, out.strip()[-200:]))

        # --- exactly once, across a killed process ---
        status, first = http("POST", "/printers/main/receipt", token, receipt("wine-once-1"))
        expect(status == 200 and first.get("state") == "closed", "the receipt is printed: %d %s" % (status, first))
        status, again = http("POST", "/printers/main/receipt", token, receipt("wine-once-1"))
        expect(status == 200 and again.get("checkNumber") == first.get("checkNumber"),
               "repeated, it is answered from the ledger: %d %s" % (status, again))
        expect(sim.checks() == 1, "the journal shows one check (%d)" % sim.checks())
        pids = prefix.service_pids()
        expect(len(pids) == 1, "one service process in the prefix (%s)" % pids)
        for pid in pids:
            os.kill(pid, signal.SIGKILL)
        wait_for(lambda: not port_taken(), 30, "the killed service's port to close")
        sim.restart()
        rc, out = prefix.run("net", "start", "brenvikd")
        expect(rc == 0, "started again after the kill (%s)" % out.strip())
        wait_for(lambda: online(token), 60, "the printer online after the restart")
        status, later = http("POST", "/printers/main/receipt", token, receipt("wine-once-1"))
        expect(status == 200 and later.get("checkNumber") == first.get("checkNumber"),
               "repeated after the kill, it is still the first answer: %d %s" % (status, later))
        expect(sim.checks() == 1 and sim.state()["last_check_number"] == first.get("checkNumber"),
               "still one check on the printer (%d)" % sim.checks())

        # --- the status page, as a browser shows it ---
        text = status_page(token)
        expect("Printer main" in text and "online" in text and "wine-once-1" in text and "com3" in text,
               "the status page shows printer main on com3, online, with receipt wine-once-1")

        # --- the Event Log ---
        base = len(events.entries())
        sim.process.send_signal(signal.SIGSTOP)
        silent = events.wait(base, 30, "an entry for the silent printer")
        sim.process.send_signal(signal.SIGCONT)
        back = events.wait(base + 1, 30, "an entry for the printer back")
        expect(silent["type"] == WARNING and silent["id"] >> 30 == 2 and silent["strings"][0] == "main",
               "a silent printer: a warning for main: %s" % silent)
        expect(back["type"] == INFORMATION and back["id"] >> 30 == 1 and back["strings"][0] == "main",
               "answering again: an information entry for main: %s" % back)
        sim.control("paper out")
        status, refused = http("POST", "/printers/main/receipt", token, receipt("wine-paper-1"))
        expect(status >= 400 and refused.get("error", {}).get("word") == "SOFTPAPER",
               "without paper the receipt is refused: %d" % status)
        paper = events.wait(base + 2, 30, "an entry for the paper")
        sim.control("paper in")
        status, _ = http("POST", "/printers/main/receipt", token, receipt("wine-paper-2"))
        expect(status == 200, "with paper again a receipt prints (%d)" % status)
        refilled = events.wait(base + 3, 30, "an entry for the paper back")
        words = refused.get("error", {}).get("engineMessage") or ""
        expect(paper["type"] == WARNING and paper["id"] >> 30 == 2 and len(paper["strings"]) == 2 and
               paper["strings"][1] and words.startswith(paper["strings"][1]),
               "out of paper: a warning with the printer's words, as the refusal gave them: %s" % paper)
        expect(refilled["type"] == INFORMATION and refilled["id"] >> 30 == 1 and refilled["id"] != back["id"],
               "paper again: an information entry of its own: %s" % refilled)
        kinds = {(e["type"], e["id"]) for e in (silent, back, paper, refilled)}
        expect(len(kinds) == 4, "four kinds of entry, each with its own message")

        # --- a stop through the Service Control Manager ---
        rc, out = prefix.run("sc", "stop", "brenvikd")
        stopped = wait_for(lambda: prefix.state() == "STOPPED", 30, "the service to stop")
        expect(rc == 0 and stopped, "sc stop brenvikd: stopped")
        expect(not os.path.exists(os.path.join(prefix.data, "service", "brenvikd-ledger.db-wal")),
               "the ledger was closed (SQLite folded its write-ahead log back)")

        # --- the 32-bit program over the same configuration and ledger ---
        can32 = subprocess.run(["/usr/lib/wine/wine", "--version"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL).returncode == 0
        if not os.path.exists(args.exe32):
            print("skipped: the 32-bit part: %s is not built" % args.exe32)
        elif not can32:
            print("skipped: the 32-bit part: this machine cannot start 32-bit programs")
        else:
            shutil.copy(args.exe32, os.path.join(program_dir, "brenvikd.exe"))
            before = open(os.path.join(prefix.data, "brenvikd.json"), encoding="utf-8").read()
            rc, out = prefix.run(exe, "--install-service", loader="/usr/lib/wine/wine")
            after = open(os.path.join(prefix.data, "brenvikd.json"), encoding="utf-8").read()
            expect(rc == 0 and before == after, "32-bit --install-service without options keeps brenvikd.json")
            sim.restart()
            rc, out = prefix.run("net", "start", "brenvikd")
            wait_for(lambda: online(token), 60, "the printer online through the 32-bit service")
            status, repeat = http("POST", "/printers/main/receipt", token, receipt("wine-once-1"))
            status2, fresh = http("POST", "/printers/main/receipt", token, receipt("wine-32-1"))
            expect(status == 200 and repeat.get("checkNumber") == first.get("checkNumber") and status2 == 200 and
                   sim.checks() == 3, "the 32-bit service answers from the same ledger and prints a new one")
            prefix.run("sc", "stop", "brenvikd")
            wait_for(lambda: prefix.state() == "STOPPED", 30, "the 32-bit service to stop")

        # --- removed; the data stays ---
        rc, out = prefix.run(exe, "--uninstall-service")
        expect(rc == 0 and prefix.state() is None, "--uninstall-service: sc query finds no service (%s)" % out.strip())
        expect(prefix.registry(EVENT_SOURCE_KEY) is None and prefix.registry(SERVICE_KEY) is None,
               "its registry keys and Event Log source are gone")
        kept = set(os.listdir(prefix.data))
        ledger_kept = os.path.exists(os.path.join(prefix.data, "service", "brenvikd-ledger.db"))
        expect({"brenvikd.json", "brenvikd.token", "service"} <= kept and ledger_kept,
               "ProgramData\\Brenvik stays, the ledger in its private folder: %s" % sorted(kept))
    except AssertionError as e:
        expect(False, str(e))
    finally:
        subprocess.run(["wineserver", "-k"], env=prefix.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sim.stop()
        if not failures:
            shutil.rmtree(prefix.path, ignore_errors=True)
    print("%d failed, %.0f s" % (len(failures), time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
