#!/usr/bin/env python3
"""Draws the dock's three pictures as XPM 3 into monitor/dock/images/.

The .xpm files are the sources compiled into the monitor; this script is how
they were made. Every glyph of the parts image is drawn over the same ghost
the backgrounds carry in its cell, so that copying a glyph changes only its
lit segments.
"""
import os
import sys

# Segments of a seven-segment figure: a top, b upper right, c lower right,
# d bottom, e lower left, f upper left, g middle.
FIGURES = ["abcdef", "bc", "abdeg", "abcdg", "bcfg", "acdfg", "acdefg", "abc", "abcdefg",
           "abcdfg"]
DASH = "g"


def segments(width, height, thick):
    """A figure of this size, its segments `thick` pixels, open at the corners:
    10 x 20 with 2 for the large digits, 5 x 9 with 1 for the small ones, and
    5 x 7 with 1 for the sign pressed into the seven rows above the box number."""
    rows = lambda y0, y1, x0, x1: {(x, y) for x in range(x0, x1 + 1) for y in range(y0, y1 + 1)}
    middle = (height - thick) // 2
    across = (thick, width - thick - 1)
    left, right = (0, thick - 1), (width - thick, width - 1)
    upper, lower = (thick, middle - 1), (middle + thick, height - thick - 1)
    return {
        "a": rows(0, thick - 1, *across),
        "b": rows(*upper, *right),
        "c": rows(*lower, *right),
        "d": rows(height - thick, height - 1, *across),
        "e": rows(*lower, *left),
        "f": rows(*upper, *left),
        "g": rows(middle, middle + thick - 1, *across),
    }


# "Err", shown over a failing box's counts.
SIGN = ["adefg", "eg", "eg"]


class Canvas:
    def __init__(self, width, height, fill):
        self.width, self.height = width, height
        self.pixels = [[fill] * width for _ in range(height)]

    def put(self, x, y, char):
        self.pixels[y][x] = char

    def rect(self, x0, y0, x1, y1, char):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, char)

    def figure(self, x0, y0, segments, lit, panel, on, off):
        """One glyph cell: panel, then every segment, lit or faint."""
        width = max(x for s in segments.values() for x, _ in s) + 1
        height = max(y for s in segments.values() for _, y in s) + 1
        self.rect(x0, y0, x0 + width - 1, y0 + height - 1, panel)
        for name, pixels in segments.items():
            for x, y in pixels:
                self.put(x0 + x, y0 + y, on if name in lit else off)

    def xpm(self, name, palette):
        lines = ['"%d %d %d 1"' % (self.width, self.height, len(palette))]
        for char, colour, symbol in palette:
            line = "%s c %s" % (char, colour)
            if symbol:
                line += " s " + symbol
            lines.append('"%s"' % line)
        lines += ['"%s"' % "".join(row) for row in self.pixels]
        return "/* XPM */\nstatic const char* %s[] = {\n%s\n};\n" % (name, ",\n".join(lines))


CORNERS = [(0, 0), (1, 0), (0, 1), (56, 0), (57, 0), (57, 1), (0, 56), (0, 57), (1, 57),
           (57, 56), (56, 57), (57, 57)]
BOX_CELLS = [(7, 12), (13, 12)]
NEW_CELLS = [(21, 7), (33, 7), (45, 7)]
TOTAL_CELLS = [(9, 34), (21, 34), (33, 34), (45, 34)]


def panel_layout(canvas, panel, ghost, dark):
    """What both backgrounds share inside the frame: ghosts, buttons, groove."""
    for x, y in BOX_CELLS:
        canvas.figure(x, y, segments(5, 9, 1), "", panel, None, ghost)
    for x, y in NEW_CELLS + TOTAL_CELLS:
        canvas.figure(x, y, segments(10, 20, 2), "", panel, None, ghost)
    # Minus: a dark square with a slot; plus: a dark square with a cross cut.
    canvas.rect(7, 22, 11, 26, dark)
    canvas.rect(8, 24, 10, 24, panel)
    canvas.rect(13, 22, 17, 26, dark)
    canvas.rect(14, 24, 16, 24, panel)
    canvas.rect(15, 23, 15, 25, panel)
    # The groove: a dark cut with its lit lower lip.
    canvas.rect(5, 28, 53, 29, dark)
    canvas.rect(6, 30, 54, 30, ghost)


def background():
    c = Canvas(58, 58, "e")
    for x in range(58):
        for y in range(58):
            if x == 57 or y == 57:
                char = "c"
            elif x == 56 or y == 56 or x == 0 or y == 0:
                char = "#"
            elif x == 1 or y == 1:
                char = "a"
            elif x == 2 or y == 2:
                char = "b"
            elif x == 3 or y == 3:
                char = "d"
            else:
                continue
            c.put(x, y, char)
    panel_layout(c, "e", "f", "g")
    for x, y in CORNERS:
        c.put(x, y, ".")
    return c.xpm("background_xpm", [
        (".", "None", None), ("#", "#020202", None), ("a", "#0a0a0a", None),
        ("b", "#484c46", None), ("c", "#dedede", None), ("d", "#7c827c", None),
        ("e", "#8e968a", None), ("f", "#767c6f", None), ("g", "#3e463e", None)])


def backlit():
    c = Canvas(58, 58, "b")
    c.rect(0, 0, 57, 0, "#")
    c.rect(0, 0, 0, 57, "#")
    c.rect(57, 1, 57, 57, "a")
    c.rect(1, 57, 57, 57, "a")
    panel_layout(c, "b", "c", "d")
    for x, y in CORNERS:
        c.put(x, y, ".")
    return c.xpm("backlit_xpm", [
        (".", "None", None), ("#", "#020202", None), ("a", "#dedede", None),
        ("b", "#6ec63b", "Back0"), ("c", "#6cb237", "Back1"), ("d", "#3e463e", None)])


def sign(canvas, x0, y0, panel):
    """The "Err" sign, 16 x 7, without ghosts: the panel beneath it has none.
    The last figure's right column, which no segment of an r lights, is left
    out, so that the sign keeps clear of the new count's ghost."""
    s = Canvas(17, 7, panel)
    for i, lit in enumerate(SIGN):
        s.figure(6 * i, 0, segments(5, 7, 1), lit, panel, "a", panel)
    for y in range(7):
        for x in range(16):
            canvas.put(x0 + x, y0 + y, s.pixels[y][x])


def parts():
    c = Canvas(106, 56, ".")
    for d, lit in enumerate(FIGURES):
        c.figure(10 * d, 0, segments(10, 20, 2), lit, "#", "a", "b")
        c.figure(10 * d, 20, segments(10, 20, 2), lit, "c", "a", "d")
        c.figure(5 * d, 40, segments(5, 9, 1), lit, "#", "a", "b")
        c.figure(50 + 5 * d, 40, segments(5, 9, 1), lit, "c", "a", "d")
    c.figure(100, 31, segments(5, 9, 1), DASH, "#", "a", "b")
    c.figure(100, 40, segments(5, 9, 1), DASH, "c", "a", "d")
    sign(c, 0, 49, "#")
    sign(c, 16, 49, "c")
    # The strip that is never copied keeps a key of the button colour.
    c.rect(101, 1, 104, 4, "e")
    c.rect(102, 2, 103, 3, "f")
    return c.xpm("parts_xpm", [
        (".", "#b2c0dc", None), ("#", "#8e968a", None), ("a", "#020202", None),
        ("b", "#767c6f", None), ("c", "#6ec63b", "Back0"), ("d", "#6cb237", "Back1"),
        ("e", "#ffffff", None), ("f", "#3e463e", None)])


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "monitor/dock/images")
    for name, text in [("background", background()), ("backlit", backlit()), ("parts", parts())]:
        with open(os.path.join(folder, name + ".xpm"), "w") as out:
            out.write(text)


main()
