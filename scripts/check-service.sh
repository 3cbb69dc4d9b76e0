#!/usr/bin/env bash
# scripts/check-service.sh PACKAGE.deb [PACKAGE-1.0.0.deb]
# The package as an administrator meets it, in a booted Debian 12
# container (systemd-nspawn -b; commands through nsenter): the README's
# set-up run word for word where the folder does not exist yet, then what
# the weeks after it bring: a tev.xml left by a root run, a trickle of
# images, a reboot with a change made while it was down, a tar -x and a
# chmod of the folder, a private upload by another user, a bad image (the
# stale reason in systemctl status), a folder under /tmp, the folder
# removed for good and made again; apt remove, apt purge; given the
# package of 1.0.0, also the upgrade from its path unit to the service. The container is made from the
# debootstrap root that check-release.sh keeps, with systemd added (kept
# too); skipped, with the reason, where it cannot be made.
set -euo pipefail
deb=$(realpath "$1")
old=${2:+$(realpath "$2")}
cache=/var/cache/tevgen-test
skip() { echo "skipped: $*"; exit 0; }

[ "$(id -u)" -eq 0 ] || skip "a booted container needs root"
[ -f "$cache/bookworm-root.tar" ] || skip "no Debian root in $cache"
"$(dirname "$0")"/install-deps.sh systemd-container util-linux >/dev/null
work=$(mktemp -d)
nspawn=
cleanup() {
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    kill "$nspawn"
    for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null && sleep 0.1; done
    kill -KILL "$nspawn" 2>/dev/null || true
    wait "$nspawn" || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
root=$work/root
mkdir "$root"

# The booted root's packages name its cache, so a new package makes a new one.
packages="systemd systemd-sysv dbus rsync"
booted=$cache/bookworm-booted-$(echo "$packages" | sha256sum | cut -c1-8).tar
if [ ! -f "$booted" ]; then
  tar -C "$root" -xf "$cache/bookworm-root.tar"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  chroot "$root" apt-get update -qq
  # shellcheck disable=SC2086 # the words are package names
  DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -qq \
    --no-install-recommends $packages >/dev/null ||
    skip "systemd could not be added to the Debian root"
  tar -C "$root" -cf "$booted" .
else
  tar -C "$root" -xf "$booted"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/root/tevgen.deb"
[ -z "$old" ] || cp "$old" "$root/root/tevgen-old.deb"
echo tevgen-test >"$root/etc/hostname"

pid=
# A network of its own, as containers usually have: where a container
# shares the host's and may not configure it, systemd notes at each start
# of the service (PrivateNetwork=yes) that it could not set up its loopback.
boot() {
  systemd-nspawn -q -D "$root" -b --register=no --keep-unit --private-network \
    >>"$work/console" 2>&1 &
  nspawn=$!
  for _ in $(seq 100); do
    # The container's init, once the helper process before it is gone.
    pid=$(pgrep -P "$nspawn" -x systemd) && break
    sleep 0.1
  done
  [ -n "$pid" ] || { tail "$work/console"; skip "systemd-nspawn could not boot here"; }
  inside systemctl is-system-running --wait >/dev/null 2>&1 || true
}
inside() { nsenter -t "$pid" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
halt() { inside systemctl poweroff || true; wait "$nspawn" || true; nspawn=; }
fail() { echo "FAILED: $*"; inside journalctl -u 'tevgen@*' --no-pager | tail -20; exit 1; }
unit=tevgen@srv-clipart.service
svg() { printf '<svg width="%s.5" height="7.5"/>' "$1"; }
# Whether the catalogue lists exactly `count` images (20 s at most).
lists() {
  for _ in $(seq 200); do
    [ "$(grep -c '<tev ' "$root/srv/clipart/tev.xml" 2>/dev/null)" = "$1" ] &&
      return 0
    sleep 0.1
  done
  return 1
}

# The lines of the watch's journal since `since` (seconds since 1970).
journal_lines() {
  inside journalctl -q -u "$2" --since "@$1" -o cat --no-pager | wc -l
}
status_text() { inside systemctl show -P StatusText "$unit"; }
# Whether the status comes to hold `text` (20 s at most).
status_says() {
  for _ in $(seq 200); do
    status_text | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  return 1
}

boot
echo "== the README's set-up, word for word, the folder not made yet"
[ ! -e "$root/srv/clipart" ] || fail "the folder exists before the set-up"
version=$(dpkg-deb -f "$deb" Version)
cp "$deb" "$root/root/tevgen_${version}_amd64.deb"
readme=$(dirname "$0")/../README.md
setup=$(awk '/^### As a service on Debian/ { s = 1 }
  s && /^```sh/ { b = 1; next } b && /^```/ { exit } b' "$readme")
echo "$setup"
grep -q "tevgen_${version}_amd64.deb" <<<"$setup" ||
  fail "the README's set-up installs another version than $version"
inside sh -ec "cd /root; $setup" < <(yes) >"$work/setup" 2>&1 ||
  { cat "$work/setup"; fail "the README's set-up"; }
[ "$(inside systemctl is-active "$unit")" = active ] ||
  fail "the service is not active after the set-up"
status_says "catalogue of 0 images written" || fail "status: $(status_text)"
echo "active; status: $(status_text)"
inside systemd-analyze security "$unit" | tail -1
for n in 1 2 3; do svg $n >"$root/srv/clipart/000$n.svg"; done
lists 3 || fail "the watch did not catalogue the first 3 images"
inside tevgen /srv/clipart  # a root run: tev.xml is root's
svg 4 >"$root/srv/clipart/0004.svg"
lists 4 || fail "the watch does not replace a tev.xml of root's"
echo "the first catalogue lists 4 images, also after a root run"

echo "== a trickle of 20 images, 0.5 s apart"
for n in $(seq 10 29); do svg "$n" >"$root/srv/clipart/$n.svg"; sleep 0.5; done
lists 24 || fail "the trickle was not all catalogued"
[ "$(inside systemctl is-active "$unit")" = active ] || fail "the service stopped"
echo "all 24 catalogued, the service still active"
cmp "$root/srv/clipart/tev.xml" <(chroot "$root" sh -c \
  'mkdir -p /tmp/c && cp /srv/clipart/*.svg /tmp/c && tevgen /tmp/c && cat /tmp/c/tev.xml') ||
  fail "the watch's catalogue differs from a one-shot run's"

echo "== reboot, with an image added while down"
halt
svg 99 >"$root/srv/clipart/0099.svg"
boot
lists 25 || fail "boot did not catch up"
echo "after boot the catalogue lists 25 images"
if inside journalctl -b --no-pager | grep -q 'Failed to configure loopback'; then
  fail "the journal has the loopback noise"
fi

echo "== a tev.xml that links into another folder, with the README's drop-in"
mkdir "$root/srv/gallery"
ln -sf ../gallery/tev.xml "$root/srv/clipart/tev.xml"
inside sh -c 'mkdir -p /etc/systemd/system/tevgen@srv-clipart.service.d
  printf "[Service]\nReadWritePaths=/srv/gallery\n" \
    >/etc/systemd/system/tevgen@srv-clipart.service.d/gallery.conf
  systemctl daemon-reload && systemctl restart tevgen@srv-clipart.service' ||
  fail "the drop-in"
lists 25 && [ -L "$root/srv/clipart/tev.xml" ] ||
  fail "the linked catalogue was not written"
svg 98 >"$root/srv/clipart/0098.svg"
lists 26 || fail "the linked catalogue is not kept current"
echo "the gallery's tev.xml, through the link, lists 26 images"

rm "$root/srv/clipart/tev.xml"
rm -r "$root/etc/systemd/system/tevgen@srv-clipart.service.d"
inside systemctl daemon-reload
inside systemctl restart "$unit"

echo "== a tar -x of an archive holding ./ (mode 700), a chmod, an rsync -a"
images=$(find "$root/srv/clipart" -maxdepth 1 -name '*.svg' | wc -l)
mkdir "$work/upload"
svg 50 >"$work/upload/50.svg"
chmod 700 "$work/upload"
tar -C "$work/upload" -cf "$root/root/upload.tar" .
inside tar -C /srv/clipart -xf /root/upload.tar
[ "$(stat -c %a "$root/srv/clipart")" = 700 ] || fail "tar did not set the mode"
lists $((images + 1)) || fail "the watch stopped after tar -x"
inside chmod 500 /srv/clipart
svg 51 >"$root/srv/clipart/51.svg"
lists $((images + 2)) || fail "the watch stopped after chmod 500"
inside chmod 755 /srv/clipart
images=$((images + 2))
inside sh -c 'mkdir /root/up && chmod 700 /root/up &&
  printf "<svg width=\"1\" height=\"2\"/>" >/root/up/52.svg &&
  rsync -a /root/up/ /srv/clipart/'
[ "$(stat -c %a "$root/srv/clipart")" = 700 ] || fail "rsync did not set the mode"
lists $((images + 1)) || fail "the watch stopped after rsync -a"
images=$((images + 1))
echo "still current: $images images"

echo "== a private upload by another user"
inside useradd -M alice
inside chown alice: /srv/clipart
inside setpriv --reuid alice --regid alice --clear-groups sh -c \
  'umask 077; printf "<svg width=\"1\" height=\"2\"/>" >/srv/clipart/53.svg'
[ "$(stat -c %a "$root/srv/clipart/53.svg")" = 600 ] || fail "not private"
lists $((images + 1)) || fail "alice's private upload stopped the watch"
images=$((images + 1))
echo "alice's 0600 file in alice's folder is catalogued: $images images"

echo "== a bad image: stale, said once at error priority"
since=$(inside date +%s)
svg 1 >"$root/srv/clipart/logo.svg"
status_says "catalogue stale since" || fail "status: $(status_text)"
status_says "logo.svg: the file name is not an image number" ||
  fail "status: $(status_text)"
svg 54 >"$root/srv/clipart/54.svg"
svg 55 >"$root/srv/clipart/55.svg"
sleep 3
inside systemctl status "$unit" --no-pager | grep -F 'Status: "catalogue stale since' ||
  fail "systemctl status does not say the catalogue is stale"
errors=$(inside journalctl -q -u "$unit" -p err --since "@$since" -o cat |
  grep -c 'logo.svg' || true)
[ "$errors" = 1 ] || fail "the failure was logged $errors times at error priority"
rm "$root/srv/clipart/logo.svg"
lists $((images + 2)) || fail "mended, the catalogue did not follow"
images=$((images + 2))
status_says "catalogue of $images images written" || fail "status: $(status_text)"
echo "stale, logged once at error priority, then written again: $(status_text)"

echo "== a folder under /tmp, and the folder removed for good"
inside mkdir /tmp/clip
since=$(inside date +%s)
inside systemctl start tevgen@tmp-clip.service || true
rm -r "$root/srv/clipart"
# 60 s: six times the restart delay; a loop of restarts would show in it.
sleep 60
lines=$(journal_lines "$since" "$unit")
inside journalctl -q -u "$unit" --since "@$since" -o cat --no-pager
[ "$lines" -le 12 ] || fail "$lines journal lines in 60 s for a removed folder"
[ "$(inside systemctl is-active "$unit")" = active ] ||
  fail "the watch of a removed folder is not active (waiting)"
status_says "waiting for the folder to be made" || fail "status: $(status_text)"
echo "removed: $lines journal lines in 60 s; status: $(status_text)"
for _ in $(seq 30); do
  [ "$(inside systemctl is-failed tevgen@tmp-clip.service)" = failed ] && break
  sleep 1
done
[ "$(inside systemctl is-failed tevgen@tmp-clip.service)" = failed ] ||
  fail "the watch of /tmp/clip did not end failed"
inside journalctl -q -u tevgen@tmp-clip.service -o cat --no-pager |
  grep -q 'a service has a /tmp of its own' || fail "/tmp: no line says why"
inside systemctl --failed --plain --no-legend | grep -q tevgen@tmp-clip ||
  fail "systemctl --failed does not list the /tmp watch"
echo "/tmp/clip: refused with a reason, then failed after 5 tries"
inside systemctl reset-failed tevgen@tmp-clip.service
mkdir "$root/srv/clipart"
svg 1 >"$root/srv/clipart/0001.svg"
for _ in 1 2; do lists 1 && break; done || fail "the folder made again was not catalogued"
echo "made again: catalogued after the watch started again"

echo "== apt remove, apt purge"
inside apt-get remove -y -qq tevgen >/dev/null 2>&1 || fail "apt remove"
[ "$(inside systemctl is-active "$unit")" != active ] || fail "still running after remove"
ls "$root"/etc/systemd/system/*.wants/tevgen@* 2>/dev/null && fail "enable link left"
inside apt-get purge -y -qq tevgen >/dev/null 2>&1 || fail "apt purge"
inside dpkg -s tevgen >/dev/null 2>&1 && fail "still known to dpkg after purge"
[ -f "$root/srv/clipart/tev.xml" ] || fail "the catalogue went with the package"
echo "removed: the watch stopped and disabled; purged; the catalogue kept"

if [ -n "$old" ]; then
  echo "== the upgrade from 1.0.0's path unit"
  # Without acl (the container has no network to fetch it): the service
  # that replaces the path unit needs no ACL.
  inside apt-get install -y -qq --no-install-recommends \
    /root/tevgen-old.deb >/dev/null 2>&1 || fail "apt install the old package"
  inside systemctl enable --now \
    "tevgen@$(inside systemd-escape -p /srv/clipart).path" ||
    fail "the old set-up"
  svg 97 >"$root/srv/clipart/0097.svg"
  inside apt-get install -y -qq /root/tevgen.deb >"$work/upgrade" 2>&1 ||
    fail "the upgrade"
  if grep -i 'warning' "$work/upgrade"; then fail "the upgrade warned"; fi
  [ "$(inside systemctl is-active "$unit")" = active ] &&
    [ "$(inside systemctl is-enabled "$unit")" = enabled ] ||
    fail "the upgrade did not enable and start the service"
  ls "$root"/etc/systemd/system/*.wants/tevgen@*.path 2>/dev/null &&
    fail "the path unit's link was left"
  svg 96 >"$root/srv/clipart/0096.svg"
  lists 3 || fail "the upgraded watch does not keep the catalogue current"
  echo "upgraded: the path unit moved to the service, which runs and watches"
fi
halt
echo "the package works as the README says in a booted Debian 12"
