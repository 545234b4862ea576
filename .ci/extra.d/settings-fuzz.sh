#!/usr/bin/env bash
# Fuzzes the settings reader for about 30 seconds with libFuzzer (clang,
# AddressSanitizer + UndefinedBehaviorSanitizer): profile files and the
# service's settings; load, save and load again must give the same settings.
# Fails on a crash, a sanitizer finding or settings that do not come back.
set -euo pipefail
cd "$(dirname "$0")/../.."
builddir=build-fuzz
.ci/fuzz-build settings_fuzz

# On tmpfs where there is one: every save syncs the file to disk.
work=$(mktemp -d -p "$([ -d /dev/shm ] && [ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
printf '[General]\r\nLogDetailed=1\r\nDataCheckTime=7200\r\nExactTime=08:00 12:30\r\nLastCheckAt=10/12/2026 08:00:05\r\nLastReportAt=10/12/2026 08:00:06\r\nTrackedChains=2\r\n[Alarms]\r\nExcludeSundays=0\r\nLastSentOutAt=30/12/1899\r\nAlarmMailAddr=ops@example.test\r\nAlarmMailBody="Bonjour,","voici les magasins"\r\nAlarmMailDefault=0\r\nAlarmMailSmtpHost=127.0.0.1\r\nAlarmMailSmtpPort=2525\r\nUseEmail=1\r\n[Chain00]\r\nTrackedChain=Boutiques\r\nShouldCheck=1\r\nDaysNoCheck=67\r\n[Chain01]\r\nTrackedChain=" Centre "\r\nShouldCheck=0\r\nDaysNoCheck=\r\n' >"$work/corpus/full"
printf '; comment\n[general]\nexacttime = 23:59:59 0:0\ntrackedchains=0x1\n[chain00]\ntrackedchain=\x27quoted\x27\n[Other]\nKey=Value\r' >"$work/corpus/loose"
printf '[General]\nExactTime=25:00\n' >"$work/corpus/badtime"
printf '[General]\r\nLastCheckAt=1/2/0001 0:00:01\r\nTrackedChains=-1\r\n' >"$work/corpus/dates"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
TMPDIR="$work" "$builddir/common/fuzz/settings_fuzz" -max_total_time=30 -max_len=8192 \
  -timeout=20 -print_final_stats=1 -artifact_prefix="$builddir/" "$work/corpus"
