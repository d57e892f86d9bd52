#!/usr/bin/env python3
"""Make the sample PCX files in samples/: one of every variant the plug-in reads.

The pictures are drawn here from formulas and written by the small PCX writer
below, so nothing in samples/ comes from elsewhere and the files can be made
again byte for byte:

  mono-1bit.pcx         1 bit, one plane (black and white)
  cga-2bit.pcx          2 bits, one plane, 4 colours from the header's colour map
  ega-4bit.pcx          4 bits, one plane, 16 colours from the header's colour map
  palette-8bit.pcx      8 bits, one plane, with the 256-colour table at the end
  grey-8bit-notable.pcx 8 bits, one plane, without the colour table
  rgb-24bit.pcx         24-bit colour, three planes of 8 bits
  cga-2planes.pcx       4 colours as two planes of 1 bit
  colours-3planes.pcx   8 colours as three planes of 1 bit
  ega-4planes.pcx       16 colours as four planes of 1 bit, the classic EGA/VGA
                        picture (ega-4bit.pcx's picture)
  rgba-4planes.pcx      24-bit colour and alpha, four planes of 8 bits
  palette-8bit-uncompressed.pcx
                        palette-8bit.pcx's picture with its bytes as they are
                        (Encoding 0)

Usage: scripts/make-samples.py [FOLDER]   (default: samples/ of the repository)
       scripts/make-samples.py --check    (exit 1 when samples/ differs)
"""
import math
import os
import struct
import sys
import tempfile

from pcx_codes import pack_line, run_length

WIDTH, HEIGHT = 96, 64  # every sample but the odd-width ones
ODD_WIDTH = 75  # plane lines get a fill byte


def pcx_file(width, height, bits, planes, rows, colour_map=(), table=None, encoding=1):
    """A version 5 PCX file. rows holds, per row, the plane lines' pixel values.
    Encoding 1 codes each plane line on its own; encoding 0 stores the bytes."""
    bytes_per_line = (width * bits + 7) // 8
    bytes_per_line += bytes_per_line % 2  # plane lines are of even length
    header = bytearray(128)
    struct.pack_into("<BBBBHHHHHH", header, 0, 10, 5, encoding, bits, 0, 0, width - 1,
                     height - 1, 72, 72)
    for i, (r, g, b) in enumerate(colour_map):
        header[16 + 3 * i:19 + 3 * i] = bytes((r, g, b))
    struct.pack_into("<BHH", header, 65, planes, bytes_per_line, 1)
    data = bytearray(header)
    for row in rows:
        for plane in row:
            line = pack_line(plane, bits, bytes_per_line)
            data += run_length(line) if encoding == 1 else line
    if table is not None:
        data.append(12)
        for r, g, b in table:
            data += bytes((r, g, b))
    return bytes(data)


def clamp(value):
    return max(0, min(255, int(round(value))))


def mono():
    # Concentric rings around the middle, and a checker in the top-left corner.
    rows = []
    for y in range(HEIGHT):
        row = []
        for x in range(ODD_WIDTH):
            ring = int(math.hypot(x - ODD_WIDTH / 2, y - HEIGHT / 2) / 5) % 2
            checker = (x // 4 + y // 4) % 2 if x < 24 and y < 16 else ring
            row.append(checker)
        rows.append([row])
    return pcx_file(ODD_WIDTH, HEIGHT, 1, 1, rows)


def bit_planes(indices, planes):
    """A row of colour indices as planes lines of 1 bit: plane p holds bit p."""
    return [[(index >> p) & 1 for index in indices] for p in range(planes)]


CGA_COLOURS = [(0, 0, 0), (85, 255, 255), (255, 85, 255), (255, 255, 255)]


def cga_rows():
    # Diagonal stripes of the four colours, widening downwards.
    return [[((x + y) // (4 + y // 16)) % 4 for x in range(WIDTH)] for y in range(HEIGHT)]


def cga():
    return pcx_file(WIDTH, HEIGHT, 2, 1, [[row] for row in cga_rows()], CGA_COLOURS)


def cga_planes():
    # The picture of cga-2bit.pcx upside down, in two planes.
    rows = [bit_planes(row, 2) for row in reversed(cga_rows())]
    return pcx_file(WIDTH, HEIGHT, 1, 2, rows, CGA_COLOURS)


def colours_planes():
    # Colour bars of black, the primaries, their mixtures and white, with a
    # band of the same bars in reverse across the middle.
    colours = [tuple(255 * ((i >> bit) & 1) for bit in (0, 1, 2)) for i in range(8)]
    rows = []
    for y in range(HEIGHT):
        bar = [x * 8 // WIDTH for x in range(WIDTH)]
        if 24 <= y < 40:
            bar = [7 - b for b in bar]
        rows.append(bit_planes(bar, 3))
    return pcx_file(WIDTH, HEIGHT, 1, 3, rows, colours)


def ega_colours():
    # The sixteen colours of the classic 16-colour displays.
    colours = []
    for i in range(16):
        bright = 85 if i >= 8 else 0
        colours.append(tuple(min(255, 170 * ((i >> bit) & 1) + bright) for bit in (2, 1, 0)))
    colours[6] = (170, 85, 0)  # brown rather than dark yellow
    return colours


def ega_rows():
    rows = []
    for y in range(HEIGHT):
        # A 4 x 4 grid of the sixteen colours, with a white frame round each.
        row = []
        for x in range(ODD_WIDTH):
            cell_w, cell_h = ODD_WIDTH / 4, HEIGHT / 4
            cx, cy = int(x // cell_w), int(y // cell_h)
            edge = x % cell_w < 1 or y % cell_h < 1
            row.append(15 if edge else 4 * cy + cx)
        rows.append(row)
    return rows


def ega():
    return pcx_file(ODD_WIDTH, HEIGHT, 4, 1, [[row] for row in ega_rows()], ega_colours())


def ega_planes():
    rows = [bit_planes(row, 4) for row in ega_rows()]
    return pcx_file(ODD_WIDTH, HEIGHT, 1, 4, rows, ega_colours())


def rainbow(i):
    """Entry i of a 256-colour rainbow palette."""
    t = i / 256 * 2 * math.pi
    return (clamp(127.5 + 127.5 * math.sin(t)),
            clamp(127.5 + 127.5 * math.sin(t + 2 * math.pi / 3)),
            clamp(127.5 + 127.5 * math.sin(t + 4 * math.pi / 3)))


def palette8(encoding=1):
    table = [rainbow(i) for i in range(256)]
    rows = []
    for y in range(HEIGHT):
        # A plasma: the sum of a few waves picks the palette entry.
        row = []
        for x in range(WIDTH):
            v = (math.sin(x / 9) + math.sin(y / 7) + math.sin((x + y) / 13)
                 + math.sin(math.hypot(x - 48, y - 32) / 6))
            row.append(int((v + 4) / 8 * 255) & 0xFF)
        rows.append([row])
    return pcx_file(WIDTH, HEIGHT, 8, 1, rows, table=table, encoding=encoding)


def grey8():
    rows = []
    for y in range(HEIGHT):
        # A left-to-right ramp with a darker band across the middle.
        row = [clamp(x * 255 / (WIDTH - 1) * (0.5 if 24 <= y < 40 else 1)) for x in range(WIDTH)]
        rows.append([row])
    return pcx_file(WIDTH, HEIGHT, 8, 1, rows)


def rgb24(alpha=False):
    width, height = 121, 80
    rows = []
    for y in range(height):
        reds, greens, blues = [], [], []
        for x in range(width):
            # Hue from left to right, lighter towards the top, and a disc.
            r, g, b = rainbow(int(x * 255 / (width - 1)))
            light = y / (height - 1)
            r, g, b = (clamp(c * light + 255 * (1 - light) * 0.6) for c in (r, g, b))
            if math.hypot(x - 88, y - 52) < 18:
                r, g, b = 250, 250, 240
            reds.append(r)
            greens.append(g)
            blues.append(b)
        # Opaque in the middle, fading towards the left and right edges.
        alphas = [clamp(255 - 255 * abs(x - width / 2) / (width / 2)) for x in range(width)]
        rows.append([reds, greens, blues] + ([alphas] if alpha else []))
    return pcx_file(width, height, 8, 4 if alpha else 3, rows)


SAMPLES = {
    "mono-1bit.pcx": mono,
    "cga-2bit.pcx": cga,
    "ega-4bit.pcx": ega,
    "palette-8bit.pcx": palette8,
    "grey-8bit-notable.pcx": grey8,
    "rgb-24bit.pcx": rgb24,
    "cga-2planes.pcx": cga_planes,
    "colours-3planes.pcx": colours_planes,
    "ega-4planes.pcx": ega_planes,
    "rgba-4planes.pcx": lambda: rgb24(alpha=True),
    "palette-8bit-uncompressed.pcx": lambda: palette8(encoding=0),
}


def write_all(folder):
    os.makedirs(folder, exist_ok=True)
    for name, make in SAMPLES.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(make())


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    samples = os.path.join(root, "samples")
    if argv[1:] == ["--check"]:
        with tempfile.TemporaryDirectory() as fresh:
            write_all(fresh)
            stale = [name for name in SAMPLES
                     if not os.path.exists(os.path.join(samples, name))
                     or open(os.path.join(fresh, name), "rb").read()
                     != open(os.path.join(samples, name), "rb").read()]
        if stale:
            print("samples differ from scripts/make-samples.py:", " ".join(stale))
            return 1
        print("samples are up to date")
        return 0
    write_all(argv[1] if len(argv) > 1 else samples)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
