#!/usr/bin/python3
"""Builds the display font font/VorlattLCD.ttf from segment outlines.

Run with Debian's interpreter, which carries the fontforge module:

    /usr/bin/python3 assets/make_font.py

Digits use seven segments in a narrow cell, letters fourteen segments, so the
replica reads like the meter's glass. A few plain characters carry the meter's
symbols (hold, battery, beeper, diode, ohm, micro, degrees), because the
captions of the replica are ordinary label texts.

The advance widths are chosen so that each caption fits the label box it is
laid out in (a digit at 100 px fits 38 px, "Auto range" at 16 px fits 88 px),
and ascent plus descent is 1.12 em, the labels' height for their font size.
"""

import math
import os
import sys

# fontforge writes the build time into the head table; pin it so that the
# committed font only changes when its outlines do.
os.environ.setdefault("SOURCE_DATE_EPOCH", "1700000000")

import fontforge  # noqa: E402  (needs the environment above)

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "font", "VorlattLCD.ttf")

EM = 1000
ASCENT = 900
DESCENT = 220
CAP = 700          # height of digits and capitals
SLANT = 0.07       # forward lean of segment glyphs (x += SLANT * y)
GAP = 12           # dark gap between neighbouring segments

# Cell widths before slanting, and segment thickness, per kind of glyph.
DIGIT = dict(width=270, thick=66, lsb=30, rsb=31)
UPPER = dict(width=490, thick=62, lsb=40, rsb=41)
LOWER = dict(width=380, thick=62, lsb=40, rsb=31)
WIDE_LOWER = dict(width=560, thick=62, lsb=40, rsb=51)


# --- segment geometry -------------------------------------------------------

def segment_polygons(cell, names):
    """Outlines of the named segments of one cell, origin at its bottom left.

    Segment names: a top, b upper right, c lower right, d bottom, e lower left,
    f upper left, g whole middle bar, g1/g2 its left/right halves,
    h/j upper left/right diagonals, i/l upper/lower centre verticals,
    k/m lower left/right diagonals; vl1/vl2 and vr1/vr2 the upper and lower
    halves of the long strokes of a V, zl/xl the lower diagonals of a z or an x, ka/kl
    the arm and leg of a small k.
    """
    w, t, g = cell["width"], cell["thick"], GAP
    h = CAP
    xl, xr, xc = t / 2, w - t / 2, w / 2           # vertical centre lines
    yb, ym, yt = t / 2, h / 2, h - t / 2           # horizontal centre lines
    half = t / 2

    def horiz(x0, x1, y, point0=True, point1=True):
        # Pointed ends where a segment meets a corner, blunt ends at the centre
        # of a split bar so that g1 and g2 leave a clean gap there.
        p = []
        p.append((x0, y) if point0 else (x0, y - half))
        p.append((x0 + half, y + half) if point0 else (x0, y + half))
        p.append((x1 - half, y + half) if point1 else (x1, y + half))
        p.append((x1, y) if point1 else (x1, y - half))
        if point1:
            p.append((x1 - half, y - half))
        if point0:
            p.append((x0 + half, y - half))
        else:
            p.append((x0, y - half))
        return p

    def vert(x, y0, y1, point0=True, point1=True):
        p = []
        p.append((x, y0) if point0 else (x + half, y0))
        p.append((x + half, y0 + half) if point0 else (x + half, y0))
        p.append((x + half, y1 - half) if point1 else (x + half, y1))
        p.append((x, y1) if point1 else (x - half, y1))
        p.append((x - half, y1 - half) if point1 else (x - half, y1))
        p.append((x - half, y0 + half) if point0 else (x - half, y0))
        # drop duplicates produced by blunt ends
        out = []
        for q in p:
            if not out or out[-1] != q:
                out.append(q)
        return out

    d = t * 1.25  # horizontal width of a diagonal band

    def band(x0, y0, x1, y1):
        # A slanting band whose left edge runs from (x0, y0) to (x1, y1).
        return [(x0, y0), (x0 + d, y0), (x1 + d, y1), (x1, y1)]

    def diag(x0, y0, x1, y1):
        # From the outer corner of a cavity to the centre of the cell.
        if x1 > x0:
            return band(x0, y0, x1 - d, y1)
        return band(x0 - d, y0, x1, y1)

    # Cavities between the bars. The diagonals reach in to the centre line:
    # no glyph lights a diagonal together with the centre vertical of the same
    # half, and stopping short of it leaves the diagonals too stubby to read
    # at label sizes.
    cl0, cl1 = t + g, xc - g / 2                    # left cavity x range
    cr0, cr1 = xc + g / 2, w - t - g                # right cavity x range
    cu0, cu1 = ym + half + g, h - t - g             # upper cavity y range
    cd0, cd1 = t + g, ym - half - g                 # lower cavity y range

    # The long strokes of a V, each cut once at mid height: the fourteen
    # segment V (a vertical and a diagonal) reads as a stray mark at unit size.
    def v_left(y0, y1):
        x = lambda y: (w / 2 - d / 2) * (1 - y / h)
        return band(x(y0), y0, x(y1), y1)

    def v_right(y0, y1):
        x = lambda y: w - d - (w / 2 - d / 2) * (1 - y / h)
        return band(x(y0), y0, x(y1), y1)

    def bar(x0, y0, x1, y1):
        # A stroke of the segment thickness between two points, for the arms
        # of the small k, whose shallow slope a band of fixed horizontal
        # width would draw too thin.
        length = math.hypot(x1 - x0, y1 - y0)
        nx, ny = -(y1 - y0) / length * half, (x1 - x0) / length * half
        return [(x0 + nx, y0 + ny), (x1 + nx, y1 + ny), (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)]

    k_root = (t + g + half, h * 0.3)

    shapes = {
        "a": lambda: horiz(xl + g, xr - g, yt),
        "d": lambda: horiz(xl + g, xr - g, yb),
        "g": lambda: horiz(xl + g, xr - g, ym),
        "g1": lambda: horiz(xl + g, xc - g / 2, ym, True, False),
        "g2": lambda: horiz(xc + g / 2, xr - g, ym, False, True),
        "b": lambda: vert(xr, ym + g, yt - g),
        "c": lambda: vert(xr, yb + g, ym - g),
        "e": lambda: vert(xl, yb + g, ym - g),
        "f": lambda: vert(xl, ym + g, yt - g),
        "i": lambda: vert(xc, ym + half + g, yt - half - g, False, False),
        "l": lambda: vert(xc, yb + half + g, ym - half - g, False, False),
        "h": lambda: diag(cl0, cu1, cl1, cu0),
        "j": lambda: diag(cr1, cu1, cr0, cu0),
        "k": lambda: diag(cl1, cd1, cl0, cd0),
        "m": lambda: diag(cr0, cd1, cr1, cd0),
        # the lower diagonal of a small z, across the whole lower cavity
        "zl": lambda: band(cr1 - d, cd1, cl0, cd0),
        "xl": lambda: band(cl0, cd1, cr1 - d, cd0),
        "ka": lambda: bar(k_root[0], k_root[1], xr, ym + t),
        "kl": lambda: bar(k_root[0] + half, k_root[1] - half, xr, yb - half / 2),
        "vl1": lambda: v_left(h, ym + g / 2),
        "vl2": lambda: v_left(ym - g / 2, 0),
        "vr1": lambda: v_right(h, ym + g / 2),
        "vr2": lambda: v_right(ym - g / 2, 0),
    }
    return [shapes[n]() for n in names]


def slanted(points, dx):
    return [(x + dx + SLANT * y, y) for x, y in points]


def _pt(p):
    return (round(p[0], 2), round(p[1], 2))


def trace(pen, path, closed):
    """A path is a start point followed by points (straight lines) or
    ("c", control1, control2, end) cubic curves."""
    pen.moveTo(_pt(path[0]))
    for step in path[1:]:
        if step[0] == "c":
            pen.curveTo(_pt(step[1]), _pt(step[2]), _pt(step[3]))
        else:
            pen.lineTo(_pt(step))
    if closed:
        pen.closePath()
    else:
        pen.endPath()


def end_point(path):
    last = path[-1]
    return last[3] if last[0] == "c" else last


def draw_polygons(glyph, polygons, replace=False):
    pen = glyph.glyphPen(replace=replace)
    for poly in polygons:
        trace(pen, poly, closed=True)
    pen = None


def segment_glyph(font, code, cell, names, name=None):
    glyph = font.createChar(code, name) if name else font.createChar(code)
    polys = [slanted(p, cell["lsb"]) for p in segment_polygons(cell, names)]
    draw_polygons(glyph, polys, replace=True)
    glyph.width = int(round(cell["lsb"] + cell["width"] + SLANT * CAP + cell["rsb"]))
    finish(glyph)
    return glyph


def finish(glyph):
    # Orient every contour first: a filled shape drawn the other way round
    # over a stroke would otherwise punch a hole where they overlap.
    glyph.correctDirection()
    glyph.removeOverlap()
    glyph.correctDirection()
    glyph.round()


# --- line art for the symbols ----------------------------------------------

def arc(cx, cy, r, a0, a1):
    """Circular arc from angle a0 to a1 (degrees, counter-clockwise when
    a1 > a0) as cubic curves of at most 90 degrees each. True curves rather
    than short lines keep the outline clean when strokes are merged."""
    pieces = max(1, int(math.ceil(abs(a1 - a0) / 90.0)))
    step = math.radians((a1 - a0) / pieces)
    k = 4.0 / 3.0 * math.tan(step / 4.0) * r
    path = []
    for n in range(pieces):
        t0 = math.radians(a0) + n * step
        t1 = t0 + step
        p0 = (cx + r * math.cos(t0), cy + r * math.sin(t0))
        p1 = (cx + r * math.cos(t1), cy + r * math.sin(t1))
        if not path:
            path.append(p0)
        c0 = (p0[0] - k * math.sin(t0), p0[1] + k * math.cos(t0))
        c1 = (p1[0] + k * math.sin(t1), p1[1] - k * math.cos(t1))
        path.append(("c", c0, c1, p1))
    return path


def circle(cx, cy, r, clockwise=False):
    return arc(cx, cy, r, 360, 0) if clockwise else arc(cx, cy, r, 0, 360)


def rect(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def stroked(glyph, paths, width, replace=True):
    """Strokes open paths with round caps and joins into the glyph."""
    tmp = glyph.font.createChar(-1, "_stroke_tmp")
    tmp.clear()
    pen = tmp.glyphPen()
    for path in paths:
        trace(pen, path, closed=False)
    pen = None
    tmp.stroke("circular", width, "round", "round")
    if replace:
        glyph.clear()
    glyph.foreground += tmp.foreground
    glyph.font.removeGlyph(tmp)


def ring(cx, cy, r, width):
    """Outer and inner circle of a ring; the inner one runs the other way and
    so becomes the hole."""
    return [circle(cx, cy, r + width / 2), circle(cx, cy, r - width / 2, clockwise=True)]


def symbol_glyph(font, code, width, strokes=(), filled=(), ring_list=(), name=None):
    """strokes: list of (width, [paths]); filled: closed paths;
    ring_list: (cx, cy, r, stroke) outlined circles."""
    glyph = font.createChar(code, name) if name else font.createChar(code)
    glyph.clear()
    for w, paths in strokes:
        stroked(glyph, paths, w, replace=False)
    for cx, cy, r, sw in ring_list:
        draw_polygons(glyph, ring(cx, cy, r, sw))
    if filled:
        draw_polygons(glyph, filled)
    glyph.width = width
    finish(glyph)
    return glyph


# --- character sets ---------------------------------------------------------

DIGITS = {
    "0": "abcdef", "1": "bc", "2": "abdeg", "3": "abcdg", "4": "bcfg",
    "5": "acdfg", "6": "acdefg", "7": "abc", "8": "abcdefg", "9": "abcdfg",
}

UPPERCASE = {
    "A": "a b c e f g1 g2", "B": "a b c d g2 i l", "C": "a d e f",
    "D": "a b c d i l", "E": "a d e f g1", "F": "a e f g1",
    "G": "a c d e f g2", "H": "b c e f g1 g2", "I": "a d i l",
    "J": "b c d e", "K": "e f g1 j m", "L": "d e f", "M": "b c e f h j",
    "N": "b c e f h m", "O": "a b c d e f", "P": "a b e f g1 g2",
    "Q": "a b c d e f m", "R": "a b e f g1 g2 m", "S": "a c d f g1 g2",
    "T": "a i l", "U": "b c d e f", "V": "vl1 vl2 vr1 vr2", "W": "b c e f k m",
    "X": "h j k m", "Y": "h j l", "Z": "a d j k",
}

# Lower case follows the seven-segment habit of using the lower half of the
# cell, so "Auto range" and "Hz" read as mixed case on the glass.
LOWERCASE = {
    "a": "a b c d e g1 g2", "b": "c d e f g1 g2", "c": "d e g1 g2",
    "d": "b c d e g1 g2", "e": "a b d e f g1 g2", "f": "a e f g1",
    "g": "a b c d f g1 g2", "h": "c e f g1 g2", "i": "l", "j": "b c d",
    "k": "e f ka kl", "l": "e f", "n": "c e g1 g2", "o": "c d e g1 g2",
    "p": "a b e f g1 g2", "q": "a b c f g1 g2", "r": "e g1 g2",
    "s": "a c d f g1 g2", "t": "d e f g1 g2", "u": "c d e", "v": "vl2 vr2",
    "w": "c d e l", "x": "zl xl", "y": "b c d f g1 g2", "z": "d g1 g2 zl",
}

PUNCTUATION = {
    "/": "j k", "_": "d", "=": "d g1 g2", "<": "j m", ">": "h k",
    "[": "a d e f", "]": "a b c d", "'": "i",
}


def build():
    font = fontforge.font()
    font.em = EM
    font.encoding = "UnicodeBmp"
    font.familyname = "Vorlatt LCD"
    font.fontname = "VorlattLCD-Regular"
    font.fullname = "Vorlatt LCD Regular"
    font.weight = "Regular"
    font.version = "1.0"
    font.copyright = "Vorlatt project. Drawn from segment outlines by make_font.py."
    font.appendSFNTName("English (US)", "Family", "Vorlatt LCD")
    font.appendSFNTName("English (US)", "SubFamily", "Regular")
    font.appendSFNTName("English (US)", "Fullname", "Vorlatt LCD Regular")

    # fontforge ties the em to ascent + descent; the line metrics the
    # renderers use are set on their own below.
    font.ascent = EM - 200
    font.descent = 200
    for attr, value in (("os2_winascent", ASCENT), ("os2_windescent", DESCENT),
                        ("os2_typoascent", ASCENT), ("os2_typodescent", -DESCENT),
                        ("hhea_ascent", ASCENT), ("hhea_descent", -DESCENT)):
        setattr(font, attr + "_add", False)
        setattr(font, attr, value)
    font.os2_typolinegap = 0
    font.hhea_linegap = 0
    font.os2_use_typo_metrics = True
    font.os2_capheight = CAP
    font.os2_xheight = CAP // 2
    font.os2_fstype = 0  # installable: the program embeds it

    for ch, segs in DIGITS.items():
        segment_glyph(font, ord(ch), DIGIT, list(segs))
    for ch, segs in UPPERCASE.items():
        segment_glyph(font, ord(ch), UPPER, segs.split())
    for ch, segs in LOWERCASE.items():
        segment_glyph(font, ord(ch), LOWER, segs.split())
    segment_glyph(font, ord("m"), WIDE_LOWER, "c e g1 g2 l".split())
    for ch, segs in PUNCTUATION.items():
        segment_glyph(font, ord(ch), UPPER, segs.split())

    # The overload display writes an L with the digit's own segments.
    segment_glyph(font, ord("@"), DIGIT, list("def"))

    # Minus: the middle bar of a digit, in a cell just wide enough for it.
    minus = font.createChar(ord("-"))
    draw_polygons(minus, [slanted(p, -5) for p in
                          segment_polygons(dict(DIGIT, width=250), ["g"])], replace=True)
    minus.width = 280
    finish(minus)

    dot = font.createChar(ord("."))
    draw_polygons(dot, [rect(40, 0, 120, 80)], replace=True)
    dot.width = 160
    finish(dot)
    comma = font.createChar(ord(","))
    draw_polygons(comma, [[(40, 0), (120, 0), (120, 80), (60, -110), (30, -110), (60, 0)]],
                  replace=True)
    comma.width = 160
    finish(comma)
    colon = font.createChar(ord(":"))
    draw_polygons(colon, [rect(40, 120, 120, 200), slanted(rect(40, 440, 120, 520), 0)],
                  replace=True)
    colon.width = 180
    finish(colon)

    space = font.createChar(ord(" "))
    space.width = 300

    # Hold: an H in a frame.
    symbol_glyph(font, 0x22, 540,
                 strokes=[(56, [[(70, 60), (470, 60), (470, 660), (70, 660), (70, 60)]]),
                          (60, [[(175, 170), (175, 550)], [(365, 170), (365, 550)],
                                [(175, 360), (365, 360)]])])

    # Battery, standing upright, nearly empty: one bar of charge left.
    symbol_glyph(font, ord("$"), 340,
                 strokes=[(48, [[(60, 24), (280, 24), (280, 610), (60, 610), (60, 24)]])],
                 filled=[rect(120, 610, 220, 690), rect(105, 70, 235, 170)])

    # Beeper: a loudspeaker with three sound waves.
    symbol_glyph(font, ord("&"), 780,
                 strokes=[(48, [arc(300, 350, r, -42, 42) for r in (150, 270, 390)])],
                 filled=[rect(40, 260, 150, 440),
                         [(150, 260), (300, 110), (300, 590), (150, 440)]])

    # Diode: arrow into a bar, on a lead.
    symbol_glyph(font, ord(")"), 1000,
                 filled=[rect(50, 325, 345, 375), rect(700, 325, 950, 375),
                         [(330, 110), (670, 350), (330, 590)], rect(652, 110, 712, 590)])

    # Ohm: a ring open at the bottom, its ends turned out into feet.
    # One continuous path, so the stroke has no overlapping pieces to merge.
    omega = arc(340, 410, 245, 238, -58)
    left_end, right_end = omega[0], end_point(omega)
    symbol_glyph(font, ord("*"), 680,
                 strokes=[(70, [[(65, 40), (left_end[0] - 15, 40)] + omega
                                + [(right_end[0] + 15, 40), (615, 40)]])])

    # Micro: a mu with its stem running below the baseline.
    symbol_glyph(font, ord("+"), 500,
                 strokes=[(66, [[(115, -190), (115, 500)],
                                [(115, 250)] + arc(260, 250, 145, 180, 360)[1:]
                                + [(405, 500)],
                                [(405, 250), (405, 90), (450, 40)]])])

    # Degrees Celsius and Fahrenheit: a ring before the segment letter.
    small = dict(LOWER, lsb=210)
    for code, letter in ((ord("#"), "a d e f"), (ord("?"), "a e f g1")):
        g = segment_glyph(font, code, small, letter.split())
        draw_polygons(g, ring(115, 610, 62, 40))
        g.width = 710
        finish(g)
    degree = font.createChar(0xB0, "degree")
    draw_polygons(degree, ring(115, 610, 62, 40), replace=True)
    degree.width = 260
    finish(degree)

    # Thermometer: the bar symbol of the temperature range.
    symbol_glyph(font, ord("("), 310,
                 strokes=[(40, [[(100, 260), (100, 640)] + arc(155, 640, 55, 180, 0)[1:] + [(210, 260)]])],
                 filled=[circle(155, 150, 112), rect(137, 160, 173, 520)])

    # Record: a dot in a ring.
    symbol_glyph(font, ord("!"), 600,
                 ring_list=[(300, 350, 255, 40)],
                 filled=[circle(300, 350, 175)])

    # Percent, in the lines of the segment letters.
    symbol_glyph(font, ord("%"), 850,
                 strokes=[(60, [[(650, 690), (200, 10)]])],
                 ring_list=[(210, 530, 105, 55), (640, 170, 105, 55)])

    # The proper code points for the symbols point at the same outlines, so
    # texts written with them render too.
    aliases = {ord("*"): (0x2126, 0x3A9), ord("+"): (0xB5, 0x3BC),
               ord("#"): (0x2103,), ord("?"): (0x2109,)}
    for code, extra in aliases.items():
        font[code].altuni = tuple((u, -1, 0) for u in extra)

    notdef = font.createChar(-1, ".notdef")
    stroked(notdef, [[(60, 30), (440, 30), (440, 670), (60, 670), (60, 30)]], 40)
    notdef.width = 500
    finish(notdef)

    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    font.generate(OUT, flags=("opentype", "omit-instructions"))
    return font


if __name__ == "__main__":
    f = build()
    print("wrote", OUT, "with", sum(1 for _ in f.glyphs()), "glyphs", file=sys.stderr)
