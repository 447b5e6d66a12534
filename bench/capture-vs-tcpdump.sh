#!/bin/bash
# Capture and store benchmark of kvpcaprecorder against tcpdump, on the same traffic.
#
# Usage (as root): bench/capture-vs-tcpdump.sh [options]
#   --runs=N            interleaved rounds (default 3)
#   --count64=N         64-byte frames per run (default 4000000)
#   --count1514=N       1514-byte frames per run (default 3000000)
#   --sizes="64 1514"   frame sizes to run
#   --tools="tcpdump continuous fixed stop"
#                       what runs in each round: tcpdump writing a file; the recorder in
#                       continuous mode and in fixednumberofpackets mode, both stopped with
#                       SIGINT once the send is over; and "stop": the recorder in continuous
#                       mode stopped with SIGINT halfway through the send, under traffic
#   --dir=PATH          file system of the capture files and of dd (default /dev/shm)
#   --build-dir=PATH    build directory (default build-perf; built in Release when needed)
#   --results=FILE      also keep the raw per-run figures in FILE
#   --no-benchmarks     skip the Google Benchmark programs (bench/*Benchmark.cpp)
#
# It makes two network namespaces joined by a veth pair; a sender of the project's own
# (bench/sender/kvsender.c: AF_PACKET, sendmmsg) sends numbered frames flat out from one end,
# addressed to a MAC address nobody has, so that the other end only captures them. Every
# capture file is read back and checked by sequence number (bench/sender/kvpcapcheck.c). The
# program's CPU time and peak resident set come from the kernel's accounting of the process
# (wait4, bench/sender/kvrusage.c). Everything it creates is removed at the end. The exit status
# is 1 when a target is missed.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=3
COUNT64=4000000
COUNT1514=3000000
SIZES="64 1514"
TOOLS="tcpdump continuous fixed stop"
DIR=/dev/shm
BUILD_DIR=$ROOT/build-perf
RESULTS_COPY=""
BENCHMARKS=1
readonly SNAPLEN=200            # tcpdump's snapshot length and the recorder's maximum packet size
readonly CONTINUOUS_BLOCK=10000000
readonly STOP_TRAFFIC_AFTER_S=3 # traffic goes on this long after the SIGINT of a "stop" run
readonly READY_TIMEOUT_S=120
readonly END_TIMEOUT_S=300

for argument in "$@"; do
    case $argument in
        --runs=*) RUNS=${argument#*=} ;;
        --count64=*) COUNT64=${argument#*=} ;;
        --count1514=*) COUNT1514=${argument#*=} ;;
        --sizes=*) SIZES=${argument#*=} ;;
        --tools=*) TOOLS=${argument#*=} ;;
        --dir=*) DIR=${argument#*=} ;;
        --build-dir=*) BUILD_DIR=$(realpath -m "${argument#*=}") ;;
        --results=*) RESULTS_COPY=$(realpath -m "${argument#*=}") ;;
        --no-benchmarks) BENCHMARKS=0 ;;
        -h | --help)
            sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
            exit 0
            ;;
        *)
            echo "unknown option: $argument (see --help)" >&2
            exit 2
            ;;
    esac
done
[[ $(id -u) -eq 0 ]] || { echo "run as root: it makes network and mount namespaces" >&2; exit 2; }

source "$ROOT/bench/lib.sh"

kv_build "$BUILD_DIR"
readonly BIN=$BUILD_DIR/bin
WORK=$(mktemp -d "$DIR/kvbench.XXXXXX")
RESULTS=$WORK/results.txt
: >"$RESULTS"
kv_link_up "kvb$$"
trap 'kv_cleanup' EXIT
trap 'exit 130' INT TERM

# CPU and memory of the launch wrappers alone (ip netns exec, the private /dev), measured with
# /bin/true in their place; the program's figures below include them.
wrapper_cpu() {
    local samples=() index
    for index in 1 2 3; do
        kv_launch "$WORK/wrap" "$@" /bin/true
        kv_wait_end "$WORK/wrap" 30
        samples+=("$(kv_get cpu_s "$(cat "$WORK/wrap.usage")")")
    done
    printf '%s\n' "${samples[@]}" | sort -g | sed -n 2p
}
WRAP_RECORDER_CPU=$(wrapper_cpu ip netns exec "$KV_NS_CAPTURE" "$ROOT/tests/tools/with-driver-node.sh")
WRAP_TCPDUMP_CPU=$(wrapper_cpu ip netns exec "$KV_NS_CAPTURE")

# CPU seconds the process has used so far, from /proc.
process_cpu() {
    local stat fields
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || { echo 0; return; }
    read -ra fields <<<"${stat##*) }"
    # Its threads, and the children it waited for (the launch wrappers' mounts), as in wait4.
    awk -v u="${fields[11]}" -v s="${fields[12]}" -v cu="${fields[13]}" -v cs="${fields[14]}" \
        -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", (u + s + cu + cs) / hz }'
}

count_of() { if [[ $1 == 64 ]]; then echo "$COUNT64"; else echo "$COUNT1514"; fi; }

# Busy share of all CPUs since the previous call, from /proc/stat.
busy_mark() {
    local _cpu user nice system idle iowait irq softirq steal rest
    read -r _cpu user nice system idle iowait irq softirq steal rest </proc/stat
    echo "$((user + nice + system + irq + softirq + steal)) $((user + nice + system + idle + iowait + irq + softirq + steal))"
}
busy_share() {
    local before after
    read -ra before <<<"$1"
    read -ra after <<<"$2"
    awk -v b="$((after[0] - before[0]))" -v t="$((after[1] - before[1]))" \
        'BEGIN { printf "%.2f", (t > 0 ? b / t : 0) }'
}

# Memory plan of the fixednumberofpackets mode for N packets of the maximum size.
fixed_plan() {
    local total=$(((SNAPLEN + 24) * $1))
    local blocks=$((total / CONTINUOUS_BLOCK))
    echo $(((blocks + 1) * (total / (blocks + 1))))
}

one_run() {
    local tool=$1 size=$2 round=$3
    local count run=$WORK/run file signal_after=0
    count=$(count_of "$size")
    rm -f "$run".*
    case $tool in
        tcpdump)
            file=$run.pcap
            kv_launch "$run" ip netns exec "$KV_NS_CAPTURE" \
                tcpdump -i "$KV_IF_CAPTURE" -s "$SNAPLEN" -n -w "$file"
            kv_wait_ready "$run" "listening on" "$READY_TIMEOUT_S"
            ;;
        continuous | stop)
            file=$run.pcap
            kv_launch_recorder "$run" "$BIN" --mode=continuous
            ;;
        fixed)
            file=$run.pcap
            kv_launch_recorder "$run" "$BIN" --mode=fixednumberofpackets --numberofpackets="$count"
            ;;
        *) echo "unknown tool $tool" >&2; exit 2 ;;
    esac
    local pid load1 mark_before mark_after sent_line
    pid=$(cat "$run.pid")
    load1=$(cut -d' ' -f1 /proc/loadavg)
    mark_before=$(busy_mark)
    if [[ $tool == stop ]]; then
        signal_after=$((count / 2))
        sent_line=$(kv_send "$size" "$count" --signal-pid="$pid" --signal-after="$signal_after" \
            --after-signal-seconds="$STOP_TRAFFIC_AFTER_S")
    else
        sent_line=$(kv_send "$size" "$count")
        sent_line="$sent_line cpu_at_signal_s=$(process_cpu "$pid")"
        kill -INT "$pid"
        sent_line="$sent_line signal_time=$(date +%s.%N)"
    fi
    mark_after=$(busy_mark)
    kv_wait_end "$run" "$END_TIMEOUT_S"
    local usage check store_s=0 store_bytes=0 dd_s=0 plan=0
    usage=$(cat "$run.usage")
    local expect=$count
    [[ $tool == stop ]] && expect=$signal_after
    if [[ -f $file ]]; then
        check=$("$BIN/kvpcapcheck" "$file" --expect="$expect" --area-size="$CONTINUOUS_BLOCK")
    else
        check="records=0 distinct=0 missing=$expect areas=0 bytes=0"
    fi
    if [[ $tool != tcpdump && -f $file ]]; then
        store_bytes=$(stat -c %s "$file")
        store_s=$(kv_store_seconds "$file")
    fi
    case $tool in
        continuous | stop) plan=$((($(kv_get areas "$check") + 3) * CONTINUOUS_BLOCK)) ;;
        fixed) plan=$(fixed_plan "$count") ;;
    esac
    rm -f "$file"
    if [[ $tool != tcpdump && $store_bytes -gt 0 ]]; then
        dd_s=$(kv_dd_seconds "$WORK/dd.bin" "$store_bytes")
    fi
    local wrap=$WRAP_RECORDER_CPU
    [[ $tool == tcpdump ]] && wrap=$WRAP_TCPDUMP_CPU
    local line="tool=$tool size=$size round=$round expect=$expect $sent_line $usage $check"
    line+=" plan_bytes=$plan store_s=$store_s store_bytes=$store_bytes dd_s=$dd_s"
    line+=" load1=$load1 busy=$(busy_share "$mark_before" "$mark_after") wrapper_cpu_s=$wrap"
    echo "$line" >>"$RESULTS"
    printf '  %-10s %4s B round %s: sent %s at %s pps, captured %s, missing %s, cpu %s s\n' \
        "$tool" "$size" "$round" "$(kv_get sent "$line")" "$(kv_get pps "$line")" \
        "$(kv_get distinct "$line")" "$(kv_get missing "$line")" "$(kv_get cpu_s "$line")"
}

read -ra TOOL_LIST <<<"$TOOLS"
echo "kvpcaprecorder vs tcpdump: $RUNS round(s), sizes $SIZES, files in $DIR ($(nproc) CPUs," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg))"
for round in $(seq 1 "$RUNS"); do
    for size in $SIZES; do
        # Each round starts with a different tool, so no tool always runs first or last.
        for index in "${!TOOL_LIST[@]}"; do
            at=$(((index + round - 1) % ${#TOOL_LIST[@]}))
            one_run "${TOOL_LIST[$at]}" "$size" "$round"
        done
    done
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
[[ -n $RESULTS_COPY ]] && cp "$RESULTS" "$RESULTS_COPY"

status=0
/usr/bin/python3 "$ROOT/bench/summarise.py" "$RESULTS" || status=$?

if [[ $BENCHMARKS == 1 ]]; then
    kv_run_benchmarks "$BUILD_DIR"
fi
exit "$status"
