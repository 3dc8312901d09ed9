#!/usr/bin/env python3
"""Board screenshots (PNG from QEMU's screendump) against raw screen contents.

QEMU's PL111 model shows a 32-bpp pixel with its memory bytes 0, 1, 2 as
blue, green, red: the PNG's (R, G, B) is (byte 2, byte 1, byte 0). Byte 3 is
not shown. This is what the kernel reports too (red at bit 16, green at 8,
blue at 0 of a little-endian 32-bit word).

  fbshot.py compare RAW PNG [--region WxH+X+Y]
      RAW: the screen's memory, xres * yres * 4 bytes, pixels in memory order;
      xres and yres come from the PNG. Bytes 0..2 of every pixel must match.
  fbshot.py info PNG
      size and the bounding box of pixels that are not black.

Standard library only.
"""

import struct
import sys
import zlib

# PNG channel index (0 R, 1 G, 2 B) for memory bytes 0, 1, 2 of a 32-bpp pixel.
BYTE_TO_PNG_CHANNEL = (2, 1, 0)


class Image:
    """8-bit RGB image: rows of bytes, 3 per pixel."""

    def __init__(self, width, height, rows):
        self.width, self.height, self.rows = width, height, rows

    def pixel(self, x, y):
        r = self.rows[y]
        return tuple(r[3 * x:3 * x + 3])


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("%s: not a PNG file" % path)
    pos, idat, hdr = 8, [], None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            hdr = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
    width, height, depth, ctype, _, _, interlace = hdr
    if depth != 8 or ctype not in (2, 6) or interlace:
        raise ValueError("%s: only 8-bit RGB/RGBA non-interlaced PNG is read (depth %d, type %d)"
                         % (path, depth, ctype))
    bpp = 3 if ctype == 2 else 4
    raw = zlib.decompress(b"".join(idat))
    stride = width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        base = y * (stride + 1)
        ftype = raw[base]
        line = bytearray(raw[base + 1:base + 1 + stride])
        if ftype == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 0xFF
        elif ftype == 2:
            line = bytearray((a + b) & 0xFF for a, b in zip(line, prev))
        elif ftype == 3:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + ((left + prev[i]) >> 1)) & 0xFF
        elif ftype == 4:
            for i in range(stride):
                a = line[i - bpp] if i >= bpp else 0
                b = prev[i]
                c = prev[i - bpp] if i >= bpp else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 0xFF
        elif ftype != 0:
            raise ValueError("%s: bad PNG filter %d" % (path, ftype))
        rows.append(line)
        prev = line
    if bpp == 4:
        rows = [bytearray(b for i, b in enumerate(r) if i % 4 != 3) for r in rows]
    return Image(width, height, rows)


def raw_to_rgb_rows(raw, width, height):
    """Rows of PNG-ordered RGB bytes for a 32-bpp raw screen."""
    if len(raw) != width * height * 4:
        raise ValueError("raw screen has %d bytes, %dx%d at 4 bytes per pixel needs %d"
                         % (len(raw), width, height, width * height * 4))
    rows = []
    for y in range(height):
        line = raw[y * width * 4:(y + 1) * width * 4]
        rgb = bytearray(width * 3)
        for byte, chan in enumerate(BYTE_TO_PNG_CHANNEL):
            rgb[chan::3] = line[byte::4]
        rows.append(rgb)
    return rows


def compare_raw(raw, img, region=None):
    """List of up to 10 differing pixels, and their count."""
    exp = raw_to_rgb_rows(raw, img.width, img.height)
    x0, y0, w, h = region or (0, 0, img.width, img.height)
    bad, count = [], 0
    for y in range(y0, y0 + h):
        a = exp[y][3 * x0:3 * (x0 + w)]
        b = img.rows[y][3 * x0:3 * (x0 + w)]
        if a == b:
            continue
        for x in range(w):
            if a[3 * x:3 * x + 3] != b[3 * x:3 * x + 3]:
                count += 1
                if len(bad) < 10:
                    bad.append((x0 + x, y, tuple(a[3 * x:3 * x + 3]), tuple(b[3 * x:3 * x + 3])))
    return bad, count


def bounding_box(img, background=(0, 0, 0)):
    """(x0, y0, x1, y1) exclusive of pixels different from background, or None."""
    bg = bytes(background) * img.width
    ys = [y for y, r in enumerate(img.rows) if r != bg]
    if not ys:
        return None
    xs0, xs1 = img.width, 0
    for y in ys:
        r = img.rows[y]
        for x in range(img.width):
            if r[3 * x:3 * x + 3] != bg[:3]:
                xs0 = min(xs0, x)
                break
        for x in range(img.width - 1, -1, -1):
            if r[3 * x:3 * x + 3] != bg[:3]:
                xs1 = max(xs1, x + 1)
                break
    return xs0, ys[0], xs1, ys[-1] + 1


def parse_region(s):
    size, x, y = s.split("+")
    w, h = size.split("x")
    return int(x), int(y), int(w), int(h)


def main(argv):
    if len(argv) >= 3 and argv[0] == "compare":
        img = read_png(argv[2])
        region = parse_region(argv[4]) if len(argv) == 5 and argv[3] == "--region" else None
        with open(argv[1], "rb") as f:
            raw = f.read()
        bad, count = compare_raw(raw, img, region)
        if count:
            print("%d pixels differ; first: %s" % (count, ", ".join(
                "(%d,%d) raw %s png %s" % b for b in bad)))
            return 1
        print("screens match (%dx%d)" % (img.width, img.height))
        return 0
    if len(argv) == 2 and argv[0] == "info":
        img = read_png(argv[1])
        print("%dx%d, non-black box %s" % (img.width, img.height, bounding_box(img)))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
