#!/bin/bash
# Storing a recording beside dd: PCAPWriter writing 1,000,000,000 bytes of recorded Buffers
# (bench/PCAPWriterBenchmark.cpp) and `dd bs=10M` writing the same number of bytes, both into a
# new file of the same directory, in interleaved rounds; prints each rate and the median ratio.
#
#   bench/store-vs-dd.sh [BUILD_DIR] [DIRECTORY] [ROUNDS]
#
# BUILD_DIR (default build) holds or receives the benchmark program; DIRECTORY (default /tmp)
# is where both write; ROUNDS defaults to 5. Target: the writer reaches at least 80% of dd.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
DIRECTORY=${2:-/tmp}
ROUNDS=${3:-5}
BYTES=1000000000
PROGRAM=$BUILD/bin/PCAPWriterBenchmark

if [[ ! -x $PROGRAM ]]; then
    if [[ ! -f $BUILD/CMakeCache.txt ]]; then
        cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    fi
    cmake --build "$BUILD" -j2 --target PCAPWriterBenchmark >/dev/null
fi

DD_FILE=$DIRECTORY/kv-bench-dd.$$
cleanup() { rm -f "$DD_FILE"; }
trap cleanup EXIT

# Bytes per second of one dd run, from its own elapsed time.
dd_rate() {
    rm -f "$DD_FILE"
    local start end
    start=$(date +%s.%N)
    dd if=/dev/zero of="$DD_FILE" bs=10M count=$BYTES iflag=count_bytes status=none
    end=$(date +%s.%N)
    rm -f "$DD_FILE"
    echo "$BYTES / ($end - $start)" | bc -l
}

# Bytes per second of the writer, one store per benchmark iteration, median of the round.
writer_rate() {
    KV_BENCH_DIR=$DIRECTORY "$PROGRAM" --benchmark_filter='StoreWithPCAPWriter' \
        --benchmark_format=json 2>/dev/null |
        /usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["benchmarks"][0]["bytes_per_second"])'
}

writer_rates=()
dd_rates=()
for ((round = 1; round <= ROUNDS; round++)); do
    writer_rates+=("$(writer_rate)")
    dd_rates+=("$(dd_rate)")
    printf 'round %d: writer %.0f MB/s, dd %.0f MB/s\n' "$round" \
        "$(echo "${writer_rates[-1]} / 1000000" | bc -l)" "$(echo "${dd_rates[-1]} / 1000000" | bc -l)"
done

/usr/bin/python3 - "${writer_rates[*]}" "${dd_rates[*]}" <<'EOF'
import statistics, sys
writer = [float(v) for v in sys.argv[1].split()]
dd = [float(v) for v in sys.argv[2].split()]
w, d = statistics.median(writer), statistics.median(dd)
print(f"median: writer {w / 1e6:.0f} MB/s, dd bs=10M {d / 1e6:.0f} MB/s, "
      f"writer/dd = {100 * w / d:.0f}% (target: at least 80%)")
EOF
