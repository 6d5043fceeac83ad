#!/usr/bin/env bash
# Installs what is missing, builds the release and the sanitizer (ASan+UBSan) configurations
# and runs the tests: unit tests in both, the process-level tests (tests/e2e) against the
# sanitizer build, where a memory fault in a running server shows up. Exits non-zero when any
# test fails.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
cd "$src"
scripts/install-deps.sh --tests
jobs="$(nproc)"
status=0
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "=== release build"
scripts/build.sh release
echo "=== release unit tests"
ctest --test-dir build/release --output-on-failure -j "$jobs" -E '^e2e\.' || status=1

echo "=== asan build"
scripts/build.sh asan
echo "=== asan tests (unit and process-level)"
# Process-level tests mostly wait on servers starting and stopping: run more of them at once.
ctest --test-dir build/asan --output-on-failure -j $((jobs * 2)) || status=1
exit $status
