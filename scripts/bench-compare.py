#!/usr/bin/python3
"""Times Pcx.opx against the PCX readers and writers people already use, in
one run and on the same files, and prints a table of medians (`make bench`).

    /usr/bin/python3 scripts/bench-compare.py [--build build/native] [--quick]

Who is timed, on 4096 x 4096 pictures (8-bit and 24-bit; noise-like and flat
content, made by scripts/bench-files.py into BUILD/bench-data):

  ours     the native Pcx.opx, loaded by pcx_bench_driver and called through
           its exports, repeatedly in one process: decode (IMPORT_CreateImage),
           preview (IMPORT_CreatePreviewImage, 64 x 64 box), header
           (IMPORT_ValidFileCheck) and write (EXPORT_WriteToFile).
  floor    pcx_bench_floor: reads the file in chunks, copies the bytes into a
           fresh buffer of the decoded size, expands it into a fresh pixel
           buffer; no run-length decoding. The least any reader must do.
  Pillow   in one process: Image.open + load; Image.open alone (header);
           save as PCX.
  netpbm   pcxtoppm FILE >/dev/null; ppmtopcx -8bit|-24bit PPM >OUT.
  ImageMagick
           /usr/bin/convert-im6.q16 FILE null: to decode; to write,
           convert FILE OUT.pcx less convert FILE null: (so only the encoding
           and the writing remain). One thread (MAGICK_THREAD_LIMIT=1), as
           every other tool here runs on one.

In-process figures are medians of repeated runs in one process, the first
run left out, with every buffer of 128 KiB or more freshly mapped (see
IN_PROCESS_ENV); ours, the floor and Pillow take turns over three rounds,
each a process of its own, so that a change in the machine's load falls on
all. Whole-process figures are medians of repeated runs, less the median of
the same command on a tiny 8 x 8 file (the tool's start-up); the netpbm
writer's figure includes reading its binary PPM input.

Every write makes a new file: the last output is removed before each run,
outside the clock, for every tool (replacing a file would add the file
system's cost of releasing its blocks, the same for all).

Peak memory is what the operation adds to resident memory at its peak: for
in-process tools the high-water mark of the first run (after a reset) less
the resident size before it; for whole processes the peak resident size
less the peak on the tiny file.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PICTURES = ["noise24", "noise8", "flat24", "flat8"]
MAGICK = "/usr/bin/convert-im6.q16"
MIB = 1024.0


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


# Every buffer of 128 KiB or more is a fresh mapping, in every in-process
# tool alike. Left to itself, glibc's malloc moves that threshold as big
# blocks come and go and then reuses or returns heap memory depending on
# which small blocks happen to lie above the big ones; the same 8-bit decode
# then costs 5 ms or 20 ms from one run of the driver to the next. A fixed
# threshold makes every run pay for the first touch of its buffers, as a
# host on Windows does, whose heap takes blocks this large straight from
# VirtualAlloc.
IN_PROCESS_ENV = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.mmap_threshold=131072")


def run_json(argv):
    result = subprocess.run(argv, check=True, stdout=subprocess.PIPE, text=True,
                            env=IN_PROCESS_ENV)
    return json.loads(result.stdout)


def in_process(argv):
    data = run_json(argv)
    return Measure(statistics.median(data["times"]), data.get("peak_kib", -1)), data


def in_process_rounds(commands, rounds):
    """Runs each named command once per round, in turn, so that a change in
    the machine's load falls on all of them alike; each gets the median of
    its runs over all rounds and the peak memory of its first round."""
    samples = {name: [] for name, _ in commands}
    peaks = {}
    details = {}
    for _ in range(rounds):
        for name, argv in commands:
            data = run_json(argv)
            samples[name].extend(data["times"])
            peaks.setdefault(name, data.get("peak_kib", -1))
            details.setdefault(name, []).append(data)
    measures = {}
    for name, _ in commands:
        measures[name] = Measure(statistics.median(samples[name]), peaks[name],
                                 kernel_note(details[name]))
    return measures, {name: runs[0] for name, runs in details.items()}


def kernel_note(runs):
    """Where the time of a run went, when the program reports it: user and
    system time and first touches of fresh memory (page faults)."""
    if "system_per_run" not in runs[0]:
        return ""
    user = statistics.median(r["user_per_run"] for r in runs) * 1e3
    system = statistics.median(r["system_per_run"] for r in runs) * 1e3
    faults = statistics.median(r["faults_per_run"] for r in runs)
    return "user %.1f + system %.1f ms, %d page faults" % (user, system, faults)


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
    return Measure(seconds - base_seconds, peak - base_peak,
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


def load_average():
    try:
        with open("/proc/loadavg") as load:
            return " ".join(load.read().split()[:3])
    except OSError:
        return "?"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--only", help="comma-separated pictures to time")
    parser.add_argument("--json", help="also write every figure to this file")
    parser.add_argument("--pillow-worker", nargs=4, metavar=("OP", "FILE", "REPS", "OUT"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.pillow_worker:
        op, path, reps, out = args.pillow_worker
        pillow_worker(op, path, int(reps), out)
        return

    build = os.path.abspath(args.build)
    driver = os.path.join(build, "pcx_bench_driver")
    floor = os.path.join(build, "pcx_bench_floor")
    for needed in (driver, floor, os.path.join(build, "Pcx.opx")):
        if not os.path.exists(needed):
            sys.exit("missing %s: build the native preset first" % needed)
    for tool in ("pcxtoppm", "ppmtopcx"):
        if subprocess.run(["which", tool], stdout=subprocess.DEVNULL).returncode != 0:
            sys.exit("missing %s (netpbm)" % tool)
    if not os.path.exists(MAGICK):
        sys.exit("missing " + MAGICK + " (imagemagick)")

    data = os.path.join(build, "bench-data")
    subprocess.run([sys.executable, os.path.join(HERE, "bench-files.py"), data], check=True)
    out_dir = os.path.join(data, "out")
    os.makedirs(out_dir, exist_ok=True)

    quick = args.quick
    rounds = 1 if quick else 3          # in-process tools, taking turns
    reps_fast = 9 if quick else 15      # ours and the floor, per round
    reps_pillow = 5 if quick else 7
    reps_process = 3 if quick else 7
    magick_env = dict(os.environ, MAGICK_THREAD_LIMIT="1")
    pictures = args.only.split(",") if args.only else PICTURES

    print("Machine: %s" % machine_description())
    print("Load average at start: %s" % load_average())
    sys.stdout.flush()

    rows = []  # (operation, picture, tool, Measure)
    extra = {}
    for picture in pictures:
        pcx = os.path.join(data, picture + ".pcx")
        ppm = os.path.join(data, picture + ".ppm")
        tiny = "tiny24" if picture.endswith("24") else "tiny8"
        tiny_pcx = os.path.join(data, tiny + ".pcx")
        tiny_ppm = os.path.join(data, tiny + ".ppm")
        devnull = os.devnull
        written = os.path.join(out_dir, picture + ".pcx")
        pillow = [sys.executable, os.path.abspath(__file__), "--pillow-worker"]

        # Decode.
        decodes, details = in_process_rounds([
            ("ours", [driver, "decode", pcx, str(reps_fast)]),
            ("floor", [floor, pcx, str(reps_fast)]),
            ("Pillow", pillow + ["decode", pcx, str(reps_pillow), "-"]),
        ], rounds)
        extra[picture] = details["ours"]
        for name in ("ours", "floor", "Pillow"):
            rows.append(("decode", picture, name, decodes[name]))
        rows.append(("decode", picture, "pcxtoppm",
                     net_process(lambda f: ["pcxtoppm", f], pcx, tiny_pcx, devnull,
                                 reps_process)))
        rows.append(("decode", picture, "ImageMagick",
                     net_process(lambda f: [MAGICK, f, "null:"], pcx, tiny_pcx, devnull,
                                 reps_process, magick_env)))
        # Preview and header.
        rows.append(("preview", picture, "ours",
                     in_process([driver, "preview", pcx, str(reps_fast)])[0]))
        rows.append(("header", picture, "ours",
                     in_process([driver, "header", pcx, str(reps_fast)])[0]))
        rows.append(("header", picture, "Pillow",
                     in_process(pillow + ["header", pcx, str(reps_fast), "-"])[0]))
        # Write.
        writes, _ = in_process_rounds([
            ("ours", [driver, "write", pcx, str(reps_fast), written]),
            ("Pillow", pillow + ["write", pcx, str(reps_pillow), written]),
        ], rounds)
        for name in ("ours", "Pillow"):
            rows.append(("write", picture, name, writes[name]))
        depth = "-24bit" if picture.endswith("24") else "-8bit"
        rows.append(("write", picture, "ppmtopcx",
                     net_process(lambda f: ["ppmtopcx", depth, f], ppm, tiny_ppm, written,
                                 reps_process)))
        encode, encode_peak = whole_process([MAGICK, pcx, written], devnull, reps_process,
                                            magick_env, fresh=written)
        decode_only, decode_peak = whole_process([MAGICK, pcx, "null:"], devnull,
                                                 reps_process, magick_env)
        rows.append(("write", picture, "ImageMagick",
                     Measure(encode - decode_only, encode_peak - decode_peak,
                             "less its decode, %.1f ms" % (decode_only * 1e3))))
        print("  timed %s (load %s)" % (picture, load_average()))
        sys.stdout.flush()

    print_table(rows)
    check_targets(rows, extra)
    print("Load average at end: %s" % load_average())
    if args.json:
        with open(args.json, "w") as out:
            json.dump([{"operation": o, "picture": p, "tool": t, "ms": m.seconds * 1e3,
                        "peak_kib": m.peak_kib, "note": m.note} for o, p, t, m in rows],
                      out, indent=1)


def lookup(rows, operation, picture, tool):
    for o, p, t, m in rows:
        if (o, p, t) == (operation, picture, tool):
            return m
    return None


def milliseconds(seconds):
    """Three significant digits, at least: 123.4, 12.34, 0.0123."""
    ms = seconds * 1e3
    if abs(ms) >= 100:
        return "%.1f" % ms
    if abs(ms) >= 1:
        return "%.2f" % ms
    return "%.4f" % ms


def print_table(rows):
    print()
    print("%-8s %-8s %-12s %10s %9s %9s %10s  %s" % (
        "op", "picture", "tool", "median ms", "vs ours", "vs floor", "peak MiB", "note"))
    print("-" * 90)
    last = None
    for operation, picture, tool, measure in rows:
        key = (operation, picture)
        if last is not None and key != last and operation == "decode":
            print()
        last = key
        ours = lookup(rows, operation, picture, "ours")
        floor = lookup(rows, "decode", picture, "floor") if operation == "decode" else None
        ratio = ("%8.2fx" % (measure.seconds / ours.seconds)
                 if ours and tool != "ours" and ours.seconds > 0 else "")
        to_floor = ("%8.2fx" % (measure.seconds / floor.seconds)
                    if floor and floor.seconds > 0 else "")
        peak = "%10.1f" % (max(measure.peak_kib, 0) / MIB)
        print("%-8s %-8s %-12s %10s %9s %9s %s  %s" % (
            operation, picture, tool, milliseconds(measure.seconds), ratio, to_floor, peak,
            measure.note))
    print()
    print("vs ours: the tool's time over ours (above 1: ours is faster). vs floor: the time "
          "over the floor's.")
    print("Notes of in-process tools: time per run in the program and in the kernel, and the "
          "page faults,")
    print("each a first touch of fresh memory (for a decode, raw and pixels are fresh each time).")


def check_targets(rows, extra):
    print()
    print("Targets:")
    outcomes = []

    def verdict(ok, text):
        outcomes.append(ok)
        print("  %-4s %s" % ("ok" if ok else "MISS", text))

    noise_lead = {}
    for operation in ("decode", "write"):
        for picture in ("noise24", "noise8", "flat24", "flat8"):
            ours = lookup(rows, operation, picture, "ours")
            pillow = lookup(rows, operation, picture, "Pillow")
            if not ours or not pillow:
                continue
            lead = pillow.seconds / ours.seconds
            if picture.startswith("noise"):
                noise_lead[(operation, picture[5:])] = lead
                verdict(lead >= 2.5, "%s %s: %.2fx as fast as Pillow (at least 2.5x)" % (
                    operation, picture, lead))
            else:
                verdict(lead >= 2.5, "%s %s: %.2fx as fast as Pillow (at least 2.5x)" % (
                    operation, picture, lead))
                noise = noise_lead.get((operation, picture[4:]))
                if noise is not None:
                    verdict(lead >= noise, "%s %s: ahead of Pillow at least as far as on noise "
                            "(%.2fx against %.2fx)" % (operation, picture, lead, noise))
            if operation == "decode" and picture.startswith("noise"):
                floor = lookup(rows, "decode", picture, "floor")
                if floor:
                    verdict(ours.seconds <= 1.3 * floor.seconds,
                            "decode %s: %.2fx the floor (at most 1.3x)" % (
                                picture, ours.seconds / floor.seconds))
    for picture, details in extra.items():
        limit = details["raw_kib"] + details["pixels_kib"] + 2048
        verdict(0 <= details["peak_kib"] <= limit,
                "decode %s peak memory: %.1f MiB, raw + pixels %+.0f KiB (at most + 2 MiB)" % (
                    picture, details["peak_kib"] / MIB,
                    details["peak_kib"] - details["raw_kib"] - details["pixels_kib"]))
    print("  %d of %d targets met" % (sum(outcomes), len(outcomes)))


if __name__ == "__main__":
    main()
