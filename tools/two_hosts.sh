# Two hosts on one machine, for trying and measuring the server: sourced by
# examples/two-hosts.sh and bench/load_test.sh. Needs root and iproute2.
#
#   two_hosts_up SERVER_NS TERMINAL_NS    10.77.0.1 and 10.77.0.2, joined by veth
#   two_hosts_down SERVER_NS TERMINAL_NS  removes both (quietly, if there)

two_hosts_up() {
  ip netns add "$1"
  ip netns add "$2"
  ip -n "$1" link add ulv0 type veth peer name ulv1 netns "$2"
  ip -n "$1" addr add 10.77.0.1/24 dev ulv0
  ip -n "$2" addr add 10.77.0.2/24 dev ulv1
  ip -n "$1" link set lo up
  ip -n "$2" link set lo up
  ip -n "$1" link set ulv0 up
  ip -n "$2" link set ulv1 up
}

two_hosts_down() {
  ip netns del "$1" 2>/dev/null || true
  ip netns del "$2" 2>/dev/null || true
}
