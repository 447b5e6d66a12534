#!/bin/bash
# Usage: run-fuzzers.sh <seconds per target> [target...]
#
# Builds the libFuzzer targets (clang, -DKV_FUZZ=ON, ASan + UBSan) in $KV_FUZZ_BUILD (default
# build-fuzz at the top of the repository) and runs each one, one after the other, for the given
# time. Every target has a seed corpus in fuzz/corpus/<target>, which is only read; what a run
# finds is kept in <build>/fuzz-corpus/<target>, so later runs start from there. A finding is
# written to <build>/fuzz-artifacts/<target>/ and the run's log to <build>/fuzz-logs/.
# Prints a table of executions per target; exits with 1 when any target found something.
# Run as root: fuzz_config and fuzz_command_line run in private network and mount namespaces and
# stop without them.
set -uo pipefail

if [[ $# -lt 1 || ! "$1" =~ ^[0-9]+$ ]]; then
    echo "usage: $(basename "$0") <seconds per target> [target...]" >&2
    exit 2
fi
seconds=$1
shift

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${KV_FUZZ_BUILD:-$root/build-fuzz}
jobs=${KV_JOBS:-2}

if [[ $# -gt 0 ]]; then
    targets=("$@")
else
    mapfile -t targets < <(cd "$here/corpus" && ls -d fuzz_* | sort)
fi

mkdir -p "$build"
if ! grep -qs '^KV_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DKV_FUZZ=ON -DBUILD_TESTING=OFF \
        >"$build/fuzz-configure.log" 2>&1 || { cat "$build/fuzz-configure.log"; exit 2; }
fi
cmake --build "$build" --target fuzz_targets -j"$jobs" >"$build/fuzz-build.log" 2>&1 ||
    { tail -50 "$build/fuzz-build.log"; exit 2; }

# UBSan reports become findings; leaks are findings too.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1

# Extra options per target.
declare -A extra=(
    [fuzz_text]="-max_len=10000"   # reaches the conversions' heap path (4096 and more)
    # The C library's regular-expression compiler needs up to a few seconds under ASan for the
    # rule patterns just inside the reader's complexity bound, compiled twice per rule.
    [fuzz_config]="-max_len=8192 -timeout=60"
)

mkdir -p "$build/fuzz-logs"
workdir=$(mktemp -d "${TMPDIR:-/tmp}/kvfuzz-run.XXXXXX")
trap 'rm -rf "$workdir"' EXIT

failed=0
summary=$(printf '%-24s %8s %12s %9s %8s  %s' target seconds executions "exec/s" corpus result)
for target in "${targets[@]}"; do
    binary="$build/fuzz/$target"
    seeds="$here/corpus/$target"
    if [[ ! -x "$binary" || ! -d "$seeds" ]]; then
        echo "unknown fuzz target $target" >&2
        failed=1
        continue
    fi
    corpus="$build/fuzz-corpus/$target"
    artifacts="$build/fuzz-artifacts/$target/"
    log="$build/fuzz-logs/$target.log"
    mkdir -p "$corpus" "$artifacts"
    echo "fuzzing $target for $seconds s ..." >&2
    # shellcheck disable=SC2086
    (cd "$workdir" && "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts" ${extra[$target]:-} \
        "$corpus" "$seeds") >"$log" 2>&1
    status=$?
    executions=$(awk '/^stat::number_of_executed_units:/ {print $2}' "$log")
    rate=$(awk '/^stat::average_exec_per_sec:/ {print $2}' "$log")
    units=$(find "$corpus" -type f | wc -l)
    result=ok
    if [[ $status -ne 0 ]]; then
        failed=1
        finding=$(grep -ho "Test unit written to .*" "$log" | tail -1)
        result="FINDING (exit $status) ${finding#Test unit written to } - see $log"
        grep -E "^(==[0-9]+==ERROR|SUMMARY|fuzz check failed|  )" "$log" | head -20 >&2
    fi
    summary+=$'\n'$(printf '%-24s %8s %12s %9s %8s  %s' "$target" "$seconds" \
        "${executions:-?}" "${rate:-?}" "$units" "$result")
done
echo "$summary"
exit $failed
