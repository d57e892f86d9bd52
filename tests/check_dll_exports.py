#!/usr/bin/env python3
"""Checks the export table and the imports of the Windows module.

    check_dll_exports.py OBJDUMP MODULE     the Windows DLL
    check_dll_exports.py --elf NM MODULE    the native shared object
    check_dll_exports.py --imports OBJDUMP PROGRAM...
                                            Windows programs: imports only

The Windows module must export exactly the 17 names of the host protocol, undecorated,
with ordinals 1 to 17 in the protocol's order, and import only Windows system
DLLs: never a C or C++ run-time DLL that a host's folder would not hold. The
programs of the build that run on their own (the benchmark ones) must import
only system DLLs too, so that they start from any folder.
"""
import os
import re
import subprocess
import sys

# The tools run in the C locale: their output is read here, and in another
# locale objdump translates the headings and words it is parsed by.
TOOL_ENV = dict(os.environ, LC_ALL="C")

EXPECTED = [
    "PLUGINCALLBACK", "PLUGOUTCALLBACK", "UNITED_SupportedInformation",
    "UNITED_Verbose", "EXPORT_InterfaceVersion", "EXPORT_SupportedExtensions",
    "EXPORT_EnterOption", "EXPORT_LeaveOption", "EXPORT_BeforeTransform",
    "EXPORT_WriteToFile", "IMPORT_InterfaceVersion", "IMPORT_SupportedExtensions",
    "IMPORT_ValidFileCheck", "IMPORT_ImageInformation", "IMPORT_CreateImage",
    "IMPORT_CreatePreviewImage", "IMPORT_FreeImage",
]

# DLLs every Windows installation has. Anything else would have to be shipped
# beside the module.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll",
    "comctl32.dll", "shell32.dll", "ole32.dll", "psapi.dll",
}


def check_elf(nm: str, module: str) -> int:
    """The native module exports the same 17 names with C linkage, and
    nothing else of its own: its internals stay hidden."""
    text = subprocess.run([nm, "-D", "--defined-only", module], check=True,
                          capture_output=True, env=TOOL_ENV, text=True).stdout
    names = sorted(line.split()[-1] for line in text.splitlines()
                   if len(line.split()) == 3 and line.split()[1] in "TtWDdBbRr"
                   and not line.split()[-1].startswith("_"))
    if names != sorted(EXPECTED):
        print("FAIL: exported", names)
        return 1
    print("17 exports with C linkage, nothing else")
    return 0


def imports_of(objdump: str, path: str) -> list:
    text = subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                          env=TOOL_ENV, text=True).stdout
    return sorted({m.lower() for m in re.findall(r"DLL Name:\s*(\S+)", text)})


def check_imports(objdump: str, programs: list) -> int:
    failed = 0
    for program in programs:
        imports = imports_of(objdump, program)
        foreign = [dll for dll in imports if dll not in SYSTEM_DLLS]
        if foreign or not imports:
            print(f"FAIL: {program} imports {imports}")
            failed = 1
        else:
            print(f"{program}: imports {', '.join(imports)}")
    return failed


def main() -> int:
    if sys.argv[1] == "--elf":
        return check_elf(sys.argv[2], sys.argv[3])
    if sys.argv[1] == "--imports":
        return check_imports(sys.argv[2], sys.argv[3:])
    objdump, module = sys.argv[1], sys.argv[2]
    text = subprocess.run([objdump, "-p", module], check=True, capture_output=True,
                          env=TOOL_ENV, text=True).stdout
    failures = []

    # "[Ordinal/Name Pointer] Table" lists the names sorted by name, each as
    # "[ k] NAME" with k the 0-based index into the address table (ordinal
    # minus the base), or as "[ n] +base[ ordinal] ... NAME" in some versions.
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) != 2:
        print("no export name table in objdump output")
        return 1
    names = {}
    for line in table[1].splitlines():
        m = re.match(r"\s*\[\s*(\d+)\]\s+(?:\+base\[\s*(\d+)\]\s+[0-9a-fA-F]+\s+)?(\S+)\s*$", line)
        if not m:
            if names:
                break
            continue
        names[m.group(3)] = (int(m.group(2)), True) if m.group(2) else (int(m.group(1)), False)

    base_match = re.search(r"Ordinal Base\s+(\d+)", text)
    base = int(base_match.group(1)) if base_match else 1
    if sorted(names) != sorted(EXPECTED):
        failures.append(f"exported names {sorted(names)} != {sorted(EXPECTED)}")
    for index, name in enumerate(EXPECTED):
        if name not in names:
            continue
        number, is_ordinal = names[name]
        ordinal = number if is_ordinal else number + base
        if ordinal != index + 1:
            failures.append(f"{name} has ordinal {ordinal}, expected {index + 1}")
    if base != 1:
        failures.append(f"ordinal base {base}, expected 1")

    imports = imports_of(objdump, module)
    foreign = [dll for dll in imports if dll not in SYSTEM_DLLS]
    if foreign:
        failures.append(f"imports non-system DLLs: {foreign}")

    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"17 exports with ordinals 1-17; imports {', '.join(imports)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
