#!/usr/bin/env python3
"""Writes the release zip of the Windows build (`make dist`).

    make-dist.py --name NAME --version VERSION --notice NOTICE --out-dir DIR
                 --program FILE... --text SOURCE[=NAME]...
                 [--sign-cert CERT.pem --sign-key KEY.pem [--sign-timestamp-url URL]]

DIR/NAME.zip holds one folder, NAME/, with the programs as they are (the
build has already stripped them), each text SOURCE as a Windows text file
(UTF-8 with a byte-order mark, CRLF line ends, @VERSION@ and @NOTICE@
replaced) under its own name or NAME, and SHA256SUMS, the SHA-256 of every
other file in the folder.
DIR/SHA256SUMS gives the zip's SHA-256 in the same form, to publish beside
it. The programs' debug files (PROGRAM.debug beside each program) are copied
to DIR/NAME-debug/, beside the zip and not in it.

With a certificate and key (PEM; or $PCX_SIGN_CERT, $PCX_SIGN_KEY and
$PCX_SIGN_TIMESTAMP_URL, which `make dist SIGN_CERT=... SIGN_KEY=...` sets),
copies of the programs are signed with Authenticode by osslsigncode
($PCX_OSSLSIGNCODE, else the one on the PATH), with an RFC 3161 time stamp
from URL when one is given, and the zip holds the signed copies; the build's
own files stay as they are. Nothing is written unless every program was
signed.

Unsigned, the zip is the same bytes for the same inputs: its entries come
in a fixed order, all dated 1980-01-01 00:00 (the earliest date a zip
holds), with fixed permissions, and no extra fields.
"""
import argparse
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
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


def sha256sums(files):
    return "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in files)


def check_readable(path, what):
    try:
        with open(path, "rb") as data:
            data.read(1)
    except OSError as error:
        raise SystemExit(f"make-dist: cannot read the signing {what} {path}: {error.strerror}")


def signed(programs, args):
    """(name, bytes) of signed copies of the programs."""
    tool = os.environ.get("PCX_OSSLSIGNCODE") or "osslsigncode"
    command = [tool, "sign", "-certs", args.sign_cert, "-key", args.sign_key, "-h", "sha256"]
    if args.sign_timestamp_url:
        command += ["-ts", args.sign_timestamp_url]
    result = []
    with tempfile.TemporaryDirectory(prefix="pcx-sign-") as work:
        for program in programs:
            name = os.path.basename(program)
            out = os.path.join(work, name)
            try:
                done = subprocess.run(command + ["-in", program, "-out", out],
                                      capture_output=True, text=True)
            except OSError as error:
                raise SystemExit(f"make-dist: cannot run {tool}: {error.strerror}")
            if done.returncode != 0:
                sys.stderr.write(done.stdout + done.stderr)
                raise SystemExit(f"make-dist: {tool} could not sign {name}; no release written")
            with open(out, "rb") as data:
                result.append((name, data.read()))
    return result


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
    parser.add_argument("--sign-cert", default=os.environ.get("PCX_SIGN_CERT"))
    parser.add_argument("--sign-key", default=os.environ.get("PCX_SIGN_KEY"))
    parser.add_argument("--sign-timestamp-url", default=os.environ.get("PCX_SIGN_TIMESTAMP_URL"))
    args = parser.parse_args()
    if bool(args.sign_cert) != bool(args.sign_key):
        raise SystemExit("make-dist: signing needs both a certificate and a key")
    if args.sign_timestamp_url and not args.sign_cert:
        raise SystemExit("make-dist: a time stamp URL without a certificate and key")

    files = []  # (name in the folder, bytes), in the zip's order
    if args.sign_cert:
        check_readable(args.sign_cert, "certificate")
        check_readable(args.sign_key, "key")
        files += signed(args.program, args)
    else:
        for program in args.program:
            with open(program, "rb") as data:
                files.append((os.path.basename(program), data.read()))
    for text in args.text:
        source, _, name = text.partition("=")
        files.append((name or os.path.basename(source),
                      windows_text(source, args.version, args.notice)))
    names = [name for name, _ in files]
    if len(set(names)) != len(names) or "SHA256SUMS" in names:
        raise SystemExit(f"file names clash: {names}")
    files.append(("SHA256SUMS", sha256sums(files).encode("ascii")))

    zip_name = args.name + ".zip"
    packed = io.BytesIO()
    with zipfile.ZipFile(packed, "w") as archive:
        archive.writestr(entry(args.name + "/", is_folder=True), b"")
        for name, data in files:
            archive.writestr(entry(f"{args.name}/{name}"), data, compresslevel=9)
    zip_sums = sha256sums([(zip_name, packed.getvalue())])

    # The zip and its SHA256SUMS take their names last, so that a failure on
    # the way leaves the previous release (or none), never half of this one.
    os.makedirs(args.out_dir, exist_ok=True)
    zip_path = os.path.join(args.out_dir, zip_name)
    sums_path = os.path.join(args.out_dir, "SHA256SUMS")
    with open(zip_path + ".part", "wb") as out:
        out.write(packed.getvalue())
    with open(sums_path + ".part", "wb") as out:
        out.write(zip_sums.encode("ascii"))
    debug_dir = os.path.join(args.out_dir, args.name + "-debug")
    shutil.rmtree(debug_dir, ignore_errors=True)
    os.makedirs(debug_dir)
    for program in args.program:
        shutil.copyfile(program + ".debug",
                        os.path.join(debug_dir, os.path.basename(program) + ".debug"))
    os.replace(zip_path + ".part", zip_path)
    os.replace(sums_path + ".part", sums_path)

    print(f"{zip_path}: {os.path.getsize(zip_path)} bytes")
    for name, data in files:
        print(f"  {args.name}/{name}: {len(data)} bytes")
    print(f"{debug_dir}: {', '.join(sorted(os.listdir(debug_dir)))}")
    print(f"{sums_path}: {zip_sums.strip()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
