# Bookkeeping of the background processes that scripts/cluster and scripts/serve-hosts start:
# pid files, free ports, and HAProxy's view of its servers. Sourced, not run; the caller defines
# die() and $timeout (seconds a wait may take).

# True while process $1 exists and is not a zombie waiting for init to collect it.
alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) && [ -n "$state" ] && [ "$state" != Z ]
}

# The pid in file $1 when that process still runs as program $2; fails otherwise.
live_pid() {
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 1
  [ -n "$pid" ] && alive "$pid" && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$2" ] && echo "$pid"
}

# Sends SIGTERM to the process in pid file $1 (program $2), waits until it is gone and removes
# the file.
stop_pid() {
  local pid
  pid=$(live_pid "$1" "$2") || { rm -f "$1"; return 0; }
  kill "$pid" 2>/dev/null || true
  while alive "$pid"; do sleep 0.05; done
  rm -f "$1"
}

# Fails, with $2 as the advice, when port $1 of this machine has a listener.
require_free_port() {
  [ -z "$(ss -Hltn "sport = :$1")" ] || die "port $1 is in use; $2"
}

# HAProxy's view (admin socket $1) of server $3 of proxy $2: 0 when it has marked it down, 2 when
# up ("" when HAProxy does not answer).
haproxy_server_state() {
  echo "show servers state $2" | socat -t 2 stdio "UNIX-CONNECT:$1" 2>/dev/null |
    awk -v name="$3" '$4 == name { print $6 }' || true
}

# Waits until HAProxy (admin socket $1) has marked server $3 of proxy $2 down ($4 = 0) or up
# ($4 = 2).
wait_haproxy_sees() {
  local start=$SECONDS word=up
  [ "$4" != 0 ] || word=down
  until [ "$(haproxy_server_state "$1" "$2" "$3")" = "$4" ]; do
    [ $((SECONDS - start)) -lt "$timeout" ] ||
      die "the proxy has not marked $3 $word after ${timeout}s"
    sleep 0.1
  done
}
