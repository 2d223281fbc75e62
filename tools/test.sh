#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite: once as
# is, once under AddressSanitizer with UndefinedBehaviorSanitizer, the threaded
# parts under ThreadSanitizer, and a short run of the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
jobs=$(nproc)

configure() { # <build dir> <cmake args...>
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}
run_tests() { # <build dir> <ctest args...>
  local dir=$1; shift
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure "$@"
}

echo "== plain build"
configure build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/test -j "$jobs"
run_tests build/test

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
configure build/asan -DCMAKE_BUILD_TYPE=Debug -DTV3_SANITIZE=address,undefined -DTV3_BUILD_BENCH=OFF
cmake --build build/asan -j "$jobs"
run_tests build/asan -LE slow

echo "== ThreadSanitizer (threaded code)"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
configure build/tsan -DCMAKE_BUILD_TYPE=Debug -DTV3_SANITIZE=thread -DTV3_BUILD_BENCH=OFF
cmake --build build/tsan -j "$jobs"
run_tests build/tsan -L 'threads|instance'

if [[ -f tools/fuzz.sh ]]; then
  echo "== fuzz targets, briefly"
  bash tools/fuzz.sh 10
fi
