#!/bin/sh
# Installs what building and testing the project needs on Debian 12, and
# nothing when it is all present (so it is quick to call before every build).
#
# Every package any build, test, fuzz run, benchmark or the demo uses is
# listed here: a fresh machine gets exactly this.
set -eu

PACKAGES="
  cmake ninja-build make g++ git python3 file
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32:i386 xvfb xauth
  googletest libgtest-dev libgmock-dev
  clang libclang-rt-14-dev llvm
  libbenchmark-dev time hyperfine
  imagemagick netpbm python3-pil python3-numpy
  libstb-dev
  fonts-ipafont-gothic x11-apps
  clang-format
  osslsigncode openssl
"

missing=""
for package in $PACKAGES; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
    case "$status" in
        ii*) ;;
        *) missing="$missing $package" ;;
    esac
done

if [ -z "$missing" ]; then
    exit 0
fi

echo "bootstrap: installing$missing"
if [ "$(id -u)" -eq 0 ]; then
    as_root=""
elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
else
    echo "bootstrap: need root (or sudo) to install:$missing" >&2
    exit 1
fi

# wine32 exists only for the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $as_root dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
# shellcheck disable=SC2086
$as_root apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $missing
