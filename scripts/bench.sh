#!/bin/sh
# Generates (once) two data sets of about BENCH_MB megabytes each (default 120) and a 40-message DBC:
# one long logger session, and 4 loggers of 2 sessions each. Converts each with one worker (-j 1) and
# with the default number of workers, BENCH_RUNS times (default 3), and reports the best run's frames
# per second and the peak memory (RSS) of each, and how much faster the default is than -j 1.
# A binary without the --jobs option converts on one core only: its runs are the -j 1 figures and the
# default rows read "not available".
set -eu
bin=$(realpath "$1")
top=$(cd "$(dirname "$0")/.." && pwd)
data="$top/bench/data"
mb=${BENCH_MB:-120}
runs=${BENCH_RUNS:-3}
dbc="$data/can1-bench.dbc"

# Data of an earlier layout (logs directly below bench/data) gives way to the two sets.
rm -rf "$data/logs" "$data/frames" "$data/out"
mkdir -p "$data"

# prepare NAME GENERATOR-OPTIONS...: writes the set once for this size and these options.
prepare() {
    dir="$data/$1"
    shift
    if [ "$(cat "$dir/generated" 2>/dev/null)" != "$mb $*" ]; then
        echo "bench: generating $dir ($mb MB)"
        rm -rf "$dir"
        python3 "$top/bench/generate.py" "$dir" "$mb" "$@"
        echo "$mb $*" >"$dir/generated"
    fi
}
prepare session
prepare sessions --loggers 4 --sessions 2
cp "$data/session/can1-bench.dbc" "$dbc"

if "$bin" --help 2>&1 | grep -q -- '--jobs'; then
    jobs_option=yes
else
    jobs_option=no
fi
results="$data/results"
: >"$results"

# measure SET LABEL [OPTION]: converts the set BENCH_RUNS times into a fresh tree and appends the
# best wall time and the highest peak RSS to the results.
measure() {
    set_dir="$data/$1"
    best=""
    peak=0
    i=0
    while [ "$i" -lt "$runs" ]; do
        rm -rf "$data/out" && mkdir -p "$data/out"
        # The last run's output goes to the disk first, so that writing it back takes no core
        # from this run.
        sync
        start=$(date +%s.%N)
        # shellcheck disable=SC2086
        /usr/bin/time -f "%M" -o "$data/rss" "$bin" ${3:-} --non-interactive --dbc-can1="$dbc" \
            -O "$data/out" "$set_dir/logs/" >"$data/summary" ||
            { echo "bench: loglathe failed on $1 ($2)" >&2; exit 1; }
        end=$(date +%s.%N)
        rss=$(tail -n 1 "$data/rss")
        best=$(python3 -c "print(min($end - $start, ${best:-$end - $start}))")
        [ "$rss" -gt "$peak" ] && peak=$rss
        i=$((i + 1))
    done
    echo "$1 $2 $best $peak" >>"$results"
}

if [ "$jobs_option" = yes ]; then
    measure session "-j 1" --jobs=1
    cat "$data/summary"
    measure session default
    measure sessions "-j 1" --jobs=1
    measure sessions default
else
    measure session "-j 1"
    cat "$data/summary"
    measure sessions "-j 1"
fi
rm -rf "$data/out"

python3 - "$data" "$results" "$jobs_option" "$(nproc)" <<'PY'
import os
import sys

data, results, jobs_option, cpus = sys.argv[1], sys.argv[2], sys.argv[3] == "yes", sys.argv[4]
names = {"session": "one session", "sessions": "8 sessions"}


def size(set_name):
    total = 0
    for folder, _, files in os.walk(os.path.join(data, set_name, "logs")):
        total += sum(os.path.getsize(os.path.join(folder, f)) for f in files)
    return total


measured = {}
for line in open(results):
    set_name, rest = line.split(" ", 1)
    label, secs, rss = rest.rsplit(" ", 2)
    measured[(set_name, label)] = (float(secs), int(rss))

rows = []
speed = {}
for set_name in ("session", "sessions"):
    frames = int(open(os.path.join(data, set_name, "frames")).read())
    mb = size(set_name) / 2**20
    for label in ("-j 1", "default"):
        shown = f"default ({cpus})" if label == "default" else label
        if (set_name, label) not in measured:
            rows.append(f"{names[set_name]:<13} {shown:<12} {'not available: this loglathe has no --jobs option'}")
            continue
        secs, rss = measured[(set_name, label)]
        speed[(set_name, label)] = frames / secs
        print(f"bench: {names[set_name]}, {shown}: {frames} frames, {mb:.0f} MB in {secs:.2f} s wall: "
              f"{frames / secs:,.0f} frames/s, {mb / secs:.1f} MB/s, peak RSS {rss / 1024:.0f} MB")
        rows.append(f"{names[set_name]:<13} {shown:<12} {frames:>10} {mb:>6.0f} {secs:>8.2f} "
                    f"{frames / secs:>12,.0f} {rss / 1024:>10.0f}")

print()
print(f"{'data set':<13} {'workers':<12} {'frames':>10} {'MB':>6} {'wall s':>8} {'frames/s':>12} {'peak RSS MB':>10}")
for row in rows:
    print(row)


def ratio(set_name, target):
    if (set_name, "default") not in speed:
        return f"{names[set_name]} not available (target {target}x)"
    value = speed[(set_name, "default")] / speed[(set_name, "-j 1")]
    return f"{names[set_name]} {value:.2f}x (target {target}x)"


print(f"speed-up of the default over -j 1: {ratio('sessions', 1.8)}, {ratio('session', 1.3)}")
if not jobs_option:
    print("(this loglathe has no --jobs option: the -j 1 rows are its only, sequential, conversion)")
PY
