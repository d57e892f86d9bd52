#!/usr/bin/python3
"""Makes the benchmark inputs: 4096 x 4096 PCX files in three layouts
(24-bit, 8-bit, and 16 colours in four planes of 1 bit) and two kinds of
content, the PPM files the netpbm and ImageMagick writers start from, and
tiny files on which whole-process tools are timed for their start-up alone.

    scripts/bench-files.py OUTDIR

Run it with Debian's /usr/bin/python3 (it needs numpy and Pillow, and
netpbm's ppmtopcx). The PCX files are written by independent writers,
Pillow and, for the four planes, which Pillow does not write, ppmtopcx, so
every reader in the comparison starts from the same bytes. Content is
seeded: the same bytes come out on every run. A stamp file records what was
made; a second run with nothing changed returns at once.

Content:
  noise   every byte uniformly random, as in a noisy photograph: barely
          compresses (bytes of 0xC0 and above, a quarter of them, even take
          two bytes each).
  flat    large flat rectangles, thin lines and small blocky sprites, as in a
          screenshot or pixel art: long runs, compresses well.
"""

import hashlib
import os
import subprocess
import sys

import numpy as np
from PIL import Image

SIDE = 4096
TINY = 8
SEED = 20240611
# Change when the content changes, so that old files are made again.
GENERATION = "4"
# The pictures of 16 colours, stored in four planes of 1 bit.
PLANAR = ("noise16", "flat16", "tiny16")


def noise_rgb(rng, side):
    return rng.integers(0, 256, (side, side, 3), dtype=np.uint8)


def noise_indices(rng, side):
    return rng.integers(0, 256, (side, side), dtype=np.uint8)


def flat_indices(rng, side, colours):
    """A screenshot-like picture of palette indices below colours."""
    picture = np.zeros((side, side), dtype=np.uint8)
    picture[:, :] = rng.integers(0, colours)
    # Windows and panels: large flat rectangles, later ones on top.
    for _ in range(400):
        w, h = rng.integers(32, side // 3, size=2)
        x, y = rng.integers(0, side - 16, size=2)
        picture[y:y + h, x:x + w] = rng.integers(0, colours)
    # Borders and rules: one- and two-pixel lines.
    for _ in range(600):
        x, y = rng.integers(0, side - 1, size=2)
        length = rng.integers(16, side // 2)
        thickness = rng.integers(1, 3)
        if rng.integers(0, 2):
            picture[y:y + thickness, x:x + length] = rng.integers(0, colours)
        else:
            picture[y:y + length, x:x + thickness] = rng.integers(0, colours)
    # Icons and glyphs: small sprites of 4 x 4 blocks.
    for _ in range(3000):
        x, y = rng.integers(0, side - 32, size=2)
        sprite = rng.integers(0, colours, size=(4, 4), dtype=np.uint8)
        block = rng.integers(2, 6)
        sprite = np.kron(sprite, np.ones((block, block), dtype=np.uint8))
        picture[y:y + sprite.shape[0], x:x + sprite.shape[1]] = sprite
    return picture


def random_palette(rng, count):
    return rng.integers(0, 256, (count, 3), dtype=np.uint8)


def indexed_image(indices, palette):
    image = Image.fromarray(indices, "L").convert("P")
    full = np.zeros((256, 3), dtype=np.uint8)
    full[:len(palette)] = palette
    image.putpalette(full.tobytes())
    return image


def make(outdir):
    rng = np.random.default_rng(SEED)
    os.makedirs(outdir, exist_ok=True)
    pictures = {}
    pictures["noise24"] = Image.fromarray(noise_rgb(rng, SIDE), "RGB")
    pictures["noise8"] = indexed_image(noise_indices(rng, SIDE), random_palette(rng, 256))
    flat_palette = random_palette(rng, 24)
    flat = flat_indices(rng, SIDE, len(flat_palette))
    pictures["flat8"] = indexed_image(flat, flat_palette)
    pictures["flat24"] = Image.fromarray(flat_palette[flat], "RGB")
    pictures["tiny24"] = Image.fromarray(noise_rgb(rng, TINY), "RGB")
    pictures["tiny8"] = indexed_image(noise_indices(rng, TINY), random_palette(rng, 256))
    # Sixteen colours, every one of them used, so that ppmtopcx needs all
    # four planes.
    sixteen = random_palette(rng, 16)
    pictures["noise16"] = indexed_image(rng.integers(0, 16, (SIDE, SIDE), dtype=np.uint8),
                                        sixteen)
    pictures["flat16"] = indexed_image(flat_indices(rng, SIDE, 16), sixteen)
    pictures["tiny16"] = indexed_image(np.arange(TINY * TINY, dtype=np.uint8).reshape(TINY, TINY)
                                       % 16, sixteen)
    for name, image in pictures.items():
        pcx = os.path.join(outdir, name + ".pcx")
        # The writers of netpbm and ImageMagick start from the same picture
        # in PPM form.
        ppm = os.path.join(outdir, name + ".ppm")
        image.convert("RGB").save(ppm, format="PPM")
        if name in PLANAR:
            with open(pcx, "wb") as out:
                subprocess.run(["ppmtopcx", "-planes", "4", ppm], stdout=out,
                               stderr=subprocess.DEVNULL, check=True)
            check_planar(pcx)
        else:
            image.save(pcx, format="PCX")


def check_planar(pcx):
    """The file ppmtopcx wrote is what the benchmark times: four planes of 1
    bit, run-length coded."""
    with open(pcx, "rb") as data:
        header = data.read(128)
    if (header[2], header[3], header[65]) != (1, 1, 4):
        sys.exit("%s: ppmtopcx wrote Encoding %d, %d bits in %d planes, not four planes of 1 "
                 "bit" % (pcx, header[2], header[3], header[65]))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: bench-files.py OUTDIR")
    outdir = sys.argv[1]
    source = open(os.path.abspath(__file__), "rb").read()
    stamp = hashlib.sha256(source + GENERATION.encode()).hexdigest()
    stamp_path = os.path.join(outdir, "stamp")
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    make(outdir)
    with open(stamp_path, "w") as stamp_file:
        stamp_file.write(stamp)


if __name__ == "__main__":
    main()
