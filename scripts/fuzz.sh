#!/usr/bin/env bash
# Fuzzes the record builder for SECONDS (default 60), seeded from examples/.
# Fails when the fuzzer finds a crash or a catalogue that is not
# well-formed XML; the input that did it is left in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/install-deps.sh cmake clang libclang-rt-dev libxml2-dev ninja-build
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# A seed is an image's file name, a line feed, then its text.
seeds=build-fuzz/seeds
corpus=build-fuzz/corpus
mkdir -p "$seeds" "$corpus"
for image in examples/*.svg; do
  { basename "$image"; cat "$image"; } >"$seeds/$(basename "$image" .svg)"
done

build-fuzz/tevgen_record_fuzzer -max_total_time="$seconds" \
  -print_final_stats=1 -artifact_prefix=build-fuzz/ "$corpus" "$seeds" \
  2>build-fuzz/fuzz.log || { tail -40 build-fuzz/fuzz.log; exit 1; }
grep -E '^stat::number_of_executed_units|^Done' build-fuzz/fuzz.log
echo "record fuzzer: no crash and well-formed XML for ${seconds} s"
