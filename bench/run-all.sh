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
