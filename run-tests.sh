#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (unit and end-to-end).
# Arguments are passed to the CMake configuration (CI: -DQAVEX_WERROR=ON).
# A failed test runs once more, so that a host test stalled by a loaded
# machine does not fail the run; a fault that repeats still fails it.
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQAVEX_TESTS=ON "$@"
cmake --build build -j"$(nproc)"
cd build && ctest --output-on-failure -j"$(nproc)" --repeat until-pass:2
