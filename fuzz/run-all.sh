#!/usr/bin/env bash
# Runs every fuzz target built in $1 for $2 seconds each, starting from its seed corpus.
set -euo pipefail
build=$1
seconds=${2:-10}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for corpus in "$here"/corpus/*/; do
  name=$(basename "$corpus")
  target="$build/fuzz/$name"
  [ -x "$target" ] || { echo "missing fuzz target $name" >&2; status=1; continue; }
  mkdir -p "$work/$name"
  echo "--> $name (${seconds}s)"
  if ! EBS_HOST_LOG_LEVEL=off EBS_HOST_TEMP_DIR="$work/tmp" EBS_HOST_STORE="$work/store.db" \
      "$target" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
      -artifact_prefix="$work/$name-" "$work/$name" "$corpus" >"$work/$name.log" 2>&1; then
    tail -40 "$work/$name.log" >&2
    status=1
  else
    grep -E '^Done|#[0-9]+.*DONE' "$work/$name.log" | tail -1 || true
  fi
done
exit $status
