#!/usr/bin/env bash
# Set-up, build and test entry point.
#   ./build.sh test   build and run every test (default and sanitizer builds)
#   ./build.sh run    build and run the system simulator
#   ./build.sh tsan   run the threaded tests under ThreadSanitizer
#   ./build.sh bench  build and run the benchmarks
#   ./build.sh fuzz   build the fuzz targets with libFuzzer and run each for a bounded time
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ clang ninja-build pkg-config libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev zlib1g-dev libminizip-dev libxml2-dev)
JOBS=$(nproc)

ensure_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "installing: ${missing[*]}"
        apt-get update
        DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
    fi
}

build() { # preset [targets...]
    local preset=$1
    shift
    cmake --preset "$preset" >/dev/null
    if (($#)); then
        cmake --build --preset "$preset" -j "$JOBS" --target "$@"
    else
        cmake --build --preset "$preset" -j "$JOBS"
    fi
}

run_ctest() { # preset [ctest args...]
    local preset=$1
    shift
    ctest --test-dir "out/$preset" --output-on-failure -j "$JOBS" "$@"
}

cmd=${1:-test}
shift || true
case "$cmd" in
test)
    ensure_packages
    build default
    run_ctest default
    build asan
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run_ctest asan -LE soak
    ;;
run)
    ensure_packages
    build default wwansim
    ./out/default/tools/wwansim/wwansim "$@"
    ;;
tsan)
    ensure_packages
    build tsan
    TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1" run_ctest tsan -LE 'soak|fuzz' "$@"
    ;;
bench)
    ensure_packages
    build default
    for b in out/default/bench/*_bench; do
        [ -x "$b" ] && "$b" "$@"
    done
    ;;
fuzz)
    ensure_packages
    targets=()
    for d in tests/fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
    build fuzz "${targets[@]}"
    for t in "${targets[@]}"; do
        work=$(mktemp -d)
        cp -r "tests/fuzz/corpus/$t/." "$work/"
        echo "fuzzing $t for ${FUZZ_SECONDS:-60}s"
        "out/fuzz/tests/fuzz/$t" -max_total_time="${FUZZ_SECONDS:-60}" "$work"
        rm -rf "$work"
    done
    ;;
*)
    echo "usage: $0 {test|run|tsan|bench|fuzz}" >&2
    exit 2
    ;;
esac
