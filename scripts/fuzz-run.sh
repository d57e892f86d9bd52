#!/bin/sh
# One bounded libFuzzer run of one target: fuzz-run.sh PROGRAM SEEDS WORK SECONDS [libFuzzer options...]
#
# Reads the committed seeds (SEEDS, never written to) and a work corpus of its
# own (WORK/corpus, kept between runs, so that later runs start where earlier
# ones stopped), runs for SECONDS, and fails on any finding: a crash, a
# sanitizer report, a failed check, a leak, a timeout, an input that needs
# more than 2.5 GB, or any single allocation of 512 MB or more (a capped
# picture needs far less; see fuzz/FuzzSupport.h). What the finding was is
# left in WORK/artifacts.
set -eu

if [ $# -lt 4 ]; then
    echo "usage: $0 PROGRAM SEEDS WORK SECONDS [libFuzzer options...]" >&2
    exit 2
fi
program=$1
seeds=$2
work=$3
seconds=$4
shift 4

mkdir -p "$work/corpus" "$work/artifacts" "$work/old-artifacts"
# Findings of an earlier run stay for reference, out of this run's way.
find "$work/artifacts" -type f -exec mv -f {} "$work/old-artifacts/" \;
log="$work/fuzz.log"
status=0
"$program" \
    -max_total_time="$seconds" \
    -rss_limit_mb=2560 \
    -malloc_limit_mb=512 \
    -timeout=25 \
    -report_slow_units=25 \
    -max_len=16384 \
    -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" \
    "$@" \
    "$work/corpus" "$seeds" >"$log" 2>&1 || status=$?

# The last lines say how far the run got (executions, coverage, corpus).
grep -E '^(#[0-9]+.*(DONE|INITED)|stat::number_of_executed_units|stat::peak_rss_mb|stat::new_units_added)' "$log" || true
# Findings only: a slow unit on a busy machine is not one (a unit slower than
# the timeout is, as a timeout-* file).
found=$(find "$work/artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' -o -name 'fuzz-*' \) | head -n 5)
if [ "$status" -ne 0 ] || [ -n "$found" ]; then
    echo "fuzzing $(basename "$program") found a fault (exit $status); log: $log" >&2
    tail -n 60 "$log" >&2
    [ -n "$found" ] && echo "inputs: $found" >&2
    exit 1
fi
echo "$(basename "$program"): no finding in $seconds s"
