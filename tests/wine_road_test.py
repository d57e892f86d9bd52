#!/usr/bin/env python3
"""One Windows test program on the road this machine does not take by
default, so that neither road goes untried: under qemu-user where Wine runs
natively, natively where PCX_WINE_EMULATE=1 made the emulated road the
default. Where the machine runs no 32-bit code, only the emulated road
exists, and the test says so and is skipped.

    wine_road_test.py --road scripts/wine-road.sh
                      --wine scripts/wine-run.sh PREFIX --program PROGRAM.exe

The program must pass, and it must have run where the road says: while it
runs, the processes that run it are looked at, and under qemu-user their
executable is the emulator, on the native road Wine's own loader.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

SKIP = 77
POLL_SECONDS = 0.02
TIMEOUT_SECONDS = 300


def road_script(*args, environment=None):
    done = subprocess.run([ARGS.road, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, env=environment)
    return done.returncode, done.stdout.strip(), done.stderr.strip()


def parent_of(pid):
    with open("/proc/%d/stat" % pid) as stat:
        # The command's name, in parentheses, may hold spaces: the parent
        # is the second field after it.
        return int(stat.read().rsplit(")", 1)[1].split()[1])


def descends_from(pid, ancestor):
    while pid > 1:
        if pid == ancestor:
            return True
        pid = parent_of(pid)
    return False


def executables_running(name, ancestor):
    """The executables of the processes under ancestor whose command line
    names name. Other tests may run the same program at the same time."""
    found = set()
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as cmdline:
                if name.encode() not in cmdline.read():
                    continue
            if descends_from(int(pid), ancestor):
                found.add(os.path.realpath(os.readlink("/proc/%s/exe" % pid)))
        except (OSError, IndexError, ValueError):
            continue
    return found


def main():
    status, default, why = road_script()
    if status != 0:
        print("no road for Windows programs here: %s" % why)
        return 1
    other = "native" if default == "emulated" else "emulated"
    _, found, _ = road_script("probe")
    if other == "native" and found != "native":
        print("only the emulated road exists here: this machine runs no 32-bit x86 code")
        return SKIP
    environment = dict(os.environ, PCX_WINE_EMULATE="1" if other == "emulated" else "0")
    status, description, why = road_script("describe", environment=environment)
    if status != 0:
        print("the %s road cannot run here: %s" % (other, why))
        return 1
    print("default road: %s; trying the other: %s" % (default, description))

    name = os.path.basename(ARGS.program)
    seen = set()
    started = time.monotonic()
    # The output goes to a file: Wine's helper processes may keep a pipe
    # open after the program ends.
    with tempfile.TemporaryFile() as output:
        child = subprocess.Popen([ARGS.wine, ARGS.prefix, ARGS.program, "--gtest_color=no"],
                                 stdin=subprocess.DEVNULL, stdout=output,
                                 stderr=subprocess.STDOUT, env=environment)
        while child.poll() is None:
            if time.monotonic() - started > TIMEOUT_SECONDS:
                child.kill()
                child.wait()
                break
            seen |= executables_running(name, child.pid)
            time.sleep(POLL_SECONDS)
        output.seek(0)
        text = output.read().decode(errors="replace")
    seconds = time.monotonic() - started
    print(text)
    print("%s ran in %.1f s; the processes running it: %s" % (
        name, seconds, ", ".join(sorted(seen)) or "none seen"))

    failures = []
    if child.returncode != 0 or "[  PASSED  ]" not in text:
        failures.append("%s failed (exit status %s)" % (name, child.returncode))
    # The runner's shell scripts name the program too; what runs its code
    # is Wine's loader natively, qemu under emulation.
    emulators = {exe for exe in seen if os.path.basename(exe).startswith("qemu-")}
    loaders = {exe for exe in seen if os.path.basename(exe).startswith("wine")}
    if other == "emulated" and (not emulators or loaders):
        failures.append("the program did not run under qemu-user alone")
    if other == "native" and (emulators or not loaders):
        failures.append("the program did not run natively")
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--road", required=True, help="scripts/wine-road.sh")
    parser.add_argument("--wine", nargs=2, required=True, metavar=("RUNNER", "PREFIX"))
    parser.add_argument("--program", required=True, help="a GoogleTest program of the build")
    ARGS = parser.parse_args()
    ARGS.wine, ARGS.prefix = ARGS.wine
    sys.exit(main())
