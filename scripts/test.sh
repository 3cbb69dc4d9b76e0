#!/usr/bin/env bash
# Builds tevgen for Linux and, cross-compiled, for Windows, and runs the whole
# test suite: the Linux tests, and the Windows build's tests and the same
# end-to-end cases under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake g++ ninja-build libgtest-dev googletest \
  g++-mingw-w64-x86-64-posix wine wine64

cmake --preset windows
cmake --build --preset windows
ctest --preset windows

cmake --preset default
cmake --build --preset default
# The Windows end-to-end run must not be skipped here.
TEVGEN_REQUIRE_WINDOWS=1 ctest --preset default
