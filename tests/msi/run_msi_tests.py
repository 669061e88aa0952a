#!/usr/bin/env python3
"""Tests of Brenvik-<version>-x64.msi.

  run_msi_tests.py package --msi FILE --version V
  run_msi_tests.py win64|service --msi FILE --version V --work DIR
      --prefix-script SH --sim m301sim --server-tests DIR --installer-tests DIR --source DIR

Modes:
  package  what msiinfo reads: the tables, the product's properties, both
           BrenvikPlus.dll each in a component of its own bitness, and the
           class registration of each pointing at its own file
  win64    in a throw-away 64-bit Wine prefix: an older version installed
           with msiexec /qn NOSTARTUP=1, this one over it (the major upgrade,
           which keeps that choice) and the older one refused after it; then
           the setup program's own checks: the files, both DLLs registered
           in their own registry view, a sale through each bitness against
           m301sim with the log in ProgramData; msiexec /x /qn leaves
           nothing of ours but the logs
  service  SERVICE=1 PORT=3 HTTPPORT=n ORIGIN=... with m301sim on COM3:
           brenvikd registered, running and printing over HTTP; an upgrade
           keeps it and its configuration; msiexec /x removes the service
           and its Event Log source and keeps its configuration and token

The 32-bit sale is skipped (with the reason) where this machine cannot run
32-bit programs; msiexec itself is the 64-bit one.

Exit code 0 on success, 1 on failure, 77 when something to test is missing.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import uuid

# Deployed packages find each other by it: it never changes.
UPGRADE_CODE = "{EC3A3465-7424-4973-AC80-3D72C2029025}"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
COMPONENT_64BIT = 256  # msidbComponentAttributes64bit
INPROC = re.compile(r"^Software\\Classes\\CLSID\\(\{[0-9A-F-]{36}\})\\InprocServer32$")


def msiinfo(*argv):
    return subprocess.run(["msiinfo"] + list(argv), capture_output=True, text=True, check=True).stdout


def table(msi, name):
    """A table as a list of dicts, by msiinfo export's column names."""
    lines = msiinfo("export", msi, name).splitlines()
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def properties(msi):
    return {row["Property"]: row["Value"] for row in table(msi, "Property")}


def package(s, args):
    check = s.check
    msi = args.msi
    tables = set(msiinfo("tables", msi).split())
    want = {"File", "Component", "Directory", "Registry", "Shortcut", "Upgrade", "CreateFolder",
            "CustomAction", "LaunchCondition", "Media", "Feature", "FeatureComponents"}
    check(want <= tables, "the tables an installation needs: missing %s" % sorted(want - tables))
    props = properties(msi)
    check(props.get("ProductVersion") == args.version, "ProductVersion %s" % props.get("ProductVersion"))
    check(props.get("UpgradeCode") == UPGRADE_CODE, "UpgradeCode %s" % props.get("UpgradeCode"))
    check(props.get("Manufacturer") == "Brenvik", "Manufacturer %s" % props.get("Manufacturer"))
    check(props.get("ALLUSERS") == "1", "installed for all users")
    summary = msiinfo("suminfo", msi)
    check(re.search(r"^Template: x64;", summary, re.M) is not None, "an x64 package: %s"
          % re.findall(r"^Template:.*$", summary, re.M))
    upgrade = table(msi, "Upgrade")
    removed = [row for row in upgrade if row["UpgradeCode"] == UPGRADE_CODE and row["VersionMax"] == args.version
               and not row["VersionMin"] and not int(row["Attributes"]) & 2]  # not msidbUpgradeAttributesOnlyDetect
    check(removed and int(removed[0]["Attributes"]) & 512,  # msidbUpgradeAttributesVersionMaxInclusive
          "older versions, and another build of this one, are removed: %s" % upgrade)

    components = {row["Component"]: row for row in table(msi, "Component")}
    dlls = [row for row in table(msi, "File") if row["FileName"].split("|")[-1] == "BrenvikPlus.dll"]
    bits = sorted(64 if int(components[row["Component_"]]["Attributes"]) & COMPONENT_64BIT else 32
                  for row in dlls)
    check(bits == [32, 64], "BrenvikPlus.dll of both bitnesses, each in a component of its own: %s" % bits)
    dirs = {row["Directory"]: row for row in table(msi, "Directory")}
    for row in dlls:
        component = components[row["Component_"]]
        parent = dirs[component["Directory_"]]["Directory_Parent"]
        is64 = int(component["Attributes"]) & COMPONENT_64BIT
        want_parent = "ProgramFiles64Folder" if is64 else "ProgramFilesFolder"
        check(parent == want_parent, "the %s-bit DLL goes below %s (%s)" % (64 if is64 else 32, want_parent, parent))
        servers = {INPROC.match(r["Key"]).group(1): r["Value"] for r in table(msi, "Registry")
                   if r["Component_"] == row["Component_"] and INPROC.match(r["Key"]) and not r["Name"]}
        check(len(servers) == 2 and set(servers.values()) == {"[#%s]" % row["File"]},
              "both classes' InprocServer32 in its component name that very file: %s" % servers)
    return 0


class Msi:
    """The product code and version of a package, and msiexec on it."""

    def __init__(self, path):
        self.path = path
        props = properties(path)
        self.code = props["ProductCode"]
        self.version = props["ProductVersion"]


def repackaged(args, version):
    """The same package at another version (or another build of this one)
    with a product code of its own: what an upgrade starts from. Made
    from a copy, so that tests running side by side never rebuild the
    package under each other."""
    path = os.path.join(args.work, "Brenvik-%s-%s-x64.msi" % (version, len(os.listdir(args.work))))
    shutil.copy(args.msi, path)
    code = "{%s}" % str(uuid.uuid4()).upper()
    for name, value in (("ProductVersion", version), ("ProductCode", code), ("ProductName", "Brenvik " + version)):
        subprocess.run(["msibuild", path, "-q", "UPDATE `Property` SET `Value` = '%s' WHERE `Property` = '%s'"
                        % (value, name)], check=True)
    rows = table(path, "Upgrade")
    queries = []
    for row in rows if version != properties(args.msi)["ProductVersion"] else []:
        # One by one: msibuild's DELETE without WHERE removes one row only.
        bound = "VersionMin" if row["VersionMin"] else "VersionMax"
        queries += ["DELETE FROM `Upgrade` WHERE `ActionProperty` = '%s'" % row["ActionProperty"],
                    "INSERT INTO `Upgrade` (`UpgradeCode`, `%s`, `Attributes`, `ActionProperty`) "
                    "VALUES ('%s', '%s', %s, '%s')" % (bound, row["UpgradeCode"], version, row["Attributes"],
                                                       row["ActionProperty"])]
    for query in queries:
        subprocess.run(["msibuild", path, "-q", query], check=True)
    subprocess.run(["msibuild", path, "-s", "Brenvik " + version, "Brenvik", "x64;1033",
                    "{%s}" % str(uuid.uuid4()).upper()], check=True)
    return path


def msiexec(t, *argv):
    """The 64-bit msiexec, with a verbose log, which says where it put
    the Start menu; (exit code, log text)."""
    log = os.path.join(t.c, "msiexec.log")
    if os.path.exists(log):
        os.remove(log)
    rc, out = t.p.wine("msiexec", *argv, "/qn", "/l*v", "C:\\msiexec.log",
                       launcher=["/usr/lib/wine/wine64"], timeout=240)
    text = open(log, "rb").read().decode("utf-8", "replace") if os.path.exists(log) else out
    if rc != 0:
        print("\n".join(text.splitlines()[-30:]), flush=True)
    return rc, text


def resolved(log, prop):
    match = re.search(r"Property\(S\): %s = (.*?)\\?\r?$" % prop, log, re.M)
    return match.group(1) if match else None


def use_start_menu(installer, log):
    """Points the setup program's checks at the Start menu msiexec used:
    Wine's Windows Installer keeps it per user even for an installation for
    all users, where Windows puts it in ProgramData."""
    menu = resolved(log, "ProgramMenuFolder")
    if menu:
        installer.START_MENU = os.path.join(*menu.split("\\")[1:])
    return menu


def arp(t, msi, name):
    return t.value(UNINSTALL + msi.code, name, 64)


def can_run_32bit():
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True).returncode == 0
    except OSError:
        return False


def win64(s, args):
    installer = s.installer
    check = s.check
    new = Msi(args.msi)
    old = Msi(repackaged(args, installer.older(args.version)))
    check(old.code != new.code, "each build has its own product code")
    t = installer.Installed(s.server, args, "win64")
    sim = None
    try:
        rc, log = msiexec(t, "/i", t.p.copy_in(old.path), "NOSTARTUP=1")
        check(rc == 0 and arp(t, old, "DisplayVersion") == old.version,
              "version %s installs with msiexec /qn (exit %d)" % (old.version, rc))
        check(use_start_menu(installer, log), "msiexec's log names the Start menu")
        check(not os.path.exists(installer.startup_link(t)), "NOSTARTUP=1 leaves KorvellOLE out of the Startup folder")

        rc, log = msiexec(t, "/i", t.p.copy_in(new.path))
        check(rc == 0, "version %s installs over it (exit %d)" % (new.version, rc))
        check(arp(t, old, "DisplayVersion") is None, "the upgrade removed version %s" % old.version)
        for name, want in (("DisplayVersion", new.version), ("Publisher", "Brenvik"),
                           ("URLInfoAbout", "https://brenvik.example/"), ("Contact", "brenvik@example.org")):
            got = arp(t, new, name)
            check(got == want, "Programs and Features: %s is %s (got %s)" % (name, want, got))
        installer.check_files(s, t, new.version, [64, 32])
        check(not os.path.exists(os.path.join(t.dir64, "brenvikd.exe")) and t.p.query(installer.SERVICE_KEY) is None,
              "the HTTP service is not installed unless asked for")
        check(not os.path.exists(installer.startup_link(t)) and
              t.value(installer.PRODUCT_KEY, "StartWithWindows", 64) == "0x0",
              "the upgrade keeps KorvellOLE out of the Startup folder")
        for bits in (64, 32):
            print("-- registry view %d" % bits, flush=True)
            s.server.check_registered(t.view(bits))
            check(t.value(installer.PRODUCT_KEY, "LogDirectory", bits) == installer.LOG_DIR,
                  "LogDirectory points to %s in view %d" % (installer.LOG_DIR, bits))
            check(t.value(installer.PRODUCT_KEY, "Version", bits) == new.version,
                  "Version %s in view %d" % (new.version, bits))

        rc, _ = msiexec(t, "/i", t.p.copy_in(old.path))
        check(rc != 0 and arp(t, new, "DisplayVersion") == new.version,
              "the older version is refused over this one (exit %d)" % rc)
        rebuilt = Msi(repackaged(args, args.version))
        rc, _ = msiexec(t, "/i", t.p.copy_in(rebuilt.path))
        check(rc == 0 and arp(t, new, "DisplayVersion") is None and arp(t, rebuilt, "DisplayVersion") == new.version,
              "another build of version %s replaces it (exit %d)" % (new.version, rc))
        s.server.check_registered(t.view(64))
        new = rebuilt

        sim = s.server.Simulator(args, t.p)
        installer.sale(s, t, sim, "sale.js", 64, "C", None)
        sessions = 1
        if can_run_32bit():
            installer.sale(s, t, sim, "sale.js", 32, "C", None)
            installer.sale(s, t, sim, "sale.vbs", 32, "uk_UA.UTF-8", "cp1251")
            check("Молоко 2,5%" in sim.journal_text(), "Молоко 2,5% on the paper from the VBScript sample")
            sessions = 3
        else:
            print("SKIP: the sales through the 32-bit DLL: this machine cannot run 32-bit programs", flush=True)
        check("ХлIб житнIй" in sim.journal_text(), "Хліб житній on the paper from a Western system")
        installer.check_log(s, t, sessions)
        sim.stop()
        sim = None

        installer.plant_foreign_class(t, [64, 32])
        rc, _ = msiexec(t, "/x", t.p.copy_in(new.path))
        check(rc == 0, "msiexec /x /qn uninstalls (exit %d)" % rc)
        check(arp(t, new, "DisplayVersion") is None, "the product is gone from Programs and Features")
        t.p.cache = {}
        installer.check_removed(s, t, [64, 32])
        check(installer.logs_anywhere(t), "the logs are kept")
    finally:
        if sim:
            sim.stop()
        t.close()
    return 0


def service(s, args):
    """SERVICE=1 PORT=3 HTTPPORT=n with m301sim on COM3; the upgrade keeps
    the service running; the uninstall removes it and keeps its data."""
    installer = s.installer
    check = s.check
    new = Msi(args.msi)
    old = Msi(repackaged(args, installer.older(args.version)))
    # Not 8123: another test's service may listen there meanwhile.
    installer.SERVICE_PORT = installer.free_port()
    t = installer.Installed(s.server, args, "win64")
    sim = s.server.Simulator(args, t.p)
    data = t.log_dir
    try:
        rc, log = msiexec(t, "/i", t.p.copy_in(old.path), "SERVICE=1", "PORT=3",
                          "HTTPPORT=%d" % installer.SERVICE_PORT, "ORIGIN=http://localhost:8080")
        check(rc == 0, "version %s installs with SERVICE=1 PORT=3 (exit %d)" % (old.version, rc))
        use_start_menu(installer, log)
        check(os.path.exists(installer.startup_link(t)), "KorvellOLE starts with Windows by default")
        config = installer.service_config(data)
        printer = [p for p in config.get("printers", []) if p.get("id") == "main"]
        check(printer and (printer[0].get("port") == 3 or str(printer[0].get("device")).upper() == "COM3"),
              "brenvikd.json names printer main on COM3: %s" % printer)
        check(config.get("listen") == "127.0.0.1:%d" % installer.SERVICE_PORT, "and the port: %s"
              % config.get("listen"))
        check(config.get("corsOrigins") == ["http://localhost:8080"], "and the origin: %s" % config.get("corsOrigins"))
        token_path = os.path.join(data, "brenvikd.token")
        token = open(token_path).read().strip() if os.path.exists(token_path) else ""
        check(token, "a token in ProgramData\\Brenvik\\brenvikd.token")
        check(installer.wait(lambda: installer.service_state(t) == "RUNNING", 10), "the service runs")
        check(installer.wait(lambda: installer.online(token), 60), "it reaches the printer on COM3 over HTTP")
        check(installer.event_sources(t), "an Event Log source of ours")

        sim.restart()  # the service's next connection: a fresh line under Wine
        rc, log = msiexec(t, "/i", t.p.copy_in(new.path))
        open(os.path.join(args.work, "upgrade.log"), "w").write(log)
        check(rc == 0 and installer.pe_bits(os.path.join(t.dir64, "brenvikd.exe")) == 64,
              "the upgrade installs the 64-bit brenvikd.exe again (exit %d)" % rc)
        check(installer.service_config(data) == config, "the upgrade keeps brenvikd.json")
        check(installer.wait(lambda: installer.online(token), 60), "and the service, running, with the same token")
        sale = {"requestId": "msi-1", "type": "sale",
                "items": [{"name": "Кава зернова", "quantity": 1, "price": "120.00", "tax": 1}]}
        status, _, answer = installer.call("POST", "/printers/main/receipt", token, sale)
        check(status == 200 and answer.get("state") == "closed", "a receipt printed over HTTP: %s %s"
              % (status, answer))

        rc, _ = msiexec(t, "/x", t.p.copy_in(new.path))
        check(rc == 0, "msiexec /x /qn uninstalls (exit %d)" % rc)
        check(t.p.wine("sc", "query", "brenvikd")[0] != 0, "the service is gone")
        t.p.cache = {}
        check(t.p.query(installer.SERVICE_KEY) is None, installer.SERVICE_KEY + " removed")
        check(not installer.event_sources(t), "the Event Log source removed")
        check(not installer.listening(), "nothing listens on %d any more" % installer.SERVICE_PORT)
        check(not os.path.exists(os.path.join(t.dir64, "brenvikd.exe")), "brenvikd.exe removed")
        kept = sorted(os.listdir(data)) if os.path.isdir(data) else []
        check(all(n in kept for n in ("brenvikd.json", "brenvikd.token")), "its configuration and token kept: %s"
              % kept)
    finally:
        sim.stop()
        t.close()
    return 0


class Suite:
    def __init__(self, args, server, installer):
        self.args = args
        self.server = server
        self.installer = installer
        self.check = server.check


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["package", "win64", "service"])
    ap.add_argument("--msi", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--work", default="")
    ap.add_argument("--prefix-script", default="")
    ap.add_argument("--sim", default="")
    ap.add_argument("--server-tests", required=True)
    ap.add_argument("--installer-tests", required=True)
    ap.add_argument("--source", default="")
    args = ap.parse_args()
    if not os.path.exists(args.msi):
        print("SKIP: no MSI at %s (make installer)" % args.msi)
        return 77
    if not shutil.which("msiinfo"):
        print("SKIP: no msiinfo (Debian msitools)")
        return 77
    sys.path.insert(0, args.server_tests)
    sys.path.insert(0, args.installer_tests)
    import run_server_tests as server
    import run_installer_tests as installer
    # Windows Installer names a shortcut's working directory as it names
    # every folder, with a trailing backslash (Wine's keeps the string's
    # NUL too): the same folder.
    link = getattr(installer, "shortcut", None)
    if link:
        installer.shortcut = lambda path: tuple(x.rstrip("\0").rstrip("\\") if x and i == 1 else x
                                                for i, x in enumerate(link(path)))
    if args.work:
        os.makedirs(args.work, exist_ok=True)
    suite = Suite(args, server, installer)
    {"package": package, "win64": win64, "service": service}[args.mode](suite, args)
    failures = server.failures
    print("%s: %d failure(s)" % ("FAIL" if failures else "OK", len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
