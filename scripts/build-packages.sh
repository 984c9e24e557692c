#!/usr/bin/env bash
# Builds the Debian packages (debian/) with dpkg-buildpackage from a copy of
# the source tree in build/package/, so that the tree itself stays clean, and
# judges them with lintian. The .deb files land in build/packages/.
# Usage: scripts/build-packages.sh [OUTPUT-FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$(realpath -m "${1:-build/packages}")

version=$(sed -n 's/^project(QZVeltor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$root/build/package
source=$work/veltor-$version

# The files git knows and those it would add (a change not yet committed is
# packaged too), never the build folders it ignores.
rm -rf "$work" && mkdir -p "$source"
git ls-files -z --cached --others --exclude-standard --deduplicate |
  while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
  tar --null -T - -cf - | tar -xf - -C "$source"

# dpkg-buildpackage takes SOURCE_DATE_EPOCH from debian/changelog, so the
# same commit gives the same bytes.
(cd "$source" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc)

rm -rf "$out" && mkdir -p "$out"
mv "$work"/*.deb "$work"/*.ddeb "$work"/*.buildinfo "$work"/*.changes "$out"/ 2>/dev/null || true
rm -rf "$work"

# No error and no warning; overrides, each with its reason, live in debian/.
lintian --fail-on error,warning --info "$out"/*.deb
ls -l "$out"
