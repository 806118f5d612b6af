#!/bin/bash
# The device package under a real systemd, checked as a device maker meets
# it: a minimal Debian root (mmdebstrap, from this machine's apt sources,
# cached in the build folder) booted with systemd-nspawn in a network
# namespace of the test's own, a laptop namespace on a veth beside it. The
# package is installed with apt, the services enabled and started, found,
# configured and listened to from the laptop, reloaded, killed, upgraded,
# stopped, removed and purged. orvanectl runs only in the laptop namespace;
# the namespaces and the container go on every exit.
# usage: systemd_boot_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
orvanectl=$build/tools/orvanectl/orvanectl
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root"
for tool in mmdebstrap systemd-nspawn cpack nsenter ip; do
    command -v $tool >/dev/null || skip "$tool is not installed (scripts/setup installs it)"
done

tag=orvsd$$
dev=${tag}dev laptop=${tag}lap
work=$(mktemp -d)
nspawn_pid= watchdog_pid=
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    [ -z "$watchdog_pid" ] || kill "$watchdog_pid" 2>/dev/null || true
    # Background orvanectl runs of this test, by their PIDs.
    for pid in $(jobs -p); do [ "$pid" = "$nspawn_pid" ] || kill "$pid" 2>/dev/null || true; done
    if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
        kill -TERM "$nspawn_pid" # a clean shutdown of the container
        for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
        kill -KILL "$nspawn_pid" 2>/dev/null || true
    fi
    wait 2>/dev/null || true
    ip netns del "$dev" 2>/dev/null || true
    ip netns del "$laptop" 2>/dev/null || true
    if [ "$status" -ne 0 ] && [ -s "$work/boot.log" ]; then
        echo "--- the container's console:"
        tail -n 40 "$work/boot.log"
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'echo "FAIL: interrupted or out of time" >&2; exit 1' INT TERM
# The whole run is bounded: the watchdog ends it (cleanly) before ctest would.
(
    trap 'kill $sleeper; exit 0' TERM
    sleep 480 &
    sleeper=$!
    wait $sleeper
    kill -TERM $$
) >/dev/null 2>&1 &
watchdog_pid=$!

step() { echo "== $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
# A command inside the container (all of its namespaces, its root), with a
# clean environment.
box() { nsenter -t "$leader" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
laptop() { ip netns exec "$laptop" "$@"; }
# Until a command succeeds, at most SECONDS.
until_true() {
    local seconds=$1
    shift
    for _ in $(seq $((seconds * 5))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
    "$@"
}
services="cendrixd orvaned notifierd"
all_active() { for s in $services; do [ "$(box systemctl is-active $s)" = active ] || return 1; done; }
main_pid() { box systemctl show -p MainPID --value "$1.service"; }

step "packages: this build's, and the same with the version bumped"
for release in 1 2; do
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/debs/$release" \
        -D CPACK_DEBIAN_PACKAGE_RELEASE=$release >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
    rm -rf "$work/debs/$release/_CPack_Packages"
done
# Their paths inside the container.
package=(/debs/1/"$(basename "$work"/debs/1/orvaned_*.deb)" /debs/2/"$(basename "$work"/debs/2/orvaned_*.deb)")
version=$(dpkg-deb -f "$work${package[0]}" Version)
[ "$(dpkg-deb -f "$work${package[1]}" Version)" = "${version%-*}-2" ] || fail "the bumped version"

step "a Debian root with systemd, from this machine's apt sources"
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && grep -q '^[^#]' "$f" && sources+=("$f")
done
root_packages=systemd-sysv,dbus
root=$build/systemd-root/$( (echo "$root_packages" && cat "${sources[@]}") | md5sum | cut -c1-12)
if [ ! -e "$root/.complete" ]; then
    rm -rf "$root" "$root.partial"
    mkdir -p "$root.partial"
    mmdebstrap --quiet --mode=root --variant=minbase --include=$root_packages --format=directory bookworm \
        "$root.partial" "${sources[@]}" >"$work/mmdebstrap.log" 2>&1 || { cat "$work/mmdebstrap.log"; fail "mmdebstrap"; }
    touch "$root.partial/.complete"
    mv "$root.partial" "$root"
fi

step "boot, in the namespace $dev with a laptop beside it"
ip netns add "$dev"
ip netns add "$laptop"
ip -n "$dev" link set lo up
ip -n "$laptop" link set lo up
# The veth is made inside the namespaces: it never appears in the host's.
ip -n "$laptop" link add lab0 address 02:00:00:00:0c:01 type veth peer name eth0 netns "$dev" address 02:00:00:00:00:01
ip netns exec "$dev" sysctl -qw net.ipv6.conf.eth0.disable_ipv6=1
ip netns exec "$laptop" sysctl -qw net.ipv6.conf.lab0.disable_ipv6=1
ip -n "$dev" addr add 192.0.2.10/24 dev eth0
ip -n "$laptop" addr add 192.0.2.100/24 dev lab0
ip -n "$dev" link set eth0 up
ip -n "$laptop" link set lab0 up
# The root stays as cached: every write goes to a tmpfs above it.
systemd-nspawn --quiet --boot --directory="$root" --volatile=overlay --register=no --keep-unit \
    --network-namespace-path="/run/netns/$dev" --bind-ro="$work/debs:/debs" --console=read-only \
    --machine="$tag" >"$work/boot.log" 2>&1 </dev/null &
nspawn_pid=$!
leader=
for _ in $(seq 100); do
    leader=$(ps -o pid= --ppid "$nspawn_pid" | tr -d ' ' | head -n 1) || true
    [ -n "$leader" ] && [ "$(cat "/proc/$leader/comm" 2>/dev/null)" = systemd ] && break
    sleep 0.2
done
[ -n "$leader" ] || fail "no container"
until_true 60 box test -S /run/systemd/private || fail "the container's systemd does not answer"
state=$(box timeout 90 systemctl is-system-running --wait || true)
[ "$state" = running ] || { box systemctl --failed --no-pager || true; fail "the container's system is $state"; }

step "install: users and store folder made, nothing enabled or started"
box apt-get install -y -q --no-install-recommends "${package[0]}" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get install"; }
box getent passwd _cendrix _notifierd >/dev/null || fail "the services' users"
[ "$(box stat -c %U:%a /var/lib/cendrix)" = _cendrix:700 ] || fail "/var/lib/cendrix: $(box stat -c %U:%a /var/lib/cendrix)"
for s in $services; do
    [ "$(box systemctl is-enabled $s || true)" = disabled ] || fail "$s enabled by the package"
    [ "$(box systemctl is-active $s || true)" = inactive ] || fail "$s started by the package"
done

step "without a store cendrixd fails once and is not restarted"
! box systemctl start cendrixd 2>/dev/null || fail "cendrixd started without a store"
[ "$(box systemctl show -p ExecMainStatus --value cendrixd)" = 78 ] || fail "cendrixd's status without a store"
[ "$(box systemctl is-active cendrixd || true)" = failed ] || fail "cendrixd is $(box systemctl is-active cendrixd)"
box systemctl reset-failed cendrixd

step "enable --now with the example store: all three active"
box install -o _cendrix -g _cendrix -m 600 /usr/share/doc/orvaned/examples/store.json /var/lib/cendrix/store.json
box systemctl enable --now $services 2>/dev/null || { box journalctl -b --no-pager | tail -n 40; fail "enable --now"; }
all_active || { box journalctl -b --no-pager | tail -n 40; fail "not all active"; }
for s in $services; do # each as the user its unit names, none as root
    owner=$(box stat -c %U "/proc/$(main_pid $s)")
    [ -n "$owner" ] && [ "$owner" != root ] || fail "$s runs as ${owner:-nobody knows whom}"
done

step "from the laptop: discover, configure, event listen"
puid=02:00:00:00:00:01
laptop "$orvanectl" --parsable discover -t 2 >"$work/discover" 2>&1 || true
grep -q "^device;$puid;normal;device-1;" "$work/discover" || { cat "$work/discover"; fail "discover"; }
echo secret | laptop "$orvanectl" configure "$puid" --user admin --password-stdin --hostname booted-box \
    >"$work/configure" 2>&1 || { cat "$work/configure"; box journalctl -b --no-pager | tail -n 30; fail "configure"; }
box grep -q '"booted-box"' /var/lib/cendrix/store.json || fail "the store after configure"
echo secret | ip netns exec "$laptop" "$orvanectl" event listen 192.0.2.10 --user admin --password-stdin \
    --count 1 >"$work/listen" 2>&1 &
listener=$!
until_true 10 grep -q "logged in as admin" "$work/listen" || { cat "$work/listen"; fail "event listen: no login"; }
# A local producer on the device: an event for admin on the notifier's socket.
box perl -MSocket -e '
    sub tlv { my ($type, $body) = @_; pack("a4 N", $type, length $body) . $body }
    my $event = tlv("EVNT", tlv("USER", "admin\0") . tlv("MODL", "boot\0") . tlv("ID", "1\0")
                            . tlv("INFO", tlv("KEY", "state\0") . tlv("VAL", "booted\0")));
    socket(my $s, AF_UNIX, SOCK_STREAM, 0) or die "socket: $!";
    connect($s, pack_sockaddr_un("\0Tazul_notifier" . "\0" x 93)) or die "connect: $!";
    print $s $event;
    close $s or die "close: $!";'
for _ in $(seq 50); do kill -0 $listener 2>/dev/null || break; sleep 0.2; done
wait $listener || { cat "$work/listen"; fail "event listen"; }
grep -q "state=booted" "$work/listen" || { cat "$work/listen"; fail "the event heard"; }

step "reload announces: an INFO without a LOOK"
ip netns exec "$laptop" "$orvanectl" --parsable watch -t 6 >"$work/watch" 2>&1 &
watcher=$! # orvanectl itself: ip execs it
until_true 5 sh -c "ls -l /proc/$watcher/fd | grep -q socket:" || { cat "$work/watch"; fail "watch"; }
box systemctl reload orvaned || fail "reload"
wait $watcher || { cat "$work/watch"; fail "watch"; }
grep -q ";INFO;.*;$puid;booted-box\$" "$work/watch" && ! grep -q ";LOOK;" "$work/watch" ||
    { cat "$work/watch"; fail "no announcement on reload"; }

step "kill -9 of each daemon: restarted; no RPC socket left behind but another user's"
box setpriv --reuid=nobody --regid=nogroup --clear-groups \
    perl -MSocket -e 'socket(my $s, AF_UNIX, SOCK_STREAM, 0); bind($s, pack_sockaddr_un("/tmp/orvane_rpc_1000.sock")) or die $!'
one_rpc_socket() { [ "$(box find /tmp -maxdepth 1 -type s -name 'orvane_rpc_*.sock' ! -user nobody | wc -l)" = 1 ]; }
# The service last: the daemon, whose session it held, starts afresh with it.
for s in orvaned notifierd cendrixd; do
    follower=$s
    [ $s != cendrixd ] || follower=orvaned
    old=$(main_pid $s) old_follower=$(main_pid $follower)
    box sh -c "kill -9 $old"
    restarted() {
        local now follows
        now=$(main_pid $s) follows=$(main_pid $follower)
        [ "$now" != 0 ] && [ "$now" != "$old" ] && [ "$follows" != 0 ] && [ "$follows" != "$old_follower" ] && all_active
    }
    until_true 40 restarted || { box systemctl status --no-pager $services || true; fail "$s not restarted"; }
    until_true 10 one_rpc_socket || fail "RPC sockets after killing $s: $(box ls -l /tmp)"
done
box test -S /tmp/orvane_rpc_1000.sock || fail "another user's socket was removed"

step "upgrade: the running services restart onto the new programs"
declare -A before
for s in $services; do before[$s]=$(main_pid $s); done
box apt-get install -y -q "${package[1]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "upgrade"; }
until_true 30 all_active || fail "not all active after the upgrade"
for s in $services; do
    pid=$(main_pid $s)
    [ "$pid" != "${before[$s]}" ] || fail "$s not restarted by the upgrade"
    exe=$(box readlink "/proc/$pid/exe")
    [ "$exe" = "/usr/sbin/$s" ] || fail "$s runs $exe"
done

step "stop exits 0; remove leaves nothing running; purge takes the store and the enabling links"
box systemctl stop $services || fail "stop"
for s in $services; do [ "$(box systemctl is-active $s || true)" = inactive ] || fail "$s after stop"; done
box systemctl start $services
box apt-get remove -y -q orvaned >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "remove"; }
running=$(box sh -c 'cat /proc/[0-9]*/comm 2>/dev/null' | grep -Ex 'orvaned|cendrixd|notifierd' || true)
[ -z "$running" ] || fail "still running after remove: $running"
box test -e /var/lib/cendrix/store.json || fail "remove took the store"
box apt-get purge -y -q orvaned >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "purge"; }
! box test -e /var/lib/cendrix || fail "the store after purge"
! box sh -c 'ls /etc/systemd/system/*.wants/' | grep -E 'orvaned|cendrixd|notifierd' || fail "still enabled after purge"
echo "PASS"
