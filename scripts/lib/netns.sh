# A private network of hosts on this machine, for tests that need more than one host: a bridge,
# on which this machine has an address, and for each host a network namespace joined to the bridge
# by a veth pair. Root only. Sourced, not run.
#
# A host is cut off by packet filtering in its own namespace (nftables; the kernel here has no
# netem), in one table of its own, so that netns_heal takes the whole cut away at once.

# Makes bridge $1 with this machine's address $2 (a.b.c.d/len), unless it is there.
netns_bridge() {
  ip link show "$1" >/dev/null 2>&1 && return 0
  ip link add "$1" type bridge
  ip addr add "$2" dev "$1"
  ip link set "$1" up
}

# Makes namespace $1 with address $3 (a.b.c.d/len) on bridge $4, through veth $2 (on this
# machine's side; eth0 inside), unless it is there.
netns_host() {
  ip netns list | grep -qw "$1" && return 0
  # A namespace of the same name removed a moment ago is torn down by the kernel in the
  # background, its veth pair last: wait for the name to be free (10 s at most).
  local tries=200
  while ip link show "$2" >/dev/null 2>&1 && ((tries-- > 0)); do sleep 0.05; done
  ip netns add "$1"
  ip link add "$2" type veth peer name eth0 netns "$1"
  ip link set "$2" master "$4" up
  ip -n "$1" addr add "$3" dev eth0
  ip -n "$1" link set eth0 up
  ip -n "$1" link set lo up
}

# Removes namespaces $2... and bridge $1 (their veth pairs go with them). A namespace lives on,
# veth and all, while a socket of it does: the connections its killed processes left closing
# would keep it for minutes (a peer that is gone never answers), so they are destroyed first.
netns_remove() {
  local bridge=$1 ns
  shift
  for ns in "$@"; do
    ip netns exec "$ns" ss -K -a -t >/dev/null 2>&1 || true
    ip netns del "$ns" 2>/dev/null || true
  done
  ip link del "$bridge" 2>/dev/null || true
}

# Host $1 drops every packet from or to addresses $2... (a comma-free list), or every packet at
# all but its own loopback's when none are given.
netns_cut() {
  local ns=$1 match=
  shift
  if [ $# -gt 0 ]; then
    local set
    set=$(IFS=,; echo "$*")
    match="ip saddr { $set }"
  else
    match='iifname != "lo"'
  fi
  local out=${match/saddr/daddr}
  out=${out/iifname/oifname}
  ip netns exec "$ns" nft -f - <<NFT
table inet korvane_cut {
  chain in { type filter hook input priority 0; $match drop; }
  chain out { type filter hook output priority 0; $out drop; }
}
NFT
}

# Takes every cut of host $1 away.
netns_heal() {
  ip netns exec "$1" nft delete table inet korvane_cut 2>/dev/null || true
}

# SIGKILLs every process in namespace $1 and waits until none is left: the host is lost, as when
# every process on it crashes at once. Its new connections are refused (reset) first: a process
# forked while the others are being killed would take a connection and then drop it, which no
# host whose processes are gone does.
netns_kill_all() {
  local pids
  ip netns exec "$1" nft -f - <<NFT 2>/dev/null || true
table inet korvane_down {
  chain in { type filter hook input priority 0; tcp flags & (syn | ack) == syn reject with tcp reset; }
}
NFT
  while pids=$(ip netns pids "$1" 2>/dev/null) && [ -n "$pids" ]; do
    kill -9 $pids 2>/dev/null || true
    sleep 0.05
  done
}
