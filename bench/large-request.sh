#!/usr/bin/env bash
# Peak memory and time of `ebs-host request` on one hostile envelope as large as the message
# reader takes: escaped markup with password elements at three levels of escaping, so that the
# redaction of the answer has every level to decode.
#   bench/large-request.sh BUILD_DIR [MEGABYTES] [APP_TYPE]
# MEGABYTES defaults to 250, APP_TYPE to 1 (Oracle EBS: the worker reads the inner text); 2 is a
# PeopleSoft request, refused at once and echoed. Prints /usr/bin/time's figures; the goal is a
# peak of at most three times the request plus 64 MiB. Needs /usr/bin/time (package time).
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 3 ] || { echo "usage: bench/large-request.sh BUILD_DIR [MEGABYTES] [APP_TYPE]" >&2; exit 2; }
build=$1 megabytes=${2:-250} type=${3:-1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chunk='&lt;pw x="1"&gt;s3cret&lt;/pw&gt; &amp;lt;pw&amp;gt;x&amp;lt;/pw&amp;gt; &amp;amp;#60;b&gt; '
{
  printf '<m g="22" n="506"><i x="1">%s</i><s x="2">' "$type"
  (yes "$chunk" || true) | head -n $(((megabytes * 1000 * 1000 - 60) / (${#chunk} + 1)))
  printf '</s></m>'
} >"$work/request.xml"
echo "request: $(stat -c %s "$work/request.xml") bytes" >&2
HOME=$work EBS_HOST_LOG_LEVEL=debug EBS_HOST_PLUGIN="$build/src/libEnterpriseApps.so" \
  /usr/bin/time -v "$build/tools/ebs-host/ebs-host" request "$work/request.xml" \
  2>"$work/time" >"$work/answer" || true
echo "answer shown: $(stat -c %s "$work/answer") bytes" >&2
grep -E "Maximum resident|Elapsed|User time|System time|Exit status" "$work/time"
