#!/usr/bin/env python3
"""The C++ client sample built from the SDK alone, run twice under Wine.

  run_sdk_sample.py --nsi brenvik.nsi --source DIR --build64 DIR --build32 DIR
      --sim m301sim --prefix-script wine-prefix.sh --work DIR [--setup BrenvikSetup.exe]

The SDK is the one BrenvikSetup.exe /S installs in a throw-away 64-bit
prefix, which also registers BrenvikPlus.dll. Without the installer (not
built, or no 32-bit Wine to run it) the SDK directory is laid out from the
installer's own list, the File lines of InstallSdk in brenvik.nsi, and the
64-bit DLL registered by hand. The sample is compiled with MinGW against
that directory only (-I<SDK>, no file of the build tree), together with a
C file that includes brenvik_com.h too: the GUIDs it defines must link
once. Then it sells a check twice in a row against one m301sim on COM3:
the second client must find the line as the first did.
Exit code 0 on success, 1 on failure, 77 when a build tree is missing.
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, exit_code  # noqa: E402

CXX = "x86_64-w64-mingw32-g++"
CC = "x86_64-w64-mingw32-gcc"
# 2 x 18.50 in the sample; the printer's total, as the sample prints it.
SOLD = "check closed: 37.00"
SECOND_FILE = b"""#include "brenvik_com.h"
/* A second file of the same program: the header's GUIDs link once. */
const GUID* maria301_class(void) { return &CLSID_Maria301; }
"""


def sdk_files(nsi, defines):
    """[(relative directory under SDK, source path)] from InstallSdk."""
    text = open(nsi, encoding="utf-8").read()
    body = re.search(r"^Function InstallSdk\n(.*?)^FunctionEnd", text, re.S | re.M).group(1)
    files, where = [], None
    for line in body.splitlines():
        line = line.strip()
        m = re.match(r'SetOutPath "\$INSTDIR\\SDK\\?(.*)"$', line)
        if m:
            where = m.group(1)
            continue
        m = re.match(r'File "(.*)"$', line)
        if m and where is not None:
            path = re.sub(r"\$\{(\w+)\}", lambda d: defines.get(d.group(1), d.group(0)), m.group(1))
            files.append((where, path.replace("\\", "/")))
    return files


def lay_out(args, sdk):
    defines = {"BUILD64": args.build64, "BUILD32": args.build32, "SOURCE": args.source,
               "SDK_SAMPLES": os.path.join(args.source, "examples", "windows")}
    missing = []
    for where, path in sdk_files(args.nsi, defines):
        matches = glob.glob(path) if "*" in path else [path]
        missing += [path for m in matches if not os.path.isfile(m)] + ([path] if not matches else [])
        os.makedirs(os.path.join(sdk, where), exist_ok=True)
        for m in matches:
            if os.path.isfile(m):
                shutil.copy(m, os.path.join(sdk, where))
    return missing


def build(args, sdk, sample):
    out = os.path.join(args.work, "sample_client.exe")
    second = os.path.join(args.work, "second.c")
    with open(second, "wb") as f:
        f.write(SECOND_FILE)
    obj = os.path.join(args.work, "second.o")
    steps = [[CC, "-Wall", "-Wextra", "-Werror", "-I" + sdk, "-c", second, "-o", obj],
             [CXX, "-std=c++17", "-Wall", "-Wextra", "-Werror", "-I" + sdk,
              sample, obj,
              "-static", "-o", out, "-lole32", "-loleaut32", "-luuid"]]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True)
        print("$ " + " ".join(step) + "\n" + done.stdout + done.stderr, flush=True)
        if done.returncode:
            return None
    return out


class Prefix:
    def __init__(self, args):
        self.dir = os.path.join(args.work, "prefix")
        subprocess.run(["sh", args.prefix_script, "win64", self.dir], check=True)
        self.env = dict(os.environ, WINEPREFIX=self.dir, WINEDEBUG="-all", WINEARCH="win64")
        self.env.pop("DISPLAY", None)
        self.install = os.path.join(self.dir, "drive_c", "Brenvik")
        os.makedirs(self.install)
        # Our own wineserver, holding no program's output file: the
        # simulator's pseudo-terminal may make it write there.
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, *argv, timeout=90):
        log = os.path.join(self.dir, "output.txt")
        with open(log, "wb") as out:
            proc = subprocess.Popen(["wine"] + list(argv), env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=subprocess.STDOUT)
            try:
                rc = proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                rc = "timeout"
        text = open(log, "rb").read().decode("utf-8", "replace")
        print("$ %s -> %s\n%s" % (" ".join(argv), rc, text), flush=True)
        return rc, text

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        try:
            self.server.wait(10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()


def main():
    ap = argparse.ArgumentParser()
    for name in ("nsi", "source", "build64", "build32", "sim", "prefix-script", "work"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--setup")
    args = ap.parse_args()
    dll = os.path.join(args.build64, "server", "BrenvikPlus.dll")
    if not os.path.isfile(dll) or not shutil.which(CXX):
        print("SKIP: no 64-bit cross build (%s) or no %s" % (dll, CXX))
        return 77
    shutil.rmtree(args.work, ignore_errors=True)
    # The installer is a 32-bit program.
    installer = args.setup if args.setup and os.path.isfile(args.setup) and subprocess.run(
        ["/usr/lib/wine/wine", "--version"], capture_output=True).returncode == 0 else None
    p = Prefix(args)
    sim = None
    try:
        if installer:
            shutil.copy(installer, os.path.join(p.dir, "drive_c", "BrenvikSetup.exe"))
            rc, _ = p.run("C:\\BrenvikSetup.exe", "/S", timeout=180)
            check(rc == 0, "BrenvikSetup.exe /S installs")
            installed = os.path.join(p.dir, "drive_c", "Program Files", "Brenvik")
            sdk = os.path.join(installed, "SDK")
            sample = os.path.join(installed, "Samples", "sample_client.cpp")
        else:
            print("-- no installer to run: SDK\\ laid out from the installer's list", flush=True)
            sdk = os.path.join(args.work, "SDK")
            os.makedirs(sdk)
            sample = os.path.join(args.source, "examples", "clients", "sample_client.cpp")
            missing = lay_out(args, sdk)
            if missing:
                print("SKIP: the cross builds have not made what the installer ships yet: %s"
                      % ", ".join(missing))
                return 77
            shutil.copy(dll, p.install)
            rc, _ = p.run("regsvr32", "/s", "C:\\Brenvik\\BrenvikPlus.dll")
            check(rc == 0, "BrenvikPlus.dll registers")
        for name in ("brenvik.idl", "brenvik.tlb", "brenvik_com.h", "Brenvik_TLB.pas"):
            check(os.path.isfile(os.path.join(sdk, name)), "the installer puts %s in SDK\\" % name)
        exe = build(args, sdk, sample)
        if not check(exe is not None, "sample_client.cpp and a C file build against SDK\\ alone"):
            return exit_code()
        shutil.copy(exe, p.install)
        com3 = os.path.join(p.dir, "dosdevices", "com3")
        journal = os.path.join(args.work, "journal.txt")
        sim = subprocess.Popen([args.sim, "--link", com3, "--journal", journal,
                                "--state", os.path.join(args.work, "state.json")],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while not os.path.lexists(com3) and time.time() < deadline:
            time.sleep(0.02)
        for run in ("first", "second"):
            rc, text = p.run("C:\\Brenvik\\sample_client.exe", "3")
            check(rc == 0 and SOLD in text, "the %s run against one m301sim sells its check (%s)" % (run, SOLD))
    finally:
        if sim:
            sim.terminate()
            sim.wait()
        p.close()
    return exit_code()


if __name__ == "__main__":
    sys.exit(main())
