#!/bin/sh
# Makes the private Wine prefix that the Windows build's programs run in.
# Called by wine-run.sh under a lock; does nothing when the prefix is ready.
#
# The ready-marker's name changes whenever what this script puts in the
# prefix changes, so that prefixes made by an older version are made anew.
set -eu

prefix=$1
marker="$prefix/.pcx-ready-2"
[ -f "$marker" ] && exit 0

export WINEPREFIX="$prefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

rm -rf "$prefix"
wineboot -i >/dev/null 2>&1

# Wine ships no "ＭＳ Ｐゴシック", the face the option panel asks for: IPA's
# proportional Gothic (fonts-ipafont-gothic) stands in, so that Japanese
# captions render. reg must run in a UTF-8 locale for the name to reach the
# registry as the right Unicode characters.
LANG=C.UTF-8 LC_ALL=C.UTF-8 wine reg add 'HKCU\Software\Wine\Fonts\Replacements' \
    /v 'ＭＳ Ｐゴシック' /d IPAPGothic /f >/dev/null 2>&1
# Text in Wine's own user-interface font (a window's caption, say) falls back
# to the same font for the Japanese characters that font lacks.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v Tahoma /t REG_MULTI_SZ /d 'ipagp.ttf,IPAPGothic' /f >/dev/null 2>&1

# Under Xvfb there is no window manager. Wine would wait up to a second for
# one each time it maps or unmaps a managed window; unmanaged windows skip
# that wait and get their frames drawn by Wine itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

wineserver -w
touch "$marker"
