#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (unit and end-to-end).
# Arguments are passed to the CMake configuration (CI: -DQAVEX_WERROR=ON).
# A failed test runs once more: the allocation-failure test has been seen to
# fail now and then under parallel load (being looked into); a fault that
# repeats still fails the run.
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQAVEX_TESTS=ON "$@"
cmake --build build -j"$(nproc)"
cd build && ctest --output-on-failure -j"$(nproc)" --repeat until-pass:2
