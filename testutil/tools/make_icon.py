#!/usr/bin/env python3
"""Draws brenvik_test.ico: the tray program's receipt on a blue tile, with a
green tick for "checked". Reuses the tray's drawing and icon writer, so both
icons share their look; only the picture differs.

Run by hand when the design changes; the .ico is kept in the tree.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tray", "tools"))
import make_icon as tray_icon  # noqa: E402

tray_shade = tray_icon.shade


def shade(x, y):
    colour = tray_shade(x, y)
    # a green disc with a white tick, lower right, over the printer
    cx, cy, r = 0.70, 0.70, 0.25
    if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
        colour = (34, 160, 70, 255)

        def near(ax, ay, bx, by, w=0.045):
            dx, dy = bx - ax, by - ay
            t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
            return (x - ax - t * dx) ** 2 + (y - ay - t * dy) ** 2 <= w * w

        if near(0.58, 0.70, 0.67, 0.79) or near(0.67, 0.79, 0.83, 0.60):
            colour = (255, 255, 255, 255)
    return colour


if __name__ == "__main__":
    tray_icon.shade = shade
    tray_icon.main(sys.argv[1] if len(sys.argv) > 1 else
                   os.path.join(os.path.dirname(__file__), "..", "brenvik_test.ico"))
