# shellcheck shell=bash
# Shared parts of the capture benchmark scripts (sourced by bench/capture-vs-tcpdump.sh and
# bench/ci-smoke.sh): build, the namespaced veth pair, launching a capturer under the
# accounting wrapper, sending numbered frames, and cleaning up.
# Expects ROOT (the repository) and WORK (a scratch directory that kv_cleanup removes).
# KV_CAPTURE_CPU and KV_SEND_CPU, when set, pin the capturer and the sender to those CPUs.

KV_BUILD_TARGETS="kvpcaprecorder kvsender kvpcapcheck kvrusage"
KV_LAUNCHED_WRAPPER=""
KV_LAUNCHED_PREFIX=""
KV_CAPTURE_CPU=${KV_CAPTURE_CPU:-}
KV_SEND_CPU=${KV_SEND_CPU:-}

kv_fail() {
    echo "bench: $*" >&2
    exit 1
}

# Builds the recorder and the benchmark tools in the given directory (a new directory is
# configured as a Release build without the tests).
kv_build() {
    local dir=$1
    if [[ ! -f $dir/CMakeCache.txt ]]; then
        cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null ||
            kv_fail "cannot configure $dir"
    fi
    # shellcheck disable=SC2086
    cmake --build "$dir" -j2 --target $KV_BUILD_TARGETS >/dev/null ||
        kv_fail "cannot build $KV_BUILD_TARGETS in $dir"
}

# Two network namespaces joined by a veth pair, without IPv6 (no neighbour discovery chatter):
# the capture end in KV_NS_CAPTURE, the sending end in KV_NS_SEND. Only these namespaces are
# touched; deleting them removes the pair.
kv_link_up() {
    local tag=$1
    KV_NS_CAPTURE=${tag}c
    KV_NS_SEND=${tag}s
    KV_IF_CAPTURE=${tag}c
    KV_IF_SEND=${tag}s
    KV_IP_CAPTURE=10.253.$(($$ % 250)).1
    KV_IP_SEND=10.253.$(($$ % 250)).2
    ip netns add "$KV_NS_CAPTURE" || kv_fail "cannot create namespace $KV_NS_CAPTURE"
    ip netns add "$KV_NS_SEND" || kv_fail "cannot create namespace $KV_NS_SEND"
    ip link add "$KV_IF_CAPTURE" netns "$KV_NS_CAPTURE" type veth \
        peer name "$KV_IF_SEND" netns "$KV_NS_SEND" || kv_fail "cannot create the veth pair"
    ip netns exec "$KV_NS_CAPTURE" sysctl -qw "net.ipv6.conf.$KV_IF_CAPTURE.disable_ipv6=1"
    ip netns exec "$KV_NS_SEND" sysctl -qw "net.ipv6.conf.$KV_IF_SEND.disable_ipv6=1"
    ip -n "$KV_NS_CAPTURE" addr add "$KV_IP_CAPTURE/24" dev "$KV_IF_CAPTURE"
    ip -n "$KV_NS_SEND" addr add "$KV_IP_SEND/24" dev "$KV_IF_SEND"
    ip -n "$KV_NS_CAPTURE" link set "$KV_IF_CAPTURE" up
    ip -n "$KV_NS_SEND" link set "$KV_IF_SEND" up
}

# Ends a capturer still running (by its own process id), then removes the namespaces and the
# scratch directory.
kv_cleanup() {
    if [[ -n $KV_LAUNCHED_WRAPPER ]] && kill -0 "$KV_LAUNCHED_WRAPPER" 2>/dev/null; then
        local pid
        pid=$(cat "$KV_LAUNCHED_PREFIX.pid" 2>/dev/null || true)
        if [[ -n $pid ]]; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
        wait "$KV_LAUNCHED_WRAPPER" 2>/dev/null || true
    fi
    [[ -n ${KV_NS_CAPTURE:-} ]] && ip netns del "$KV_NS_CAPTURE" 2>/dev/null
    [[ -n ${KV_NS_SEND:-} ]] && ip netns del "$KV_NS_SEND" 2>/dev/null
    [[ -n ${WORK:-} && -d $WORK ]] && rm -rf "$WORK"
    return 0
}

# The value of key=value in a line of figures.
kv_get() {
    local key=$1 line=$2
    sed -n "s/.*\(^\| \)$key=\([^ ]*\).*/\2/p" <<<"$line"
}

# Starts a command under the accounting wrapper: PREFIX.pid gets its process id, PREFIX.out its
# console, PREFIX.lines the console's lines with the time each arrived, PREFIX.usage its CPU time
# and peak memory once it has ended.
kv_launch() {
    local prefix=$1
    shift
    rm -f "$prefix.pid" "$prefix.usage" "$prefix.out" "$prefix.lines"
    "$BIN/kvrusage" --pid-file="$prefix.pid" --output="$prefix.usage" --lines="$prefix.lines" \
        -- "$@" >"$prefix.out" 2>&1 </dev/null &
    KV_LAUNCHED_WRAPPER=$!
    KV_LAUNCHED_PREFIX=$prefix
    local tries
    for ((tries = 0; tries < 100; ++tries)); do
        [[ -s $prefix.pid ]] && return 0
        sleep 0.05
    done
    kv_fail "no process id for: $*"
}

# Waits until the console of the launched command shows TEXT.
kv_wait_ready() {
    local prefix=$1 text=$2 timeout=$3 tries
    for ((tries = 0; tries < timeout * 10; ++tries)); do
        grep -qF -- "$text" "$prefix.out" 2>/dev/null && return 0
        [[ -f $prefix.usage ]] && break
        sleep 0.1
    done
    echo "--- console:" >&2
    tr '\r' '\n' <"$prefix.out" | tail -20 >&2
    kv_fail "\"$text\" did not show"
}

# The prefix that pins a capturer to KV_CAPTURE_CPU (nothing when it is not set).
kv_capture_pin() {
    [[ -n $KV_CAPTURE_CPU ]] && echo "taskset -c $KV_CAPTURE_CPU"
    return 0
}

# The time (seconds since the epoch) at which the launched command's console first showed a
# line holding TEXT; empty when it did not.
kv_line_time() {
    local prefix=$1 text=$2
    grep -F -m1 -- "$text" "$prefix.lines" 2>/dev/null | cut -d' ' -f1
}

# The recorder on the capture end, with the driver's stand-in node, capture file PREFIX.pcap;
# returns once it captures. PROGRAM is the recorder, or the build's bin directory that holds it.
# Its console is line-buffered (stdbuf), so that every line's time tells when it was said.
kv_launch_recorder() {
    local prefix=$1 program=$2
    shift 2
    [[ -d $program ]] && program=$program/kvpcaprecorder
    # shellcheck disable=SC2046
    kv_launch "$prefix" $(kv_capture_pin) ip netns exec "$KV_NS_CAPTURE" \
        "$ROOT/tests/tools/with-driver-node.sh" stdbuf -oL \
        "$program" --adaptername="$KV_IF_CAPTURE" --filename="$prefix.pcap" "$@"
    kv_wait_ready "$prefix" "<Press Ctrl+c to stop acquiring>" "$READY_TIMEOUT_S"
}

# Waits for the launched command to end; kills it when it takes longer than TIMEOUT seconds.
kv_wait_end() {
    local prefix=$1 timeout=$2 tries
    for ((tries = 0; tries < timeout * 20; ++tries)); do
        [[ -f $prefix.usage ]] && break
        sleep 0.05
    done
    if [[ ! -f $prefix.usage ]]; then
        kill -KILL "$(cat "$prefix.pid")" 2>/dev/null || true
        wait "$KV_LAUNCHED_WRAPPER" 2>/dev/null || true
        KV_LAUNCHED_WRAPPER=""
        kv_fail "the capturer did not end within $timeout s"
    fi
    wait "$KV_LAUNCHED_WRAPPER" 2>/dev/null || true
    KV_LAUNCHED_WRAPPER=""
}

# Sends COUNT numbered frames of SIZE bytes from the sending end (on KV_SEND_CPU when set);
# prints the sender's figures.
kv_send() {
    local size=$1 count=$2 pin=()
    shift 2
    [[ -n $KV_SEND_CPU ]] && pin=(taskset -c "$KV_SEND_CPU")
    ip netns exec "$KV_NS_SEND" "${pin[@]}" "$BIN/kvsender" --interface="$KV_IF_SEND" --size="$size" \
        --count="$count" --source-ip="$KV_IP_SEND" --destination-ip="$KV_IP_CAPTURE" "$@" ||
        kv_fail "the sender failed"
}

# The recorder's console lines that mark its end: the acquisition over and the store about to
# start, the store seen finished, and the last line.
# shellcheck disable=SC2034 # read by the scripts that source this file
KV_LINE_STORE_BEGIN="Store the pcap trace into a file..."
# shellcheck disable=SC2034
KV_LINE_STORE_DONE="Store Done"
# shellcheck disable=SC2034
KV_LINE_DONE="Done!"

# How long the store of the recording launched as PREFIX took: from the line that announces it
# to the capture file's last write (the file itself is made before the recording starts).
kv_store_seconds() {
    local file=$1 prefix=$2 begin last
    begin=$(kv_line_time "$prefix" "$KV_LINE_STORE_BEGIN")
    last=$(stat -c '%.9Y' "$file")
    awk -v b="${begin:-0}" -v m="$last" 'BEGIN { printf "%.6f", (b > 0 && m > b ? m - b : 0) }'
}

# Seconds dd takes to write BYTES from /dev/zero into FILE, in 10,000,000-byte writes like the
# recorder's store; the file is removed afterwards.
kv_dd_seconds() {
    local file=$1 bytes=$2 summary
    summary=$(LC_ALL=C dd if=/dev/zero of="$file" bs=10000000 count="$bytes" iflag=count_bytes 2>&1 |
        tail -1)
    rm -f "$file"
    sed -n 's/.* copied, \([0-9.e+-]*\) s,.*/\1/p' <<<"$summary"
}

# The Google Benchmark programs of bench/*Benchmark.cpp, built and run in turn.
kv_run_benchmarks() {
    local dir=$1 source name found=0
    # A configure picks up benchmark sources added since the build directory was made.
    cmake -S "$ROOT" -B "$dir" >/dev/null || kv_fail "cannot configure $dir"
    for source in "$ROOT"/bench/*Benchmark.cpp; do
        [[ -f $source ]] || continue
        found=1
        name=$(basename "$source" .cpp)
        cmake --build "$dir" -j2 --target "$name" >/dev/null || kv_fail "cannot build $name"
        echo
        echo "== $name"
        "$dir/bin/$name"
    done
    [[ $found == 1 ]] || echo "(no Google Benchmark programs in bench/)"
}
