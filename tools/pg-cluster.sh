#!/usr/bin/env bash
# A private PostgreSQL cluster for the tests of the PostgreSQL store.
#
#   tools/pg-cluster.sh start DIR [PORT]   make DIR, initdb in DIR/data as `postgres`, start it
#   tools/pg-cluster.sh stop DIR           stop it (nothing to do when it does not run)
#
# The cluster listens on a Unix socket in DIR only (no TCP), port PORT (default 54329; the port only
# names the socket file DIR/.s.PGSQL.PORT), trusts every local connection, logs each connection
# (log_connections) to DIR/server.log, and runs without fsync: for tests only, never for data.
# `start` wipes a DIR that an earlier `start` made (a marker file says so) and refuses any other
# non-empty DIR. When the account postgres cannot reach DIR's parent (a tree under /root), DIR is
# made a link to a directory of its own under /tmp, which `start` wipes too. Exit status: 0 done, 77 skipped (PostgreSQL not installed, not root, no `postgres`
# account), 1 failed, 2 usage error.
set -euo pipefail

usage() {
  echo "usage: $0 start DIR [PORT] | stop DIR" >&2
  exit 2
}
skip() {
  echo "pg-cluster: skipped: $*" >&2
  exit 77
}
fail() {
  echo "pg-cluster: $*" >&2
  exit 1
}

[[ $# -ge 2 ]] || usage
action=$1
dir=$2
port=${3:-54329}
[[ $dir == /* ]] || fail "DIR must be an absolute path: $dir"
[[ $port =~ ^[0-9]+$ ]] && ((port > 0 && port < 65536)) || fail "PORT must be a number from 1 to 65535: $port"
marker=$dir/.ebs-pg-cluster

[[ $(id -u) -eq 0 ]] || skip "run as root (initdb and pg_ctl run as the account postgres)"
id -u postgres >/dev/null 2>&1 || skip "no account postgres (apt-get install postgresql)"
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1 || true)
[[ -n $bindir && -x $bindir/initdb && -x $bindir/pg_ctl ]] ||
  skip "PostgreSQL's server programs are not installed (apt-get install postgresql)"

# (fd 9, the lock below, is not passed on: the server would hold it for its whole life)
as_postgres() { (cd / && runuser -u postgres -- "$@" 9<&-); }

# A start and a stop of clusters under one parent directory wait for each other: a test killed while
# its `start` was at work leaves that start running, and the fixture's `stop` must come after it.
parent=$(dirname -- "$dir")
if [[ -d $parent ]]; then
  exec 9<"$parent"
  flock -w 300 9 || fail "another start or stop under $parent did not end within 300 s"
fi

# The account postgres must reach the cluster's directory: a DIR in a tree closed to it (a clone
# under /root, say) is made a link to a directory of this script's own under /tmp.
name=$dir
[[ -L $name ]] && dir=$(readlink -- "$name") && marker=$dir/.ebs-pg-cluster

running() { [[ -f $dir/data/postmaster.pid ]] && as_postgres "$bindir/pg_ctl" -D "$dir/data" status >/dev/null 2>&1; }

stop() {
  [[ -d $dir ]] || return 0
  [[ -f $marker ]] || fail "$dir was not made by $0; not touching it"
  if running; then
    as_postgres "$bindir/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null ||
      fail "pg_ctl stop failed; see $dir/server.log"
  fi
}

case $action in
  stop)
    stop
    ;;
  start)
    if [[ -e $name || -L $name ]]; then
      if [[ -f $marker ]]; then
        stop
        rm -rf -- "$dir"
        [[ -L $name ]] && rm -f -- "$name"
      elif [[ -L $name && ! -e $name ]]; then
        rm -f -- "$name"  # its directory under /tmp is gone (a reboot)
      elif [[ -d $name && ! -L $name && -z $(ls -A -- "$name") ]]; then
        rmdir -- "$name"
      else
        fail "$name exists and was not made by $0; choose another DIR"
      fi
    fi
    if as_postgres test -x "$parent"; then
      dir=$name
      mkdir -m 0755 -- "$dir"
    else
      dir=$(mktemp -d /tmp/ebs-pg-cluster.XXXXXX)
      chmod 0755 -- "$dir"
      ln -s -- "$dir" "$name"
    fi
    marker=$dir/.ebs-pg-cluster
    # The socket's path must fit in sun_path (107 bytes and a NUL).
    ((${#dir} + 17 <= 107)) || fail "DIR is too long for a Unix socket path: $dir"
    touch -- "$marker"
    chown postgres:postgres -- "$dir"
    as_postgres test -x "$dir" || fail "the account postgres cannot reach $dir (a directory on the way is closed)"
    as_postgres "$bindir/initdb" -D "$dir/data" -U postgres --auth=trust -E UTF8 --locale=C --no-sync \
      >"$dir/initdb.log" 2>&1 || fail "initdb failed; see $dir/initdb.log"
    # Local connections only, each trusted; settings after initdb's own, so they win.
    as_postgres sh -c 'printf "local all all trust\n" > "$1/data/pg_hba.conf"' sh "$dir"
    as_postgres sh -c 'cat >> "$1/data/postgresql.conf"' sh "$dir" <<EOF
listen_addresses = ''
unix_socket_directories = '$dir'
unix_socket_permissions = 0777
port = $port
fsync = off
synchronous_commit = off
full_page_writes = off
log_connections = on
log_disconnections = on
log_line_prefix = '%m [%p] %q%u@%d '
max_connections = 100
EOF
    as_postgres "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null ||
      fail "the cluster did not start; see $dir/server.log"
    echo "pg-cluster: running; socket directory $name, port $port (postgresql:///postgres?host=$name&port=$port&user=postgres)"
    ;;
  *)
    usage
    ;;
esac
