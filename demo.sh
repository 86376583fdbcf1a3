#!/usr/bin/env bash
# Installs what is missing, builds the library and runs the demo patch in
# the real host (no audio device needed). Results go to demo/out/.
#
# ./demo.sh IN.wav [OUT.wav] instead analyses and resynthesises every
# channel of a sound file with faithful settings, writes the resynthesis
# aligned to the input (the latency removed, 32-bit float, default
# IN-qavex.wav) and prints the round-trip error of each channel. With
# QAVEX_BUILD_DIR set it uses that build as it is (no set-up, no build).
set -euo pipefail
if [ $# -ge 1 ]; then
  in=$(realpath -m "$1")
  out=$(realpath -m "${2:-${1%.*}-qavex.wav}")
  [ -f "$in" ] || { echo "demo.sh: no such file: $1" >&2; exit 1; }
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
