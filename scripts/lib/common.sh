# Shared helpers for the scripts: packages, the build, and private MariaDB instances.
# Sourced, not run. Callers set -euo pipefail.

KORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
KORVANE_PACKAGES=(cmake g++ pkg-config libprotobuf-dev protobuf-compiler libmariadb-dev libfmt-dev
  googletest libgtest-dev libbenchmark-dev libssl-dev libedit-dev mariadb-server mariadb-client
  socat zlib1g-dev valgrind openssl haproxy python3-websockets python3-uvloop
  python3-websocket python3-protobuf)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages that are missing; quiet and idempotent.
install_packages() {
  local missing=()
  for p in "${KORVANE_PACKAGES[@]}" "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
  # The package's own service is not ours to run; we start private instances.
  as_root service mariadb stop >/dev/null 2>&1 || true
}

# Configures and builds into $1 (default build/); extra arguments go to cmake.
build_korvane() {
  local dir=${1:-$KORVANE_ROOT/build}
  shift || true
  cmake -S "$KORVANE_ROOT" -B "$dir" -DKORVANE_INIT_SQL="$KORVANE_ROOT/sql/init.sql" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

# Settings of the databases the scripts start for serving and for measuring many sessions
# (scripts/run, scripts/bench): every session holds one connection for its whole life, so
# max_connections must hold them all; and a thread pool the size of the cores serves them rather
# than one thread per connection (docs/deploy.md, "Many sessions": the figures). The tests' own
# databases keep the defaults.
KORVANE_DB_SERVING=(--max-connections=1100 --thread-handling=pool-of-threads)

# Starts a private MariaDB with its data in $1/data and its socket at $1/mysqld.sock, listening on
# no port; further arguments go to mariadbd (e.g. --default-time-zone=+09:00). Creates the
# datadir and the korvane user on first start; does nothing when the instance is already
# answering.
db_start() {
  local dir=$1
  shift
  local sock=$dir/mysqld.sock
  mkdir -p "$dir"
  if mysqladmin --no-defaults --socket="$sock" -uroot ping >/dev/null 2>&1; then return 0; fi
  local user_opt=()
  [ "$(id -u)" -eq 0 ] && user_opt=(--user=root)
  local fresh=0
  if [ ! -d "$dir/data/mysql" ]; then
    mariadb-install-db --no-defaults --datadir="$dir/data" "${user_opt[@]}" \
      --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1
    fresh=1
  fi
  mariadbd --no-defaults --datadir="$dir/data" --socket="$sock" --skip-networking \
    --pid-file="$dir/mysqld.pid" --log-error="$dir/mysqld.err" "${user_opt[@]}" "$@" \
    </dev/null >/dev/null 2>&1 &
  for _ in $(seq 1 300); do
    mysqladmin --no-defaults --socket="$sock" -uroot ping >/dev/null 2>&1 && break
    sleep 0.1
  done
  mysqladmin --no-defaults --socket="$sock" -uroot ping >/dev/null 2>&1 || {
    echo "MariaDB did not start; see $dir/mysqld.err" >&2
    return 1
  }
  # The user the server connects as; it may create korvane_db and do anything inside it.
  if [ "$fresh" -eq 1 ]; then
    mariadb --no-defaults --socket="$sock" -uroot <<'SQL'
CREATE USER IF NOT EXISTS 'korvane'@'localhost' IDENTIFIED BY 'wexolim';
GRANT ALL PRIVILEGES ON korvane_db.* TO 'korvane'@'localhost';
SQL
  fi
  # The mysql client (the server's bootstrap) finds the socket through $MYSQL_HOME/my.cnf.
  printf '[client]\nsocket=%s\n' "$sock" >"$dir/my.cnf"
}

# Stops the instance started by db_start in $1, if it runs.
db_stop() {
  local dir=$1
  mysqladmin --no-defaults --socket="$dir/mysqld.sock" -uroot shutdown >/dev/null 2>&1 || true
  if [ -f "$dir/mysqld.pid" ]; then
    local pid
    pid=$(cat "$dir/mysqld.pid" 2>/dev/null || true)
    for _ in $(seq 1 100); do
      [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  fi
}

# Points the database client library and the mysql client at the instance in $1.
db_env() {
  export MYSQL_UNIX_PORT=$1/mysqld.sock
  export MYSQL_HOME=$1
}
