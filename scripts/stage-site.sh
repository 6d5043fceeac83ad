#!/usr/bin/env bash
# Lays out a complete installation directory ("site") in DIR:
#   DIR/qms32                      launcher
#   DIR/binaries/qms32srv          server (and qms32cgi when built)
#   DIR/utilities/                 consoles (when built)
#   DIR/documentation/             shipped defaults, installed by the server at first start
#   DIR/log/  DIR/tmp/             logs and temporary files
#   DIR/sites/default/...          runtime directories of the default group
# Builds what is out of date first. An existing site keeps its config/, user files and mail.
# Environment: QMS_BUILD_DIR (default build/release), QMS_NO_BUILD=1 to skip building.
# Usage: scripts/stage-site.sh DIR
set -euo pipefail
if [[ $# -ne 1 ]]; then echo "usage: $0 DIR" >&2; exit 2; fi
src="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"
build="${QMS_BUILD_DIR:-$src/build/release}"

if [[ "${QMS_NO_BUILD:-0}" != 1 ]]; then
  if [[ "$build" == "$src/build/release" ]]; then
    "$src/scripts/build.sh" release
  else
    cmake --build "$build"
  fi
fi

mkdir -p "$dir"/{binaries,utilities,log,tmp}

# Programs are replaced through a temporary name, so a running copy is never overwritten in place.
put() {
  local from="$1" to="$2"
  [[ -f "$from" ]] || return 0
  cp "$from" "$to.staging.$$"
  chmod 0755 "$to.staging.$$"
  mv -f "$to.staging.$$" "$to"
}
put "$build/launcher/qms32" "$dir/qms32"
put "$build/server/qms32srv" "$dir/binaries/qms32srv"
put "$build/cgi/qms32cgi" "$dir/binaries/qms32cgi"
put "$build/console/qms32con" "$dir/utilities/qms32con"
put "$build/manager/qms32mgr" "$dir/utilities/qms32mgr"
# The example plug-in answers the example application /cgi-bin/hello.qmsapp.
put "$build/server/scripting/example/qmsexample.so" "$dir/binaries/qmsexample.so"

# The shipped defaults always reflect this build; the server copies them into config/,
# messages/ and scripts/ at first start and upgrades unchanged files later.
rm -rf "$dir/documentation.staging.$$"
cp -r "$src/documentation" "$dir/documentation.staging.$$"
rm -rf "$dir/documentation"
mv "$dir/documentation.staging.$$" "$dir/documentation"

# Runtime directories of the default group (never under config/).
site="$dir/sites/default"
mkdir -p "$site"/{stat,queue,home,ftp/pub,ftp/users/admin,ftp/users/user,www}
# The example web documents and applications; files already there are kept.
cp -rn "$src/documentation/www/." "$site/www/"
if [[ ! -e "$site/ftp/pub/readme.txt" ]]; then
  printf 'Files in /pub are open to every FTP user of this site.\r\n' > "$site/ftp/pub/readme.txt"
fi
echo "Site staged in $dir"
