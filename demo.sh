#!/usr/bin/env bash
# Installs what is missing, builds the library and runs the demo patch in
# the real host (no audio device needed). Results go to demo/out/.
#
# ./demo.sh IN [OUT.wav] instead analyses and resynthesises every
# channel of a sound file (WAV, AIFF, CAF or NeXT) with faithful settings,
# writes the resynthesis aligned to the input (the latency removed, 32-bit
# float, default IN-qavex.wav beside IN) and prints the round-trip error of
# each channel; what it cannot process it refuses before the build. With
# QAVEX_BUILD_DIR set it uses that build as it is (no set-up, no build).
set -euo pipefail
if [ $# -ge 1 ]; then
  in=$(realpath -m "$1")
  if [ $# -ge 2 ]; then
    out=$(realpath -m -s "$2")
  else
    # Beside IN as given (not beside what a link names), its extension (if
    # any) replaced: my.dir/take1 -> my.dir/take1-qavex.wav.
    base=$(basename -- "$1")
    stem=${base%.*}
    out=$(realpath -m -s "$(dirname -- "$1")")/${stem:-$base}-qavex.wav
  fi
  [ -f "$in" ] || { echo "demo.sh: no such file: $1" >&2; exit 1; }
  [ -d "$(dirname -- "$out")" ] || { echo "demo.sh: the folder of $out does not exist" >&2; exit 1; }
fi
cd "$(dirname "$0")"
if [ $# -ge 1 ] && [ -n "${QAVEX_BUILD_DIR:-}" ]; then
  exec tools/process-file "$in" "$out" "$QAVEX_BUILD_DIR"
fi
./setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQAVEX_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target qavex
if [ $# -eq 0 ]; then
  mkdir -p demo/out
  exec pd -nogui -nrt -batch -noaudio -noprefs -stderr -path build -lib qavex -open demo/demo.pd
fi
exec tools/process-file "$in" "$out" build
