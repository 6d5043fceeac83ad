#!/usr/bin/env bash
# ThreadSanitizer run (too long for CI): builds the programs of the "tsan" preset (gcc,
# -fsanitize=thread, build/tsan; the Qt manager is left out, its Qt is not instrumented)
# and runs the process-level tests that exercise concurrency against them: parallel
# sessions of every protocol, delivery passes beside SMTP sessions, statistics updates,
# configuration reloads, remote console links, FTP and HTTP load, faults and bursts of
# connections. Every report of a race goes to a file of its own (TSAN_OPTIONS log_path);
# the script prints each report's kind and first frames and fails when there is any.
# bench/tsan.supp lists what is suppressed (only code outside this project).
# Environment: TSAN_TESTS (names of tests/e2e files, without .py), QMS_NO_BUILD=1.
# Usage: bench/tsan.sh [REPORT_DIR]   (default build/tsan/reports)
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
build="$src/build/tsan"
reports="$(realpath -m "${1:-$build/reports}")"
tests="${TSAN_TESTS:-test_core test_smtp test_delivery test_pop3 test_imap4 test_admin test_ftp \
test_http test_http_apps test_tls test_faults test_load}"

if [[ "${QMS_NO_BUILD:-0}" != 1 ]]; then
  if [[ ! -f "$build/build.ninja" ]]; then
    (cd "$src" && cmake --preset tsan -DQMS_WITH_MANAGER=OFF >/dev/null)
  fi
  cmake --build "$build" --target qms32srv qms32 qms32cgi qms32con qmsexample qmsadmclient \
    qms32srv-echo qmstestplugin
fi

rm -rf "$reports"
mkdir -p "$reports"
# halt_on_error=0: a race is reported and the run goes on, so one run collects them all;
# the process exits with 66 at its end so that a test noticing the exit code fails too.
export TSAN_OPTIONS="log_path=$reports/tsan:halt_on_error=0:exitcode=66:second_deadlock_stack=1:history_size=4:suppressions=$src/bench/tsan.supp"
status=0
start=$(date +%s)
cd "$src/tests/e2e"
for t in $tests; do
  t0=$(date +%s)
  if QMS_BUILD_DIR="$build" QMS_SOURCE_DIR="$src" timeout 1800 python3 -m unittest "$t" \
      >"$reports/$t.out" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  echo "$t: $result ($(( $(date +%s) - t0 )) s)"
done
echo "tests ran $(( $(date +%s) - start )) s"

shopt -s nullglob
files=("$reports"/tsan.*)
if ((${#files[@]})); then
  status=1
  echo "${#files[@]} process(es) reported races (files in $reports):"
  for f in "${files[@]}"; do
    echo "--- $f"
    # Each report's kind and the first frames of its two accesses.
    grep -E "^WARNING: ThreadSanitizer|^  (Write|Read|Previous|Atomic|Mutex)|^    #[0-2] " "$f" \
      | head -40
  done
else
  echo "no ThreadSanitizer reports"
fi
for t in $tests; do
  grep -q "^OK" "$reports/$t.out" || { echo "--- $t output (tail)"; tail -30 "$reports/$t.out"; }
done
exit $status
