#!/usr/bin/python3
"""The benchmark programs of one build run and report what make bench reads.

    bench_programs_test.py --build BUILD_DIR [--wine RUNNER PREFIX]

pcx_bench_driver (every operation) and pcx_bench_floor run on 1024 x 1024
pictures made here with Pillow, natively or under Wine; each must print one
JSON object with the same fields in both builds, a time for every run, the
sizes of the picture's buffers, and a first run's peak memory that holds at
least the buffers it made. Nothing here is timed against anything.

In the native build's run, scripts/bench-compare.py --chart-from draws the
chart of a run saved by --json, made up here: a bar for each row that has a
time, with the pictures and operations of the data (one the script does not
time among them), the DLL's emulated rows marked, and the date and machine
in its title.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from PIL import Image

ARGS = None
BENCH_COMPARE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "scripts", "bench-compare.py")
SVG_NAMES = {"svg": "http://www.w3.org/2000/svg"}
SIDE = 1024
REPS = 2
DRIVER_FIELDS = {"op", "peak_kib", "peak_method", "raw_kib", "pixels_kib", "faults_per_run",
                 "user_per_run", "system_per_run", "times"}
FLOOR_FIELDS = DRIVER_FIELDS - {"raw_kib", "pixels_kib"}


class BenchProgramsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="bench-programs-test-")
        # Noise-like content in both depths; the 8-bit picture with a full
        # colour table, as the benchmark's inputs have.
        data = bytes((x * 7 + (x >> 10) * 13) & 0xFF for x in range(SIDE * SIDE * 3))
        Image.frombytes("RGB", (SIDE, SIDE), data).save(cls.file("rgb.pcx"), format="PCX")
        indexed = Image.frombytes("L", (SIDE, SIDE), data[:SIDE * SIDE]).convert("P")
        indexed.putpalette(bytes(range(256)) * 3)
        indexed.save(cls.file("indexed.pcx"), format="PCX")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def file(cls, name):
        return os.path.join(cls.dir, name)

    def run_program(self, name, *args):
        program = os.path.join(ARGS.build, name + (".exe" if ARGS.wine else ""))
        if ARGS.wine:
            args = ["Z:" + a if os.path.isabs(a) else a for a in args]
            command = [ARGS.wine, ARGS.prefix, program] + list(args)
        else:
            command = [program] + list(args)
        # Output to files: a wineserver would inherit a pipe and hold it.
        environment = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  env=environment, timeout=120).returncode
            out.seek(0)
            err.seek(0)
            text, errors = out.read().decode(), err.read().decode()
        self.assertEqual(code, 0, "%s: %s" % (" ".join(command), errors))
        lines = text.strip().splitlines()
        self.assertEqual(len(lines), 1, text)
        return json.loads(lines[0])

    def check_common(self, report, fields, op):
        self.assertEqual(set(report), fields)
        self.assertEqual(report["op"], op)
        self.assertEqual(len(report["times"]), REPS)
        self.assertTrue(all(t > 0 for t in report["times"]), report["times"])
        # Linux resets its high-water mark before the first run; Windows
        # cannot, and the first run, made before anything else large, raises
        # it. A write, after decoding its source, is sampled there.
        expected = {"reset"} if not ARGS.wine else (
            {"first", "sampled"} if op == "write" else {"first"})
        if op != "header":
            self.assertIn(report["peak_method"], expected, report)

    def test_decode_and_preview_report_their_buffers(self):
        for name, bytes_per_pixel, planes in (("rgb.pcx", 4, 3), ("indexed.pcx", 1, 1)):
            with self.subTest(name):
                path = self.file(name)
                decode = self.run_program("pcx_bench_driver", "decode", path, str(REPS))
                self.check_common(decode, DRIVER_FIELDS, "decode")
                self.assertEqual(decode["pixels_kib"], SIDE * SIDE * bytes_per_pixel // 1024)
                self.assertEqual(decode["raw_kib"], SIDE * SIDE * planes // 1024)
                # The decode's peak holds its pixels, nearly all of them in
                # fresh pages (a heap may place a little of a block in pages
                # the process already holds).
                self.assertGreaterEqual(decode["peak_kib"], 0.9 * decode["pixels_kib"])
                preview = self.run_program("pcx_bench_driver", "preview", path, str(REPS))
                self.check_common(preview, DRIVER_FIELDS, "preview")
                self.assertEqual(preview["pixels_kib"], 64 * 64 * bytes_per_pixel // 1024)

    def test_header_and_write(self):
        path = self.file("rgb.pcx")
        header = self.run_program("pcx_bench_driver", "header", path, str(REPS))
        self.check_common(header, DRIVER_FIELDS, "header")
        for name in ("rgb.pcx", "indexed.pcx"):
            with self.subTest(name):
                out = self.file("written-" + name)
                write = self.run_program("pcx_bench_driver", "write", self.file(name), str(REPS),
                                         out)
                self.check_common(write, DRIVER_FIELDS, "write")
                self.assertGreaterEqual(write["peak_kib"], 0)
                with Image.open(out) as written, Image.open(self.file(name)) as source:
                    self.assertEqual(written.size, source.size)
                    self.assertEqual(written.mode, source.mode)

    def test_floor(self):
        floor = self.run_program("pcx_bench_floor", self.file("rgb.pcx"), str(REPS))
        self.check_common(floor, FLOOR_FIELDS, "floor")
        self.assertGreaterEqual(floor["peak_kib"], SIDE * SIDE * 4 // 1024)

    def test_bad_arguments_fail(self):
        program = os.path.join(ARGS.build, "pcx_bench_driver" + (".exe" if ARGS.wine else ""))
        command = ([ARGS.wine, ARGS.prefix] if ARGS.wine else []) + [program, "transcode",
                                                                      self.file("rgb.pcx"), "1"]
        with tempfile.TemporaryFile() as out:
            code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=120).returncode
            out.seek(0)
            self.assertNotEqual(code, 0)
            self.assertIn(b"unknown operation transcode", out.read())


class Chart(unittest.TestCase):
    # (operation, picture, tool, median ms); the DLL ran emulated.
    ROWS = [("decode", "noise24", "native", 29.2), ("decode", "noise24", "DLL (Wine)", 410.0),
            ("decode", "noise24", "pcxtoppm", 390.4), ("decode", "noise4p", "native", 12.5),
            ("decode", "noise4p", "DLL (Wine)", 150.0),
            # No slower than its start-up: nothing to draw on a log scale.
            ("decode", "noise4p", "pcxtoppm", 0.0),
            ("write", "noise4p", "native", 20.0), ("write", "noise4p", "Pillow", 80.0)]
    RUN = {"date": "2031-02-03", "machine": "Test CPU, 2 cores, 4 GiB, Linux 9.9",
           "tools": "Pillow 0.0", "road": "Windows programs run under Wine inside qemu-user",
           "rows": [{"operation": operation, "picture": picture, "tool": tool, "ms": ms,
                     "peak_kib": 0, "note": "", "emulated": tool == "DLL (Wine)"}
                    for operation, picture, tool, ms in ROWS]}

    def test_a_saved_run_is_drawn_from_its_data(self):
        if ARGS.wine:
            self.skipTest("the chart is drawn once, in the native build's run")
        with tempfile.TemporaryDirectory(prefix="bench-chart-test-") as work:
            saved, chart = os.path.join(work, "run.json"), os.path.join(work, "chart.svg")
            with open(saved, "w") as out:
                json.dump(self.RUN, out)
            done = subprocess.run([sys.executable, BENCH_COMPARE, "--chart-from", saved,
                                   "--chart", chart], capture_output=True, text=True,
                                  timeout=120)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            root = ElementTree.parse(chart).getroot()
        bars = {group.get("id"): group for group in root.iter("{%s}g" % SVG_NAMES["svg"])
                if (group.get("id") or "").startswith("bar:")}
        self.assertEqual(set(bars), {"bar:%(operation)s:%(picture)s:%(tool)s" % row
                                     for row in self.RUN["rows"] if row["ms"] > 0})
        for name, group in bars.items():
            # Emulated bars are hatched: filled with a pattern, not a colour.
            hatched = any("url(#" in (path.get("style") or "")
                          for path in group.iter("{%s}path" % SVG_NAMES["svg"]))
            self.assertEqual(hatched, name.endswith(":DLL (Wine)"), name)
        texts = [text.text or "" for text in root.iter("{%s}text" % SVG_NAMES["svg"])]
        for wanted in ("2031-02-03", "Test CPU, 2 cores, 4 GiB, Linux 9.9", "noise4p",
                       "decode", "write", "DLL (Wine)*", "the emulator's time"):
            self.assertTrue(any(wanted in text for text in texts), (wanted, texts))
        self.assertNotIn("native*", texts)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--wine", nargs=2, metavar=("RUNNER", "PREFIX"))
    parser.add_argument("rest", nargs="*")
    ARGS = parser.parse_args()
    ARGS.build = os.path.abspath(ARGS.build)
    if ARGS.wine:
        ARGS.wine, ARGS.prefix = (os.path.abspath(p) for p in ARGS.wine)
    unittest.main(argv=[sys.argv[0]] + ARGS.rest, verbosity=2)


if __name__ == "__main__":
    main()
