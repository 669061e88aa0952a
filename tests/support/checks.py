"""Pieces the Python test drivers share: one line per check, and an X
server of their own for Wine's windows."""
import os
import shutil
import subprocess

failures = []


def check(ok, what):
    """Prints "ok" or "FAIL" and the check; keeps the failures."""
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def start_xvfb():
    """Starts Xvfb on a free display (it picks one and writes its number to
    the pipe once it accepts clients, so tests may run side by side).
    Returns the process and the display, such as ":1"."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=[write_end],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            os.close(read_end)
            xvfb.kill()
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(read_end)
    return xvfb, ":" + number.decode().strip()


def draw_windows_like_windows(prefix, env):
    """Wine draws caption buttons and scroll arrows with Marlett, which
    Debian ships apart (fonts-wine); without a window manager Wine draws the
    frames itself, so boxes get their caption and close box, and keyboard
    focus follows Wine."""
    marlett = "/usr/share/wine/fonts/marlett.ttf"
    if os.path.isfile(marlett):
        shutil.copy(marlett, os.path.join(prefix, "drive_c", "windows", "Fonts"))
    subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                    "/d", "N", "/f"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)


def exit_code():
    """0 when every check passed, else 1 after saying how many failed."""
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0
