#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) into
# build-fuzz/ and runs each one for a set time on a copy of its seed corpus.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default 30 s, every target)
#
# Prints per target the executions and whether it crashed, and exits non-zero when any target
# crashed (or failed to run). A crashing input is kept in build-fuzz/crashes/<target>/ and the
# run's log in build-fuzz/runs/<target>.log. The committed corpus in fuzz/corpus/ is never
# written to. Installs nothing: needs clang and libFuzzer (Debian: clang, libclang-rt-14-dev).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-fuzz
all_targets=(fuzz_responsereader fuzz_lexer fuzz_listparser fuzz_searchparser fuzz_fetchparser
             fuzz_headers fuzz_headerdate fuzz_mutf7 fuzz_argencoder fuzz_searchkey fuzz_message)

seconds=30
if (($# > 0)); then
    if [[ ! $1 =~ ^[0-9]+$ ]] || (($1 < 1)); then
        echo "usage: $0 [SECONDS_PER_TARGET] [TARGET...]" >&2
        exit 2
    fi
    seconds=$1
    shift
fi
if (($# > 0)); then
    targets=("$@")
else
    targets=("${all_targets[@]}")
fi

say() { echo "fuzz: $*"; }

if ! command -v clang++ >/dev/null; then
    say "clang++ not found; install the Debian packages clang and libclang-rt-14-dev" >&2
    exit 2
fi

say "building into $build"
cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" -- "${targets[@]}"

dict_for() {
    case "$1" in
        fuzz_responsereader | fuzz_lexer | fuzz_listparser | fuzz_searchparser | fuzz_fetchparser)
            echo "$root/fuzz/dict/imap.dict" ;;
        fuzz_headers) echo "$root/fuzz/dict/headers.dict" ;;
        fuzz_headerdate) echo "$root/fuzz/dict/dates.dict" ;;
        fuzz_mutf7) echo "$root/fuzz/dict/mutf7.dict" ;;
        fuzz_message) echo "$root/fuzz/dict/message.dict" ;;
    esac
}

# Leaks count as failures; UBSan findings stop the target (it is also built not to recover).
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
summary=()
for target in "${targets[@]}"; do
    binary=$build/$target
    if [[ ! -x $binary ]]; then
        say "$target: no such target" >&2
        failed+=("$target")
        continue
    fi
    work=$build/runs/$target
    crashes=$build/crashes/$target
    log=$build/runs/$target.log
    rm -rf "$work"
    mkdir -p "$work" "$crashes"
    if [[ -d $root/fuzz/corpus/$target ]]; then
        cp -R "$root/fuzz/corpus/$target/." "$work/"
    fi
    args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix="$crashes/")
    dict=$(dict_for "$target")
    if [[ -n $dict ]]; then
        args+=(-dict="$dict")
    fi

    say "$target: running for ${seconds}s"
    status=0
    "$binary" "${args[@]}" "$work" >"$log" 2>&1 </dev/null || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    execs=${execs:-?}
    if ((status == 0)); then
        line="$target: $execs executions, no crash"
    else
        artifact=$(sed -n 's/.*Test unit written to //p' "$log" | tail -n 1)
        line="$target: $execs executions, CRASH (exit $status)${artifact:+, input $artifact}"
        failed+=("$target")
        # The finding itself, without libFuzzer's progress lines.
        grep -E -A 12 'ERROR:|check failed|runtime error|SUMMARY' "$log" | head -n 40 >&2 || true
    fi
    say "$line"
    summary+=("$line")
done

echo "== fuzz summary (${seconds}s per target)"
printf '  %s\n' "${summary[@]}"
if ((${#failed[@]} > 0)); then
    say "FAILED: ${failed[*]} (logs in $build/runs/, inputs in $build/crashes/)" >&2
    exit 1
fi
say "all ${#targets[@]} targets ran without a crash"
