#!/bin/sh
# Compiler and linker launcher for the Windows programs a user installs
# (cmake/PcxPlatform.cmake, pcx_shipped_program): runs the command with the
# mingw-w64 compiler's win32-threads variant in place of the posix-threads
# one that the build is configured with.
#
#   scripts/win32-threads.sh COMPILER ARGS...
set -eu

compiler=$1
shift
case $compiler in
    *-posix) exec "${compiler%-posix}-win32" "$@" ;;
    *)
        echo "win32-threads.sh: not a posix-threads compiler: $compiler" >&2
        exit 1
        ;;
esac
