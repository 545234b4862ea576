#!/usr/bin/env bash
# 100000 sequential pipe exchanges must leave the server's descriptors as they
# were. Uses the plain build that scripts/test made, brought up to date.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --build build --target soak_pipefds
build/bench/soak_pipefds 100000
