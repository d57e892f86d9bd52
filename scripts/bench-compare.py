#!/usr/bin/python3
"""Times Pcx.opx, the native module and the Windows DLL under Wine, against
the PCX readers and writers people already use, in one run and on the same
files, and prints a table of medians (`make bench`).

    /usr/bin/python3 scripts/bench-compare.py [--build build/native]
        [--win32-build build/win32] [--builds native,win32] [--quick]
        [--only noise24,flat8] [--json FILE] [--chart FILE.svg] [--no-kernels]
    /usr/bin/python3 scripts/bench-compare.py --chart-from FILE.json --chart FILE.svg

Who is timed, on 4096 x 4096 pictures (8-bit, 24-bit, and 16 colours in
four planes of 1 bit, which are read and not written; noise-like and flat
content, made by scripts/bench-files.py into BUILD/bench-data):

  native   the native Pcx.opx, loaded by pcx_bench_driver and called through
           its exports, repeatedly in one process: decode (IMPORT_CreateImage),
           preview (IMPORT_CreatePreviewImage, 64 x 64 box), header
           (IMPORT_ValidFileCheck) and write (EXPORT_WriteToFile).
  DLL      the Windows Pcx.opx, the same way, by pcx_bench_driver.exe under
           Wine (scripts/wine-run.sh, the build's private prefix), on the same
           files. Wine runs the DLL's x86 code natively, so its times are the
           DLL's own code; its memory comes through Linux mmap, so a Windows
           kernel's cost of page faults is not measured. Where the machine
           runs no 32-bit code (or PCX_WINE_EMULATE=1 asks for it) Wine runs
           inside qemu-user (scripts/wine-road.sh): those rows are marked
           with *, their times are the emulator's, and they are left out of
           every ratio and every target.
  floor    pcx_bench_floor: reads the file in 64 KiB blocks, copies the bytes
           into a fresh buffer of the decoded size, expands it into a fresh
           pixel buffer; no run-length decoding. The least any reader must do.
           Built for Windows too and run the same way as the DLL (floor
           (Wine)), with the same allocator (the C run-time's malloc).
  Pillow   in one process: Image.open + load; Image.open alone (header);
           save as PCX.
  netpbm   pcxtoppm FILE >/dev/null; ppmtopcx -8bit|-24bit PPM >OUT.
  ImageMagick
           /usr/bin/convert-im6.q16 FILE null: to decode; to write,
           convert FILE OUT.pcx less convert FILE null: (so only the encoding
           and the writing remain). One thread (MAGICK_THREAD_LIMIT=1), as
           every other tool here runs on one.

Then each set of kernels (portable, SSE2, SSSE3) is timed on its own in both
builds by pcx_bench_kernels, the same operations with the module's units
linked in and one set forced, so that a set that does not earn its keep
shows.

In-process figures are medians of repeated runs in one process, the first
run left out, with every buffer of 128 KiB or more freshly mapped (see
IN_PROCESS_ENV; Wine's heap maps blocks that large afresh by itself, as a
Windows heap does). The in-process tools of an operation take turns over
three rounds, each a process of its own, so that a change in the machine's
load falls on all. Wine's start-up is outside the clock, since the programs
time themselves; the wineserver is started before anything is timed and
kept until the end, and no X display is used. Whole-process figures are
medians of repeated runs, less the median of the same command on a tiny
8 x 8 file (the tool's start-up); the netpbm writer's figure includes
reading its binary PPM input.

Every write makes a new file: the last output is removed before each run,
outside the clock, for every tool (replacing a file would add the file
system's cost of releasing its blocks, the same for all).

Peak memory is what the operation adds to resident memory at its peak: for
in-process tools the high-water mark of the first run (reset before it on
Linux; on Windows, which cannot reset it, the mark the first run raised, or
for a write the largest working set seen at its progress calls) less the
resident size before it; for whole processes the peak resident size less the
peak on the tiny file. Wine counts no page faults for a Windows program, so
those of the Wine tools are Linux's count for the whole Wine process, less
that of a start-up on the tiny file, shared out over its runs.

--json writes the run (its date, machine, tools and road, and every row of
the table) to a file; --chart draws the table's medians as an SVG chart (one
panel per operation, a group of bars per picture, a bar per tool, on a
logarithmic scale), from the run just made or, with --chart-from, from a
file --json wrote, without timing anything. Emulated rows are drawn hatched
and marked with *, as the table marks them.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PICTURES = ["noise24", "noise8", "flat24", "flat8", "noise16", "flat16"]
# Pictures the plug-in reads but does not write (it writes 8 and 24 bits):
# 16 colours in four planes of 1 bit.
READ_ONLY = ("noise16", "flat16")
MAGICK = "/usr/bin/convert-im6.q16"
WINE_RUN = os.path.join(HERE, "wine-run.sh")
WINE_ROAD = os.path.join(HERE, "wine-road.sh")
MIB = 1024.0

# The tools' names in the table.
NATIVE = "native"
DLL = "DLL (Wine)"
FLOOR = "floor"
FLOOR_WINE = "floor (Wine)"
WINE_TOOLS = (DLL, FLOOR_WINE)


def tiny_of(picture):
    """The tiny picture of the same layout, for the start-up of a process:
    noise24 and flat24 have tiny24."""
    return "tiny" + picture.replace("noise", "", 1).replace("flat", "", 1)


# --- the Pillow worker: runs in a process of its own ------------------------

def vm_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def pillow_worker(op, path, reps, out):
    from PIL import Image

    if op == "decode":
        def once():
            start = time.perf_counter()
            image = Image.open(path)
            image.load()
            stop = time.perf_counter()
            image.close()
            return stop - start
    elif op == "header":
        def once():
            start = time.perf_counter()
            image = Image.open(path)
            image.size
            stop = time.perf_counter()
            image.close()
            return stop - start
    elif op == "write":
        source = Image.open(path)
        source.load()

        def once():
            if os.path.exists(out):
                os.remove(out)
            start = time.perf_counter()
            source.save(out, format="PCX")
            return time.perf_counter() - start
    else:
        raise SystemExit("unknown operation " + op)

    import resource

    before = vm_kib("VmRSS")
    peak = -1
    if reset_peak():
        once()
        peak = vm_kib("VmHWM") - before
    else:
        once()
    usage_before = resource.getrusage(resource.RUSAGE_SELF)
    times = [once() for _ in range(reps)]
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({
        "op": op, "peak_kib": peak, "times": times,
        "faults_per_run": (usage.ru_minflt - usage_before.ru_minflt) // reps,
        "user_per_run": (usage.ru_utime - usage_before.ru_utime) / reps,
        "system_per_run": (usage.ru_stime - usage_before.ru_stime) / reps,
    }))


# --- measuring ---------------------------------------------------------------

class Measure:
    def __init__(self, seconds, peak_kib, note=""):
        self.seconds = seconds
        self.peak_kib = peak_kib
        self.note = note
        # Taken under an emulator: neither the module's speed nor its memory.
        self.emulated = False


# Every buffer of 128 KiB or more is a fresh mapping, in every in-process
# tool alike. Left to itself, glibc's malloc moves that threshold as big
# blocks come and go and then reuses or returns heap memory depending on
# which small blocks happen to lie above the big ones; the same 8-bit decode
# then costs 5 ms or 20 ms from one run of the driver to the next. A fixed
# threshold makes every run pay for the first touch of its buffers, as a
# host on Windows does, whose heap takes blocks this large straight from
# VirtualAlloc (and so does Wine's).
IN_PROCESS_ENV = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.mmap_threshold=131072")
# The Windows programs open no window: without a display Wine loads no X
# driver, and nothing of an X server's work falls into their runs.
WINE_ENV = {k: v for k, v in IN_PROCESS_ENV.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}


class Wine:
    """The Windows build's programs under Wine, in the build's private
    prefix, and the wineserver kept running for the whole benchmark."""

    def __init__(self, build):
        self.build = build
        self.prefix = os.path.join(build, "wineprefix")
        self.started_server = False
        self.startup_faults = {}
        said = [subprocess.run([WINE_ROAD, *verb], stdout=subprocess.PIPE, text=True)
                for verb in ([], ["describe"])]
        if any(done.returncode != 0 for done in said):
            sys.exit("no road for Windows programs on this machine (see above)")
        self.emulated = said[0].stdout.strip() == "emulated"
        self.road = said[1].stdout.strip()

    def argv(self, program, *args):
        return [WINE_RUN, self.prefix, os.path.join(self.build, program)] + list(args)

    @staticmethod
    def path(path):
        """A Unix path as a Windows program reaches it: through drive Z:."""
        return "Z:" + os.path.abspath(path)

    def start(self, tiny_pcx):
        """Makes the prefix if it is new, starts a wineserver that stays
        until stop() (the first start of Wine is slow, and a server that
        comes and goes between runs brings its helper processes with it),
        and counts the page faults of each program's start-up."""
        # wine-run.sh makes the prefix on first use (once, under a lock).
        run_json(self.argv("pcx_bench_driver.exe", "header", self.path(tiny_pcx), "1"),
                 WINE_ENV)
        # The server that run started lingers for seconds after it; a
        # persistent one can only start once it has gone. A server that stays
        # (another user of the prefix) is used as it is, and not ours to stop.
        deadline = time.monotonic() + 15
        while True:
            self.started_server = self.server("-p") == 0
            if self.started_server or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        for program, args in (("pcx_bench_driver.exe", ["header", self.path(tiny_pcx), "1"]),
                              ("pcx_bench_floor.exe", [self.path(tiny_pcx), "1"])):
            faults = [run_json(self.argv(program, *args), WINE_ENV)[1] for _ in range(3)]
            self.startup_faults[program] = statistics.median(faults)
        # The first program of a new server starts Wine's helper processes
        # (services, a desktop, device drivers), busy for a moment: let them
        # settle before anything is timed.
        time.sleep(3)

    def server(self, flag):
        return subprocess.run([WINE_RUN, self.prefix, "--server", flag], env=WINE_ENV,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode

    def stop(self):
        if self.started_server:
            self.server("-k")
            self.started_server = False


class InProcess:
    """A program that times itself and prints one JSON object. Under Wine,
    where a Windows program's own page-fault counter stays at 0, its faults
    per run come from Linux's count for the whole process instead."""

    def __init__(self, argv, wine=None, program=None, setup_faults=0):
        self.argv = argv
        self.wine = wine
        self.program = program
        # Faults of work the program does before its runs (a write decodes
        # its source first), beyond its start-up.
        self.setup_faults = setup_faults

    def run(self):
        env = WINE_ENV if self.wine else IN_PROCESS_ENV
        data, faults = run_json(self.argv, env)
        if self.wine:
            runs = len(data["times"]) + 1
            startup = self.wine.startup_faults.get(self.program, 0)
            data["faults_per_run"] = max(0, int((faults - startup - self.setup_faults) // runs))
        return data


def run_json(argv, env):
    """Runs a program that prints one JSON object; gives the object and the
    page faults of the process. Its output goes to a file, not a pipe: a
    wineserver started by a Windows program would inherit a pipe and hold
    it open."""
    with tempfile.TemporaryFile() as out:
        child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, env=env)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            raise RuntimeError("failed (%d): %s" % (child.returncode, " ".join(argv)))
        out.seek(0)
        return json.loads(out.read().decode()), usage.ru_minflt


def in_process_rounds(commands, rounds):
    """Runs each named command once per round, in turn, so that a change in
    the machine's load falls on all of them alike; each gets the median of
    its runs over all rounds and the peak memory of its first round."""
    samples = {name: [] for name, _ in commands}
    details = {name: [] for name, _ in commands}
    for _ in range(rounds):
        for name, command in commands:
            data = command.run()
            samples[name].extend(data["times"])
            details[name].append(data)
    measures = {}
    for name, _ in commands:
        first = details[name][0]
        measures[name] = Measure(statistics.median(samples[name]), first.get("peak_kib", -1),
                                 kernel_note(details[name]))
    return measures, {name: runs[0] for name, runs in details.items()}


def kernel_note(runs):
    """Where the time of a run went, when the program reports it: user and
    system time and first touches of fresh memory (page faults)."""
    if "system_per_run" not in runs[0]:
        return ""
    # Under Wine a reading of the processor times has been seen to come out
    # a little below the one before it.
    user = max(0.0, statistics.median(r["user_per_run"] for r in runs) * 1e3)
    system = max(0.0, statistics.median(r["system_per_run"] for r in runs) * 1e3)
    faults = statistics.median(r["faults_per_run"] for r in runs)
    note = "user %.1f + system %.1f ms, %d page faults" % (user, system, faults)
    if runs[0].get("peak_method") == "sampled":
        note += "; peak sampled at progress calls"
    return note


def whole_process_once(argv, stdout_path, env, fresh=None):
    if fresh and os.path.exists(fresh):
        os.remove(fresh)
    if stdout_path != os.devnull and os.path.exists(stdout_path):
        os.remove(stdout_path)
    with open(stdout_path, "wb") as sink:
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=sink, stderr=subprocess.DEVNULL, env=env)
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
    if status != 0:
        raise RuntimeError("failed: " + " ".join(argv))
    return elapsed, usage.ru_maxrss


def whole_process(argv, stdout_path, reps, env=None, fresh=None):
    """Median seconds and the largest peak resident KiB over reps runs. The
    output (stdout_path, and fresh when given) is removed before each run."""
    whole_process_once(argv, stdout_path, env, fresh)  # warms the page cache
    runs = [whole_process_once(argv, stdout_path, env, fresh) for _ in range(reps)]
    return statistics.median(r[0] for r in runs), max(r[1] for r in runs)


def net_process(argv_for, big, tiny, stdout_path, reps, env=None):
    """A whole-process figure for big less the same command on tiny."""
    seconds, peak = whole_process(argv_for(big), stdout_path, reps, env)
    base_seconds, base_peak = whole_process(argv_for(tiny), stdout_path, max(reps, 9), env)
    return Measure(seconds - base_seconds, max(0, peak - base_peak),
                   "start-up %.1f ms" % (base_seconds * 1e3))


# --- the run -------------------------------------------------------------------

def machine_description():
    model = platform.processor() or "unknown processor"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as info:
            kib = int(info.readline().split()[1])
            memory = ", %.0f GiB" % (kib / 1024.0 / 1024.0)
    except (OSError, ValueError, IndexError):
        pass
    return "%s, %d cores%s, Linux %s" % (model, os.cpu_count() or 0, memory, platform.release())


def tool_versions(wine):
    versions = []
    try:
        import PIL
        versions.append("Pillow " + PIL.__version__)
    except ImportError:
        pass
    if wine:
        versions.append(subprocess.run([WINE_RUN, wine.prefix, "--version"],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                       text=True, env=WINE_ENV).stdout.strip())
    versions.append("Python " + platform.python_version())
    return ", ".join(versions)


def load_average():
    try:
        with open("/proc/loadavg") as load:
            return " ".join(load.read().split()[:3])
    except OSError:
        return "?"


def run_record(rows, date, wine):
    """The run as --json writes it and --chart-from reads it."""
    return {
        "date": date, "machine": machine_description(), "tools": tool_versions(wine),
        "road": wine.road if wine else None,
        "rows": [{"operation": o, "picture": p, "tool": t, "ms": m.seconds * 1e3,
                  "peak_kib": m.peak_kib, "note": m.note, "emulated": m.emulated}
                 for o, p, t, m, _ in rows],
    }


def in_order(values):
    """Each value once, in the order of its first appearance."""
    return list(dict.fromkeys(values))


def draw_chart(record, path):
    """Draws the medians of a run record as an SVG chart at path: a panel
    per operation, a group of bars per picture and a bar per tool, each
    taken from the rows in their order. Each bar's SVG id is
    "bar:OPERATION:PICTURE:TOOL". A time of 0 or less (a whole-process tool
    no slower than its start-up) has no bar on a logarithmic scale."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import patches, pyplot

    # The same file from the same record: fixed ids, no date of drawing;
    # text stays text.
    matplotlib.rcParams.update({"svg.hashsalt": "pcx-bench", "svg.fonttype": "none",
                                "font.size": 8})
    rows = record["rows"]
    operations = in_order(r["operation"] for r in rows)
    tools = in_order(r["tool"] for r in rows)
    colours = {tool: matplotlib.colormaps["tab10"](i % 10) for i, tool in enumerate(tools)}
    emulated = {r["tool"] for r in rows if r["emulated"]}

    def look(tool, is_emulated):
        """A tool's colour; hatched and paler where it ran emulated."""
        return {"facecolor": colours[tool], "edgecolor": "black", "linewidth": 0.3,
                "hatch": "////" if is_emulated else None, "alpha": 0.45 if is_emulated else 1.0}

    columns = 2 if len(operations) > 1 else 1
    lines = (len(operations) + columns - 1) // columns
    legend_lines = (len(tools) + 4) // 5
    title = ["Pcx.opx, make bench of %s: median time per picture, ms (lower is faster)" %
             record["date"], record["machine"]]
    if record.get("road"):
        title += textwrap.wrap(record["road"], 110)
    # Inches: the title and the legend above the panels (and the first
    # panels' titles), the picture names and a line of notes below.
    title_height = 0.15 + 0.17 * len(title)
    top = title_height + 0.2 * legend_lines + 0.4
    bottom = 0.55
    panel_height = 2.6
    height = lines * panel_height + (lines - 1) * 0.55 + top + bottom
    figure, axes = pyplot.subplots(lines, columns, figsize=(6 * columns, height),
                                   squeeze=False)
    for panel, operation in zip(axes.flat, operations):
        mine = [r for r in rows if r["operation"] == operation]
        pictures = in_order(r["picture"] for r in mine)
        present = in_order(r["tool"] for r in mine)
        width = 0.8 / len(present)
        for group, picture in enumerate(pictures):
            for slot, tool in enumerate(present):
                row = next((r for r in mine if r["picture"] == picture and r["tool"] == tool),
                           None)
                if row is None or row["ms"] <= 0:
                    continue
                bar = panel.bar(group - 0.4 + (slot + 0.5) * width, row["ms"], width,
                                **look(tool, row["emulated"]))[0]
                bar.set_gid("bar:%s:%s:%s" % (operation, picture, tool))
                panel.annotate(milliseconds(row["ms"] / 1e3), (bar.get_x() + width / 2,
                                                               row["ms"]),
                               xytext=(0, 1), textcoords="offset points", ha="center",
                               va="bottom", rotation=90, fontsize=5)
        panel.set_yscale("log")
        panel.margins(y=0.25)
        panel.set_title(operation)
        panel.set_xticks(range(len(pictures)), pictures)
        panel.set_ylabel("median, ms (log scale)")
        panel.grid(axis="y", which="major", linewidth=0.3, alpha=0.6)
        panel.set_axisbelow(True)
    for panel in list(axes.flat)[len(operations):]:
        panel.set_visible(False)
    handles = [patches.Patch(label=tool + "*" if tool in emulated else tool,
                             **look(tool, tool in emulated))
               for tool in tools]
    figure.suptitle("\n".join(title), y=1 - 0.08 / height, va="top")
    figure.legend(handles=handles, loc="upper center", ncol=min(len(tools), 5),
                  frameon=False, bbox_to_anchor=(0.5, 1 - title_height / height))
    notes = [record["tools"] + "."] if record.get("tools") else []
    if emulated:
        notes.append("*: ran under Wine inside qemu-user (emulated): the emulator's time, "
                     "not the program's own.")
    figure.text(0.5, 0.08 / height, " ".join(notes), ha="center", va="bottom", fontsize=7)
    figure.subplots_adjust(left=0.06, right=0.99, top=1 - top / height, bottom=bottom / height,
                           wspace=0.15, hspace=0.55 / panel_height)
    figure.savefig(path, format="svg", metadata={"Date": None})
    pyplot.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"),
                        help="the native build (and its bench-data folder)")
    parser.add_argument("--win32-build", default=os.path.join(ROOT, "build", "win32"),
                        help="the Windows build, run under Wine")
    parser.add_argument("--builds", default="native,win32",
                        help="which of our builds to time: native, win32 or both")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--only", help="comma-separated pictures to time")
    parser.add_argument("--json", help="also write every figure to this file")
    parser.add_argument("--chart", help="also draw the medians as an SVG chart to this file")
    parser.add_argument("--chart-from", metavar="FILE.json",
                        help="time nothing: draw --chart from a file that --json wrote")
    parser.add_argument("--no-kernels", action="store_true",
                        help="leave out the table of each set of kernels")
    parser.add_argument("--pillow-worker", nargs=4, metavar=("OP", "FILE", "REPS", "OUT"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.pillow_worker:
        op, path, reps, out = args.pillow_worker
        pillow_worker(op, path, int(reps), out)
        return
    if args.chart_from:
        if not args.chart:
            sys.exit("--chart-from needs --chart FILE.svg")
        with open(args.chart_from) as saved:
            draw_chart(json.load(saved), args.chart)
        print("Chart: %s" % args.chart)
        return

    builds = set(args.builds.split(","))
    if not builds or builds - {"native", "win32"}:
        sys.exit("--builds takes native, win32 or native,win32")
    pictures = args.only.split(",") if args.only else PICTURES
    unknown = [p for p in pictures if p not in PICTURES]
    if unknown:
        sys.exit("unknown pictures: %s (there are %s)" % (", ".join(unknown),
                                                          ", ".join(PICTURES)))
    build = os.path.abspath(args.build)
    win32_build = os.path.abspath(args.win32_build)
    needed = []
    if "native" in builds:
        needed += [os.path.join(build, n) for n in ("pcx_bench_driver", "pcx_bench_floor",
                                                    "Pcx.opx")]
    if "win32" in builds:
        needed += [os.path.join(win32_build, n) for n in ("pcx_bench_driver.exe",
                                                          "pcx_bench_floor.exe", "Pcx.opx")]
    for path in needed:
        if not os.path.exists(path):
            sys.exit("missing %s: build the preset first" % path)
    for tool in ("pcxtoppm", "ppmtopcx") + (("wine", "wineserver") if "win32" in builds else ()):
        if subprocess.run(["which", tool], stdout=subprocess.DEVNULL).returncode != 0:
            sys.exit("missing %s" % tool)
    if not os.path.exists(MAGICK):
        sys.exit("missing " + MAGICK + " (imagemagick)")

    data = os.path.join(build, "bench-data")
    subprocess.run([sys.executable, os.path.join(HERE, "bench-files.py"), data], check=True)
    out_dir = os.path.join(data, "out")
    os.makedirs(out_dir, exist_ok=True)

    wine = Wine(win32_build) if "win32" in builds else None
    date = time.strftime("%Y-%m-%d")
    try:
        if wine:
            wine.start(os.path.join(data, "tiny8.pcx"))
        rows = run(args, builds, pictures, data, out_dir, build, wine)
        if wine and wine.emulated:
            for _, _, tool, measure, _ in rows:
                measure.emulated = tool in WINE_TOOLS
        print_table(rows)
        check_targets(rows)
        if not args.no_kernels:
            kernel_table(args, builds, pictures, data, out_dir, build, wine)
    finally:
        if wine:
            wine.stop()
    print("Load average at end: %s" % load_average())
    if args.json or args.chart:
        record = run_record(rows, date, wine)
        if args.json:
            with open(args.json, "w") as out:
                json.dump(record, out, indent=1)
        if args.chart:
            draw_chart(record, args.chart)
            print("Chart: %s" % args.chart)


def run(args, builds, pictures, data, out_dir, build, wine):
    """Times every tool on every picture; gives rows of (operation, picture,
    tool, Measure, the program's own JSON object or None)."""
    quick = args.quick
    rounds = 1 if quick else 3          # in-process tools, taking turns
    reps_fast = 9 if quick else 15      # ours and the floors, per round
    reps_pillow = 5 if quick else 7
    reps_process = 3 if quick else 7
    magick_env = dict(os.environ, MAGICK_THREAD_LIMIT="1")

    print("Machine: %s" % machine_description())
    print("Tools: %s" % tool_versions(wine))
    if wine:
        print("Windows road: %s" % wine.road)
    print("Load average at start: %s" % load_average())
    sys.stdout.flush()

    driver = os.path.join(build, "pcx_bench_driver")
    floor = os.path.join(build, "pcx_bench_floor")
    pillow = [sys.executable, os.path.abspath(__file__), "--pillow-worker"]

    def ours(op, pcx, reps, *out, setup_faults=0):
        """Our in-process commands for op: the native driver, the DLL's."""
        commands = []
        if "native" in builds:
            commands.append((NATIVE, InProcess([driver, op, pcx, str(reps)] + list(out))))
        if wine:
            commands.append((DLL, InProcess(
                wine.argv("pcx_bench_driver.exe", op, wine.path(pcx), str(reps),
                          *[wine.path(o) for o in out]),
                wine, "pcx_bench_driver.exe", setup_faults)))
        return commands

    def floors(pcx):
        commands = []
        if "native" in builds:
            commands.append((FLOOR, InProcess([floor, pcx, str(reps_fast)])))
        if wine:
            commands.append((FLOOR_WINE, InProcess(
                wine.argv("pcx_bench_floor.exe", wine.path(pcx), str(reps_fast)), wine,
                "pcx_bench_floor.exe")))
        return commands

    rows = []
    for picture in pictures:
        pcx = os.path.join(data, picture + ".pcx")
        ppm = os.path.join(data, picture + ".ppm")
        tiny = tiny_of(picture)
        tiny_pcx = os.path.join(data, tiny + ".pcx")
        tiny_ppm = os.path.join(data, tiny + ".ppm")
        devnull = os.devnull
        written = os.path.join(out_dir, picture + ".pcx")

        def add(operation, measures, details, names):
            for name in names:
                rows.append((operation, picture, name, measures[name], details.get(name)))

        # Decodes and previews, every in-process reader taking turns.
        decode_commands = (ours("decode", pcx, reps_fast) + floors(pcx) +
                           [("Pillow", InProcess(pillow + ["decode", pcx, str(reps_pillow),
                                                           "-"]))])
        preview_commands = [("preview " + name, command)
                            for name, command in ours("preview", pcx, reps_fast)]
        measures, details = in_process_rounds(decode_commands + preview_commands, rounds)
        add("decode", measures, details, [name for name, _ in decode_commands])
        dll_decode = details.get(DLL)
        rows.append(("decode", picture, "pcxtoppm",
                     net_process(lambda f: ["pcxtoppm", f], pcx, tiny_pcx, devnull,
                                 reps_process), None))
        rows.append(("decode", picture, "ImageMagick",
                     net_process(lambda f: [MAGICK, f, "null:"], pcx, tiny_pcx, devnull,
                                 reps_process, magick_env), None))
        for name, _ in preview_commands:
            rows.append(("preview", picture, name[len("preview "):], measures[name],
                         details[name]))
        # Header only.
        header_commands = ours("header", pcx, reps_fast) + [
            ("Pillow", InProcess(pillow + ["header", pcx, str(reps_fast), "-"]))]
        measures, details = in_process_rounds(header_commands, 1)
        add("header", measures, details, [name for name, _ in header_commands])
        if picture in READ_ONLY:
            timed(picture)
            continue
        # Write. Under Wine, the faults of the decode of its source are
        # those of a decode's run.
        write_commands = ours("write", pcx, reps_fast, written,
                              setup_faults=dll_decode["faults_per_run"] if dll_decode else 0) + [
            ("Pillow", InProcess(pillow + ["write", pcx, str(reps_pillow), written]))]
        measures, details = in_process_rounds(write_commands, rounds)
        add("write", measures, details, [name for name, _ in write_commands])
        depth = "-24bit" if picture.endswith("24") else "-8bit"
        rows.append(("write", picture, "ppmtopcx",
                     net_process(lambda f: ["ppmtopcx", depth, f], ppm, tiny_ppm, written,
                                 reps_process), None))
        encode, encode_peak = whole_process([MAGICK, pcx, written], devnull, reps_process,
                                            magick_env, fresh=written)
        decode_only, decode_peak = whole_process([MAGICK, pcx, "null:"], devnull,
                                                 reps_process, magick_env)
        rows.append(("write", picture, "ImageMagick",
                     Measure(encode - decode_only, max(0, encode_peak - decode_peak),
                             "less its decode, %.1f ms" % (decode_only * 1e3)), None))
        timed(picture)
    return rows


def timed(picture):
    print("  timed %s (load %s)" % (picture, load_average()))
    sys.stdout.flush()


def kernel_table(args, builds, pictures, data, out_dir, build, wine):
    """Times decode, preview and write with each set of kernels forced, in
    each build (pcx_bench_kernels, the units linked in), and prints one
    table of medians: what each set earns, beside the one the module picks
    for itself."""
    reps = 5 if args.quick else 11
    sets = ["portable", "sse2", "ssse3", "avx2"]
    programs = []
    if "native" in builds:
        programs.append(("native", lambda *a: [os.path.join(build, "pcx_bench_kernels")] +
                         list(a), lambda path: path, None))
    if wine:
        programs.append(("DLL*" if wine.emulated else "DLL",
                         lambda *a: wine.argv("pcx_bench_kernels.exe", *a), wine.path, wine))
    # The sets each build has a copy for and this processor runs.
    available = {}
    for build_name, argv, _, runner in programs:
        env = WINE_ENV if runner else IN_PROCESS_ENV
        listed = subprocess.run(argv("--sets"), stdin=subprocess.DEVNULL, capture_output=True,
                                env=env, check=True).stdout.decode()
        available[build_name] = listed.split()
    print()
    print("Each set of kernels forced (pcx_bench_kernels: the units linked in), median ms of "
          "%d runs (-: no copy in that build, or the processor lacks the set):" % reps)
    print("%-7s %-7s %-7s %10s %10s %10s %10s" % ("build", "op", "picture", *sets))
    print("-" * 69)
    for build_name, argv, path, runner in programs:
        for operation in ("decode", "preview", "write"):
            for picture in pictures:
                if operation == "write" and picture in READ_ONLY:
                    continue
                pcx = os.path.join(data, picture + ".pcx")
                out = [path(os.path.join(out_dir, picture + "-kernels.pcx"))] \
                    if operation == "write" else []
                cells = []
                for name in sets:
                    if name not in available[build_name]:
                        cells.append("-")
                        continue
                    result = InProcess(argv(name, operation, path(pcx), str(reps), *out),
                                       runner).run()
                    cells.append(milliseconds(statistics.median(result["times"])))
                print("%-7s %-7s %-7s %10s %10s %10s %10s" % (build_name, operation, picture,
                                                              *cells))
                sys.stdout.flush()
    if wine and wine.emulated:
        print(EMULATED_NOTE)


def lookup(rows, operation, picture, tool):
    for o, p, t, m, _ in rows:
        if (o, p, t) == (operation, picture, tool):
            return m
    return None


def details_of(rows, operation, picture, tool):
    for o, p, t, _, d in rows:
        if (o, p, t) == (operation, picture, tool):
            return d
    return None


def milliseconds(seconds):
    """Three significant digits, at least: 123.4, 12.34, 0.0123."""
    ms = seconds * 1e3
    if abs(ms) >= 100:
        return "%.1f" % ms
    if abs(ms) >= 1:
        return "%.2f" % ms
    return "%.4f" % ms


EMULATED_NOTE = ("*: the DLL ran under Wine inside qemu-user (emulated): its times and memory "
                 "are the emulator's, not the DLL's.")


def ratio(measure, reference):
    if reference is None or measure is reference or reference.seconds <= 0:
        return ""
    if measure.emulated or reference.emulated:
        return ""
    value = measure.seconds / reference.seconds
    return ("%.2fx" if value >= 0.1 else "%.3fx") % value


def print_table(rows):
    print()
    print("%-7s %-7s %-12s %10s %9s %9s %9s %9s  %s" % (
        "op", "picture", "tool", "median ms", "/native", "/DLL", "/floor", "peak MiB", "note"))
    print("-" * 100)
    last = None
    for operation, picture, tool, measure, _ in rows:
        key = (operation, picture)
        if last is not None and key != last and operation == "decode":
            print()
        last = key
        native = lookup(rows, operation, picture, NATIVE)
        dll = lookup(rows, operation, picture, DLL)
        floor = None
        if operation == "decode":
            wine_side = tool in (DLL, FLOOR_WINE)
            floor = lookup(rows, "decode", picture, FLOOR_WINE if wine_side else FLOOR)
        peak = ("%9.1f" % (measure.peak_kib / MIB)) if measure.peak_kib >= 0 else "%9s" % "n/a"
        shown = tool + "*" if measure.emulated else tool
        print("%-7s %-7s %-12s %10s %9s %9s %9s %s  %s" % (
            operation, picture, shown, milliseconds(measure.seconds), ratio(measure, native),
            ratio(measure, dll), ratio(measure, floor), peak, measure.note))
    print()
    print("/native, /DLL: the time over that of our native module, of our DLL under Wine "
          "(above 1: ours is faster).")
    print("/floor: the time over the floor's of the same build (floor (Wine) for the DLL, "
          "the native floor otherwise).")
    print("Notes of in-process tools: time per run in the program and in the kernel, and the "
          "page faults,")
    print("each a first touch of fresh memory (for a decode, raw and pixels are fresh each time).")
    if any(measure.emulated for _, _, _, measure, _ in rows):
        print(EMULATED_NOTE + " They have no ratios.")


def check_targets(rows):
    print()
    print("Targets:")
    outcomes = []

    def verdict(ok, text):
        outcomes.append(ok)
        print("  %-4s %s" % ("ok" if ok else "MISS", text))

    pictures = []
    for _, picture, _, _, _ in rows:
        if picture not in pictures:
            pictures.append(picture)

    # Figures taken under an emulator meet or miss no target.
    def measured(measure):
        return measure is not None and not measure.emulated

    def each(operation, tool, other):
        for picture in pictures:
            ours = lookup(rows, operation, picture, tool)
            theirs = lookup(rows, operation, picture, other)
            if measured(ours) and measured(theirs) and ours.seconds > 0 and theirs.seconds > 0:
                yield picture, ours, theirs

    emulated = [m for _, _, t, m, _ in rows if t == DLL and m.emulated]
    if emulated:
        print("  --   the DLL's targets: left out, since it ran emulated (see * above)")

    # The DLL under Wine.
    for picture, dll, floor in each("decode", DLL, FLOOR_WINE):
        verdict(dll.seconds <= 1.5 * floor.seconds,
                "DLL decode %s: %.2fx the floor (Wine) (at most 1.5x)" % (
                    picture, dll.seconds / floor.seconds))
    for picture, dll, pillow in each("decode", DLL, "Pillow"):
        lead = pillow.seconds / dll.seconds
        if not picture.endswith("8"):
            verdict(lead >= 2.5, "DLL decode %s: %.2fx as fast as Pillow (at least 2.5x)" % (
                picture, lead))
            continue
        # 8-bit: Wine's page faults and the file read are most of the work,
        # so the floor's own lead bounds ours; the DLL is to come as close to
        # it as to the floor itself (within 1.5x).
        floor = lookup(rows, "decode", picture, FLOOR_WINE)
        if not floor or floor.seconds <= 0:
            continue
        floor_lead = pillow.seconds / floor.seconds
        wanted = min(2.5, floor_lead / 1.5)
        verdict(lead >= wanted,
                "DLL decode %s: %.2fx as fast as Pillow, the floor (Wine) %.2fx (at least "
                "2.5x or the floor's / 1.5 = %.2fx)" % (picture, lead, floor_lead, wanted))
    for picture, dll, pillow in each("write", DLL, "Pillow"):
        lead = pillow.seconds / dll.seconds
        verdict(lead >= 2.5, "DLL write %s: %.2fx as fast as Pillow (at least 2.5x)" % (
            picture, lead))
    for picture, dll, native in each("write", DLL, NATIVE):
        verdict(dll.seconds <= 1.5 * native.seconds,
                "DLL write %s: %.2fx the native module's time (at most 1.5x)" % (
                    picture, dll.seconds / native.seconds))
    # The native module.
    for picture, native, pillow in each("decode", NATIVE, "Pillow"):
        lead = pillow.seconds / native.seconds
        verdict(lead >= 2.5, "native decode %s: %.2fx as fast as Pillow (at least 2.5x)" % (
            picture, lead))
    for picture, native, floor in each("decode", NATIVE, FLOOR):
        if picture.startswith("noise"):
            verdict(native.seconds <= 1.3 * floor.seconds,
                    "native decode %s: %.2fx the floor (at most 1.3x)" % (
                        picture, native.seconds / floor.seconds))
    # Both builds.
    for tool, label in ((NATIVE, "native"), (DLL, "DLL")):
        for picture in pictures:
            preview = lookup(rows, "preview", picture, tool)
            full = lookup(rows, "decode", picture, tool)
            if not measured(preview) or not measured(full) or preview.seconds <= 0:
                continue
            verdict(full.seconds >= 2 * preview.seconds,
                    "%s preview %s: %.2fx as fast as its full decode (at least 2x)" % (
                        label, picture, full.seconds / preview.seconds))
    for tool, label in ((NATIVE, "native"), (DLL, "DLL")):
        for operation in ("decode", "preview"):
            for picture in pictures:
                details = details_of(rows, operation, picture, tool)
                if not details or not measured(lookup(rows, operation, picture, tool)):
                    continue
                peak = details["peak_kib"]
                limit = details["pixels_kib"] + 2048
                if peak < 0:
                    verdict(False, "%s %s %s peak memory: unknown" % (label, operation,
                                                                       picture))
                    continue
                verdict(peak <= limit,
                        "%s %s %s peak memory: %.1f MiB, pixels %+.0f KiB (at most + 2 MiB)" % (
                            label, operation, picture, peak / MIB,
                            peak - details["pixels_kib"]))
    print("  %d of %d targets met" % (sum(outcomes), len(outcomes)))


if __name__ == "__main__":
    main()
