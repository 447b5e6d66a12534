#!/bin/sh
# Builds the recorder and makes one real recording per mode (or only the mode given) on a
# throw-away veth pair whose far end, in a network namespace of its own, sends numbered UDP
# traffic. The driver's stand-in node exists only in a private mount namespace. Each capture is
# shown through capinfos and tshark at the end. Run as root.
# Usage: scripts/demo.sh [fixednumberofpackets|continuous|circular]
set -eu
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
if [ "$(id -u)" -ne 0 ]; then
    echo "The demo makes network and mount namespaces: run it as root (sudo $0)." >&2
    exit 1
fi
MODES="${1:-fixednumberofpackets continuous circular}"
if [ "${KV_SKIP_INSTALL:-0}" != 1 ]; then
    scripts/install-deps.sh
fi
cmake -S . -B build
cmake --build build -j"$(nproc)" --target kvpcaprecorder

NS="kvdemo$$"
HOST="kvdemo$$h"
PEER="kvdemo$$p"
OUT="$(mktemp -d /tmp/kvdemo.XXXXXX)"
SENDER_PID=""
cleanup() {
    [ -n "$SENDER_PID" ] && kill "$SENDER_PID" 2>/dev/null || true
    ip link del "$HOST" 2>/dev/null || true
    ip netns del "$NS" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

ip netns add "$NS"
ip link add "$HOST" type veth peer name "$PEER"
ip link set "$PEER" netns "$NS"
ip addr add 10.213.7.1/24 dev "$HOST"
ip link set "$HOST" up
ip netns exec "$NS" ip addr add 10.213.7.2/24 dev "$PEER"
ip netns exec "$NS" ip link set "$PEER" up
ip netns exec "$NS" ip link set lo up

# Numbered datagrams, 200 per second, for as long as the demo runs.
ip netns exec "$NS" /usr/bin/python3 tests/e2e/udp_sender.py 10.213.7.1 9999 0 100000000 5 400 \
    >/dev/null 2>&1 &
SENDER_PID="$!"

for mode in $MODES; do
    file="$OUT/demo-$mode.pcap"
    echo "=== Recording on $HOST in $mode mode into $file"
    set -- "--adaptername=$HOST" "--filename=$file" "--mode=$mode"
    [ "$mode" = fixednumberofpackets ] && set -- "$@" "--numberofpackets=600"
    tests/tools/with-driver-node.sh "$ROOT/build/bin/kvpcaprecorder" "$@" &
    recorder=$!
    if [ "$mode" != fixednumberofpackets ]; then
        sleep 4
        kill -INT "$recorder" 2>/dev/null || true   # Ctrl+C
    fi
    wait "$recorder" || true
    echo
done

for mode in $MODES; do
    file="$OUT/demo-$mode.pcap"
    echo "=== $file"
    if [ -f "$file" ]; then
        capinfos -t -E -l -c -s -d -u -a -e -y -x -z "$file"
        tshark -r "$file" -c 5
    else
        echo "(no file: nothing was recorded)"
    fi
done
echo "Captures kept in $OUT"
