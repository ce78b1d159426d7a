#!/usr/bin/env bash
# Runs every fuzz target built in $1 for $2 seconds each, starting from its seed corpus (see
# README.md for long runs). Targets whose seeds are large texts take inputs up to 1 MiB.
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
  case $name in
    context_fuzz | entry_fuzz | message_fuzz) max_len=1048576 ;;
    *) max_len=65536 ;;
  esac
  echo "--> $name (${seconds}s)"
  # No instance table: a Discover request found by the fuzzer never reaches su or sqlplus.
  if ! EBS_HOST_LOG_LEVEL=off EBS_HOST_TEMP_DIR="$work/tmp" EBS_HOST_STORE="$work/store.db" \
      EBS_HOST_ORATAB="$work/no-oratab" \
      "$target" -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 \
      -artifact_prefix="$work/$name-" "$work/$name" "$corpus" >"$work/$name.log" 2>&1; then
    tail -40 "$work/$name.log" >&2
    status=1
  else
    grep -E '^Done|#[0-9]+.*DONE' "$work/$name.log" | tail -1 || true
  fi
done
exit $status
