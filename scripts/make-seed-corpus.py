#!/usr/bin/env python3
"""Makes the fuzz seed corpus, fuzz/corpus/<target>/, from scratch.

    scripts/make-seed-corpus.py          write the corpus (replacing it whole)
    scripts/make-seed-corpus.py --check  exit 1 unless the committed corpus is
                                         exactly what this script makes

Every seed is made here, deterministically: small valid files of every
variant the plug-in reads, files of every kind it must refuse, the
third-party files of tests/data/third-party, and each crafted input that
ever broke something (REGRESSIONS below). Nothing from a fuzzing run is
committed: a run's own corpus stays in its work folder.

Targets and their inputs (see the comments at the top of each fuzz/*_fuzzer.cpp):
  decode           a PCX file (header bytes 74 and 75 may ask for padding)
  header           a PCX file
  preview          a PCX file whose header bytes 74..81 hold the preview box
  export           an image record for EXPORT_WriteToFile
  runlength        two bytes of output size, then run-length codes
"""

import argparse
import pathlib
import struct
import sys

from pcx_codes import pack_line, run_length

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"
THIRD_PARTY = ROOT / "tests" / "data" / "third-party"
TARGETS = ("decode", "preview", "header", "export", "runlength")

# --- PCX files ------------------------------------------------------------------


def pcx_header(bits, planes, width, height, bytes_per_line, version=5, manufacturer=10,
               encoding=1, x_min=0, y_min=0, colormap=b"", box=None, pad_short_by=None,
               kernels=0):
    """The 128-byte header; width and height set the window from (x_min, y_min).
    kernels (header byte 82) makes the targets force the kernels-th set of
    kernels the processor runs, counting from 1 and round again (0: the
    fastest)."""
    h = bytearray(128)
    h[0], h[1], h[2], h[3] = manufacturer, version, encoding, bits
    x_max = (x_min + width - 1) & 0xFFFF
    y_max = (y_min + height - 1) & 0xFFFF
    struct.pack_into("<6H", h, 4, x_min, y_min, x_max, y_max, 72, 72)
    h[16:16 + len(colormap[:48])] = colormap[:48]
    h[65] = planes
    struct.pack_into("<HH", h, 66, bytes_per_line & 0xFFFF, 1)
    if box is not None:
        struct.pack_into("<ii", h, 74, *box)
    if pad_short_by is not None:
        h[74], h[75] = 1, pad_short_by
    h[82] = kernels
    return bytes(h)


def with_window(header, x_min, y_min, x_max, y_max):
    """header with its window replaced, edges as given (inclusive)."""
    return header[:4] + struct.pack("<4H", x_min, y_min, x_max, y_max) + header[12:]


def pixel(x, y, plane, bits):
    """A picture with flat stretches (runs) and busy ones (literals)."""
    if (y // 2) % 2 == 0 and x % 16 < 8:
        return (plane * 3 + y) % (1 << bits)
    return (x * 7 + y * 13 + plane * 5) % (1 << bits)


def raw_picture(bits, planes, width, height, bytes_per_line):
    raw = bytearray()
    for y in range(height):
        for plane in range(planes):
            values = [pixel(x, y, plane, bits) for x in range(width)]
            raw += pack_line(values, bits, bytes_per_line) if bits < 8 else \
                bytes(values) + bytes(bytes_per_line - width)
    return bytes(raw)


def colormap16():
    return bytes((i * 17, 255 - i * 17, (i * 40) % 256)[c] for i in range(16) for c in range(3))


def trailer256():
    return bytes([12]) + bytes(((i * 3) % 256, i, 255 - i)[c] for i in range(256) for c in range(3))


def picture(bits, planes, width, height, extra=0, version=5, trailer=None, box=None,
            x_min=0, y_min=0, pad_short_by=None, encoding=1, kernels=0):
    """A whole valid file of this variant, with minimal BytesPerLine plus extra:
    run-length coded, or its scanlines as they are for encoding 0."""
    bytes_per_line = (width * bits + 7) // 8 + extra
    if trailer is None:
        trailer = bits == 8 and planes == 1
    data = pcx_header(bits, planes, width, height, bytes_per_line, version=version,
                      colormap=colormap16(), box=box, x_min=x_min, y_min=y_min,
                      pad_short_by=pad_short_by, encoding=encoding, kernels=kernels)
    raw = raw_picture(bits, planes, width, height, bytes_per_line)
    data += run_length(raw) if encoding == 1 else raw
    return data + (trailer256() if trailer else b"")


def decode_seeds():
    seeds = {
        # Every variant read, odd and even widths, minimal and padded lines.
        "1bit-9x3.pcx": picture(1, 1, 9, 3),
        "1bit-200x4-padded.pcx": picture(1, 1, 200, 4, extra=3),
        "2bit-5x3.pcx": picture(2, 1, 5, 3),
        "2bit-70x5.pcx": picture(2, 1, 70, 5),
        "4bit-7x4.pcx": picture(4, 1, 7, 4),
        "4bit-50x6-padded.pcx": picture(4, 1, 50, 6, extra=1),
        "8bit-5x3-trailer.pcx": picture(8, 1, 5, 3),
        "8bit-100x40-trailer.pcx": picture(8, 1, 100, 40),
        "8bit-6x2-no-trailer.pcx": picture(8, 1, 6, 2, trailer=False),
        "8bit-1x1-window-at-1-1.pcx": picture(8, 1, 1, 1, x_min=1, y_min=1),
        "24bit-3x2-padded.pcx": picture(8, 3, 3, 2, extra=1),
        "24bit-40x30.pcx": picture(8, 3, 40, 30),
        "24bit-version6-4x2.pcx": picture(8, 3, 4, 2, version=6),
        "24bit-version4-4x2.pcx": picture(8, 3, 4, 2, version=4),
        "8bit-version3-trailer.pcx": picture(8, 1, 4, 2, version=3),
        "8bit-version6-trailer.pcx": picture(8, 1, 4, 2, version=6),
        "32bit-4planes-5x3-padded.pcx": picture(8, 4, 5, 3, extra=1),
        "1bit-2planes-8x2.pcx": picture(1, 2, 8, 2),
        "1bit-3planes-13x3-padded.pcx": picture(1, 3, 13, 3, extra=1),
        "1bit-4planes-9x3.pcx": picture(1, 4, 9, 3, version=2),
        # Every gathering path: 16 bytes of each plane at a time, whole bytes,
        # the pixels of a last partial byte; with each set of kernels.
        **{f"1bit-4planes-300x5-kernels-{n}.pcx": picture(1, 4, 300, 5, kernels=n)
           for n in range(1, 5)},
        # Uncompressed: the scanlines' bytes as they are.
        "stored-8bit-5x3-trailer.pcx": picture(8, 1, 5, 3, encoding=0),
        "stored-24bit-4x2.pcx": picture(8, 3, 4, 2, encoding=0),
        "stored-1bit-4planes-130x3.pcx": picture(1, 4, 130, 3, encoding=0),
        # The decode target pads these so that their codes cross the
        # decoder's first read block boundary at an even and an odd offset.
        "padded-8bit-100x40-trailer.pcx": picture(8, 1, 100, 40, pad_short_by=40),
        "padded-1bit-200x4.pcx": picture(1, 1, 200, 4, pad_short_by=7),
        "padded-24bit-40x30.pcx": picture(8, 3, 40, 30, pad_short_by=1),
        "padded-1bit-4planes-200x4.pcx": picture(1, 4, 200, 4, pad_short_by=3),
        "padded-stored-8bit-100x40.pcx": picture(8, 1, 100, 40, pad_short_by=5, encoding=0),
        "padded-run-header-last-in-block.pcx":
            pcx_header(8, 1, 4, 1, 4, pad_short_by=2) + bytes((0x01, 0xC3, 0x05)),
        # Refused layouts: each header is sound, the depth and planes not.
        "refused-1bit-5planes.pcx": picture(1, 5, 8, 2),
        "refused-2bit-4planes.pcx": picture(2, 4, 8, 2),
        "refused-4bit-2planes.pcx": picture(4, 2, 8, 2),
        "refused-4bit-3planes.pcx": picture(4, 3, 8, 2),
        "refused-8bit-2planes.pcx": picture(8, 2, 4, 2),
        "refused-3bit.pcx": pcx_header(3, 1, 8, 2, 3) + bytes(6),
        "refused-0bit.pcx": pcx_header(0, 1, 8, 2, 1) + bytes(2),
        "refused-16bit.pcx": pcx_header(16, 1, 2, 2, 4) + bytes(8),
        "refused-not-zsoft.pcx": b"\x0b" + picture(8, 1, 4, 2)[1:],
        "refused-encoding2.pcx": pcx_header(8, 1, 4, 2, 4, encoding=2) + bytes(8),
        "refused-short-header.pcx": picture(8, 1, 4, 2)[:100],
    }
    seeds.update(crafted_files())
    return seeds


def crafted_files():
    """Files of the kinds that have broken PCX readers: sizes and lengths that
    disagree, data that ends early or runs on, products past 32 bits."""
    h8 = lambda w, h, bpl, **kw: pcx_header(8, 1, w, h, bpl, **kw)
    return {
        # A width larger than BytesPerLine holds: reading it would overrun.
        "crafted-width-beyond-line-8bit.pcx": h8(64, 2, 16) + run_length(bytes(range(32))),
        "crafted-width-beyond-line-1bit.pcx": pcx_header(1, 1, 447, 4, 52) + bytes(200),
        "crafted-width-beyond-line-24bit.pcx": pcx_header(8, 3, 10, 2, 9) + bytes(60),
        # Empty and negative windows.
        "crafted-window-reversed.pcx": with_window(h8(1, 1, 2), 9, 9, 5, 5) + bytes(4),
        "crafted-window-empty-height.pcx": h8(4, 0, 4) + bytes(4),
        "crafted-bytesperline-zero.pcx": h8(4, 2, 0) + bytes(8),
        # Runs that carry across lines and past the end of the picture, a run
        # of count 0, and a run header with no value byte at the end of the
        # file.
        "crafted-runs-across-lines.pcx": h8(3, 4, 4) + bytes((0xFF, 0x11)),
        "crafted-run-past-the-end.pcx": h8(2, 2, 2) + bytes((0xFF, 0x22, 0xFF, 0x33)),
        "crafted-count-zero-runs.pcx": h8(2, 1, 2) + bytes((0xC0, 0x01, 0xC0, 0x02, 0x05, 0x06)),
        "crafted-run-header-at-end.pcx": h8(4, 1, 4) + bytes((0x01, 0xC3)),
        # Short data: most of the picture never reached; the last code a run,
        # so a decoder writing whole words leaves scratch behind it.
        "crafted-short-data-after-run.pcx": h8(300, 20, 300) + bytes((0xC9, 0x77)) * 40,
        "crafted-no-data-at-all.pcx": h8(16, 16, 16),
        # The 256-colour marker where a short file's trailer would be, and a
        # file too short to hold a trailer at all.
        "crafted-trailer-overlapping-header.pcx": h8(2, 2, 2) + bytes(640) + bytes([12]) +
            bytes(768 - 640),
        "crafted-file-shorter-than-trailer.pcx": h8(2, 2, 2) + bytes((0x01, 0x02, 0x03, 0x04)),
        # Products past 32 bits, in a file of a few bytes: must be refused
        # before anything is allocated.
        "crafted-raw-beyond-32-bits.pcx": pcx_header(8, 3, 65535, 65535, 65535) + bytes(2),
        "crafted-pixels-beyond-32-bits-1bit.pcx": pcx_header(1, 1, 65535, 65535, 8192) + bytes(2),
        "crafted-pixels-beyond-32-bits-24bit.pcx": pcx_header(8, 3, 65535, 9000, 65535) + bytes(2),
        "crafted-widest-window.pcx": with_window(pcx_header(1, 1, 1, 1, 8192), 0, 0, 65535, 65535) +
            bytes(2),
        # Huge BytesPerLine for a tiny picture: raw is what BytesPerLine says.
        "crafted-long-lines-tiny-picture.pcx": h8(1, 3, 65535) + bytes((0xC1, 0x09)),
    }


# Every input that broke the module, as it was found (after minimising),
# with what it broke; each stays in the corpus for good.
REGRESSIONS = {
    "decode": {},
    "preview": {},
    "header": {},
    "export": {},
    "runlength": {
        # Skipping took a whole window whose codes reached the count exactly,
        # and with it the runs of count 0 that followed the last byte.
        "skip-past-zero-runs-after-the-count.bin":
            bytes((60, 0)) + bytes([0x01] * 60) + bytes((0xC0, 0, 0xC0, 0)) + bytes([0x02] * 200),
    },
}


def preview_seeds():
    boxes = {
        "box64": (64, 64), "box1": (1, 1), "box0": (0, 0), "box-negative": (-1, -7),
        "box-narrow": (3, 100), "box-int-min": (-2147483648, 5),
        "box-int-max": (2147483647, 2147483647), "box16x0": (16, 0),
    }
    pictures = [
        ("1bit-300x20", (1, 1, 300, 20), {}), ("2bit-70x9", (2, 1, 70, 9), {}),
        ("4bit-33x17", (4, 1, 33, 17), {}), ("8bit-100x40", (8, 1, 100, 40), {}),
        ("24bit-64x48", (8, 3, 64, 48), {}), ("1bit-4planes-300x20", (1, 4, 300, 20), {}),
        ("1bit-3planes-70x9", (1, 3, 70, 9), {}), ("32bit-4planes-33x17", (8, 4, 33, 17), {}),
        ("stored-1bit-2planes-100x40", (1, 2, 100, 40), {"encoding": 0}),
    ]
    seeds = {}
    for i, (name, (bits, planes, width, height), options) in enumerate(pictures):
        # Each picture with a few of the boxes, every box with some picture.
        for j, (box_name, box) in enumerate(boxes.items()):
            if (i + j) % 3 == 0:
                seeds[f"{name}-{box_name}.pcx"] = picture(bits, planes, width, height, box=box,
                                                          **options)
    seeds["refused-short-header-box1.pcx"] = picture(8, 1, 4, 2, box=(1, 1))[:100]
    seeds["crafted-raw-beyond-32-bits-box1.pcx"] = \
        pcx_header(8, 3, 65535, 65535, 65535, box=(1, 1)) + bytes(2)
    seeds["crafted-pixels-beyond-32-bits-box1.pcx"] = \
        pcx_header(1, 1, 65535, 65535, 8192, box=(1, 1)) + bytes(2)
    return seeds


def header_seeds():
    all_ones = bytearray(pcx_header(8, 1, 1, 1, 1))
    all_ones[3:128] = b"\xff" * 125
    all_ones[2] = 1
    return {
        "valid-8bit.pcx": picture(8, 1, 4, 2),
        "valid-header-only.pcx": pcx_header(4, 1, 3, 3, 2),
        "every-field-at-its-maximum.pcx": bytes(all_ones),
        "manufacturer-9.pcx": pcx_header(8, 1, 4, 2, 4, manufacturer=9),
        "encoding-0.pcx": pcx_header(8, 1, 4, 2, 4, encoding=0),
        "encoding-2.pcx": pcx_header(8, 1, 4, 2, 4, encoding=2),
        "127-bytes.pcx": pcx_header(8, 1, 4, 2, 4)[:127],
        "128-bytes.pcx": pcx_header(8, 1, 4, 2, 4),
        "one-byte.pcx": b"\x0a",
        "empty.pcx": b"",
    }


# --- export records ----------------------------------------------------------------


def record(kind, width, height, stride_mode=0, pad=0, raw_stride=0, flags=0, palette_count=0,
           stop_row=0, answer=0, fill=b""):
    """An input of the export target (layout at the top of export_fuzzer.cpp)."""
    return struct.pack("<biiBBiBiii", kind, width, height, stride_mode, pad, raw_stride, flags,
                       palette_count, stop_row, answer) + fill


def export_seeds():
    busy = bytes((i * 37) % 256 for i in range(97))
    flat = bytes([7] * 70 + [0xC8] * 3 + [0] * 5)
    return {
        "indexed-5x2.bin": record(1, 5, 2, palette_count=4, fill=busy),
        "indexed-64x3-runs.bin": record(1, 64, 3, palette_count=256, fill=flat),
        "indexed-odd-bottom-up.bin": record(1, 7, 4, stride_mode=1, palette_count=2, fill=busy),
        "indexed-padded-rows.bin": record(1, 5, 3, stride_mode=2, pad=3, palette_count=16,
                                          fill=busy),
        "indexed-palette-300.bin": record(1, 2, 2, palette_count=300, fill=busy),
        "indexed-palette-negative.bin": record(1, 2, 2, palette_count=-5, fill=busy),
        "indexed-null-palette-count-0.bin": record(1, 3, 1, flags=2, fill=busy),
        "colour-3x2.bin": record(5, 3, 2, fill=busy),
        "colour-9x5-bottom-up-padded.bin": record(5, 9, 5, stride_mode=3, pad=8, fill=flat),
        "colour-raw-stride.bin": record(5, 4, 3, stride_mode=4, raw_stride=20, fill=busy),
        "stop-at-row-1.bin": record(1, 4, 3, palette_count=1, stop_row=1, answer=1, fill=busy),
        "stop-at-row-3-answer-minus-1.bin": record(5, 4, 5, stop_row=3, answer=-1, fill=busy),
        "no-stop-answer-0.bin": record(1, 4, 3, stop_row=2, answer=0, fill=busy),
        "no-progress-callback.bin": record(5, 4, 3, flags=8, fill=busy),
        "widest.bin": record(1, 65534, 1, fill=flat),
        "tallest.bin": record(1, 1, 65536, fill=busy),
        # Records the writer must refuse, leaving the file as it was.
        "refused-kind-3.bin": record(3, 4, 4, fill=busy),
        "refused-kind-0.bin": record(0, 4, 4, fill=busy),
        "refused-width-0.bin": record(1, 0, 4, fill=busy),
        "refused-width-negative.bin": record(5, -3, 4, fill=busy),
        "refused-width-65535.bin": record(1, 65535, 1, fill=busy),
        "refused-height-65537.bin": record(1, 1, 65537, fill=busy),
        "refused-stride-short.bin": record(5, 4, 2, stride_mode=4, raw_stride=15, fill=busy),
        "refused-stride-0.bin": record(1, 4, 2, stride_mode=4, raw_stride=0, fill=busy),
        "refused-null-pixels.bin": record(1, 4, 2, flags=1, fill=busy),
        "refused-null-palette.bin": record(1, 4, 2, flags=2, palette_count=3, fill=busy),
        "refused-null-record.bin": record(1, 4, 2, flags=4, fill=busy),
    }


# --- run-length code streams ------------------------------------------------------


def codes(out_size, stream):
    return struct.pack("<H", out_size) + bytes(stream)


def mixed_stream(length, seed):
    """Literals, short and long runs, count-0 runs, header look-alike values."""
    out = bytearray()
    state = seed
    while len(out) < length:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        kind = state % 5
        if kind < 2:
            out.append((state >> 8) % 0xC0)
        elif kind == 2:
            out += bytes((0xC0 | ((state >> 8) % 64), 0xC0 | ((state >> 16) % 64)))
        else:
            out += bytes((0xC0 | ((state >> 8) % 8), (state >> 16) % 256))
    return bytes(out[:length])


def runlength_seeds():
    return {
        "literals.bin": codes(8, (0x01, 0x02, 0xBF)),
        "one-run.bin": codes(8, (0xC3, 0x07)),
        "count-zero.bin": codes(8, (0xC0, 0x55, 0x07)),
        "header-without-value.bin": codes(8, (0x01, 0xC5)),
        "run-past-the-end.bin": codes(2, (0xC5, 0x07, 0x33)),
        "out-full.bin": codes(2, (0x01, 0x02, 0x03)),
        "out-empty.bin": codes(0, (0xC5, 0x07)),
        "longest-runs.bin": codes(4000, (0xFF, 0x09) * 80),
        "mixed-bulk.bin": codes(6000, mixed_stream(700, 1)),
        "mixed-small-out.bin": codes(300, mixed_stream(500, 2)),
        "all-headers.bin": codes(3000, bytes(0xC0 | (i % 64) for i in range(400))),
    }


# --- the corpus -------------------------------------------------------------------


def third_party():
    return {"third-party-" + p.name: p.read_bytes()
            for p in sorted(THIRD_PARTY.iterdir())
            if p.suffix in (".pcx", ".bin")}


def corpus():
    made = {
        "decode": {**decode_seeds(), **third_party()},
        "preview": {**preview_seeds(), **third_party()},
        "header": {**header_seeds(), **third_party()},
        "export": export_seeds(),
        "runlength": runlength_seeds(),
    }
    for target, files in REGRESSIONS.items():
        for name, data in files.items():
            made[target]["regression-" + name] = data
    return made


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare the committed corpus with what would be made")
    args = parser.parse_args()
    made = corpus()
    if args.check:
        problems = []
        for target in TARGETS:
            folder = CORPUS / target
            present = {p.name for p in folder.iterdir()} if folder.is_dir() else set()
            for name in sorted(present - made[target].keys()):
                problems.append(f"{target}/{name}: not made by this script")
            for name, data in sorted(made[target].items()):
                path = folder / name
                if name not in present:
                    problems.append(f"{target}/{name}: missing")
                elif path.read_bytes() != data:
                    problems.append(f"{target}/{name}: differs")
        for problem in problems:
            print(problem)
        if problems:
            print("run scripts/make-seed-corpus.py to remake the corpus", file=sys.stderr)
            return 1
        print(f"{sum(len(f) for f in made.values())} seeds, all current")
        return 0
    for target in TARGETS:
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.iterdir():
            if old.name not in made[target]:
                old.unlink()
        for name, data in made[target].items():
            (folder / name).write_bytes(data)
        print(f"{target}: {len(made[target])} seeds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
