#!/bin/sh
# Runs a Windows program under Wine in a private prefix.
#
#   scripts/wine-run.sh PREFIX PROGRAM [ARGS...]
#
# The prefix is made on first use, once, under a lock (tests run in
# parallel). It is a 32-bit prefix made without installer dialogs: a dialog
# waiting for a click would hang an unattended run. Logs stay quiet.
#
# With PCX_WINE_LOCALE set (ja_JP.UTF-8, say) the program runs in that Unix
# locale whatever the caller's, and Wine's code pages follow it (932 for
# Japanese, as on the host users' Windows). Such runs use a prefix of their
# own beside PREFIX (PREFIX-ja_JP.UTF-8), made in that locale as a Japanese
# installation is, so that the two kinds of run share no registry.
set -eu

mkdir -p "$(dirname "$1")"
prefix=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift

if [ -n "${PCX_WINE_LOCALE:-}" ]; then
    prefix="$prefix-$PCX_WINE_LOCALE"
    export LANG="$PCX_WINE_LOCALE" LC_ALL="$PCX_WINE_LOCALE"
fi

export WINEPREFIX="$prefix"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

here=$(cd "$(dirname "$0")" && pwd)
if [ ! -f "$prefix/.pcx-ready-2" ]; then
    flock "$prefix.lock" "$here/wine-prefix.sh" "$prefix"
fi

# A Wine program starts a wineserver when none is running, and that server
# inherits the caller's output pipes and keeps them open for seconds after
# the program ends: a test runner reading them waits for nothing. Start the
# server first, detached from them; when one is already running this only
# fails quietly. It stays for 30 s after its last program: a server that
# ends between two programs of a test run can be caught as the next one
# connects ("wine client error: recvmsg: Connection reset by peer"), and
# the program after it would start a server of its own, under whatever
# limits that program runs with.
wineserver -p30 </dev/null >/dev/null 2>&1 || true

# A test may limit the size of the files the program writes, in bytes, to
# see its writes fail as on a full disk: past the limit a write fails
# (EFBIG) instead of the signal ending the program. The server started above
# is not limited, so its own files are saved whole.
if [ -n "${PCX_FILE_SIZE_LIMIT:-}" ]; then
    trap '' XFSZ
    exec prlimit --fsize="$PCX_FILE_SIZE_LIMIT:" wine "$@"
fi
exec wine "$@"
