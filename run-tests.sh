#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (unit and end-to-end).
# Arguments are passed to the CMake configuration (CI: -DQAVEX_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQAVEX_TESTS=ON "$@"
cmake --build build -j"$(nproc)"
cd build && ctest --output-on-failure -j"$(nproc)"
