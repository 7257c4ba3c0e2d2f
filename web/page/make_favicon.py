#!/usr/bin/env python3
"""Writes the live page's icon, web/page/favicon.ico: the window's own icon (a small
multimeter, drawn by assets/make_pictures.py) at 16, 32 and 48 pixels, each as a PNG inside
the ICO file, which every current browser reads.

    python3 web/page/make_favicon.py

The output is committed; building does not need this script. It needs no outside tool, and an
unchanged script gives the same file.
"""

import os
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "assets"))

import make_pictures  # noqa: E402  (the drawing of the icon)

SIZES = (16, 32, 48)


def png_bytes(canvas):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "icon.png")
        canvas.save_png(path)
        with open(path, "rb") as f:
            return f.read()


def main():
    images = [png_bytes(make_pictures.window_icon(size)) for size in SIZES]
    # ICONDIR, then one ICONDIRENTRY per image, then the images.
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    path = os.path.join(HERE, "favicon.ico")
    with open(path, "wb") as f:
        f.write(out)
    print("wrote", path, len(out), "bytes", file=sys.stderr)


if __name__ == "__main__":
    main()
