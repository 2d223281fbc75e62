#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite: once as
# is, once under AddressSanitizer with UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
jobs=$(nproc)

run_suite() { # <build dir> <ctest args...> -- <cmake args...>
  local dir=$1; shift
  local ctest_args=()
  while [[ $1 != -- ]]; do ctest_args+=("$1"); shift; done; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${ctest_args[@]}"
}

run_suite build/test -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build/asan -LE slow -- -DCMAKE_BUILD_TYPE=Debug -DTV3_SANITIZE=address,undefined -DTV3_BUILD_BENCH=OFF
