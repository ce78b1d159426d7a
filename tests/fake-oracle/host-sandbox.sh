# Sourced by the scripts that run ebs-host on the fake Oracle installation
# (tests/fake-oracle/discover-sandbox.sh, bench/worst-context-discovery.sh).
#   ensure_oracle_owner         makes the system account ebsora (the Oracle owner) when missing
#                               and sets `owner`; needs root
#   make_host_sandbox PREFIX    makes a fresh directory /tmp/PREFIX.XXXXXX, sets `sandbox`, and
#                               points the store, the log, the temporary directory and the
#                               instance table at it; the caller removes it
ensure_oracle_owner() {
  owner=ebsora
  getent passwd "$owner" >/dev/null ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /bin/sh "$owner"
}

make_host_sandbox() {
  sandbox=$(mktemp -d "/tmp/$1.XXXXXX")
  chmod 0755 "$sandbox" # the Oracle owner's database writes the export below it
  export EBS_HOST_STORE="$sandbox/store.db" EBS_HOST_LOG="$sandbox/host.log"
  export EBS_HOST_TEMP_DIR="$sandbox/tmp" EBS_HOST_ORATAB="$sandbox/oratab"
}
