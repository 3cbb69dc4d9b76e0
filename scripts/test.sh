#!/usr/bin/env bash
# Builds tevgen and runs the whole test suite:
#   1. the Windows cross build, its unit tests under Wine;
#   2. the Linux build: unit, end-to-end and fault tests, and the end-to-end
#      cases again against the Windows build under Wine;
#   3. the whole Linux suite again under AddressSanitizer and
#      UndefinedBehaviorSanitizer, and under ThreadSanitizer;
#   4. the record fuzzer for 60 seconds (FUZZ_SECONDS to change it);
#   5. the release packages: built twice and compared byte for byte,
#      checked with lintian and systemd-analyze, installed on a fresh
#      Debian 12, the service run in that Debian booted in a container
#      (scripts/check-release.sh, scripts/check-service.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake g++ ninja-build libgtest-dev googletest \
  g++-mingw-w64-x86-64-posix wine wine64 python3-pefile \
  clang libclang-rt-dev libxml2-dev

echo "== Windows build, unit tests under Wine"
cmake --preset windows
cmake --build --preset windows
ctest --preset windows

echo "== Linux build and tests"
cmake --preset default
cmake --build --preset default
# The Windows end-to-end run must not be skipped here.
TEVGEN_REQUIRE_WINDOWS=1 ctest --preset default

echo "== Sanitizers"
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan

echo "== Fuzzing"
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

echo "== Release packages"
scripts/check-release.sh
