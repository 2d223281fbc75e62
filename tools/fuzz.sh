#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each of them
# for the given number of seconds (default 10), starting from the seed corpus
# in tests/fuzz/corpus. Any crash stops the script with a failure status and
# leaves the input that caused it in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
dir=build/fuzz
targets=(fuzz_bridge_frames)

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTV3_BUILD_FUZZ=ON -DTV3_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

mkdir -p "$dir/artifacts"
for target in "${targets[@]}"; do
  corpus="$dir/corpus/$target"
  mkdir -p "$corpus"
  echo "== $target for ${seconds}s"
  log="$dir/$target.log"
  # -rss_limit_mb: a frame may announce 256 MiB and the sanitizers add their share.
  status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$dir/tests/fuzz/$target" "$corpus" tests/fuzz/corpus \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=65536 \
      -artifact_prefix="$dir/artifacts/" -print_final_stats=1 >"$log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
  if [[ $status -ne 0 ]]; then
    tail -n 60 "$log" >&2
    echo "$target failed (status $status): the input is in $dir/artifacts/, the log in $log" >&2
    exit 1
  fi
done
