#!/usr/bin/env python3
"""Builds the release a second time, elsewhere, and compares the bytes.

    check_release_reproducible.py --cmake CMAKE --source SRC --zip ZIP --debug-dir DIR

The checkout's files (git's tracked and untracked-but-not-ignored files, as
they stand in SRC, so that the second build sees what the first one saw) are
copied into a fresh folder under the system's temporary folder, and
`make dist`'s two steps run there: configure the win32 preset, build the
dist target. The second zip and debug files must be byte for byte the first
ones; for a zip that differs, the members that differ are named. Both zips
must carry the changelog, so that its text is among the bytes compared. The
folder is removed afterwards unless --keep is given.
"""
import argparse
import filecmp
import os
import posixpath
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

CHANGELOG = "CHANGELOG.txt"


def checkout_files(source):
    """The checkout's files relative to source; everything but build/ when
    the folder is not a git checkout."""
    try:
        listed = subprocess.run(
            ["git", "-C", source, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
            check=True, capture_output=True).stdout
        names = [name.decode() for name in listed.split(b"\0") if name]
        return [name for name in names if os.path.isfile(os.path.join(source, name))]
    except (OSError, subprocess.CalledProcessError):
        names = []
        for folder, subfolders, files in os.walk(source):
            relative = os.path.relpath(folder, source)
            if relative == ".":
                subfolders[:] = [d for d in subfolders if d not in ("build", ".git")]
            names += [os.path.normpath(os.path.join(relative, f)) for f in files]
        return names


def differing_members(first, second):
    with zipfile.ZipFile(first) as a, zipfile.ZipFile(second) as b:
        left = {info.filename: info for info in a.infolist()}
        right = {info.filename: info for info in b.infolist()}
        names = sorted(set(left) | set(right))
        differ = []
        for name in names:
            if name not in left or name not in right:
                differ.append(f"{name} (only in one)")
            elif a.read(name) != b.read(name):
                differ.append(f"{name} (contents)")
            elif left[name].date_time != right[name].date_time or \
                    left[name].external_attr != right[name].external_attr:
                differ.append(f"{name} (date or attributes)")
        if not differ and [i.filename for i in a.infolist()] != [i.filename for i in b.infolist()]:
            differ.append("(the order of the members)")
        return differ


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--source", required=True)
    parser.add_argument("--zip", required=True)
    parser.add_argument("--debug-dir", required=True)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()

    source = os.path.abspath(args.source)
    work = tempfile.mkdtemp(prefix="pcx-second-release-")
    copy = os.path.join(work, "checkout")
    try:
        for name in checkout_files(source):
            target = os.path.join(copy, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(os.path.join(source, name), target)
        started = time.monotonic()
        for step in ([args.cmake, "--preset", "win32"],
                     [args.cmake, "--build", "--preset", "win32", "--target", "dist"]):
            done = subprocess.run(step, cwd=copy, capture_output=True, text=True)
            if done.returncode != 0:
                print(done.stdout[-4000:], done.stderr[-4000:])
                print(f"FAIL: {' '.join(step)} failed in {copy}")
                return 1
        print(f"second build in {copy}: {time.monotonic() - started:.0f} s")

        second_zip = os.path.join(copy, "build", "dist", os.path.basename(args.zip))
        second_debug = os.path.join(copy, "build", "dist", os.path.basename(args.debug_dir))
        failures = []
        if not os.path.isfile(second_zip):
            failures.append(f"the second build wrote no {second_zip}")
        elif not filecmp.cmp(args.zip, second_zip, shallow=False):
            failures.append(f"{second_zip} differs from {args.zip}: "
                            + ", ".join(differing_members(args.zip, second_zip)))
        first_names = sorted(os.listdir(args.debug_dir))
        second_names = sorted(os.listdir(second_debug)) if os.path.isdir(second_debug) else []
        if first_names != second_names:
            failures.append(f"debug files {second_names}, first build {first_names}")
        for path in (args.zip, second_zip):
            if os.path.isfile(path):
                with zipfile.ZipFile(path) as archive:
                    if not any(posixpath.basename(n) == CHANGELOG for n in archive.namelist()):
                        failures.append(f"{path} carries no {CHANGELOG}")
        for name in set(first_names) & set(second_names):
            if not filecmp.cmp(os.path.join(args.debug_dir, name),
                               os.path.join(second_debug, name), shallow=False):
                failures.append(f"debug file {name} differs")
        for failure in failures:
            print("FAIL:", failure)
        if failures:
            return 1
        print(f"{os.path.basename(args.zip)} and {', '.join(first_names)}: "
              f"the same bytes from {source} and from {copy}")
        return 0
    finally:
        if args.keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
