#!/usr/bin/env bash
# The plug-in at work through ebs-host, in a sandbox of its own (store, log and temporary
# directory under a fresh directory that is removed afterwards).
set -euo pipefail
build=${1:-build}
host="$build/tools/ebs-host/ebs-host"
sandbox=$(mktemp -d /tmp/ebs-demo.XXXXXX)
trap 'rm -rf "$sandbox"' EXIT
export EBS_HOST_STORE="$sandbox/store.db" EBS_HOST_LOG="$sandbox/host.log"
export EBS_HOST_TEMP_DIR="$sandbox/tmp"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() { printf '$ ebs-host %s\n' "$*"; "$host" "$@" || printf '(exit status %d)\n' "$?"; }

envelope() { # appType, inner text (carried in a CDATA section, so it needs no escaping)
  printf '<m g="22" n="506"><i x="1">%s</i><s x="2"><![CDATA[%s]]></s></m>' "$1" "$2"
}

step "An unknown application type is refused (error code 1, result -1)"
envelope 7 '<m g="22" n="505"><i x="1">2</i></m>' > "$sandbox/unknown.xml"
show --json request "$sandbox/unknown.xml"

step "A PeopleSoft request is refused, its inner text comes back unchanged"
envelope 2 '<m g="22" n="505"><i x="1">2</i></m>' > "$sandbox/peoplesoft.xml"
show request "$sandbox/peoplesoft.xml"

step "An Oracle EBS request without a message type: error 520 from the worker"
envelope 1 '<m g="22" n="505"><o x="2"><m g="22" n="504"><s x="1">12.2.10</s></m></o></m>' \
  > "$sandbox/notype.xml"
show --json request "$sandbox/notype.xml"

step "Clients registered in the managing server's store, and listed from it"
show clients add --name ebsdb01 --host ebsdb01.example.com --hive 1
show clients add --name ebsapp01 --host ebsapp01.example.com --host ebsapp01-vip.example.com --hive 1
show clients list

step "The log of these requests ($EBS_HOST_LOG)"
cut -c1-200 "$EBS_HOST_LOG"
