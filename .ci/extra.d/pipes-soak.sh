#!/usr/bin/env bash
# 100000 sequential pipe exchanges must leave the server's descriptors as they
# were. Uses the plain build that scripts/test made.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ -x build/pipes/bench/pipe_fd_soak ] || cmake --build build --target pipe_fd_soak
build/pipes/bench/pipe_fd_soak 100000
