#!/usr/bin/env bash
# The project's own checks, run as ctest tests so that the one test command
# runs them too: sanitized | fuzz | tidy | format.
# Usage: checks.sh CHECK SOURCE_DIR BUILD_DIR
set -euo pipefail
check=$1 source=$2 build=$3

need() {
    for tool in "$@"; do
        if ! command -v "$tool" >/dev/null; then
            echo "$tool is not installed"
            # ctest counts 77 as skipped; under CI a skip is a failure.
            [ "${CI:-}" = true ] && exit 1 || exit 77
        fi
    done
}

case $check in
sanitized)
    # The whole suite again, built with AddressSanitizer and UBSan.
    need g++
    dir=$build/sanitized
    # A filter refuses what the leak checker calls at exit: the sanitized
    # build runs the same code unconfined; the main build tests confinement.
    cmake -S "$source" -B "$dir" -DPMTU6_SANITIZE=ON -DPMTU6_SANDBOX=OFF -DPMTU6_CHECKS=OFF \
        >/dev/null
    cmake --build "$dir" -j2 >/dev/null
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir "$dir" --output-on-failure
    ;;
fuzz)
    need clang++
    dir=$build/fuzz
    CXX=clang++ cmake -S "$source" -B "$dir" -DPMTU6_FUZZ=ON -DPMTU6_SANITIZE=ON \
        -DPMTU6_SANDBOX=OFF -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$dir" -j2 --target fuzz_reply >/dev/null
    # New inputs go to a scratch corpus; the seeds in the repo stay as they are.
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    "$dir/fuzz_reply" -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 \
        -artifact_prefix="$dir/" \
        "$scratch" "$source/tests/fuzz/corpus"
    ;;
tidy)
    need clang-tidy
    clang-tidy -p "$build" --quiet "$source"/src/*.cpp
    ;;
format)
    need clang-format
    clang-format --dry-run -Werror "$source"/src/*.cpp "$source"/src/*.h \
        "$source"/tests/*.cpp "$source"/tests/fuzz/*.cpp
    ;;
*)
    echo "unknown check $check" >&2
    exit 2
    ;;
esac
