#!/usr/bin/env python3
"""Man pages, completion and --version: the pages render cleanly, the
receipt document's page describes every field the schema has, the bash
completion completes subcommands, their options and devices, and every
program names itself and the version.

    man_completion_test.py MAN_DIR SCHEMA VERSION PROGRAM...
"""
import json
import os
import subprocess
import sys

failures = []


def check(name, ok, detail=""):
    if not ok:
        failures.append(f"{name}: {detail}")


def schema_fields(node, into):
    if isinstance(node, dict):
        for key, value in node.get("properties", {}).items():
            into.add(key)
            schema_fields(value, into)
        for key in ("items", "$defs"):
            if key in node:
                schema_fields(node[key], into)
        for value in node.get("$defs", {}).values():
            schema_fields(value, into)
    return into


def main():
    man_dir, schema_path, version = sys.argv[1:4]
    programs = sys.argv[4:]
    src_pages = os.path.join(os.path.dirname(schema_path), "man")
    pages = [os.path.join(man_dir, p) for p in ("brenvik.1", "m301sim.1", "brenvikd.8")]
    pages.append(os.path.join(src_pages, "brenvik-receipt.5"))
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
    for page in pages:
        r = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True, env=env)
        check(f"{os.path.basename(page)} renders", r.returncode == 0 and r.stdout.strip(), r.stderr)
        check(f"{os.path.basename(page)} without warnings", not r.stderr.strip(), r.stderr[:400])

    # Every field of the document is described on its page, as a tagged
    # paragraph of its own.
    with open(schema_path, encoding="utf-8") as f:
        fields = schema_fields(json.load(f), set())
    with open(os.path.join(src_pages, "brenvik-receipt.5"), encoding="utf-8") as f:
        roff = f.read()
    described = {line[3:].strip() for line in roff.splitlines() if line.startswith(".B ")}
    for field in sorted(fields):
        check("receipt page", field in described or f"{field} ," in roff or f".BR {field} ," in roff,
              f"no description of '{field}'")

    for program in programs:
        r = subprocess.run([program, "--version"], capture_output=True, text=True)
        name = os.path.basename(program)
        check(f"{name} --version", r.returncode == 0 and r.stdout.strip() == f"{name} {version}", r.stdout + r.stderr)

    # bash completion, as bash runs it.
    completion = os.path.join(man_dir, "brenvik.bash")
    cases = [
        (["brenvik", "st"], ["status"]),
        (["brenvik", "time", "s"], ["set"]),
        (["brenvik", "z-report", "--y"], ["--yes"]),
        (["brenvik", "status", "--js"], ["--json"]),
        (["brenvik", "--device", "/dev/nul"], ["/dev/null"]),
        (["brenvik", "receipt", man_dir + "/brenvik.ba"], [completion]),
        (["brenvik", "--timeout", ""], []),
    ]
    for words, expected in cases:
        script = (f"source {completion}; COMP_WORDS=({' '.join(repr(w) for w in words)}); "
                  f"COMP_CWORD={len(words) - 1}; _brenvik; printf '%s\\n' \"${{COMPREPLY[@]}}\"")
        r = subprocess.run(["bash", "-c", script], capture_output=True, text=True)
        got = [line for line in r.stdout.splitlines() if line]
        check(f"complete {' '.join(words)}", got == expected, f"{got} {r.stderr}")
    zsh = "/usr/bin/zsh"
    if os.path.exists(zsh):
        r = subprocess.run([zsh, "-n", os.path.join(man_dir, "_brenvik")], capture_output=True, text=True)
        check("zsh completion parses", r.returncode == 0, r.stderr)

    for f in failures:
        print("FAIL", f)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
