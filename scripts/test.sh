#!/usr/bin/env bash
# Builds tevgen and runs the whole test suite:
#   1. the Windows cross build, its unit tests under Wine;
#   2. the Linux build: unit, end-to-end, watch and fault tests, and the
#      end-to-end and watch cases again against the Windows build under Wine;
#   3. the whole Linux suite again under AddressSanitizer and
#      UndefinedBehaviorSanitizer, and under ThreadSanitizer but for the
#      random-kill test (doc/testing.md says why);
#   4. the record fuzzer for 60 seconds (FUZZ_SECONDS to change it);
#   5. the release packages: built twice and compared byte for byte,
#      checked with lintian and systemd-analyze, installed on a fresh
#      Debian 12, the service run in that Debian booted in a container
#      (scripts/check-release.sh, scripts/check-service.sh).
# After each ctest run it prints every skipped test with its reason.
#
# scripts/test.sh --fast builds the Linux program and runs only its unit and
# end-to-end tests (the workflow preset "fast"), for a developer's change:
# under two minutes on two cores, the build included.
set -euo pipefail
cd "$(dirname "$0")/.."

# ctest (every test preset writes junit.xml in its build folder), then every
# skip of the run with its reason: ctest shows only "Skipped", the reason is
# in the test's output.
run_ctest() {
  local build=$1 status=0
  shift
  rm -f "$build/junit.xml"
  ctest "$@" || status=$?
  [ ! -f "$build/junit.xml" ] || python3 test/print_skips.py "$build/junit.xml"
  return "$status"
}

if [ "${1:-}" = --fast ]; then
  scripts/install-deps.sh cmake g++ ninja-build libgtest-dev python3 locales \
    libc-l10n
  rm -f build/junit.xml
  status=0
  cmake --workflow --preset fast || status=$?
  [ ! -f build/junit.xml ] || python3 test/print_skips.py build/junit.xml
  exit "$status"
fi

scripts/install-deps.sh cmake g++ ninja-build libgtest-dev googletest \
  g++-mingw-w64-x86-64-posix wine wine64 python3 python3-pefile \
  clang libclang-rt-dev libxml2-dev locales libc-l10n

echo "== Windows build, unit tests under Wine"
cmake --preset windows
cmake --build --preset windows
run_ctest build-windows --preset windows

echo "== Linux build and tests"
cmake --preset default
cmake --build --preset default
# The Windows end-to-end run must not be skipped here. One test at a time:
# a run under Wine beside the fault tests once ended with status 1 and no
# message, which it never did alone.
TEVGEN_REQUIRE_WINDOWS=1 run_ctest build --preset default

echo "== Sanitizers"
# Two tests at a time on two cores, slowed as they are; the fault and watch
# tests, which time what they start, still run alone (RUN_SERIAL).
cmake --preset asan
cmake --build --preset asan
run_ctest build-asan --preset asan --parallel 2
cmake --preset tsan
cmake --build --preset tsan
run_ctest build-tsan --preset tsan --parallel 2

echo "== Fuzzing"
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

echo "== Release packages"
scripts/check-release.sh
