#!/bin/sh
# Generates (once) about 120 MB of logs and a 40-message DBC, converts them, and reports frames per
# second and peak memory.
set -eu
bin=$(realpath "$1")
top=$(cd "$(dirname "$0")/.." && pwd)
data="$top/bench/data"
if [ ! -f "$data/frames" ]; then
    echo "bench: generating data in $data"
    python3 "$top/bench/generate.py" "$data" "${BENCH_MB:-120}"
fi
frames=$(cat "$data/frames")
rm -rf "$data/out" && mkdir -p "$data/out"
start=$(date +%s.%N)
/usr/bin/time -f "%M" -o "$data/rss" "$bin" --dbc-can1="$data/can1-bench.dbc" -O "$data/out" "$data/logs/" >"$data/summary"
end=$(date +%s.%N)
cat "$data/summary"
python3 - "$start" "$end" "$frames" "$data" <<'PY'
import sys, os
start, end, frames, data = float(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
size = sum(os.path.getsize(os.path.join(data, "logs", f)) for f in os.listdir(os.path.join(data, "logs")))
rss = int(open(os.path.join(data, "rss")).read().split()[-1])
secs = end - start
print(f"bench: {frames} frames, {size / 2**20:.0f} MB in {secs:.2f} s wall: "
      f"{frames / secs:,.0f} frames/s, {size / 2**20 / secs:.1f} MB/s, peak RSS {rss / 1024:.0f} MB")
PY
