#!/bin/sh
# Fails when a tracked C++ file is not formatted as .clang-format says.
# `make format` fixes what it reports.
set -eu
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h')
# shellcheck disable=SC2086
clang-format --dry-run -Werror $files
