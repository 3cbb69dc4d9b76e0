#!/usr/bin/env bash
# Builds tevgen and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake g++ ninja-build libgtest-dev
cmake --preset default
cmake --build --preset default
ctest --preset default
