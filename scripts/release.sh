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

# Without a commit to take the time from (a copy of the tree, not a clone)
# every build would stamp its own time: refuse rather than make packages
# that differ.
# The checkout must be this tree's own: a copy inside another repository
# would take that repository's time. Git's own words say why it refused
# (another user's clone, for instance).
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  top=$(git rev-parse --show-toplevel 2>&1) && [ "$top" = "$(pwd -P)" ] &&
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) || {
    case $top in /*) ;; *) [ -n "$top" ] && echo "$top" >&2 ;; esac
    echo "release.sh: $(pwd -P) is not a git checkout of its own, so no commit time to make the packages reproducible; build from a clone (or set SOURCE_DATE_EPOCH)" >&2
    exit 1
  }
fi
case $SOURCE_DATE_EPOCH in
  '' | *[!0-9]*)
    echo "release.sh: SOURCE_DATE_EPOCH=\"$SOURCE_DATE_EPOCH\" is not a number of seconds" >&2
    exit 1 ;;
esac
export SOURCE_DATE_EPOCH

scripts/install-deps.sh cmake g++ ninja-build dpkg-dev file gzip \
  g++-mingw-w64-x86-64-posix

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
