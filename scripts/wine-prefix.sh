#!/bin/sh
# Makes the private Wine prefix that the Windows build's programs run in.
# Called by wine-run.sh under a lock; does nothing when the prefix is ready.
set -eu

prefix=$1
[ -f "$prefix/.pcx-ready" ] && exit 0

export WINEPREFIX="$prefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

rm -rf "$prefix"
wineboot -i >/dev/null 2>&1
wineserver -w
touch "$prefix/.pcx-ready"
