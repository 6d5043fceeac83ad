#!/usr/bin/env bash
# Two qms32srv instances sharing one store behind HAProxy, on the loopback network
# (docs/scale-out.md): mail through the balancer with one instance killed mid-run, the
# POP3 mailbox lock across instances, FTP and HTTP on the shared roots. Prints figures;
# exit status 0 when every check passed. Takes a few minutes.
#
# Installs Debian's haproxy when it is missing, without starting its system service; the
# check runs its own HAProxy with a temporary configuration on 127.0.0.2 high ports and
# stops it by PID. Builds the programs it needs unless QMS_NO_BUILD=1.
# Environment: QMS_BUILD_DIR (default build/release).
# Usage: scripts/ops/scaleout-check.sh [--messages N] [--clients C] [--keep]
set -euo pipefail
src="$(cd "$(dirname "$0")/../.." && pwd)"
export QMS_BUILD_DIR="${QMS_BUILD_DIR:-$src/build/release}"

install_haproxy() {
  command -v haproxy >/dev/null && return 0
  echo "Installing haproxy (its service is not started)"
  local policy=/usr/sbin/policy-rc.d own_policy=0
  if [[ ! -e "$policy" ]]; then
    # The Debian way to keep maintainer scripts from starting services.
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 0755 "$policy"
    own_policy=1
  fi
  local rc=0
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends haproxy \
    >/dev/null || { apt-get update -q >/dev/null && \
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends haproxy \
      >/dev/null; } || rc=$?
  [[ $own_policy == 1 ]] && rm -f "$policy"
  return $rc
}

install_haproxy
if [[ "${QMS_NO_BUILD:-0}" != 1 ]]; then
  if [[ ! -f "$QMS_BUILD_DIR/build.ninja" && "$QMS_BUILD_DIR" == "$src/build/release" ]]; then
    (cd "$src" && cmake --preset release >/dev/null)
  fi
  cmake --build "$QMS_BUILD_DIR" --target qms32srv qms32 qms32cgi
fi
exec nice -n 10 python3 "$src/scripts/ops/scaleout.py" "$@"
