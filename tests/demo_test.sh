#!/bin/sh
# make demo's script over one build, into a fresh folder and with a fresh
# settings store: it must end well and leave the PNG files and the PCX file
# it wrote.
#
#   tests/demo_test.sh BUILD_DIR
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config"

if ! "$root/scripts/demo.sh" "$1" "$work/demo" >"$work/log" 2>&1; then
    cat "$work/log"
    echo "demo_test: the demo failed"
    exit 1
fi
missing=""
for name in mono-1bit cga-2bit ega-4bit palette-8bit grey-8bit-notable rgb-24bit \
    cga-2planes colours-3planes ega-4planes rgba-4planes palette-8bit-uncompressed \
    rgb-24bit-written; do
    [ -s "$work/demo/$name.png" ] || missing="$missing $name.png"
done
[ -s "$work/demo/rgb-24bit-written.pcx" ] || missing="$missing rgb-24bit-written.pcx"
grep -q "^== Results in" "$work/log" || missing="$missing (the closing lines)"
if [ -n "$missing" ]; then
    cat "$work/log"
    echo "demo_test: missing:$missing"
    exit 1
fi
echo "demo_test: the demo wrote 12 PNG files and a PCX file"
