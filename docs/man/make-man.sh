#!/usr/bin/env bash
# Writes the manual page ebs-host(1) to standard output: its commands and options from the --help
# of the program itself (every command and every command under it), so that they stay those of
# the program, followed by the hand-written sections of ebs-host.1.in (environment, files, exit
# statuses, examples).
#   make-man.sh EBS_HOST VERSION HANDWRITTEN
set -euo pipefail
host=$1 version=$2 handwritten=$3

# The help of one command, as ebs-host prints it, with the program named as it is installed.
help() { "$host" "$@" --help | sed "s|^Usage: [^ ]*|Usage: ebs-host|"; }

# The names listed in the "Commands:" section of a help text.
subcommands() { awk '$0 == "Commands:" { on = 1; next } /^[^ ]/ { on = 0 } on && /^  [^ ]/ { print $1 }'; }

# Roff: backslashes and minus signs escaped, no line taken for a request.
roff() { sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^[.']/\\\\\&&/"; }

# A command's section: its one-line description, then the rest of its help as it stands.
section() {
  local text
  text=$(help "$@")
  printf '.SS "%s"\n' "$*"
  sed -n '1p' <<<"$text" | roff
  printf '.PP\n.nf\n'
  # (where the global options go is said once, under DESCRIPTION)
  sed -e '1d' -e '/^The global options of /d' <<<"$text" | roff
  printf '.fi\n'
}

top=$(help)
cat <<HEAD
.TH EBS-HOST 1 "" "ebs-host $version" "User Commands"
.SH NAME
ebs-host \\- load the EBS enterprise-applications plug-in and call it as the platform does
.SH SYNOPSIS
.B ebs-host
[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fICOMMAND-OPTIONS\\fR]
.br
.B ebs-host
\\-\\-version | \\-\\-help
.SH DESCRIPTION
HEAD
cat <<'BODY'
Requests go to the plug-in library \fIlibEnterpriseApps.so\fR through its one entry point, exactly
as the platform's host process calls it: a raw request envelope, or a discovery, save or delete of
an Oracle E-Business Suite instance. The managing server's clients and virtual apps are kept in a
store of ebs-host's own, which
.B clients
and
.B apps
read and change, and
.B diff
compares a saved app with the live instance. Every command takes the options below before or
after its name;
.B \-\-json
makes its output one JSON document with a fixed set of keys, also when it fails (the keys of each
command are listed in README.md).
.SH OPTIONS
.nf
BODY
sed '1,/^Options:$/d; /^$/,$d' <<<"$top" | roff
printf '.fi\n.SH COMMANDS\n'
for command in $(subcommands <<<"$top"); do
  section "$command"
  for sub in $(help "$command" | subcommands); do section "$command" "$sub"; done
done
cat "$handwritten"
