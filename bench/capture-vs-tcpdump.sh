#!/bin/bash
# Capture and store benchmark of kvpcaprecorder against tcpdump, on the same traffic.
#
# Usage (as root): bench/capture-vs-tcpdump.sh [options]
# Capture rounds (the CPU per packet while recording):
#   --runs=N            interleaved rounds (default 3)
#   --count64=N         64-byte frames per run (default 4000000)
#   --count1514=N       1514-byte frames per run (default 3000000)
#   --sizes="64 1514"   frame sizes to run
#   --tools="tcpdump continuous fixed stop"
#                       what runs in each round: tcpdump writing a file; the recorder in
#                       continuous mode and in fixednumberofpackets mode, both stopped with
#                       SIGINT once the send is over; and "stop": the recorder in continuous
#                       mode stopped with SIGINT halfway through the send, under traffic.
#                       Empty: no capture rounds
#   --rate=PPS          offered rate of the capture rounds (default 400000, which both programs
#                       keep whole with the sender on a CPU of its own, so that they record the
#                       same packets; 0: flat out)
#   --cpus=S,C          the sender on CPU S, the capturer on CPU C in the capture rounds and the
#                       store runs (default 0,1; "none": where the scheduler puts them)
#   --baseline=PATH     another kvpcaprecorder (say, a Release build of an earlier commit): its
#                       runs join every round as continuous@base and fixed@base (and the
#                       search with --lossless-tools="... continuous@base")
# Store runs (a recording of about 1 GB, and dd writing the same bytes on the same file system):
#   --store-dirs="/dev/shm /var/tmp"
#                       file systems of the store runs, one run per round in each (empty: none)
#   --store-bytes=N     size of their recording (default 1000000000)
# Lossless-rate search (not run by default):
#   --lossless          for each tool, size and layout, the highest offered rate (packets per
#                       second) at which --lossless-repeat runs in a row record every packet:
#                       doubling from --lossless-start, then bisection to --lossless-resolution
#   --lossless-tools="tcpdump continuous"   --lossless-sizes (default: --sizes)
#   --lossless-layouts="split shared"       split: sender on CPU 0, capturer on CPU 1;
#                                           shared: both on CPU 0
#   --lossless-seconds=S  traffic per run (default 1)     --lossless-start=PPS (default 100000)
#   --lossless-repeat=N   runs in a row (default 3)       --lossless-resolution=PERCENT (default 5)
#   --lossless-budget=N   runs per search at most (default 30)
# Common:
#   --dir=PATH          file system of the capture files of the capture rounds and the search
#                       (default /dev/shm)
#   --build-dir=PATH    build directory (default build-perf; built in Release when needed)
#   --results=FILE      also keep the raw per-run figures in FILE
#   --no-benchmarks     skip the Google Benchmark programs (bench/*Benchmark.cpp)
#
# It makes two network namespaces joined by a veth pair; a sender of the project's own
# (bench/sender/kvsender.c: AF_PACKET, sendmmsg, paced with --rate) sends numbered frames from
# one end, addressed to a MAC address nobody has, so that the other end only captures them.
# Every capture file is read back and checked by sequence number (bench/sender/kvpcapcheck.c).
# The CPU time while recording is the capturer's user + system time (all threads, from
# /proc/PID/stat) from the moment it captures until the SIGINT, sampled once the send is over
# and the capturer idle; its whole CPU time and peak resident set come from wait4
# (bench/sender/kvrusage.c), which also notes when each console line arrives (the store's start,
# "Done!"). Everything it creates is removed at the end. The exit status is 1 when a target is
# missed.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=3
COUNT64=4000000
COUNT1514=3000000
SIZES="64 1514"
TOOLS="tcpdump continuous fixed stop"
RATE=400000
CPUS="0,1"
BASELINE=""
STORE_DIRS="/dev/shm /var/tmp"
STORE_BYTES=1000000000
LOSSLESS=0
LOSSLESS_TOOLS="tcpdump continuous"
LOSSLESS_SIZES=""
LOSSLESS_LAYOUTS="split shared"
LOSSLESS_SECONDS=1
LOSSLESS_START=100000
LOSSLESS_REPEAT=3
LOSSLESS_RESOLUTION=5
LOSSLESS_BUDGET=30
DIR=/dev/shm
BUILD_DIR=$ROOT/build-perf
RESULTS_COPY=""
BENCHMARKS=1
readonly SNAPLEN=200            # tcpdump's snapshot length and the recorder's maximum packet size
readonly CONTINUOUS_BLOCK=10000000
readonly STOP_TRAFFIC_AFTER_S=3 # traffic goes on this long after the SIGINT of a "stop" run
readonly READY_TIMEOUT_S=120
readonly END_TIMEOUT_S=300
readonly LOSSLESS_MIN_RATE=1000
readonly LOSSLESS_MAX_RATE=50000000
readonly SENDER_SHORT_PERCENT=95 # a sender below this share of the rate asked did not offer it
# The SIGINT comes this long after the send: tcpdump's ring hands a partly filled block over
# after 1 s (its read timeout), and what is still in the ring at the SIGINT is not written.
readonly DRAIN_S=1.2

for argument in "$@"; do
    case $argument in
        --runs=*) RUNS=${argument#*=} ;;
        --count64=*) COUNT64=${argument#*=} ;;
        --count1514=*) COUNT1514=${argument#*=} ;;
        --sizes=*) SIZES=${argument#*=} ;;
        --tools=*) TOOLS=${argument#*=} ;;
        --rate=*) RATE=${argument#*=} ;;
        --cpus=*) CPUS=${argument#*=} ;;
        --baseline=*) BASELINE=$(realpath -m "${argument#*=}") ;;
        --store-dirs=*) STORE_DIRS=${argument#*=} ;;
        --store-bytes=*) STORE_BYTES=${argument#*=} ;;
        --lossless) LOSSLESS=1 ;;
        --lossless-tools=*) LOSSLESS_TOOLS=${argument#*=} ;;
        --lossless-sizes=*) LOSSLESS_SIZES=${argument#*=} ;;
        --lossless-layouts=*) LOSSLESS_LAYOUTS=${argument#*=} ;;
        --lossless-seconds=*) LOSSLESS_SECONDS=${argument#*=} ;;
        --lossless-start=*) LOSSLESS_START=${argument#*=} ;;
        --lossless-repeat=*) LOSSLESS_REPEAT=${argument#*=} ;;
        --lossless-resolution=*) LOSSLESS_RESOLUTION=${argument#*=} ;;
        --lossless-budget=*) LOSSLESS_BUDGET=${argument#*=} ;;
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
for number in "$RUNS" "$COUNT64" "$COUNT1514" "$RATE" "$STORE_BYTES" "$LOSSLESS_START" \
    "$LOSSLESS_REPEAT" "$LOSSLESS_RESOLUTION" "$LOSSLESS_BUDGET"; do
    [[ $number =~ ^[0-9]+$ ]] || { echo "not a whole number: $number" >&2; exit 2; }
done
[[ $LOSSLESS_SECONDS =~ ^[0-9]+(\.[0-9]+)?$ ]] || { echo "bad --lossless-seconds" >&2; exit 2; }
if [[ $CPUS == none ]]; then
    SEND_CPU="" CAPTURE_CPU=""
elif [[ $CPUS =~ ^([0-9]+),([0-9]+)$ ]]; then
    SEND_CPU=${BASH_REMATCH[1]} CAPTURE_CPU=${BASH_REMATCH[2]}
else
    echo "--cpus takes S,C or none" >&2
    exit 2
fi
[[ -z $BASELINE || -x $BASELINE ]] || { echo "no program at $BASELINE" >&2; exit 2; }
[[ -n $LOSSLESS_SIZES ]] || LOSSLESS_SIZES=$SIZES

source "$ROOT/bench/lib.sh"

kv_build "$BUILD_DIR"
readonly BIN=$BUILD_DIR/bin
readonly RECORDER=$BIN/kvpcaprecorder
WORK=$(mktemp -d "$DIR/kvbench.XXXXXX")
RESULTS=$WORK/results.txt
: >"$RESULTS"
STORE_WORKS=()
# shellcheck disable=SC2317 # called by the trap
cleanup_all() {
    kv_cleanup
    local directory
    for directory in "${STORE_WORKS[@]}"; do
        rm -rf "$directory"
    done
}
kv_link_up "kvb$$"
trap 'cleanup_all' EXIT
trap 'exit 130' INT TERM

if [[ -n $BASELINE && $TOOLS != *@base* ]]; then
    for tool in continuous fixed; do
        [[ " $TOOLS " == *" $tool "* ]] && TOOLS+=" $tool@base"
    done
fi

# Which recorder a tool runs (TOOL@base: the baseline), and in which mode.
program_of() { if [[ $1 == *@base ]]; then echo "$BASELINE"; else echo "$RECORDER"; fi; }
mode_of() { echo "${1%@base}"; }

# CPU and memory of the launch wrappers alone (ip netns exec, the private /dev), measured with
# /bin/true in their place; the program's whole figures below include them.
wrapper_cpu() {
    local samples=() index
    for index in 1 2 3; do
        kv_launch "$WORK/wrap" "$@" /bin/true
        kv_wait_end "$WORK/wrap" 30
        samples+=("$(kv_get cpu_s "$(cat "$WORK/wrap.usage")")")
    done
    printf '%s\n' "${samples[@]}" | sort -g | sed -n 2p
}
WRAP_RECORDER_CPU=$(wrapper_cpu ip netns exec "$KV_NS_CAPTURE" "$ROOT/tests/tools/with-driver-node.sh" \
    stdbuf -oL)
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

# The process's CPU seconds once it has read all the traffic: after DRAIN_S, two samples 0.1 s
# apart that agree, or the last after 2 s more.
settled_cpu() {
    local pid=$1 last now tries
    sleep "$DRAIN_S"
    last=$(process_cpu "$pid")
    now=$last
    for ((tries = 0; tries < 20; ++tries)); do
        sleep 0.1
        now=$(process_cpu "$pid")
        [[ $now == "$last" ]] && break
        last=$now
    done
    echo "$now"
}

# Frames per sendmmsg at RATE: a batch every 100 us or so (8 to 256 frames), so that the
# sender's sleeps do not bound the rate it reaches.
batch_for() {
    local batch=$(($1 / 10000))
    ((batch < 8)) && batch=8
    ((batch > 256)) && batch=256
    echo "$batch"
}

count_of() { if [[ $1 == 64 ]]; then echo "$COUNT64"; else echo "$COUNT1514"; fi; }
now() { date +%s.%N; }

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

# Starts TOOL capturing into PREFIX.pcap (COUNT: the packets a fixed recording is for); returns
# once it captures.
launch_capturer() {
    local tool=$1 prefix=$2 count=$3
    case $(mode_of "$tool") in
        tcpdump)
            # shellcheck disable=SC2046
            kv_launch "$prefix" $(kv_capture_pin) ip netns exec "$KV_NS_CAPTURE" \
                tcpdump -i "$KV_IF_CAPTURE" -s "$SNAPLEN" -n -w "$prefix.pcap"
            kv_wait_ready "$prefix" "listening on" "$READY_TIMEOUT_S"
            ;;
        continuous | stop | store)
            kv_launch_recorder "$prefix" "$(program_of "$tool")" --mode=continuous
            ;;
        fixed)
            kv_launch_recorder "$prefix" "$(program_of "$tool")" \
                --mode=fixednumberofpackets --numberofpackets="$count"
            ;;
        *) echo "unknown tool $tool" >&2; exit 2 ;;
    esac
}

# When the recorder launched as PREFIX said what, after the SIGINT at SIGNAL_TIME: the figures
# of its end.
end_figures() {
    local prefix=$1 file=$2
    local begin done_line done_time
    begin=$(kv_line_time "$prefix" "$KV_LINE_STORE_BEGIN")
    done_line=$(kv_line_time "$prefix" "$KV_LINE_STORE_DONE")
    done_time=$(kv_line_time "$prefix" "$KV_LINE_DONE")
    local line="store_begin_time=${begin:-0} store_done_time=${done_line:-0} done_time=${done_time:-0}"
    if [[ -f $file ]]; then
        line+=" last_write_time=$(stat -c '%.9Y' "$file") store_s=$(kv_store_seconds "$file" "$prefix")"
        line+=" store_bytes=$(stat -c %s "$file")"
    else
        line+=" last_write_time=0 store_s=0 store_bytes=0"
    fi
    echo "$line"
}

one_run() {
    local tool=$1 size=$2 round=$3
    local count run=$WORK/run file signal_after=0
    count=$(count_of "$size")
    rm -f "$run".*
    file=$run.pcap
    launch_capturer "$tool" "$run" "$count"
    local pid load1 mark_before mark_after sent_line cpu_ready rate_option=()
    pid=$(cat "$run.pid")
    load1=$(cut -d' ' -f1 /proc/loadavg)
    [[ $RATE -gt 0 ]] && rate_option=(--rate="$RATE" --batch="$(batch_for "$RATE")")
    mark_before=$(busy_mark)
    cpu_ready=$(process_cpu "$pid")
    if [[ $(mode_of "$tool") == stop ]]; then
        signal_after=$((count / 2))
        sent_line=$(kv_send "$size" "$count" "${rate_option[@]}" --signal-pid="$pid" \
            --signal-after="$signal_after" --after-signal-seconds="$STOP_TRAFFIC_AFTER_S")
    else
        sent_line=$(kv_send "$size" "$count" "${rate_option[@]}")
        sent_line="$sent_line cpu_at_ready_s=$cpu_ready cpu_at_signal_s=$(settled_cpu "$pid")"
        sent_line="$sent_line signal_time=$(now)"
        kill -INT "$pid"
    fi
    mark_after=$(busy_mark)
    kv_wait_end "$run" "$END_TIMEOUT_S"
    local usage check dd_s=0 plan=0 ends
    usage=$(cat "$run.usage")
    local expect=$count
    [[ $(mode_of "$tool") == stop ]] && expect=$signal_after
    if [[ -f $file ]]; then
        check=$("$BIN/kvpcapcheck" "$file" --expect="$expect" --area-size="$CONTINUOUS_BLOCK")
    else
        check="records=0 distinct=0 missing=$expect areas=0 bytes=0"
    fi
    if [[ $tool == tcpdump ]]; then
        ends="store_s=0 store_bytes=0"
    else
        ends=$(end_figures "$run" "$file")
    fi
    case $(mode_of "$tool") in
        continuous | stop) plan=$((($(kv_get areas "$check") + 3) * CONTINUOUS_BLOCK)) ;;
        fixed) plan=$(fixed_plan "$count") ;;
    esac
    rm -f "$file"
    local store_bytes
    store_bytes=$(kv_get store_bytes "$ends")
    if [[ $tool != tcpdump && $store_bytes -gt 0 ]]; then
        dd_s=$(kv_dd_seconds "$WORK/dd.bin" "$store_bytes")
    fi
    local wrap=$WRAP_RECORDER_CPU
    [[ $tool == tcpdump ]] && wrap=$WRAP_TCPDUMP_CPU
    local line="phase=capture tool=$tool size=$size round=$round expect=$expect $sent_line $usage"
    line+=" $check $ends plan_bytes=$plan dd_s=$dd_s load1=$load1"
    line+=" busy=$(busy_share "$mark_before" "$mark_after") wrapper_cpu_s=$wrap"
    echo "$line" >>"$RESULTS"
    printf '  %-16s %4s B round %s: sent %s at %s pps, captured %s, missing %s, cpu %s s\n' \
        "$tool" "$size" "$round" "$(kv_get sent "$line")" "$(kv_get pps "$line")" \
        "$(kv_get distinct "$line")" "$(kv_get missing "$line")" "$(kv_get cpu_s "$line")"
}

# A continuous recording of about STORE_BYTES in DIRECTORY, stopped once the send is over, and
# dd writing as many bytes into the same directory right before the SIGINT. Memory the system
# has not touched for a while costs far more to write into than memory just freed (on a virtual
# machine whose host takes back free memory, several times more): dd runs twice in a row and
# the faster run counts, then the store gets the pages dd has just freed.
store_run() {
    local directory=$1 work=$2 round=$3
    local record=$((16 + (1514 < SNAPLEN ? 1514 : SNAPLEN)))
    local count=$(((STORE_BYTES - 24 + record - 1) / record))
    local dd_bytes=$((24 + count * record))
    local run=$work/run sent_line pid dd_s dd_first_s
    rm -f "$run".*
    launch_capturer store "$run" "$count"
    pid=$(cat "$run.pid")
    sent_line=$(kv_send 1514 "$count")
    sent_line="$sent_line cpu_at_signal_s=$(settled_cpu "$pid")"
    sync -f "$directory"
    dd_first_s=$(kv_dd_seconds "$work/dd.bin" "$dd_bytes")
    dd_s=$(kv_dd_seconds "$work/dd.bin" "$dd_bytes")
    dd_s=$(awk -v a="$dd_first_s" -v b="$dd_s" 'BEGIN { print (a != "" && (b == "" || a < b) ? a : b) }')
    sent_line="$sent_line signal_time=$(now)"
    kill -INT "$pid"
    kv_wait_end "$run" "$END_TIMEOUT_S"
    local ends bytes
    ends=$(end_figures "$run" "$run.pcap")
    rm -f "$run.pcap"
    bytes=$(kv_get store_bytes "$ends")
    local line="phase=store tool=store size=1514 dir=$directory round=$round expect=$count"
    line+=" $sent_line $(cat "$run.usage") $ends dd_s=$dd_s dd_bytes=$dd_bytes dd_first_s=$dd_first_s"
    echo "$line" >>"$RESULTS"
    printf '  store %-10s round %s: %s bytes stored in %s s (dd %s s for %s), SIGINT to "Done!" %s s\n' \
        "$directory" "$round" "$bytes" "$(kv_get store_s "$line")" "$dd_s" "$dd_bytes" \
        "$(awk -v d="$(kv_get done_time "$line")" -v s="$(kv_get signal_time "$line")" \
            'BEGIN { printf "%.3f", (d > 0 ? d - s : -1) }')"
}

# One run of the search: TOOL capturing SECONDS of SIZE-byte frames offered at RATE; sets
# RUN_MISSING and RUN_ACHIEVED (the sender's rate).
LOSSLESS_RUNS_USED=0
lossless_run() {
    local tool=$1 size=$2 layout=$3 rate=$4
    local count run=$WORK/run sent_line pid check
    count=$(awk -v r="$rate" -v s="$LOSSLESS_SECONDS" 'BEGIN { printf "%d", r * s + 0.5 }')
    ((count < 1000)) && count=1000
    LOSSLESS_RUNS_USED=$((LOSSLESS_RUNS_USED + 1))
    rm -f "$run".*
    launch_capturer "$tool" "$run" "$count"
    pid=$(cat "$run.pid")
    sent_line=$(kv_send "$size" "$count" --rate="$rate" --batch="$(batch_for "$rate")")
    settled_cpu "$pid" >/dev/null
    kill -INT "$pid"
    kv_wait_end "$run" "$END_TIMEOUT_S"
    if [[ -f $run.pcap ]]; then
        check=$("$BIN/kvpcapcheck" "$run.pcap" --expect="$count")
    else
        check="records=0 distinct=0 missing=$count"
    fi
    rm -f "$run.pcap"
    echo "phase=lossless tool=$tool size=$size layout=$layout rate=$rate expect=$count" \
        "$sent_line $(cat "$run.usage") $check" >>"$RESULTS"
    RUN_MISSING=$(kv_get missing "$check")
    RUN_ACHIEVED=$(kv_get pps "$sent_line")
}

# Up to REPEAT runs at RATE, ended by the first that loses a packet or whose sender fell short
# of the rate; sets TRIAL_OUTCOME to pass, loss or short.
lossless_trial() {
    local tool=$1 size=$2 layout=$3 rate=$4 attempt
    TRIAL_OUTCOME=pass
    for ((attempt = 1; attempt <= LOSSLESS_REPEAT; ++attempt)); do
        lossless_run "$tool" "$size" "$layout" "$rate"
        if ((RUN_ACHIEVED * 100 < rate * SENDER_SHORT_PERCENT)); then
            TRIAL_OUTCOME=short
            return
        fi
        if ((RUN_MISSING != 0)); then
            TRIAL_OUTCOME=loss
            return
        fi
    done
}

# The highest rate at which TOOL keeps every packet in REPEAT runs in a row: doubling from the
# start rate (halving when that loses already), then bisection.
lossless_search() {
    local tool=$1 size=$2 layout=$3
    local lo=0 hi=0 rate=$LOSSLESS_START outcome short=0 first_run=$LOSSLESS_RUNS_USED
    local started=$SECONDS
    while ((LOSSLESS_RUNS_USED - first_run < LOSSLESS_BUDGET)); do
        if ((lo > 0 && hi > 0)); then
            ((hi * 100 <= lo * (100 + LOSSLESS_RESOLUTION))) && break
            rate=$(((lo + hi) / 2))
        elif ((hi > 0)); then
            rate=$((hi / 2))
            ((rate < LOSSLESS_MIN_RATE)) && break
        elif ((lo > 0)); then
            rate=$((lo * 2))
            ((rate > LOSSLESS_MAX_RATE)) && break
        fi
        lossless_trial "$tool" "$size" "$layout" "$rate"
        outcome=$TRIAL_OUTCOME
        printf '    %-16s %4s B %-6s %9s pps: %s\n' "$tool" "$size" "$layout" "$rate" "$outcome"
        if [[ $outcome == pass ]]; then
            lo=$rate
        else
            hi=$rate
            [[ $outcome == short ]] && short=1
        fi
    done
    echo "phase=lossless_result tool=$tool size=$size layout=$layout rate=$lo lost_at=$hi" \
        "sender_short=$short runs=$((LOSSLESS_RUNS_USED - first_run))" \
        "seconds=$((SECONDS - started))" >>"$RESULTS"
    printf '  %-16s %4s B %-6s lossless up to %s pps (first loss at %s, %s runs)\n' \
        "$tool" "$size" "$layout" "$lo" "$hi" "$((LOSSLESS_RUNS_USED - first_run))"
}

echo "kvpcaprecorder vs tcpdump: $RUNS round(s), sizes $SIZES, files in $DIR ($(nproc) CPUs," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg))"
echo "recorder: $RECORDER${BASELINE:+, baseline: $BASELINE}"

KV_SEND_CPU=$SEND_CPU
KV_CAPTURE_CPU=$CAPTURE_CPU
read -ra TOOL_LIST <<<"$TOOLS"
if ((${#TOOL_LIST[@]} > 0)); then
    offered="flat out"
    [[ $RATE -gt 0 ]] && offered="at $RATE pps"
    echo "Capture rounds (sender on CPU ${SEND_CPU:-any}, capturer on CPU ${CAPTURE_CPU:-any}," \
        "$offered):"
    for round in $(seq 1 "$RUNS"); do
        for size in $SIZES; do
            # Each round starts with a different tool, so no tool always runs first or last.
            for index in "${!TOOL_LIST[@]}"; do
                at=$(((index + round - 1) % ${#TOOL_LIST[@]}))
                one_run "${TOOL_LIST[$at]}" "$size" "$round"
            done
        done
    done
fi

read -ra STORE_DIR_LIST <<<"$STORE_DIRS"
if ((${#STORE_DIR_LIST[@]} > 0)); then
    echo "Store runs (about $STORE_BYTES bytes recorded, then dd bs=10M of the same bytes):"
    STORE_WORK_OF=()
    for directory in "${STORE_DIR_LIST[@]}"; do
        work=$(mktemp -d "$directory/kvbench-store.XXXXXX")
        STORE_WORKS+=("$work")
        STORE_WORK_OF+=("$work")
    done
    for round in $(seq 1 "$RUNS"); do
        for index in "${!STORE_DIR_LIST[@]}"; do
            store_run "${STORE_DIR_LIST[$index]}" "${STORE_WORK_OF[$index]}" "$round"
        done
    done
fi

if [[ $LOSSLESS == 1 ]]; then
    echo "Lossless-rate search ($LOSSLESS_SECONDS s of traffic a run, $LOSSLESS_REPEAT runs in" \
        "a row, to $LOSSLESS_RESOLUTION%):"
    for layout in $LOSSLESS_LAYOUTS; do
        case $layout in
            split) KV_SEND_CPU=0 KV_CAPTURE_CPU=1 ;;
            shared) KV_SEND_CPU=0 KV_CAPTURE_CPU=0 ;;
            *) echo "unknown layout $layout" >&2; exit 2 ;;
        esac
        if [[ $layout == split && $(nproc) -lt 2 ]]; then
            echo "  (layout split needs two CPUs: skipped)"
            continue
        fi
        for size in $LOSSLESS_SIZES; do
            for tool in $LOSSLESS_TOOLS; do
                lossless_search "$tool" "$size" "$layout"
            done
        done
    done
    KV_SEND_CPU=$SEND_CPU
    KV_CAPTURE_CPU=$CAPTURE_CPU
fi

echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
[[ -n $RESULTS_COPY ]] && cp "$RESULTS" "$RESULTS_COPY"

status=0
/usr/bin/python3 "$ROOT/bench/summarise.py" "$RESULTS" || status=$?

if [[ $BENCHMARKS == 1 ]]; then
    kv_run_benchmarks "$BUILD_DIR"
fi
exit "$status"
