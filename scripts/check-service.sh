#!/usr/bin/env bash
# scripts/check-service.sh PACKAGE.deb [PACKAGE-1.0.0.deb]
# The package as an administrator meets it, in a booted Debian 12
# container (systemd-nspawn -b; commands through nsenter): install it,
# follow the README's set-up word for word (a tev.xml left by a root run
# in the folder), trickle images in, reboot with a change made while it
# was down, apt remove, apt purge; given the package of 1.0.0, also the
# upgrade from its path unit to the service. The container is made from the
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

booted=$cache/bookworm-booted.tar
if [ ! -f "$booted" ]; then
  tar -C "$root" -xf "$cache/bookworm-root.tar"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  chroot "$root" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -qq \
    --no-install-recommends systemd systemd-sysv dbus >/dev/null ||
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
boot() {
  systemd-nspawn -q -D "$root" -b --register=no --keep-unit \
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

boot
echo "== install, then the README's set-up"
inside apt-get install -y -qq /root/tevgen.deb >/dev/null 2>&1 ||
  fail "apt install ./tevgen.deb"
inside dpkg -s acl >/dev/null || fail "acl was not installed (Recommends)"
mkdir -p "$root/srv/clipart"
for n in 1 2 3; do svg $n >"$root/srv/clipart/000$n.svg"; done
inside tevgen /srv/clipart  # an earlier root run: tev.xml is root's
svg 4 >"$root/srv/clipart/0004.svg"
inside sh -c 'setfacl -m u:tevgen:rwx /srv/clipart
  test ! -e /srv/clipart/tev.xml || setfacl -m u:tevgen:rw /srv/clipart/tev.xml
  systemctl enable --now tevgen@$(systemd-escape -p /srv/clipart).service' ||
  fail "the set-up"
lists 4 || fail "enabling wrote no catalogue of the 4 images"
echo "enabled: the first catalogue lists 4 images"
inside systemd-analyze security "$unit" | tail -1

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
  setfacl -m u:tevgen:rwx /srv/gallery
  systemctl daemon-reload && systemctl restart tevgen@srv-clipart.service' ||
  fail "the drop-in"
lists 25 && [ -L "$root/srv/clipart/tev.xml" ] ||
  fail "the linked catalogue was not written"
svg 98 >"$root/srv/clipart/0098.svg"
lists 26 || fail "the linked catalogue is not kept current"
echo "the gallery's tev.xml, through the link, lists 26 images"

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
  inside apt-get install -y -qq /root/tevgen-old.deb >/dev/null 2>&1 ||
    fail "apt install the old package"
  inside sh -c 'setfacl -m u:tevgen:rwx /srv/clipart /srv/gallery
    systemctl enable --now tevgen@$(systemd-escape -p /srv/clipart).path' ||
    fail "the old set-up"
  svg 97 >"$root/srv/clipart/0097.svg"
  inside apt-get install -y -qq /root/tevgen.deb >/dev/null 2>&1 ||
    fail "the upgrade"
  [ "$(inside systemctl is-active "$unit")" = active ] &&
    [ "$(inside systemctl is-enabled "$unit")" = enabled ] ||
    fail "the upgrade did not enable and start the service"
  ls "$root"/etc/systemd/system/*.wants/tevgen@*.path 2>/dev/null &&
    fail "the path unit's link was left"
  svg 96 >"$root/srv/clipart/0096.svg"
  lists 28 || fail "the upgraded watch does not keep the catalogue current"
  echo "upgraded: the path unit moved to the service, which runs and watches"
fi
halt
echo "the package works as the README says in a booted Debian 12"
