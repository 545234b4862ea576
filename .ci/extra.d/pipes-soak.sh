#!/usr/bin/env bash
# 100000 sequential pipe exchanges must leave the server's descriptors as they
# were. Uses the plain build that scripts/test made.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ -x build/bench/soak_pipefds ] || cmake --build build --target soak_pipefds
build/bench/soak_pipefds 100000
