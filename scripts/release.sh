#!/usr/bin/env bash
# Builds the release packages from this checkout into dist/:
#   tevgen_<version>_amd64.deb          the Linux program, man page, units
#   tevgen-<version>-windows-x64.zip    the Windows program and a read-me
#   SHA256SUMS                          the checksums of both
# The same commit gives the same bytes wherever and whenever it is built:
# every timestamp is the last commit's (SOURCE_DATE_EPOCH), build paths are
# mapped away, and archives list their files in a fixed order.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake g++ ninja-build dpkg-dev file gzip \
  g++-mingw-w64-x86-64-posix

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C.UTF-8
umask 022

rm -rf dist build-release build-release-windows
mkdir dist
for preset in release release-windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  (cd "build-$preset" && cpack >/dev/null)
  cp build-"$preset"/packages/*.{deb,zip} dist/ 2>/dev/null || true
done
(cd dist && sha256sum -- *.deb *.zip >SHA256SUMS)
echo "--- dist/"
cat dist/SHA256SUMS
