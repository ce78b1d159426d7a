#!/usr/bin/env bash
# Runs every benchmark program of a build and prints one table of the judged figures: each
# figure's value, the bare baseline it is measured against in the same run, their ratio, its goal
# and whether this run met it (bench/goal.h describes the counters). Every benchmark follows with
# its time and its other counters.
#   bench/run-all.sh BUILD_DIR [MIN_TIME]
# BUILD_DIR should be a Release build. MIN_TIME is Google Benchmark's minimum time per benchmark,
# in seconds (default 1: enough alternations for steady medians; a whole run takes about three
# minutes on two cores; a benchmark with a fixed number of iterations ignores it). The raw results stay in
# BUILD_DIR/bench-results/<program>.json.
# The PostgreSQL figures need a server: a private cluster (tools/pg-cluster.sh, socket only, in
# BUILD_DIR/bench-pg) runs for the length of the run and is stopped at the end, also on a failure or
# an interrupt. It is made as the tests' cluster is, then made durable again (fsync,
# full_page_writes and synchronous_commit on, as on a production server), so that a commit costs
# what it would. Without PostgreSQL, or not as root, its figures are skipped with the reason.
# Exit status: 0 when every program ran (a missed goal is shown, not an error); 1 when one failed;
# 2 on a usage error.
set -euo pipefail

usage() {
  echo "usage: bench/run-all.sh BUILD_DIR [MIN_TIME]" >&2
  echo "  BUILD_DIR: a build directory with the benchmarks built (./run bench makes one)" >&2
  exit 2
}
[ $# -ge 1 ] && [ $# -le 2 ] || usage
build=$1
min_time=${2:-1}
[ -d "$build/bench" ] || { echo "error: $build/bench does not exist" >&2; usage; }
command -v jq >/dev/null || { echo "error: jq is needed (apt-get install jq)" >&2; exit 1; }

results="$build/bench-results"
mkdir -p "$results"
programs=()
for p in "$build"/bench/*_bench; do
  [ -f "$p" ] && [ -x "$p" ] && programs+=("$p")
done
[ ${#programs[@]} -gt 0 ] || { echo "error: no benchmark programs in $build/bench" >&2; exit 1; }

# The PostgreSQL server of the store_backends_bench figures (EBS_TEST_PG_SOCKET/_PORT, as for
# the tests).
root=$(cd "$(dirname "$0")/.." && pwd)
pgdir=$(cd "$build" && pwd)/bench-pg
pgport=54339
pg_started=0
stop_pg() {
  [ "$pg_started" = 1 ] || return 0
  "$root/tools/pg-cluster.sh" stop "$pgdir" >>"$results/pg-cluster.log" 2>&1 ||
    echo "warning: the PostgreSQL cluster in $pgdir did not stop; see $results/pg-cluster.log" >&2
  pg_started=0
}
trap stop_pg EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
unset EBS_TEST_PG_SOCKET EBS_TEST_PG_PORT
why=
start_pg() {
  command -v psql >/dev/null || { why="psql is not installed (apt-get install postgresql)"; return 1; }
  pg_started=1
  if ! "$root/tools/pg-cluster.sh" start "$pgdir" "$pgport" >"$results/pg-cluster.log" 2>&1; then
    why=$(tail -1 "$results/pg-cluster.log")
    return 1
  fi
  local sql=(psql -X -q -At -h "$pgdir" -p "$pgport" -U postgres -d postgres)
  if ! "${sql[@]}" -c "ALTER SYSTEM SET fsync = on" -c "ALTER SYSTEM SET full_page_writes = on" \
      -c "ALTER SYSTEM SET synchronous_commit = on" -c "SELECT pg_reload_conf()" \
      >>"$results/pg-cluster.log" 2>&1; then
    why="the cluster's settings could not be changed; see $results/pg-cluster.log"
    return 1
  fi
  local tries=10
  while [ "$tries" -gt 0 ]; do
    [ "$("${sql[@]}" -c "SHOW fsync")" = on ] && return 0
    sleep 0.5
    tries=$((tries - 1))
  done
  why="the cluster still runs without fsync"
  return 1
}
if start_pg; then
  export EBS_TEST_PG_SOCKET=$pgdir EBS_TEST_PG_PORT=$pgport
  echo "==> PostgreSQL cluster in $pgdir (fsync on)" >&2
else
  stop_pg
  echo "==> PostgreSQL figures skipped: $why" >&2
fi

failed=0
for p in "${programs[@]}"; do
  name=$(basename "$p")
  echo "==> $name" >&2
  if ! "$p" --benchmark_format=json --benchmark_min_time="$min_time" \
      >"$results/$name.json" 2>"$results/$name.stderr"; then
    echo "error: $name failed; its output is in $results/$name.stderr" >&2
    failed=1
  fi
done

# One row per benchmark run of every program (aggregates and skipped runs left out).
rows() {
  for p in "${programs[@]}"; do
    name=$(basename "$p")
    [ -s "$results/$name.json" ] || continue
    jq -c --arg program "$name" '.benchmarks[]
      | select((.run_type // "iteration") == "iteration" and (.error_occurred | not))
      | . + {program: $program}' "$results/$name.json" 2>/dev/null || true
  done
}

all=$(rows)
judged=$(jq -r 'select(.goal != null)
  | (.label // "" | split(";") | map(split("=") | {(.[0]): (.[1:] | join("="))}) | add // {})
      as $l
  | ($l.unit // "") as $u
  | [ .program + " " + .name,
      "\(.value * 1000 | round / 1000) \($u)",
      (if .baseline > 0 then "\(.baseline * 1000 | round / 1000) \($u) (\($l.baseline))"
       else "-" end),
      (if .ratio > 0 then "\(.ratio * 100 | round / 100)x" else "-" end),
      (if .goal == 0 then "-" elif .goal_on_ratio == 1 then "<= \(.goal)x"
       else "<= \(.goal) \($u)" end),
      (if .goal == 0 then "not judged" elif .met == 1 then "met" else "MISSED" end) ]
  | @tsv' <<<"$all")

echo
echo "Judged figures (value and baseline are medians of the same run)"
{
  printf 'figure\tvalue\tbaseline\tratio\tgoal\tresult\n'
  [ -z "$judged" ] || printf '%s\n' "$judged"
} | column -t -s $'\t'
total=$(grep -v $'\tnot judged$' <<<"$judged" | grep -c . || true)
met=$(grep -c $'\tmet$' <<<"$judged" || true)
echo "$met of $total goals met"
skipped=$(for p in "${programs[@]}"; do
  name=$(basename "$p")
  [ -s "$results/$name.json" ] || continue
  jq -r --arg program "$name" '.benchmarks[] | select(.error_occurred)
    | "\($program) \(.name): \(.error_message)"' "$results/$name.json" 2>/dev/null || true
done)
[ -z "$skipped" ] || { echo; echo "Skipped"; printf '%s\n' "$skipped"; }

echo
echo "Every benchmark (time per iteration; counters other than the judged ones)"
{
  printf 'benchmark\ttime\tcounters\n'
  jq -r '[ .program + " " + .name,
        "\(.real_time * 1000 | round / 1000) \(.time_unit)",
        ([ to_entries[]
           | select(.value | type == "number")
           | select(.key | IN("family_index", "per_family_instance_index", "repetitions",
               "repetition_index", "threads", "iterations", "real_time", "cpu_time", "value",
               "baseline", "ratio", "goal", "goal_on_ratio", "met") | not)
           | "\(.key)=\(.value * 1000 | round / 1000)" ] | join(" ")) ]
    | @tsv' <<<"$all"
} | column -t -s $'\t'
exit "$failed"
