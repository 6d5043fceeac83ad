#!/usr/bin/env bash
# Operations checks that take minutes and need more than the test suite: the Debian package
# (built, installed, upgraded and purged in a fresh Debian 12 chroot) and several servers
# sharing one store behind HAProxy. Run as root. Usage: scripts/ops-check.sh [package|scaleout]...
# With no argument both run. Exits non-zero when any check fails.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=(package scaleout)
status=0
for check in "${checks[@]}"; do
  script="$src/scripts/ops/$check-check.sh"
  if [ ! -x "$script" ]; then
    echo "ops-check: no such check: $check" >&2
    status=1
    continue
  fi
  echo "=== ops check: $check"
  if "$script"; then echo "=== $check: passed"; else echo "=== $check: FAILED"; status=1; fi
done
exit $status
