#!/bin/sh
# Takes docs/option-panel.png: the option panel inside a host-like export
# dialog (pcxoptiondialog), under a virtual X display, with the stored
# conversion method selected.
#
#   scripts/option-panel-screenshot.sh [METHOD] [OUTPUT]
#
# METHOD (default 2, "最適化 256色") is put in the Windows build's private
# prefix registry for the dialog to load, and removed again afterwards.
set -eu
cd "$(dirname "$0")/.."

method=${1:-2}
output=${2:-docs/option-panel.png}

cmake --preset win32 >/dev/null
cmake --build --preset win32 --target pcxoptiondialog >/dev/null

shot=$(mktemp -d)
trap 'rm -rf "$shot"' EXIT

# Every Wine program of the run, reg included, starts inside the virtual
# display: the first one starts the prefix's desktop, and a desktop started
# without a display would leave the dialog without windows.
xvfb-run -a -s "-screen 0 640x480x24" sh -c '
    set -eu
    run="scripts/wine-run.sh $PWD/build/win32/wineprefix"
    key="HKCU\\Software\\TALVERN\\Ostra\\Plugin\\TALVERN\\EPcx"
    $run reg add "$key" /v TransformMethod /t REG_DWORD /d "$1" /f >/dev/null 2>&1
    $run build/win32/pcxoptiondialog.exe --seconds 15 >"$2/dialog.txt" &
    dialog=$!
    for _ in $(seq 100); do
        grep -q "^dialog " "$2/dialog.txt" 2>/dev/null && break
        sleep 0.1
    done
    sleep 1  # let the panel finish painting
    # ImageMagick by its full name: a plain "import" or "convert" on PATH
    # may be another tool.
    import-im6.q16 -window root "$2/screen.png"
    kill "$dialog" 2>/dev/null || true
    wait "$dialog" 2>/dev/null || true
    $run reg delete "$key" /f >/dev/null 2>&1 || true
' sh "$method" "$shot"

set -- $(grep "^dialog " "$shot/dialog.txt" || true)
[ $# -eq 5 ] || { echo "the dialog did not report its place" >&2; exit 1; }
mkdir -p "$(dirname "$output")"
convert-im6.q16 "$shot/screen.png" -crop "${4}x${5}+${2}+${3}" +repage -strip "$output"
echo "wrote $output (${4}x${5})"
