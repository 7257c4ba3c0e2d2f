#!/usr/bin/env python3
"""Draws the program's pictures into assets/pictures/.

    python3 assets/make_pictures.py

The artwork is defined here as shapes in pixel coordinates and rasterised
with four-by-four supersampling, so the icons stay crisp at their small
sizes. PNG files are written directly (zlib, no timestamps), which keeps
them byte-identical between runs. The two link-indicator pictures are JPEG
and the banner is an animated GIF; those two formats are encoded by
ImageMagick's `convert`, the only outside tool this script needs.
"""

import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "pictures")
# The window icon again, for the desktop's icon theme (installed under share/icons/hicolor).
ICONS = os.path.join(HERE, "icons")
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)

CLEAR = (0, 0, 0, 0)
WHITE = (255, 255, 255, 255)
INK = (24, 24, 24, 255)            # line art on the white replica panel
OUTLINE = (72, 72, 72, 255)
NAVY = (24, 44, 110, 255)


def rgba(r, g, b, a=255):
    return (r, g, b, a)


# --- raster -------------------------------------------------------------------

class Canvas:
    """RGBA image with straight (non-premultiplied) colour, y pointing down.
    Pixel (i, j) covers the square [i, i+1) x [j, j+1)."""

    SS = 4  # subsamples per axis

    def __init__(self, width, height, background=CLEAR):
        self.width, self.height = width, height
        self.px = [list(map(float, background)) for _ in range(width * height)]

    def blend(self, x, y, colour, coverage=1.0):
        if not (0 <= x < self.width and 0 <= y < self.height) or coverage <= 0:
            return
        p = self.px[y * self.width + x]
        sa = colour[3] / 255.0 * min(1.0, coverage)
        da = p[3] / 255.0
        oa = sa + da * (1 - sa)
        if oa <= 0:
            return
        for i in range(3):
            p[i] = (colour[i] * sa + p[i] * da * (1 - sa)) / oa
        p[3] = oa * 255.0

    def shape(self, inside, colour, box):
        """Fills the pixels of box (x0, y0, x1, y1) by the share of subsamples
        for which inside(x, y) holds."""
        x0, y0, x1, y1 = box
        x0, y0 = max(0, int(math.floor(x0))), max(0, int(math.floor(y0)))
        x1, y1 = min(self.width, int(math.ceil(x1))), min(self.height, int(math.ceil(y1)))
        n = self.SS
        offs = [(k + 0.5) / n for k in range(n)]
        for y in range(y0, y1):
            for x in range(x0, x1):
                hits = sum(1 for oy in offs for ox in offs if inside(x + ox, y + oy))
                if hits:
                    self.blend(x, y, colour, hits / (n * n))

    # Primitives. Coordinates are continuous; integers lie on pixel edges.

    def rect(self, x0, y0, x1, y1, colour):
        self.shape(lambda x, y: x0 <= x < x1 and y0 <= y < y1, colour, (x0, y0, x1, y1))

    def frame(self, x0, y0, x1, y1, colour, width=1):
        w = width
        self.shape(lambda x, y: (x0 <= x < x1 and y0 <= y < y1)
                   and not (x0 + w <= x < x1 - w and y0 + w <= y < y1 - w),
                   colour, (x0, y0, x1, y1))

    def round_rect(self, x0, y0, x1, y1, r, colour):
        def inside(x, y):
            if not (x0 <= x < x1 and y0 <= y < y1):
                return False
            cx = min(max(x, x0 + r), x1 - r)
            cy = min(max(y, y0 + r), y1 - r)
            return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
        self.shape(inside, colour, (x0, y0, x1, y1))

    def round_frame(self, x0, y0, x1, y1, r, width, colour):
        def in_round(x, y, a0, b0, a1, b1, rr):
            if not (a0 <= x < a1 and b0 <= y < b1):
                return False
            cx = min(max(x, a0 + rr), a1 - rr)
            cy = min(max(y, b0 + rr), b1 - rr)
            return (x - cx) ** 2 + (y - cy) ** 2 <= rr * rr
        w = width
        self.shape(lambda x, y: in_round(x, y, x0, y0, x1, y1, r)
                   and not in_round(x, y, x0 + w, y0 + w, x1 - w, y1 - w, max(0.0, r - w)),
                   colour, (x0, y0, x1, y1))

    def poly(self, points, colour):
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]

        def inside(x, y):
            hit = False
            j = len(points) - 1
            for i in range(len(points)):
                xi, yi = points[i]
                xj, yj = points[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    hit = not hit
                j = i
            return hit
        self.shape(inside, colour, (min(xs), min(ys), max(xs), max(ys)))

    def line(self, x0, y0, x1, y1, width, colour):
        """Straight stroke with round ends."""
        r = width / 2.0
        dx, dy = x1 - x0, y1 - y0
        ll = dx * dx + dy * dy or 1e-9

        def inside(x, y):
            t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / ll))
            px, py = x0 + t * dx - x, y0 + t * dy - y
            return px * px + py * py <= r * r
        self.shape(inside, colour, (min(x0, x1) - r, min(y0, y1) - r,
                                    max(x0, x1) + r, max(y0, y1) + r))

    def polyline(self, points, width, colour):
        for a, b in zip(points, points[1:]):
            self.line(a[0], a[1], b[0], b[1], width, colour)

    def disc(self, cx, cy, r, colour):
        self.shape(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r, colour,
                   (cx - r, cy - r, cx + r, cy + r))

    def arc(self, cx, cy, r, width, colour, gap_from=None, gap_to=None):
        """Ring of radius r; angles in degrees, counted clockwise from twelve
        o'clock, between gap_from and gap_to are left open."""
        h = width / 2.0

        def inside(x, y):
            d = math.hypot(x - cx, y - cy)
            if abs(d - r) > h:
                return False
            if gap_from is None:
                return True
            a = math.degrees(math.atan2(x - cx, cy - y)) % 360
            lo, hi = gap_from % 360, gap_to % 360
            in_gap = lo <= a <= hi if lo <= hi else (a >= lo or a <= hi)
            return not in_gap
        self.shape(inside, colour, (cx - r - h, cy - r - h, cx + r + h, cy + r + h))

    def text(self, x, y, string, colour, scale=1, spacing=1):
        """Draws with the pixel font below; returns the x after the text."""
        for ch in string:
            rows = PIXEL_FONT[ch]
            for j, row in enumerate(rows):
                for i, bit in enumerate(row):
                    if bit == "#":
                        self.rect(x + i * scale, y + j * scale,
                                  x + (i + 1) * scale, y + (j + 1) * scale, colour)
            x += (len(rows[0]) + spacing) * scale
        return x

    def text_width(self, string, scale=1, spacing=1):
        return sum((len(PIXEL_FONT[c][0]) + spacing) * scale for c in string) - spacing * scale

    def pixel(self, x, y):
        return tuple(int(round(v)) for v in self.px[y * self.width + x])

    def copy(self):
        c = Canvas(self.width, self.height)
        c.px = [list(p) for p in self.px]
        return c

    def flattened(self, background=WHITE):
        out = Canvas(self.width, self.height, background)
        for i, p in enumerate(self.px):
            out.blend(i % self.width, i // self.width, tuple(p))
        return out

    def hard_alpha(self):
        """Every pixel fully opaque or fully clear, for formats with one
        transparent colour; edges keep the colour they had."""
        out = self.copy()
        for p in out.px:
            p[3] = 255.0 if p[3] >= 128 else 0.0
        return out

    def save_png(self, path):
        raw = bytearray()
        for y in range(self.height):
            raw.append(0)
            for x in range(self.width):
                raw.extend(max(0, min(255, int(round(v)))) for v in self.px[y * self.width + x])

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

        png = b"\x89PNG\r\n\x1a\n"
        png += chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 6, 0, 0, 0))
        png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
        png += chunk(b"IEND", b"")
        with open(path, "wb") as f:
            f.write(png)


# A small pixel font for the few letters the pictures carry.
PIXEL_FONT = {
    " ": ["...", "...", "...", "...", "...", "...", "..."],
    "B": ["####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."],
    "C": [".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "F": ["#####", "#....", "#....", "####.", "#....", "#....", "#...."],
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "U": ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
}

# Three by five letters for the EF triangle.
SMALL_FONT = {
    "E": ["###", "#..", "##.", "#..", "###"],
    "F": ["###", "#..", "##.", "#..", "#.."],
}


# --- button glyphs (16 x 16 for the 23 x 21 icon buttons) ---------------------

def page(c, x0, y0, x1, y1, fold=3):
    """A sheet of paper with its top right corner folded over."""
    c.poly([(x0, y0), (x1 - fold, y0), (x1, y0 + fold), (x1, y1), (x0, y1)], OUTLINE)
    c.poly([(x0 + 1, y0 + 1), (x1 - fold - 0.5, y0 + 1), (x1 - 1, y0 + fold + 0.5),
            (x1 - 1, y1 - 1), (x0 + 1, y1 - 1)], WHITE)
    c.poly([(x1 - fold - 1, y0), (x1 - fold - 1, y0 + fold + 1), (x1, y0 + fold + 1)], OUTLINE)
    c.poly([(x1 - fold, y0 + 1), (x1 - fold, y0 + fold), (x1 - 1, y0 + fold)], rgba(214, 214, 214))


def record_new():
    # Close the data: a written page crossed out.
    c = Canvas(16, 16)
    page(c, 1, 0, 12, 15)
    for y in (4, 6, 8, 10, 12):
        c.rect(3, y, 10 if y > 4 else 7, y + 1, rgba(110, 140, 200))
    red = rgba(210, 20, 20)
    c.line(8.5, 8.5, 14.5, 14.5, 2.2, red)
    c.line(14.5, 8.5, 8.5, 14.5, 2.2, red)
    return c


def folder_open(c=None):
    c = c or Canvas(16, 16)
    brown = rgba(120, 80, 10)
    back = rgba(230, 175, 40)
    front = rgba(255, 214, 90)
    c.rect(1, 2, 7, 4, brown)                    # tab
    c.rect(2, 3, 6, 4, back)
    c.rect(1, 3, 14, 14, brown)                  # back wall
    c.rect(2, 4, 13, 13, back)
    c.rect(2, 4, 13, 5, rgba(245, 200, 80))
    c.poly([(3.5, 7), (16, 7), (12.5, 14), (0, 14)], brown)   # front flap, opening
    c.poly([(4.2, 8), (14.4, 8), (11.8, 13), (1.6, 13)], front)
    c.line(4.6, 8.5, 13.6, 8.5, 1, rgba(255, 240, 170))
    return c


def floppy(c, x0, y0, size):
    body = rgba(40, 70, 150)
    edge = rgba(20, 34, 80)
    s = size
    c.poly([(x0, y0), (x0 + s - 2, y0), (x0 + s, y0 + 2), (x0 + s, y0 + s), (x0, y0 + s)], edge)
    c.poly([(x0 + 1, y0 + 1), (x0 + s - 2.4, y0 + 1), (x0 + s - 1, y0 + 2.4),
            (x0 + s - 1, y0 + s - 1), (x0 + 1, y0 + s - 1)], body)
    # metal shutter with its window
    sx0, sx1 = x0 + round(s * 0.28), x0 + s - round(s * 0.22)
    c.rect(sx0, y0 + 1, sx1, y0 + round(s * 0.38), rgba(200, 205, 215))
    c.rect(sx1 - 3, y0 + 2, sx1 - 1, y0 + round(s * 0.38) - 1, edge)
    # label
    c.rect(x0 + 2, y0 + round(s * 0.55), x0 + s - 2, y0 + s - 1, WHITE)
    c.rect(x0 + 3, y0 + round(s * 0.55) + 2, x0 + s - 3, y0 + round(s * 0.55) + 3,
           rgba(200, 60, 60))
    return c


def save_as():
    return floppy(Canvas(16, 16), 1, 1, 14)


def printer():
    c = Canvas(16, 16)
    c.rect(4, 1, 12, 7, OUTLINE)                 # paper going in
    c.rect(5, 2, 11, 7, WHITE)
    c.rect(1, 6, 15, 13, rgba(70, 70, 78))       # body
    c.rect(2, 7, 14, 12, rgba(190, 192, 200))
    c.rect(2, 7, 14, 8, rgba(225, 226, 232))
    c.rect(11, 9, 13, 10, rgba(40, 200, 60))     # power light
    c.rect(3, 10, 13, 11, rgba(110, 110, 120))   # paper slot
    c.rect(4, 11, 12, 16, OUTLINE)               # printed sheet
    c.rect(5, 11, 11, 15, WHITE)
    c.rect(6, 12, 10, 13, rgba(110, 140, 200))
    c.rect(6, 14, 9, 15, rgba(110, 140, 200))
    return c


# --- chart buttons (16 x 14 for the 25 x 21 and 35 x 21 speed buttons) -------

def chart_new():
    # Restart the chart: a blank sheet with a fresh spark.
    c = Canvas(16, 14)
    page(c, 4, 0, 14, 14)
    c.polyline([(6, 11), (8, 8), (10, 9.5), (12, 5)], 1.2, rgba(40, 110, 220))
    spark = rgba(240, 170, 0)
    c.line(3, 0.5, 3, 6.5, 1.2, spark)
    c.line(0, 3.5, 6, 3.5, 1.2, spark)
    c.line(1, 1.5, 5, 5.5, 1, spark)
    c.line(5, 1.5, 1, 5.5, 1, spark)
    return c


def chart_save():
    return floppy(Canvas(16, 14), 1, 0, 14)


def step_arrow(direction, to_end):
    """Paging arrows: a triangle, with a bar when it goes to the first or
    last page."""
    c = Canvas(16, 14)
    colour = NAVY
    if to_end:
        tip, base = (4.5, 11.5) if direction < 0 else (11.5, 4.5)
        bar_x = 2.5 if direction < 0 else 11.5
        c.rect(bar_x, 2, bar_x + 2, 12, colour)
    else:
        tip, base = (4, 11) if direction < 0 else (12, 5)
    c.poly([(base, 1.5), (tip, 7), (base, 12.5)], colour)
    return c


def enlarge_tile(outward):
    """25 x 25 tile with four corner arrows pointing out (enlarge) or in
    (restore)."""
    c = Canvas(25, 25)
    c.round_rect(0, 0, 25, 25, 3, rgba(120, 128, 140))
    c.round_rect(1, 1, 24, 24, 2.5, rgba(246, 248, 252))
    c.round_rect(2, 13, 23, 23, 2, rgba(226, 231, 240))
    colour = rgba(30, 80, 170)
    centre = 12.5
    for sx in (-1, 1):
        for sy in (-1, 1):
            near = (centre + sx * 2.5, centre + sy * 2.5)
            far = (centre + sx * 8.5, centre + sy * 8.5)
            tip, tail = (far, near) if outward else (near, far)
            c.line(tail[0], tail[1], tip[0], tip[1], 1.6, colour)
            # arrowhead: two short legs back from the tip, along the axes
            back = -1 if outward else 1
            hx = tip[0] + back * sx * 4
            hy = tip[1] + back * sy * 4
            c.poly([(tip[0] + sx * 0.8 * (1 if outward else -1), tip[1] + sy * 0.8 * (1 if outward else -1)),
                    (hx, tip[1]), (tip[0], hy)], colour)
    return c


# --- link indicators (25 x 24, JPEG) ----------------------------------------

def link_picture(lit):
    c = Canvas(25, 24, WHITE)
    frame = rgba(60, 64, 72)
    # computer: monitor, stand and keyboard
    c.round_rect(0, 1, 15, 12, 1.5, frame)
    screen = rgba(90, 210, 255) if lit else rgba(58, 62, 70)
    c.rect(1.5, 2.5, 13.5, 10.5, screen)
    if lit:
        c.rect(2.5, 3.5, 9, 4.5, rgba(210, 245, 255))
        c.rect(2.5, 5.5, 11, 6.5, rgba(170, 235, 255))
        c.rect(2.5, 7.5, 7, 8.5, rgba(170, 235, 255))
    c.rect(6, 12, 9, 14, frame)
    c.rect(3, 14, 12, 15, frame)
    c.rect(0, 17, 14, 20, frame)
    c.rect(1, 18, 13, 19, rgba(200, 204, 212))
    # the meter, a yellow case with its display and dial
    c.round_rect(16, 4, 25, 24, 2, rgba(150, 100, 0))
    c.round_rect(17, 5, 24, 23, 1.5, rgba(255, 196, 30))
    lcd = rgba(140, 255, 110) if lit else rgba(58, 62, 70)
    c.rect(18, 6, 23, 10, rgba(40, 40, 40))
    c.rect(18.5, 6.5, 22.5, 9.5, lcd)
    if lit:
        c.rect(19, 7.5, 22, 8.5, rgba(20, 90, 20))
    c.disc(20.5, 15, 2.6, rgba(50, 50, 56))
    c.line(20.5, 15, 20.5, 12.8, 1, rgba(230, 230, 230))
    c.disc(18.8, 20.8, 0.9, rgba(200, 20, 20))
    c.disc(22.2, 20.8, 0.9, rgba(20, 20, 20))
    # the cable between them
    cable = rgba(40, 110, 220) if lit else rgba(150, 150, 150)
    c.polyline([(7.5, 20), (7.5, 22.5), (17.5, 22.5)], 1.2, cable)
    return c


# --- replica annunciators (black line art on transparent) -------------------

def lcd_send():
    # Data output: a monitor with an S on its screen.
    c = Canvas(36, 29)
    c.round_frame(2, 1, 34, 22, 2.5, 2, INK)
    w = c.text_width("S", scale=2)
    c.text(18 - w // 2, 4, "S", INK, scale=2)
    c.rect(15, 22, 21, 25, INK)                    # neck
    c.round_rect(9, 25, 27, 28, 1, INK)            # foot
    return c


def _over(dst, src):
    for i, p in enumerate(src.px):
        if p[3] > 0:
            dst.blend(i % dst.width, i // dst.width, tuple(p))


def relative_triangle(letters=None, height=24):
    c = Canvas(24, height)
    top, bottom = 2.0, height - 2.5
    left, right = 1.5, 22.5
    apex = (12.0, top)
    pts = [apex, (right, bottom), (left, bottom), apex]
    c.polyline(pts, 2.2, INK)
    if letters:
        w = len(letters) * 4 - 1
        x = 12 - w // 2
        y = int(bottom) - 7
        for ch in letters:
            for j, row in enumerate(SMALL_FONT[ch]):
                for i, bit in enumerate(row):
                    if bit == "#":
                        c.rect(x + i, y + j, x + i + 1, y + j + 1, INK)
            x += 4
    return c


def power_symbol():
    c = Canvas(28, 29)
    c.arc(14, 16, 10, 2.6, INK, gap_from=-38, gap_to=38)
    c.line(14, 3, 14, 14, 2.6, INK)
    return c


# --- window icon: a small multimeter ----------------------------------------

def window_icon(size):
    s = size / 48.0
    c = Canvas(size, size)

    def R(x0, y0, x1, y1, col, r=0):
        if r:
            c.round_rect(x0 * s, y0 * s, x1 * s, y1 * s, r * s, col)
        else:
            c.rect(x0 * s, y0 * s, x1 * s, y1 * s, col)

    R(7, 1, 41, 47, rgba(70, 50, 10), 6)           # rubber holster
    R(8.5, 2.5, 39.5, 45.5, rgba(240, 160, 0), 5)
    R(11, 5, 37, 43, rgba(255, 205, 40), 3)         # case face
    R(12, 7, 36, 19, rgba(40, 40, 44), 1.5)         # display bezel
    R(13.5, 8.5, 34.5, 17.5, rgba(196, 214, 186), 1)
    seg = rgba(30, 34, 30)
    # three digits, drawn as segments, reading "8.8 8"-like strokes
    for dx in (15.5, 22.5, 29.0):
        R(dx, 9.5, dx + 4, 10.6, seg)
        R(dx, 12.5, dx + 4, 13.6, seg)
        R(dx, 15.5, dx + 4, 16.6, seg)
        R(dx, 9.5, dx + 1.1, 16.6, seg)
        R(dx + 2.9, 9.5, dx + 4, 16.6, seg)
    # rotary switch
    c.disc(24 * s, 29 * s, 7.5 * s, rgba(60, 60, 66))
    c.disc(24 * s, 29 * s, 6 * s, rgba(120, 122, 130))
    c.line(24 * s, 29 * s, 24 * s, 23.5 * s, 2.2 * s, rgba(250, 250, 250))
    for ang in (-120, -60, 60, 120):
        a = math.radians(ang)
        c.disc((24 + 9.5 * math.sin(a)) * s, (29 - 9.5 * math.cos(a)) * s, 0.9 * s,
               rgba(60, 60, 66))
    # input jacks
    for x, col in ((16, rgba(210, 20, 20)), (24, rgba(20, 20, 20)), (32, rgba(20, 20, 20))):
        c.disc(x * s, 39.5 * s, 2.4 * s, rgba(60, 60, 66))
        c.disc(x * s, 39.5 * s, 1.6 * s, col)
    return c


# --- the banner: arrows running to "PC USB" ----------------------------------

BANNER_W, BANNER_H, BANNER_FRAMES = 249, 33, 9


def banner_frame(n):
    c = Canvas(BANNER_W, BANNER_H)
    # The arrows move one ninth of their spacing per frame, so the ninth
    # frame leads seamlessly back into the first.
    spacing = 18
    offset = n * spacing / BANNER_FRAMES
    text_x = 146
    lane_end = text_x - 5   # arrows slide in at the left and under this edge
    arrows = Canvas(BANNER_W, BANNER_H)
    for k in range(-1, 9):
        x = 2 + k * spacing + offset
        # brighter as they near the letters
        f = max(0.0, min(1.0, x / (lane_end - 14)))
        fill = rgba(int(20 + 40 * f), int(120 + 110 * f), int(40 + 20 * f))
        pts = [(x, 4.5), (x + 5, 4.5), (x + 14, 16.5), (x + 5, 28.5), (x, 28.5), (x + 9, 16.5)]
        arrows.poly(pts, rgba(0, 60, 20))
        inset = [(x + 1.6, 6), (x + 4.3, 6), (x + 12.2, 16.5), (x + 4.3, 27), (x + 1.6, 27),
                 (x + 9.6, 16.5)]
        arrows.poly(inset, fill)
    for y in range(BANNER_H):
        for x in range(0, lane_end):
            c.px[y * BANNER_W + x] = list(arrows.px[y * BANNER_W + x])
    # the letters, amber with a dark rim so they read on black and on white
    scale = 3
    rim = Canvas(BANNER_W, BANNER_H)
    y = 6
    for dx, dy in ((-1, 0), (1, 0), (0, -1), (0, 1), (-1, -1), (1, 1), (-1, 1), (1, -1)):
        rim.text(text_x + dx, y + dy, "PC USB", rgba(70, 35, 0), scale=scale)
    _over(c, rim)
    c.text(text_x, y, "PC USB", rgba(255, 170, 20), scale=scale)
    return c


# --- output -------------------------------------------------------------------

def convert_tool():
    for name in ("convert", "magick"):
        path = shutil.which(name)
        if path:
            return [path] if name == "convert" else [path, "convert"]
    sys.exit("make_pictures.py needs ImageMagick (convert) for the JPEG and GIF pictures")


def save_jpeg(canvas, path, tool, tmp):
    src = os.path.join(tmp, os.path.basename(path) + ".png")
    canvas.flattened(WHITE).save_png(src)
    # Full-resolution colour: chroma subsampling smears one-pixel detail.
    subprocess.run(tool + [src, "-strip", "-sampling-factor", "1x1", "-quality", "95", path],
                   check=True)


def save_gif(frames, path, tool, tmp, delay_cs=10):
    names = []
    for i, frame in enumerate(frames):
        name = os.path.join(tmp, "frame%02d.png" % i)
        frame.hard_alpha().save_png(name)
        names.append(name)
    # Each frame is whole; disposing to the background keeps the moved arrows
    # from leaving a trail on the transparent ground.
    subprocess.run(tool + ["-dispose", "Background", "-delay", str(delay_cs), "-loop", "0"]
                   + names + ["-strip", path], check=True)


def write_qrc(pictures):
    """Lists the font and every picture written, so the resource file never
    misses a picture this script adds."""
    files = ["font/VorlattLCD.ttf"] + ["pictures/" + f for f in sorted(pictures, key=str.lower)]
    lines = ['<!DOCTYPE RCC>', '<RCC version="1.0">', '<qresource prefix="/">']
    lines += ["    <file>%s</file>" % f for f in files]
    lines += ["</qresource>", "</RCC>", ""]
    with open(os.path.join(HERE, "assets.qrc"), "w") as f:
        f.write("\n".join(lines))


def main():
    os.makedirs(OUT, exist_ok=True)
    tool = convert_tool()
    pngs = {
        "RecordNew": record_new(),
        "OpenDataFiles": folder_open(),
        "saveas": save_as(),
        "BtPrint": printer(),
        "BtNew": chart_new(),
        "BtSave": chart_save(),
        "BtFirst": step_arrow(-1, True),
        "BTPrevious": step_arrow(-1, False),
        "BtNext": step_arrow(1, False),
        "BTlast": step_arrow(1, True),
        "TbFd": enlarge_tile(True),
        "TbSx": enlarge_tile(False),
        "LCDsend": lcd_send(),
        "LCDREL": relative_triangle(),
        "EF": relative_triangle("EF", height=25),
        "LCDpower": power_symbol(),
        "WindowIcon": window_icon(48),
        "WindowIcon32": window_icon(32),
    }
    for name, canvas in pngs.items():
        canvas.save_png(os.path.join(OUT, name + ".png"))
    with tempfile.TemporaryDirectory() as tmp:
        save_jpeg(link_picture(True), os.path.join(OUT, "CONok.jpg"), tool, tmp)
        save_jpeg(link_picture(False), os.path.join(OUT, "CONokN.jpg"), tool, tmp)
        save_gif([banner_frame(n) for n in range(BANNER_FRAMES)],
                 os.path.join(OUT, "Image1.gif"), tool, tmp)
    written = [n + ".png" for n in pngs] + ["CONok.jpg", "CONokN.jpg", "Image1.gif"]
    write_qrc(written)
    for size in ICON_SIZES:
        folder = os.path.join(ICONS, "%dx%d" % (size, size))
        os.makedirs(folder, exist_ok=True)
        window_icon(size).save_png(os.path.join(folder, "vorlatt.png"))
    print("wrote", len(written), "pictures to", OUT, "and", len(ICON_SIZES), "icons to", ICONS,
          file=sys.stderr)


if __name__ == "__main__":
    main()
