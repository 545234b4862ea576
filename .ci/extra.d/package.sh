#!/usr/bin/env bash
# The whole system from its Debian package: built, installed on this machine,
# checked, driven through the installed control program under Xvfb, purged.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps
scripts/start-services
deb=$(scripts/package)
# SIGINT first, so that the test still purges what it installed.
timeout --signal=INT --kill-after=120 600 \
  xvfb-run -a -s "-screen 0 1280x1024x24" /usr/bin/python3 tests/package/system_test.py "$deb"
