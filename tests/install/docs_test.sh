#!/usr/bin/env bash
# The manual page and the bash completion against the program: every command and command under
# it that `ebs-host --help` lists has its section in ebs-host(1); the completion's word lists are
# exactly the commands and options of each command's --help, and it offers them, the values of
# --format and the SIDs of the instance table, without running any program; every global option
# is in the manual page, and every exit status of the README's table is in its EXIT STATUS. A
# failure names what is missing and where.
#   docs_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd) source=$(cd "$2" && pwd)
host=$build/tools/ebs-host/ebs-host
man=$(gzip -dc "$build/docs/man/ebs-host.1.gz")
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The rows of a section ("Commands:", "Options:") of `ebs-host WORDS... --help`: the text before
# the description ("-o, --output FILE", "apps").
rows() {
  local name=$1
  shift
  "$host" "$@" --help | awk -v s="$name:" '$0 == s { on = 1; next } /^[^ ]/ { on = 0 }
    on && /^  [^ ]/ { row = substr($0, 3); sub(/  .*/, "", row); print row }'
}
# The names in those rows: "-o", "--output", "apps".
names() { rows "$@" | awk '{ n = split($0, parts, ", "); for (i = 1; i <= n; i++) { split(parts[i], w, " "); print w[1] } }'; }
sorted() { tr ' ' '\n' | sed '/^$/d' | sort; }

# shellcheck source=/dev/null
source "$source/contrib/bash-completion/ebs-host"
compopt() { :; }  # only a completion in progress has options
# What the completion offers for the words typed so far (the last one being completed), the
# program typed as $typed (the built one by default).
complete_words() {
  COMP_WORDS=("${typed:-$host}" "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _ebs_host
  printf '%s\n' "${COMPREPLY[@]}"
}

commands=$(names Commands)
[ -n "$commands" ] || fail "ebs-host --help lists no commands: its format changed?"
paths=("")
for command in $commands; do
  paths+=("$command")
  for sub in $(names Commands "$command"); do paths+=("$command $sub"); done
done

for path in "${paths[@]}"; do
  # shellcheck disable=SC2086  # the words of the path
  set -- $path
  key="ebs-host${path:+ $path}"  # the completion's key
  where="'$key --help'"
  [ -z "$path" ] || grep -qxF ".SS \"$path\"" <<<"$man" ||
    fail "ebs-host(1) has no section for the command '$path' (docs/man/make-man.sh)"
  # The help is in ebs-host's words, not the parser library's (type names, its labels).
  if "$host" "$@" --help | grep -nwE 'TEXT|INT|UINT|Excludes|Needs|REQUIRED|Subcommands' >&2; then
    fail "$where carries the parser library's words (above)"
  fi
  # The word lists are those of the help, no more and no less.
  [ "$(names Commands "$@" | sorted)" = "$(sorted <<<"${_ebs_host_commands[$key]-}")" ] ||
    fail "the completion's commands under '$key' are not those of $where (contrib/bash-completion/ebs-host)"
  [ "$(names Options "$@" | sorted)" = "$(sorted <<<"${_ebs_host_options[$key]-}")" ] ||
    fail "the completion's options of '$key' are not those of $where"
  # Options that take a value (a placeholder follows them) and those that do not.
  while read -r row; do
    placeholder=${row##* }
    for name in $(tr ',' ' ' <<<"$row"); do
      [[ $name == -* ]] || continue
      if [[ $placeholder == -* ]]; then
        [ -z "${_ebs_host_values[$name]+set}" ] || fail "the completion takes a value after the flag $name"
      else
        [ -n "${_ebs_host_values[$name]+set}" ] || fail "the completion does not skip the value of $name ($where)"
        # A placeholder that lists the values (text|dot|svg): the completion offers those.
        if [[ $placeholder == *'|'* ]]; then
          [ "$(complete_words $path "$name" "" | sort)" = "$(tr '|' '\n' <<<"$placeholder" | sort)" ] ||
            fail "the completion does not offer the values $placeholder of $name"
        fi
      fi
    done
  done < <(rows Options "$@")
  # And it offers them: the commands, the command's options and the global ones, also after a
  # global option that takes a value.
  for command in ${_ebs_host_commands[$key]-}; do
    complete_words $path "" | grep -xF -- "$command" >/dev/null ||
      fail "the completion does not offer '$command' after '$path'"
  done
  for option in ${_ebs_host_options[$key]-} ${_ebs_host_options[ebs-host]}; do
    complete_words --log x $path - | grep -xF -- "$option" >/dev/null ||
      fail "the completion does not offer '$option' after '--log x $path'"
  done
done

for option in $(names Options); do
  grep -qF -- "${option//-/\\-}" <<<"$man" || fail "ebs-host(1) does not mention the option '$option'"
done

# The SIDs of the instance table: names only, never a word that the shell would expand or a
# comment; and no program run, not even an ebs-host in the current directory.
cat >"$scratch/oratab" <<'ORATAB'
# PROD:/comment:N
PROD:/u01/app/oracle/19.0.0:N
TEST:/u01/app/oracle/19.0.0:Y
$(touch SCRATCH/expanded):/x:N
`touch SCRATCH/expanded`:/x:N
*:/wildcard:N
ORATAB
sed -i "s|SCRATCH|$scratch|" "$scratch/oratab"
printf '#!/bin/sh\ntouch %s/ran\n' "$scratch" >"$scratch/ebs-host"
chmod +x "$scratch/ebs-host"
sids=$(cd "$scratch" && EBS_HOST_ORATAB=$scratch/oratab typed=./ebs-host complete_words discover --sid "" |
  sort | tr '\n' ' ')
[ "$sids" = "PROD TEST " ] || fail "--sid offers '$sids', not the SIDs PROD TEST of the instance table"
(cd "$scratch" && typed=./ebs-host complete_words apps "" >/dev/null)
[ ! -e "$scratch/expanded" ] || fail "the completion expanded a word of the instance table"
[ ! -e "$scratch/ran" ] || fail "the completion ran ./ebs-host"
EBS_HOST_ORATAB=$scratch/missing complete_words discover --sid "" | grep . >/dev/null &&
  fail "a missing instance table gives SIDs"

# Exit statuses: the rows of the README's table ("| 0 | ..." or "| 129, 130, 143 | ...").
statuses=$(sed -n '/^| exit status | meaning |$/,/^$/p' "$source/README.md" | sed -n 's/^| \([0-9][0-9, ]*\) |.*/\1/p')
[ -n "$statuses" ] || fail "no exit status table found in README.md"
exit_section=$(sed -n '/^\.SH EXIT STATUS$/,/^\.SH /p' <<<"$man")
while read -r status; do
  grep -qxF ".B $status" <<<"$exit_section" ||
    fail "ebs-host(1) EXIT STATUS lacks '$status' of the README's table (docs/man/ebs-host.1.in)"
done <<<"$statuses"

[ "$failures" = 0 ] && echo "docs test: all passed"
exit $((failures > 0))
