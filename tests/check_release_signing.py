#!/usr/bin/env python3
"""Signs a release with a throwaway certificate and checks what signing did.

    check_release_signing.py --work DIR --osslsigncode TOOL --wine WINE-RUN PREFIX
                             --import-test import_test.exe --program BUILT...
                             -- MAKE-DIST-COMMAND...

MAKE-DIST-COMMAND is make-dist.py with the dist target's arguments but the
output folder; it writes into DIR (emptied first), not build/dist.

- A release asked to sign with a certificate that is not there, or with a
  time stamp server that refuses the connection, fails with a message and
  writes no file.
- Signed with a self-signed certificate made here, the release holds
  programs that `osslsigncode verify` accepts with that certificate as the
  only trusted one (the unsigned BUILT files it refuses), SHA256SUMS inside
  the zip gives the signed files' sums, and SHA256SUMS beside it the zip's.
- Each signed program is its BUILT file with the signature added and
  nothing else changed: the same headers but the PE checksum (which is
  right for the signed file) and the certificate table's directory entry,
  the same section table and section data, the same bytes up to the end of
  the BUILT file, then zero padding to 8 bytes and one WIN_CERTIFICATE
  (PKCS#7 signed data) that runs to the end of the file.
- import_test.exe passes under Wine in a folder that holds it and the
  signed Pcx.opx alone, which it loads from there.
"""
import argparse
import hashlib
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import zipfile

from check_release import Checks

PROGRAMS = ["Pcx.opx", "opxhost.exe"]
CERT_TABLE = 4  # the data directory entry of the certificate table


def pe_layout(data):
    """(offset of the checksum, offset of the certificate table's entry,
    section table bytes, [(name, raw offset, raw size)]) of a PE32 file."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x10B:
        raise ValueError("not a PE32 file")
    table = optional + optional_size
    raw = data[table:table + 40 * sections]
    entries = []
    for index in range(sections):
        name = raw[40 * index:40 * index + 8].rstrip(b"\0").decode("ascii", "replace")
        size, offset = struct.unpack_from("<II", raw, 40 * index + 16)
        entries.append((name, offset, size))
    return optional + 64, optional + 96 + 8 * CERT_TABLE, raw, entries


def pe_checksum(data, checksum_at):
    """The PE checksum: 16-bit words added with end-around carry, the
    checksum field counted as zero, plus the file's length."""
    padded = data[:checksum_at] + b"\0\0\0\0" + data[checksum_at + 4:]
    if len(padded) % 2:
        padded += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + len(data)


def compare_signed(checks, name, unsigned, signed):
    """Everything but the signature is the unsigned file's."""
    checksum_at, entry_at, table, sections = pe_layout(unsigned)
    signed_at = pe_layout(signed)
    checks.expect(signed_at[:3] == (checksum_at, entry_at, table),
                  f"{name}: the signed file's headers or section table differ")
    for section, offset, size in sections:
        checks.expect(signed[offset:offset + size] == unsigned[offset:offset + size],
                      f"{name}: section {section} differs")
    changed = [i for i in range(len(unsigned)) if signed[i:i + 1] != unsigned[i:i + 1]
               and not (checksum_at <= i < checksum_at + 4 or entry_at <= i < entry_at + 8)]
    checks.expect(not changed, f"{name}: signing changed bytes at {changed[:8]}")
    checks.expect(struct.unpack_from("<I", signed, checksum_at)[0]
                  == pe_checksum(signed, checksum_at),
                  f"{name}: the PE checksum is not the signed file's")
    checks.expect(unsigned[entry_at:entry_at + 8] == bytes(8),
                  f"{name}: the unsigned file already has a certificate table")
    table_at, table_size = struct.unpack_from("<II", signed, entry_at)
    start = (len(unsigned) + 7) // 8 * 8
    checks.expect((table_at, table_size) == (start, len(signed) - start),
                  f"{name}: certificate table at {table_at} ({table_size} bytes), expected "
                  f"at {start} to the end ({len(signed) - start} bytes)")
    checks.expect(signed[len(unsigned):start] == bytes(start - len(unsigned)),
                  f"{name}: the padding before the certificate table is not zero")
    length, revision, kind = struct.unpack_from("<IHH", signed, start)
    checks.expect(8 < length <= table_size and revision == 0x200 and kind == 2,
                  f"{name}: WIN_CERTIFICATE length {length}, revision {revision:#x}, type {kind}")


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--osslsigncode", required=True)
    parser.add_argument("--wine", nargs=2, required=True, metavar=("WINE_RUN", "PREFIX"))
    parser.add_argument("--import-test", required=True)
    parser.add_argument("--program", nargs="+", required=True)
    parser.add_argument("make_dist", nargs="+")
    args = parser.parse_args()
    checks = Checks()
    # The caller's locale for Wine (its file names follow it), the C locale
    # for the messages read here.
    wine_env = {k: v for k, v in os.environ.items()
                if k not in ("PCX_SIGN_CERT", "PCX_SIGN_KEY", "PCX_SIGN_TIMESTAMP_URL", "PCX_MODULE")}
    env = dict(wine_env, LC_ALL="C", PCX_OSSLSIGNCODE=args.osslsigncode)

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    cert, key = os.path.join(work, "c.pem"), os.path.join(work, "k.pem")
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=test",
         "-days", "2", "-keyout", key, "-out", cert], check=True, env=env)

    # Failures write nothing. Nothing listens on a bound socket that does not
    # listen, so a time stamp request to it is refused at once.
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        refusing = f"http://127.0.0.1:{closed.getsockname()[1]}/"
        for index, (label, options, says) in enumerate([
                ("a missing certificate",
                 ["--sign-cert", os.path.join(work, "none.pem"), "--sign-key", key],
                 "cannot read the signing certificate"),
                ("a refused time stamp",
                 ["--sign-cert", cert, "--sign-key", key, "--sign-timestamp-url", refusing],
                 "could not sign")]):
            out = os.path.join(work, f"failed-{index}")
            done = run(args.make_dist + ["--out-dir", out] + options, env=env)
            checks.expect(done.returncode != 0, f"with {label} make-dist succeeded")
            checks.expect(says in done.stderr,
                          f"with {label} make-dist said {done.stderr[-400:]!r}, not {says!r}")
            left = os.listdir(out) if os.path.isdir(out) else []
            checks.expect(not left, f"with {label} make-dist left {left}")

    out = os.path.join(work, "dist")
    done = run(args.make_dist + ["--out-dir", out, "--sign-cert", cert, "--sign-key", key],
               env=env)
    if not checks.expect(done.returncode == 0, f"signing failed: {done.stdout}{done.stderr}"):
        for failure in checks.failures:
            print("FAIL:", failure)
        return 1
    zip_path = next(os.path.join(out, n) for n in os.listdir(out) if n.endswith(".zip"))
    folder = os.path.basename(zip_path)[:-4]
    with zipfile.ZipFile(zip_path) as archive:
        files = {info.filename[len(folder) + 1:]: archive.read(info)
                 for info in archive.infolist() if not info.is_dir()}
    with open(zip_path, "rb") as data:
        zip_line = f"{hashlib.sha256(data.read()).hexdigest()}  {os.path.basename(zip_path)}\n"
    with open(os.path.join(out, "SHA256SUMS"), encoding="ascii") as sums:
        checks.expect(sums.read() == zip_line, "SHA256SUMS beside the zip is not the zip's")
    listed = {name: digest for digest, name in
              (line.split("  ", 1) for line in
               files.get("SHA256SUMS", b"").decode("ascii").splitlines())}
    built = {os.path.basename(path): path for path in args.program}
    signed_dir = os.path.join(work, "signed")
    os.makedirs(signed_dir)
    for name in PROGRAMS:
        signed = files.get(name, b"")
        with open(built[name], "rb") as data:
            unsigned = data.read()
        checks.expect(listed.get(name) == hashlib.sha256(signed).hexdigest(),
                      f"SHA256SUMS in the zip does not give the signed {name}'s sum")
        path = os.path.join(signed_dir, name)
        with open(path, "wb") as copy:
            copy.write(signed)
        for target, trusted in ((path, True), (built[name], False)):
            verify = run([args.osslsigncode, "verify", "-CAfile", cert, "-in", target], env=env)
            said = verify.stdout + verify.stderr
            accepted = verify.returncode == 0 and "Signature verification: ok" in said \
                and re.search(r"Subject: /CN=test\b", said) is not None
            checks.expect(accepted == trusted,
                          f"osslsigncode verify {'refused' if trusted else 'accepted'} {target}: "
                          f"{said[-600:]}")
        try:
            compare_signed(checks, name, unsigned, signed)
        except (ValueError, struct.error) as error:
            checks.expect(False, f"{name}: {error}")

    # The import tests against the signed module, loaded from beside them.
    folder = os.path.join(work, "import-test")
    os.makedirs(folder)
    shutil.copyfile(args.import_test, os.path.join(folder, "import_test.exe"))
    shutil.copyfile(os.path.join(signed_dir, "Pcx.opx"), os.path.join(folder, "Pcx.opx"))
    done = run([*args.wine, os.path.join(folder, "import_test.exe"), "--gtest_color=no"],
               env=wine_env, timeout=300)
    passed = re.search(r"^\[  PASSED  \] (\d+) tests?", done.stdout, re.MULTILINE)
    checks.expect(done.returncode == 0 and passed and "[  FAILED  ]" not in done.stdout,
                  f"import_test with the signed Pcx.opx: exit {done.returncode}\n"
                  f"{done.stdout[-3000:]}{done.stderr[-1000:]}")

    for failure in checks.failures:
        print("FAIL:", failure)
    if checks.failures:
        return 1
    for name in PROGRAMS:
        print(f"{name}: {os.path.getsize(built[name])} bytes, signed "
              f"{len(files[name])} bytes, verified, sections unchanged")
    print(f"import_test.exe with the signed Pcx.opx: {passed.group(1)} tests passed")
    print(zip_line.strip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
