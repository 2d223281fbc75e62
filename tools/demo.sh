#!/usr/bin/env bash
# Installs what is missing, builds the helper and the tarvel command, writes a
# short test clip, renders it through a real plug-in (ZamComp, with its
# threshold and ratio changed) and says where the result is.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTV3_BUILD_TESTS=OFF -DTV3_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --target TarvelVST3Host tarvel
tarvel=build/release/tools/tarvel/tarvel
out=build/demo
mkdir -p "$out"

echo "== the installed plug-ins"
"$tarvel" scan /usr/lib/vst3
echo
echo "== ZamComp's parameters"
"$tarvel" params /usr/lib/vst3/ZamComp.vst3
echo
echo "== rendering a 4-second clip through ZamComp (threshold 7=0.5, ratio 6=0.8)"
"$tarvel" tone "$out/clip.wav" --seconds 4
"$tarvel" render /usr/lib/vst3/ZamComp.vst3 "$out/clip.wav" "$out/clip-compressed.wav" \
  --param 7=0.5 --param 6=0.8 --save-state "$out/zamcomp.tvst3"
echo
echo "input:    $PWD/$out/clip.wav"
echo "output:   $PWD/$out/clip-compressed.wav"
echo "settings: $PWD/$out/zamcomp.tvst3 (tarvel render ... --state FILE uses them again)"
echo
echo "With a display, ZamComp's own editor changes those settings:"
echo "  $PWD/$tarvel edit /usr/lib/vst3/ZamComp.vst3 --state $PWD/$out/zamcomp.tvst3 --save-state $PWD/$out/zamcomp.tvst3"
