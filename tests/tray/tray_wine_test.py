#!/usr/bin/env python3
"""KorvellOLE under Wine in a real X server (Xvfb).

Starts the program in a fresh prefix, finds its hidden window, clicks its
notification icon, sends the icon's callback notifications, opens the menu
and the information box, closes the box three ways and ends the program
from its menu. Screenshots are left in the artifacts directory.
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
from checks import check, draw_windows_like_windows, exit_code, start_xvfb  # noqa: E402

TITLE = "Центр керування ЕККР Марія-301МТМ"
CLASS_NAME = "KORVELLPRINTERSERVER"
TOOLTIP = "Керування ЕККР Марія 301-МТМ"
CAPTION = "Про центр керування ЕККР \"Марія\" "
MENU = [[32773, "Про програму"], [0, None], [32772, "Вихід з програми"]]

WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK = 0x200, 0x201, 0x202, 0x203
WM_RBUTTONDOWN, WM_RBUTTONUP, WM_RBUTTONDBLCLK, WM_MBUTTONUP = 0x204, 0x205, 0x206, 0x208

# Notifications that must open nothing; the handler must return at once.
IGNORED = [WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN,
           WM_RBUTTONDBLCLK, WM_MBUTTONUP]
# Button-up notifications with the cursor where the menu must open.
OPENING = [(WM_LBUTTONUP, 620, 420), (WM_RBUTTONUP, 700, 300), (WM_LBUTTONUP, 300, 500)]

# Information box controls: id, class, style bits that must be set,
# position and size in dialog units.
SS_NOPREFIX, BS_DEFPUSHBUTTON = 0x80, 0x1
CONTROLS = [(1, "Button", BS_DEFPUSHBUTTON, (167, 64, 41, 11)),
            (-1, "Static", SS_NOPREFIX, (12, 4, 203, 34)),
            (-1, "Static", 0, (12, 37, 74, 34))]
DIALOG_UNITS = (220, 87)
WS_CAPTION, WS_SYSMENU, DS_MODALFRAME = 0xC00000, 0x80000, 0x80

class Session:
    def __init__(self, args):
        self.args = args
        self.artifacts = os.path.abspath(args.artifacts)
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.artifacts)
        self.prefix = os.path.join(self.artifacts, "prefix")
        self.xvfb = None
        self.tray = None
        self.shots = 0
        self.seen_visible = False

    # -- X server and Wine --------------------------------------------------
    def start(self):
        self.xvfb, self.display = start_xvfb()
        self.xenv = dict(os.environ, DISPLAY=self.display, LC_ALL="C.UTF-8")
        # uk_UA makes Wine's ANSI code page 1251, the program's own.
        self.wenv = dict(os.environ, DISPLAY=self.display, WINEPREFIX=self.prefix,
                         WINEDEBUG="-all", LC_ALL="uk_UA.UTF-8", LANG="uk_UA.UTF-8")
        subprocess.run(["sh", self.args.prefix_script, self.args.arch, self.prefix],
                       check=True, env=self.wenv)
        draw_windows_like_windows(self.prefix, self.wenv)

    def stop(self):
        if self.tray and self.tray.poll() is None:
            self.tray.kill()
        if self.xvfb:
            subprocess.run(["wineserver", "-k"], env=self.wenv, stderr=subprocess.DEVNULL)
            self.xvfb.terminate()
            self.xvfb.wait()
        shutil.rmtree(self.prefix, ignore_errors=True)

    def wine_path(self, path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def probe(self, *words):
        out = subprocess.run(["wine", self.args.probe, *map(str, words)], env=self.wenv,
                             capture_output=True, timeout=60).stdout.decode("ascii", "replace")
        lines = [line for line in out.splitlines() if line.startswith("{")]
        result = json.loads(lines[-1]) if lines else {}
        if result.get("main_visible") or result.get("main_style_visible"):
            self.seen_visible = True
        return result

    # -- X side -------------------------------------------------------------
    def x(self, *command):
        return subprocess.run(list(command), env=self.xenv, capture_output=True,
                              timeout=30).stdout.decode("utf-8", "replace")

    def screenshot(self, name):
        self.shots += 1
        path = os.path.join(self.artifacts, "%02d-%s.png" % (self.shots, name))
        self.x("import", "-window", "root", path)
        return path

    def pointer(self, x, y, click=None):
        self.x("xdotool", "mousemove", str(x), str(y))
        if click:
            self.x("xdotool", "click", str(click))

    def tray_window(self):
        """Geometry of the shell's tray window, where Wine shows the icons."""
        for line in self.x("xwininfo", "-root", "-tree").splitlines():
            m = re.search(r'"Wine System Tray".*?(\d+)x(\d+)\+(-?\d+)\+(-?\d+)', line)
            if m:
                return tuple(int(v) for v in m.groups())
        return None

    def icon_pixels(self, geometry):
        """Pixels of the tray window that carry the blue of our icon's tile."""
        w, h, left, top = geometry
        ppm = subprocess.run(["import", "-window", "root", "-depth", "8", "-crop",
                              "%dx%d+%d+%d" % (w, h, left, top), "ppm:-"],
                             env=self.xenv, capture_output=True).stdout
        parts = ppm.split(maxsplit=4)
        if len(parts) < 5 or parts[0] != b"P6":
            return 0
        data = parts[4]
        return sum(1 for i in range(0, len(data) - 2, 3)
                   if data[i] < 80 and 50 < data[i + 1] < 140 and data[i + 2] > 130)


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.2)
    return predicate()


def scaled(rect, client, units):
    """A control's rectangle in the box's dialog units."""
    sx, sy = client[2] / units[0], client[3] / units[1]
    return (rect[0] / sx, rect[1] / sy, (rect[2] - rect[0]) / sx, (rect[3] - rect[1]) / sy)


def open_menu(s, notification, x, y):
    s.pointer(x, y)
    return s.probe("post", notification)


def close_menu(s):
    s.pointer(1010, 750, click=1)
    return s.probe("nomenu")


def choose(s, menu, last):
    left, top, right, bottom = menu["menu_rect"]
    s.pointer(left + 30, bottom - 10 if last else top + 10, click=1)


def test_start(s):
    s.tray = subprocess.Popen(["wine", s.args.program], env=s.wenv,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    main = wait_for(lambda: s.probe("window").get("main") and s.probe("window"), 30)
    if not check(bool(main), "main window found by class " + CLASS_NAME):
        return False
    check(main.get("class") == CLASS_NAME, "window class is " + CLASS_NAME)
    check(main.get("title") == TITLE, "window title from string 103: %r" % main.get("title"))
    check(not main["main_visible"] and not main["main_style_visible"], "main window is hidden")

    geometry = wait_for(s.tray_window, 10)
    if check(geometry is not None, "the shell shows a tray window"):
        pixels = wait_for(lambda: s.icon_pixels(geometry) > 40 and s.icon_pixels(geometry), 10)
        check(bool(pixels), "our icon is drawn in the tray (%s pixels of its blue)" % pixels)
    s.screenshot("tray-icon")
    return geometry


def test_resources(s):
    r = s.probe("resources", s.wine_path(s.args.program))
    check(r.get("string103") == TITLE, "string 103 is the title")
    check(r.get("string109") == CLASS_NAME, "string 109 is the class name")
    check(r.get("menu") == MENU, "menu 131: %r" % r.get("menu"))
    font = r.get("dialog_russian") or {}
    check((font.get("face"), font.get("points")) == ("System", 8),
          "dialog 103 is Russian, font System 8: %r" % font)
    check((font.get("x"), font.get("y"), font.get("cx"), font.get("cy")) == (22, 17, 220, 87),
          "dialog 103 at 22,17 sized 220 by 87")
    check({16, 32, 48} <= set(r.get("icon_sizes", [])), "icon 139 has 16, 32 and 48 pixel images")


def test_icon_click(s, geometry):
    """A real click on the icon in the shell's tray opens the menu."""
    w, h, left, top = geometry
    s.pointer(left + 9, top + h // 2)
    tip = s.probe("tooltip")
    check(tip.get("tooltip", False) and tip.get("text") == TOOLTIP,
          "hovering the icon shows its tooltip: %r" % tip.get("text"))
    s.screenshot("tray-tooltip")
    s.x("xdotool", "click", "3")
    menu = s.probe("menu")
    check(menu.get("menu", False), "a right click on the tray icon opens the menu")
    s.screenshot("tray-icon-menu")
    check(not close_menu(s).get("menu", True), "a click elsewhere closes the menu")


def test_ignored_notifications(s):
    s.pointer(500, 400)
    for notification in IGNORED:
        r = s.probe("send", notification)
        check(r.get("returned") and not r.get("menu", True),
              "notification 0x%x opens nothing (%s ms)" % (notification, r.get("ms")))


def test_menu_at_cursor(s):
    for notification, x, y in OPENING:
        r = open_menu(s, notification, x, y)
        if not check(r.get("menu", False), "notification 0x%x opens the menu" % notification):
            continue
        left, top, right, bottom = r["menu_rect"]
        check(abs(right - x) <= 1 and abs(top - y) <= 1,
              "menu's right edge and top at the cursor %d,%d: %r" % (x, y, r["menu_rect"]))
        s.screenshot("menu-0x%x" % notification)
        check(not close_menu(s).get("menu", True), "menu closes")


def open_about(s):
    menu = open_menu(s, WM_RBUTTONUP, 620, 420)
    if not check(menu.get("menu", False), "menu opens for the information box"):
        return None
    choose(s, menu, last=False)
    return s.probe("dialog")


def check_about_box(s, d):
    s.screenshot("about-box")
    check(d["caption"] == CAPTION, "caption: %r" % d["caption"])
    check(d["style"] & (WS_CAPTION | WS_SYSMENU | DS_MODALFRAME) ==
          WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, "caption, system menu, modal frame")
    check(d["owned_by_main"], "the box is owned by the main window")
    check(not d["main_enabled"], "the main window is disabled while the box is up")
    controls = d["controls"]
    check(len(controls) == len(CONTROLS), "three controls")
    for (cid, cls, style, units), c in zip(CONTROLS, controls):
        got = scaled(c["rect"], d["client"], DIALOG_UNITS)
        check(c["id"] == cid and c["class"] == cls and c["style"] & style == style
              and all(abs(g - u) <= 1.0 for g, u in zip(got, units)),
              "control %s %d at %r dialog units (got %s)"
              % (cls, cid, units, ", ".join("%.1f" % g for g in got)))
    if controls:
        check(controls[0]["text"] == "OK", "button says OK")
        check(all(c["text"] for c in controls[1:]), "both static texts are filled")


def test_about_box(s):
    """The box shows its caption and controls; OK, Esc and the close box
    each end it, and the program runs on."""
    def press_ok(d):
        ok = d["controls"][0]["rect"]
        ox, oy = d["client_origin"]
        s.pointer(ox + (ok[0] + ok[2]) // 2, oy + (ok[1] + ok[3]) // 2, click=1)

    def press_escape(d):
        # Keys reach the box only once it is the foreground window and X
        # has given the focus to Wine; a click on the box's margin does both.
        ox, oy = d["client_origin"]
        s.pointer(ox + 4, oy + 4, click=1)
        check(wait_for(lambda: s.probe("dialog").get("foreground"), 5), "the box is in front")
        s.x("xdotool", "key", "Escape")

    def press_close_box(d):
        if check(d.get("close_box") is not None, "the box has a close box"):
            s.pointer(*d["close_box"], click=1)

    for name, close in (("OK", press_ok), ("Esc", press_escape), ("close box", press_close_box)):
        d = open_about(s)
        if not d or not check(d.get("dialog", False), "\"Про програму\" shows the box"):
            continue
        if close is press_ok:
            check_about_box(s, d)
        close(d)
        gone = s.probe("nodialog")
        check(not gone.get("dialog", True), name + " ends the box")
        check(gone.get("main", False) and gone.get("main_enabled", False)
              and s.tray.poll() is None, "program runs on after " + name)


def test_exit(s):
    menu = open_menu(s, WM_LBUTTONUP, 620, 420)
    if not check(menu.get("menu", False), "menu opens for the exit"):
        return
    s.screenshot("menu-before-exit")
    choose(s, menu, last=True)
    try:
        code = s.tray.wait(timeout=20)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, "\"Вихід з програми\" ends the program with exit code 0 (got %r)" % code)
    check(not s.probe("window").get("main", True), "main window is gone")


def main():
    parser = argparse.ArgumentParser()
    for name in ("--arch", "--program", "--probe", "--prefix-script", "--artifacts"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    for path in (args.program, args.probe):
        if not os.path.isfile(path):
            print("missing %s: build the %s preset first" % (path, "mingw" + args.arch[3:]))
            return 1

    s = Session(args)
    try:
        s.start()
        geometry = test_start(s)
        if geometry is not False:
            test_resources(s)
            if geometry:
                test_icon_click(s, geometry)
            test_ignored_notifications(s)
            test_menu_at_cursor(s)
            test_about_box(s)
            test_exit(s)
        check(not s.seen_visible, "the main window was never visible")
    finally:
        s.stop()
    print("screenshots in " + s.artifacts)
    return exit_code()


if __name__ == "__main__":
    sys.exit(main())
