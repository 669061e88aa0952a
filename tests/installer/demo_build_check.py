#!/usr/bin/env python3
"""make demo installs only the native toolchain, so the demo preset must
configure without GoogleTest, libxml2, Wine, MinGW and Xvfb.

  demo_build_check.py SOURCE_DIR WORK_DIR

Configures the source tree with the demo preset's cache variables while
CMake is told those packages are absent, and fails if the configuration
breaks or still looks for a test tool.
"""
import json
import os
import shutil
import subprocess
import sys

TEST_PACKAGES = ["GTest", "LibXml2"]
TEST_PROGRAMS = ["BRENVIK_WINE", "BRENVIK_XVFB", "BRENVIK_WIDL"]


def main():
    source, work = sys.argv[1], sys.argv[2]
    presets = json.load(open(os.path.join(source, "CMakePresets.json")))["configurePresets"]
    by_name = {p["name"]: p for p in presets}
    variables, preset = {}, by_name["demo"]
    while preset:  # the chain of inherited presets, nearest last wins
        for name, value in preset.get("cacheVariables", {}).items():
            variables.setdefault(name, value)
        preset = by_name.get(preset.get("inherits"))
    if variables.get("BRENVIK_TESTS") != "OFF":
        print("FAIL the demo preset builds the tests")
        return 1
    shutil.rmtree(work, ignore_errors=True)
    argv = ["cmake", "-S", source, "-B", work, "-G", "Ninja"]
    argv += ["-D%s=%s" % item for item in variables.items()]
    argv += ["-DCMAKE_DISABLE_FIND_PACKAGE_%s=ON" % p for p in TEST_PACKAGES]
    done = subprocess.run(argv, capture_output=True, text=True)
    if done.returncode != 0:
        print(done.stdout + done.stderr)
        print("FAIL the demo configuration needs a test package")
        return 1
    cache = open(os.path.join(work, "CMakeCache.txt")).read()
    looked_for = [name for name in TEST_PROGRAMS if name + ":" in cache]
    if looked_for:
        print("FAIL the demo configuration looks for %s" % ", ".join(looked_for))
        return 1
    print("ok   the demo configures without %s, and looks for none of %s"
          % (", ".join(TEST_PACKAGES), ", ".join(TEST_PROGRAMS)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
