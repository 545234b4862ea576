#!/usr/bin/env bash
# Every tracked C++ source is laid out as .clang-format says, so that the
# layout stays one; `clang-format -i` on a file mends what this reports.
set -euo pipefail
cd "$(dirname "$0")/../.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
