#!/bin/sh
# Runs each fuzz target of a LOGLATHE_FUZZ build for a while, one after the other, and prints the
# executions of each at the end.
#
#   scripts/fuzz.sh BUILD_DIR [SECONDS [RUNS]]
#
# SECONDS (default 60) and RUNS (libFuzzer -runs, the most executions; -1 for no limit) bound each
# target's run, whichever comes first. FUZZ_TARGETS (a space-separated list) picks targets.
#
# Each target starts from its committed corpus (fuzz/corpus/<target>, only read) and a working corpus
# kept in BUILD_DIR/fuzz-corpus/<target>, where new inputs go, so that later runs continue from it
# and the committed corpus stays small. An input that crashes, hangs (10 s), runs out of memory or
# fails a check is saved in BUILD_DIR/fuzz-artifacts/<target>/; the run's log is in
# BUILD_DIR/fuzz-logs/<target>.log. The exit status is 1 when any target found something.
set -eu

build=${1:?usage: scripts/fuzz.sh BUILD_DIR [SECONDS [RUNS]]}
seconds=${2:-60}
runs=${3:--1}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)
targets=${FUZZ_TARGETS:-"log_reader dbc tp_chain fixed_format command_line"}

# Real databases from the shared folder beside the checkout, when it is there: read-only seeds for the
# DBC target (only the smaller files, so that each execution stays fast).
extra_seeds() {
    [ "$1" = dbc ] || return 0
    shared="$root/../shared/dbc"
    [ -d "$shared" ] || return 0
    seeds="$build/fuzz-seeds/dbc"
    rm -rf "$seeds"
    mkdir -p "$seeds"
    find "$shared" -name '*.dbc' -size -17k -exec cp {} "$seeds/" \;
    echo "$seeds"
}

summary=""
found=0
for target in $targets; do
    binary="$build/fuzz/fuzz_$target"
    if [ ! -x "$binary" ]; then
        echo "fuzz: $binary is missing (build the target 'fuzzers' first)" >&2
        exit 2
    fi
    work="$build/fuzz-corpus/$target"
    artifacts="$build/fuzz-artifacts/$target"
    log="$build/fuzz-logs/$target.log"
    mkdir -p "$work" "$artifacts" "$(dirname "$log")"

    set -- -max_total_time="$seconds" -runs="$runs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/"
    [ -f "$root/fuzz/dict/$target.dict" ] && set -- "$@" -dict="$root/fuzz/dict/$target.dict"
    [ "$target" = dbc ] && set -- "$@" -max_len=16384
    [ "$target" = log_reader ] && set -- "$@" -max_len=16384
    echo "== fuzz $target: ${seconds}s, runs $runs (log: $log)"
    status=0
    # shellcheck disable=SC2046
    nice "$binary" "$@" "$work" "$root/fuzz/corpus/$target" $(extra_seeds "$target") >"$log" 2>&1 || status=$?

    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    [ -n "$execs" ] || execs=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    if [ "$status" -eq 0 ]; then
        result="ok"
    else
        found=1
        result="FOUND (exit $status): $(ls -t "$artifacts" | head -n 1 | sed "s|^|$artifacts/|")"
        tail -n 40 "$log" >&2
    fi
    summary="$summary$(printf '%-13s %12s executions %8s/s  %s' "$target" "${execs:-?}" "${speed:-?}" "$result")
"
done

echo "== fuzz summary (FUZZ_SECONDS=$seconds FUZZ_RUNS=$runs)"
printf '%s' "$summary"
exit "$found"
