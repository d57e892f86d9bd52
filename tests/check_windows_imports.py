#!/usr/bin/env python3
"""Holds Windows programs to what Windows XP SP3 can load.

    check_windows_imports.py OBJDUMP LIST PROGRAM...

LIST (tests/data/windows-imports.txt) names, one a line, a DLL, a function
and the first Windows version that has it. Every function a PROGRAM imports
must be on the list with a version no later than Windows XP SP3, and every
PROGRAM's header must ask for no later Windows than XP (5.1) as the
operating system and subsystem version, or XP's loader refuses it. Each
failure is named; on success the import table of each program is printed.
"""
import os
import re
import subprocess
import sys

# The tools run in the C locale: their output is read here, and in another
# locale objdump translates the headings and words it is parsed by.
TOOL_ENV = dict(os.environ, LC_ALL="C")

# Client releases in order; a version in the list must be one of these.
VERSIONS = [
    "Windows NT 4.0", "Windows 2000", "Windows XP", "Windows XP SP1",
    "Windows XP SP2", "Windows XP SP3", "Windows Vista", "Windows 7",
    "Windows 8", "Windows 8.1", "Windows 10", "Windows 11",
]
TARGET = "Windows XP SP3"
# Windows XP is version 5.1 of Windows NT.
TARGET_HEADER_VERSION = (5, 1)


def read_list(path):
    """{(dll, function): version} from the list; a malformed line is fatal."""
    listed = {}
    with open(path, encoding="utf-8") as text:
        for number, line in enumerate(text, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split(None, 2)
            if len(fields) != 3 or fields[2] not in VERSIONS:
                raise SystemExit(f"{path}:{number}: expected DLL, function and one of "
                                 f"{', '.join(VERSIONS)}: {line!r}")
            key = (fields[0].lower(), fields[1])
            if key in listed:
                raise SystemExit(f"{path}:{number}: {fields[0]} {fields[1]} is listed twice")
            listed[key] = fields[2]
    return listed


def read_program(objdump, program):
    """The imports [(dll, function)] and the header's versions of a PE file."""
    text = subprocess.run([objdump, "-p", program], check=True, capture_output=True,
                          env=TOOL_ENV, text=True).stdout
    imports = []
    dll = None
    for line in text.splitlines():
        named = re.match(r"\s*DLL Name:\s*(\S+)", line)
        if named:
            dll = named.group(1).lower()
            continue
        if dll is None:
            continue
        if not line.strip():
            dll = None
            continue
        # "\t<hint-name RVA>\t <hint>  <name>"; an import by ordinal has the
        # ordinal in place of the hint and "<none>" for its name.
        entry = re.match(r"\s*[0-9a-fA-F]+\s+(\d+)\s+(\S+)\s*$", line)
        if entry:
            name = entry.group(2)
            imports.append((dll, name if name != "<none>" else f"ordinal {entry.group(1)}"))
    header = {}
    for field in ("MajorOSystemVersion", "MinorOSystemVersion", "MajorSubsystemVersion",
                  "MinorSubsystemVersion"):
        found = re.search(rf"^{field}\s+(\d+)", text, re.MULTILINE)
        header[field] = int(found.group(1)) if found else None
    return imports, header


def main():
    if len(sys.argv) < 4:
        raise SystemExit(__doc__)
    objdump, list_path, programs = sys.argv[1], sys.argv[2], sys.argv[3:]
    listed = read_list(list_path)
    limit = VERSIONS.index(TARGET)
    failures = []
    used = set()
    for program in programs:
        imports, header = read_program(objdump, program)
        if not imports:
            failures.append(f"{program}: no import table found")
        for kind in ("OSystem", "Subsystem"):
            version = (header[f"Major{kind}Version"], header[f"Minor{kind}Version"])
            if None in version or version > TARGET_HEADER_VERSION:
                failures.append(f"{program}: the header asks for {kind} version "
                                f"{version[0]}.{version[1]}, later than Windows XP's 5.1")
        for dll, function in imports:
            used.add((dll, function))
            version = listed.get((dll, function))
            if version is None:
                failures.append(f"{program}: {dll} {function}: not on the list {list_path}")
            elif VERSIONS.index(version) > limit:
                failures.append(f"{program}: {dll} {function}: first in {version}, "
                                f"later than {TARGET}")
        if not failures:
            by_dll = {}
            for dll, function in imports:
                by_dll.setdefault(dll, []).append(function)
            print(f"{program}: {len(imports)} imports, all on the list and in {TARGET}")
            for dll in sorted(by_dll):
                print(f"  {dll} ({len(by_dll[dll])}): {' '.join(by_dll[dll])}")
    for failure in failures:
        print("FAIL:", failure)
    unused = sorted(set(listed) - used)
    if unused and not failures:
        print("listed, imported by none of these programs:",
              ", ".join(f"{dll} {function}" for dll, function in unused))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
