#!/usr/bin/env bash
# Installs what is missing, builds the helper and scans the zam-plugins bundles
# in /usr/lib/vst3, printing each scan report.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTV3_BUILD_TESTS=OFF -DTV3_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --target TarvelVST3Host
for bundle in /usr/lib/vst3/Zam*.vst3; do
  build/release/TarvelVST3Host/TarvelVST3Host --scan-one "$bundle"
done
