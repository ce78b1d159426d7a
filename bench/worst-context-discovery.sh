#!/usr/bin/env bash
# A whole discovery through ebs-host of one database-tier context file of the worst shapes within
# the bounds (src/context/context_bounds.h), on the fake Oracle installation, under
# /usr/bin/time -v: prints the elapsed time and the peak memory of the host process for each.
#   bench/worst-context-discovery.sh BUILD_DIR
# Needs root (discovery switches to the Oracle owner with su), python3 and GNU time (packages
# python3, time), and the targets ebs-host and EnterpriseApps built; creates the account ebsora
# when missing. Goal: each at most 2 s and 256 MiB (see docs/discovery.md, "Bounds on context
# files").
set -euo pipefail
build=$(cd "${1:?usage: worst-context-discovery.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
host="$build/tools/ebs-host/ebs-host"
. "$here/tests/fake-oracle/host-sandbox.sh"
ensure_oracle_owner
make_host_sandbox ebs-worst
trap 'rm -rf "$sandbox"' EXIT

# The shapes, as in bench/context_bounds_bench.cpp (16 MiB, 200,000 nodes, 10,000 names).
python3 - "$sandbox" <<'PY'
import sys
out = sys.argv[1]
MAX_BYTES, MAX_NODES, MAX_NAMES = 16 << 20, 200000, 10000
def name(i, length):
    n = "n%d_" % i
    return n + "x" * (length - len(n))
shapes = {
    "elements": "<oa_context>" + "<a/>" * (MAX_NODES - 1) + "</oa_context>",
    "options": "<oa_context><oa_system>" +
        '<config_option oa_var="s_apps_version">12.2</config_option>' * (MAX_NODES // 2 - 1) +
        "</oa_system></oa_context>",
    "long-names": "<oa_context>" + "".join(
        "<%s/>" % name(i, (MAX_BYTES - 64) // (MAX_NAMES - 1) - 3)
        for i in range(MAX_NAMES - 1)) + "</oa_context>",
    "names-reused": "<oa_context>" + "".join(
        "<%s/>" % name(i % (MAX_NAMES - 1), 8) for i in range(MAX_NODES - 1)) + "</oa_context>",
    "value": "<oa_context><global_db_name>" + "v" * (MAX_BYTES - 128) +
        "</global_db_name></oa_context>",
    "attribute": '<oa_context><oa_host><host oa_var="' + "v" * (MAX_BYTES - 128) +
        '">h</host></oa_host></oa_context>',
}
V = "v" * (64 << 10)
def e(name, attributes=""):
    return "<%s%s>%s</%s>" % (name, attributes, V, name)
shapes["values"] = ("<oa_context>" + e("oa_context_name") + e("oa_context_file_loc") +
    e("global_db_name") + e("service_names") + "<oa_host>" + e("host", ' oa_var="s_hostname"') +
    e("platform") + e("domain") + e("dbuser") + e("dbgroup") + "</oa_host><oa_system>" +
    e("compatible") + e("config_option", ' oa_var="s_apps_version"') +
    "</oa_system><oa_db_server>" + e("dbport") + "</oa_db_server><oa_environments>" +
    '<oa_environment type="rapid_install">' + e("APPS_BASE") + e("db_datfiles") +
    '</oa_environment><oa_environment type="db_home">' + e("ORACLE_HOME") +
    "</oa_environment></oa_environments></oa_context>")
for shape, text in shapes.items():
    open("%s/%s.xml" % (out, shape), "w").write(text)
    open("%s/%s.sql" % (out, shape), "w").write(
        "INSERT INTO fnd_oam_context_files (NAME, CTX_TYPE, TEXT) "
        "VALUES ('WORST_%s', 'D', CAST(readfile('%s.xml') AS TEXT));\n" % (shape, shape))
PY

printf 'PROD:%s:N\n' "$sandbox/19.0.0" >"$EBS_HOST_ORATAB"
printf '%-14s %10s %12s %s\n' shape seconds max_rss_MiB result
for sql in "$sandbox"/*.sql; do
  shape=$(basename "$sql" .sql)
  rm -rf "$sandbox/19.0.0" "$sandbox/tmp" "$EBS_HOST_LOG"
  "$here/tests/fake-oracle/setup-home.sh" "$sandbox/19.0.0" "$owner" "$sql"
  status=0
  EBS_WORST_PW=apps /usr/bin/time -v -o "$sandbox/time" "$host" --json discover --sid PROD \
    --db-user apps --db-password-env EBS_WORST_PW >"$sandbox/out" 2>&1 || status=$?
  seconds=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0;
    for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$sandbox/time")
  rss=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$sandbox/time")
  printf '%-14s %10s %12s exit %s\n' "$shape" "$seconds" "$rss" "$status"
done
