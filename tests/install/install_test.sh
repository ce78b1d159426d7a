#!/usr/bin/env bash
# An installation as a user makes it: `cmake --install` into a scratch DESTDIR under a prefix of
# its own, the installed files, and which plug-in the installed ebs-host loads (and refuses to
# load) without --plugin.
#   install_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd) version=$2
scratch=$(mktemp -d /tmp/ebs-install-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
chmod 0755 "$scratch"
prefix=/opt/ebs-test
root=$scratch/root$prefix
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

DESTDIR=$scratch/root cmake --install "$build" --prefix "$prefix" >/dev/null

# The file list, exactly: nothing missing, nothing that an installation must not carry.
expected="bin/ebs-host
include/EnterpriseApps.h
lib/ebs-host/libEnterpriseApps.so
share/bash-completion/completions/ebs-host
share/doc/ebs-host/CHANGELOG.md
share/doc/ebs-host/README.md
share/doc/ebs-host/changelog.gz
share/doc/ebs-host/copyright
share/doc/ebs-host/discovery.md
share/doc/ebs-host/first-discovery.md
share/doc/ebs-host/examples/ebs-host-diff@.service
share/doc/ebs-host/examples/ebs-host-diff@.timer
share/doc/ebs-host/message-format.md
share/lintian/overrides/ebs-host
share/man/man1/ebs-host.1.gz"
actual=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$(LC_ALL=C sort <<<"$expected")" ] ||
  fail "installed files differ from the list: $(diff <(LC_ALL=C sort <<<"$expected") - <<<"$actual" | grep '^[<>]' | tr '\n' ' ')"

unset EBS_HOST_PLUGIN
export EBS_HOST_LOG=$scratch/host.log EBS_HOST_STORE=$scratch/store.db
installed=$root/bin/ebs-host plugin=$root/lib/ebs-host/libEnterpriseApps.so
envelope=$scratch/peoplesoft.xml
printf '<m g="22" n="506"><i x="1">2</i><s x="2"><![CDATA[<m g="22" n="505"><i x="1">2</i></m>]]></s></m>' \
  >"$envelope"

# check NAME EXPECTED-VERSION-LINE COMMAND...: --version of COMMAND names the plug-in it would load.
check() {
  local name=$1 want=$2 got
  shift 2
  got=$("$@" --version 2>&1) || true
  [ "$got" = "$want" ] || fail "$name: --version printed '$got', not '$want'"
}
# Each row: which plug-in the program finds, and why.
# The installed program finds the installed plug-in by its own location.
check "installed" "ebs-host $version, plug-in $version at $plugin" "$installed"
# EBS_HOST_PLUGIN comes before the installed plug-in.
check "EBS_HOST_PLUGIN" "ebs-host $version, plug-in $version at $build/src/libEnterpriseApps.so" \
  env EBS_HOST_PLUGIN="$build/src/libEnterpriseApps.so" "$installed"
# --plugin comes before EBS_HOST_PLUGIN.
check "--plugin" "ebs-host $version, plug-in at /nonexistent cannot be read" \
  env EBS_HOST_PLUGIN="$build/src/libEnterpriseApps.so" "$installed" --plugin /nonexistent
# A link to the program elsewhere: the program's real location counts, not the link's.
mkdir -p "$scratch/elsewhere/bin" && ln -s "$installed" "$scratch/elsewhere/bin/ebs-host"
check "link" "ebs-host $version, plug-in $version at $plugin" "$scratch/elsewhere/bin/ebs-host"
# A made-up argv[0] does not lead it astray either.
check "argv[0]" "ebs-host $version, plug-in $version at $plugin" \
  bash -c 'exec -a /usr/bin/ebs-host "$0" "$@"' "$installed"
# The build tree's program finds the build tree's plug-in.
check "build tree" "ebs-host $version, plug-in $version at $build/src/libEnterpriseApps.so" \
  "$build/tools/ebs-host/ebs-host"

# A refused request answered by the installed plug-in, named by nobody.
out=$("$installed" --json request "$envelope") && status=0 || status=$?
[ "$status" = 1 ] || fail "refused request: exit status $status, not 1: $out"
grep -q '"result": -1' <<<"$out" || fail "refused request: no result -1 in $out"

# Places another account could swap the library: refused, and never replaced by the build tree's.
refused() { # name, reason expected in the error
  local out status
  check "$1" "ebs-host $version, no plug-in found" "$installed"
  out=$("$installed" request "$envelope" 2>&1) && status=0 || status=$?
  [ "$status" = 3 ] || fail "$1: exit status $status, not 3: $out"
  grep -qF -- "$2" <<<"$out" || fail "$1: the error does not say '$2': $out"
}
# The plug-in's directory writable by its group.
chmod g+w "$root/lib/ebs-host"
refused "group-writable directory" "$root/lib/ebs-host is writable by other accounts"
chmod g-w "$root/lib/ebs-host"
if [ "$(id -u)" = 0 ]; then
  # The plug-in belonging to another account.
  chown nobody "$plugin"
  refused "another account's plug-in" "$plugin belongs to user id $(id -u nobody)"
  chown 0 "$plugin"
  # A directory above it belonging to another account.
  chown nobody "$scratch/root/opt"
  refused "another account's directory" "$scratch/root/opt belongs to user id $(id -u nobody)"
  chown 0 "$scratch/root/opt"
fi
# No plug-in installed: the installed program does not fall back to the build tree's.
rm "$plugin"
refused "missing plug-in" "$plugin: not there"

[ "$failures" = 0 ] && echo "install test: all passed"
exit $((failures > 0))
