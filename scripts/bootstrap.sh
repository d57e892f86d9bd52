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
# Wine runs 32-bit x86 code, and some kernels run none. The script finds
# out which road this machine takes (scripts/wine-road.sh: a tiny i386
# program made with binutils) and says so. Both roads need qemu-user 10 or
# later: the emulated one to run Wine at all, the native one so that make
# test can try the other road too. The release's own qemu may be older
# (bookworm has 7.2, which cannot run Wine 8), so it comes from the
# release's backports suite, pinned so that nothing else comes from there.
# Where the kernel gives no private binfmt table and runs no 32-bit code,
# the i386 entry is registered machine-wide, and the script says so.
#
# The link check of the Markdown files runs remark-validate-links from the
# npm registry: npm ci installs the versions scripts/doc-links/package-lock.json
# names into scripts/doc-links/node_modules, again whenever the lock changes.
#
# For the project's tests of this script:
#   BOOTSTRAP_RETRY_PAUSE   seconds between update attempts (5)
#   BOOTSTRAP_OS_RELEASE    the os-release file naming the release
#   BOOTSTRAP_LOCALE_GEN    the locale-gen list (/etc/locale.gen)
#   BOOTSTRAP_APT_DIR       apt's configuration folder (/etc/apt)
#   BOOTSTRAP_WINE_ROAD     the road script (scripts/wine-road.sh)
#   BOOTSTRAP_DOC_TOOLS     the folder of the link check's npm packages
#                           (scripts/doc-links)
set -eu

here=$(cd "$(dirname "$0")" && pwd)

PACKAGES="
  cmake ninja-build make g++ binutils git python3 file
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32:i386 xvfb xauth
  googletest libgtest-dev libgmock-dev
  clang libclang-rt-14-dev llvm
  libbenchmark-dev time hyperfine
  imagemagick netpbm python3-pil python3-numpy python3-matplotlib
  nodejs
  libstb-dev
  fonts-ipafont-gothic x11-apps
  clang-format
  osslsigncode openssl
  locales
"
# The locale of the second Windows pass, and its line in locale.gen.
JAPANESE_LOCALE="ja_JP.UTF-8"
JAPANESE_LOCALE_LINE="ja_JP.UTF-8 UTF-8"

# qemu-user, at the least version that runs Wine 8, from the backports
# suite of the release.
QEMU_PACKAGE=qemu-user
QEMU_LEAST_VERSION=1:10

UPDATE_TRIES=3
RETRY_PAUSE=${BOOTSTRAP_RETRY_PAUSE:-5}
OS_RELEASE=${BOOTSTRAP_OS_RELEASE:-/etc/os-release}
LOCALE_GEN=${BOOTSTRAP_LOCALE_GEN:-/etc/locale.gen}
APT_DIR=${BOOTSTRAP_APT_DIR:-/etc/apt}
WINE_ROAD=${BOOTSTRAP_WINE_ROAD:-$here/wine-road.sh}
DOC_TOOLS=${BOOTSTRAP_DOC_TOOLS:-$here/doc-links}
BACKPORTS_SOURCE="$APT_DIR/sources.list.d/pcx-backports.sources"
BACKPORTS_PIN="$APT_DIR/preferences.d/pcx-backports"

missing=""
for package in $PACKAGES; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
    case "$status" in
        ii*) ;;
        *) missing="$missing $package" ;;
    esac
done
# Debian's nodejs comes without npm, which is a package of its own there; a
# Node.js from elsewhere may bring its own npm (and conflict with Debian's).
if ! command -v npm >/dev/null 2>&1; then
    missing="$missing npm"
fi

# locale -a names UTF-8 locales "ja_JP.utf8".
have_japanese_locale() {
    locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-*8$'
}

have_qemu() {
    installed=$(dpkg-query -W -f='${db:Status-Abbrev}${Version}' "$QEMU_PACKAGE" 2>/dev/null ||
        true)
    case "$installed" in
        ii*) dpkg --compare-versions "${installed#ii }" ge "$QEMU_LEAST_VERSION" ;;
        *) return 1 ;;
    esac
}
need_qemu=""
have_qemu || need_qemu=yes

codename() {
    sed -n 's/^VERSION_CODENAME=//p' "$OS_RELEASE" 2>/dev/null | tr -d '"' || true
}

# Commands that change the machine run as root, through sudo where needed.
become_root() {
    if [ "$(id -u)" -eq 0 ]; then
        as_root=""
    elif command -v sudo >/dev/null 2>&1; then
        as_root="sudo"
    else
        echo "bootstrap: need root (or sudo) to $1" >&2
        exit 1
    fi
}

# The road: native, or emulated under qemu (also when the machine could run
# 32-bit code but PCX_WINE_EMULATE=1 asks for emulation). Where the kernel
# runs no 32-bit code and gives no private binfmt table, the machine-wide
# entry is registered first, aloud.
say_road() {
    if [ "$("$WINE_ROAD" probe)" != native ] && [ "$("$WINE_ROAD" table)" = none ]; then
        become_root "register qemu-i386 for i386 programs"
        echo "bootstrap: this machine runs no 32-bit x86 code, and its kernel gives no" \
            "private binfmt table (Linux 6.7 or later): registering qemu-i386 machine-wide" \
            "for every i386 program of this machine, as /proc/sys/fs/binfmt_misc/pcx-i386." \
            "It lasts until the next boot; this script registers it again then. To remove" \
            "it: echo -1 > /proc/sys/fs/binfmt_misc/pcx-i386" >&2
        if ! $as_root "$WINE_ROAD" register-machine-wide; then
            echo "bootstrap: could not register qemu-i386 for i386 programs: is binfmt_misc" \
                "in this kernel ('modprobe binfmt_misc')?" >&2
            exit 1
        fi
    fi
    if ! road=$("$WINE_ROAD" describe 2>&1); then
        echo "bootstrap: make demo and make test cannot run the Windows build's programs" \
            "here: ${road#wine-road: }" >&2
        exit 1
    fi
    echo "bootstrap: $road"
}

# The link check's packages, as the lock names them: installed once, and
# again after the lock changed (the copy of the lock they were installed
# from lies beside them).
DOC_TOOLS_STAMP="$DOC_TOOLS/node_modules/.installed-package-lock.json"
have_doc_tools() {
    cmp -s "$DOC_TOOLS/package-lock.json" "$DOC_TOOLS_STAMP"
}

install_doc_tools() {
    echo "bootstrap: installing the link check's npm packages into $DOC_TOOLS/node_modules"
    if ! npm ci --prefix "$DOC_TOOLS" --no-audit --no-fund --loglevel=error; then
        echo "bootstrap: npm ci could not install the packages of $DOC_TOOLS/package-lock.json;" \
            "run scripts/bootstrap.sh again, or look at what 'npm ci --prefix $DOC_TOOLS' says" >&2
        exit 1
    fi
    cp "$DOC_TOOLS/package-lock.json" "$DOC_TOOLS_STAMP"
}

# The steps that need no root, last.
finish() {
    have_doc_tools || install_doc_tools
    say_road
}

if [ -z "$missing" ] && [ -z "$need_qemu" ] && have_japanese_locale; then
    finish
    exit 0
fi

become_root "install:$missing${need_qemu:+ $QEMU_PACKAGE} $JAPANESE_LOCALE"

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

# The release's backports suite as an apt source, from the mirror that serves
# the release itself, and the pin that takes only qemu-user from it. A
# backports source the machine already has is used as it is.
add_backports() {
    release=$(codename)
    if [ -z "$release" ]; then
        echo "bootstrap: $OS_RELEASE names no VERSION_CODENAME, so the backports suite" \
            "that qemu-user comes from is unknown" >&2
        return 1
    fi
    targets=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 2>/dev/null || true)
    mirror=$(echo "$targets" | awk -v r="$release" '$1 == r { print $2; exit }')
    if ! echo "$targets" | awk -v r="$release-backports" '$1 == r { found = 1 } END { exit !found }'
    then
        $as_root mkdir -p "$(dirname "$BACKPORTS_SOURCE")"
        printf '%s\n' \
            "# Written by the Pcx.opx project's scripts/bootstrap.sh: qemu-user alone is" \
            "# taken from here (see $BACKPORTS_PIN)." \
            "Types: deb" \
            "URIs: ${mirror:-http://deb.debian.org/debian/}" \
            "Suites: $release-backports" \
            "Components: main" \
            "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
            $as_root tee "$BACKPORTS_SOURCE" >/dev/null
    fi
    $as_root mkdir -p "$(dirname "$BACKPORTS_PIN")"
    printf '%s\n' \
        "Explanation: Pcx.opx's scripts/bootstrap.sh takes nothing from $release-backports..." \
        "Package: *" \
        "Pin: release n=$release-backports" \
        "Pin-Priority: -1" \
        "" \
        "Explanation: ...but qemu-user, whose release version cannot run Wine 8" \
        "Package: $QEMU_PACKAGE" \
        "Pin: release n=$release-backports" \
        "Pin-Priority: 500" |
        $as_root tee "$BACKPORTS_PIN" >/dev/null
}

# qemu-user from the backports suite by name, so that an index that failed
# to come cannot quietly give the release's older version instead.
install_qemu() {
    echo "bootstrap: installing $QEMU_PACKAGE from $(codename)-backports"
    $as_root apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
        "$QEMU_PACKAGE/$(codename)-backports" && have_qemu
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
    codename=$(codename)
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

if [ -n "$need_qemu" ] && ! add_backports; then
    need_qemu=unavailable
fi
if [ -n "$missing" ]; then
    install_packages
elif [ "$need_qemu" = yes ]; then
    export DEBIAN_FRONTEND=noninteractive
    update_indexes
fi
if [ "$need_qemu" = yes ] && ! install_qemu; then
    need_qemu=unavailable
fi
if [ "$need_qemu" = unavailable ]; then
    if [ "$("$WINE_ROAD" probe)" != native ]; then
        echo "bootstrap: this machine runs no 32-bit x86 code, and Wine needs qemu-user" \
            "$QEMU_LEAST_VERSION or later from $(codename)-backports, which could not be" \
            "installed: the mirror may be mid-sync; run scripts/bootstrap.sh again in a few" \
            "minutes" >&2
        exit 1
    fi
    echo "bootstrap: warning: qemu-user $QEMU_LEAST_VERSION or later could not be installed" \
        "from $(codename)-backports; Windows programs run natively here, but make test's" \
        "check of the emulated road will fail until scripts/bootstrap.sh installs it" >&2
fi
if ! have_japanese_locale; then
    generate_japanese_locale
fi
finish
