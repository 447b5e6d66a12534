#!/bin/bash
# Short capture check for CI (as root): one recording in continuous mode of a few seconds of
# numbered 1514-byte frames at a moderate rate on a namespaced veth pair, stopped with SIGINT
# after the send. Fails when the capture file misses or repeats any frame, when capinfos does
# not read the same number of packets, or when the program does not end in time.
#
# Usage: bench/ci-smoke.sh [build-dir]   (default: build; the needed targets are built there)
# Environment: KV_SMOKE_RATE (frames per second, default 100000), KV_SMOKE_COUNT (default
# 300000), KV_SMOKE_SIZE (bytes per frame, default 1514).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=$(realpath -m "${1:-$ROOT/build}")
RATE=${KV_SMOKE_RATE:-100000}
COUNT=${KV_SMOKE_COUNT:-300000}
SIZE=${KV_SMOKE_SIZE:-1514}
readonly READY_TIMEOUT_S=60
readonly END_TIMEOUT_S=60

[[ $(id -u) -eq 0 ]] || { echo "ci-smoke: run as root (network and mount namespaces)" >&2; exit 2; }
source "$ROOT/bench/lib.sh"
kv_build "$BUILD_DIR"
readonly BIN=$BUILD_DIR/bin
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kvsmoke.XXXXXX")
kv_link_up "kvs$$"
trap 'kv_cleanup' EXIT
trap 'exit 130' INT TERM

kv_launch_recorder "$WORK/run" "$BIN" --mode=continuous
sent=$(kv_send "$SIZE" "$COUNT" --rate="$RATE" --batch=16)
kill -INT "$(cat "$WORK/run.pid")"
kv_wait_end "$WORK/run" "$END_TIMEOUT_S"
[[ -f $WORK/run.pcap ]] || kv_fail "no capture file"
check=$("$BIN/kvpcapcheck" "$WORK/run.pcap" --expect="$COUNT")
usage=$(cat "$WORK/run.usage")
read_back=$(capinfos -M -c "$WORK/run.pcap" | sed -n 's/^Number of packets: *//p')

echo "ci-smoke: sender: $sent"
echo "ci-smoke: file:   $check"
echo "ci-smoke: program: $usage"
failures=0
fail() {
    echo "ci-smoke: FAILED: $*"
    failures=$((failures + 1))
}
[[ $(kv_get missing "$check") == 0 ]] || fail "$(kv_get missing "$check") of $COUNT frames missing"
[[ $(kv_get duplicates "$check") == 0 ]] || fail "$(kv_get duplicates "$check") frames recorded twice"
[[ $(kv_get oversize "$check") == 0 ]] || fail "records longer than the snapshot length"
[[ $(kv_get exit "$usage") == 0 ]] || fail "the program's exit status is $(kv_get exit "$usage")"
[[ $read_back == "$(kv_get records "$check")" ]] ||
    fail "capinfos reads $read_back packets, the checker $(kv_get records "$check")"
if [[ $failures == 0 ]]; then
    echo "ci-smoke: passed: $COUNT frames of $SIZE bytes at up to $RATE per second, all recorded"
fi
exit $((failures > 0))
