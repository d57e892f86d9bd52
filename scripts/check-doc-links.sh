#!/bin/sh
# Fails when a link or image in the project's Markdown files names a file
# that does not exist, or a heading that its file does not have (#anchor, by
# GitHub's rules for a heading's anchor). Web addresses are not followed: the
# check works offline. The checker is remark-validate-links, installed into
# scripts/doc-links/node_modules by scripts/bootstrap.sh.
#
#   scripts/check-doc-links.sh [FILE.md...]
#
# Without files, every Markdown file git tracks, from the checkout's top
# folder; files given are taken from the current folder, where their links
# are checked too.
set -eu
modules="$(cd "$(dirname "$0")" && pwd)/doc-links/node_modules"
remark="$modules/.bin/remark"
if [ ! -x "$remark" ]; then
    echo "check-doc-links: no $remark: run scripts/bootstrap.sh" >&2
    exit 1
fi
if [ $# -eq 0 ]; then
    cd "$(dirname "$0")/.."
    # shellcheck disable=SC2046
    set -- $(git ls-files '*.md')
fi
# repository:false, root '.': the links are the files' own, in this folder,
# whether or not it is a git checkout and whatever its remote.
exec "$remark" --no-config --no-ignore --no-color --no-stdout --frail --quiet \
    --use "$modules/remark-validate-links/index.js=repository:false,root:'.'" "$@"
