#!/usr/bin/env bash
# The plug-in at work through ebs-host, in a sandbox of its own (store, log, temporary directory,
# instance table and a SIMULATED Oracle database under a fresh directory, removed afterwards):
# how requests are refused, then discover -> save -> show -> diff after a cutover -> delete of the
# sandbox instance PROD.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
host="$build/tools/ebs-host/ebs-host"
fake="$root/tests/fake-oracle"
sandbox=$(mktemp -d /tmp/ebs-demo.XXXXXX)
trap 'rm -rf "$sandbox"' EXIT
chmod 0755 "$sandbox"  # the Oracle owner's database writes its export below it
export EBS_HOST_STORE="$sandbox/store.db" EBS_HOST_LOG="$sandbox/host.log"
export EBS_HOST_TEMP_DIR="$sandbox/tmp" EBS_HOST_ORATAB="$sandbox/oratab"

if [ -t 1 ] && [ -z "${NO_COLOR:-}" ]; then
  step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  step() { printf '\n== %s\n' "$*"; }
fi
show() { printf '$ ebs-host %s\n' "$*"; "$host" "$@" || printf '(exit status %d)\n' "$?"; }

envelope() { # appType, inner text (carried in a CDATA section, so it needs no escaping)
  printf '<m g="22" n="506"><i x="1">%s</i><s x="2"><![CDATA[%s]]></s></m>' "$1" "$2"
}

step "An unknown application type is refused (error code 1, result -1)"
envelope 7 '<m g="22" n="505"><i x="1">2</i></m>' >"$sandbox/unknown.xml"
show --json request "$sandbox/unknown.xml"

step "A PeopleSoft request is refused; its inner text comes back unchanged"
envelope 2 '<m g="22" n="505"><i x="1">2</i></m>' >"$sandbox/peoplesoft.xml"
show request "$sandbox/peoplesoft.xml"

step "A mistyped command: a usage error (exit status 2) naming the nearest command"
show discovr --sid PROD

step "An Oracle EBS request without a message type: error 520 from the worker"
envelope 1 '<m g="22" n="505"><o x="2"><m g="22" n="504"><s x="1">12.2.10</s></m></o></m>' \
  >"$sandbox/notype.xml"
show --json request "$sandbox/notype.xml"

step "The managing server's clients: one per host of the instance"
show clients add --name ebsdb01 --host ebsdb01.example.com --hive 1
show clients add --name ebsapp01 --host ebsapp01.example.com --host ebsapp01-vip.example.com --hive 1
show clients add --name ebsapp02 --host ebsapp02.example.com --hive 1
show clients list

if [ "$(id -u)" -ne 0 ]; then
  step "Discovery switches to the Oracle owner with su and needs root: run ./run demo as root"
  exit 0
fi

step "A SIMULATED database host: fake Oracle home (bin/oracle, bin/sqlplus over SQLite), instance PROD"
owner=ebsora
getent passwd "$owner" >/dev/null ||
  useradd --system --no-create-home --home-dir /nonexistent --shell /bin/sh "$owner"
"$fake/setup-home.sh" "$sandbox/oracle/19.0.0" "$owner" "$fake/sandbox/load.sql"
printf '# Simulated database host ebsdb01\nPROD:%s:N\n' "$sandbox/oracle/19.0.0" >"$EBS_HOST_ORATAB"
cat "$EBS_HOST_ORATAB"
echo "fnd_oam_context_files of the simulated database:"
sqlite3 "$sandbox/oracle/19.0.0/fake/context.db" \
  "SELECT printf('  %-24s type %s  %6d bytes', NAME, CTX_TYPE, length(TEXT)) FROM fnd_oam_context_files"

# The database login; the password reaches ebs-host through the environment only.
export DEMO_DB_PASSWORD='Demo-Pa55'
printf '%s' "$DEMO_DB_PASSWORD" >"$sandbox/oracle/19.0.0/fake/db_password"
step "Discover PROD (export through su + sqlplus as $owner, then every context file read)"
show discover --sid PROD --db-user apps --db-password-env DEMO_DB_PASSWORD
show --xml --output "$sandbox/discovered.xml" discover --sid PROD --db-user apps \
  --db-password-env DEMO_DB_PASSWORD
printf 'discovered.xml: mode %s, password elements: %s\n' "$(stat -c %a "$sandbox/discovered.xml")" \
  "$(grep -o '<pw[^>]*>[^<]*</pw>' "$sandbox/discovered.xml" | tr '\n' ' ')"


step "Save the discovered instance as virtual app PROD-EBS (registry value on every node's client first)"
printf '$ ebs-host --json save --config discovered.xml --name PROD-EBS | jq .appId\n'
app_id=$("$host" --json save --config "$sandbox/discovered.xml" --name PROD-EBS | jq -r .appId)
echo "$app_id"
show apps list
show apps show "$app_id"

step "The saved instance as a picture: apps show --format svg (Graphviz's dot)"
# Kept after the demo, beside the build; --format dot gives the graph itself.
mkdir -p "$build/demo"
picture="$(cd "$build/demo" && pwd)/topology.svg"
show --output "$picture" apps show "$app_id" --format svg
[ -s "$picture" ] && printf 'The sandbox instance drawn: %s\n' "$picture"
show clients list

step "A cutover of the simulated instance (fs1 becomes the run file system): ebs-host diff shows the drift, exit status 4"
printf '$ tests/fake-oracle/cutover.sh <oracle home> fs1\n'
"$fake/cutover.sh" "$sandbox/oracle/19.0.0" fs1
show diff "$app_id" --sid PROD --db-user apps --db-password-env DEMO_DB_PASSWORD

step "Delete the virtual app, and see it gone"
show delete "$app_id"
show apps list
show delete "$app_id"

step "Timings of the discovery (simulated database), from the log"
awk -f "$fake/discovery-times.awk" "$EBS_HOST_LOG"

step "A SID that is not in the instance table: the error, and beneath it the cause"
show discover --sid PRDO --db-user apps --db-password-env DEMO_DB_PASSWORD
printf 'The log (%s): %d lines, %d password elements shown as "***", the password in clear %d times.\n' \
  "$EBS_HOST_LOG" "$(wc -l <"$EBS_HOST_LOG")" "$(grep -o '\*\*\*' "$EBS_HOST_LOG" | wc -l)" \
  "$(grep -o -- "$DEMO_DB_PASSWORD" "$EBS_HOST_LOG" | wc -l)"
