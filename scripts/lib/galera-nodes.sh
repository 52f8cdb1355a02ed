# The life of one Galera node of scripts/cluster: its position, starting it (as the founder or
# joining), waiting until it is Synced, stopping, killing and restarting it, and the users korvane
# and the proxy's check log in as. Sourced by scripts/cluster, which defines $dir, $base, $hosts,
# $cnf, $timeout, $check_user, die() and the node's ports, socket and address (port, sock,
# address, ...) before it sources this.

# Node $1's last committed position, uuid:seqno. After a crash grastate.dat says seqno -1, and
# the position is recovered from InnoDB's log as the packaged service does (galera_recovery).
position() {
  local d=$dir/node$1 seqno
  seqno=$(sed -n 's/^seqno: *//p' "$d/data/grastate.dat")
  if [ "$seqno" != -1 ]; then
    echo "$(sed -n 's/^uuid: *//p' "$d/data/grastate.dat"):$seqno"
    return 0
  fi
  mariadbd --defaults-file="$cnf" --user=mysql --datadir="$d/data" "${sizing[@]}" \
    --wsrep-cluster-address="$(members)" --wsrep-provider-options="$(provider "$1")" \
    --skip-networking --socket="$d/recover.sock" --log-error="$d/recover.log" --wsrep-recover \
    </dev/null >/dev/null 2>&1 || return 1
  sed -n 's/.*WSREP: Recovered position: *//p' "$d/recover.log" | tail -n 1 | grep .
}

# Starts node $1 in the background; with $2 = bootstrap it founds a new cluster, otherwise it
# joins the running nodes and receives their state by rsync.
start_node() {
  local n=$1 mode=${2:-join} d=$dir/node$1
  [ "$hosts" -eq 1 ] ||
    require_free "$(port "$n")" "$(gcomm_port "$n")" "$(ist_port "$n")" "$(sst_port "$n")"
  mkdir -p "$d/data"
  # The node runs as mysql, and so does the rsync daemon that receives a state transfer.
  chown -R mysql:mysql "$d"
  local extra=()
  if [ "$mode" = bootstrap ]; then
    extra=(--wsrep-new-cluster)
    if [ ! -d "$d/data/mysql" ]; then
      mariadb-install-db --no-defaults --datadir="$d/data" --user=mysql "${sizing[@]}" \
        --auth-root-authentication-method=normal --skip-test-db >"$d/install.log" 2>&1 ||
        die "mariadb-install-db failed; see $d/install.log"
    fi
  fi
  # Without a position a node that crashed would ask for a full copy of the data; with it, it
  # catches up from the others' write-set cache.
  if grep -qs '^seqno: *-1' "$d/data/grastate.dat"; then
    local pos
    pos=$(position "$n") || die "recovering node$n's position failed; see $d/recover.log"
    extra+=(--wsrep-start-position="$pos")
  fi
  # setsid: the node outlives this script and the terminal or test that ran it.
  local host=()
  [ "$hosts" -eq 0 ] || host=(ip netns exec "$(netns "$n")")
  setsid ${host[@]+"${host[@]}"} mariadbd --defaults-file="$cnf" --user=mysql \
    --datadir="$d/data" --socket="$(sock "$n")" --port="$(port "$n")" \
    --bind-address="$(address "$n")" --pid-file="$d/mysqld.pid" \
    --log-error="$d/mysqld.err" "${sizing[@]}" --wsrep-node-name="node$n" \
    --wsrep-node-address="$(address "$n")" --wsrep-cluster-address="$(members)" \
    --wsrep-provider-options="$(provider "$n")" \
    --wsrep-sst-receive-address="$(address "$n"):$(sst_port "$n")" "${extra[@]}" \
    </dev/null >>"$d/stdout.log" 2>&1 &
  local pid=$!
  echo "$pid" >"$dir/node$n.pid"
  # Until the background shell has become mariadbd, node_pid would take it for a dead node.
  while alive "$pid" && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" != mariadbd ]; do
    sleep 0.01
  done
}

# Waits until node $1 is Synced; fails with the end of its error log when it dies or takes too long.
wait_synced() {
  local n=$1 start=$SECONDS state=
  while :; do
    node_pid "$n" >/dev/null || {
      tail -n 20 "$dir/node$n/mysqld.err" >&2 || true
      die "node$n exited while starting; see $dir/node$n/mysqld.err"
    }
    state=$(node_status "$n" wsrep_local_state_comment)
    [ "$state" = Synced ] && return 0
    [ $((SECONDS - start)) -lt "$timeout" ] || {
      tail -n 20 "$dir/node$n/mysqld.err" >&2 || true
      die "node$n is not Synced after ${timeout}s (state: ${state:-no answer});" \
        "see $dir/node$n/mysqld.err"
    }
    sleep 0.2
  done
}

# Waits until every running node counts exactly the running nodes. A node killed a moment ago
# stays a member until the others time it out (evs.suspect_timeout, 5 s); if it comes back
# before that, its new self has to wait for the old one to be cleared, which takes far longer.
wait_settled() {
  local n running=() start=$SECONDS settled
  for n in 1 2 3; do node_pid "$n" >/dev/null && running+=("$n"); done
  while :; do
    settled=1
    for n in "${running[@]}"; do
      [ "$(node_status "$n" wsrep_cluster_size)" = ${#running[@]} ] || settled=0
    done
    [ "$settled" -eq 0 ] || return 0
    [ $((SECONDS - start)) -lt "$timeout" ] ||
      die "the running nodes (${running[*]}) do not agree on the cluster's size after ${timeout}s"
    sleep 0.2
  done
}

# The node to found the cluster again after all stopped: the one Galera marked safe, i.e. the
# last to shut down cleanly, which has every committed transaction. When none is (the last ones
# crashed or were killed), the one that got furthest, marked safe by hand as Galera's
# documentation says to do.
bootstrap_node() {
  local n pos seqno best=0 best_seqno=-1
  for n in 1 2 3; do
    if grep -qs '^safe_to_bootstrap: *1' "$dir/node$n/data/grastate.dat"; then
      echo "$n"
      return 0
    fi
  done
  for n in 1 2 3; do
    [ -f "$dir/node$n/data/grastate.dat" ] || continue
    pos=$(position "$n") || continue
    seqno=${pos##*:}
    [[ $seqno =~ ^[0-9]+$ ]] || continue
    [ "$seqno" -le "$best_seqno" ] || best=$n best_seqno=$seqno
  done
  [ "$best" -ne 0 ] || return 1
  sed -i 's/^safe_to_bootstrap: *0/safe_to_bootstrap: 1/' "$dir/node$best/data/grastate.dat"
  echo "no node was marked safe to bootstrap; node$best has the latest commit ($best_seqno)" >&2
  echo "$best"
}

create_users() {
  local from
  from=$(client_address)
  admin "$1" <<SQL
CREATE USER 'korvane'@'$from' IDENTIFIED BY 'wexolim';
GRANT ALL PRIVILEGES ON korvane_db.* TO 'korvane'@'$from';
CREATE USER 'korvane'@'localhost' IDENTIFIED BY 'wexolim';
GRANT ALL PRIVILEGES ON korvane_db.* TO 'korvane'@'localhost';
CREATE USER '$check_user'@'$from';
SQL
}

stop_node() {
  local n=$1 pid
  pid=$(node_pid "$n") || return 0
  admin "$n" -e 'SHUTDOWN' >/dev/null 2>&1 || kill "$pid" 2>/dev/null || true
  local start=$SECONDS
  while alive "$pid"; do
    if [ $((SECONDS - start)) -ge 60 ]; then
      echo "node$n did not stop within 60s; killing it" >&2
      kill -9 "$pid" 2>/dev/null || true
    fi
    sleep 0.1
  done
  rm -f "$dir/node$n.pid"
}

kill_node() {
  local pid
  pid=$(node_pid "$1") || die "node$1 is not running"
  kill -9 "$pid" 2>/dev/null || true
  while alive "$pid"; do sleep 0.05; done
  rm -f "$dir/node$1.pid"
  # The proxy needs about a second to notice; until then it still sends connections there.
  [ "$wipe" -eq 1 ] || wait_proxy_sees "$1" 0
}

restart_node() {
  node_pid "$1" >/dev/null && die "node$1 is already running"
  local n others=0
  for n in 1 2 3; do node_pid "$n" >/dev/null && others=1; done
  [ "$others" -eq 1 ] || die "no node is running to join; use: scripts/cluster up $dir"
  wait_settled
  start_node "$1"
  wait_synced "$1"
  wait_proxy_sees "$1" 2
  echo "node$1 $(address "$1"):$(port "$1") $(node_status "$1" wsrep_local_state_comment)," \
    "cluster size $(node_status "$1" wsrep_cluster_size)"
}
