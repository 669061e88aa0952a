#!/usr/bin/env python3
"""Tests of BrenvikSetup.exe in a throw-away Wine prefix.

  run_installer_tests.py MODE --setup EXE --work DIR --prefix-script SH
      --sim m301sim --server-tests DIR --source DIR --nsis "makensis|..." --nsi FILE

Modes:
  win64  an older version installed silently without the Startup entry,
         then this one over it (the upgrade, which keeps that choice);
         both DLLs registered in their own registry view; a sale through
         each bitness against m301sim with the log in ProgramData; a silent
         uninstall that leaves nothing of ours but the logs
  win32  a silent install on 32-bit Windows with the Startup entry, a sale,
         and an uninstall asked to remove the logs too
  service  /S /SERVICE /PORT=3 /HTTPPORT=n on 64-bit Windows with m301sim on COM3: the
         SDK of both bitnesses, brenvikd registered and running, a receipt
         over HTTP from Linux with the token from ProgramData (once, however
         often it is sent); an upgrade that keeps the service and the
         origin added to brenvikd.json by hand, as the web sample's page
         says, and the sample printing once in headless Chromium however
         often Print is pressed; a silent uninstall removes the service, its
         registry entries and its Event Log source and keeps the ledger;
         installed again with /ORIGIN=, /REMOVELOGS takes the ledger too

Wine's VBScript has no ChrW and cannot read a UTF-16 script, so the shipped
sale.vbs runs re-encoded into code page 1251 on a Cyrillic system; the
Cyrillic texts on a Western system are proven by sale.js, whose \\u escapes
carry the same letters.

Exit code 0 on success, 1 on failure, 77 when something to test is missing.
"""
import argparse
import filecmp
import functools
import http.client
import http.server
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

PRODUCT_KEY = "HKLM\\Software\\Brenvik"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brenvik"
LOG_DIR = "C:\\ProgramData\\Brenvik"
LOG_FILE = re.compile(r"^(Pelmora|\d{14})\.log$")  # the log and its archives
START_MENU = os.path.join("ProgramData", "Microsoft", "Windows", "Start Menu", "Programs")


def startup_link(t):
    return os.path.join(t.c, START_MENU, "StartUp", "KorvellOLE.lnk")


# The system's language (LANG under Wine) -> the installer's LANGID and its
# Start-menu names.
LANGUAGES = {
    "en": ("en_US.UTF-8", 1033, {"test": "Brenvik printer test", "manual": "Brenvik manual",
                                 "samples": "Brenvik samples", "sdk": "Brenvik SDK", "logs": "Brenvik logs",
                                 "uninstall": "Uninstall Brenvik"}),
    "ru": ("ru_RU.UTF-8", 1049, {"test": "Проверка принтера Brenvik", "manual": "Руководство Brenvik",
                                 "samples": "Примеры Brenvik", "sdk": "Brenvik SDK для программистов",
                                 "logs": "Журналы Brenvik", "uninstall": "Удалить Brenvik"}),
    "uk": ("uk_UA.UTF-8", 1058, {"test": "Перевірка принтера Brenvik", "manual": "Посібник Brenvik",
                                 "samples": "Приклади Brenvik", "sdk": "Brenvik SDK для програмістів",
                                 "logs": "Журнали Brenvik", "uninstall": "Видалити Brenvik"}),
}
# A language the installer does not speak: it asks, English preselected.
LANGUAGES["de"] = ("de_DE.UTF-8", 1033, LANGUAGES["en"][2])


def locale_env(work, lang):
    """LANG and LC_ALL for a system in lang. A locale this machine lacks is
    made into work (LOCPATH): without it Wine takes the language but cannot
    write a Cyrillic file name."""
    name = LANGUAGES[lang][0]
    env = {"LANG": name, "LC_ALL": name}
    have = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower().split()
    if name.lower().replace("utf-8", "utf8") in have:
        return env
    where = os.path.join(work, "locales")
    if not os.path.isdir(os.path.join(where, name)):
        os.makedirs(where, exist_ok=True)
        subprocess.run(["localedef", "-i", name.split(".")[0], "-f", "UTF-8", os.path.join(where, name)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env["LOCPATH"] = where
    return env


def shortcut(path):
    """(target, working directory) of a .lnk file, from its LinkInfo and
    StringData; None for what it does not hold."""
    data = open(path, "rb").read()
    flags = struct.unpack_from("<I", data, 0x14)[0]
    at = 0x4C
    if flags & 0x1:  # HasLinkTargetIDList
        at += 2 + struct.unpack_from("<H", data, at)[0]
    target = None
    if flags & 0x2:  # HasLinkInfo
        size, header = struct.unpack_from("<II", data, at)
        base = struct.unpack_from("<I", data, at + 16)[0]
        if header >= 0x24:
            wide = struct.unpack_from("<I", data, at + 28)[0]
            end = data.index(b"\0\0", at + wide)
            end += (end - at - wide) % 2
            target = data[at + wide:end].decode("utf-16-le")
        elif base:
            target = data[at + base:data.index(b"\0", at + base)].decode("cp1252")
        at += size
    strings = {}
    for bit, name in ((0x4, "name"), (0x8, "relative"), (0x10, "workdir"), (0x20, "arguments"), (0x40, "icon")):
        if flags & bit:
            count = struct.unpack_from("<H", data, at)[0]
            at += 2
            width = 2 if flags & 0x80 else 1
            raw = data[at:at + count * width]
            strings[name] = raw.decode("utf-16-le" if width == 2 else "cp1252").rstrip("\0")
            at += count * width
    return target, strings.get("workdir")


def check_shortcuts(s, t, names):
    """Every shortcut starts its program in the program's own folder, not
    in whatever folder the installer wrote last."""
    menu = os.path.join(t.c, START_MENU, "Brenvik")
    expected = [(names["test"], t.win64), ("KorvellOLE", t.win64), (names["samples"], t.win64 + "\\Samples"),
                (names["sdk"], t.win64 + "\\SDK"), (names["logs"], LOG_DIR), (names["uninstall"], t.win64)]
    if os.path.exists(os.path.join(menu, names["manual"] + ".lnk")):
        expected.append((names["manual"], t.win64 + "\\Manual"))
    links = [(os.path.join(menu, name + ".lnk"), workdir) for name, workdir in expected]
    if os.path.exists(startup_link(t)):
        links.append((startup_link(t), t.win64))
    for path, workdir in links:
        got = shortcut(path)[1] if os.path.exists(path) else "(no shortcut)"
        s.check(got is not None and got.lower() == workdir.lower(),
                "%s starts in %s (got %s)" % (os.path.basename(path), workdir, got))


def pe_version(path):
    """The four numbers of a PE file's VS_FIXEDFILEINFO, as "a.b.c.d"."""
    data = open(path, "rb").read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def older(version):
    """A version below this one, for the build the upgrade starts from."""
    major, minor, patch = (int(x) for x in version.split("."))
    if patch:
        return "%d.%d.%d" % (major, minor, patch - 1)
    if minor:
        return "%d.%d.0" % (major, minor - 1)
    return "%d.0.0" % (major - 1)


class Installed:
    """A prefix with the installer's places in it, in Linux and Windows
    spelling. A 32-bit prefix has only one Program Files."""

    def __init__(self, server, args, arch):
        self.args = args
        self.p = server.Prefix.__new__(server.Prefix)
        p = self.p
        p.args = argparse.Namespace(arch=arch)
        p.dir = os.path.join(args.work, arch)
        subprocess.run(["sh", args.prefix_script, arch, p.dir], check=True)
        p.env = dict(os.environ, WINEPREFIX=p.dir, WINEDEBUG="-all", WINEARCH=arch)
        p.env.pop("DISPLAY", None)
        p.env.pop("BRENVIK_LOG_DIR", None)  # it would win over the registry
        # Our own wineserver, its output thrown away: one started by a wine
        # call would write into that call's output file, and it dumps its
        # objects there when the simulator's pseudo-terminal hangs up.
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=p.env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.c = os.path.join(p.dir, "drive_c")
        self.dir64 = os.path.join(self.c, "Program Files", "Brenvik")
        self.dir32 = os.path.join(self.c, "Program Files (x86)" if arch == "win64" else "Program Files",
                                  "Brenvik")
        self.win64 = "C:\\Program Files\\Brenvik"
        self.win32 = "C:\\Program Files (x86)\\Brenvik" if arch == "win64" else self.win64
        self.log_dir = os.path.join(self.c, "ProgramData", "Brenvik")

    def view(self, bits):
        """Points the server tests' registry checks at one registry view."""
        p = self.p
        p.args = argparse.Namespace(arch="win64" if bits == 64 else "win32")
        p.dll = (self.win64 if bits == 64 else self.win32) + "\\BrenvikPlus.dll"
        p.reg_view = lambda: ["/reg:%d" % bits]
        return p

    def run_setup(self, exe, *flags, lang="en"):
        """The installer on a system in the language given (LANGUAGES)."""
        rc, out = self.p.wine(self.p.copy_in(exe), *flags, timeout=180, env=locale_env(self.args.work, lang))
        return rc, out

    def value(self, key, name, bits):
        rc, out = self.p.wine("reg", "query", key, "/v", name, "/reg:%d" % bits)
        match = re.search(r"^\s+%s\s+REG_\w+\s+(.*?)\s*$" % re.escape(name), out, re.M)
        return match.group(1) if rc == 0 and match else None

    def close(self):
        self.p.close()
        try:
            self.server.wait(10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()

    def wait_gone(self, path, seconds=30):
        """The silent uninstaller re-runs itself from a temporary copy and
        returns before that copy has finished."""
        deadline = time.time() + seconds
        while os.path.exists(path) and time.time() < deadline:
            time.sleep(0.2)
        return not os.path.exists(path)


def build_older(args, version):
    """The same installer at a lower version: what an upgrade starts from."""
    out = os.path.join(args.work, "BrenvikSetup-%s.exe" % version)
    quad = version + ".0"
    subprocess.run(args.nsis.split("|") + ["-DVERSION=" + version, "-DVERSION_QUAD=" + quad,
                                             "-DOUTFILE=" + out, args.nsi], check=True)
    return out


def check_files(s, t, version, bits_list, lang="en"):
    check = s.check
    names = LANGUAGES[lang][2]
    for bits in bits_list:
        where = t.dir64 if bits == 64 else t.dir32
        dll = os.path.join(where, "BrenvikPlus.dll")
        got = pe_version(dll) if os.path.exists(dll) else None
        check(got == version + ".0", "%d-bit BrenvikPlus.dll installed at version %s (got %s)"
              % (bits, version, got))
    for program in ("KorvellOLE.exe", "BrenvikTest.exe"):
        path = os.path.join(t.dir64, program)
        check(os.path.exists(path) and pe_version(path) == version + ".0", "%s at version %s" % (program, version))
    for sample in ("sale.vbs", "sale.js", "sample_client.cpp", os.path.join("csharp", "BrenvikSale.csproj"),
                   os.path.join("csharp", "Sale.cs"), os.path.join("pascal", "sale.dpr")):
        check(os.path.exists(os.path.join(t.dir64, "Samples", sample)), "sample installed: " + sample)
    vbs = open(os.path.join(t.dir64, "Samples", "sale.vbs"), "rb").read()
    check(vbs.startswith(b"\xff\xfe"), "sale.vbs is shipped as UTF-16 with a byte-order mark")
    menu = os.path.join(t.c, START_MENU, "Brenvik")
    for link in (names["test"], "KorvellOLE", names["samples"], names["logs"], names["uninstall"]):
        check(os.path.exists(os.path.join(menu, link + ".lnk")), "Start menu: %s.lnk" % link)
    check(os.path.isdir(t.log_dir), "the log directory exists")
    manual = os.path.join(s.args.source, "docs", "manual")
    if os.path.isdir(manual):
        # The manual as HTML, a page a chapter, opened at its index from the
        # Start menu, its links whole where it was installed.
        pages = sorted("overview.html" if n == "README.md" else n[:-3] + ".html"
                       for n in os.listdir(manual) if n.endswith(".md"))
        shipped = os.path.join(t.dir64, "Manual")
        check(pages and all(os.path.exists(os.path.join(shipped, n)) for n in pages + ["index.html"]),
              "the manual's %d chapters installed as HTML with their index" % len(pages))
        link = os.path.join(menu, names["manual"] + ".lnk")
        target = shortcut(link)[0] if os.path.exists(link) else None
        check(target is not None and target.lower() == (t.win64 + "\\Manual\\index.html").lower()
              and os.path.isfile(os.path.join(t.c, *target[3:].split("\\"))),
              "Start menu: %s.lnk opens the installed index.html (got %s)" % (names["manual"], target))
        sys.path.insert(0, os.path.join(s.args.source, "tests", "manual"))
        import html_check
        for problem in html_check.problems(shipped) if os.path.isdir(shipped) else ["no Manual folder"]:
            check(False, "installed manual: " + problem)
    check_shortcuts(s, t, names)


def disk_kib(*dirs):
    return sum(os.path.getsize(os.path.join(root, name)) for d in dirs if os.path.isdir(d)
               for root, _, files in os.walk(d) for name in files) // 1024


def check_registry(s, t, version, bits_list, lang="en"):
    check = s.check
    for bits in bits_list:
        p = t.view(bits)
        print("-- registry view %d" % bits, flush=True)
        s.server.check_registered(p)
        check(t.value(PRODUCT_KEY, "LogDirectory", bits) == LOG_DIR,
              "LogDirectory points to %s in view %d" % (LOG_DIR, bits))
        check(t.value(PRODUCT_KEY, "Version", bits) == version, "Version %s in view %d" % (version, bits))
    native = bits_list[0]
    check(t.value(UNINSTALL_KEY, "DisplayVersion", native) == version,
          "the uninstall entry shows version " + version)
    # What Programs and Features and an IT inventory read.
    p = t.view(native)
    p.load([UNINSTALL_KEY, PRODUCT_KEY])
    entries = {key: next(iter((p.query(key) or {"": {}}).values())) for key in (UNINSTALL_KEY, PRODUCT_KEY)}

    def value(name, key=UNINSTALL_KEY):
        return entries[key].get(name, (None, None))[1]
    for name in ("Publisher", "URLInfoAbout", "HelpLink", "Contact"):
        check(value(name=name), "the uninstall entry has %s: %s" % (name, value(name=name)))
    check((value(name="InstallLocation") or "").lower() == t.win64.lower(),
          "InstallLocation is %s (%s)" % (t.win64, value(name="InstallLocation")))
    icon = value(name="DisplayIcon") or ""
    check(icon.lower().startswith(t.win64.lower() + "\\")
          and os.path.exists(os.path.join(t.dir64, icon[len(t.win64) + 1:])), "DisplayIcon exists: " + icon)
    for name in ("NoModify", "NoRepair"):
        check(value(name=name) == "0x1", "%s is 1" % name)
    size = int(value(name="EstimatedSize") or "0", 0)
    actual = disk_kib(t.dir64, t.dir32) if 32 in bits_list and 64 in bits_list else disk_kib(t.dir64)
    check(abs(size - actual) <= actual // 10 + 64,
          "EstimatedSize %d KiB is what is on disk (%d KiB)" % (size, actual))
    langid = LANGUAGES[lang][1]
    check(value(key=PRODUCT_KEY, name="InstallerLanguage") == str(langid),
          "a %s system gets the %s installer (LANGID %s, got %s)"
          % (LANGUAGES[lang][0], lang, langid, value(key=PRODUCT_KEY, name="InstallerLanguage")))


FOREIGN = "HKCR\\CLSID\\{00000000-1111-2222-3333-444444444444}"


def plant_foreign_class(t, bits_list):
    """Another program's class beside ours, which the uninstaller must keep."""
    t.p.batch(['reg add "%s" /ve /d "Someone else" /f /reg:%d' % (FOREIGN, bits) for bits in bits_list])


def check_removed(s, t, bits_list):
    check = s.check
    for bits in bits_list:
        p = t.view(bits)
        print("-- registry view %d" % bits, flush=True)
        s.server.check_unregistered(p)
        p.load([PRODUCT_KEY, UNINSTALL_KEY])
        check(p.query(PRODUCT_KEY) is None, "%s removed in view %d" % (PRODUCT_KEY, bits))
        check(p.query(UNINSTALL_KEY) is None, "uninstall entry removed in view %d" % bits)
    for where in (t.dir64, t.dir32):
        left = sorted(os.listdir(where)) if os.path.exists(where) else []
        check(all(LOG_FILE.match(name) for name in left), "removed but the logs: %s %s" % (where, left))
    check(not os.path.exists(os.path.join(t.c, START_MENU, "Brenvik")), "Start menu folder removed")
    check(not os.path.exists(startup_link(t)), "Startup entry removed")


def sale(s, t, sim, sample, bits, locale, encoding):
    """Runs an installed sample through the cscript of one bitness."""
    p = t.p
    sim.restart()  # one Init per pseudo-terminal under Wine
    path = p.copy_in(os.path.join(t.dir64, "Samples", sample), encoding)
    host = ["/usr/lib/wine/wine64", "cscript"] if bits == 64 else ["wine", "cscript"]
    rc, out = p.wine("//nologo", path, str(s.server.PORT), launcher=host, env={"LC_ALL": locale},
                     timeout=120)
    print(out.strip(), flush=True)
    s.check(rc == 0 and "Check total:" in out, "%s closes a check through the %d-bit DLL (%s)"
            % (sample, bits, locale))


def logs_anywhere(t):
    return [os.path.join(d, n) for d in (t.log_dir, t.dir64, t.dir32) if os.path.isdir(d)
            for n in os.listdir(d) if LOG_FILE.match(n)]


def check_log(s, t, calls):
    """The DLLs log where the installer pointed them, not beside themselves:
    Wine lets anyone write to Program Files, so only the registry value
    (in the view of each bitness) sends the log to ProgramData."""
    path = os.path.join(t.log_dir, "Pelmora.log")
    text = open(path, "rb").read().decode("cp1251", "replace") if os.path.exists(path) else ""
    inits = text.count("F:UPAS(")
    s.check(inits >= calls, "the log in %s holds all %d sessions (found %d)" % (LOG_DIR, calls, inits))
    for where in {t.dir64, t.dir32}:
        s.check(not os.path.exists(os.path.join(where, "Pelmora.log")), "no log beside the DLL in " + where)


def win64(s):
    args = s.args
    old = older(args.version)
    old_setup = build_older(args, old)
    for setup, version in ((args.setup, args.version), (old_setup, old)):
        s.check(pe_version(setup) == version + ".0", "%s carries version %s" % (os.path.basename(setup), version))
    t = Installed(s.server, args, "win64")
    sim = None
    try:
        rc, out = t.run_setup(old_setup, "/S", "/NOSTARTUP")
        s.check(rc == 0, "version %s installs silently (exit %d)" % (old, rc))
        s.check(t.value(UNINSTALL_KEY, "DisplayVersion", 64) == old, "version %s is installed" % old)
        s.check(not os.path.exists(startup_link(t)), "/NOSTARTUP leaves KorvellOLE out of the Startup folder")

        rc, out = t.run_setup(args.setup, "/S")
        s.check(rc == 0, "version %s installs over it (exit %d)" % (args.version, rc))
        check_files(s, t, args.version, [64, 32])
        s.check(not os.path.exists(startup_link(t)), "the upgrade keeps KorvellOLE out of the Startup folder")
        s.check(not os.path.exists(os.path.join(t.dir64, "brenvikd.exe")) and t.p.query(SERVICE_KEY) is None,
                "the HTTP service is not installed unless asked for")
        check_registry(s, t, args.version, [64, 32])

        sim = s.server.Simulator(args, t.p)
        sale(s, t, sim, "sale.js", 64, "C", None)
        sale(s, t, sim, "sale.js", 32, "C", None)
        sale(s, t, sim, "sale.vbs", 32, "uk_UA.UTF-8", "cp1251")
        journal = sim.journal_text()
        s.check(journal.count("ХлIб житнIй") >= 2, "Хліб житній on the paper from a Western system, "
                "through both bitnesses (the printer spells і as I)")
        s.check("Молоко 2,5%" in journal, "Молоко 2,5% on the paper from the VBScript sample")
        check_log(s, t, 3)
        sim.stop()
        sim = None

        plant_foreign_class(t, [64, 32])
        rc, out = t.p.wine(t.win64 + "\\Uninstall.exe", "/S")
        s.check(rc == 0, "the uninstaller runs silently")
        s.check(t.wait_gone(os.path.join(t.dir64, "Uninstall.exe")), "the uninstaller finishes")
        check_removed(s, t, [64, 32])
        s.check(logs_anywhere(t), "the logs are kept")
    finally:
        if sim:
            sim.stop()
        t.close()


def win32(s):
    args = s.args
    t = Installed(s.server, args, "win32")
    sim = None
    try:
        rc, out = t.run_setup(args.setup, "/S", lang="ru")
        s.check(rc == 0, "installs silently on 32-bit Windows (exit %d)" % rc)
        s.check(not os.path.exists(os.path.join(t.c, "Program Files (x86)")), "a 32-bit Windows layout")
        check_files(s, t, args.version, [32], lang="ru")
        s.check(os.path.exists(startup_link(t)), "KorvellOLE starts with Windows by default")
        check_registry(s, t, args.version, [32], lang="ru")

        sim = s.server.Simulator(args, t.p)
        sale(s, t, sim, "sale.js", 32, "C", None)
        s.check("ХлIб житнIй" in sim.journal_text(), "Хліб житній on the paper from a Western system")
        check_log(s, t, 1)
        sim.stop()
        sim = None

        plant_foreign_class(t, [32])
        rc, out = t.p.wine(t.win32 + "\\Uninstall.exe", "/S", "/REMOVELOGS")
        s.check(rc == 0, "the uninstaller runs silently")
        s.check(t.wait_gone(os.path.join(t.dir32, "Uninstall.exe")), "the uninstaller finishes")
        check_removed(s, t, [32])
        s.check(not logs_anywhere(t) and not os.path.exists(t.log_dir), "/REMOVELOGS removes the logs too")
    finally:
        if sim:
            sim.stop()
        t.close()


SERVICE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\brenvikd"
EVENTLOG_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog"
SERVICE_PORT = 8123  # the service's own; the test gives it a free one (/HTTPPORT=)
PE_MACHINE = {0x8664: 64, 0x14C: 32}


def pe_bits(path):
    """32 or 64 from a PE file's machine field, None when it is not one."""
    try:
        data = open(path, "rb").read(4096)
        at = struct.unpack_from("<I", data, 0x3C)[0]
        if data[at:at + 4] != b"PE\0\0":
            return None
        return PE_MACHINE.get(struct.unpack_from("<H", data, at + 4)[0])
    except (OSError, struct.error):
        return None


def call(method, path, token=None, body=None, timeout=60):
    """A request to the service from the Linux side: (status, headers, JSON)."""
    conn = http.client.HTTPConnection("127.0.0.1", SERVICE_PORT, timeout=timeout)
    headers = {"Authorization": "Bearer " + token} if token else {}
    data = None
    if body is not None:
        data = json.dumps(body).encode()
        headers["Content-Type"] = "application/json"
    try:
        conn.request(method, path, data, headers)
        response = conn.getresponse()
        raw = response.read()
        try:
            answer = json.loads(raw)
        except ValueError:
            answer = raw.decode("utf-8", "replace")
        return response.status, dict(response.getheaders()), answer
    finally:
        conn.close()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening():
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex(("127.0.0.1", SERVICE_PORT)) == 0


def wait(predicate, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            value = predicate()
        except OSError:
            value = None
        if value:
            return value
        time.sleep(0.2)
    return None


def event_sources(t):
    """The Event Log sources of ours: keys under EventLog named brenvik*."""
    rc, out = t.p.wine("reg", "query", EVENTLOG_KEY, "/s")
    return sorted({line.strip() for line in out.splitlines()
                   if line.startswith("HKEY_") and re.search(r"\\[^\\]*brenvik[^\\]*$", line.strip(), re.I)})


def service_state(t):
    """RUNNING, START_PENDING...: what sc query says of brenvikd, or None."""
    match = re.search(r"STATE\s*:\s*\d+\s+(\w+)", t.p.wine("sc", "query", "brenvikd")[1])
    return match.group(1) if match else None


def online(token):
    status, _, answer = call("GET", "/printers", token)
    if status == 200 and any(p.get("id") == "main" and p.get("connection") == "online"
                             for p in answer.get("printers", [])):
        return answer["printers"]
    return None


def check_sdk(s, t, version):
    check = s.check
    sdk = os.path.join(t.dir64, "SDK")
    for arch, bits in (("x64", 64), ("x86", 32)):
        for name in ("brenvik.dll", "brenvik.exe"):
            got = pe_bits(os.path.join(sdk, arch, name))
            check(got == bits, "SDK\\%s\\%s is the %d-bit one (got %s)" % (arch, name, bits, got))
        for name in ("libbrenvik.dll.a", "brenvik.def"):
            check(os.path.isfile(os.path.join(sdk, arch, name)), "SDK\\%s\\%s installed" % (arch, name))
    header = os.path.join(sdk, "include", "brenvik")
    check(os.path.isfile(os.path.join(header, "brenvik.h")), "SDK\\include\\brenvik\\brenvik.h installed")
    text = open(os.path.join(header, "brenvik_version.h")).read() \
        if os.path.isfile(os.path.join(header, "brenvik_version.h")) else ""
    check('"%s"' % version in text, "brenvik_version.h beside it says %s" % version)
    samples = os.path.join(sdk, "samples")
    check(os.path.isdir(samples) and any(n.endswith(".c") for n in os.listdir(samples)),
          "the C sample installed in SDK\\samples")
    check(os.path.isfile(os.path.join(samples, "web", "index.html")), "the web sample installed")


class PageServer:
    """The installed web sample served from the Linux side on a port of its
    own, as its page tells a shop to serve it."""

    def __init__(self, root):
        handler = functools.partial(QuietHandler, directory=root)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.origin = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def web_page(s, t, sim, token, page_url, service_url=None, on_paper=1):
    """The sample in headless Chromium: the token pasted, the printer
    listed, Print pressed twice. One check, the same number both times.
    Served by the service itself (its /sample) the page calls its own
    origin; from elsewhere it is told the service's address."""
    sys.path.insert(0, os.path.join(s.args.source, "tests", "service"))
    from status_page_test import DevTools
    profile = tempfile.mkdtemp(prefix="brenvik-page-")
    browser = subprocess.Popen(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                "--remote-debugging-port=0", "--user-data-dir=" + profile, "about:blank"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        port_file = os.path.join(profile, "DevToolsActivePort")
        s.check(wait(lambda: os.path.exists(port_file) and open(port_file).read().count("\n") >= 1, 60),
                "Chromium starts")
        port = int(open(port_file).read().split()[0])
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        conn.request("GET", "/json/list")
        pages = json.loads(conn.getresponse().read())
        page = DevTools([p for p in pages if p["type"] == "page"][0]["webSocketDebuggerUrl"])
        page.call("Page.navigate", url=page_url)
        s.check(wait(lambda: page.evaluate("document.readyState === 'complete' && !!document.getElementById('token')"),
                     30), "the page loads")
        if service_url:
            page.evaluate("document.getElementById('url').value = %s" % json.dumps(service_url))
        page.evaluate("document.getElementById('token').value = %s; document.getElementById('save').click()"
                      % json.dumps(token))
        s.check(wait(lambda: page.evaluate("document.getElementById('printer').options.length > 0"), 30),
                "the page lists the printer: %s" % page.evaluate("document.getElementById('printer-state').textContent"))
        answers = []
        for _ in range(2):
            page.evaluate("document.getElementById('print').click()")
            wait(lambda: page.evaluate("document.getElementById('answer').className !== 'unknown'"), 60)
            answers.append((page.evaluate("document.getElementById('answer').className"),
                            page.evaluate("document.getElementById('answer').textContent")))
        print("page: %s" % answers, flush=True)
        numbers = [re.search(r"check (\d+)", text) for _, text in answers]
        s.check(all(kind == "closed" for kind, _ in answers) and all(numbers)
                and numbers[0].group(1) == numbers[1].group(1),
                "Print pressed twice shows one check number: %s" % [text for _, text in answers])
        s.check(sim.journal_text().count("ХлIб житнIй") == on_paper, "the page's receipt is on the paper once")
    finally:
        browser.terminate()
        browser.wait(30)
        shutil.rmtree(profile, ignore_errors=True)


def service_config(data):
    try:
        return json.load(open(os.path.join(data, "brenvikd.json"), encoding="utf-8"))
    except (OSError, ValueError) as e:
        print(e)
        return {}


def service(s):
    args = s.args
    missing = [path for tree in (args.build64, args.build32)
               for path in (os.path.join(tree, "service", "brenvikd.exe"), os.path.join(tree, "capi", "brenvik.dll"))
               if not os.path.exists(path)]
    if missing:
        print("SKIP: not built yet, so the installer has no service component or SDK: %s" % ", ".join(missing))
        return 77
    # Not 8123: another test's service may listen there meanwhile.
    global SERVICE_PORT
    SERVICE_PORT = free_port()
    listen = "/HTTPPORT=%d" % SERVICE_PORT
    check = s.check
    t = Installed(s.server, args, "win64")
    sim = s.server.Simulator(args, t.p)
    data = t.log_dir
    token_path = os.path.join(data, "brenvikd.token")
    uninstaller = t.win64 + "\\Uninstall.exe"
    pages = None
    try:
        for bad in ("/PORT=0", "/PORT=256", "/PORT=3a", "/HTTPPORT=65536", "/ORIGIN=localhost:8080"):
            rc, out = t.run_setup(args.setup, "/S", "/SERVICE", bad)
            check(rc == 5 and not os.path.exists(t.dir64), "%s is refused before anything is installed (exit %d)"
                  % (bad, rc))
        rc, out = t.run_setup(args.setup, "/S", "/SERVICE", "/PORT=3", listen, lang="uk")
        check(rc == 0, "installs silently with /SERVICE /PORT=3 %s (exit %d)" % (listen, rc))
        check(t.value(PRODUCT_KEY, "InstallerLanguage", 64) == "1058", "a Ukrainian system gets the Ukrainian installer")
        check(pe_bits(os.path.join(t.dir64, "brenvikd.exe")) == 64, "the 64-bit brenvikd.exe on 64-bit Windows")
        check_sdk(s, t, args.version)
        config = service_config(data)
        printer = [p for p in config.get("printers", []) if p.get("id") == "main"]
        check(printer and (printer[0].get("port") == 3 or str(printer[0].get("device")).upper() == "COM3"),
              "brenvikd.json names printer main on COM3: %s" % printer)
        check(config.get("listen") == "127.0.0.1:%d" % SERVICE_PORT, "and the port: %s" % config.get("listen"))
        token = open(token_path).read().strip() if os.path.exists(token_path) else ""
        check(token, "a token in ProgramData\\Brenvik\\brenvikd.token")
        # net start returns once the service has reported; Wine's may return
        # on START_PENDING.
        deadline = time.time() + 10
        while (state := service_state(t)) != "RUNNING" and time.time() < deadline:
            time.sleep(0.2)
        check(state == "RUNNING", "sc query: the service runs (%s)" % state)
        check(t.p.query(SERVICE_KEY) is not None, "the service is registered in " + SERVICE_KEY)
        sources = event_sources(t)
        check(sources, "an Event Log source of ours: %s" % sources)

        check(wait(lambda: online(token), 60), "the service reaches the printer on COM3 over HTTP")
        status, _, _ = call("GET", "/printers")
        check(status == 401, "without the token: 401 (got %d)" % status)
        sale = {"requestId": "installer-1", "type": "sale",
                "items": [{"name": "Кава зернова", "quantity": 1, "price": "120.00", "tax": 1}]}
        first = call("POST", "/printers/main/receipt", token, sale)
        again = call("POST", "/printers/main/receipt", token, sale)
        print("receipt: %s %s / %s %s" % (first[0], first[2], again[0], again[2]), flush=True)
        check(first[0] == 200 and first[2].get("state") == "closed", "a receipt printed over HTTP")
        check(again[0] == 200 and again[2].get("checkNumber") == first[2].get("checkNumber")
              and again[1].get("Brenvik-Repeated") == "1", "sent again: the same check, from the ledger")

        # The web sample's origin added by hand, as its page says; installed
        # again over itself (an upgrade), which keeps that and the service.
        pages = PageServer(os.path.join(t.dir64, "SDK", "samples", "web"))
        config["corsOrigins"] = [pages.origin]
        with open(os.path.join(data, "brenvikd.json"), "w", encoding="utf-8") as f:
            json.dump(config, f, indent=2)
        sim.restart()  # the service's next connection: a fresh line under Wine
        rc, out = t.run_setup(args.setup, "/S")
        check(rc == 0 and wait(lambda: online(token), 60), "an upgrade keeps the service, running (exit %d)" % rc)
        check(service_config(data).get("corsOrigins") == [pages.origin], "an upgrade keeps brenvikd.json")
        web_page(s, t, sim, token, pages.origin + "/index.html", "http://127.0.0.1:%d" % SERVICE_PORT)
        # What the IT person does: the service's own page, and its sample.
        web_page(s, t, sim, token, "http://127.0.0.1:%d/sample" % SERVICE_PORT, on_paper=2)
        check(sim.journal_text().count("Кава зернова") == 1, "the HTTP receipt is on the paper once")

        rc, out = t.p.wine(uninstaller, "/S")
        check(rc == 0 and t.wait_gone(os.path.join(t.dir64, "Uninstall.exe")), "the uninstaller runs silently")
        rc, out = t.p.wine("sc", "query", "brenvikd")
        check(rc != 0, "sc query brenvikd fails: the service is gone (exit %d)" % rc)
        t.p.cache = {}
        check(t.p.query(SERVICE_KEY) is None, SERVICE_KEY + " removed")
        check(not event_sources(t), "the Event Log source removed")
        check(not listening(), "nothing listens on %d any more" % SERVICE_PORT)
        check(not os.path.exists(os.path.join(t.dir64, "brenvikd.exe")) and not os.path.exists(
            os.path.join(t.dir64, "SDK")), "brenvikd.exe and the SDK removed")
        kept = sorted(os.listdir(data)) if os.path.isdir(data) else []
        ledger = os.path.join(data, "service", "brenvikd-ledger.db")
        check(all(n in kept for n in ("brenvikd.json", "brenvikd.token")) and os.path.exists(ledger),
              "the ledger (in its private folder), its configuration and token kept: %s" % kept)

        # Installed afresh over the kept ledger with /ORIGIN=; /REMOVELOGS
        # then takes the ledger too.
        sim.restart()
        rc, out = t.run_setup(args.setup, "/S", "/SERVICE", "/PORT=3", listen, "/ORIGIN=http://localhost:8080")
        check(rc == 0 and wait(lambda: online(token), 60), "installs again, with the token kept (exit %d)" % rc)
        check(service_config(data).get("corsOrigins") == ["http://localhost:8080"],
              "/ORIGIN= is written to brenvikd.json")
        first = call("POST", "/printers/main/receipt", token, sale)
        check(first[0] == 200 and first[2].get("checkNumber") == again[2].get("checkNumber"),
              "the kept ledger still answers for installer-1")
        rc, out = t.p.wine(uninstaller, "/S", "/REMOVELOGS")
        check(rc == 0 and t.wait_gone(os.path.join(t.dir64, "Uninstall.exe")), "the uninstaller runs silently")
        # Its copy removes ProgramData after its own file.
        check(t.wait_gone(data), "/REMOVELOGS removes the ledger, token and configuration: %s"
              % (os.listdir(data) if os.path.isdir(data) else ""))
        check(t.p.wine("sc", "query", "brenvikd")[0] != 0, "and the service")
    finally:
        if pages:
            pages.close()
        sim.stop()
        t.close()
    return 0


def osslsigncode_verify(path, cert):
    """True when the file's Authenticode signature verifies against cert."""
    done = subprocess.run(["osslsigncode", "verify", "-in", path, "-CAfile", cert],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return done.returncode == 0 and "Brenvik test signing" in done.stdout


def pe_files(*dirs):
    return sorted(os.path.join(root, name) for d in dirs if os.path.isdir(d)
                  for root, _, files in os.walk(d) for name in files if name.lower().endswith((".exe", ".dll")))


def signing(s):
    """make installer's signing with a throw-away certificate: signed
    programs and DLLs in the installed tree, the uninstaller and the
    installer; nothing signed and nothing changed without one."""
    args, check = s.args, s.check
    missing = [tool for tool in ("osslsigncode", "openssl") if not shutil.which(tool)]
    if missing:
        print("SKIP: no %s" % ", ".join(missing))
        return 77
    work = os.path.join(args.work, "signing")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    cert, key, password = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem"), "kasa-301"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-keyout", key, "-out", cert, "-days", "2",
                    "-passout", "pass:" + password, "-subj", "/CN=Brenvik test signing/O=Brenvik",
                    "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    clean = {k: v for k, v in os.environ.items() if not k.startswith("BRENVIK_SIGN_")}
    payload = args.payload.split("|")

    def build(name, env):
        out = os.path.join(work, name, "BrenvikSetup-%s.exe" % args.version)
        stage = os.path.join(work, name, "payload")
        subprocess.run(["sh", args.sign, "setup", args.build64, args.build32, stage, args.payload]
                       + args.nsis.split("|") + ["-DVERSION=" + args.version, "-DVERSION_QUAD=" + args.version + ".0",
                                                 "-DOUTFILE=" + out, args.nsi], env=env, check=True)
        staged = [(os.path.join(tree, rel), os.path.join(stage, bits, rel))
                  for bits, tree in (("64", args.build64), ("32", args.build32)) for rel in payload
                  if os.path.exists(os.path.join(tree, rel))]
        return out, staged

    setup, staged = build("unsigned", clean)
    check(not osslsigncode_verify(setup, cert), "without a certificate the installer is not signed")
    check(staged and all(filecmp.cmp(tree, copy, shallow=False) for tree, copy in staged),
          "without a certificate the %d programs and DLLs are packed as built" % len(staged))

    signing_env = dict(clean, BRENVIK_SIGN_CERT=cert, BRENVIK_SIGN_KEY=key, BRENVIK_SIGN_PASS=password)
    if args.make_msi and os.path.exists(args.make_msi):
        # The MSI, as make installer writes it, without and with a certificate.
        for name, env in (("unsigned", clean), ("signed", signing_env)):
            msi = os.path.join(work, name, "Brenvik-%s-x64.msi" % args.version)
            os.makedirs(os.path.dirname(msi), exist_ok=True)
            subprocess.run(["cmake", "-DVERSION=" + args.version, "-DOUT=" + msi, "-P", args.make_msi], env=env,
                           check=True, stdout=subprocess.DEVNULL)
            check(osslsigncode_verify(msi, cert) == (name == "signed"),
                  "the MSI is %s" % ("signed" if name == "signed" else "not signed without a certificate"))
    setup, staged = build("signed", signing_env)
    check(osslsigncode_verify(setup, cert), "the installer is signed")
    check(all(osslsigncode_verify(copy, cert) for _, copy in staged), "the %d programs and DLLs are signed before "
          "they are packed" % len(staged))
    t = Installed(s.server, args, "win64")
    try:
        rc, _ = t.run_setup(setup, "/S")
        check(rc == 0, "the signed installer installs silently (exit %d)" % rc)
        installed = pe_files(t.dir64, t.dir32)
        names = {os.path.basename(path) for path in installed}
        check({"BrenvikPlus.dll", "KorvellOLE.exe", "Uninstall.exe"} <= names,
              "the installed programs include the DLL, KorvellOLE and the uninstaller: %s" % sorted(names))
        unsigned = [path for path in installed if not osslsigncode_verify(path, cert)]
        check(not unsigned, "all %d installed programs and DLLs carry a valid signature%s"
              % (len(installed), ", but not: %s" % unsigned if unsigned else ""))
    finally:
        t.close()
    return 0


# Russian forms and misspellings of NSIS's stock Ukrainian texts, none of
# which a Ukrainian screen may show.
NOT_UKRAINIAN = ["Программ", "видаленно", "процессу", "Підтверждення", "встновлення", "вказанної", "Дана програма",
                 "Переіменування"]


class Screens:
    """The installer's dialogs on a virtual X display, read and pressed
    through wintext.exe (a Windows program: Wine's windows are not X's)."""

    def __init__(self, t, work):
        self.t = t
        self.tool = os.path.join(work, "wintext.exe")
        subprocess.run(["x86_64-w64-mingw32-gcc", "-O1", "-o", self.tool,
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "wintext.c")], check=True)
        sys.path.insert(0, os.path.join(t.args.source, "tests", "support"))
        from checks import start_xvfb
        self.xvfb, display = start_xvfb()
        t.p.env["DISPLAY"] = display

    def text(self):
        return self.t.p.wine(self.tool, timeout=30)[1].replace("\r", "")

    def press(self, button):
        return "pressed" in self.t.p.wine(self.tool, "press", str(button), timeout=30)[1]

    def next_screen(self, last, seconds=30):
        """The dialogs' text once it differs from last and stays so."""
        deadline, seen = time.time() + seconds, None
        while time.time() < deadline:
            now = self.text()
            if "window|" in now and now != last and now == seen:
                return now
            seen = now
            time.sleep(0.3)
        return None

    def walk(self, program, lang, stop):
        """Starts a program on a system in lang, presses Next until the
        screen holding stop, then cancels; the screens seen, in order."""
        env = dict(self.t.p.env, **locale_env(self.t.args.work, lang))
        proc = subprocess.Popen(["wine", program], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        screens, last = [], None
        try:
            for _ in range(8):
                last = self.next_screen(last)
                if last is None:
                    break
                screens.append(last)
                if stop in last or not self.press(1):
                    break
            self.press(2)  # Cancel; the installer asks first
            time.sleep(1)
            self.press(6)
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        return screens

    def close(self):
        self.xvfb.kill()
        self.xvfb.wait()


def pages(s):
    """The pages a person clicks through, in each system language: a
    welcome with the version, the terms, the "already installed" page for a
    reinstall, an upgrade and a downgrade (and none on a fresh system), the
    directory page's word on the 32-bit DLL, and Ukrainian that is Ukrainian
    in the installer and the uninstaller."""
    args, check = s.args, s.check
    if not shutil.which("Xvfb") or not shutil.which("x86_64-w64-mingw32-gcc"):
        print("SKIP: the page test needs Xvfb and x86_64-w64-mingw32-gcc")
        return 77
    t = Installed(s.server, args, "win64")
    screens = None
    version = args.version
    try:
        screens = Screens(t, args.work)
        setup = t.p.copy_in(args.setup)
        directory = "Edit|C:\\Program Files\\Brenvik"

        def walk(lang, what):
            seen = screens.walk(setup, lang, directory)
            print("-- %s, %s: %d screens" % (lang, what, len(seen)), flush=True)
            for screen in seen:  # the terms' full text left out
                print("\n".join(l for l in screen.strip().splitlines() if "RichEdit" not in l), flush=True)
            check(seen and directory in seen[-1], "%s: Next leads to the directory page" % what)
            return seen

        first = walk("en", "a first install")
        check(first and "version %s" % version in first[0], "the welcome page names version " + version)
        check(len(first) > 1 and "terms of use" in first[1], "then the terms")
        check(not any("Already installed" in x for x in first), "no \"already installed\" page on a fresh system")
        check(first and "Program Files (x86)\\Brenvik" in first[-1] and "32-bit" in first[-1],
              "the directory page says the 32-bit driver goes to Program Files (x86)")
        german = walk("de", "a German system")
        check(len(german) > 1 and "Please select a language." in german[0] and "version %s" % version in german[1],
              "a German system is asked for the language, and English is preselected")

        rc, _ = t.run_setup(args.setup, "/S")
        check(rc == 0, "installed silently (exit %d)" % rc)
        cases = [("uk", version, "Brenvik %s вже встановлено" % version),
                 ("ru", "7.0.0", "обновит его с версии 7.0.0 до %s" % version),
                 ("en", "99.0.0", "A newer version, Brenvik 99.0.0, is installed")]
        ukrainian = []
        for lang, installed, says in cases:
            t.p.wine("reg", "add", UNINSTALL_KEY, "/v", "DisplayVersion", "/d", installed, "/f", "/reg:64")
            seen = walk(lang, "over version " + installed)
            check(len(seen) > 1 and says in seen[1], "%s over %s: %s" % (lang, installed, says))
            if lang == "uk":
                ukrainian += seen
        t.p.wine("reg", "add", PRODUCT_KEY, "/v", "InstallerLanguage", "/d", "1058", "/f", "/reg:64")
        seen = screens.walk(t.win64 + "\\Uninstall.exe", "en", "")
        print("-- the uninstaller: %s" % seen, flush=True)
        check(seen and "буде видалено" in seen[0], "the uninstaller speaks the language it was installed in")
        ukrainian += seen
        wrong = sorted({word for word in NOT_UKRAINIAN for screen in ukrainian if word in screen})
        check(ukrainian and not wrong, "no Russian forms on the Ukrainian screens: %s" % wrong)
    finally:
        if screens:
            screens.close()
        t.close()
    return 0


class Suite:
    def __init__(self, args, server):
        self.args = args
        self.server = server
        self.check = server.check


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["win64", "win32", "service", "signing", "pages"])
    ap.add_argument("--setup", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--prefix-script", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--server-tests", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--nsis", default="")
    ap.add_argument("--nsi", default="")
    ap.add_argument("--build64", default="", help="the mingw64 tree the installer was made from")
    ap.add_argument("--build32", default="", help="the mingw32 tree")
    ap.add_argument("--sign", default="", help="installer/sign.sh")
    ap.add_argument("--payload", default="", help="what it signs, |-separated paths in the build trees")
    ap.add_argument("--make-msi", default="", help="the script that makes the MSI (installer/msi/make_msi.cmake)")
    args = ap.parse_args()
    for path, what in ((args.setup, "the installer (make installer)"), (args.sim, "m301sim")):
        if not os.path.exists(path):
            print("SKIP: no %s at %s" % (what, path))
            return 77
    sys.path.insert(0, args.server_tests)
    import run_server_tests as server
    os.makedirs(args.work, exist_ok=True)
    modes = {"win64": win64, "win32": win32, "service": service, "signing": signing, "pages": pages}
    if modes[args.mode](Suite(args, server)) == 77:
        return 77
    failures = server.failures
    print("%s: %d failure(s)" % ("FAIL" if failures else "OK", len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
