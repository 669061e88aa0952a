#!/usr/bin/env python3
"""Runs wine_engine_probe.exe in a throw-away Wine prefix against a printer
played here, on the master side of a pseudo-terminal linked as COM5.

Runs: "line" (the Win32 serial line alone), "ok" (Init against a printer
that answers, then Done), "fault" (a command left unanswered, then two that
are answered) and, unless --quick, "silent" (Init against a
printer that never answers: error 7 after the real time-outs, ~8 s).
Exit code 0 on success, 1 on failure, 77 when the probe was not built.

Known Wine limit: Wine maps the port's XON/XOFF onto the terminal's IXON
with XON character 0, which Linux reads as "no START character", and
reports no XOFF hold. A reply block with 18 characters of text carries the
length byte 0x13 (XOFF): under Wine it stops the port's output for good, and
every later command times out (error 80). The printer played here never
sends such a block.
"""
import argparse
import os
import select
import shutil
import subprocess
import sys
import termios
import threading
import time

PORT = 5


def block(text: bytes) -> bytes:
    return b"\xfd" + text + bytes([(len(text) + 1) % 256]) + b"\xfe"


def config_text() -> bytes:
    # CONf: 152 characters of fixed fields; firmware date other than T3+.
    fields = [
        b"CONf", b"1234567890", b"0987654321", b"OWNER".ljust(36), b"20260101", b"120000", b"1",
        b"0", b"0", b"0000", b"0", b"0" * 12, b"000000000042", b"0000", b"vTTs", b"20040101",
        b"0" * 18, b"20260101", b"2", b"UAH",
    ]
    text = b"".join(fields)
    assert len(text) == 152, len(text)
    return text


ANSWERS = {
    b"CONf": block(config_text()),
    b"GLCN": block(b"GLCN" + b"0000000042" + b"0000000043" + b"0000000044" + b"1" + b"0" + b"0007"),
    b"CNAL": block(b"CNAL" + b"20260101012000" + b"20260101010700" + b"0" * (6 * 14)),
}
DONE_READY = block(b"DONE") + block(b"READY")


class Peer(threading.Thread):
    """The printer: READY after the wake-up bytes, data + DONE + READY after
    each command block (mode "ok"; mode "fault" leaves the second GLCN
    unanswered); nothing at all (mode "silent"); a few
    canned exchanges for the bare serial line (mode "line")."""

    def __init__(self, master: int, slave: int, mode: str):
        super().__init__(daemon=True)
        self.master, self.slave, self.mode = master, slave, mode
        self.slave_path = os.ttyname(slave)
        self.stop = False
        self.commands = []
        self.wake_bytes = 0
        self.termios_at_upas = None
        self.buffer = bytearray()
        self.wake_due = None
        self.hup_at = None

    def send(self, data: bytes):
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.master, view)
                view = view[n:]
            except BlockingIOError:
                time.sleep(0.005)

    def run(self):
        while not self.stop:
            ready, _, _ = select.select([self.master], [], [], 0.02)
            if ready:
                try:
                    data = os.read(self.master, 4096)
                except OSError:
                    # No slave side open any more: the program closed the port.
                    if self.slave is None and self.hup_at is None:
                        self.hup_at = time.monotonic()
                    time.sleep(0.02)
                    continue
                if self.slave is not None:
                    # The program has the port open; from now on its close
                    # is the last close of the terminal, which we can see.
                    os.close(self.slave)
                    self.slave = None
                self.buffer += data
                self.consume()
            if self.wake_due is not None and time.monotonic() >= self.wake_due:
                self.wake_due = None
                if self.mode in ("ok", "fault"):
                    self.send(block(b"READY"))

    def consume(self):
        buf = self.buffer
        while buf:
            if self.mode == "line":
                for word, reply, delay in ((b"PING", b"PONG123456", 0), (b"MORE", b"abcde", 0),
                                           (b"LATE", b"late", 0.2)):
                    if buf.startswith(word):
                        del buf[:4]
                        if delay:
                            time.sleep(delay)
                        self.send(reply)
                        break
                else:
                    if len(buf) >= 4:
                        del buf[:1]
                    else:
                        return
                continue
            if buf[0] == 0x55:
                del buf[:1]
                self.wake_bytes += 1
                self.wake_due = time.monotonic() + 0.08
            elif buf[0] == 0xFD:
                end = buf.find(b"\xfe")
                if end < 0:
                    return
                text = bytes(buf[1:end - 1])
                del buf[:end + 1]
                word = text[:4]
                self.commands.append(word.decode("latin-1"))
                if word == b"UPAS":
                    fd = os.open(self.slave_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                    self.termios_at_upas = termios.tcgetattr(fd)
                    os.close(fd)
                if self.mode == "ok" or (self.mode == "fault" and self.commands.count("GLCN") != 2):
                    self.send(ANSWERS.get(word, b"") + DONE_READY)
            else:
                del buf[:1]


def run_probe(args, prefix, mode, env):
    master, slave = os.openpty()
    os.set_blocking(master, False)
    link = os.path.join(prefix, "dosdevices", "com%d" % PORT)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    logdir = os.path.join(args.work, "log-" + mode)
    shutil.rmtree(logdir, ignore_errors=True)
    os.makedirs(logdir)
    peer = Peer(master, slave, mode)
    peer.start()
    started = time.monotonic()
    try:
        proc = subprocess.run(["wine", args.exe, str(PORT), mode, "Z:" + logdir.replace("/", "\\")],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=180)
        output = proc.stdout.decode("latin-1")
        rc = proc.returncode
    except subprocess.TimeoutExpired as e:
        output = (e.stdout or b"").decode("latin-1")
        rc = "timeout"
    ended = time.monotonic()
    took = ended - started
    peer.stop = True
    peer.join(2)
    peer.ended = ended
    os.close(master)
    if peer.slave is not None:
        os.close(peer.slave)
    log = b""
    log_path = os.path.join(logdir, "Pelmora.log")
    if os.path.exists(log_path):
        with open(log_path, "rb") as f:
            log = f.read()
    print("---- %s (%.1f s, rc %s)\n%s" % (mode, took, rc, output.rstrip()))
    return rc, output, peer, log


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--arch", required=True)
    ap.add_argument("--exe", required=True)
    ap.add_argument("--prefix-script", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    if not os.path.exists(args.exe):
        print("probe not built: %s" % args.exe)
        return 77

    os.makedirs(args.work, exist_ok=True)
    prefix = os.path.join(args.work, "prefix")
    subprocess.run(["sh", args.prefix_script, args.arch, prefix], check=True)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    env.pop("DISPLAY", None)
    failures = []

    def expect(ok, what):
        print("%s %s" % ("ok" if ok else "FAILED", what))
        if not ok:
            failures.append(what)

    try:
        rc, out, peer, log = run_probe(args, prefix, "line", env)
        expect(rc == 0 and "RESULT PASS" in out, "line: Win32 serial line checks")

        rc, out, peer, log = run_probe(args, prefix, "files", env)
        expect(rc == 0 and "RESULT PASS" in out, "files: log file, clock, module directory")

        rc, out, peer, log = run_probe(args, prefix, "ok", env)
        expect(rc == 0 and "RESULT PASS" in out, "ok: Init succeeds, Done releases the port")
        expect(peer.hup_at is not None and peer.ended - peer.hup_at >= 1.0,
               "ok: the printer sees the port closed at Done, before the program ends")
        # A machine busy enough to delay READY past a second costs one more
        # handshake, which the engine is there to make.
        expect(peer.wake_bytes in (10, 15, 20) and peer.wake_bytes % 5 == 0,
               "ok: wake-up bursts of five 'U', one per Init or a second one (saw %d)" % peer.wake_bytes)
        expect(peer.commands == ["CONf", "GLCN", "CNAL", "UPAS"] * 2,
               "ok: the start-up commands, once per Init (%s)" % peer.commands)
        attrs = peer.termios_at_upas
        if attrs is None:
            expect(False, "ok: line settings seen on the terminal")
        else:
            iflag, _, cflag, _, ispeed, ospeed, cc = attrs
            expect(iflag & termios.IXON and iflag & termios.IXOFF, "ok: XON/XOFF both ways")
            expect(cflag & termios.CSIZE == termios.CS8 and cflag & termios.CSTOPB, "ok: 8 data bits, 2 stop bits")
            expect(ospeed == termios.B115200, "ok: 115200 baud")
        expect("Связь успешно установлена".encode("cp1251") in log, "ok: the log has the connection line")

        rc, out, peer, log = run_probe(args, prefix, "fault", env)
        expect(rc == 0 and "RESULT PASS" in out, "fault: after a reply time-out the next commands are heard")
        expect(peer.commands == ["CONf", "GLCN", "CNAL", "UPAS"] + ["GLCN"] * 30,
               "fault: each command sent once, no new handshake (%s)" % peer.commands)

        if not args.quick:
            rc, out, peer, log = run_probe(args, prefix, "silent", env)
            expect(rc == 0 and "RESULT PASS" in out, "silent: Init fails with error 7, Done releases the port")
            expect(peer.hup_at is not None and peer.ended - peer.hup_at >= 1.0,
                   "silent: the port closes at Done, before the program ends")
            expect(peer.wake_bytes == 10, "silent: two wake-up bursts (saw %d)" % peer.wake_bytes)
            expect(log.count("Таймаут при установке связи".encode("cp1251")) == 2, "silent: two handshake time-outs logged")
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(prefix, ignore_errors=True)

    print("FAILURES: %d" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
