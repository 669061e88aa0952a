#!/usr/bin/env python3
"""brenvik detect: three m301sim printers with their own numbers and a silent
pseudo-terminal, probed side by side within a few seconds (a silent device
costs a second, never the DTR pulse); two names of one device probed once;
--json's shape; devices other programs hold reported busy with nothing sent
to them.

usage: detect_test.py BRENVIK M301SIM
"""
import fcntl
import json
import os
import socket
import subprocess
import sys
import tempfile
import termios
import time

BRENVIK, M301SIM = sys.argv[1], sys.argv[2]
failures = []
KEYS = ["device", "target", "state", "serialNumber", "fiscalNumber", "firmware", "variant", "owner", "message"]


def check(name, ok, detail=""):
    if not ok:
        failures.append(f"{name}: {detail}")


class Sim:
    def __init__(self, work, name, serial, fiscal):
        self.link = os.path.join(work, name)
        self.control = os.path.join(work, name + ".ctl")
        self.proc = subprocess.Popen(
            [M301SIM, "--link", self.link, "--control", self.control, "--serial", serial,
             "--fiscal-number", fiscal], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait(self):
        for _ in range(250):
            if os.path.exists(self.link) and os.path.exists(self.control):
                return
            time.sleep(0.02)
        raise SystemExit("m301sim did not start")

    def commands(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(self.control)
            s.sendall(b"state\n")
            return json.loads(s.makefile().readline())["commands"]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def detect(work, *args):
    start = time.monotonic()
    p = subprocess.run([BRENVIK, "--log-dir", work, "detect"] + list(args),
                       capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr, time.monotonic() - start


def drain(fd):
    got = b""
    try:
        while True:
            got += os.read(fd, 100)
    except BlockingIOError:
        return got


# A program holding a device: as the library does (a lock and exclusive
# use), or plainly open as many programs keep it.
HOLDER = """
import fcntl, os, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
if sys.argv[2] == "locked":
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    fcntl.ioctl(fd, termios.TIOCEXCL)
print("held", flush=True)
sys.stdin.read()
"""


def main():
    with tempfile.TemporaryDirectory() as work:
        numbers = [("4000000011", "3000000011"), ("4000000022", "3000000022"), ("4000000033", "3000000033")]
        sims = [Sim(work, f"printer{i}", s, f) for i, (s, f) in enumerate(numbers)]
        # A pseudo-terminal nobody answers on; its master shows what was sent.
        master, slave = os.openpty()
        silent = os.path.join(work, "silent")
        os.symlink(os.ttyname(slave), silent)
        os.set_blocking(master, False)
        try:
            for sim in sims:
                sim.wait()
            paths = [sim.link for sim in sims] + [silent]
            # The same printer under its device's own name: probed once.
            paths.append(os.path.realpath(sims[0].link))

            code, out, err, took = detect(work, *paths)
            check("text: exit", code == 0, f"{code} {err!r}")
            lines = out.splitlines()
            check("text: one line per printer", len(lines) == 3, repr(out))
            for sim, (serial, fiscal), line in zip(sims, numbers, lines):
                check("text: " + sim.link, line.startswith(f"{sim.link} (/dev/pts/") and
                      f"serial {serial}, fiscal {fiscal}, firmware 20050208 (T3+)" in line, line)
            check("text: the silent one said", "1 of the devices named did not answer" in err, err)
            # One second of listening each, side by side; with the DTR pulse
            # a silent device alone would take four.
            check("text: side by side, without the DTR pulse", took < 3.0, f"{took:.2f} s")
            sent = os.read(master, 100)
            check("the silent one got only the wake-up", sent == b"UUUUU", repr(sent))

            code, out, err, took = detect(work, "--json", "--all", *paths)
            doc = json.loads(out)
            check("json: a list of objects with its keys", isinstance(doc, list) and
                  all(list(d) == KEYS for d in doc), out)
            got = [(d["device"], d["state"], d["serialNumber"], d["fiscalNumber"], d["firmware"]) for d in doc]
            want = [(sim.link, "printer", s, f, "20050208") for sim, (s, f) in zip(sims, numbers)]
            want.append((silent, "silent", None, None, None))
            check("json: printers and the silent one", got == want, got)
            check("json: the device behind the link", doc[0]["target"] == paths[-1] and
                  doc[0]["variant"] == "vMTM", doc[0])
            check("json: exit", code == 0 and took < 3.0, f"{code} {took:.2f} s")

            code, out, err, _ = detect(work, "--json", silent)
            check("nothing answered: exit 3, an empty list", code == 3 and json.loads(out) == [],
                  f"{code} {out!r} {err!r}")

            # Held by another program: busy, and the printer never hears of it.
            for how in ("locked", "plain"):
                holder = subprocess.Popen([sys.executable, "-c", HOLDER, sims[1].link, how],
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                check(f"{how}: held", holder.stdout.readline().strip() == "held")
                before = sims[1].commands()
                code, out, err, _ = detect(work, "--json", sims[0].link, sims[1].link)
                doc = json.loads(out)
                states = [(d["device"], d["state"], d["serialNumber"]) for d in doc]
                check(f"{how}: busy beside a printer", states == [
                    (sims[0].link, "printer", numbers[0][0]), (sims[1].link, "busy", None)], states)
                check(f"{how}: nothing sent to it", sims[1].commands() == before)
                holder.stdin.close()
                holder.wait(timeout=10)

            # The pseudo-terminal's own maker locks it as the library does:
            # the library itself refuses it as busy, and nothing is written.
            drain(master)
            fd = os.open(silent, os.O_RDWR | os.O_NOCTTY)
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            fcntl.ioctl(fd, termios.TIOCEXCL)
            code, out, err, _ = detect(work, silent)
            busy = f"{silent} ({os.ttyname(slave)}): busy (held by another program)\n"
            check("locked by its maker: busy", out == busy and code == 3, f"{code} {out!r} {err!r}")
            check("locked by its maker: nothing sent", drain(master) == b"")
            os.close(fd)
        finally:
            for sim in sims:
                sim.stop()
            os.close(master)
            os.close(slave)

    for f in failures:
        print("FAIL", f)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
