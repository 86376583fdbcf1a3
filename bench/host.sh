#!/usr/bin/env bash
# Host benchmark: builds the library (Release) into build-bench/ (or
# $BENCH_BUILD) and runs the chain designer -> analysis -> synthesis -> delay
# in the real Pd host beside Pd's own STFT. Prints markdown tables to stdout,
# progress to stderr.
#   ./bench/host.sh              timing table, exact and fast mode (20 s, 3 rounds)
#   ./bench/host.sh --fidelity   round-trip error with own and dual windows
#   ./bench/host.sh --instances  CPU per chain with 1, 2, 8, 16 chains in one
#                                patch (--counts), demo settings, fast mode
#   ./bench/host.sh --latency    round-trip error and CPU against set_max_latency
#   --quick                      3 s of audio and 2 rounds, for a fast check
#   --mode exact|fast, --only 0,2, --seconds S, --rounds R: parts of the table
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD:-build-bench}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQAVEX_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target qavex >/dev/null
work="$build/host"
[[ " $* " == *" --fidelity "* ]] && work="$build/fidelity"
[[ " $* " == *" --latency "* ]] && work="$build/latency"
exec python3 bench/host.py --build "$build" --workdir "$work" "$@"
