#!/usr/bin/env bash
# Discovers the sandbox instance PROD of the fake (simulated) Oracle installation through
# ebs-host, in a throw-away host sandbox, and reports how long the export and the reading took.
#   discover-sandbox.sh BUILD_DIR [ebs-host options...]   (e.g. --json or --xml)
# Needs root (discovery switches to the Oracle owner with su); creates the account ebsora when
# missing. Everything else lives under a fresh directory in /tmp, removed at the end unless
# KEEP=1 is set.
set -euo pipefail
build=${1:?usage: discover-sandbox.sh BUILD_DIR [ebs-host options...]}
shift
here=$(cd "$(dirname "$0")" && pwd)
host="$build/tools/ebs-host/ebs-host"
. "$here/host-sandbox.sh"
ensure_oracle_owner
make_host_sandbox ebs-sandbox
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$sandbox"' EXIT

"$here/setup-home.sh" "$sandbox/19.0.0" "$owner" "$here/sandbox/load.sql"
printf '# Simulated database host ebsdb01\nPROD:%s:N\n' "$sandbox/19.0.0" >"$EBS_HOST_ORATAB"
"$host" clients add --name ebsdb01 --host ebsdb01.example.com --hive 1 >/dev/null
"$host" clients add --name ebsapp01 --host ebsapp01.example.com --hive 1 >/dev/null
"$host" clients add --name ebsapp02 --host ebsapp02.example.com --hive 1 >/dev/null

status=0
EBS_SANDBOX_DB_PASSWORD=apps "$host" "$@" discover --sid PROD --db-user apps \
  --db-password-env EBS_SANDBOX_DB_PASSWORD || status=$?

awk -f "$here/discovery-times.awk" "$EBS_HOST_LOG" >&2
[ "${KEEP:-0}" = 1 ] && echo "sandbox kept in $sandbox" >&2
exit $status
