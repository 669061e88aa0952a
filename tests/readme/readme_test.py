#!/usr/bin/env python3
"""The README's commands, run as a new user on Linux would run them, so that
none of them can rot.

The README's blocks follow one convention (also in a comment at its top):
- ```sh blocks are run, in order, in one bash session (set -e) in a
  temporary directory. A block that fails fails this test, with its text and
  what it printed.
- A ```text block right after a ```sh block is part of what that block
  printed: each of its lines is found, in order, among the lines printed
  ("..." stands for any text, a run of blanks for any run of blanks).
- ```console, ```bat and ```vb blocks are not run here: the comment
  <!-- run by: PATH[, PATH] --> right before each names the test (or the
  Makefile) that runs what it shows, and each PATH must exist.
- A block that starts m301sim or brenvikd in the background is followed by
  a wait for its link or its port, as a person typing would wait.
- Other ```text blocks are pictures (the layout), not commands. Any other
  block, and an indented code block, is refused: nothing escapes the rules.
Besides, every path in backticks or a link that starts with a top-level
directory of the repository must exist; one under build/linux or build/demo
must name a directory this build tree has.

What stands in for what, so that nothing on this machine is touched:
- the printer: m301sim on a pseudo-terminal, whose link replaces the
  README's /dev/ttyUSB0 and its /dev/serial/by-id/ name;
- /etc/brenvikd, /var/lib/brenvikd and /var/log/brenvik: directories in the
  temporary one, made as the brenvikd package makes them (its sample
  configuration, a random token);
- sudo runs its command as it is; `systemctl start|restart|stop brenvikd`
  runs the unit's own ExecCondition and ExecStart lines
  (packaging/brenvikd.service) with those directories, as this user, not as
  the user brenvikd; `journalctl -u brenvikd` shows what it wrote on
  standard error;
- libbrenvik-dev: `cmake --install` of the components lib and dev into the
  temporary directory, found through PKG_CONFIG_PATH, CMAKE_PREFIX_PATH and
  LD_LIBRARY_PATH (the system's places for an installed package);
- HOME and XDG_STATE_HOME lie in the temporary directory (and so does
  BRENVIK_LOG_DIR when this machine has a /var/log/brenvik); `examples` and
  `docs` there are the source tree's, as in a clone.
The service listens on 8123, the README's port (the ctest lock
brenvikd_port_8123 keeps other tests off it); when another program holds it,
the test is skipped. Whatever the blocks leave running ends with the bash
session's process group.

    readme_test.py BUILD_DIR SOURCE_DIR
"""
import os
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

BUILD, SRC = (os.path.abspath(a) for a in sys.argv[1:3])
README = os.path.join(SRC, "README.md")
PORT = 8123
RUN_LIMIT = 120  # seconds for all the blocks together
BY_ID = re.compile(r"/dev/serial/by-id/[A-Za-z0-9_.:-]+")
SKIP = 77

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def parse(lines):
    """The fenced blocks (info, text, the fence's line number, the comment
    before it), the numbers of the lines inside them, and what breaks the
    convention."""
    blocks, problems, inside = [], [], set()
    i, previous = 0, ""
    while i < len(lines):
        line = lines[i]
        fence = re.match(r"^```(\S*)\s*$", line)
        if fence:
            start, body = i + 1, []
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                body.append(lines[i])
                inside.add(i + 1)
                i += 1
            if i == len(lines):
                problems.append("line %d: a block that never ends" % start)
            blocks.append({"info": fence.group(1), "text": "\n".join(body) + "\n", "line": start,
                           "comment": previous})
            previous = ""
        elif line.strip():
            if line.startswith("    ") and i > 0 and not lines[i - 1].strip():
                problems.append("line %d: an indented code block (fence it as sh, text, console, bat or vb)" % (i + 1))
            previous = line.strip()
        i += 1
    return blocks, problems, inside


def check_blocks(blocks):
    """The convention: known kinds only; console, bat and vb name who runs them."""
    for b in blocks:
        info = b["info"]
        if info in ("sh", "text"):
            continue
        if info not in ("console", "bat", "vb"):
            fail("line %d: a ```%s block: use sh (run here), text, or console/bat/vb with <!-- run by: PATH -->"
                 % (b["line"], info))
            continue
        m = re.match(r"^<!-- run by: (.+) -->$", b["comment"])
        if not m:
            fail("line %d: a ```%s block without <!-- run by: PATH --> before it" % (b["line"], info))
            continue
        for path in (p.strip() for p in m.group(1).split(",")):
            if not os.path.exists(os.path.join(SRC, path)):
                fail("line %d: run by %s, which does not exist" % (b["line"], path))


def check_paths(lines, inside):
    """Repository paths named in backticks or links outside the blocks."""
    top = {name for name in os.listdir(SRC) if not name.startswith(".")}
    names = []
    for n, line in enumerate(lines, 1):
        if n in inside or line.startswith("```"):
            continue
        for m in re.finditer(r"`([^`\s]+)`|\]\(([^)\s#]+)", line):
            names.append((n, m.group(1) or m.group(2)))
    checked = 0
    for n, name in names:
        if re.search(r"[<>{}*\\:]", name) or "/" not in name.rstrip("/"):
            continue
        first, _, rest = name.partition("/")
        if first == "build":
            preset, _, within = rest.partition("/")
            if preset in ("linux", "demo") and within:
                directory = os.path.dirname(within.rstrip("/"))
                if directory and not os.path.isdir(os.path.join(BUILD, directory)):
                    fail("line %d: %s: this build tree has no %s/" % (n, name, directory))
                checked += 1
            continue
        if first in top:
            checked += 1
            if not os.path.exists(os.path.join(SRC, name)):
                fail("line %d: %s does not exist" % (n, name))
    return checked


def port_free(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) != 0


# The bash session: the stand-ins, then the blocks, each with its output in
# a file of its own; "current" says which block ran last.
PREAMBLE = r'''
set -e
cd "$T"
__paths() {
    sed -e "s#/usr/sbin/brenvikd#$BUILD/service/brenvikd#g" -e "s#/etc/brenvikd#$T/etc/brenvikd#g" \
        -e "s#/var/lib/brenvikd#$T/var/lib/brenvikd#g" -e "s#/var/log/brenvik#$T/var/log/brenvik#g"
}
__unit() { sed -n "s/^$1=//p" "$SRC/packaging/brenvikd.service" | __paths; }
__unit_pid=
sudo() { "$@"; }
systemctl() {
    if [ $# -ne 2 ] || [ "${2%.service}" != brenvikd ]; then
        echo "systemctl $*: the README test stands in only for start, restart and stop of brenvikd" >&2
        return 1
    fi
    case $1 in
        start|restart|stop) ;;
        *) echo "systemctl $1: not stood in for by the README test" >&2; return 1 ;;
    esac
    if [ -n "$__unit_pid" ]; then
        kill "$__unit_pid" 2>/dev/null || true
        wait "$__unit_pid" 2>/dev/null || true
        __unit_pid=
    fi
    [ "$1" != stop ] || return 0
    if ! eval "$(__unit ExecCondition)"; then
        echo "brenvikd.service: skipped, its ExecCondition failed" >>"$T/journal"
        return 0
    fi
    local before tries=0
    before=$(grep -c "listening on" "$T/journal" || true)
    # exec: the job is brenvikd itself, so that stop ends it, not a subshell.
    eval "exec $(__unit ExecStart)" >>"$T/journal" 2>&1 &
    __unit_pid=$!
    # Type=simple would not wait; waiting here keeps the next line from racing it.
    until [ "$(grep -c "listening on" "$T/journal" || true)" -gt "$before" ]; do
        if ! kill -0 "$__unit_pid" 2>/dev/null || [ $tries -gt 100 ]; then
            echo "brenvikd.service did not start:" >&2; cat "$T/journal" >&2; return 1
        fi
        tries=$((tries + 1)); sleep 0.1
    done
}
journalctl() {
    if [ "$*" != "-u brenvikd" ]; then
        echo "journalctl $*: not stood in for by the README test" >&2; return 1
    fi
    cat "$T/journal"
}
__wait_path() {
    local tries=0
    until [ -e "$1" ]; do
        [ $tries -lt 100 ] || { echo "$1 did not appear" >&2; return 1; }
        tries=$((tries + 1)); sleep 0.1
    done
}
__wait_port() {
    local tries=0
    until (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; do
        [ $tries -lt 100 ] || { echo "nothing listens on port $1" >&2; return 1; }
        tries=$((tries + 1)); sleep 0.1
    done
}
__block() { exec >"$T/out/$1" 2>&1; echo "$1" >"$T/current"; }
'''


def substitute(text, t, link):
    """The README's names of the printer and of the package's directories."""
    for name in ("/etc/brenvikd", "/var/lib/brenvikd", "/var/log/brenvik"):
        text = text.replace(name, t + name)
    text = text.replace("/dev/ttyUSB0", link)
    return BY_ID.sub(link, text)


def readiness(text):
    """What a block that starts something in the background waits for."""
    if not re.search(r"&\s*$", text, re.M):
        return ""
    waits = ["__wait_path %s" % m.group(1) for m in re.finditer(r"m301sim\b[^\n&]*--link\s+(\S+)", text)]
    if re.search(r"^\s*brenvikd\b[^\n]*&\s*$", text, re.M):
        port = re.search(r"--listen\s+\S*:(\d+)", text)
        waits.append("__wait_port %s" % (port.group(1) if port else PORT))
    return "\n".join(waits) + "\n"


def matches(expected, printed):
    """Each expected line, in order, among the printed ones."""
    def pattern(line):
        parts = [re.escape(p) for p in re.split(r"\.\.\.", " ".join(line.split()))]
        return re.compile("^" + ".*".join(parts).replace(r"\ ", r"\s+") + "$")
    got = [" ".join(line.split()) for line in printed.splitlines()]
    at = 0
    # A line of "..." alone is any lines: the search skips them anyway.
    for line in (l for l in expected.splitlines() if l.strip() not in ("", "...")):
        p = pattern(line)
        while at < len(got) and not p.match(got[at]):
            at += 1
        if at == len(got):
            return line
        at += 1
    return None


def main():
    with open(README, encoding="utf-8") as f:
        lines = f.read().splitlines()
    blocks, problems, inside = parse(lines)
    for p in problems:
        fail(p)
    check_blocks(blocks)
    checked = check_paths(lines, inside)
    print("ok: %d blocks follow the convention, %d repository paths checked" % (len(blocks), checked))

    runs = []  # (block, the text block after it or None)
    for i, b in enumerate(blocks):
        if b["info"] == "sh":
            after = blocks[i + 1] if i + 1 < len(blocks) else None
            # Only blank lines between the closing fence and the next block.
            gap = lines[b["line"] + b["text"].count("\n") + 1:after["line"] - 1] if after else ["x"]
            shown = after["text"] if after and after["info"] == "text" and not any(l.strip() for l in gap) else None
            runs.append((b, shown))
    if not runs:
        fail("the README has no ```sh block")
    elif not port_free(PORT):
        if not failures:  # a broken convention is told even so
            print("SKIP: 127.0.0.1:%d is held by another program; the README's service listens there" % PORT)
            sys.exit(SKIP)
    else:
        run_blocks(runs)


def run_blocks(runs):
    """Runs the sh blocks in one session; each is checked against what it shows."""
    t = tempfile.mkdtemp(prefix="brenvik-readme.")
    session = None
    try:
        for d in ("out", "home", "etc/brenvikd", "var/lib/brenvikd", "var/log/brenvik", "dev"):
            os.makedirs(os.path.join(t, d))
        # What the brenvikd package's maintainer script makes.
        shutil.copy(os.path.join(SRC, "packaging", "brenvikd.json"), os.path.join(t, "etc/brenvikd/brenvikd.json"))
        with open(os.path.join(t, "etc/brenvikd/token"), "w") as f:
            f.write(secrets.token_hex(32) + "\n")
        open(os.path.join(t, "journal"), "w").close()
        for name in ("examples", "docs"):
            os.symlink(os.path.join(SRC, name), os.path.join(t, name))
        # libbrenvik2 and libbrenvik-dev.
        usr = os.path.join(t, "usr")
        for component in ("lib", "dev"):
            r = subprocess.run(["cmake", "--install", BUILD, "--prefix", usr, "--component", component],
                               capture_output=True, text=True)
            if r.returncode != 0:
                fail("cmake --install --component %s: %s%s" % (component, r.stdout, r.stderr))
                return
        pc = [root for root, _, files in os.walk(usr) if "brenvik.pc" in files]
        libdir = os.path.dirname(pc[0])

        link = os.path.join(t, "dev", "ttyUSB0")
        env = dict(os.environ)
        env.update({
            "T": t, "BUILD": BUILD, "SRC": SRC, "HOME": os.path.join(t, "home"),
            "XDG_STATE_HOME": os.path.join(t, "home", ".local", "state"),
            "PATH": os.pathsep.join([os.path.join(BUILD, d) for d in ("cli", "sim", "service")] + [env["PATH"]]),
            "PKG_CONFIG_PATH": os.path.join(libdir, "pkgconfig"), "CMAKE_PREFIX_PATH": usr,
            "LD_LIBRARY_PATH": libdir, "LC_ALL": "C.UTF-8",
        })
        for name in ("BRENVIK_LOG_DIR", "BRENVIK_PORTS_DIR", "BRENVIK_LIB"):
            env.pop(name, None)
        if os.path.isdir("/var/log/brenvik"):
            # This machine has the service's log directory: keep the debug
            # log out of it (the tool would write there when it may).
            env["BRENVIK_LOG_DIR"] = os.path.join(t, "log")

        script = [PREAMBLE,
                  "m301sim --link %s --journal %s/paper.txt >%s/m301sim.out 2>&1 &\n__wait_path %s\n"
                  % (link, t, t, link)]
        for n, (b, _) in enumerate(runs):
            text = substitute(b["text"], t, link)
            script.append("__block %d\n%s%s" % (n, text, readiness(text)))
        script.append("__block end\n")
        path = os.path.join(t, "session.sh")
        with open(path, "w", encoding="utf-8") as f:
            f.write("".join(script))

        started = time.monotonic()
        with open(os.path.join(t, "session.out"), "w") as out:
            session = subprocess.Popen(["bash", path], cwd=t, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.STDOUT, start_new_session=True)
            try:
                rc = session.wait(timeout=RUN_LIMIT)
            except subprocess.TimeoutExpired:
                rc = None
        elapsed = time.monotonic() - started

        def read(name):
            try:
                with open(os.path.join(t, name), encoding="utf-8", errors="replace") as f:
                    return f.read()
            except FileNotFoundError:
                return ""
        current = read("current").strip()
        if rc != 0 or current != "end":
            why = "did not end within %d s" % RUN_LIMIT if rc is None else "failed (exit %d)" % rc
            if current.isdigit():
                b = runs[int(current)][0]
                fail("the block at README.md line %d %s:\n%s--- it printed:\n%s"
                     % (b["line"], why, b["text"], read("out/" + current)))
            else:
                fail("the session %s before the first block:\n%s" % (why, read("session.out")))
            return
        for n, (b, shown) in enumerate(runs):
            if shown is None:
                continue
            missing = matches(substitute(shown, t, link), read("out/%d" % n))
            if missing is not None:
                fail("the block at README.md line %d did not print %r; it printed:\n%s"
                     % (b["line"], missing, read("out/%d" % n)))
        print("ok: %d sh blocks ran in %.1f s" % (len(runs), elapsed))
    finally:
        if session is not None:
            stop_group(session.pid)
        shutil.rmtree(t, ignore_errors=True)


def stop_group(pgid):
    """Ends what the blocks left running: SIGTERM, then SIGKILL after 5 s."""
    for sig, wait in ((signal.SIGTERM, 5.0), (signal.SIGKILL, 2.0)):
        try:
            os.killpg(pgid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            try:
                os.killpg(pgid, 0)
            except ProcessLookupError:
                return
            time.sleep(0.05)


if __name__ == "__main__":
    main()
    if failures:
        print("%d failure(s)" % len(failures))
        sys.exit(1)
    print("README test passed")
