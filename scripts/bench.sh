#!/usr/bin/env bash
# Builds tevgen and the benchmark, then times tevgen against the floor of
# any catalogue run: warm cache, cold cache (root) and a simulated network
# share (FUSE), on generated corpora and Debian's openclipart-svg
# collection (a few GB of disk, the sparse image taking almost none, kept in
# build/bench-corpus for later runs). Arguments go to the benchmark, for
# example --runs 11, --corpus ar, --mode warm, or --mode watch (tevgen
# --watch: how soon a burst is catalogued, how many runs a copy causes).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake g++ ninja-build libgtest-dev pkg-config \
  libfuse3-dev fuse3 openclipart-svg
cmake --preset default >/dev/null
cmake --build --preset default --target tevgen read_floor tevgen_bench \
  slow_share ideal_reader
build/tevgen_bench build/tevgen build/read_floor --work build/bench-corpus \
  --share build/slow_share --ideal build/ideal_reader "$@"
