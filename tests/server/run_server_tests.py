#!/usr/bin/env python3
"""Wine tests of BrenvikPlus.dll, each in a throw-away prefix.

  run_server_tests.py MODE --arch win64|win32 --build DIR --work DIR
      [--prefix-script wine-prefix.sh] [--sim m301sim] [--scripts DIR]

Modes:
  registration  regsvr32 and regsvr32 /u, the registry read back with reg
                query: every key and value, ForceRemove clearing stale
                content, NoRemove keys kept, the type library; the exports
  typelib       typelib_check.exe against the DLL's embedded library
  bridge        the boundary conversions, under a non-Cyrillic ANSI page
  contract      class objects, aggregation, locks, dispatch (no printer)
  session       the compiled client through both interfaces, m301sim on COM3
  scripts       VBScript and JScript sessions through both ProgIDs
  errorbox      the modal error box under Xvfb, on and off

Exit code 0 on success, 1 on failure, 77 when the cross build is missing.
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

CLSID = {"Brenvik": "{F9C6A151-4409-462C-9557-2E6E3579EC6C}",
         "Maria301": "{36330FE4-4EB6-43C2-9A97-F81801BF83BE}"}
IID = {"IBrenvik": "{9D7D34D6-56ED-4CDA-8D3F-73A5D286763F}",
       "IMaria301": "{B5C658A4-B03F-407C-9874-423BF2CD97F9}"}
LIBID = "{16A48018-32F2-4DA6-A78F-5A7307C89527}"
APPID = "{78921F86-0EA8-4F57-B524-8D0573C0F5D4}"
PORT = 3

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, failures, start_xvfb  # noqa: E402


class Prefix:
    """A throw-away Wine prefix with the DLL installed in a directory whose
    name holds a blank and a single quote, as real install paths may."""

    def __init__(self, args, name):
        self.args = args
        self.dir = os.path.join(args.work, name)
        subprocess.run(["sh", args.prefix_script, args.arch, self.dir], check=True)
        self.env = dict(os.environ, WINEPREFIX=self.dir, WINEDEBUG="-all", WINEARCH=args.arch)
        self.env.pop("DISPLAY", None)
        self.install_dir = os.path.join(self.dir, "drive_c", "Program Files", "O'Neill POS")
        os.makedirs(self.install_dir, exist_ok=True)
        self.win_install = "C:\\Program Files\\O'Neill POS"
        self.dll = self.win_install + "\\BrenvikPlus.dll"
        shutil.copy(os.path.join(args.build, "server", "BrenvikPlus.dll"), self.install_dir)

    def copy_in(self, path, encoding=None):
        target = os.path.join(self.dir, "drive_c", os.path.basename(path))
        if encoding:
            # Wine's cscript reads a script only in the ANSI code page; ours
            # are UTF-8, and the shipped sale.vbs is UTF-16 for Windows.
            with open(path, "rb") as f:
                raw = f.read()
            text = raw.decode("utf-16") if raw.startswith(b"\xff\xfe") else raw.decode("utf-8")
            with open(target, "wb") as f:
                f.write(text.replace("\r\n", "\n").replace("\n", "\r\n").encode(encoding))
        else:
            shutil.copy(path, target)
        return "C:\\" + os.path.basename(path)

    def script_host(self):
        """`wine cscript` starts the 32-bit cscript even in a 64-bit prefix;
        it would reach the 64-bit DLL only through a surrogate process per
        object. The 64-bit loader starts the 64-bit one, in process."""
        if self.args.arch == "win64":
            for loader in ("/usr/lib/wine/wine64", shutil.which("wine64") or ""):
                if loader and os.path.exists(loader):
                    return [loader, "cscript"]
        return ["wine", "cscript"]

    def wine(self, *argv, env=None, timeout=120, launcher=None):
        """Runs a program; its output goes through a file, not a pipe: the
        Wine services a first program starts inherit its standard handles
        and would hold a pipe open long after the program has ended."""
        e = dict(self.env)
        if env:
            e.update(env)
        log = os.path.join(self.dir, "output.txt")
        with open(log, "wb") as out:
            proc = subprocess.Popen((launcher or ["wine"]) + list(argv), env=e, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=subprocess.STDOUT)
            try:
                rc = proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                rc = -1
        text = open(log, "rb").read().decode("utf-8", "replace")
        if rc == -1:
            text += "\nFAIL: timed out after %d s" % timeout
        return rc, text

    def reg_view(self):
        return ["/reg:64"] if self.args.arch == "win64" else []

    @staticmethod
    def parse_query(out):
        """reg query output -> {subkey path: {value name: (type, data)}}."""
        tree, current = {}, None
        for line in out.splitlines():
            line = line.rstrip("\r")
            if line.startswith("HKEY_"):
                current = line.strip().split("\\", 1)[1] if "\\" in line else ""
                tree[current] = {}
            elif line.startswith("    ") and current is not None:
                parts = re.split(r" {4}", line.strip(), maxsplit=2)
                if len(parts) >= 2:
                    tree[current][parts[0]] = (parts[1], parts[2] if len(parts) > 2 else "")
        return tree or None

    def batch(self, lines):
        with open(os.path.join(self.dir, "drive_c", "batch.bat"), "w") as f:
            f.write("\r\n".join(["@echo off"] + lines) + "\r\n")
        return self.wine("cmd", "/c", "C:\\batch.bat")

    def load(self, keys):
        """Reads many keys with one Wine start: a batch file of reg queries
        with a marker line before each."""
        self.cache = {}
        lines = ["@echo off"]
        for i, key in enumerate(keys):
            lines.append("echo ###%d###" % i)
            lines.append("reg query \"%s\" /s %s" % (key, " ".join(self.reg_view())))
        lines.append("echo ###end###")
        with open(os.path.join(self.dir, "drive_c", "query.bat"), "w") as f:
            f.write("\r\n".join(lines) + "\r\n")
        _, out = self.wine("cmd", "/c", "C:\\query.bat")
        chunks = re.split(r"^###(\d+|end)###\r?$", out, flags=re.M)
        for index, body in zip(chunks[1::2], chunks[2::2]):
            if index != "end":
                self.cache[keys[int(index)]] = self.parse_query(body)

    def query(self, key):
        """reg query KEY /s -> {subkey path: {value name: (type, data)}}, or None."""
        if key in getattr(self, "cache", {}):
            return self.cache[key]
        rc, out = self.wine("reg", "query", key, "/s", *self.reg_view())
        return self.parse_query(out) if rc == 0 else None

    def regsvr32(self, *flags):
        rc, out = self.wine("regsvr32", "/s", *flags, self.dll)
        return rc

    def log_text(self):
        path = os.path.join(self.install_dir, "Pelmora.log")
        if not os.path.exists(path):
            return ""
        return open(path, "rb").read().decode("cp1251", "replace")

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)


class Simulator:
    """m301sim on a pseudo-terminal linked as COM3 of the prefix.

    Under Wine a pseudo-terminal takes the line settings only once: after a
    first Init, the next SetCommState with even parity fails (error 5), so
    every Init gets a fresh simulator ("restart" from a client); the state
    file carries the printer's counters across."""

    def __init__(self, args, prefix):
        self.args = args
        self.dir = os.path.join(args.work, "sim")
        os.makedirs(self.dir, exist_ok=True)
        self.link = os.path.join(prefix.dir, "dosdevices", "com%d" % PORT)
        self.control = os.path.join(self.dir, "ctl")
        self.journal = os.path.join(self.dir, "journal.txt")
        self.state = os.path.join(self.dir, "state.json")
        for path in (self.link, self.control, self.journal, self.state):
            if os.path.lexists(path):
                os.unlink(path)
        self.start()

    def start(self):
        self.proc = subprocess.Popen([self.args.sim, "--link", self.link, "--control", self.control,
                                      "--journal", self.journal, "--state", self.state],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while not (os.path.lexists(self.link) and os.path.exists(self.control)) and time.time() < deadline:
            time.sleep(0.05)
        if not os.path.lexists(self.link):
            raise RuntimeError("m301sim did not come up")

    def restart(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.start()
        return "OK"

    def command(self, line):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(self.control)
        s.sendall(line.encode() + b"\n")
        answer = s.recv(4096).decode()
        s.close()
        return answer.strip()

    def journal_text(self):
        return open(self.journal, encoding="utf-8", errors="replace").read() \
            if os.path.exists(self.journal) else ""

    def serve_requests(self, drive_c):
        """Clients inside Wine cannot reach a Unix socket: they write a line
        to C:\\sim-request.txt and wait for C:\\sim-answer.txt."""
        self.running = True

        def loop():
            request = os.path.join(drive_c, "sim-request.txt")
            answer = os.path.join(drive_c, "sim-answer.txt")
            while self.running:
                if os.path.exists(request):
                    line = open(request, "rb").read().decode("ascii", "replace").strip()
                    os.unlink(request)
                    reply = self.restart() if line == "restart" else self.command(line)
                    with open(answer + ".tmp", "w") as f:
                        f.write(reply + "\n")
                    os.replace(answer + ".tmp", answer)
                time.sleep(0.02)

        self.thread = threading.Thread(target=loop, daemon=True)
        self.thread.start()

    def stop(self):
        self.running = False
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()


# ---- registration -----------------------------------------------------------

def class_keys(prog, name, clsid, dll):
    return {
        prog + ".1": {"(Default)": name},
        prog + ".1\\CLSID": {"(Default)": clsid},
        prog: {"(Default)": name},
        prog + "\\CLSID": {"(Default)": clsid},
        prog + "\\CurVer": {"(Default)": prog + ".1"},
    }, {
        "CLSID\\" + clsid: {"(Default)": name, "AppID": APPID},
        "CLSID\\" + clsid + "\\ProgID": {"(Default)": prog + ".1"},
        "CLSID\\" + clsid + "\\VersionIndependentProgID": {"(Default)": prog},
        "CLSID\\" + clsid + "\\Programmable": {},
        "CLSID\\" + clsid + "\\InprocServer32": {"(Default)": dll, "ThreadingModel": "Apartment"},
        "CLSID\\" + clsid + "\\TypeLib": {"(Default)": LIBID},
    }


def values_only(tree):
    return {k: {n: v[1] for n, v in vals.items()} for k, vals in tree.items()}


ALL_KEYS = ["HKCR\\" + k for k in (
    "Brenvik.Application.1", "Brenvik.Application", "BrenvikPlus.Maria301.1", "BrenvikPlus.Maria301",
    "CLSID\\" + CLSID["Brenvik"], "CLSID\\" + CLSID["Maria301"], "AppID\\" + APPID,
    "AppID\\BrenvikPlus.DLL", "TypeLib\\" + LIBID, "Interface\\" + IID["IBrenvik"],
    "Interface\\" + IID["IMaria301"], "CLSID\\{00000000-1111-2222-3333-444444444444}")]


def check_registered(p):
    p.load(ALL_KEYS)
    classes = [("Brenvik.Application", "Brenvik Class", CLSID["Brenvik"]),
               ("BrenvikPlus.Maria301", "Maria301 Class", CLSID["Maria301"])]
    for prog, name, clsid in classes:
        progids, clsid_keys = class_keys(prog, name, clsid, p.dll)
        for root in (prog + ".1", prog):
            tree = p.query("HKCR\\" + root)
            want = {k: v for k, v in progids.items() if k == root or k.startswith(root + "\\")}
            check(tree is not None and values_only(tree) == want, "ProgID keys of " + root)
        tree = p.query("HKCR\\CLSID\\" + clsid)
        got = values_only(tree) if tree else None
        if got != clsid_keys:
            print("   got", got)
        check(got == clsid_keys, "class key of %s, exactly" % name)
        if tree:
            types = {t for vals in tree.values() for t, _ in vals.values()}
            check(types == {"REG_SZ"}, "every value of %s is a string" % name)
    tree = p.query("HKCR\\AppID\\" + APPID)
    check(tree is not None and values_only(tree) == {"AppID\\" + APPID: {"(Default)": "BrenvikPlus"}},
          "AppID key")
    tree = p.query("HKCR\\AppID\\BrenvikPlus.DLL")
    check(tree is not None and values_only(tree) == {"AppID\\BrenvikPlus.DLL": {"AppID": APPID}},
          "AppID\\BrenvikPlus.DLL")
    tree = p.query("HKCR\\TypeLib\\" + LIBID)
    platform = "win64" if p.args.arch == "win64" else "win32"
    got = values_only(tree) if tree else {}
    check(got.get("TypeLib\\%s\\1.0" % LIBID, {}).get("(Default)") == "BrenvikPlus 1.0 Type Library",
          "type library registered with its help string")
    check(got.get("TypeLib\\%s\\1.0\\0\\%s" % (LIBID, platform), {}).get("(Default)") == p.dll,
          "type library path is the DLL (%s)" % platform)
    for itf, iid in IID.items():
        tree = p.query("HKCR\\Interface\\" + iid)
        got = values_only(tree) if tree else {}
        check(got.get("Interface\\" + iid, {}).get("(Default)") == itf, "interface %s registered" % itf)


def check_unregistered(p):
    p.load(ALL_KEYS + ["HKCR\\CLSID\\" + CLSID["Brenvik"] + "\\ProgID", "HKCR\\AppID"])
    for root in ("Brenvik.Application.1", "Brenvik.Application", "BrenvikPlus.Maria301.1",
                 "BrenvikPlus.Maria301", "CLSID\\" + CLSID["Brenvik"], "CLSID\\" + CLSID["Maria301"],
                 "AppID\\" + APPID, "AppID\\BrenvikPlus.DLL", "TypeLib\\" + LIBID,
                 "Interface\\" + IID["IBrenvik"], "Interface\\" + IID["IMaria301"]):
        check(p.query("HKCR\\" + root) is None, "removed: " + root)
    check(p.query("HKCR\\CLSID\\{00000000-1111-2222-3333-444444444444}") is not None,
          "HKCR\\CLSID kept (NoRemove)")
    check(p.query("HKCR\\AppID") is not None, "HKCR\\AppID kept (NoRemove)")


def check_exports(args):
    objdump = "x86_64-w64-mingw32-objdump" if args.arch == "win64" else "i686-w64-mingw32-objdump"
    out = subprocess.run([objdump, "-p", os.path.join(args.build, "server", "BrenvikPlus.dll")],
                         capture_output=True, text=True).stdout
    table = out.split("[Ordinal/Name Pointer] Table", 1)[-1].split("\n\n", 1)[0]
    names = re.findall(r"\]\s+(\S+)", table)
    check(names == ["DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                    "DllUnregisterServer"], "exactly the four exports: %s" % names)
    dlls = set(re.findall(r"DLL Name: (\S+)", out))
    check(not any(d.lower().startswith(("libstdc++", "libgcc", "libwinpthread")) for d in dlls),
          "no MinGW runtime DLL needed: %s" % sorted(dlls))


def registration(args):
    check_exports(args)
    p = Prefix(args, "registration")
    try:
        check(p.regsvr32() == 0, "regsvr32 succeeds")
        check_registered(p)
        # Stale content under the class key, a foreign class beside it.
        stale = "HKCR\\CLSID\\%s" % CLSID["Brenvik"]
        foreign = "HKCR\\CLSID\\{00000000-1111-2222-3333-444444444444}"
        view = " ".join(p.reg_view())
        p.batch(['reg add "%s\\Stale" /ve /d old /f %s' % (stale, view),
                 'reg add "%s" /v Junk /d x /f %s' % (stale, view),
                 'reg add "%s\\InprocServer32" /ve /d C:\\old\\BrenvikPlus.dll /f %s' % (stale, view),
                 'reg add "%s" /ve /d "Someone else" /f %s' % (foreign, view)])
        p.load([stale])
        check("CLSID\\%s\\Stale" % CLSID["Brenvik"] in (p.query(stale) or {}), "stale content planted")
        check(p.regsvr32() == 0, "second regsvr32 succeeds")
        check_registered(p)
        check(p.regsvr32("/u") == 0, "regsvr32 /u succeeds")
        check_unregistered(p)
        check(p.query(foreign) is not None and p.query(foreign).get(foreign[5:], {}).get("(Default)"),
              "another program's class is left alone")
        check(p.regsvr32("/u") == 0, "unregistering again is harmless")
        check(p.regsvr32() == 0, "registering after unregistering")
        check_registered(p)
    finally:
        p.close()


# ---- programs ---------------------------------------------------------------

def exe(args, name):
    return os.path.join(args.build, "tests", "server", name)


def run_program(p, argv, env=None, timeout=120):
    rc, out = p.wine(*argv, env=env, timeout=timeout)
    print(out)
    for line in out.splitlines():
        if line.startswith("FAIL"):
            failures.append(line)
    check(rc == 0, "%s exits with 0 (got %d)" % (os.path.basename(argv[0]), rc))
    return out


def typelib(args):
    p = Prefix(args, "typelib")
    try:
        run_program(p, [p.copy_in(exe(args, "server_typelib_check.exe")), p.dll])
    finally:
        p.close()


def bridge(args):
    p = Prefix(args, "bridge")
    try:
        # Code page 1252: the engine's texts must still be 1251.
        out = run_program(p, [p.copy_in(exe(args, "server_text_bridge_check.exe"))], env={"LC_ALL": "C"})
        check("ANSI code page 1252" in out, "ran with a non-Cyrillic ANSI code page")
    finally:
        p.close()


def contract(args):
    p = Prefix(args, "contract")
    try:
        run_program(p, [p.copy_in(exe(args, "server_client.exe")), "contract", p.dll], env={"LC_ALL": "C"})
    finally:
        p.close()


def with_printer(args, name, body):
    p = Prefix(args, name)
    sim = None
    try:
        check(p.regsvr32() == 0, "regsvr32 succeeds")
        sim = Simulator(args, p)
        sim.serve_requests(os.path.join(p.dir, "drive_c"))
        body(p, sim)
    finally:
        if sim:
            sim.stop()
        p.close()


def session(args):
    def body(p, sim):
        out = run_program(p, [p.copy_in(exe(args, "server_client.exe")), "session", str(PORT)],
                          env={"LC_ALL": "C"}, timeout=240)
        log = p.log_text()
        # Exact byte limits, seen by the engine.
        for line, what in [
            ("F:UPAS(****, Cashier123)", "Init keeps 10 bytes of the name; the password is never logged"),
            ("F:UPAS(****, Cashier12)", "InitEx keeps 9 bytes of the name"),
            ("F:FIRP(20100301, 20100331)", "dates as %4i%02i%02i"),
            ("F:DIsp(" + "D" * 200 + ", 1)", "PutToExternalDisplay keeps 200 bytes"),
            ("F:PREP(" + "P" * 15 + ")", "OpenCheck keeps 15 bytes"),
            ("F:DEPT(" + "A" * 5 + ")", "SetDeptAlias keeps 5 bytes"),
            ("F:HEAD(" + "H" * 43 + ")", "SetCheckHeadLine keeps 43 bytes"),
            ("F:BOTM(" + "B" * 43 + ")", "SetCheckBottomLine keeps 43 bytes"),
            ("F:GRBG(" + "G" * 21 + ")", "OpenGoodsGroup keeps 21 bytes"),
            ("F:GRBG(" + "D" * 22 + "," + "U" * 22 + ")", "CloseGoodsGroup keeps 22 bytes of each"),
            ("F:BCHN(" + "N" * 86 + ")", "SetReturnCheckNumberStr keeps 86 bytes"),
            ("F:FINF(" + "L" * 86 + ")", "LongName keeps 86 bytes"),
        ]:
            check(line in log, what + ": " + line)
        check("F:UPAS(****, )" in log, "NULL BSTRs reach the engine as empty texts")
        check("Pass5678" not in log, "the cashier's password never reaches the log")
        journal = sim.journal_text()
        check("Молоко" in journal, "a Cyrillic goods name reaches the paper intact")
        # The printer's code page has no і: the engine sends a Latin I.
        check("ХлIб" in journal, "Хліб reaches the paper as the printer spells it")
        check("СТОРНО ХлIб" in journal, "the storno is on the paper")
        sample = exe(args, "brenvik_client_sample.exe")
        if os.path.exists(sample):
            sim.restart()
            rc, out = p.wine(p.copy_in(sample), str(PORT), env={"LC_ALL": "C"})
            print(out)
            check(rc == 0 and "check closed: 37.00" in out, "the compiled sample closes a check")
    with_printer(args, "session", body)


def scripts(args):
    def body(p, sim):
        for number, script in enumerate(sorted(os.listdir(args.scripts))):
            if not script.endswith((".vbs", ".js")):
                continue
            if number:
                sim.restart()  # one Init per pseudo-terminal under Wine
            # VBScript has no way to write a Cyrillic letter but literally, so
            # it runs on a Cyrillic system; the JScript spells its letters with
            # \\u escapes and runs where the ANSI code page is 1252, which
            # the server must not care about.
            vbs = script.endswith(".vbs")
            path = p.copy_in(os.path.join(args.scripts, script), "cp1251" if vbs else "ascii")
            rc, out = p.wine("//nologo", path, str(PORT), launcher=p.script_host(),
                             env={"LC_ALL": "uk_UA.UTF-8" if vbs else "C"}, timeout=120)
            print(out)
            bad = [l for l in out.splitlines() if l.startswith("FAIL")]
            failures.extend(script + ": " + l for l in bad)
            check(rc == 0 and "DONE-OK" in out and not bad, "%s runs a whole session" % script)
        # The samples point-of-sale developers copy must work as they are.
        if args.examples:
            for sample, encoding, locale in (("sale.vbs", "cp1251", "uk_UA.UTF-8"), ("sale.js", "cp1251", "C")):
                sim.restart()
                path = p.copy_in(os.path.join(args.examples, sample), encoding)
                rc, out = p.wine("//nologo", path, str(PORT), launcher=p.script_host(),
                                 env={"LC_ALL": locale}, timeout=120)
                print(out)
                check(rc == 0 and "Check total:" in out, "example %s closes a check" % sample)
        journal = sim.journal_text()
        check(journal.count("Молоко") >= 2, "Cyrillic goods names on the paper from the scripts")
    with_printer(args, "scripts", body)


def errorbox(args):
    try:
        xvfb, display = start_xvfb()
    except RuntimeError:
        check(False, "Xvfb starts")
        return
    p = Prefix(args, "errorbox")
    try:
        p.env["DISPLAY"] = display
        client = p.copy_in(exe(args, "server_client.exe"))
        # The box's texts are code page 1251 converted by the engine, so they
        # read right on a system whose ANSI code page is 1252.
        western = {"LC_ALL": "C"}
        run_program(p, [client, "errorbox", p.dll, "on"], env=western)
        run_program(p, [client, "errorbox", p.dll, "off"], env=western)
    finally:
        p.close()
        xvfb.terminate()
        xvfb.wait()


MODES = {"registration": registration, "typelib": typelib, "bridge": bridge, "contract": contract,
         "session": session, "scripts": scripts, "errorbox": errorbox}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=sorted(MODES))
    ap.add_argument("--arch", required=True, choices=["win64", "win32"])
    ap.add_argument("--build", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--prefix-script", required=True)
    ap.add_argument("--sim", default="")
    ap.add_argument("--scripts", default="")
    ap.add_argument("--examples", default="")
    args = ap.parse_args()
    if not os.path.exists(os.path.join(args.build, "server", "BrenvikPlus.dll")):
        print("SKIP: %s has no BrenvikPlus.dll" % args.build)
        return 77
    if args.mode in ("session", "scripts") and not os.path.exists(args.sim):
        print("SKIP: no m301sim at %s" % args.sim)
        return 77
    os.makedirs(args.work, exist_ok=True)
    MODES[args.mode](args)
    print("%s: %d failure(s)" % ("FAIL" if failures else "OK", len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
