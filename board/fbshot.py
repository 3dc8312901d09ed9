#!/usr/bin/python3
"""Board screenshots (PNG from QEMU's screendump) against raw screen contents.

QEMU's PL111 model shows a 32-bpp pixel with its memory bytes 0, 1, 2 as
blue, green, red: the PNG's (R, G, B) is (byte 2, byte 1, byte 0). Byte 3 is
not shown. This is what the kernel reports too (red at bit 16, green at 8,
blue at 0 of a little-endian 32-bit word). A 16-bpp pixel is RGB565, red in
bits 11..15 of a little-endian 16-bit word, green 5..10, blue 0..4; the PNG
channels' top bits hold them, so only those are compared.

  fbshot.py compare RAW PNG [--region WxH+X+Y]
      RAW: the screen's memory, xres * yres * 4 (or 2, RGB565) bytes, pixels
      in memory order; xres and yres come from the PNG. Bytes 0..2 of every
      pixel (the 16 bits of an RGB565 one) must match.
  fbshot.py info PNG
      size and the bounding box of pixels that are not black.

Reads PNG with Pillow (Debian's python3-pil).
"""

import sys

from PIL import Image as PILImage

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
    with PILImage.open(path) as im:
        if im.format != "PNG":
            raise ValueError("%s: not a PNG file" % path)
        rgb = im.convert("RGB")
    width, height = rgb.size
    data = rgb.tobytes()
    stride = width * 3
    return Image(width, height, [bytearray(data[y * stride:(y + 1) * stride])
                                 for y in range(height)])


# The top bits of the PNG channels (R, G, B) that RGB565 fills.
RGB565_MASKS = bytes((0xF8, 0xFC, 0xF8))


def rgb565_masked(row):
    """A row of PNG-ordered RGB bytes with the bits RGB565 does not hold cleared."""
    out = bytearray(row)
    for chan, mask in enumerate(RGB565_MASKS):
        out[chan::3] = bytes(b & mask for b in row[chan::3])
    return out


def raw_depth(raw, width, height):
    """The bytes per pixel of a raw screen of width x height: 4 or 2."""
    for size in (4, 2):
        if len(raw) == width * height * size:
            return size
    raise ValueError("raw screen has %d bytes, %dx%d needs %d (32 bpp) or %d (16 bpp)"
                     % (len(raw), width, height, width * height * 4, width * height * 2))


def raw_to_rgb_rows(raw, width, height):
    """Rows of PNG-ordered RGB bytes for a 32-bpp raw screen, or for a 16-bpp
    (RGB565) one with each channel in its top bits."""
    if raw_depth(raw, width, height) == 2:
        rows = []
        for y in range(height):
            line = raw[y * width * 2:(y + 1) * width * 2]
            rgb = bytearray(width * 3)
            for x in range(width):
                v = line[2 * x] | line[2 * x + 1] << 8
                rgb[3 * x:3 * x + 3] = bytes(((v >> 8) & 0xF8, (v >> 3) & 0xFC, (v << 3) & 0xF8))
            rows.append(rgb)
        return rows
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
    shown = rgb565_masked if raw_depth(raw, img.width, img.height) == 2 else bytes
    x0, y0, w, h = region or (0, 0, img.width, img.height)
    bad, count = [], 0
    for y in range(y0, y0 + h):
        a = exp[y][3 * x0:3 * (x0 + w)]
        b = shown(img.rows[y][3 * x0:3 * (x0 + w)])
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
