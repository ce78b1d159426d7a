#!/usr/bin/env bash
# The manual page and the bash completion against the program: every command and command under
# it that `ebs-host --help` lists has its section in ebs-host(1) and is offered by the completion,
# every global option is in both, and every exit status of the README's table is in the manual
# page's EXIT STATUS. A failure names what is missing and where.
#   docs_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd) source=$(cd "$2" && pwd)
host=$build/tools/ebs-host/ebs-host
man=$(gzip -dc "$build/docs/man/ebs-host.1.gz")
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

section() { # the names in a section of `ebs-host WORDS... --help`
  local name=$1
  shift
  "$host" "$@" --help | awk -v s="$name:" '$0 == s { on = 1; next } /^[^ ]/ { on = 0 }
    on && /^  [^ ]/ { n = split($1, names, ","); for (i = 1; i <= n; i++) print names[i] }'
}

# What the completion offers for the words typed so far (the last one being completed).
# shellcheck source=/dev/null
source "$source/contrib/bash-completion/ebs-host"
compopt() { :; }  # only a completion in progress has options
complete_words() {
  COMP_WORDS=("$host" "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _ebs_host
  printf '%s\n' "${COMPREPLY[@]}"
}
# (grep reads the whole list: with -q it could stop early and fail the pipeline by SIGPIPE.)

commands=$(section Subcommands)
[ -n "$commands" ] || fail "ebs-host --help lists no commands: its format changed?"
for command in $commands; do
  grep -qxF ".SS \"$command\"" <<<"$man" ||
    fail "ebs-host(1) has no section for the command '$command' (docs/man/make-man.sh)"
  complete_words "" | grep -xF -- "$command" >/dev/null ||
    fail "the completion does not offer the command '$command' (contrib/bash-completion/ebs-host)"
  for sub in $(section Subcommands "$command"); do
    grep -qxF ".SS \"$command $sub\"" <<<"$man" ||
      fail "ebs-host(1) has no section for the command '$command $sub'"
    complete_words "$command" "" | grep -xF -- "$sub" >/dev/null ||
      fail "the completion does not offer '$sub' after '$command'"
  done
  # The command's own options, also after a global option that takes a value.
  for option in $(section Options "$command"); do
    complete_words --log x "$command" - | grep -xF -- "$option" >/dev/null ||
      fail "the completion does not offer '$option' after '--log x $command'"
  done
done

for option in $(section Options); do
  grep -qF -- "${option//-/\\-}" <<<"$man" || fail "ebs-host(1) does not mention the option '$option'"
  complete_words - | grep -xF -- "$option" >/dev/null || fail "the completion does not offer the option '$option'"
done

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
