#!/bin/sh
# Installs what building and testing the project needs on Debian 12, and
# nothing when it is all present (so it is quick to call before every build).
#
# Every package any build, test, fuzz run, benchmark or the demo uses is
# listed here: a fresh machine gets exactly this. The Windows suite also runs
# under a Japanese locale (code page 932 under Wine), which is generated here.
#
# A Debian mirror caught mid-sync serves some index files that do not match
# the release files. The update is tried a few times; the indexes that still
# fail are named and the rest are used. Library versions of one architecture
# may then come from a newer index set than those of the other, and apt
# cannot resolve wine32:i386: the install is tried once more with the
# installed release pinned (-t CODENAME), which takes both from one set.
#
# For the project's tests of this script:
#   BOOTSTRAP_RETRY_PAUSE   seconds between update attempts (5)
#   BOOTSTRAP_OS_RELEASE    the os-release file naming the release
#   BOOTSTRAP_LOCALE_GEN    the locale-gen list (/etc/locale.gen)
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
  locales
"
# The locale of the second Windows pass, and its line in locale.gen.
JAPANESE_LOCALE="ja_JP.UTF-8"
JAPANESE_LOCALE_LINE="ja_JP.UTF-8 UTF-8"

UPDATE_TRIES=3
RETRY_PAUSE=${BOOTSTRAP_RETRY_PAUSE:-5}
OS_RELEASE=${BOOTSTRAP_OS_RELEASE:-/etc/os-release}
LOCALE_GEN=${BOOTSTRAP_LOCALE_GEN:-/etc/locale.gen}

missing=""
for package in $PACKAGES; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
    case "$status" in
        ii*) ;;
        *) missing="$missing $package" ;;
    esac
done

# locale -a names UTF-8 locales "ja_JP.utf8".
have_japanese_locale() {
    locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-*8$'
}

if [ -z "$missing" ] && have_japanese_locale; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
else
    echo "bootstrap: need root (or sudo) to install:$missing $JAPANESE_LOCALE" >&2
    exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Updates the package indexes. A failure is tried again; when some indexes
# still fail, they are named and the install goes on with the indexes apt
# has (fresh ones where they came, the older ones where they did not).
update_indexes() {
    attempt=1
    while :; do
        if $as_root apt-get -o DPkg::Lock::Timeout=600 update -qq >"$log" 2>&1; then
            cat "$log"
            return 0
        fi
        [ "$attempt" -lt "$UPDATE_TRIES" ] || break
        echo "bootstrap: apt-get update failed (attempt $attempt of $UPDATE_TRIES);" \
            "trying again in ${RETRY_PAUSE} s" >&2
        sleep "$RETRY_PAUSE"
        attempt=$((attempt + 1))
    done
    failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$log")
    if [ -n "$failed" ]; then
        echo "bootstrap: after $UPDATE_TRIES attempts these indexes could not be fetched" \
            "(the mirror may be mid-sync); going on with the rest:" >&2
        echo "$failed" | sed 's/^/  /' >&2
    else
        echo "bootstrap: apt-get update failed $UPDATE_TRIES times; going on with the" \
            "indexes already present. It said:" >&2
        sed 's/^/  /' "$log" >&2
    fi
}

# apt_install [APT-OPTIONS...]: installs the missing packages; the exit
# status is apt's.
apt_install() {
    # shellcheck disable=SC2086
    $as_root apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
        "$@" $missing
}

install_packages() {
    echo "bootstrap: installing$missing"
    # wine32 exists only for the i386 architecture.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $as_root dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    update_indexes
    apt_install && return 0
    codename=$(sed -n 's/^VERSION_CODENAME=//p' "$OS_RELEASE" 2>/dev/null | tr -d '"' || true)
    if [ -z "$codename" ]; then
        echo "bootstrap: the install failed, and $OS_RELEASE names no VERSION_CODENAME" \
            "to pin the release with" >&2
        exit 1
    fi
    echo "bootstrap: the install failed; trying again with the installed release" \
        "pinned (-t $codename)" >&2
    apt_install -t "$codename" && return 0
    echo "bootstrap: could not install:$missing" >&2
    echo "bootstrap: the mirror may be mid-sync. Wait a few minutes and run" \
        "scripts/bootstrap.sh again, or look at what apt says with" \
        "'apt-get install -t $codename --no-install-recommends$missing'" >&2
    exit 1
}

generate_japanese_locale() {
    echo "bootstrap: generating the locale $JAPANESE_LOCALE"
    if grep -q "^# *$JAPANESE_LOCALE_LINE\$" "$LOCALE_GEN" 2>/dev/null; then
        $as_root sed -i "s/^# *$JAPANESE_LOCALE_LINE\$/$JAPANESE_LOCALE_LINE/" "$LOCALE_GEN"
    elif ! grep -q "^$JAPANESE_LOCALE_LINE\$" "$LOCALE_GEN" 2>/dev/null; then
        echo "$JAPANESE_LOCALE_LINE" | $as_root tee -a "$LOCALE_GEN" >/dev/null
    fi
    # locale-gen makes every locale the list enables.
    $as_root locale-gen >/dev/null
    if ! have_japanese_locale; then
        echo "bootstrap: locale-gen did not make $JAPANESE_LOCALE; enable" \
            "'$JAPANESE_LOCALE_LINE' in $LOCALE_GEN and run locale-gen" >&2
        exit 1
    fi
}

if [ -n "$missing" ]; then
    install_packages
fi
if ! have_japanese_locale; then
    generate_japanese_locale
fi
