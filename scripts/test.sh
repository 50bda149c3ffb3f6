#!/usr/bin/env bash
# Sets up the machine, builds, and runs every test: unit and widget tests (offscreen),
# end-to-end tests against private Dovecot servers, then the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then every fuzz target briefly.
#
#   scripts/test.sh               everything
#   scripts/test.sh --no-sanitize skip the sanitizer pass
#   scripts/test.sh --no-fuzz     skip the fuzz targets
# FQ_FUZZ_SECONDS sets the time per fuzz target (default 10; scripts/fuzz.sh for longer runs).
# The whole command is kept under eight minutes on two cores: both builds compile a layer's
# files together (FQ_UNITY_BUILD: its Qt headers read once), the first build is neither
# optimized nor carries debug information (the quickest to compile, with Q_ASSERT on; the tests
# run as fast as in a Release build), the sanitizer build keeps line tables only (enough for its
# reports).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sanitize=1
fuzz=1
for arg in "$@"; do
    case "$arg" in
        --no-sanitize) sanitize=0 ;;
        --no-fuzz) fuzz=0 ;;
        *) echo "usage: $0 [--no-sanitize] [--no-fuzz]" >&2; exit 2 ;;
    esac
done

bash "$root/scripts/setup.sh"

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG= \
    -DFQ_UNITY_BUILD=ON
cmake --build "$root/build" -j "$jobs"

echo "== tests"
(cd "$root/build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs")

if [ "$sanitize" = 1 ]; then
    echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
    cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DFQ_SANITIZE=ON -DFQ_BUILD_BENCH=OFF -DFQ_UNITY_BUILD=ON
    cmake --build "$root/build-asan" -j "$jobs"
    (cd "$root/build-asan" &&
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
        LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs")
fi

if [ "$fuzz" = 1 ]; then
    echo "== fuzz targets"
    bash "$root/scripts/fuzz.sh" "${FQ_FUZZ_SECONDS:-10}"
fi
