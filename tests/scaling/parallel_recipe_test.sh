#!/bin/sh
# Runs the scaling-out recipe of README.md (the logger check, then the conversion with GNU parallel)
# on this machine with local job slots, and checks that the tree the jobs write together equals the
# tree of one run over the whole archive byte for byte, and that the jobs' combined status is that
# run's status.
# Usage: parallel_recipe_test.sh LOGLATHE_BINARY SOURCE_DIR
set -eu
bin=$(realpath "$1")
src=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "scale-out test: $*" >&2
    exit 1
}
command -v parallel >/dev/null || fail "GNU parallel is missing (scripts/install-deps.sh installs parallel)"

# The Nth indented code block of the README section, without the lines that set the user's paths.
recipe_block() {
    awk -v want="$1" '
        /^## / { inside = ($0 == "## Scaling out"); next }
        !inside { next }
        /^    / { if (!code) { block++; code = 1 }
                  if (block == want && $0 !~ /^    in=/) print substr($0, 5)
                  next }
        { code = 0 }' "$src/README.md"
}
check=$(recipe_block 1)
convert=$(recipe_block 2)
[ -n "$check" ] && [ -n "$convert" ] || fail "README.md has no scaling-out recipe of two code blocks"
# The recipe's DBC option becomes this test's databases.
ex="$src/examples/dbc"
dbcs="--dbc-can1=$work/gen/can1-bench.dbc --dbc-can1=$ex/powertrain.dbc --dbc-can1=$ex/j1939.dbc --dbc-can2=$ex/powertrain.dbc"
case "$convert" in
*"--dbc-can1=/shared/dbc/vehicle.dbc"*) ;;
*) fail "the recipe no longer names --dbc-can1=/shared/dbc/vehicle.dbc: update this test" ;;
esac
convert=$(printf '%s\n' "$convert" | sed "s|--dbc-can1=/shared/dbc/vehicle.dbc|$dbcs|")
mkdir "$work/bin"
ln -s "$bin" "$work/bin/loglathe"
PATH="$work/bin:$PATH"
export PATH

# The archive: three generated loggers of two sessions in three splits each; the example logs (a
# session of two splits crossing midnight UTC, with transfers spanning the splits) as two loggers;
# and a folder whose only log has an unusable header. Blanks in the paths check the quoting.
in="$work/the archive"
python3 "$src/bench/generate.py" "$work/gen" 0.3 --loggers 3 --sessions 2 --split-mb 0.02
mv "$work/gen/logs" "$in"
mkdir "$in/1F3E2A" "$in/second logger" "$in/broken"
for log in "$src"/examples/logs/1F3E2A/*.txt; do
    cp "$log" "$in/1F3E2A/"
    sed 's/^# Logger ID: 1F3E2A/# Logger ID: 2B7C00/' "$log" >"$in/second logger/$(basename "$log")"
done
sed -e 's/^# Logger ID: .*/# Logger ID: BROKEN/' -e 's/^# Split No\.: .*/# Split No.: 0/' \
    "$src/examples/logs/1F3E2A/00000001.txt" >"$in/broken/00000001.txt"
folders=$(find "$in" -mindepth 1 -maxdepth 1 -type d | wc -l)

# One run over the whole archive.
mkdir "$work/single"
single_status=0
# shellcheck disable=SC2086
"$bin" --non-interactive $dbcs -O "$work/single" "$in" >"$work/single.log" 2>&1 || single_status=$?
[ "$single_status" -eq 8 ] || fail "one run over the archive ended with $single_status, expected 8"
for logger in BENCH01 BENCH02 BENCH03 1F3E2A 2B7C00; do
    [ -n "$(find "$work/single/${logger}_out" -name '*.csv' 2>/dev/null)" ] ||
        fail "one run wrote nothing for $logger: $(cat "$work/single.log")"
done

# Runs the conversion block with the given job slots into a fresh output root and checks the tree,
# the number of failed jobs and the combined status.
run_recipe() {
    hosts=$1 failed=$2 status=$3
    run="$work/run-$(echo "$hosts" | tr -c 'a-zA-Z0-9\n' _)"
    mkdir "$run"
    (cd "$run" && in="$in" out="$run/out tree" hosts="$hosts" sh -c "$convert") >"$run/log" 2>&1 ||
        fail "the recipe's shell failed with --sshlogin $hosts: $(cat "$run/log")"
    diff -r "$work/single" "$run/out tree" >"$run/diff" ||
        fail "with --sshlogin $hosts the merged tree differs from one run's: $(head -20 "$run/diff")"
    grep -qx "failed jobs: $failed" "$run/log" ||
        fail "with --sshlogin $hosts expected $failed failed jobs: $(cat "$run/log")"
    grep -qx "exit status: $status" "$run/log" ||
        fail "with --sshlogin $hosts expected the combined status $status: $(cat "$run/log")"
    jobs=$(($(wc -l <"$run/convert.joblog") - 1))
    [ "$jobs" -eq "$folders" ] || fail "with --sshlogin $hosts $jobs jobs ran for $folders folders"
}

# Three local job slots, one of whose jobs fails as the one run did.
run_recipe 3/: 1 "$single_status"
# The local machine's default slots; without the broken folder nothing fails.
rm -r "$in/broken"
folders=$((folders - 1))
run_recipe : 0 0

# The logger check is silent for this archive and names a logger found in two folders.
found=$(cd "$work" && in="$in" sh -c "$check")
[ -z "$found" ] || fail "the logger check flags a sound archive: $found"
mkdir "$in/copy"
cp "$in/BENCH02/00000002/00000001.txt" "$in/copy/"
found=$(cd "$work" && in="$in" sh -c "$check")
[ "$found" = "# Logger ID: BENCH02" ] || fail "the logger check missed BENCH02 in two folders: '$found'"
echo "scale-out test: passed"
