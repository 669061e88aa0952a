#!/usr/bin/env python3
"""BrenvikTest under Wine in a real X server (Xvfb) against m301sim on COM3.

Presses the program's buttons by window messages (through testutil_probe)
as a user would click them, on a Ukrainian system: the port list, the
refusal of an empty cashier and password, connect, the printer's status,
X-report, test check, cash in and out, the clock (refused in the work key
position, then done in the programming one), a printer that keeps silent
while the window stays alive, the log viewer and directory, disconnect;
then on a silent port (a pseudo-terminal nobody answers): Cancel, and
closing the window while it connects. Then once more on an English system,
which shows English and starts from the port and cashier that answered.
The simulator's journal must show every document. Screenshots are left in
the artifacts directory. Exit 0 on success, 1 on failure, 77 when not built.
"""
import argparse
import json
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, draw_windows_like_windows, exit_code, start_xvfb  # noqa: E402

PORT = 3
SILENT_PORT = 5  # a pseudo-terminal that nobody answers
CASHIER, PASSWORD = "Олена", "4321"
SERIAL = "4000012345"  # the simulator's default
CAPTION = "Перевірка принтера Марія 301МТМ"
ENGLISH_CAPTION = "Maria 301 MTM printer check"
UKRAINIAN, ENGLISH = "uk_UA.UTF-8", "en_US.UTF-8"
DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs")
NOTES = os.path.join(DOCS, "tools", "error_notes.md")
MANUAL_ERRORS = os.path.join(DOCS, "manual", "errors.md")

# Control numbers of testutil/resource.h.
PORT_BOX, CASHIER_BOX, PASSWORD_BOX, CONNECT, DISCONNECT, CANCEL = 1001, 1002, 1003, 1004, 1005, 1006
BAUD_BOX, BAUD_NOTE = 1007, 1008
SERIAL_FIELD, FISCAL_FIELD, KEY_FIELD, DOCUMENTS_FIELD, CLOCK_FIELD, TAXES_FIELD = range(1010, 1016)
REFRESH, XREPORT, NULLCHECK, AMOUNT, CASH_IN, CASH_OUT, SET_CLOCK, LOG_DIR, LOG_VIEW = range(1020, 1029)
RESULT, HISTORY = 1030, 1031
LOG_FIND_TEXT, LOG_FIND, LOG_RELOAD, LOG_STATUS, LOG_TEXT = range(1101, 1106)
ACTIONS = [DISCONNECT, REFRESH, XREPORT, NULLCHECK, CASH_IN, CASH_OUT, SET_CLOCK]

# Button texts a Ukrainian user reads.
LABELS = {CONNECT: "Під'єднати", DISCONNECT: "Від'єднати", REFRESH: "Оновити стан",
          XREPORT: "X-звіт", NULLCHECK: "Тестовий чек", CASH_IN: "Внесення", CASH_OUT: "Видача",
          SET_CLOCK: "Час із ПК", LOG_DIR: "Тека журналу", LOG_VIEW: "Журнал", CANCEL: "Скасувати"}
ENGLISH_LABELS = {CONNECT: "Connect", DISCONNECT: "Disconnect", CANCEL: "Cancel", REFRESH: "Read status",
                  XREPORT: "X-report", NULLCHECK: "Test check", SET_CLOCK: "Clock from PC",
                  LOG_VIEW: "Debug log", LOG_DIR: "Log folder", CASH_IN: "Cash in", CASH_OUT: "Cash out"}


def table_cell(path, number, column):
    for line in open(path, encoding="utf-8"):
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if cells and cells[0] == str(number):
            return cells[column]
    return None


def meaning(number, column):
    """The meaning of error `number` in the manual's rows: column 1 English, 2 Ukrainian."""
    return table_cell(NOTES, number, column)


def russian(number):
    """The engine's own message of error `number`, as the manual's table shows it."""
    return table_cell(MANUAL_ERRORS, number, 2)


def error_number(result):
    m = re.match(r"\D+ (\d+): ", result)
    return int(m.group(1)) if m else None


def hung_up(master):
    """True when no one holds the pseudo-terminal's other end open."""
    p = select.poll()
    p.register(master, select.POLLHUP)
    return any(event & select.POLLHUP for _, event in p.poll(0))

class Session:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.artifacts)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.prefix = os.path.join(self.work, "prefix")
        self.journal = os.path.join(self.work, "journal.txt")
        self.control = os.path.join(self.work, "ctl")
        self.xvfb = self.sim = self.program = None
        self.shots = 0
        self.master = None

    def start(self):
        self.xvfb, self.display = start_xvfb()
        self.env = dict(os.environ, DISPLAY=self.display, WINEPREFIX=self.prefix,
                        WINEDEBUG="-all", LC_ALL=UKRAINIAN, LANG=UKRAINIAN)
        # The log lies beside the program, where the test reads it.
        self.env.pop("BRENVIK_LOG_DIR", None)
        subprocess.run(["sh", self.args.prefix_script, self.args.arch, self.prefix],
                       check=True, env=self.env)
        draw_windows_like_windows(self.prefix, self.env)
        self.start_sim()
        # The engine's log lies beside the program: keep both out of the build tree.
        self.exe = os.path.join(self.work, "BrenvikTest.exe")
        shutil.copy(self.args.program, self.exe)
        self.run_program(UKRAINIAN)

    def start_sim(self):
        if self.sim:
            self.sim.terminate()
            self.sim.wait()
            if os.path.exists(self.control):
                os.unlink(self.control)
        link = os.path.join(self.prefix, "dosdevices", "com%d" % PORT)
        if os.path.lexists(link):
            os.unlink(link)
        self.sim = subprocess.Popen([self.args.sim, "--link", link, "--control", self.control,
                                     "--journal", self.journal, "--password", PASSWORD, "--trace"],
                                    stdout=subprocess.DEVNULL,
                                    stderr=open(os.path.join(self.work, "sim-trace.txt"), "ab"))
        deadline = time.monotonic() + 10
        while not (os.path.lexists(link) and os.path.exists(self.control)):
            if time.monotonic() > deadline:
                raise RuntimeError("m301sim did not come up")
            time.sleep(0.05)

    def run_program(self, language):
        """Starts BrenvikTest on a system of `language`: Wine takes the user
        interface language and the ANSI code page (1251, 1252) from it."""
        self.env.update(LC_ALL=language, LANG=language)
        self.program = subprocess.Popen(["wine", self.exe], env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def silent_port(self):
        """COM5: a pseudo-terminal whose other end nobody reads or answers."""
        self.master, slave = os.openpty()
        link = os.path.join(self.prefix, "dosdevices", "com%d" % SILENT_PORT)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.ttyname(slave), link)
        os.close(slave)

    def stop(self):
        if self.program and self.program.poll() is None:
            self.program.kill()
        if self.xvfb:
            subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
            self.xvfb.terminate()
            self.xvfb.wait()
        if self.sim:
            self.sim.terminate()
            self.sim.wait()
        if self.master is not None:
            os.close(self.master)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def probe(self, *words):
        out = os.path.join(self.work, "probe.json")
        if os.path.exists(out):
            os.unlink(out)
        # No pipes: a Wine helper that the call starts may keep them open for good.
        subprocess.run(["wine", self.args.probe, "Z:" + out.replace("/", "\\"), *map(str, words)],
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=90)
        if not os.path.exists(out):
            return {"found": False}
        state = json.load(open(out, encoding="utf-8"))
        state["text"] = {int(k): v["text"] for k, v in state.get("controls", {}).items()}
        state["enabled"] = {int(k): v["enabled"] for k, v in state.get("controls", {}).items()}
        return state

    def set_text(self, control, value):
        self.probe("set", control, value.encode("utf-8").hex())

    def sim_command(self, line):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(self.control)
        s.sendall(line.encode() + b"\n")
        answer = s.recv(65536).decode()
        s.close()
        return answer.strip()

    def journal_text(self):
        if not os.path.exists(self.journal):
            return ""
        return open(self.journal, encoding="utf-8", errors="replace").read()

    def screenshot(self, name):
        self.shots += 1
        path = os.path.join(self.work, "%02d-%s.png" % (self.shots, name))
        subprocess.run(["import", "-window", "root", path], env=dict(os.environ, DISPLAY=self.display),
                       capture_output=True, timeout=30)


def ok_result(state, what, done="Готово"):
    result = state.get("text", {}).get(RESULT, "")
    return check(result.startswith(done), "%s succeeds: %r" % (what, result))


def test_start(s):
    d = s.probe("dump")
    if not check(d.get("found"), "the dialog \"%s\" shows" % CAPTION):
        return None
    check(d["caption"] == CAPTION, "caption: %r" % d["caption"])
    for control, label in LABELS.items():
        check(d["text"].get(control) == label, "button %d says %r: %r" % (control, label, d["text"].get(control)))
    ports = d["text"].get(HISTORY, "").split("COM-порти: ")[-1].splitlines()[0].split(", ")
    check("COM%d" % PORT in ports, "the port list offers the simulator's COM%d: %r" % (PORT, ports))
    check(d["text"][PORT_BOX] == "", "no port is chosen before one has answered: %r" % d["text"][PORT_BOX])
    check(d["enabled"][CONNECT] and not any(d["enabled"][a] for a in ACTIONS + [CANCEL]),
          "before connecting only the connection can be used")
    check(d["text"][BAUD_BOX] == "115200" and not d["enabled"][BAUD_BOX] and "лише" in d["text"][BAUD_NOTE],
          "the one baud rate is shown, with why there is no choice: %r" % d["text"][BAUD_NOTE])
    return d


def test_refusals(s):
    """An empty cashier or password is refused in the window, before the port is touched."""
    s.set_text(PORT_BOX, "COM%d" % PORT)
    for cashier, password, says in (("  ", PASSWORD, "Введіть ім'я касира"), (CASHIER, "", "Введіть пароль касира")):
        s.set_text(CASHIER_BOX, cashier)
        s.set_text(PASSWORD_BOX, password)
        d = s.probe("press", CONNECT)
        check(d["text"][RESULT].startswith(says) and d["enabled"][CONNECT],
              "cashier %r, password %r: refused with %r" % (cashier, password, d["text"][RESULT]))
    check(s.sim_command("state") and json.loads(s.sim_command("state")).get("cashier") in (None, ""),
          "the printer heard of no cashier")


def test_wrong_password(s):
    s.set_text(CASHIER_BOX, CASHIER)
    s.set_text(PASSWORD_BOX, "0000")
    d = s.probe("press", CONNECT)
    result = d["text"].get(RESULT, "")
    number = error_number(result)
    first = result.splitlines()[0] if result else ""
    check(result.startswith("Помилка ") and "[" in first,
          "a wrong password shows the engine's error number, message and word: %r" % result)
    check(number is not None and result.splitlines()[-1] == meaning(number, 2),
          "with the manual's Ukrainian meaning on the next line: %r" % result)
    check(number is not None and first.startswith("Помилка %d: %s [" % (number, russian(number))),
          "the engine's own message stays Russian: %r" % first)
    s.screenshot("wrong-password")
    if d["enabled"].get(DISCONNECT):
        s.probe("press", DISCONNECT)


def test_connect(s):
    s.set_text(PASSWORD_BOX, PASSWORD)
    d = s.probe("press", CONNECT)
    if not ok_result(d, "connecting as %s on COM%d" % (CASHIER, PORT)):
        return False
    t = d["text"]
    check(t[SERIAL_FIELD] == SERIAL, "serial number %r" % t[SERIAL_FIELD])
    check(t[FISCAL_FIELD].isdigit() and len(t[FISCAL_FIELD]) == 10, "fiscal number %r" % t[FISCAL_FIELD])
    check(t[KEY_FIELD] == "R (робота)", "key position %r" % t[KEY_FIELD])
    check(t[DOCUMENTS_FIELD].startswith("чек ") and "Z-звіт" in t[DOCUMENTS_FIELD],
          "document numbers %r" % t[DOCUMENTS_FIELD])
    check(len(t[CLOCK_FIELD]) == 19 and t[CLOCK_FIELD][2] == "." and t[CLOCK_FIELD][13] == ":",
          "printer clock %r" % t[CLOCK_FIELD])
    taxes = [line for line in t[TAXES_FIELD].splitlines() if line]
    check(taxes and all(" % " in line for line in taxes), "programmed taxes %r" % taxes)
    check(all(d["enabled"][a] for a in ACTIONS) and not d["enabled"][CONNECT],
          "once connected the actions can be used and connecting cannot")
    cashier = json.loads(s.sim_command("state")).get("cashier", "")
    check(cashier == CASHIER, "the printer registered the cashier %r" % cashier)
    saved = subprocess.run(["wine", "reg", "query", "HKCU\\Software\\Brenvik\\BrenvikTest"], env=s.env,
                           capture_output=True, timeout=60).stdout.decode("utf-8", "replace")
    check(re.search(r"Port\s+REG_SZ\s+COM%d" % PORT, saved) and re.search(r"BaudRate\s+REG_DWORD\s+0x1c200", saved),
          "the port and baud rate that answered are kept in the user's registry: %r" % saved)
    return d


def documents(d):
    return d["text"][DOCUMENTS_FIELD]


def test_documents(s, before):
    journal_before = s.journal_text()
    d = s.probe("press", XREPORT)
    ok_result(d, "X-report")
    check("X-ЗВІТ" in s.journal_text()[len(journal_before):], "the journal shows the X-report")
    s.screenshot("x-report")
    check(documents(d) != documents(before), "document numbers move: %r" % documents(d))

    d = s.probe("press", NULLCHECK)
    ok_result(d, "test check")
    check("НУЛЬОВИЙ ЧЕК" in s.journal_text()[len(journal_before):], "the journal shows the zero check")

    for button, amount, words in ((CASH_IN, "150,50", "СЛУЖБОВЕ ВНЕСЕННЯ"),
                                  (CASH_OUT, "20.25", "СЛУЖБОВА ВИДАЧА")):
        s.set_text(AMOUNT, amount)
        start = len(s.journal_text())
        d = s.probe("press", button)
        ok_result(d, "%s of %s" % (LABELS[button], amount))
        paper = s.journal_text()[start:]
        check(words in paper and amount.replace(",", ".") in paper,
              "the journal shows %s %s" % (words, amount))
    s.set_text(AMOUNT, "12,345")
    d = s.probe("press", CASH_IN)
    check(d["text"][RESULT].startswith("Сума"), "an amount with three decimals is refused before sending")
    return d


def test_clock(s):
    s.sim_command("key 2")
    d = s.probe("press", SET_CLOCK)
    result = d["text"][RESULT]
    check(result.startswith("Помилка ") and "[SOFTSLPROG]" in result,
          "setting the clock in the X-report key position shows the printer's refusal: %r" % result)
    check(d["text"][KEY_FIELD].startswith("X "),
          "the status is read again after the error: the key reads X: %r" % d["text"][KEY_FIELD])
    s.screenshot("clock-refused")
    d = s.probe("press", REFRESH)
    check(d["text"][RESULT] == "Готово: читання стану",
          "reading the status afterwards says nothing of the refusal: %r" % d["text"][RESULT])
    s.sim_command("key 8")
    d = s.probe("press", SET_CLOCK)
    ok_result(d, "setting the clock in the programming position")
    check(d["text"][KEY_FIELD].startswith("P "), "the key position reads P: %r" % d["text"][KEY_FIELD])
    clock = d["text"][CLOCK_FIELD]
    try:
        # The printer keeps its date; only the time of day is set.
        shown = time.strptime(clock, "%d.%m.%Y %H:%M:%S")
        seconds = shown.tm_hour * 3600 + shown.tm_min * 60 + shown.tm_sec
    except ValueError:
        seconds = None
    now = time.localtime()
    gap = None if seconds is None else abs(seconds - (now.tm_hour * 3600 + now.tm_min * 60 + now.tm_sec))
    check(gap is not None and min(gap, 86400 - gap) <= 60,
          "the printer's clock follows the PC: %r at %s" % (clock, time.strftime("%H:%M:%S", now)))
    s.sim_command("key 1")


def test_silent_printer(s):
    """The printer answers nothing: the window keeps answering while the
    engine waits, shows the time-out as the engine's error, and a new
    connection brings the printer back."""
    s.sim_command("target ZREP")  # the report itself, past the counter read before it
    s.sim_command("next silent")
    start = len(s.journal_text())
    d = s.probe("click", XREPORT)
    check(d.get("busy") and d.get("answered"), "while the printer is silent the window answers")
    check(not any(d["enabled"][a] for a in ACTIONS) and d["enabled"][CANCEL],
          "its actions are disabled and Cancel is offered")
    s.screenshot("waiting")
    d = s.probe("idle")
    result = d["text"][RESULT]
    check(result.startswith("Помилка 80: ") and "[CONNTIMEOUT]" in result,
          "the silence ends in the engine's time-out error: %r" % result)
    check("X-ЗВІТ" not in s.journal_text()[start:], "no X-report was printed")
    check("натисніть «Від'єднати» і «Під'єднати»" in d["text"][HISTORY],
          "the history tells the user how to reconnect")
    # The engine's Win32 line hears nothing more after a reply time-out
    # under Wine (reported); a new connection is the user's way out.
    s.probe("press", DISCONNECT)
    d = s.probe("press", CONNECT)
    ok_result(d, "connecting again after the silence")
    check(d["text"][SERIAL_FIELD] == SERIAL, "and the status is read again")


def test_log_viewer(s):
    """The debug log (code page 1251) reads as Cyrillic, and its search finds."""
    s.probe("press", LOG_VIEW)
    d = s.probe("dump", LOG_TEXT)
    if not check(d.get("found"), "the log viewer opens"):
        return
    log = d["text"][LOG_TEXT]
    check("F:OpenPort(%d, 115200) Открытие СОМ порта" % PORT in log,
          "the log's Russian lines read as such (%d characters)" % len(log))
    s.screenshot("log-viewer")
    for wanted, says in (("f:zrep(", "Знайдено в рядку "), ("Таймаут чтения", "Знайдено в рядку "),
                         ("немає такого", "Не знайдено: ")):
        s.set_text(LOG_FIND_TEXT, wanted)
        d = s.probe("press", LOG_FIND)
        check(d["text"][LOG_STATUS].startswith(says), "searching %r: %r" % (wanted, d["text"][LOG_STATUS]))
    s.set_text(LOG_FIND_TEXT, "F:NUL(")
    d = s.probe("key", LOG_FIND_TEXT, 13)  # Enter in the search field
    check(d["text"][LOG_STATUS].startswith("Знайдено в рядку "), "Enter searches: %r" % d["text"][LOG_STATUS])
    s.probe("close", LOG_TEXT)


def test_log_directory(s):
    d = s.probe("press", LOG_DIR)
    folder = "Z:" + s.work.replace("/", "\\")
    check(d["text"][RESULT] == "Тека журналу: " + folder,
          "the log directory is the program's: %r" % d["text"][RESULT])
    log = os.path.join(s.work, "Pelmora.log")
    text = open(log, "rb").read().decode("cp1251", "replace") if os.path.exists(log) else ""
    check("F:ZREP()" in text and "F:NUL()" in text, "the engine's log holds the X-report and the test check")


def test_disconnect(s):
    d = s.probe("press", DISCONNECT)
    ok_result(d, "disconnecting")
    check(d["text"][SERIAL_FIELD] == "—" and d["enabled"][CONNECT],
          "after disconnecting the status is cleared and connecting is possible again")
    history = d["text"][HISTORY]
    check(history.count("\n") >= 8, "the history lists every step (%d lines)" % (history.count("\n") + 1))


def test_cancel_and_close(s):
    """A port that never answers: Cancel closes it at once, and the window
    closes while it connects."""
    s.silent_port()
    s.set_text(PORT_BOX, "COM%d" % SILENT_PORT)
    d = s.probe("click", CONNECT)
    check(d.get("busy") and d["enabled"][CANCEL], "connecting to the silent port: Cancel is offered")
    time.sleep(0.3)
    check(not hung_up(s.master), "the program holds the silent port while it connects")
    d = s.probe("cancel")
    check(d.get("waited_ms", 99999) < 1000, "Cancel ends the connection within a second (%s ms)" % d.get("waited_ms"))
    check(d["text"][RESULT].startswith("Скасовано: під'єднання") and d["enabled"][CONNECT],
          "the window says the connection was cancelled: %r" % d["text"][RESULT])
    check(hung_up(s.master), "the port is closed")
    d = s.probe("open", SILENT_PORT)
    check(d.get("opened"), "the port can be opened again right after (error %s)" % d.get("error"))
    s.screenshot("cancelled")

    s.probe("click", CONNECT)
    s.probe("close")
    started = time.monotonic()
    try:
        code = s.program.wait(timeout=10)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, "closing the window while it connects ends the program (exit code %r, %.1f s)"
          % (code, time.monotonic() - started))
    check(hung_up(s.master), "and lets the port go")


def test_english(s):
    """An English system: English texts, the engine's Russian message with
    the English meaning, the port and cashier that answered last time."""
    # A second program's SetCommState on the same pty fails under Wine
    # (error 5) until m301sim restores its line settings: a fresh one.
    s.start_sim()
    s.run_program(ENGLISH)
    d = s.probe("dump")
    if not check(d.get("found") and d["caption"] == ENGLISH_CAPTION, "caption %r" % d.get("caption")):
        return
    for control, label in ENGLISH_LABELS.items():
        check(d["text"].get(control) == label, "button %d says %r: %r" % (control, label, d["text"].get(control)))
    check(d["text"][PORT_BOX] == "COM%d" % PORT and d["text"][CASHIER_BOX] == CASHIER,
          "the port and cashier that answered are offered: %r, %r" % (d["text"][PORT_BOX], d["text"][CASHIER_BOX]))
    d = s.probe("press", CONNECT)
    check(d["text"][RESULT].startswith("Type the cashier's password"), "no password: %r" % d["text"][RESULT])
    s.set_text(PASSWORD_BOX, "0000")
    d = s.probe("press", CONNECT)
    result = d["text"][RESULT]
    number = error_number(result)
    check(number is not None and result.startswith("Error %d: %s " % (number, russian(number)))
          and result.splitlines()[-1] == meaning(number, 1),
          "an error shows the engine's Russian message with the manual's English meaning: %r" % result)
    s.screenshot("english-error")
    s.probe("press", DISCONNECT)
    s.set_text(PASSWORD_BOX, PASSWORD)
    d = s.probe("press", CONNECT)
    ok_result(d, "connecting on an English system (code page 1252)", done="Done: connecting")
    check(d["text"][KEY_FIELD] == "R (work)", "key position %r" % d["text"][KEY_FIELD])
    cashier = json.loads(s.sim_command("state")).get("cashier", "")
    check(cashier == CASHIER, "the printer registered the Cyrillic cashier %r" % cashier)
    s.probe("close")
    try:
        code = s.program.wait(timeout=20)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, "closing the window ends the program with exit code 0 (got %r)" % code)


def main():
    parser = argparse.ArgumentParser()
    for name in ("--arch", "--program", "--probe", "--sim", "--prefix-script", "--artifacts"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    # Wine takes a program's path as a Windows path when it is relative.
    args.program, args.probe, args.sim = map(os.path.abspath, (args.program, args.probe, args.sim))
    for path in (args.program, args.probe, args.sim):
        if not os.path.isfile(path):
            print("missing %s: build the mingw%s and linux presets first" % (path, args.arch[3:]))
            return 77

    s = Session(args)
    started = time.monotonic()
    try:
        s.start()
        if test_start(s):
            s.screenshot("start")
            test_refusals(s)
            test_wrong_password(s)
            before = test_connect(s)
            if before:
                s.screenshot("connected")
                test_documents(s, before)
                test_clock(s)
                test_silent_printer(s)
                test_log_viewer(s)
                test_log_directory(s)
                s.screenshot("done")
                test_disconnect(s)
                test_cancel_and_close(s)
                test_english(s)
    finally:
        s.stop()
    print("%.1f s; screenshots and journal in %s" % (time.monotonic() - started, s.work))
    return exit_code()


if __name__ == "__main__":
    sys.exit(main())
