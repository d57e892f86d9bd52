#!/bin/sh
# Runs a Windows program under Wine in a private prefix.
#
#   scripts/wine-run.sh PREFIX PROGRAM [ARGS...]
#
# The prefix is made on first use, once, under a lock (tests run in
# parallel). It is a 32-bit prefix made without installer dialogs: a dialog
# waiting for a click would hang an unattended run. Logs stay quiet.
set -eu

mkdir -p "$(dirname "$1")"
prefix=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift

export WINEPREFIX="$prefix"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

here=$(cd "$(dirname "$0")" && pwd)
if [ ! -f "$prefix/.pcx-ready-2" ]; then
    flock "$prefix.lock" "$here/wine-prefix.sh" "$prefix"
fi

exec wine "$@"
