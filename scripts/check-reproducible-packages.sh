#!/usr/bin/env bash
# Builds the Debian packages twice (scripts/build-packages.sh; dpkg-buildpackage
# takes SOURCE_DATE_EPOCH from debian/changelog both times) and checks that
# every .deb, debug symbols included, is byte-identical. Given the folder of
# a build of the same tree, builds only once more and compares with it.
# Usage: scripts/check-reproducible-packages.sh [FIRST-BUILD-FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
first=${1:-}
if [ -z "$first" ]; then
  first=build/packages-first
  scripts/build-packages.sh "$first"
fi
second=build/packages-second
scripts/build-packages.sh "$second"

differ=()
count=0
for deb in "$first"/*.deb; do
  count=$((count + 1))
  cmp -s "$deb" "$second/${deb##*/}" || differ+=("${deb##*/}")
done
[ "$count" -eq "$(ls "$second"/*.deb | wc -l)" ] || differ+=("(not the same packages)")
if [ ${#differ[@]} -ne 0 ]; then
  echo "check-reproducible-packages: not byte-identical: ${differ[*]} (diffoscope shows where)" >&2
  exit 1
fi
rm -rf "$second"
echo "check-reproducible-packages: $count packages byte-identical across two builds"
