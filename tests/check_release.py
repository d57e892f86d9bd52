#!/usr/bin/env python3
"""Checks the release zip that `make dist` wrote.

    check_release.py --zip ZIP --sums SHA256SUMS --debug-dir DIR
                     --objcopy OBJCOPY --objdump OBJDUMP --nm NM
                     --version VERSION --settings-source Export.cpp
                     --source-prefix FOLDER --program BUILT...

- The zip holds one folder named after it with, in this order: Pcx.opx,
  opxhost.exe, README-ja.txt, README-en.txt, CHANGELOG.txt, LICENSE.txt and
  SHA256SUMS; every entry is dated 1980-01-01 00:00.
- SHA256SUMS names every other file of the folder once, with its SHA-256;
  the SHA256SUMS beside the zip names the zip alone, with its SHA-256.
- The programs are byte for byte the BUILT files, the ones the tests ran.
- Each program carries no debug information and no time stamp in its PE
  header, and its .gnu_debuglink names PROGRAM.debug in DIR with that
  file's CRC-32; the debug file holds the debug information.
- The module links no C++ throw machinery: its debug file's symbol table
  names neither ___cxa_throw nor __Unwind_RaiseException. A throw inside a
  host's process can end it (no memory left for the exception, or another
  module's shared libgcc holding the unwind tables).
- Neither program is built from the test tree: of the paths its debug file
  names under FOLDER (the checkout, as the build maps it: the compiled
  files, and the folders and files of the line tables), there are some, and
  none lies in FOLDER/tests.
- The texts are Windows text files (UTF-8 with a byte-order mark, CRLF line
  ends) of this version, and both guides give the registry key and value
  that the module uses (read from its source) and point to the changelog.
- The changelog's newest release is VERSION: its first "## [X.Y.Z] - DATE"
  heading (after Unreleased) names the version the programs carry.
"""
import argparse
import hashlib
import os
import posixpath
import re
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

# The tools run in the C locale: their output is read here, and in another
# locale objdump translates the headings and words it is parsed by.
TOOL_ENV = dict(os.environ, LC_ALL="C")

CHANGELOG = "CHANGELOG.txt"
CONTENTS = ["Pcx.opx", "opxhost.exe", "README-ja.txt", "README-en.txt", CHANGELOG,
            "LICENSE.txt", "SHA256SUMS"]
PROGRAMS = ["Pcx.opx", "opxhost.exe"]
MODULE = "Pcx.opx"
THROW_SYMBOLS = ["___cxa_throw", "__Unwind_RaiseException"]
GUIDES = ["README-ja.txt", "README-en.txt"]


class Checks:
    def __init__(self):
        self.failures = []

    def expect(self, condition, message):
        if not condition:
            self.failures.append(message)
        return condition


def pe_time_stamp(data):
    """TimeDateStamp of a PE file's COFF header."""
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[offset:offset + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<I", data, offset + 8)[0]


def section_names(objdump, path):
    text = subprocess.run([objdump, "-h", path], check=True, capture_output=True,
                          env=TOOL_ENV, text=True).stdout
    return [m.group(1) for m in re.finditer(r"^\s*\d+\s+(\S+)\s", text, re.MULTILINE)]


def symbol_names(nm, path):
    """Every name, defined or not, in a file's symbol table."""
    text = subprocess.run([nm, path], check=True, capture_output=True, text=True,
                          env=TOOL_ENV).stdout
    return {fields[-1] for fields in (line.split() for line in text.splitlines()) if fields}


def debuglink(objcopy, data):
    """(file name, CRC-32) of a PE file's .gnu_debuglink section, or None."""
    with tempfile.TemporaryDirectory() as work:
        program = os.path.join(work, "program")
        section = os.path.join(work, "section")
        with open(program, "wb") as out:
            out.write(data)
        done = subprocess.run([objcopy, f"--dump-section=.gnu_debuglink={section}", program,
                               os.path.join(work, "copy")], capture_output=True, env=TOOL_ENV)
        if done.returncode != 0 or not os.path.exists(section):
            return None
        with open(section, "rb") as raw:
            link = raw.read()
    name, _, _ = link.partition(b"\0")
    # The name, NUL-padded to a multiple of four bytes, then the CRC-32.
    crc_at = (len(name) + 4) // 4 * 4
    if len(link) < crc_at + 4:
        return None
    return name.decode("ascii", "replace"), struct.unpack_from("<I", link, crc_at)[0]


def source_paths(data, prefix):
    """The paths under prefix that a debug file names, each a NUL-ended string
    of its own (debug string tables, line tables), normalised: a header
    included as "../tests/x.h" is named through the includer's folder."""
    pattern = rb"(?<![^\x00])" + re.escape(prefix.encode()) + rb"(?:/[^\x00]*)?(?=\x00)"
    return {posixpath.normpath(match.group(0).decode("utf-8", "replace"))
            for match in re.finditer(pattern, data)}


def settings_location(source):
    """The registry key and value name the module's source gives."""
    with open(source, encoding="utf-8") as text:
        code = text.read()
    key = re.search(r'kSettingsKey\[\]\s*=\s*"([^"]*)"', code)
    value = re.search(r'kMethodValueName\[\]\s*=\s*"([^"]*)"', code)
    if not key or not value:
        raise SystemExit(f"{source}: the settings key or value name is not where it was")
    return key.group(1).replace("\\\\", "\\"), value.group(1)


def released_version(changelog):
    """The version of a Keep a Changelog file's newest release, or None."""
    match = re.search(r"^## \[(\d+\.\d+\.\d+)\] - \d{4}-\d{2}-\d{2}\r?$", changelog,
                      re.MULTILINE)
    return match.group(1) if match else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zip", required=True)
    parser.add_argument("--sums", required=True)
    parser.add_argument("--debug-dir", required=True)
    parser.add_argument("--objcopy", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--nm", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--settings-source", required=True)
    parser.add_argument("--source-prefix", required=True)
    parser.add_argument("--program", nargs="+", required=True)
    args = parser.parse_args()
    checks = Checks()

    folder = os.path.splitext(os.path.basename(args.zip))[0]
    with zipfile.ZipFile(args.zip) as archive:
        infos = archive.infolist()
        names = [info.filename for info in infos]
        expected = [folder + "/"] + [f"{folder}/{name}" for name in CONTENTS]
        checks.expect(names == expected, f"the zip holds {names}, expected {expected}")
        for info in infos:
            checks.expect(info.date_time == (1980, 1, 1, 0, 0, 0),
                          f"{info.filename} is dated {info.date_time}")
        files = {info.filename[len(folder) + 1:]: archive.read(info) for info in infos
                 if not info.is_dir() and info.filename.startswith(folder + "/")}

    # The checksums.
    listed = {}
    for line in files.get("SHA256SUMS", b"").decode("ascii", "replace").splitlines():
        match = re.fullmatch(r"([0-9a-f]{64})  (\S+)", line)
        if checks.expect(match, f"SHA256SUMS: malformed line {line!r}"):
            checks.expect(match.group(2) not in listed, f"SHA256SUMS names {match.group(2)} twice")
            listed[match.group(2)] = match.group(1)
    others = sorted(name for name in files if name != "SHA256SUMS")
    checks.expect(sorted(listed) == others, f"SHA256SUMS names {sorted(listed)}, the zip {others}")
    for name, digest in listed.items():
        if name in files:
            checks.expect(hashlib.sha256(files[name]).hexdigest() == digest,
                          f"SHA256SUMS: wrong checksum for {name}")

    # The checksum published beside the zip, in the same form.
    with open(args.zip, "rb") as data:
        zip_line = f"{hashlib.sha256(data.read()).hexdigest()}  {os.path.basename(args.zip)}\n"
    with open(args.sums, "rb") as sums:
        published = sums.read().decode("ascii", "replace")
    checks.expect(published == zip_line, f"{args.sums} holds {published!r}, expected {zip_line!r}")

    # The programs: what the tests ran, stripped, stamped with no time, linked
    # to their debug files.
    built = {os.path.basename(path): path for path in args.program}
    for name in PROGRAMS:
        data = files.get(name)
        if not checks.expect(data is not None, f"{name} is missing from the zip"):
            continue
        if checks.expect(name in built, f"no built {name} given"):
            with open(built[name], "rb") as program:
                checks.expect(program.read() == data,
                              f"{name} in the zip differs from {built[name]}, which the tests ran")
        checks.expect(pe_time_stamp(data) == 0, f"{name}: PE time stamp {pe_time_stamp(data)}")
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, name)
            with open(path, "wb") as out:
                out.write(data)
            debug_sections = [s for s in section_names(args.objdump, path) if s.startswith(".debug")]
        checks.expect(not debug_sections, f"{name} still holds {debug_sections}")
        link = debuglink(args.objcopy, data)
        if not checks.expect(link is not None, f"{name} has no .gnu_debuglink"):
            continue
        link_name, crc = link
        checks.expect(link_name == name + ".debug", f"{name} links to {link_name!r}")
        debug_path = os.path.join(args.debug_dir, link_name)
        if checks.expect(os.path.isfile(debug_path), f"{debug_path} is missing"):
            with open(debug_path, "rb") as debug:
                debug_data = debug.read()
            checks.expect(zlib.crc32(debug_data) == crc,
                          f"{debug_path} is not the file {name} links to (CRC-32)")
            checks.expect(".debug_info" in section_names(args.objdump, debug_path),
                          f"{debug_path} holds no debug information")
            if name == MODULE:
                linked = sorted(set(THROW_SYMBOLS) & symbol_names(args.nm, debug_path))
                checks.expect(not linked, f"{name} links the throw machinery: {linked}")
            sources = source_paths(debug_data, args.source_prefix)
            tests = args.source_prefix + "/tests"
            if checks.expect(sources, f"{debug_path} names no source under {args.source_prefix}"):
                from_tests = sorted(path for path in sources
                                    if path == tests or path.startswith(tests + "/"))
                checks.expect(not from_tests, f"{name} is built from the test tree: {from_tests}")

    # The texts.
    key, value = settings_location(args.settings_source)
    for name in GUIDES + [CHANGELOG, "LICENSE.txt"]:
        data = files.get(name, b"")
        checks.expect(data.startswith(b"\xef\xbb\xbf"), f"{name} has no UTF-8 byte-order mark")
        checks.expect(data.endswith(b"\r\n"), f"{name} does not end with a line end")
        checks.expect(data.count(b"\n") == data.count(b"\r\n") and b"\r\n" in data,
                      f"{name} has line ends other than CRLF")
        try:
            text = data[3:].decode("utf-8")
        except UnicodeDecodeError as error:
            checks.expect(False, f"{name} is not UTF-8: {error}")
            continue
        checks.expect(args.version in text and "@VERSION@" not in text,
                      f"{name} does not name version {args.version}")
        if name in GUIDES:
            checks.expect("HKEY_CURRENT_USER" + key in text,
                          f"{name} does not give the key HKEY_CURRENT_USER{key}")
            checks.expect("HKCU" + key in text, f"{name} does not give the key as HKCU{key}")
            checks.expect(value in text, f"{name} does not name the value {value}")
            checks.expect(CHANGELOG in text, f"{name} does not point to {CHANGELOG}")
        if name == CHANGELOG:
            released = released_version(text)
            checks.expect(released == args.version,
                          f"{name}: the newest release is {released}, the programs' {args.version}")

    for failure in checks.failures:
        print("FAIL:", failure)
    if checks.failures:
        return 1
    print(f"{args.zip}: {os.path.getsize(args.zip)} bytes")
    for name in CONTENTS:
        print(f"  {folder}/{name}: {len(files[name])} bytes")
    for name in sorted(os.listdir(args.debug_dir)):
        print(f"{os.path.join(args.debug_dir, name)}: "
              f"{os.path.getsize(os.path.join(args.debug_dir, name))} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
