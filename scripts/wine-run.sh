#!/bin/sh
# Runs a Windows program under Wine in a private prefix.
#
#   scripts/wine-run.sh PREFIX PROGRAM [ARGS...]
#   scripts/wine-run.sh PREFIX --server ARGS    the prefix's wineserver
#   scripts/wine-run.sh PREFIX --version        Wine's version
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

here=$(cd "$(dirname "$0")" && pwd)
# Every Windows program runs on the machine's road (scripts/wine-road.sh):
# natively, or under qemu-user where the kernel runs no 32-bit code or
# PCX_WINE_EMULATE=1 asks for it. The road runs this script again, once.
if [ "${PCX_WINE_ON_ROAD:-}" != 1 ]; then
    exec "$here/wine-road.sh" run "$0" "$@"
fi
unset PCX_WINE_ON_ROAD

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

if [ ! -f "$prefix/.pcx-ready-2" ]; then
    flock "$prefix.lock" "$here/wine-prefix.sh" "$prefix"
fi

# Wine's own tools, on the same road and prefix: "--server ARGS" runs the
# wineserver with ARGS (-k ends it, -p keeps it), "--version" says which Wine.
case ${1:-} in
    --server)
        shift
        exec wineserver "$@"
        ;;
    --version) exec wine --version ;;
esac

# A Wine program starts a wineserver when none is running, and that server
# inherits the caller's output pipes and keeps them open for seconds after
# the program ends: a test runner reading them waits for nothing. Start the
# server first, detached from them; when one is already running this only
# fails quietly. It stays for 30 s after its last program: a server that
# ends between two programs of a test run can be caught as the next one
# connects ("wine client error: recvmsg: Connection reset by peer"), and
# the program after it would start a server of its own, under whatever
# limits that program runs with.
#
# A new server's helper processes (services, devices, the desktop) start
# with its first program and take that program's output handles with them:
# a test runner's pipe would stay open until the server ends, 30 s later,
# and the runner would count the test as running all that time. So the
# first program of a new server is one whose output goes nowhere. Runners
# that start together take turns here, so that none starts the helpers
# while another is still starting them.
(
    flock 9
    # Neither the server nor the helpers may keep the lock open.
    if wineserver -p30 </dev/null >/dev/null 2>&1 9>&-; then
        wine cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$prefix.server-lock"

# A test may limit the size of the files the program writes, in bytes, to
# see its writes fail as on a full disk: past the limit a write fails
# (EFBIG) instead of the signal ending the program. The server started above
# is not limited, so its own files are saved whole.
if [ -n "${PCX_FILE_SIZE_LIMIT:-}" ]; then
    trap '' XFSZ
    exec prlimit --fsize="$PCX_FILE_SIZE_LIMIT:" wine "$@"
fi
exec wine "$@"
