#!/bin/sh
# The two Debian packages as a device maker gets them: made with cpack from
# this build folder, unpacked into a throw-away root, their files, fields and
# maintainer scripts checked, and their units checked the way systemd checks
# them, sandbox scores included; lintian finds no error in either.
# usage: packages_test.sh BUILD_DIR
set -eu
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
device=$(ls "$work"/out/orvaned_*.deb) && laptop=$(ls "$work"/out/orvanectl_*.deb) || fail "package names"

# Each file in its package and not in the other.
check_files() { # package, other package, files (shell patterns)
    dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./||' >"$work/list"
    dpkg-deb -c "$2" | awk '{print $6}' | sed 's|^\./||' >"$work/other"
    shift 2
    for f in "$@"; do
        grep -qx "$f" "$work/list" || fail "$f missing; the package holds: $(cat "$work/list")"
        ! grep -qx "$f" "$work/other" || fail "$f in both packages"
    done
}
units="usr/lib/systemd/system/orvaned.service usr/lib/systemd/system/cendrixd.service usr/lib/systemd/system/notifierd.service"
check_files "$device" "$laptop" usr/sbin/orvaned usr/sbin/cendrixd usr/sbin/notifierd $units \
    etc/default/orvaned etc/default/cendrixd etc/default/notifierd usr/lib/sysusers.d/orvaned.conf \
    usr/lib/tmpfiles.d/orvaned.conf usr/share/dbus-1/system.d/org.cendrix.Config1.conf \
    usr/share/doc/orvaned/examples/store.json usr/share/doc/orvaned/SECURITY.md usr/share/man/man8/orvaned.8.gz \
    usr/share/doc/orvaned/copyright usr/share/doc/orvaned/changelog.Debian.gz
check_files "$laptop" "$device" usr/bin/orvanectl 'usr/lib/.*wireshark/plugins/orvane.lua' \
    usr/share/man/man1/orvanectl.1.gz usr/share/doc/orvanectl/commissioning-page.md \
    usr/share/doc/orvanectl/copyright usr/share/doc/orvanectl/changelog.Debian.gz
if [ -d "$(dirname "$0")/../dist/completions" ]; then
    check_files "$laptop" "$device" usr/share/bash-completion/completions/orvanectl usr/share/zsh/vendor-completions/_orvanectl
fi

# Dependencies from the binaries and the bus; the configuration files kept on
# upgrade.
dpkg-deb -f "$device" Depends | grep -q 'libsystemd0.*dbus-system-bus\|dbus-system-bus.*libsystemd0' ||
    fail "device Depends: $(dpkg-deb -f "$device" Depends)"
dpkg-deb -e "$device" "$work/control"
[ "$(cat "$work/control/conffiles")" = "$(printf '/etc/default/%s\n' orvaned cendrixd notifierd)" ] ||
    fail "conffiles: $(cat "$work/control/conffiles")"
# Maintainer scripts that enable and start nothing (try-restart restarts only
# what runs).
! grep -hv '^ *#' "$work"/control/postinst "$work"/control/prerm "$work"/control/postrm | sed 's/try-restart//g' |
    grep -Ewq 'enable|start|restart' || fail "a maintainer script enables or starts a unit"

# The units in the unpacked root, beside the system's own units they need.
root=$work/root
for deb in "$device" "$laptop"; do dpkg-deb -x "$deb" "$root"; done
cp -rn /lib/systemd/system/. "$root/usr/lib/systemd/system/"
mkdir -p "$root/bin" && cp -L /bin/sh "$root/bin/sh" # the units' helper commands run in it
MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" $(printf '/%s ' $units) >"$work/verify" 2>&1 ||
    { cat "$work/verify"; fail "systemd-analyze verify"; }
[ ! -s "$work/verify" ] || { cat "$work/verify"; fail "systemd-analyze verify warns"; }
# The users and groups that the units and the bus policy name are the ones
# the package makes; none of the units runs as root.
systemd-sysusers --root="$root" >"$work/sysusers" 2>&1 || { cat "$work/sysusers"; fail "systemd-sysusers"; }
for unit in $units; do
    grep -q '^User=' "$root/$unit" || fail "$unit runs as root"
    sed -n 's/^User=//p' "$root/$unit" | while read -r name; do
        grep -q "^$name:" "$root/etc/passwd" || fail "$unit: no user $name"
    done
    sed -n 's/^Group=//p' "$root/$unit" | while read -r name; do
        grep -q "^$name:" "$root/etc/group" || fail "$unit: no group $name"
    done
done
for name in $(grep -o 'user="[^"]*"' "$root/usr/share/dbus-1/system.d/org.cendrix.Config1.conf" | cut -d'"' -f2); do
    [ "$name" = root ] || grep -q "^$name:" "$root/etc/passwd" || fail "bus policy: no user $name"
done
# Exposure at most 2.5 for the daemon (raw sockets), 2.0 for the others.
for limit in orvaned:25 cendrixd:20 notifierd:20; do
    unit=${limit%:*}.service
    systemd-analyze security --offline=true --root="$root" --threshold="${limit#*:}" "$unit" >"$work/score" 2>&1 ||
        { cat "$work/score"; fail "$unit exposure above ${limit#*:}"; }
    tail -n 1 "$work/score"
done

# The daemons say the packages' version.
version=$(dpkg-deb -f "$device" Version)
for daemon in cendrixd notifierd; do
    [ "$("$root/usr/sbin/$daemon" --version)" = "version ${version%-*}" ] || fail "$daemon --version"
    "$root/usr/sbin/$daemon" -h | grep -q "^usage: .*$daemon" || fail "$daemon -h"
done

# Debian's policy checker: errors fail, warnings are shown.
if command -v lintian >/dev/null; then
    lintian --fail-on error --suppress-tags mail-contact "$device" "$laptop" || fail "lintian"
else
    echo "lintian is not installed (scripts/setup installs it): policy not checked"
fi
