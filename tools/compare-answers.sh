#!/usr/bin/env bash
# Sends the same requests to two builds and compares what they answer, byte for byte: that a
# change of the code kept every answer, output, usage error and exit status as it was.
#   tools/compare-answers.sh OLD_BUILD NEW_BUILD
# Each build's own ebs-host and plug-in (BUILD/tools/ebs-host/ebs-host, BUILD/src/
# libEnterpriseApps.so) run, one build after the other, in the same fresh sandbox path (store, log,
# temporary directory, an empty instance table), with the clients ebsdb01, ebsapp01 and ebsapp02
# registered. Compared, for each build:
#   - every envelope tools/answer-envelopes.py writes (the fuzz corpora, the tests' context
#     files, and a generated set of saves, deletes, discoveries, unknown types, malformed and
#     hostile texts) through `ebs-host request`, as people see it and with --json: standard
#     output and exit status;
#   - then the store the saves left, `clients list` and `apps show` of every app (--json, the
#     times of a save left out);
#   - ebs-host's own command lines: help, versions, usage errors, the store's commands (standard
#     output, standard error and exit status; the build directory's path written as BUILD, a time
#     of day as TIME);
#   - as root, the discovery of the fake Oracle installation's PROD
#     (tests/fake-oracle/discover-sandbox.sh) as text, --json and --xml (its sandbox path written
#     as SANDBOX). Skipped, with a notice, for another user.
# Prints how many were compared and each difference (the first lines of its diff). Exit status: 0
# no difference, 1 differences, 2 usage error. Needs python3 and jq. KEEP=1 keeps the work
# directory (the answers of both builds side by side).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
if [ $# -ne 2 ] || [ ! -x "$1/tools/ebs-host/ebs-host" ] || [ ! -x "$2/tools/ebs-host/ebs-host" ]; then
  echo "usage: tools/compare-answers.sh OLD_BUILD NEW_BUILD (build trees holding" \
    "tools/ebs-host/ebs-host and src/libEnterpriseApps.so: ninja ebs-host EnterpriseApps)" >&2
  exit 2
fi
old=$(cd "$1" && pwd) new=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/compare-answers.XXXXXX)
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
python3 "$here/answer-envelopes.py" "$source_dir" "$work/envelopes" >/dev/null

# The command lines of ebs-host compared, one a line, split as the shell splits them.
cat >"$work/command-lines" <<'EOF'
--help
--json --help
discover --help
diff --help
save --help
delete --help
request --help
clients --help
clients add --help
apps --help
apps show --help
--version
--json --version

bogus
--jsno apps list
apps
apps bogus
clients lst
apps list extra
--plugin
--xml apps list
--xml clients list
--xml clients add --name a --host b
--xml clients remove --name a
--xml diff 1 --db-password-env X
--json --xml diff 1
diff 1
diff x --db-password-env X
diff 1 --db-password-env X --db-password-file Y
--json diff 1 --db-password-file /nonexistent
delete x
delete 99999999999999999999999
delete
--json delete
delete 1
apps show x --format png
apps show 1 --format dot
--json apps show 1 --format svg
discover --sid A
discover --sid A --db-user B
discover --sid A --db-user B --format png
--json discover --sid A --db-user B --db-password-env NOPE
discover --sid A --db-user B --db-password-env NOPE --save x --format svg
--xml discover --sid NOSUCH --db-user B --db-password-file /dev/null
clients add --name a --host b --hive x
clients add --name a --host b --hive 99999999999
clients add --name a --host b --hive 1
--json clients add --name a --host b
clients list
--json clients list
clients remove --name a
--json clients remove --name nobody
apps list
--json apps list
--xml request /dev/null
request /nonexistent
save --config /nonexistent --name x
save --name x
--json -o /dev/full apps list
EOF

compared=0 differing=0
# same NAME: compares $work/old/NAME with $work/new/NAME.
same() {
  compared=$((compared + 1))
  if ! cmp -s "$work/old/$1" "$work/new/$1"; then
    differing=$((differing + 1))
    echo "differs: $1"
    diff "$work/old/$1" "$work/new/$1" | head -n 8 | cut -c 1-300 || true
  fi
}

# answers BUILD SIDE: runs everything in $work/box with BUILD's programs, into $work/SIDE.
answers() {
  local build=$1 side=$2 box=$work/box host=$1/tools/ebs-host/ebs-host file name
  rm -rf "$box" && mkdir -m 0700 "$box" "$work/$side" && : >"$box/oratab"
  (
    export HOME=$box EBS_HOST_STORE=$box/store.db EBS_HOST_LOG=$box/host.log
    export EBS_HOST_TEMP_DIR=$box/tmp EBS_HOST_ORATAB=$box/oratab
    export EBS_HOST_PLUGIN=$build/src/libEnterpriseApps.so
    for name in ebsdb01 ebsapp01 ebsapp02; do
      "$host" clients add --name "$name" --host "$name.example.com" --hive 1 >/dev/null
    done
    for file in "$work"/envelopes/*; do
      name=$(basename "$file" .xml)
      { "$host" request "$file" || echo "exit status $?"; } >"$work/$side/$name.text" 2>/dev/null
      { "$host" --json request "$file" || echo "exit status $?"; } >"$work/$side/$name.json" 2>/dev/null
    done
    { "$host" --json clients list || echo "exit status $?"; } >"$work/$side/store-clients" 2>&1
    local status
    for id in $(seq 1 60); do
      status=0
      "$host" --json apps show "$id" >"$work/box/app.json" 2>&1 || status=$?
      { jq 'del(.updatedAt, .discovery.savedAt)' "$work/box/app.json" 2>&1 || true
        echo "exit status $status"; } >"$work/$side/store-app-$id"
    done
    local n=0 line
    while IFS= read -r line; do
      n=$((n + 1))
      eval "set -- $line"
      { "$host" "$@" </dev/null || echo "exit status $?"; } >"$work/$side/cli-$n.out" \
        2>"$work/$side/cli-$n.err"
      sed -i -E "s#$build#BUILD#g; s#[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z#TIME#g" \
        "$work/$side/cli-$n.out" "$work/$side/cli-$n.err"
    done <"$work/command-lines"
  )
  if [ "$(id -u)" -eq 0 ]; then
    local form
    for form in text --json --xml; do
      { EBS_HOST_PLUGIN=$build/src/libEnterpriseApps.so \
          "$source_dir/tests/fake-oracle/discover-sandbox.sh" "$build" ${form#text} ||
        echo "exit status $?"; } 2>/dev/null |
        sed -E 's#/tmp/ebs-sandbox\.[A-Za-z0-9]+#SANDBOX#g' >"$work/$side/discovery-${form#--}"
    done
  fi
}

answers "$old" old
answers "$new" new
for file in "$work"/old/*; do same "$(basename "$file")"; done
for file in "$work"/new/*; do
  [ -e "$work/old/$(basename "$file")" ] || { compared=$((compared + 1)) differing=$((differing + 1)); echo "only in the new build: $(basename "$file")"; }
done
envelopes=$(ls "$work/envelopes" | wc -l)
[ "$(id -u)" -eq 0 ] || echo "discovery of the fake Oracle installation skipped: it needs root" >&2
echo "compared $compared outputs ($envelopes envelopes, each as text and --json; the store; $(wc -l <"$work/command-lines") command lines; the discovery): $differing differ"
[ "${KEEP:-0}" = 1 ] && echo "answers kept in $work" >&2
[ "$differing" -eq 0 ]
