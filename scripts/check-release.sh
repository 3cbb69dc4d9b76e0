#!/usr/bin/env bash
# Checks the release packages of the committed HEAD:
#   1. reproducible: scripts/release.sh in two clones, in two temporary
#      folders, at two different times, gives the same bytes for the .deb,
#      the .zip, tevgen, tevgen.exe and tevgen.com;
#   2. the package: dpkg-deb --info and --contents, lintian (no error and
#      no warning), the manual page (groff -ww), the systemd unit
#      (systemd-analyze verify);
#   2b. the zip: its programs are byte for byte the built ones and pass
#      test/check_pe.py; its texts are what Windows programs read (CR LF,
#      the German read-me in UTF-16 with a byte-order mark), licences too;
#   3. it installs and works on a fresh Debian 12: a debootstrap root,
#      kept in /var/cache/tevgen-test for later runs (skipped, with the
#      reason, where one cannot be made);
#   4. the service as the README sets it up, in that Debian booted in a
#      container (scripts/check-service.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh lintian debootstrap groff-base systemd man-db \
  dpkg-dev python3-pefile unzip systemd-container

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for copy in one two; do
  git clone -q . "$work/$copy"
  (cd "$work/$copy" && scripts/release.sh >"$work/$copy.log" 2>&1) ||
    { tail -30 "$work/$copy.log"; exit 1; }
  sleep 2  # the second build runs at another time
done

echo "== Reproducible"
one=$work/one
for file in dist/SHA256SUMS dist/*.deb dist/*.zip build-release/tevgen \
  build-release-windows/tevgen.exe build-release-windows/tevgen.com; do
  for path in "$one"/$file; do
    relative=${path#"$one"/}
    if ! cmp -s "$path" "$work/two/$relative"; then
      echo "differs between two builds: $relative"
      exit 1
    fi
    echo "same bytes: $relative ($(sha256sum <"$path" | cut -c1-16))"
  done
done

echo "== Windows zip"
unzipped=$work/zip
unzip -q "$one"/dist/*.zip -d "$unzipped"
(cd "$unzipped" && ls) | tr '\n' ' ' | tee "$work/zip-contents"
echo
[ "$(cat "$work/zip-contents")" = "LICENSE-mingw-w64.txt LICENSE.txt LIESMICH.txt README.txt tevgen-watch.xml tevgen.com tevgen.exe " ] ||
  { echo "the zip holds other files"; exit 1; }
for program in tevgen.exe tevgen.com; do
  cmp "$unzipped/$program" "$one/build-release-windows/$program" ||
    { echo "the zip's $program is not the built one"; exit 1; }
done
TEVGEN_REQUIRE_WINDOWS=1 /usr/bin/python3 test/check_pe.py \
  "$unzipped/tevgen.exe" "$unzipped/tevgen.com" \
  "$(sed -n 's/^project(tevgen VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
for text in README.txt LICENSE.txt LICENSE-mingw-w64.txt; do
  if LC_ALL=C grep -q $'[^\r]$' "$unzipped/$text" ||
     LC_ALL=C grep -q -P '[^\x00-\x7F]' "$unzipped/$text"; then
    echo "$text: not ASCII with CR LF line ends"; exit 1
  fi
done
[ "$(head -c 2 "$unzipped/LIESMICH.txt" | od -An -tx1 | tr -d ' ')" = fffe ] ||
  { echo "LIESMICH.txt: no UTF-16 byte-order mark"; exit 1; }
iconv -f UTF-16 -t UTF-8 "$unzipped/LIESMICH.txt" >"$work/liesmich"
if ! grep -q $'unver\xc3\xa4ndert' "$work/liesmich" ||
   LC_ALL=C grep -q $'[^\r]$' "$work/liesmich"; then
  echo "LIESMICH.txt: not UTF-16 with CR LF"; exit 1
fi
/usr/bin/python3 test/check_task.py "$unzipped/tevgen-watch.xml" ||
  { echo "tevgen-watch.xml: not the logon task that lasts"; exit 1; }
echo "zip: the built programs, Windows text, the logon task"

echo "== Package"
deb=$(echo "$one"/dist/*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb" | tee "$work/contents"
for wanted in ./usr/bin/tevgen ./usr/share/man/man1/tevgen.1.gz \
  ./usr/share/doc/tevgen/copyright ./usr/share/doc/tevgen/README.md \
  ./usr/lib/systemd/system/tevgen@.service; do
  grep -q " $wanted\$" "$work/contents" ||
    { echo "missing from the package: $wanted"; exit 1; }
done
lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1 |
  grep -v 'running with root privileges' || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 ||
  { echo "lintian found errors or warnings"; exit 1; }
echo "lintian: no error, no warning"
# The copyright file's licence text is LICENSE's, which the zip carries.
mit_in_copyright=$(sed '1,/^License: MIT$/d' packaging/copyright |
  sed '1,/^License: MIT$/d; s/^ //; s/^\.$//' | tr -s ' \n' '  ')
[ "$mit_in_copyright" = "$(tail -n +5 LICENSE | tr -s ' \n' '  ')" ] ||
  { echo "packaging/copyright and LICENSE differ"; exit 1; }

root=$work/root
dpkg-deb --extract "$deb" "$root"
zcat "$root/usr/share/man/man1/tevgen.1.gz" >"$work/tevgen.1"
warnings=$(LC_ALL=C.UTF-8 groff -ww -z -man "$work/tevgen.1" 2>&1)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }
echo "man page: groff -ww finds nothing to warn about"
# Verified in the unpacked package, beside this system's targets and
# slices, so that ExecStart's /usr/bin/tevgen is the packaged one. The man
# page is checked above and on the fresh Debian below.
units=$root/usr/lib/systemd/system
cp -a /usr/lib/systemd/system/*.target /usr/lib/systemd/system/*.slice "$units/"
SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no --root="$root" \
  "$units/tevgen@srv-clipart.service" 2>&1 |
  tee "$work/verify"
if [ -s "$work/verify" ]; then exit 1; fi
echo "systemd-analyze verify: the unit is accepted"

echo "== Installed on a fresh Debian 12"
cache=/var/cache/tevgen-test/bookworm-root.tar
if [ ! -f "$cache" ] && [ "$(id -u)" -eq 0 ]; then
  mkdir -p "$(dirname "$cache")" "$work/debian"
  if debootstrap --variant=minbase --include=man-db bookworm "$work/debian" \
    >"$work/debootstrap.log" 2>&1; then
    tar -C "$work/debian" -cf "$cache" .
  else
    tail -5 "$work/debootstrap.log"
  fi
fi
if [ ! -f "$cache" ]; then
  echo "skipped: no Debian root could be made here (debootstrap needs root and the Debian mirror)"
  exit 0
fi
fresh=$work/fresh
mkdir "$fresh"
tar -C "$fresh" -xf "$cache"
cp "$deb" "$fresh/tmp/tevgen.deb"
chroot "$fresh" dpkg -i /tmp/tevgen.deb
chroot "$fresh" tevgen --version
chroot "$fresh" man -w tevgen
echo "installed and started on a fresh Debian 12"

echo "== The service in a booted Debian 12"
scripts/check-service.sh "$deb"
