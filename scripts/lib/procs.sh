# Process helpers for scripts/serve, read from /proc with bash builtins only (they run every
# second). Sourced, not run.
#
# A process is named by its pid and its start time (clock ticks after boot): pids are reused, and
# on a busy machine soon (pid_max may be 32768), but no two processes have both the same. The
# functions answer in REPLY (or CHILDREN), so that callers need no subshell.

# REPLY: the start time of process $1. Fails when there is none, or only its zombie.
proc_start() {
  local stat fields
  REPLY=
  { read -r stat </proc/"$1"/stat; } 2>/dev/null || return 1
  # The command, in parentheses, may hold blanks: the fields count from after it.
  read -r -a fields <<<"${stat##*) }"
  [ "${fields[0]}" != Z ] || return 1
  REPLY=${fields[19]}
}

# True while process $1 started at $2 runs.
proc_alive() {
  proc_start "$1" && [ "$REPLY" = "$2" ]
}

# CHILDREN: the children of process $1 (an array); empty when it has none or is gone.
proc_children() {
  CHILDREN=()
  { read -r -a CHILDREN </proc/"$1"/task/"$1"/children; } 2>/dev/null || true
}

# REPLY: the time since boot in clock ticks.
proc_now() {
  local up
  read -r up _ </proc/uptime
  # /proc/uptime has two decimals: hundredths of a second.
  : "${PROC_TICKS:=$(getconf CLK_TCK)}"
  REPLY=$(((${up%.*} * 100 + 10#${up#*.}) * PROC_TICKS / 100))
}

# True when process $1 holds a TCP socket listening on port $2.
proc_listens_on() {
  local port hex inodes=() sl local rest st inode table lines line
  port=$2
  printf -v hex '%04X' "$port"
  for table in /proc/net/tcp /proc/net/tcp6; do
    [ -r "$table" ] || continue
    # Read whole first: `read` takes a file a byte at a time, and each read of a /proc table
    # builds it anew, which with a few hundred sockets took seconds.
    mapfile -t lines <"$table" || continue
    for line in "${lines[@]}"; do
      [[ $line == *":$hex "* ]] || continue
      # sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
      read -r sl local _ st _ _ _ _ _ inode rest <<<"$line"
      [ "$st" = 0A ] && [ "${local##*:}" = "$hex" ] && inodes+=("socket:[$inode]")
    done
  done
  [ ${#inodes[@]} -gt 0 ] || return 1
  local fd link i
  for fd in /proc/"$1"/fd/*; do
    link=$(readlink "$fd" 2>/dev/null) || continue
    for i in "${inodes[@]}"; do [ "$link" = "$i" ] && return 0; done
  done
  return 1
}
