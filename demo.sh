#!/usr/bin/env bash
# Installs what is missing, builds the library and runs the demo patch in
# the real host (no audio device needed). Results go to demo/out/.
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQAVEX_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target qavex
mkdir -p demo/out
pd -nogui -nrt -batch -noaudio -noprefs -stderr -path build -lib qavex -open demo/demo.pd
