#!/usr/bin/env python3
"""brenvik.dll, brenvik.exe and the C sample of one bitness under Wine.

  run_wine_capi.py --arch win64|win32 --build MINGW_TREE --sim m301sim
      --header brenvik.h --prefix-script wine-prefix.sh --work DIR

First, without Wine: brenvik.def exports exactly the header's functions.
Then, in one throw-away prefix, with the three programs in a folder whose
name holds blanks and nothing of MinGW beside them, against m301sim on a
pseudo-terminal linked as COM3 and COM12:
  - brenvik.exe status, config, a receipt and an X-report, each with a
    different way of naming the port, and the paper shows them;
  - the arguments reach the printer whole in UTF-8 although the ANSI code
    page cannot hold them, and the output is UTF-8;
  - the exit codes for a missing port and for bad usage;
  - the debug log lies beside brenvik.dll;
  - sale.exe, built against the import library, prints its receipt.
Exit code 0 on success, 1 on failure, 77 when the cross build is missing.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, exit_code  # noqa: E402

SERIAL = "4000012345"
OWNER = 'ТОВ "Демо-Маркет"'
CASHIER = "Олена"  # not in code page 1252, the prefix's ANSI page here
RECEIPT = {"type": "sale", "requestId": "wine-capi-1",
           "items": [{"name": "Молоко пастеризоване", "quantity": 2, "price": "31.40", "tax": 1},
                     {"name": "Сир твердий", "quantity": 1, "price": "96.00", "tax": 2}],
           "payments": {"cash": "200.00"}}
INSTALL = "Brenvik SDK Test"


def header_functions(path):
    text = open(path, encoding="utf-8").read()
    return set(re.findall(r"BRENVIK_API\b[^;(]*?\b(brenvik_\w+)\s*\(", text))


def def_exports(path):
    names = set()
    for line in open(path, encoding="ascii"):
        line = line.strip()
        if line and line != "EXPORTS" and not line.startswith(";"):
            names.add(line.split()[0].lstrip("_").split("@")[0])
    return names


class Simulator:
    """m301sim on a pseudo-terminal, linked as COM3 and COM12 of the prefix.
    A fresh one serves every client (the state file keeps the printer's
    counters): under Wine a pseudo-terminal takes the even-parity setting
    once, and a second client's SetCommState fails (error 5)."""

    def __init__(self, sim, work, prefix):
        self.sim, self.proc = sim, None
        self.com3 = os.path.join(prefix, "dosdevices", "com3")
        self.com12 = os.path.join(prefix, "dosdevices", "com12")
        self.journal = os.path.join(work, "journal.txt")
        self.state = os.path.join(work, "state.json")
        for path in (self.journal, self.state):
            if os.path.exists(path):
                os.unlink(path)

    def start(self):
        self.stop()
        for link in (self.com3, self.com12):
            if os.path.lexists(link):
                os.unlink(link)
        self.proc = subprocess.Popen([self.sim, "--link", self.com3, "--journal", self.journal,
                                      "--state", self.state],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while not os.path.lexists(self.com3) and time.time() < deadline:
            time.sleep(0.02)
        if not os.path.lexists(self.com3):
            raise RuntimeError("m301sim did not come up")
        os.symlink(os.readlink(self.com3), self.com12)

    def stop(self):
        if self.proc is not None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None

    def paper(self):
        if not os.path.exists(self.journal):
            return ""
        return open(self.journal, encoding="utf-8", errors="replace").read()


class Prefix:
    def __init__(self, args):
        self.dir = os.path.join(args.work, "prefix")
        subprocess.run(["sh", args.prefix_script, args.arch, self.dir], check=True)
        # A UTF-8 Unix locale without Cyrillic in its ANSI page (1252):
        # what main() gets in argv cannot hold the cashier's name.
        self.env = dict(os.environ, WINEPREFIX=self.dir, WINEDEBUG="-all", LC_ALL="C.UTF-8", LANG="C.UTF-8")
        self.env.pop("DISPLAY", None)
        self.drive_c = os.path.join(self.dir, "drive_c")
        self.install = os.path.join(self.drive_c, INSTALL)
        os.makedirs(self.install)
        # One wineserver for every run, started here so that it holds none
        # of a program's output files: it takes the pseudo-terminal as its
        # controlling terminal, and the SIGHUP of each simulator's end
        # makes it write a dump of its objects to its standard output.
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)

    def run(self, program, *argv, timeout=60):
        """Runs C:\\<INSTALL>\\program; stdout and stderr through files, not
        pipes (Wine's own services would hold a pipe open)."""
        out_path = os.path.join(self.dir, "stdout.txt")
        err_path = os.path.join(self.dir, "stderr.txt")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(["wine", "C:\\%s\\%s" % (INSTALL, program)] + list(argv), env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            try:
                rc = proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                rc = "timeout"
        stdout = open(out_path, "rb").read()
        stderr = open(err_path, "rb").read().decode("utf-8", "replace")
        print("$ %s %s -> %s\n%s%s" % (program, " ".join(argv), rc, stdout.decode("utf-8", "replace"), stderr),
              flush=True)
        return rc, stdout, stderr

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)


def main():
    ap = argparse.ArgumentParser()
    for name in ("--arch", "--build", "--sim", "--header", "--prefix-script", "--work"):
        ap.add_argument(name, required=True)
    args = ap.parse_args()
    files = {"brenvik.dll": os.path.join(args.build, "capi", "brenvik.dll"),
             "brenvik.exe": os.path.join(args.build, "cli", "brenvik.exe"),
             "sale.exe": os.path.join(args.build, "tests", "wine_capi", "sale.exe")}
    definition = os.path.join(args.build, "capi", "brenvik.def")
    missing = [path for path in list(files.values()) + [definition] if not os.path.exists(path)]
    if missing:
        print("skipped: the %s cross build has not made %s" % (args.arch, ", ".join(missing)))
        return 77

    declared, exported = header_functions(args.header), def_exports(definition)
    check(declared and exported == declared,
          "brenvik.def exports exactly the header's %d functions (not exported: %s; not declared: %s)"
          % (len(declared), sorted(declared - exported), sorted(exported - declared)))
    check(os.path.exists(os.path.join(args.build, "capi", "libbrenvik.dll.a")), "the import library is made")

    os.makedirs(args.work, exist_ok=True)
    started = time.monotonic()
    prefix = Prefix(args)
    sim = Simulator(args.sim, args.work, prefix.dir)
    try:
        for name, path in files.items():
            shutil.copy(path, prefix.install)
        with open(os.path.join(prefix.drive_c, "чек покупця.json"), "w", encoding="utf-8") as f:
            json.dump(RECEIPT, f, ensure_ascii=False)

        # status, config, receipt, X-report: each client gets a fresh printer.
        sim.start()
        rc, out, err = prefix.run("brenvik.exe", "status", "--port", "3")
        check(rc == 0 and SERIAL in out.decode("utf-8", "replace"), "status on --port 3 names the printer")
        sim.start()
        rc, out, err = prefix.run("brenvik.exe", "config", "--device", "COM12")
        check(rc == 0 and OWNER.encode("utf-8") in out, "config on --device COM12: the owner in UTF-8")
        sim.start()
        rc, out, err = prefix.run("brenvik.exe", "receipt", "C:\\чек покупця.json", "--json",
                                  "--device", "\\\\.\\COM12", "--cashier", CASHIER)
        try:
            doc = json.loads(out.decode("utf-8"))
        except ValueError:
            doc = {}
        check(rc == 0 and doc.get("outcome") == "closed" and doc.get("total") == 15880
              and doc.get("totalText") == "158.80",
              "receipt from a file with a Cyrillic name, on \\\\.\\COM12: closed, total 158.80")
        paper = sim.paper()
        check("Молоко пастеризоване" in paper and "Сир твердий" in paper, "the receipt's lines are on the paper")
        check("Касир: " + CASHIER in paper, "the cashier's name reached the printer whole from the command line")
        sim.start()
        rc, out, err = prefix.run("brenvik.exe", "x-report", "--device", "com3")
        check(rc == 0 and "X-ЗВІТ" in sim.paper(), "x-report on --device com3 is printed")

        # Exit codes as on Linux.
        for argv, expected, what in ((["status", "--port", "9"], 3, "no printer on COM9: 3"),
                                     (["status"], 2, "no port given: 2"),
                                     (["x-report", "--port", "3", "--timeout", "0"], 2, "a bad option: 2")):
            rc, out, err = prefix.run("brenvik.exe", *argv)
            check(rc == expected, "exit code, " + what + " (got %s)" % rc)

        log = os.path.join(prefix.install, "Pelmora.log")
        check(os.path.exists(log) and os.path.getsize(log) > 0, "the debug log lies beside brenvik.dll")

        sim.start()
        before = sim.paper().count("ФІСКАЛЬНИЙ ЧЕК")
        rc, out, err = prefix.run("sale.exe", "COM12")
        text = out.decode("utf-8", "replace")
        check(rc == 0 and "check " in text and "total 177.00" in text and OWNER in text,
              "sale.exe, linked against libbrenvik.dll.a, closes its check and shows UTF-8")
        paper = sim.paper()
        check(paper.count("ФІСКАЛЬНИЙ ЧЕК") == before + 1 and "Кава мелена" in paper,
              "the sample's receipt is on the paper")
    finally:
        sim.stop()
        prefix.close()
        shutil.rmtree(prefix.dir, ignore_errors=True)
    print("%s: %.1f s in Wine" % (args.arch, time.monotonic() - started))
    return exit_code()


if __name__ == "__main__":
    sys.exit(main())
