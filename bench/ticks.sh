#!/usr/bin/env bash
# Tick-time benchmark: builds the library (Release) into build-bench/ (or
# $BENCH_BUILD) and times every 64-sample tick of the real Pd host running
# designer -> analysis -> synthesis -> delay: steady state, bank changes while
# running, "set_fast" while running. Prints a markdown table to stdout,
# progress to stderr. The host runs with -nrt (needed: as root Pd otherwise
# takes real-time priority and the kernel's throttling stalls it).
#   ./bench/ticks.sh [--seconds S] [--rounds R] [--only 0,3]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD:-build-bench}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQAVEX_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j2 --target qavex >/dev/null
exec python3 bench/ticks.py --build "$build" --workdir "$build/ticks" "$@"
