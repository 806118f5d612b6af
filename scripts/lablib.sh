# Shell helpers for scripts that build a throw-away network of namespaces.
# Source it, then:
#   lab_init                       # bridge namespace, cleanup trap, sweep of dead runs
#   lab_host dev                   # namespace "$LAB_PREFIX-dev" with lo up, IPv6 off
#   lab_link dev lab0 02:00:00:00:00:01 192.0.2.10/24 [more addresses...]
#   lab_exec dev cmd args...       # run a command inside a host
# Every namespace is removed on exit (also on error or Ctrl-C). Names carry the
# script's PID ("orv<pid>-..."), so lab_sweep can remove what a killed run left.
# Needs root and iproute2.

LAB_PREFIX="orv$$"
LAB_HOSTS=()
LAB_PORTS=0

lab_sweep() {
  local name pid
  for name in $(ls /run/netns 2>/dev/null); do
    [[ "$name" =~ ^orv([0-9]+)[.-] ]] || continue
    pid="${BASH_REMATCH[1]}"
    [ "$pid" = "$$" ] && continue
    kill -0 "$pid" 2>/dev/null || ip netns del "$name" 2>/dev/null || true
  done
}

lab_ns() { printf '%s-%s' "$LAB_PREFIX" "$1"; }

lab_cleanup() {
  local h
  for h in "${LAB_HOSTS[@]}"; do
    ip netns pids "$(lab_ns "$h")" 2>/dev/null | xargs -r kill -KILL 2>/dev/null || true
    ip netns del "$(lab_ns "$h")" 2>/dev/null || true
  done
  LAB_HOSTS=()
}

lab_ipv6_off() {
  ip netns exec "$(lab_ns "$1")" sh -c \
    'for f in all default; do echo 1 > /proc/sys/net/ipv6/conf/$f/disable_ipv6; done' 2>/dev/null || true
}

lab_init() {
  [ "$(id -u)" -eq 0 ] || { echo "lab: needs root (network namespaces)" >&2; return 1; }
  lab_sweep
  trap lab_cleanup EXIT
  trap 'lab_cleanup; exit 130' INT TERM
  ip netns add "$(lab_ns br)"
  LAB_HOSTS+=(br)
  lab_ipv6_off br
  ip -n "$(lab_ns br)" link set lo up
  ip -n "$(lab_ns br)" link add name br0 type bridge stp_state 0 forward_delay 0
  ip -n "$(lab_ns br)" link set br0 up
}

lab_host() {
  ip netns add "$(lab_ns "$1")"
  LAB_HOSTS+=("$1")
  lab_ipv6_off "$1"
  ip -n "$(lab_ns "$1")" link set lo up
}

# lab_link HOST LINK MAC [CIDR...]: a veth link into the bridge, up.
lab_link() {
  local host="$1" link="$2" mac="$3" port="p$LAB_PORTS"
  shift 3
  LAB_PORTS=$((LAB_PORTS + 1))
  ip -n "$(lab_ns "$host")" link add name "$link" address "$mac" type veth peer name "$port" netns "$(lab_ns br)"
  ip -n "$(lab_ns br)" link set "$port" master br0 up
  local cidr
  for cidr in "$@"; do ip -n "$(lab_ns "$host")" addr add "$cidr" dev "$link"; done
  ip -n "$(lab_ns "$host")" link set "$link" up
}

lab_exec() {
  local host="$1"
  shift
  ip netns exec "$(lab_ns "$host")" "$@"
}
