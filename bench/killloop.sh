#!/usr/bin/env bash
# The long form of the kill test: the server killed with SIGKILL at random moments while
# clients send and delivery passes store mail, ROUNDS times (default 50); then one clean
# run delivers what is queued, and every message a client saw accepted must be in its
# mailbox exactly once, with no partial or temporary file left.
# Usage: bench/killloop.sh [ROUNDS] [BUILD_DIR]
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
rounds="${1:-50}"
build="$(realpath "${2:-$src/build/release}")"
cmake --build "$build" --target qms32srv qms32
cd "$src/tests/e2e"
start=$(date +%s)
QMS_KILL_ROUNDS="$rounds" QMS_BUILD_DIR="$build" QMS_SOURCE_DIR="$src" \
  python3 -m unittest -v test_faults.KillDuringDeliveryTest
echo "kill loop: $rounds rounds in $(( $(date +%s) - start )) s"
