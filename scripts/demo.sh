#!/bin/sh
# The demo: opxhost drives the plug-in over the bundled samples.
#
#   scripts/demo.sh BUILD_DIR [OUT_DIR]
#
# BUILD_DIR is build/native or build/win32 (the Windows build runs under Wine
# in that build's private prefix). The results go to OUT_DIR, by default
# build/demo/native or build/demo/win32. It prints what the plug-in says of
# itself and of each sample, converts the samples to PNG, writes one picture
# back to PCX through the export road with the stored conversion method, and
# says where the results are.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
name=$(basename "$build")
out=${2:-build/demo/$name}
cd "$root"

if [ -f "$build/opxhost.exe" ]; then
    # Wine maps the current folder, so relative names work as they are; an
    # absolute Unix name goes through drive Z:.
    opxhost() { "$root/scripts/wine-run.sh" "$build/wineprefix" "$build/opxhost.exe" "$@"; }
    case $out in /*) host_out="Z:$out" ;; *) host_out=$out ;; esac
else
    opxhost() { "$build/opxhost" "$@"; }
    host_out=$out
fi
mkdir -p "$out"

echo "== The plug-in ($name build)"
opxhost about
echo
echo "== What the plug-in says of each sample"
opxhost info samples/*.pcx
echo
echo "== The samples converted to PNG"
opxhost convert samples/*.pcx --to png --out-dir "$host_out"
echo
echo "== A picture written back to PCX through the export road"
opxhost options
opxhost convert "$host_out/rgb-24bit.png" -o "$host_out/rgb-24bit-written.pcx"
opxhost convert "$host_out/rgb-24bit-written.pcx" -o "$host_out/rgb-24bit-written.png"
echo
echo "== Results in $out:"
(cd "$out" && ls -1 *.png *.pcx | sed 's/^/  /')
