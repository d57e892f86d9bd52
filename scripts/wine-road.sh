#!/bin/sh
# How this machine runs the Windows build's programs: the road.
#
#   scripts/wine-road.sh                  prints "native" or "emulated"
#   scripts/wine-road.sh describe         one line for a person: the road and why
#   scripts/wine-road.sh run PROGRAM...   runs PROGRAM on the road
#   scripts/wine-road.sh register-machine-wide
#                                         (root) the machine-wide i386 entry,
#                                         for a kernel with no private table
#
# Wine runs 32-bit x86 code. The native road runs it on the processor, as
# every Windows program runs on the users' machines. Some kernels run no
# 32-bit x86 user code at all ("Exec format error" for every i386 program,
# Wine among them): there the emulated road runs Wine's i386 programs under
# qemu-user, sent there by a binfmt_misc entry for i386 ELF files. That entry
# lives in a binfmt table of our own processes where the kernel allows it
# (Linux 6.7 and later: a user and mount namespace that mounts binfmt_misc
# gets a table of its own, which every process started inside uses, Wine's
# server and helpers too), so nothing changes for the rest of the machine.
# On an older kernel the bootstrap registers the entry machine-wide, and says
# so; it does that only where no i386 program could run anyway.
#
# A tiny i386 program, made here with binutils, tells the roads apart: it
# exits 42 when it ran natively on the 64-bit kernel, 43 when an emulator
# ran it, and cannot start at all where the kernel runs no 32-bit code.
#
# PCX_WINE_EMULATE=1 takes the emulated road on a machine that could run the
# programs natively, PCX_WINE_EMULATE=0 the native road (which fails where
# the machine cannot), so that both roads can be tried wherever one works.
# Timings taken on the emulated road are the emulator's, not the module's.
#
# run exports PCX_WINE_ROAD (native or emulated) and PCX_WINE_ON_ROAD=1 to
# the program, and on the emulated road QEMU_TB_SIZE: see kCodeCacheMib below.
set -eu

# qemu-user before 10 cannot run Wine 8: qemu 7.2 loops for ever in Wine's
# reservation of its address space.
QEMU_MIN_MAJOR=10
QEMU=${PCX_QEMU_I386:-/usr/bin/qemu-i386}
# qemu's translated-code cache counts as the emulated process's committed
# memory, and by default it grows for as long as new code runs: 200 loads of
# the module grew it by 70 MB. A 16 MiB cache stays flat, so a test of the
# process's memory measures the module, not the emulator.
kCodeCacheMib=16

BINFMT_DIR=/proc/sys/fs/binfmt_misc
ENTRY_NAME=pcx-i386
# i386 ELF executables and shared objects (e_machine 3, e_type 2 or 3), as
# qemu's own binfmt configuration matches them. Flags: O and C open the
# program and take its credentials as the kernel would; F opens qemu when the
# entry is made, so it is found from any mount namespace.
ENTRY=":$ENTRY_NAME:M::"'\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'":"'\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'":$QEMU:OCF"

say() { echo "wine-road: $*" >&2; }

# native, emulator (an i386 program runs, but not on the processor) or none.
probe() {
    work=$(mktemp -d)
    cat >"$work/probe.s" <<'EOF'
        .globl _start
_start: movl $122, %eax          # newuname(&name)
        movl $name, %ebx
        int $0x80
        movl $43, %ebx           # machine, the fifth 65-byte field: "x86_64"
        cmpb $'x', name+260      # on the 64-bit kernel, "i686" in qemu
        jne 1f
        movl $42, %ebx
1:      movl $1, %eax            # exit(status)
        int $0x80
        .bss
name:   .skip 390
EOF
    if ! as --32 -o "$work/probe.o" "$work/probe.s" 2>/dev/null ||
        ! ld -m elf_i386 -o "$work/probe" "$work/probe.o" 2>/dev/null; then
        rm -rf "$work"
        say "cannot make the i386 probe program (as --32 and ld -m elf_i386, from binutils)"
        return 1
    fi
    status=0
    "$work/probe" 2>/dev/null || status=$?
    rm -rf "$work"
    case $status in
        42) echo native ;;
        43) echo emulator ;;
        *) echo none ;;
    esac
}

# qemu-i386's major version, or nothing when it is missing.
qemu_major() {
    [ -x "$QEMU" ] || return 0
    "$QEMU" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9][0-9]*\)\..*/\1/p'
}

# Whether this kernel gives a namespace a binfmt table of its own.
private_table_works() {
    unshare --user --map-root-user --mount \
        sh -c "mount -t binfmt_misc binfmt_misc $BINFMT_DIR" >/dev/null 2>&1
}

machine_wide_entry() {
    [ -f "$BINFMT_DIR/$ENTRY_NAME" ] && head -n 1 "$BINFMT_DIR/$ENTRY_NAME" | grep -qx enabled
}

# private, machine-wide or none: where the emulated road's entry is.
table() {
    if private_table_works; then
        echo private
    elif machine_wide_entry; then
        echo machine-wide
    else
        echo none
    fi
}

# Sets road to native or emulated, found to what the probe found and, on
# the emulated road, where to the table that holds the entry; or says why
# there is no road and fails. Each thing is looked at once.
choose() {
    found=$(probe) || return 1
    case ${PCX_WINE_EMULATE:-} in
        1) wanted=emulated ;;
        0) wanted=native ;;
        "") if [ "$found" = native ]; then wanted=native; else wanted=emulated; fi ;;
        *)
            say "PCX_WINE_EMULATE is '$PCX_WINE_EMULATE': 1 takes the emulated road, 0 the native one"
            return 1
            ;;
    esac
    if [ "$wanted" = native ]; then
        if [ "$found" != native ]; then
            say "PCX_WINE_EMULATE=0 asks for the native road, but this machine runs no" \
                "32-bit x86 program natively"
            return 1
        fi
        road=native
        return 0
    fi
    major=$(qemu_major)
    if [ -z "$major" ]; then
        say "Wine needs qemu-user $QEMU_MIN_MAJOR or later ($QEMU) on the emulated road:" \
            "run scripts/bootstrap.sh, which installs it from the release's backports"
        return 1
    fi
    if [ "$major" -lt "$QEMU_MIN_MAJOR" ]; then
        say "$QEMU is qemu $major, and Wine needs qemu-user $QEMU_MIN_MAJOR or later:" \
            "run scripts/bootstrap.sh, which installs it from the release's backports"
        return 1
    fi
    where=$(table)
    case $where in
        private) ;;
        machine-wide)
            if [ "$found" = native ]; then
                say "an i386 entry of ours is registered machine-wide ($BINFMT_DIR/$ENTRY_NAME)" \
                    "on a machine that runs 32-bit code: remove it with" \
                    "'echo -1 > $BINFMT_DIR/$ENTRY_NAME'"
                return 1
            fi
            ;;
        none)
            if [ "$found" = native ]; then
                say "the emulated road needs a binfmt_misc table of its own (Linux 6.7 or later," \
                    "with user namespaces): a machine-wide one would send every 32-bit program" \
                    "of this machine to qemu"
            else
                say "this kernel gives no private binfmt_misc table (Linux 6.7 or later, with" \
                    "user namespaces) and no machine-wide i386 entry is registered: run" \
                    "scripts/bootstrap.sh as root, which registers one"
            fi
            return 1
            ;;
    esac
    road=emulated
}

describe() {
    choose || return 1
    if [ "$road" = native ]; then
        echo "Windows programs run natively under Wine (this machine runs 32-bit x86 code)"
        return 0
    fi
    version=$("$QEMU" --version | sed -n 's/^qemu-i386 version \([^ ]*\).*/\1/p')
    if [ "$found" = native ]; then
        why="PCX_WINE_EMULATE=1"
    else
        why="this machine runs no 32-bit x86 code"
    fi
    case $where in
        private) table="a binfmt table private to the project's processes" ;;
        *) table="the machine-wide binfmt entry $BINFMT_DIR/$ENTRY_NAME" ;;
    esac
    echo "Windows programs run under Wine inside qemu-user $version ($why), sent there by" \
        "$table; their timings are the emulator's"
}

# Inside a fresh user and mount namespace: the namespace's own binfmt table
# with the one entry, then the program, as the caller's own user again.
inside() {
    uid=$1 gid=$2
    shift 2
    if ! mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" ||
        ! printf '%s' "$ENTRY" >"$BINFMT_DIR/register"; then
        say "could not make a private binfmt table for qemu"
        exit 125
    fi
    if [ "$uid" != 0 ]; then
        # Root of the namespace made the table; the program runs as the
        # user who called, so that Wine finds its prefix and its server's
        # folder owned by that user.
        exec unshare --user --map-user="$uid" --map-group="$gid" -- "$@"
    fi
    exec "$@"
}

run() {
    choose || exit 125
    export PCX_WINE_ROAD="$road" PCX_WINE_ON_ROAD=1
    [ "$road" = native ] && exec "$@"
    export QEMU_TB_SIZE="$kCodeCacheMib"
    [ "$where" = machine-wide ] && exec "$@"
    exec unshare --user --map-root-user --mount -- "$0" inside "$(id -u)" "$(id -g)" "$@"
}

register_machine_wide() {
    if ! grep -q " $BINFMT_DIR binfmt_misc " /proc/mounts; then
        mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" || return 1
    fi
    machine_wide_entry && return 0
    printf '%s' "$ENTRY" >"$BINFMT_DIR/register"
}

command=${1:-road}
[ $# -gt 0 ] && shift
case $command in
    road) choose && echo "$road" ;;
    probe) probe ;;
    table) table ;;
    describe) describe ;;
    run) run "$@" ;;
    inside) inside "$@" ;;
    register-machine-wide) register_machine_wide ;;
    *)
        say "unknown command '$command'"
        exit 2
        ;;
esac
