#!/usr/bin/env bash
# Builds tevgen and the benchmark, then times tevgen against the floor of
# any catalogue run on three generated corpora (about 400 MB, kept in
# build/bench-corpus for later runs). Arguments go to the benchmark, for
# example --runs 11 or --corpus ab.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake g++ ninja-build libgtest-dev
cmake --preset default >/dev/null
cmake --build --preset default --target tevgen read_floor tevgen_bench
build/tevgen_bench build/tevgen build/read_floor --work build/bench-corpus "$@"
