#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]: builds the fuzz targets (clang, libFuzzer, ASan,
# UBSan) into build-fuzz/ (or $FQ_FUZZ_BUILD_DIR) and runs each (default 30 s, all) on a copy of
# its corpus. Crashing inputs go to crashes/<target>/, logs to runs/; exits 1 on any crash.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${FQ_FUZZ_BUILD_DIR:-$root/build-fuzz} seconds=${1:-30} failed=0
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS_PER_TARGET] [TARGET...]" >&2; exit 2; }
shift $(($# > 0))
(($# > 0)) || set -- fuzz_server fuzz_usertext fuzz_message
cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -- "$@"
for target in "$@"; do
    work=$build/runs/$target log=$build/runs/$target.log crashes=$build/crashes/$target status=0
    rm -rf "$work" && mkdir -p "$work" "$crashes" && cp -R "$root/fuzz/corpus/$target/." "$work/"
    "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$crashes/" "$work" >"$log" 2>&1 </dev/null || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if ((status == 0)); then echo "fuzz: $target: ${execs:-?} runs in ${seconds}s, no crash"; continue; fi
    grep -E -A 12 'ERROR:|Assertion|runtime error' "$log" | head -n 30 >&2 || true
    echo "fuzz: $target: ${execs:-?} runs, CRASH (exit $status), input in $crashes/, log $log"
    failed=1
done
exit $failed
