#!/usr/bin/env python3
"""Checks cmake/PcxShippedSources.cmake, the guard that stops a shipped
program from being built out of tests/, on a small project of the same
shape (tests/data/shipped-sources).

    shipped_sources_guard_test.py --cmake CMAKE --generator GENERATOR
                                  --c-compiler CC --work FOLDER

- "clean": the shipped targets take nothing from tests/ (a test program
  does): the project configures.
- Every other case puts tests/ into a shipped program by one road: a source
  of a library it links through an alias, a source named by a relative path
  with "..", an object library whose objects the module takes, a linked
  library's include path, a compile option. The configuration fails, and
  the message names the road and what it found.
"""
import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.join(HERE, "data", "shipped-sources")
CMAKE_DIR = os.path.join(os.path.dirname(HERE), "cmake")

# Case: the road the message must name and what it found there.
VIOLATIONS = {
    "source": "program -> core_alias -> extra: SOURCES tests/helper.c",
    "relative-source": "program -> core_alias -> helpers: SOURCES sub/../tests/helper.c",
    "objects": f"module -> units: SOURCES {PROJECT}/tests/helper.c",
    "include": f"program -> core_alias -> extra: INCLUDE_DIRECTORIES {PROJECT}/tests",
    "option": f"program: COMPILE_OPTIONS -I{PROJECT}/tests/support",
}


def configure(args, case):
    build = os.path.join(args.work, case)
    shutil.rmtree(build, ignore_errors=True)
    done = subprocess.run([args.cmake, "-S", PROJECT, "-B", build, "-G", args.generator,
                           f"-DCMAKE_C_COMPILER={args.c_compiler}", f"-DCASE={case}",
                           f"-DPCX_CMAKE_DIR={CMAKE_DIR}"],
                          capture_output=True, text=True, env=dict(os.environ, LC_ALL="C"))
    # CMake wraps its messages at 80 columns: compare the words alone.
    return done.returncode, " ".join((done.stdout + done.stderr).split())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--c-compiler", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    failures = []

    status, output = configure(args, "clean")
    if status != 0:
        failures.append(f"clean: the configuration failed:\n{output}")

    for case, road in VIOLATIONS.items():
        status, output = configure(args, case)
        if status == 0:
            failures.append(f"{case}: the configuration passed")
        elif "the test tree" not in output or road not in output:
            failures.append(f"{case}: the message does not name {road!r}:\n{output}")

    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"clean configures; {len(VIOLATIONS)} ways into tests/ stopped")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
