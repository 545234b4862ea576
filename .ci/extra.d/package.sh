#!/usr/bin/env bash
# The whole system from its Debian package: built, checked by lintian and
# systemd-analyze, installed on this machine over the package of 1.0.0.1,
# upgraded, run in the unit's sandbox, driven through the installed control
# program under Xvfb, purged.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps
scripts/start-services
deb=$(scripts/package)

# lintian: no error, and no warning but those the README argues for.
allowed='maintainer-script-calls-start-stop-daemon'
findings=$(lintian --tag-display-limit 0 "$deb" | grep -E '^[EW]: ' || true)
echo "$findings"
if echo "$findings" | grep -v -E "^W: vigilo: ($allowed) " | grep -q .; then
  echo "lintian: errors or warnings the README does not argue for" >&2
  exit 1
fi

# The unit's sandbox: an exposure of at most 5.0.
unit=$(mktemp -d)/vigilo.service
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/vigilo.service >"$unit"
exposure=$(systemd-analyze security --offline=yes "$unit" | sed -n 's/.*Overall exposure level for vigilo.service: \([0-9.]*\).*/\1/p')
rm -rf "$(dirname "$unit")"
echo "systemd-analyze security: exposure $exposure (goal: at most 5.0)"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 5.0) }'

# The package of 1.0.0.1, built from its commit, for the upgrade.
old=build-package/old/vigilo_1.0.0.1_amd64.deb
if [ ! -e "$old" ]; then
  src=$(mktemp -d)
  git archive 00adce0 | tar -x -C "$src"
  (cd "$src" && scripts/package >&2)
  mkdir -p build-package/old
  cp "$src"/build-package/vigilo_1.0.0.1_amd64.deb "$old"
  rm -rf "$src"
fi

# SIGINT first, so that the test still purges what it installed.
timeout --signal=INT --kill-after=120 900 \
  xvfb-run -a -s "-screen 0 1280x1024x24" /usr/bin/python3 tests/package/system_test.py "$deb" "$old"
