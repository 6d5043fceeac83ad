#!/usr/bin/env bash
# Installs what is missing, builds the release and the sanitizer (ASan+UBSan) configurations
# and runs every test in both. Exits non-zero when any test fails.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
cd "$src"
scripts/install-deps.sh --tests
jobs="$(nproc)"
status=0
for preset in release asan; do
  echo "=== $preset build"
  scripts/build.sh "$preset"
  echo "=== $preset tests"
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir "build/$preset" --output-on-failure -j "$jobs" || status=1
done
exit $status
