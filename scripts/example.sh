#!/usr/bin/env bash
# Builds tevgen and catalogues the sample images in examples/ the way a user
# does: the program is copied into the folder and started there without
# arguments. Prints the catalogue, converted to UTF-8 for the terminal (the
# file itself is ISO-8859-1 with CR LF line ends).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake g++ ninja-build libgtest-dev
cmake --preset default >/dev/null
cmake --build --preset default --target tevgen

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/*.svg build/tevgen "$work/"
(cd / && "$work/tevgen")
echo "--- $work/tev.xml ---"
iconv -f ISO-8859-1 -t UTF-8 "$work/tev.xml" | tr -d '\r'
