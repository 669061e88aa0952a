#!/usr/bin/env python3
"""brenvik log: the debug log's code page 1251 shown as UTF-8; its last
lines; --follow picking up appended lines, also across an archiving; the log
found where the library puts it (--log-dir, BRENVIK_LOG_DIR, the state
directory), and the library saying so when it can put it nowhere.

usage: log_view_test.py BRENVIK M301SIM
"""
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time

BRENVIK, M301SIM = sys.argv[1], sys.argv[2]
failures = []


def check(name, ok, detail=""):
    if not ok:
        failures.append(f"{name}: {detail}")


def log_lines(texts):
    return "".join(f"08.12.2026 10:00:{i % 60:02d} {t}\n" for i, t in enumerate(texts))


def write_log(directory, text, mode="wb"):
    with open(os.path.join(directory, "Pelmora.log"), mode) as f:
        f.write(text.encode("cp1251"))


def brenvik(*args, env=None, timeout=30):
    p = subprocess.run([BRENVIK] + list(args), capture_output=True, timeout=timeout, env=env)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("BRENVIK_LOG_DIR", "XDG_STATE_HOME")}
    env.update(extra)
    return env


def test_tail(work):
    # The printer's own Russian, the owner's Ukrainian, every Cyrillic letter.
    texts = [f"Строка {n}: Связь успешно установлена" for n in range(58)]
    texts += ["ТОВ «Демо-Маркет», їжак ґанок", "АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдеёжзийклмнопрстуфхцчшщъыьэюя"]
    whole = log_lines(texts)
    write_log(work, whole)
    lines = whole.splitlines(keepends=True)
    cases = [
        ("default: the last 50", [], lines[-50:]),
        ("--lines 3", ["--lines", "3"], lines[-3:]),
        ("-n 0", ["-n", "0"], []),
        ("more than there are", ["-n", "500"], lines),
    ]
    for name, args, want in cases:
        code, out, err = brenvik("--log-dir", work, "log", *args)
        check(f"tail {name}", code == 0 and out == "".join(want), f"{code} {err!r}\n{out!r}")

    write_log(work, "рядок без кінця", mode="ab")
    code, out, _ = brenvik("--log-dir", work, "log", "-n", "1")
    check("tail: a line not ended is shown whole", out == lines[-1] + "рядок без кінця\n", repr(out))

    empty = os.path.join(work, "empty")
    os.mkdir(empty)
    code, out, err = brenvik("--log-dir", empty, "log")
    check("no log: exit 2 and where it was looked for", code == 2 and out == "" and
          os.path.join(empty, "Pelmora.log") in err, f"{code} {err!r}")


def test_follow(work):
    directory = os.path.join(work, "follow")
    os.mkdir(directory)
    write_log(directory, log_lines(["Log файл открыт", "Корвелл Квиллон Плюс"]))
    follower = subprocess.Popen([BRENVIK, "--log-dir", directory, "log", "--follow", "-n", "1"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line.decode("utf-8", "replace")) for line in follower.stdout],
                     daemon=True).start()
    appended = [f"Команда {n} принята" for n in range(3)]
    # The library's archiving: its last line, the log moved aside at once, a new one.
    archived = ["Архивирование файла отладки ( Размер > 5000000 )"]
    after = ["Попытка соединения с ЭККР Мария 301МТМ...", "Связь успешно установлена"]

    def writer():
        time.sleep(0.3)
        for text in appended + archived:
            write_log(directory, log_lines([text]), mode="ab")
            time.sleep(0.1)
        os.rename(os.path.join(directory, "Pelmora.log"), os.path.join(directory, "08122026100000.log"))
        time.sleep(0.3)
        write_log(directory, log_lines(after))

    threading.Thread(target=writer, daemon=True).start()
    want = [log_lines(["Корвелл Квиллон Плюс"]).replace(":00 ", ":01 ")]
    want += [log_lines([t]) for t in appended + archived] + log_lines(after).splitlines(keepends=True)
    got, deadline = [], time.monotonic() + 3
    while len(got) < len(want) and time.monotonic() < deadline:
        try:
            got.append(lines.get(timeout=0.1))
        except queue.Empty:
            pass
    follower.terminate()
    follower.wait(timeout=10)
    check("follow: the last line, the appended ones, the archived log's end, the new log", got == want,
          f"\n{got}\n!=\n{want}")


def test_where(work):
    # Where the library writes is where the tool reads: a session against
    # m301sim, then its lines through brenvik log.
    link, state = os.path.join(work, "com3"), os.path.join(work, "state")
    sim = subprocess.Popen([M301SIM, "--link", link], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(250):
            if os.path.exists(link):
                break
            time.sleep(0.02)
        own = os.path.join(work, "own")
        writable_system = os.access("/var/log/brenvik", os.W_OK)
        cases = [
            ("BRENVIK_LOG_DIR", clean_env(BRENVIK_LOG_DIR=own + "/", XDG_STATE_HOME=state), own),
            ("the state directory", clean_env(XDG_STATE_HOME=state), os.path.join(state, "brenvik")),
        ]
        for name, env, directory in cases:
            if writable_system and "BRENVIK_LOG_DIR" not in env:
                continue  # /var/log/brenvik comes first here
            code, _, err = brenvik("--device", link, "status", env=env)
            check(f"{name}: a session", code == 0, err)
            code, out, _ = brenvik("log", "--path", env=env)
            check(f"{name}: --path", out == os.path.join(directory, "Pelmora.log") + "\n", out)
            code, out, _ = brenvik("log", "-n", "200", env=env)
            check(f"{name}: the session's lines", "Связь успешно установлена" in out and
                  "Log файл открыт" in out, out[-300:])

        if not writable_system:
            env = clean_env(BRENVIK_LOG_DIR="/proc/brenvik-logs", XDG_STATE_HOME="/proc/brenvik-state")
            code, _, err = brenvik("--device", link, "status", env=env)
            check("nowhere to log: said once", code == 0 and err.count("Pelmora.log is not kept") == 1, err)
    finally:
        sim.terminate()
        sim.wait(timeout=10)


def main():
    with tempfile.TemporaryDirectory() as work:
        test_tail(work)
        test_follow(work)
        test_where(work)
    for f in failures:
        print("FAIL", f)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
