#!/usr/bin/env bash
# Fuzzes the request handling of both pipe endpoints for about 30 seconds with
# libFuzzer (clang, AddressSanitizer + UndefinedBehaviorSanitizer); fails on a
# crash, a sanitizer finding or a request left without a proper answer.
set -euo pipefail
cd "$(dirname "$0")/../.."
builddir=build-fuzz
.ci/fuzz-build pipe_request_fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
# Seeds: the first byte picks the pipe (odd: control, even: info).
seed() { printf "$2" > "$work/corpus/$1"; head -c "$3" /dev/zero >> "$work/corpus/$1"; }
seed stats '\000REQGETSTATS' 17
seed get '\001REQGETCONFIG' 16
seed set '\001REQSETCONFIG\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\003\000\000\000abc' 0
seed short '\000REQGETSTATS' 10
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
TMPDIR="$work" "$builddir/pipes/fuzz/pipe_request_fuzz" -max_total_time=30 -max_len=16385 \
  -timeout=20 -print_final_stats=1 -artifact_prefix="$builddir/" "$work/corpus"
