#!/usr/bin/env bash
# Installs what is missing, builds, stages the site in ./site (or $1) and starts the launcher
# in it in the foreground. Stop it with Alt+X, a ".shutdown" file in the site, or Ctrl-C.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
site="${1:-$src/site}"
"$src/scripts/install-deps.sh"
"$src/scripts/build.sh" release
QMS_NO_BUILD=1 "$src/scripts/stage-site.sh" "$site"
cd "$site"
exec ./qms32
