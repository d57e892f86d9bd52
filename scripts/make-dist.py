#!/usr/bin/env python3
"""Writes the release zip of the Windows build (`make dist`).

    make-dist.py --name NAME --version VERSION --notice NOTICE --out-dir DIR
                 --program FILE... --text SOURCE...

DIR/NAME.zip holds one folder, NAME/, with the programs as they are (the
build has already stripped them), each text SOURCE as a Windows text file
(UTF-8 with a byte-order mark, CRLF line ends, @VERSION@ and @NOTICE@
replaced), and SHA256SUMS, the SHA-256 of every other file in the folder.
The programs' debug files (PROGRAM.debug beside each program) are copied to
DIR/NAME-debug/, beside the zip and not in it.

The zip is the same bytes for the same inputs: its entries come in a fixed
order, all dated 1980-01-01 00:00 (the earliest date a zip holds), with
fixed permissions, and no extra fields.
"""
import argparse
import hashlib
import os
import re
import shutil
import sys
import zipfile

FIXED_DATE = (1980, 1, 1, 0, 0, 0)


def windows_text(source, version, notice):
    with open(source, encoding="utf-8") as text:
        content = text.read()
    content = content.replace("@VERSION@", version).replace("@NOTICE@", notice)
    # Only those two fields are filled in; another one is a typo.
    stray = re.search(r"@[A-Z_]+@", content)
    if stray:
        raise SystemExit(f"{source}: unknown field {stray.group(0)}")
    lines = content.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return b"\xef\xbb\xbf" + "".join(line + "\r\n" for line in lines).encode("utf-8")


def entry(name, is_folder=False):
    info = zipfile.ZipInfo(name, date_time=FIXED_DATE)
    info.create_system = 3  # Unix permissions in the upper half of external_attr
    if is_folder:
        info.external_attr = (0o40755 << 16) | 0x10  # and the MS-DOS folder flag
    else:
        info.external_attr = 0o100644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--notice", required=True)
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("--program", nargs="+", required=True)
    parser.add_argument("--text", nargs="+", required=True)
    args = parser.parse_args()

    files = []  # (name in the folder, bytes), in the zip's order
    for program in args.program:
        with open(program, "rb") as data:
            files.append((os.path.basename(program), data.read()))
    for source in args.text:
        files.append((os.path.basename(source), windows_text(source, args.version, args.notice)))
    names = [name for name, _ in files]
    if len(set(names)) != len(names) or "SHA256SUMS" in names:
        raise SystemExit(f"file names clash: {names}")
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in files)
    files.append(("SHA256SUMS", sums.encode("ascii")))

    os.makedirs(args.out_dir, exist_ok=True)
    zip_path = os.path.join(args.out_dir, args.name + ".zip")
    partial = zip_path + ".part"
    with zipfile.ZipFile(partial, "w") as archive:
        archive.writestr(entry(args.name + "/", is_folder=True), b"")
        for name, data in files:
            archive.writestr(entry(f"{args.name}/{name}"), data, compresslevel=9)
    os.replace(partial, zip_path)

    debug_dir = os.path.join(args.out_dir, args.name + "-debug")
    shutil.rmtree(debug_dir, ignore_errors=True)
    os.makedirs(debug_dir)
    for program in args.program:
        shutil.copyfile(program + ".debug",
                        os.path.join(debug_dir, os.path.basename(program) + ".debug"))

    print(f"{zip_path}: {os.path.getsize(zip_path)} bytes")
    for name, data in files:
        print(f"  {args.name}/{name}: {len(data)} bytes")
    print(f"{debug_dir}: {', '.join(sorted(os.listdir(debug_dir)))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
