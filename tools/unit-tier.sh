#!/usr/bin/env bash
# Runs the unit tier of the tests (ctest label `unit`: no root, no su, no other account, no
# network) as the unprivileged account nobody, so that a test of the tier that needs root fails
# here rather than passing by the privileges of whoever runs the suite.
#   tools/unit-tier.sh BUILD_DIR [CTEST_OPTION...]    e.g. -R message_test, -j2
#   tools/unit-tier.sh --can-run BUILD_DIR            only says (exit status 0 or 2) whether it can
# Run as root. The account gets a private directory of its own, mode 0700, as TMPDIR and HOME;
# the build tree is only read. ctest writes its logs beside its test files, so those files are
# copied into that directory and ctest runs there; the tests' programs stay in BUILD_DIR.
# Exit status: ctest's; 2 when not run as root, or BUILD_DIR has no tests or nobody cannot read it.
set -euo pipefail
check_only=
if [ "${1:-}" = --can-run ]; then check_only=1; shift; fi
build=${1:?usage: tools/unit-tier.sh BUILD_DIR [CTEST_OPTION...]}
shift
build=$(cd "$build" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "tools/unit-tier.sh: run as root (it switches to the account nobody)" >&2
  exit 2
fi
if [ ! -f "$build/CTestTestfile.cmake" ]; then
  echo "tools/unit-tier.sh: $build has no tests; configure it with -DEBS_TESTS=ON and build it" >&2
  exit 2
fi
uid=$(id -u nobody) gid=$(id -g nobody)
if ! setpriv --reuid="$uid" --regid="$gid" --clear-groups test -r "$build/CTestTestfile.cmake"; then
  echo "tools/unit-tier.sh: the account nobody cannot read $build; make it and the directories" \
    "above it readable and searchable by others (chmod o+rx DIR)" >&2
  exit 2
fi
[ -z "$check_only" ] || exit 0
home=$(mktemp -d /tmp/ebs-unit.XXXXXX)
trap 'rm -rf "$home"' EXIT
(cd "$build" && find . -name CTestTestfile.cmake -print0 | xargs -0 cp --parents -t "$home")
chown -R "$uid:$gid" "$home"
chmod 0700 "$home"
status=0
# A fresh environment, a session of its own and its output through a pipe: nothing of root's (its
# HOME, its tools' settings, its terminal) reaches the account.
env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$home" TMPDIR="$home" LANG=C.UTF-8 \
  setsid --wait setpriv --reuid="$uid" --regid="$gid" --clear-groups \
  ctest --test-dir "$home" -L unit --output-on-failure "$@" </dev/null 2>&1 | cat || status=$?
exit $status
