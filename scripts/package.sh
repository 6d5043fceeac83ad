#!/usr/bin/env bash
# Builds the Debian package quillmar32_<version>_amd64.deb with dpkg-deb.
#   /opt/quillmar32/qms32, binaries/, utilities/, documentation/   the site as stage-site.sh lays it out
#   /opt/quillmar32/package/qms32srv     the server program; the maintainer scripts install it
#                                        as binaries/qms32srv, or on upgrade as binaries/qms32upd
#   /lib/systemd/system/quillmar32.service
# Runtime folders (log/, tmp/, sites/) and everything the server writes are made by postinst
# and belong to no package, so that upgrades and purges keep them.
# Environment: QMS_BUILD_DIR (default build/release), QMS_NO_BUILD=1 to skip building,
# QMS_PKG_VERSION (default the project version with "-1").
# Usage: scripts/package.sh [OUTDIR]       prints the path of the package built
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
out="$(mkdir -p "${1:-$src/build/package}" && cd "${1:-$src/build/package}" && pwd)"
build="${QMS_BUILD_DIR:-$src/build/release}"
project_version="$(sed -n 's/^project(Quillmar32 VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")"
version="${QMS_PKG_VERSION:-$project_version-1}"

if [[ "${QMS_NO_BUILD:-0}" != 1 ]]; then
  [[ -f "$build/build.ninja" ]] || cmake --preset release >/dev/null
  cmake --build "$build" --target qms32 qms32srv qms32cgi qms32con qmsexample >&2
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
root="$work/root"
site="$root/opt/quillmar32"
QMS_BUILD_DIR="$build" QMS_NO_BUILD=1 "$src/scripts/stage-site.sh" "$work/site" >&2
mkdir -p "$site/binaries" "$site/package" "$site/utilities"
cp -a "$work/site/qms32" "$work/site/documentation" "$site/"
cp -a "$work/site/binaries/." "$site/binaries/"
mv "$site/binaries/qms32srv" "$site/package/qms32srv"
# The graphical manager needs Qt and a display; the package carries the text console only.
[[ -f "$work/site/utilities/qms32con" ]] && cp -a "$work/site/utilities/qms32con" "$site/utilities/"
strip --strip-unneeded "$site/qms32" "$site/package/qms32srv" "$site"/binaries/* "$site"/utilities/* 2>/dev/null || true
# The package version rides in the server program (section .qms32.package), so the program
# of every package differs from the one before and an upgrade always goes through the launcher.
printf '%s\n' "$version" >"$work/version"
objcopy --add-section .qms32.package="$work/version" --set-section-flags .qms32.package=noload,readonly \
  "$site/package/qms32srv"
install -D -m 0644 "$src/packaging/debian/quillmar32.service" "$root/lib/systemd/system/quillmar32.service"

# Depends: the packages of the shared libraries the programs load, and the REXX library the
# launcher opens at run time.
declare -A deps=([libregina3]=1 [passwd]=1)
# The paths of the libraries each program names itself (not those its libraries pull in).
needed_libraries() {
  local f
  while IFS= read -r -d '' f; do
    objdump -p "$f" >/dev/null 2>&1 || continue
    ldd "$f" 2>/dev/null | awk -v names="$(objdump -p "$f" | awk '/NEEDED/ {print $2}')" '
      BEGIN { n = split(names, a, "\n"); for (i = 1; i <= n; i++) want[a[i]] = 1 }
      ($1 in want) && $3 ~ /^\// { print $3 }'
  done < <(find "$site" -type f -perm -u+x -print0)
}
while read -r lib; do
  real="$(readlink -f "$lib")"
  for p in "$lib" "$real" "${real#/usr}" "/usr$real"; do
    if pkg="$(dpkg-query -S "$p" 2>/dev/null | head -n1 | cut -d: -f1)" && [[ -n "$pkg" ]]; then
      deps[$pkg]=1
      break
    fi
  done
done < <(needed_libraries | sort -u)
depends="$(printf '%s\n' "${!deps[@]}" | sort | paste -sd, | sed 's/,/, /g')"

mkdir -p "$root/DEBIAN"
size="$(du -sk --exclude=DEBIAN "$root" | cut -f1)"
sed -e "s/@VERSION@/$version/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  "$src/packaging/debian/control.in" >"$root/DEBIAN/control"
install -m 0755 "$src/packaging/debian/postinst" "$src/packaging/debian/prerm" \
  "$src/packaging/debian/postrm" "$root/DEBIAN/"
find "$root" -type d -exec chmod 0755 {} +

deb="$out/quillmar32_${version}_amd64.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >&2
echo "$deb"
