#!/usr/bin/env bash
# The crash test: vigilo killed with SIGKILL at random moments while its
# settings file is written, 300 times; after every kill the file must be
# whole and hold the last acknowledged settings (or the ones in flight), and
# a temporary file a kill left must go at the next save. About 8 minutes;
# bounded at 30. Uses the plain build that scripts/test made, brought up to
# date.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --build build --target vigilo_crash
timeout 1800 build/tests/service/vigilo_crash 300
