#!/bin/sh
# Makes an Oracle home of the fake (simulated) installation, for tests and the demo.
#   setup-home.sh HOME OWNER [SQL...]
# HOME is created (its parents must exist and be reachable by OWNER) with bin/sqlplus,
# bin/oracle and lib/, all of them and HOME and bin/ owned by OWNER (the account discovery runs
# sqlplus as, which must own them all), and fake/ (root's) holding the
# SQLite database context.db with an empty fnd_oam_context_files table and the calls/ directory
# where sqlplus records what it receives. Each SQL file given is then run on the database from
# its own directory, so that readfile('x.xml') reads a file next to it (see sandbox/load.sql).
# Must run as root (it changes owners).
set -eu
[ $# -ge 2 ] || { echo "usage: $0 HOME OWNER [SQL...]" >&2; exit 2; }
owner=$2
here=$(cd -- "$(dirname -- "$0")" && pwd -P)
mkdir -p -- "$1/bin" "$1/lib" "$1/fake/calls"
home=$(cd -- "$1" && pwd -P)
shift 2

cp -- "$here/bin/sqlplus" "$here/bin/oracle" "$home/bin/"
chmod 0755 -- "$home" "$home/bin" "$home/lib" "$home/fake" "$home/bin/sqlplus" "$home/bin/oracle"
chown -- "$owner" "$home" "$home/bin" "$home/lib" "$home/bin/oracle" "$home/bin/sqlplus"
chown -- "$owner" "$home/fake/calls"
chmod 0700 -- "$home/fake/calls"

db=$home/fake/context.db
rm -f -- "$db"
sqlite3 -batch "$db" <<'SQL'
CREATE TABLE fnd_oam_context_files (
  NAME TEXT NOT NULL,
  VERSION TEXT,
  PATH TEXT,
  LAST_SYNCHRONIZED TEXT,
  TEXT TEXT,
  CREATION_DATE TEXT,
  NODE_NAME TEXT,
  STATUS TEXT,
  CTX_TYPE TEXT
);
SQL
for sql in "$@"; do
  dir=$(cd -- "$(dirname -- "$sql")" && pwd -P)
  (cd -- "$dir" && sqlite3 -batch -bail "$db" <"$dir/$(basename -- "$sql")")
done
chmod 0644 -- "$db"
