#!/usr/bin/env python3
"""The reference manual against the product: every member of both IDL
interfaces and every error number of the engine has its documented section,
the text limits it gives are the ones the server cuts at, the generated pages
are current, and the manual's links lead somewhere. With --html DIR, the
HTML manual built from it too: a page for every chapter, all listed by the
index, links and anchors whole, nothing taken from outside the folder.
Reads the IDL and the error table with its own simple patterns, not with
the generator's parser, so a fault in one does not hide in the other."""
import os
import re
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
MANUAL = os.path.join(ROOT, "docs", "manual")
PAGES = {"IBrenvik": "ibrenvik.md", "IMaria301": "imaria301.md"}

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL " + what)
    return ok


def read(path):
    return open(path, encoding="utf-8").read()


def idl_members():
    idl = re.sub(r"//[^\n]*", "", read(os.path.join(ROOT, "server", "brenvik.idl")))
    members = {}
    for name, body in re.findall(r"interface\s+(\w+)\s*:\s*IDispatch\s*\{(.*?)\};", idl, re.S):
        members[name] = re.findall(r"\]\s*(?:HRESULT|long|BSTR)\s+(\w+)\s*\(", body)
    return members


def sections(page):
    """### headings -> the text up to the next heading."""
    parts = re.split(r"^### (\S+)\n", read(os.path.join(MANUAL, page)), flags=re.M)
    return dict(zip(parts[1::2], parts[2::2]))


def test_members():
    members = idl_members()
    check(set(members) == set(PAGES), "the IDL has the interfaces %s" % sorted(members))
    for interface, names in members.items():
        documented = sections(PAGES[interface])
        for name in names:
            body = documented.get(name)
            if check(body is not None, "%s.%s has a section in %s" % (interface, name, PAGES[interface])):
                check("not documented yet" not in body and len(body.split()) > 12,
                      "%s.%s is described" % (interface, name))
        extra = set(documented) - set(names)
        check(not extra, "%s's page documents only its members (extra: %s)" % (interface, sorted(extra)))
    total = sum(len(set(v)) for v in members.values())
    print("%d members of %d interfaces documented" % (total, len(members)))


def cut_lengths():
    """{kName: bytes} as the classes are built: printed by the program given
    with --cuts (the numbers come from the engine's table of limits)."""
    if "--cuts" not in sys.argv:
        return {}
    program = sys.argv[sys.argv.index("--cuts") + 1]
    out = subprocess.run([program], capture_output=True, text=True, check=True).stdout
    return dict((name, int(n)) for name, n in (line.split() for line in out.splitlines()))


def server_text_limits(source, cuts):
    """{method: {bytes}} of the TextArg<N> and TextArg<cut::kName> cuts in a
    class's source."""
    parts = re.split(r"STDMETHODCALLTYPE\s+(\w+)\s*\(", read(os.path.join(ROOT, "server", source)))
    limits = {}
    for name, body in zip(parts[1::2], parts[2::2]):
        found = limits.setdefault(name, set())
        found.update(int(n) for n in re.findall(r"TextArg<(\d+)>", body))
        for cut in re.findall(r"TextArg<cut::(\w+)>", body):
            if check(cut in cuts, "%s: the cut length %s is known" % (name, cut)):
                found.add(cuts[cut])
    return limits


def test_text_limits():
    """The byte limits the manual gives are the ones the server cuts at."""
    cuts = cut_lengths()
    for interface, source in (("IBrenvik", "brenvik_object_win32.cpp"),
                              ("IMaria301", "maria301_object_win32.cpp")):
        documented = sections(PAGES[interface])
        limits = server_text_limits(source, cuts)
        for name, numbers in sorted(limits.items()):
            body = documented.get(name, "")
            for n in sorted(numbers):
                check(re.search(r"\b%d bytes|at most %d\b" % (n, n), body, re.I) is not None,
                      "%s.%s: the manual gives the limit of %d bytes" % (interface, name, n))
        check(sum(len(v) for v in limits.values()) >= 15, "%s: text limits found" % interface)


def test_errors():
    header = read(os.path.join(ROOT, "engine", "printer_engine.h"))
    constants = dict((k, int(v)) for k, v in re.findall(r"(kErr\w+)\s*=\s*(\d+)", header))
    table = read(os.path.join(ROOT, "engine", "diagnostics", "error_table.cpp"))
    numbers = [int(n) if n.isdigit() else constants[n] for n in re.findall(r"^\s*\{(\w+),", table, re.M)]
    rows = dict(re.findall(r"^\| (\d+) \| (.*)$", read(os.path.join(MANUAL, "errors.md")), re.M))
    for n in numbers:
        row = rows.get(str(n))
        if check(row is not None, "error %d has a row in errors.md" % n):
            check("not documented yet" not in row, "error %d is explained" % n)
    print("%d error numbers documented" % len(numbers))


def test_script_notes():
    """IMaria301 members that hand their value back through a parameter
    declared by reference without a direction cannot be called from
    VBScript (Type mismatch): each says what to use instead."""
    idl = re.sub(r"//[^\n]*", "", read(os.path.join(ROOT, "server", "brenvik.idl")))
    body = re.search(r"interface\s+IMaria301\s*:\s*IDispatch\s*\{(.*?)\};", idl, re.S).group(1)
    documented = sections(PAGES["IMaria301"])
    bare = [name for name, params in re.findall(r"\]\s*HRESULT\s+(\w+)\s*\(([^)]*)\)", body)
            if any(re.match(r"\w+\s*\*", p.strip()) for p in params.split(","))]
    check(len(bare) >= 2, "by-reference members found in IMaria301: %s" % bare)
    for name in bare:
        note = documented.get(name, "")
        check("From VBScript" in note and "Brenvik.Application" in note,
              "IMaria301.%s tells VBScript users to use Brenvik.Application" % name)


def test_html(directory):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import html_check
    if not check(os.path.isfile(os.path.join(directory, "index.html")), "the HTML manual has index.html"):
        return
    index = html_check.read(os.path.join(directory, "index.html"))
    chapters = sorted(n for n in os.listdir(MANUAL) if n.endswith(".md"))
    for chapter in chapters:
        page = "overview.html" if chapter == "README.md" else chapter[:-3] + ".html"
        check(os.path.isfile(os.path.join(directory, page)), "chapter %s has the page %s" % (chapter, page))
        check(page in index.links, "the index lists %s" % page)
    for problem in html_check.problems(directory):
        check(False, problem)
    print("%d chapters as HTML" % len(chapters))


def test_generated_pages_current():
    r = subprocess.run([sys.executable, os.path.join(ROOT, "docs", "tools", "gen_manual.py"), "--check"],
                       capture_output=True, text=True)
    check(r.returncode == 0, "generated pages are current:\n" + r.stdout)


def anchor(heading):
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def test_links():
    for page in sorted(os.listdir(MANUAL)):
        if not page.endswith(".md"):
            continue
        for target in re.findall(r"\]\(([^)\s]+)\)", read(os.path.join(MANUAL, page))):
            if re.match(r"\w+://", target):
                continue
            path, _, fragment = target.partition("#")
            file = os.path.normpath(os.path.join(MANUAL, path)) if path else os.path.join(MANUAL, page)
            if not check(os.path.exists(file), "%s: link %s leads to a file" % (page, target)):
                continue
            if fragment:
                headings = re.findall(r"^#+ (.+)$", read(file), re.M)
                check(fragment in {anchor(h) for h in headings},
                      "%s: link %s leads to a heading" % (page, target))


def main():
    test_members()
    test_text_limits()
    test_errors()
    test_generated_pages_current()
    test_links()
    test_script_notes()
    if "--html" in sys.argv:
        test_html(sys.argv[sys.argv.index("--html") + 1])
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("manual complete")
    return 0


if __name__ == "__main__":
    sys.exit(main())
