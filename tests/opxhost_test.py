#!/usr/bin/python3
"""opxhost end to end, in either build: the command line as a person uses it.

  opxhost_test.py --host build/native/opxhost --testable build/native/opxhost_testable
  opxhost_test.py --host build/win32/opxhost.exe --testable build/win32/opxhost_testable.exe \
                  --wine scripts/wine-run.sh PREFIX

The shipped program is the one under test; the cases that stop a write at a
row or click the export dialog run the test-only build (opxhost_testable),
which alone has the hidden --test-... options for that.

Pictures are made here, converted by opxhost, and the results are checked
with readers that share nothing with the plug-in or the host: the small PCX
reader below and Pillow. Under Wine every opxhost run costs a Wine start, so
each run here converts or describes several files at once.

Natively the settings store is a fresh XDG_CONFIG_HOME; the Windows build
uses the registry of the build's private Wine prefix.
"""
import argparse
import hashlib
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from PIL import Image

ARGS = None
SAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "samples")

EXIT_PLUGIN, EXIT_USAGE, EXIT_MISSING, EXIT_NOT_PCX, EXIT_REFUSED = 1, 2, 3, 4, 5
EXIT_BAD_PICTURE, EXIT_CANNOT_WRITE, EXIT_INTERRUPTED, EXIT_UNAVAILABLE = 6, 7, 8, 9
EXIT_OUT_OF_MEMORY = 11


# --- pictures -------------------------------------------------------------

# Code 9's palette and indices for photo_like(), as made by the native build
# (trailer bytes, then indices). A change to the quantiser changes it: run
# the native build and take the new digest from the failure.
PHOTO_LIKE_CODE_9_MD5 = "550dca3a40eaab8721d9deab7a601ca3"

class Picture:
    def __init__(self, width, height, pixels):
        self.width, self.height, self.pixels = width, height, list(pixels)  # (r, g, b) tuples

    @staticmethod
    def from_pil(image):
        image = image.convert("RGB")
        return Picture(image.width, image.height, image.getdata())

    def to_pil(self):
        image = Image.new("RGB", (self.width, self.height))
        image.putdata(self.pixels)
        return image


def few_colours():
    """16 x 16, every pixel a colour of its own: exactly 256 colours."""
    return Picture(16, 16, [((i * 7) % 256, (i * 13 + 5) % 256, 255 - i) for i in range(256)])


def many_colours():
    """24 x 12, every pixel a colour of its own: 288 colours."""
    return Picture(24, 12, [(i & 255, (i >> 8) * 200, 77) for i in range(288)])


def smooth():
    """A 64 x 48 gradient of 3072 colours, odd rows and columns included."""
    return Picture(63, 47, [(x * 4, y * 5, min(255, (x + y) * 2))
                            for y in range(47) for x in range(63)])


def photo_like():
    """96 x 72, smooth shading under fine noise, as a photograph has: nearly
    every pixel a colour of its own. The noise is a fixed generator's, so the
    picture is the same every run."""
    state, pixels = 12345, []
    for y in range(72):
        for x in range(96):
            state = (state * 1103515245 + 12345) % 2 ** 31
            noise = (state >> 16) % 25 - 12
            pixels.append(tuple(max(0, min(255, v + noise)) for v in (
                40 + 2 * x, 30 + 3 * y, 200 - x - y)))
    return Picture(96, 72, pixels)


def clustered():
    """32 x 32: 1024 colours that all lie within 4 levels of red and green,
    too close together for most of them to get an entry of their own."""
    return Picture(32, 32, [(i & 3, (i >> 2) & 3, i >> 4) for i in range(1024)])


def read_bytes(path):
    with open(path, "rb") as file:
        return file.read()


# --- an independent PCX reader --------------------------------------------

class Pcx:
    """A PCX file as read here: kind 1 (indices and palette) or kind 5."""

    def __init__(self, path):
        data = read_bytes(path)
        (maker, self.version, encoding, self.bits, x0, y0, x1, y1) = struct.unpack_from(
            "<BBBBHHHH", data, 0)
        assert maker == 10 and encoding in (0, 1), "not a PCX file"
        self.planes = data[65]
        line = struct.unpack_from("<H", data, 66)[0]
        self.width, self.height = x1 - x0 + 1, y1 - y0 + 1
        at, size = 128, line * self.planes * self.height
        raw = bytearray(data[at:at + size]) if encoding == 0 else bytearray()
        while len(raw) < size:
            code = data[at]
            at += 1
            if code >= 0xC0:
                raw += bytes((data[at],)) * (code & 0x3F)
                at += 1
            else:
                raw.append(code)
        self.trailer = None
        if self.bits == 8 and self.planes == 1 and len(data) >= 769 and data[-769] == 12:
            t = data[-768:]
            self.trailer = [(t[3 * i], t[3 * i + 1], t[3 * i + 2]) for i in range(256)]
        # Three planes of 8 bits, or four with alpha, which is not read.
        self.kind = 5 if self.bits == 8 and self.planes >= 3 else 1
        self.indices, self.pixels = [], []
        colour_map = [tuple(data[16 + 3 * i:19 + 3 * i]) for i in range(16)]
        for y in range(self.height):
            row = raw[y * line * self.planes:(y + 1) * line * self.planes]
            for x in range(self.width):
                if self.kind == 5:
                    self.pixels.append((row[x], row[line + x], row[2 * line + x]))
                    continue
                per_byte = 8 // self.bits
                shift = 8 - self.bits * (x % per_byte + 1)
                # Several planes of 1 bit: plane p gives bit p of the index.
                index = sum(((row[p * line + x // per_byte] >> shift) & ((1 << self.bits) - 1))
                            << p for p in range(self.planes))
                self.indices.append(index)
                if self.bits == 1 and self.planes == 1:
                    self.pixels.append(((0, 0, 0), (255, 255, 255))[index])
                elif self.bits < 8:
                    self.pixels.append(colour_map[index])
                elif self.trailer:
                    self.pixels.append(self.trailer[index])
                else:
                    self.pixels.append((index, index, index))

    def picture(self):
        return Picture(self.width, self.height, self.pixels)


# --- the documented fixed palette (code 10) ---------------------------------

def fixed_palette():
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    greys = [gap * 51 + (51 * step + 4) // 9 for gap in range(5) for step in range(1, 9)]
    return cube + [(v, v, v) for v in greys]


def nearest(palette, colour):
    """The lowest entry of the smallest squared distance."""
    best, best_distance = 0, None
    for i, entry in enumerate(palette):
        distance = sum((a - b) ** 2 for a, b in zip(entry, colour))
        if best_distance is None or distance < best_distance:
            best, best_distance = i, distance
    return best


def pcx_header(version=5, encoding=1, bits=8, planes=1, window=(0, 0, 7, 1), line=None):
    """A PCX header of any layout, encoding and version."""
    header = bytearray(128)
    struct.pack_into("<BBBBHHHH", header, 0, 10, version, encoding, bits, *window)
    width = window[2] - window[0] + 1
    struct.pack_into("<BH", header, 65, planes,
                     line if line is not None else max(1, (width * bits + 7) // 8 + 1) & ~1)
    return bytes(header)


# --- running opxhost --------------------------------------------------------

def host_path(path):
    """A file name as the host under test takes it."""
    return "Z:" + os.path.abspath(path) if ARGS.wine else path


class Run:
    """One finished run of opxhost: exit code, standard output and error."""

    def __init__(self, code, out, err):
        self.code = code
        self.out = out.decode("utf-8").replace("\r\n", "\n")
        self.err = err.decode("utf-8").replace("\r\n", "\n")

    def __repr__(self):
        return "exit %d\nstdout:\n%s\nstderr:\n%s" % (self.code, self.out, self.err)


def run_program(command, environment, cwd=None):
    """Runs command with its output in files rather than pipes: a wineserver
    that a Windows program starts inherits them and outlives the program, and
    a pipe would stay open (and the run last) until it exits."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                              env=environment, cwd=cwd, timeout=120).returncode
        out.seek(0)
        err.seek(0)
        return Run(code, out.read(), err.read())


class HostTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="opxhost-test-")
        cls.config = os.path.join(cls.root, "config")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=self.root)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def opxhost(self, *args, env=None, cwd=None, testable=False):
        """Runs the shipped opxhost, or with testable the test-only build."""
        # A UTF-8 locale, as a terminal has: Wine reads the command line in it.
        environment = dict(os.environ, XDG_CONFIG_HOME=self.config, LANG="C.UTF-8",
                           LC_ALL="C.UTF-8")
        environment.update(env or {})
        program = ARGS.testable if testable else ARGS.host
        command = ([ARGS.wine, ARGS.prefix] if ARGS.wine else []) + [program] + list(args)
        return run_program(command, environment, cwd)

    def assertRun(self, run, code=0):
        self.assertEqual(run.code, code, run)

    def save(self, picture, name, **options):
        path = self.path(name)
        picture.to_pil().save(path, **options)
        return path

    def assertSamePicture(self, got, want, message=""):
        self.assertEqual((got.width, got.height), (want.width, want.height), message)
        self.assertEqual(got.pixels, want.pixels, message)

    def assertCloseTo(self, got, want, mean_limit, message=""):
        self.assertEqual((got.width, got.height), (want.width, want.height), message)
        error = sum(abs(a - b) for p, q in zip(got.pixels, want.pixels) for a, b in zip(p, q))
        mean = error / (3 * len(want.pixels))
        self.assertLessEqual(mean, mean_limit, message)

    # --- conversions ---------------------------------------------------------

    def test_pictures_round_trip_through_pcx(self):
        """PNG, BMP, PPM, TGA and GIF to PCX (full colour) and back to PNG,
        BMP and PPM, exactly; JPEG closely."""
        sources = {"few": few_colours(), "many": many_colours(), "smooth": smooth()}
        inputs = {}
        for name, picture in sources.items():
            for extension in ("png", "bmp", "ppm", "tga"):
                inputs["%s-%s" % (name, extension)] = (self.save(picture, "%s-%s.%s" % (
                    name, extension, extension)), picture)
        inputs["few-gif"] = (self.save(sources["few"], "few-gif.gif"), sources["few"])
        inputs["smooth-jpg"] = (self.save(sources["smooth"], "smooth-jpg.jpg", quality=95),
                                sources["smooth"])
        pcx = self.path("pcx")
        run = self.opxhost("convert", *[host_path(p) for p, _ in inputs.values()], "--to", "pcx",
                           "--out-dir", host_path(pcx), "--method", "0")
        self.assertRun(run)
        for name, (_, picture) in inputs.items():
            written = Pcx(os.path.join(pcx, name + ".pcx"))
            self.assertEqual(written.kind, 5, name)
            if name.endswith("jpg"):
                self.assertCloseTo(written.picture(), picture, 3, name)
            else:
                self.assertSamePicture(written.picture(), picture, name)

        files = [host_path(os.path.join(pcx, name + ".pcx")) for name in ("few-png", "smooth-png")]
        for fmt in ("png", "bmp", "ppm"):
            back = self.path(fmt)
            self.assertRun(self.opxhost("convert", *files, "--to", fmt, "--out-dir",
                                        host_path(back)))
            for name in ("few-png", "smooth-png"):
                got = Picture.from_pil(Image.open(os.path.join(back, name + "." + fmt)))
                self.assertSamePicture(got, inputs[name][1], fmt + " " + name)

    def test_samples_convert_as_an_independent_reader_sees_them(self):
        """Every variant the plug-in reads comes out with the colours the file
        holds; the 8-bit file without a colour table as grey levels."""
        names = sorted(n for n in os.listdir(SAMPLES) if n.endswith(".pcx"))
        self.assertEqual(len(names), 11)
        out = self.path("png")
        run = self.opxhost("convert", *[host_path(os.path.join(SAMPLES, n)) for n in names],
                           "--to", "png", "--out-dir", host_path(out))
        self.assertRun(run)
        for name in names:
            got = Picture.from_pil(Image.open(os.path.join(out, name[:-4] + ".png")))
            self.assertSamePicture(got, Pcx(os.path.join(SAMPLES, name)).picture(), name)
            self.assertIn(name[:-4] + ".png", run.out)

    def test_japanese_file_names_reach_the_plugin(self):
        """The Windows build hands the plug-in Shift-JIS names ("ソ" ends in
        the byte of a backslash) and refuses a name Shift-JIS cannot write;
        natively names are bytes and pass as they are."""
        source = self.save(few_colours(), "ソフト.png")
        run = self.opxhost("convert", host_path(source), "-o", host_path(self.path("ソフト.pcx")),
                           host_path(source), "--method", "1")
        self.assertRun(run, EXIT_USAGE)  # -o with two inputs
        run = self.opxhost("convert", host_path(source), "-o", host_path(self.path("ソフト.pcx")),
                           "--method", "1")
        self.assertRun(run)
        self.assertSamePicture(Pcx(self.path("ソフト.pcx")).picture(), few_colours())
        run = self.opxhost("info", host_path(self.path("ソフト.pcx")))
        self.assertRun(run)
        self.assertIn("ソフト.pcx: accepted, 16 x 16, indexed, 256 colours", run.out)
        run = self.opxhost("convert", host_path(source), "-o", host_path(self.path("😀.pcx")),
                           "--method", "0")
        if ARGS.wine:
            self.assertRun(run, EXIT_CANNOT_WRITE)
            self.assertIn("the plug-in takes only Shift-JIS names", run.err)
            self.assertFalse(os.path.exists(self.path("😀.pcx")))
        else:
            self.assertRun(run)
            self.assertEqual(Pcx(self.path("😀.pcx")).kind, 5)

    def test_preview_is_the_plugins_reduced_picture(self):
        source = Pcx(os.path.join(SAMPLES, "rgb-24bit.pcx")).picture()  # 121 x 80
        out = self.path("preview.png")
        run = self.opxhost("preview", host_path(os.path.join(SAMPLES, "rgb-24bit.pcx")),
                           host_path(out), "--box", "32x32")
        self.assertRun(run)
        # Scale 2: every second pixel of every second row.
        want = Picture(61, 40, [source.pixels[2 * y * 121 + 2 * x]
                                for y in range(40) for x in range(61)])
        self.assertSamePicture(Picture.from_pil(Image.open(out)), want)
        self.assertIn("preview 61 x 40 for a 32 x 32 box", run.out)

    # --- transform codes -------------------------------------------------------

    def convert_with_method(self, method, pictures):
        names = [self.save(picture, "%s.png" % name) for name, picture in pictures.items()]
        out = self.path("m%d" % method)
        return self.opxhost("convert", *[host_path(n) for n in names], "--to", "pcx",
                            "--out-dir", host_path(out), "--method", str(method)), out

    def test_code_5_is_indexed_exactly_when_256_colours_suffice(self):
        run, out = self.convert_with_method(1, {"few": few_colours(), "many": many_colours()})
        self.assertRun(run)
        few = Pcx(os.path.join(out, "few.pcx"))
        self.assertEqual((few.kind, few.bits, few.planes), (1, 8, 1))
        self.assertIsNotNone(few.trailer)
        self.assertSamePicture(few.picture(), few_colours())
        many = Pcx(os.path.join(out, "many.pcx"))
        self.assertEqual(many.kind, 5)
        self.assertSamePicture(many.picture(), many_colours())
        self.assertIn("transform code 5, 8-bit indexed, 256 colours", run.out)

    def test_code_9_gives_an_optimised_palette(self):
        """Both builds: a picture of at most 256 colours keeps exactly its
        colours; any other gets a palette of which every entry is used, and
        comes out close to the picture, far closer than the fixed palette
        brings it."""
        pictures = {"few": few_colours(), "smooth": smooth(), "photo": photo_like(),
                    "clustered": clustered()}
        run, out = self.convert_with_method(2, pictures)
        self.assertRun(run)
        written = {name: Pcx(os.path.join(out, name + ".pcx")) for name in pictures}
        for name, pcx in written.items():
            self.assertEqual((pcx.kind, pcx.bits, pcx.planes), (1, 8, 1), name)
            self.assertIsNotNone(pcx.trailer, name)
        self.assertSamePicture(written["few"].picture(), few_colours())
        self.assertEqual(sorted(written["few"].trailer), sorted(set(few_colours().pixels)))

        # The palette's first entries are the used ones; unused trailer
        # entries would be colours the quantiser made and then lost.
        used = {name: sorted(set(pcx.indices)) for name, pcx in written.items()}
        for name in ("smooth", "photo"):
            self.assertEqual(used[name], list(range(256)), name)
        self.assertEqual(used["clustered"], list(range(len(used["clustered"]))))
        self.assertLessEqual(len(used["clustered"]), 16)  # one entry at most per 4-level cell

        palette = fixed_palette()
        for name, limit in (("smooth", 4), ("photo", 6), ("clustered", 1.5)):
            picture = pictures[name]
            self.assertCloseTo(written[name].picture(), picture, limit, name)
            cache = {}
            fixed = Picture(picture.width, picture.height, [
                palette[cache.setdefault(p, nearest(palette, p))] for p in picture.pixels])
            with self.assertRaises(AssertionError, msg="the fixed palette passes " + name):
                self.assertCloseTo(fixed, picture, limit, name)

        # The quantiser does integer arithmetic only, so both builds give
        # these indices and this palette; the digest is the native build's.
        digest = hashlib.md5(bytes(v for entry in written["photo"].trailer for v in entry) +
                             bytes(written["photo"].indices)).hexdigest()
        self.assertEqual(digest, PHOTO_LIKE_CODE_9_MD5)

    def test_code_10_maps_to_the_nearest_colour_of_the_fixed_palette(self):
        run, out = self.convert_with_method(3, {"smooth": smooth(), "many": many_colours()})
        self.assertRun(run)
        palette = fixed_palette()
        for name, picture in (("smooth", smooth()), ("many", many_colours())):
            written = Pcx(os.path.join(out, name + ".pcx"))
            self.assertEqual(written.kind, 1, name)
            self.assertEqual(written.trailer, palette, name)
            cache = {}
            want = [cache.setdefault(p, nearest(palette, p)) for p in picture.pixels]
            self.assertEqual(written.indices, want, name)

    def test_stored_method_is_used_and_an_override_is_not_stored(self):
        """The method the plug-in stores decides the conversion; --method
        decides one run only and leaves the store as it was."""
        if ARGS.wine:
            # A person's clicks in the export dialog store method 1.
            run = self.opxhost("options", "--dialog", "--test-dialog-clicks", "1,OK",
                               testable=True)
            self.assertRun(run)
        else:
            os.makedirs(os.path.join(self.config, "pcx-opx"), exist_ok=True)
            with open(os.path.join(self.config, "pcx-opx", "settings"), "w") as store:
                store.write('[\\Software\\TALVERN\\Ostra\\Plugin\\TALVERN\\EPcx]\n'
                            '"TransformMethod"=dword:00000001\n')
        try:
            few = self.save(few_colours(), "few.png")
            self.assertRun(self.opxhost("convert", host_path(few), "-o",
                                        host_path(self.path("stored.pcx"))))
            self.assertEqual(Pcx(self.path("stored.pcx")).kind, 1)
            self.assertRun(self.opxhost("convert", host_path(few), "-o",
                                        host_path(self.path("override.pcx")), "--method", "0"))
            self.assertEqual(Pcx(self.path("override.pcx")).kind, 5)
            if ARGS.wine:
                # Cancel keeps the stored method whatever was clicked.
                run = self.opxhost("options", "--dialog", "--test-dialog-clicks", "3,Cancel",
                                   testable=True)
                self.assertIn("cancelled", run.out)
            else:
                run = self.opxhost("options")
            self.assertRun(run)
            self.assertIn("stored method: 1 フルカラー と 可能ならば、256色 を使う", run.out)
            self.assertIn("transform code: 5", run.out)
        finally:
            if ARGS.wine:
                self.opxhost("options", "--dialog", "--test-dialog-clicks", "0,OK", testable=True)

    def test_a_method_without_a_code_leaves_the_picture_in_full_colour(self):
        """A stored method outside 0 to 3 names no transform code: the host
        says so and writes full colour."""
        if ARGS.wine:
            self.skipTest("the native store is seeded here; the registry case is the plug-in's")
        config = os.path.join(self.dir, "config")
        os.makedirs(os.path.join(config, "pcx-opx"))
        with open(os.path.join(config, "pcx-opx", "settings"), "w") as store:
            store.write('[\\Software\\TALVERN\\Ostra\\Plugin\\TALVERN\\EPcx]\n'
                        '"TransformMethod"=dword:00000007\n')
        few = self.save(few_colours(), "few.png")
        run = self.opxhost("convert", few, "-o", self.path("few.pcx"),
                           env={"XDG_CONFIG_HOME": config})
        self.assertRun(run)
        self.assertIn("names no transform code", run.err)
        self.assertEqual(Pcx(self.path("few.pcx")).kind, 5)
        run = self.opxhost("options", env={"XDG_CONFIG_HOME": config})
        self.assertRun(run)
        self.assertEqual(run.out, "stored method: none of 0 to 3 (the plug-in names no transform "
                                  "code)\n")

    # --- info and failures ---------------------------------------------------------

    def refused_pcx(self):
        """A header the plug-in accepts, of a layout it does not decode: two
        planes of 4 bits."""
        header = bytearray(128)
        struct.pack_into("<BBBBHHHH", header, 0, 10, 5, 1, 4, 0, 0, 7, 0)
        struct.pack_into("<BH", header, 65, 2, 4)
        path = self.path("planes.pcx")
        with open(path, "wb") as out:
            out.write(bytes(header) + bytes(8))
        return path

    def test_info_reports_good_files_and_says_which_it_does_not_take(self):
        not_pcx = self.save(few_colours(), "picture.png")
        good = os.path.join(SAMPLES, "palette-8bit.pcx")
        grey = os.path.join(SAMPLES, "grey-8bit-notable.pcx")
        # Four planes of 1 bit, uncompressed; four planes of 8 bits.
        sixteen = self.write("sixteen.pcx", pcx_header(encoding=0, bits=1, planes=4,
                                                       window=(0, 0, 7, 0)) + bytes(4))
        rgba = self.write("rgba.pcx", pcx_header(planes=4) + bytes(64))
        run = self.opxhost("info", host_path(good), host_path(not_pcx), host_path(grey),
                           host_path(self.refused_pcx()), host_path(sixteen), host_path(rgba))
        self.assertRun(run, EXIT_NOT_PCX)  # the first failure's code
        self.assertIn("palette-8bit.pcx: accepted, 96 x 64, indexed, 256 colours, 1 plane of "
                      "8 bits\n"
                      "    * PCX FILE (decoder records) *\n\n"
                      "    Manufacturer(ID) : 10\n", run.out)
        self.assertIn("grey-8bit-notable.pcx: accepted, 96 x 64, indexed, no colour table", run.out)
        self.assertIn("sixteen.pcx: accepted, 8 x 1, indexed, 16 colours, 4 planes of 1 bit, "
                      "uncompressed\n", run.out)
        self.assertIn("rgba.pcx: accepted, 8 x 2, 24-bit colour (alpha dropped), 4 planes of "
                      "8 bits\n", run.out)
        self.assertIn("picture.png: not accepted by the plug-in\n"
                      "    イメージファイルでは、ないようです。\n", run.out)
        self.assertIn("planes.pcx: header accepted, picture refused", run.out)
        self.assertIn("    NPlanes : 2\n", run.out)
        self.assertIn("picture.png: not a PCX file", run.err)

    def test_each_failure_has_its_exit_code_and_one_line(self):
        garbage = self.path("garbage.png")
        with open(garbage, "wb") as out:
            out.write(b"these bytes are no picture")
        cases = [
            (("info", host_path(self.path("missing.pcx"))), EXIT_MISSING, "no such file"),
            (("info", host_path(self.refused_pcx())), EXIT_REFUSED, "cannot decode"),
            (("convert", host_path(garbage), "-o", host_path(self.path("x.pcx"))),
             EXIT_BAD_PICTURE, "not a picture the host can read"),
            (("convert", host_path(os.path.join(SAMPLES, "mono-1bit.pcx")), "-o",
              host_path(self.path("no-folder", "x.png"))), EXIT_CANNOT_WRITE, "does not exist"),
            (("convert", host_path(garbage)), EXIT_USAGE, "give -o OUT, or --to FORMAT"),
            (("--plugin", host_path(self.path("nowhere.opx")), "about"), EXIT_PLUGIN,
             "cannot load the plug-in"),
        ]
        if not ARGS.wine:
            cases.append((("options", "--dialog"), EXIT_UNAVAILABLE, "only in the Windows build"))
        for args, code, words in cases:
            run = self.opxhost(*args)
            self.assertRun(run, code)
            self.assertIn(words, run.err, args)
            self.assertTrue(run.err.startswith("opxhost: "), run)
        self.assertEqual(sorted(os.listdir(self.dir)), ["garbage.png", "planes.pcx"])

    def test_a_plugin_named_without_a_folder_is_the_file_in_the_current_one(self):
        """--plugin NAME means ./NAME, not a search of the library path."""
        module = os.path.join(os.path.dirname(os.path.abspath(ARGS.host)), "Pcx.opx")
        shutil.copy(module, self.path("Other.opx"))
        run = self.opxhost("--plugin", "Other.opx", "about", cwd=self.dir)
        self.assertRun(run)
        self.assertIn("name:        ZSoftPCX\n", run.out)
        self.assertIn("Other.opx\n", run.out)

    def write_over_an_older_file(self, *aid):
        """Converts a picture to PCX over an older file with a testing aid
        that ends the write early; checks that the older file is untouched
        and nothing else is left, and gives the run."""
        source = self.save(smooth(), "smooth.png")
        out = self.path("out.pcx")
        with open(out, "wb") as old:
            old.write(b"older file")
        run = self.opxhost("convert", host_path(source), "-o", host_path(out), "--method", "0",
                           *aid, testable=True)
        self.assertEqual(read_bytes(out), b"older file", run)
        self.assertEqual(sorted(os.listdir(self.dir)), ["out.pcx", "smooth.png"], run)
        return run

    def test_an_interrupted_write_leaves_no_partial_file(self):
        """Ctrl-C while a PCX file is written (delivered at row 5 by the
        testing aid): exit 8, a message, the older file untouched, nothing
        else left."""
        run = self.write_over_an_older_file("--test-stop-at-row", "5")
        self.assertRun(run, EXIT_INTERRUPTED)
        self.assertIn("interrupted before row 5 of 47: the file is incomplete and was removed",
                      run.err)

    def test_memory_running_out_inside_the_plugins_write_leaves_no_file(self):
        """A failed allocation in the progress callback (at row 5, by the
        testing aid): the plug-in is asked to stop and finishes its own file
        before opxhost ends, so exit 11, one line, the older file untouched
        and no temporary file of opxhost's or of the plug-in's left."""
        run = self.write_over_an_older_file("--test-out-of-memory-at-row", "5")
        self.assertRun(run, EXIT_OUT_OF_MEMORY)
        self.assertIn("out of memory: stopped, and the file being written was not kept", run.err)

    def test_signals_that_end_a_run_remove_its_incomplete_file(self):
        """SIGTERM and SIGHUP, delivered at row 5 by the testing aid, stop the
        write as Ctrl-C does: exit 8, the older file untouched, nothing else
        left."""
        if ARGS.wine:
            self.skipTest("Unix signals; under Wine they end the program outright")
        source = self.save(smooth(), "smooth.png")
        out = self.path("out.pcx")
        with open(out, "wb") as old:
            old.write(b"older file")
        for signal_name in ("TERM", "HUP"):
            run = self.opxhost("convert", host_path(source), "-o", host_path(out), "--method",
                               "0", "--test-stop-at-row", "5", "--test-stop-signal", signal_name,
                               testable=True)
            self.assertRun(run, EXIT_INTERRUPTED)
            self.assertIn("interrupted before row 5 of 47", run.err)
            self.assertEqual(read_bytes(out), b"older file")
            self.assertEqual(sorted(os.listdir(self.dir)), ["out.pcx", "smooth.png"])

    def test_links_are_written_through_and_planted_ones_never(self):
        """An output that is a link updates the file it names and stays a
        link; a link planted where the temporary file used to be made
        (OUT.opxhost-part) redirects nothing."""
        source = self.save(few_colours(), "few.png")
        os.mkdir(self.path("elsewhere"))
        notes = self.path("notes.txt")
        with open(notes, "w") as file:
            file.write("my notes")
        os.symlink(notes, self.path("out.pcx.opxhost-part"))
        for name in ("real.pcx", "real.png"):
            with open(self.path("elsewhere", name), "wb") as file:
                file.write(b"old")
            os.symlink(os.path.join("elsewhere", name), self.path("link-" + name))
        run = self.opxhost("convert", host_path(source), "-o", host_path(self.path("out.pcx")),
                           "--method", "0")
        self.assertRun(run)
        run = self.opxhost("convert", host_path(source), "-o",
                           host_path(self.path("link-real.pcx")), "--method", "0")
        self.assertRun(run)
        run = self.opxhost("convert", host_path(source), "-o",
                           host_path(self.path("link-real.png")))
        self.assertRun(run)
        with open(notes) as file:
            self.assertEqual(file.read(), "my notes")
        self.assertSamePicture(Pcx(self.path("out.pcx")).picture(), few_colours())
        for name in ("link-real.pcx", "link-real.png"):
            self.assertTrue(os.path.islink(self.path(name)), name)
        self.assertSamePicture(Pcx(self.path("elsewhere", "real.pcx")).picture(), few_colours())
        self.assertSamePicture(Picture.from_pil(Image.open(self.path("elsewhere", "real.png"))),
                               few_colours())
        self.assertEqual(sorted(os.listdir(self.dir)),
                         ["elsewhere", "few.png", "link-real.pcx", "link-real.png", "notes.txt",
                          "out.pcx", "out.pcx.opxhost-part"])
        self.assertEqual(sorted(os.listdir(self.path("elsewhere"))), ["real.pcx", "real.png"])

    def test_outputs_and_inputs_that_are_not_files(self):
        """A character device as the output is written in place and stays a
        device; a FIFO without a reader refuses at once and stays; a FIFO as
        an input is refused at once."""
        source = self.save(few_colours(), "few.png")
        device = self.path("null-device")
        try:
            os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
            open(device, "wb").close()
        except OSError:
            if os.geteuid() == 0:
                self.skipTest("no device nodes here, and /dev/null is not to be risked")
            device = "/dev/null"  # not ours to replace
        fifo = self.path("fifo.pcx")
        os.mkfifo(fifo)
        for to in ("pcx", "png"):
            run = self.opxhost("convert", host_path(source), "-o", host_path(device), "--to", to,
                               "--method", "0")
            self.assertRun(run)
            self.assertTrue(stat.S_ISCHR(os.stat(device).st_mode), to)
            started = time.monotonic()
            run = self.opxhost("convert", host_path(source), "-o", host_path(fifo), "--to", to,
                               "--method", "0")
            self.assertLess(time.monotonic() - started, 20, to)  # a Wine start included
            self.assertRun(run, EXIT_CANNOT_WRITE)
            self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode), to)
        started = time.monotonic()
        run = self.opxhost("info", host_path(fifo))
        self.assertLess(time.monotonic() - started, 20)
        self.assertRun(run, EXIT_MISSING)
        self.assertIn("fifo.pcx: is not a regular file", run.err)

    def test_two_runs_writing_one_output_leave_one_whole_picture(self):
        """Each run writes a temporary file of its own: both succeed, and the
        output is always exactly what one of the two runs writes alone, never
        a mixture. (With one shared temporary name, 4 of 6 such pairs of runs
        left a mixture.)"""
        import random
        sources = []
        for seed in (1, 2):
            noise = random.Random(seed).randbytes(1200 * 1000 * 3)
            sources.append(self.path("p%d.png" % seed))
            Image.frombytes("RGB", (1200, 1000), noise).save(sources[-1])
        alone = []
        for source in sources:
            self.assertRun(self.opxhost("convert", host_path(source), "-o",
                                        host_path(self.path("alone.pcx")), "--method", "0"))
            alone.append(read_bytes(self.path("alone.pcx")))
        os.remove(self.path("alone.pcx"))
        out = self.path("out.pcx")
        environment = dict(os.environ, XDG_CONFIG_HOME=self.config, LANG="C.UTF-8",
                           LC_ALL="C.UTF-8")
        for attempt in range(3):
            errors = [tempfile.TemporaryFile() for _ in sources]
            runs = [subprocess.Popen(([ARGS.wine, ARGS.prefix] if ARGS.wine else []) +
                                     [ARGS.host, "convert", host_path(source), "-o",
                                      host_path(out), "--method", "0"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=error, env=environment)
                    for source, error in zip(sources, errors)]
            codes = [run.wait(timeout=120) for run in runs]
            said = []
            for error in errors:
                error.seek(0)
                said.append(error.read().decode("utf-8"))
                error.close()
            # Windows refuses to move a file over one that another process
            # holds open, and Wine does the same: a run that moves its file
            # into place while the other has the output open for a moment
            # is refused (1 pair in 150, when each step was tried once). The
            # last step of a write waits such a hold out, so both succeed.
            self.assertEqual(codes, [0, 0], said)
            self.assertIn(read_bytes(out), alone, attempt)
        self.assertEqual(sorted(set(os.listdir(self.dir)) - self.wine_replace_leftovers()),
                         ["out.pcx", "p1.png", "p2.png"])

    def wine_replace_leftovers(self):
        """Wine's ReplaceFileW first makes an empty file of a GetTempFileNameW
        name (rfXXXX.tmp) and moves the old file onto it. When the other run
        has just moved that file away, the move fails, ReplaceFileW leaves its
        empty file behind and the write moves its file into place instead.
        These are Wine's, not the plug-in's temporary files (about 1 pair of
        runs in 30 left one)."""
        if not ARGS.wine:
            return set()
        return {name for name in os.listdir(self.dir)
                if re.fullmatch(r"rf[0-9a-f]{1,4}\.tmp", name)
                and os.path.getsize(self.path(name)) == 0}

    @unittest.skipIf(sys.platform != "linux", "a terminal is a native matter")
    def test_progress_bar_only_on_a_terminal(self):
        if ARGS.wine:
            self.skipTest("the Windows build's console is not emulated here")
        import pty
        source = self.save(smooth(), "smooth.png")
        quiet = self.opxhost("convert", host_path(source), "-o", self.path("a.pcx"))
        self.assertRun(quiet)
        self.assertEqual(quiet.err, "")

        main, terminal = pty.openpty()
        environment = dict(os.environ, XDG_CONFIG_HOME=self.config)
        process = subprocess.Popen([ARGS.host, "convert", source, "-o", self.path("b.pcx")],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=terminal, env=environment)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(main, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
        process.wait(timeout=60)
        os.close(main)
        self.assertEqual(process.returncode, 0)
        self.assertIn(b"[##############################] 100%", shown)
        self.assertIn(b"\rwriting ", shown)

    # --- why a file is refused, names, the store, memory, test switches --------

    def write(self, name, data):
        path = self.path(name)
        with open(path, "wb") as out:
            out.write(data)
        return path

    def test_a_refused_picture_says_which_layout_and_why(self):
        """One file per reason the decoder gives (the format unit's
        classifyHeader), and a file of another encoding, which the plug-in
        does not take as PCX at all."""
        cases = [
            ("planes.pcx", pcx_header(bits=4, planes=2),
             "2 planes of 4 bits, a layout the plug-in does not read"),
            ("five.pcx", pcx_header(bits=1, planes=5),
             "5 planes of 1 bit, a layout the plug-in does not read"),
            ("two.pcx", pcx_header(encoding=0, planes=2),
             "2 planes of 8 bits, uncompressed, a layout the plug-in does not read"),
            ("empty.pcx", pcx_header(window=(5, 0, 4, 1)), "the picture's window is empty"),
            ("short.pcx", pcx_header(line=2),
             "the plane lines are too short for a row (256 colours in 1 plane of 8 bits; "
             "BytesPerLine 2 for 8 pixels of 8 bits)"),
            ("large.pcx", pcx_header(planes=3, window=(0, 0, 65534, 65534), line=65535),
             "the picture is too large (24-bit colour in 3 planes of 8 bits, 65535 x 65535)"),
        ]
        files = [self.write(name, header + bytes(64)) for name, header, _ in cases]
        raw = self.write("raw.pcx", pcx_header(encoding=2) + bytes(16))
        run = self.opxhost("info", *[host_path(f) for f in files + [raw]])
        self.assertRun(run, EXIT_REFUSED)
        for name, _, words in cases:
            self.assertIn(name + ": header accepted, picture refused: ", run.out)
            line = [l for l in run.out.splitlines() if l.startswith(host_path(self.path(name)))]
            self.assertIn(words, line[0])
            self.assertIn("%s: cannot decode this PCX file: %s" % (name, words), run.err)
        self.assertIn("raw.pcx: not accepted by the plug-in: Encoding 2, neither uncompressed "
                      "(0) nor run-length coded (1): the plug-in reads PCX files of those two "
                      "encodings only\n", run.out)
        self.assertIn("raw.pcx: not a PCX file the plug-in accepts: Encoding 2, neither", run.err)

        # convert and preview give the same reasons.
        run = self.opxhost("convert", host_path(files[0]), host_path(raw), "--to", "png")
        self.assertRun(run, EXIT_REFUSED)
        self.assertIn("planes.pcx: cannot decode this PCX file: 2 planes of 4 bits", run.err)
        self.assertIn("raw.pcx: not a PCX file the plug-in accepts: Encoding 2", run.err)
        run = self.opxhost("preview", host_path(files[4]), host_path(self.path("p.png")))
        self.assertRun(run, EXIT_REFUSED)
        self.assertIn("the plane lines are too short", run.err)
        self.assertEqual(sorted(n for n in os.listdir(self.dir) if not n.endswith(".pcx")), [])

    def test_a_name_shift_jis_cannot_write_is_refused_with_the_reason(self):
        """The Windows build hands the plug-in Shift-JIS names: an input or an
        output named with a character outside it (é) is refused and says so;
        natively names are bytes and work."""
        source = self.path("café.pcx")
        shutil.copy(os.path.join(SAMPLES, "mono-1bit.pcx"), source)
        png = self.save(few_colours(), "few.png")
        runs = [self.opxhost("info", host_path(source)),
                self.opxhost("convert", host_path(source), "-o", host_path(self.path("a.png"))),
                self.opxhost("convert", host_path(png), "-o", host_path(self.path("thé.pcx")),
                             "--method", "0")]
        if not ARGS.wine:
            for run in runs:
                self.assertRun(run)
            return
        for run, code in zip(runs, (EXIT_MISSING, EXIT_MISSING, EXIT_CANNOT_WRITE)):
            self.assertRun(run, code)
            self.assertIn("the plug-in takes only Shift-JIS names, and this one has a character "
                          "Shift-JIS cannot write", run.err)
        self.assertEqual(sorted(os.listdir(self.dir)), ["café.pcx", "few.png"])

    def registry(self, *args):
        """reg.exe in the test prefix; its exit code. Its messages are not
        read: they come in the console's code page (932 in the Japanese
        pass), not in UTF-8."""
        with tempfile.TemporaryFile() as out:
            return subprocess.run([ARGS.wine, ARGS.prefix, "reg"] + list(args),
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                  timeout=120).returncode

    def test_no_save_leaves_the_stored_method_alone(self):
        """Every run stores the method when it ends, as the host application
        does, so a removed setting comes back; --no-save stores nothing, and
        a method chosen in the dialog then lasts for that run only."""
        key = "HKCU\\Software\\TALVERN\\Ostra\\Plugin\\TALVERN\\EPcx"
        config = self.path("config")
        store = os.path.join(config, "pcx-opx", "settings")
        env = {"XDG_CONFIG_HOME": config}

        def stored():
            if ARGS.wine:
                return self.registry("query", key, "/v", "TransformMethod") == 0
            return os.path.exists(store)

        if ARGS.wine:
            self.registry("delete", key, "/f")
        self.assertFalse(stored())
        self.assertRun(self.opxhost("--no-save", "options", env=env))
        self.assertFalse(stored())
        self.assertRun(self.opxhost("options", env=env))
        self.assertTrue(stored())
        if not ARGS.wine:
            return
        run = self.opxhost("--no-save", "options", "--dialog", "--test-dialog-clicks", "2,OK",
                           testable=True)
        self.assertRun(run)
        self.assertIn("accepted for this run only (--no-save)", run.out)
        run = self.opxhost("options")
        self.assertIn("stored method: 0 ", run.out)

    def test_running_out_of_memory_is_reported_with_its_exit_code(self):
        """Under an address-space limit: the plug-in's failed allocation (its
        decode of 8000 x 8000 x 4 bytes) and the host's own (a failed operator
        new, past the picture the plug-in gave) each end with one line and
        exit 11, never an abort, and leave no file behind."""
        if ARGS.wine or not shutil.which("prlimit"):
            self.skipTest("a native address-space limit (prlimit)")
        with open(ARGS.host, "rb") as program:
            if b"__asan_init" in program.read():
                self.skipTest("AddressSanitizer reserves more address space than the limit")
        line = bytes((0xFF, 90)) * 126 + bytes((0xC0 | 62, 90))  # 8000 bytes of 90
        big = self.write("big.pcx", pcx_header(planes=3, window=(0, 0, 7999, 7999), line=8000) +
                         line * 3 * 8000)
        out = self.path("out.png")
        environment = dict(os.environ, XDG_CONFIG_HOME=self.config)
        for megabytes, words in ((128, "memory ran out while it decoded the picture"),
                                 (350, "opxhost: out of memory: stopped")):
            run = run_program(["prlimit", "--as=%d" % (megabytes << 20), ARGS.host, "convert",
                               big, "-o", out], environment)
            self.assertRun(run, EXIT_OUT_OF_MEMORY)
            self.assertIn(words, run.err, megabytes)
            self.assertEqual(len(run.err.splitlines()), 1, run)
        self.assertEqual(os.listdir(self.dir), ["big.pcx"])

    def test_the_shipped_program_takes_no_test_switch(self):
        """The hidden options exist only in the test-only build, and no
        environment variable steers the shipped one."""
        source = self.save(smooth(), "smooth.png")
        out = self.path("out.pcx")
        run = self.opxhost("convert", host_path(source), "-o", host_path(out),
                           "--test-stop-at-row", "5")
        self.assertRun(run, EXIT_USAGE)
        self.assertIn("unknown option --test-stop-at-row", run.err)
        run = self.opxhost("convert", host_path(source), "-o", host_path(out), "--method", "0",
                           env={"OPXHOST_STOP_AT_ROW": "5", "OPXHOST_STOP_SIGNAL": "TERM",
                                "OPXHOST_DIALOG_CLICKS": "2,OK"})
        self.assertRun(run)
        self.assertSamePicture(Pcx(out).picture(), smooth())

def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--testable", required=True)
    parser.add_argument("--wine", nargs=2, metavar=("RUNNER", "PREFIX"))
    parser.add_argument("rest", nargs="*")
    ARGS = parser.parse_args()
    ARGS.host = os.path.abspath(ARGS.host)
    ARGS.testable = os.path.abspath(ARGS.testable)
    if ARGS.wine:
        ARGS.wine, ARGS.prefix = (os.path.abspath(p) for p in ARGS.wine)
    unittest.main(argv=[sys.argv[0]] + ARGS.rest, verbosity=2)


if __name__ == "__main__":
    main()
