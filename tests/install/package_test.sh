#!/usr/bin/env bash
# The Debian package as `./run package` makes it, made into a scratch directory: its control fields
# (name, version, maintainer, description, Depends computed from the binaries) and its contents.
# lintian, when installed, must find no error or warning. Skipped (77) without dpkg-deb.
#   package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd) version=$2
if ! command -v dpkg-deb >/dev/null || ! command -v dpkg-shlibdeps >/dev/null; then
  echo "skipped: dpkg-deb or dpkg-shlibdeps (package dpkg-dev) is not installed"
  exit 77
fi
scratch=$(mktemp -d /tmp/ebs-package-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" >cpack.log 2>&1) ||
  { cat "$scratch/cpack.log" >&2; exit 1; }
deb=$scratch/ebs-host_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { fail "no $deb; cpack made: $(ls "$scratch")"; exit 1; }

info=$(dpkg-deb -I "$deb")
field() { sed -n "s/^ $1: //p" <<<"$info"; }
# Each row: a control field and what it must hold.
while IFS='|' read -r name pattern why; do
  value=$(field "$name") pattern=${pattern//VERSION/$version}
  grep -Eq -- "$pattern" <<<"$value" || fail "$name is '$value': $why"
done <<'ROWS'
Package|^ebs-host$|the name that `apt install ebs-host` finds
Version|^VERSION$|the version of project(VERSION), as ebs-host --version prints it
Maintainer|^[^<]+ <[^>]+@[^>]+>$|a name and an address
Description|^EBS enterprise-applications plug-in|the one-line synopsis
Depends|libxerces-c3|the Xerces runtime that the plug-in links, found by shlibdeps
Depends|libsqlite3-0|the SQLite runtime
Depends|libstdc\+\+6 \(>=|the C++ runtime, with the version the binaries need
Architecture|^[a-z0-9]+$|a binary package
Recommends|^(.*, )?man-db(,.*)?$|`man ebs-host` needs man-db, which a minimal system lacks
Suggests|^(.*, )?bash-completion(,.*)?$|the completion is loaded by bash-completion
Suggests|^(.*, )?graphviz(,.*)?$|`--format svg` runs Graphviz's dot
ROWS

# Purge removes the plug-in's temporary directory, with the lock and a killed run's directory in
# it; a plain removal keeps it. The package's postrm runs against a scratch root (DPKG_ROOT).
dpkg-deb -e "$deb" "$scratch/control"
if [ ! -x "$scratch/control/postrm" ]; then
  fail "the package has no executable postrm"
else
  # Each row: the postrm's argument, and whether /var/lib/ebs-host/tmp is left.
  while read -r action left; do
    root=$scratch/root-$action
    mkdir -p "$root/var/lib/ebs-host/tmp/NqEBSRun.x1Y2z3/sub"
    : >"$root/var/lib/ebs-host/tmp/NqEBSDiscover.lock"
    ln -s /etc "$root/var/lib/ebs-host/tmp/NqEBSRun.x1Y2z3/sub/out"  # not followed
    DPKG_ROOT=$root sh "$scratch/control/postrm" "$action" || fail "postrm $action failed"
    if [ -e "$root/var/lib/ebs-host/tmp" ]; then now=yes; else now=no; fi
    [ "$now" = "$left" ] || fail "after postrm $action, /var/lib/ebs-host/tmp left: $now, want $left"
  done <<'ROWS'
purge no
remove yes
upgrade yes
ROWS
fi

# The contents: the programs, the docs, the manual page compressed, the completion.
contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
for path in ./usr/bin/ebs-host ./usr/lib/ebs-host/libEnterpriseApps.so ./usr/include/EnterpriseApps.h \
  ./usr/share/man/man1/ebs-host.1.gz ./usr/share/bash-completion/completions/ebs-host \
  ./usr/share/doc/ebs-host/copyright ./usr/share/doc/ebs-host/changelog.gz \
  ./usr/share/doc/ebs-host/CHANGELOG.md ./usr/share/doc/ebs-host/README.md; do
  grep -qxF -- "$path" <<<"$contents" || fail "the package lacks $path"
done
# The packaged plug-in carries this version in its mark.
dpkg-deb -x "$deb" "$scratch/tree"
grep -qaF "@(#)libEnterpriseApps $version" "$scratch/tree/usr/lib/ebs-host/libEnterpriseApps.so" ||
  fail "the packaged plug-in does not carry the version mark of $version"

if command -v lintian >/dev/null; then
  tags=$(lintian --no-tag-display-limit "$deb" 2>/dev/null | grep -E '^[EW]: ' || true)
  [ -z "$tags" ] || fail "lintian reports: $tags"
fi

[ "$failures" = 0 ] && echo "package test: all passed"
exit $((failures > 0))
