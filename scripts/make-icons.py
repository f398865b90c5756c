#!/usr/bin/env python3
"""Draws halshift's icons and writes them as .ico files (16-colour DIBs, which every Windows
since NT 3.51 reads) into ui/icons/. Standard library only; run from anywhere:
    python3 scripts/make-icons.py
The resource script takes the files from ui/icons/, so run this after changing a picture and
commit both."""
import os
import struct

# The 16 colours of the standard VGA palette, as (blue, green, red) for the DIB colour table.
PALETTE = [
    (0x00, 0x00, 0x00), (0x00, 0x00, 0x80), (0x00, 0x80, 0x00), (0x00, 0x80, 0x80),
    (0x80, 0x00, 0x00), (0x80, 0x00, 0x80), (0x80, 0x80, 0x00), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0x00, 0x00, 0xFF), (0x00, 0xFF, 0x00), (0x00, 0xFF, 0xFF),
    (0xFF, 0x00, 0x00), (0xFF, 0x00, 0xFF), (0xFF, 0xFF, 0x00), (0xFF, 0xFF, 0xFF),
]
# Palette indices by name (the palette is blue-green-red, so index 1 is dark red, 4 dark blue).
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GRAY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)
CLEAR = None  # transparent: the AND mask shows the background


class Canvas:
    def __init__(self, width, height, fill=CLEAR):
        self.width, self.height = width, height
        self.pixels = [[fill] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour):
        """Fills the rectangle with corners (x0, y0) and (x1, y1), both included."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, colour)

    def frame(self, x0, y0, x1, y1, colour):
        for x in range(x0, x1 + 1):
            self.put(x, y0, colour)
            self.put(x, y1, colour)
        for y in range(y0, y1 + 1):
            self.put(x0, y, colour)
            self.put(x1, y, colour)

    def disc(self, cx, cy, radius, colour):
        """Fills a disc centred between pixels when cx, cy end in .5."""
        for y in range(self.height):
            for x in range(self.width):
                if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= radius * radius:
                    self.put(x, y, colour)

    def text(self, x, y, string, colour):
        for ch in string:
            for row, bits in enumerate(FONT[ch]):
                for col in range(5):
                    if bits & (0x10 >> col):
                        self.put(x + col, y + row, colour)
            x += 6


# A 5 by 7 pixel font for the letters the banner uses.
FONT = {
    'H': [0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11],
    'A': [0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11],
    'L': [0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F],
    'S': [0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E],
    'I': [0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E],
    'F': [0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10],
    'T': [0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04],
    ' ': [0, 0, 0, 0, 0, 0, 0],
}


def dib(canvas):
    """The icon image: BITMAPINFOHEADER, colour table, XOR bitmap (4 bits a pixel) and AND
    mask (1 bit a pixel), both bottom-up with rows padded to 32 bits."""
    w, h = canvas.width, canvas.height
    xor_stride = ((w * 4 + 31) // 32) * 4
    and_stride = ((w + 31) // 32) * 4
    xor_rows, and_rows = [], []
    for y in range(h - 1, -1, -1):
        row = canvas.pixels[y]
        xor = bytearray(xor_stride)
        mask = bytearray(and_stride)
        for x, colour in enumerate(row):
            index = 0 if colour is CLEAR else colour
            xor[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if colour is CLEAR:
                mask[x // 8] |= 0x80 >> (x % 8)
        xor_rows.append(bytes(xor))
        and_rows.append(bytes(mask))
    pixels = b''.join(xor_rows) + b''.join(and_rows)
    header = struct.pack('<IiiHHIIiiII', 40, w, h * 2, 1, 4, 0, len(pixels), 0, 0, 16, 0)
    table = b''.join(struct.pack('<BBBB', b, g, r, 0) for (b, g, r) in PALETTE)
    return header + table + pixels


def write_ico(path, canvases):
    images = [dib(c) for c in canvases]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for canvas, image in zip(canvases, images):
        out += struct.pack('<BBBBHHII', canvas.width % 256, canvas.height % 256, 16, 0, 1, 4,
                           len(image), offset)
        offset += len(image)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


def chip(size):
    """The application icon: a processor with pins on every side and an up-down arrow, for
    switching between the uniprocessor and the multiprocessor HAL."""
    c = Canvas(size, size)
    s = size / 32
    lo, hi = round(6 * s), size - 1 - round(6 * s)
    step = max(2, round(4 * s))
    for p in range(lo + step // 2, hi, step):
        c.rect(p, round(2 * s), p, lo - 1, SILVER)
        c.rect(p, hi + 1, p, size - 1 - round(2 * s), SILVER)
        c.rect(round(2 * s), p, lo - 1, p, SILVER)
        c.rect(hi + 1, p, size - 1 - round(2 * s), p, SILVER)
    c.rect(lo, lo, hi, hi, NAVY)
    c.frame(lo, lo, hi, hi, BLACK)
    mid = size // 2
    top, bottom = lo + round(3 * s), hi - round(3 * s)
    c.rect(mid - 1, top + 2, mid, bottom - 2, YELLOW)
    for d in range(max(2, round(4 * s))):
        c.rect(mid - 1 - d, top + d, mid + d, top + d, YELLOW)
        c.rect(mid - 1 - d, bottom - d, mid + d, bottom - d, YELLOW)
    return c


def banner():
    """The 96 by 18 banner of the main window: the processor and the program's name."""
    c = Canvas(96, 18, NAVY)
    c.frame(0, 0, 95, 17, BLUE)
    small = chip(16)
    for y in range(16):
        for x in range(16):
            if small.pixels[y][x] is not CLEAR:
                c.put(2 + x, 1 + y, small.pixels[y][x])
    c.text(24, 6, 'HALSHIFT', WHITE)
    c.rect(24, 14, 70, 14, AQUA)
    return c


def media(size):
    """The source media prompt's picture: a compact disc."""
    c = Canvas(size, size)
    s = size / 32
    centre = size / 2
    c.disc(centre, centre, 14 * s, GRAY)
    c.disc(centre, centre, 13 * s, SILVER)
    for y in range(size):
        for x in range(size):
            dx, dy = x + 0.5 - centre, y + 0.5 - centre
            if c.pixels[y][x] == SILVER and dx < 0 and dy < 0 and abs(dx - dy) < 3 * s:
                c.put(x, y, WHITE)
            if c.pixels[y][x] == SILVER and dx > 0 and dy > 0 and abs(dx - dy) < 2 * s:
                c.put(x, y, AQUA)
    c.disc(centre, centre, 5 * s, GRAY)
    c.disc(centre, centre, 4 * s, WHITE)
    c.disc(centre, centre, 2 * s, CLEAR)
    return c


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, '..', 'ui', 'icons')
    os.makedirs(out, exist_ok=True)
    write_ico(os.path.join(out, 'halshift.ico'), [chip(32), chip(16)])
    write_ico(os.path.join(out, 'banner.ico'), [banner()])
    write_ico(os.path.join(out, 'media.ico'), [media(32), media(16)])


if __name__ == '__main__':
    main()
