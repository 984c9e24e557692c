#!/usr/bin/env bash
# The Debian packages as a user gets them: built (scripts/build-packages.sh,
# lintian included), installed with apt-get on this machine, used (the
# program, the library through the C example, the Python package, each with
# the installed default database), then purged, leaving nothing of ours.
# Needs root (or sudo): it installs and removes packages system-wide.
# Usage: scripts/test-packages.sh [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/packages
work=$root/build/package-test
packages=(libqzveltor0 libqzveltor-dev veltor python3-veltor)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
version=$(sed -n 's/^project(QZVeltor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)

step() { printf '\n== %s\n' "$*"; }
fail() { echo "test-packages: $*" >&2; exit 1; }

# dpkg's short status: "ii" installed, "rc" configuration left, "un" or
# nothing when it knows nothing of the package.
known() { case "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null || true)" in ""|un*) return 1 ;; esac; }
for package in "${packages[@]}"; do
  ! known "$package" || fail "$package is installed already; purge it first (apt-get purge ${packages[*]})"
done

step "build"
# --no-build: test the packages already in build/packages.
[ "${1:-}" = "--no-build" ] || scripts/build-packages.sh "$out"

step "install"
debs=()
for package in "${packages[@]}"; do debs+=("$out/${package}_${version}_${arch}.deb"); done
# Every path the packages hold, and those of them already there (shared
# folders such as /usr/share/doc): after the purge, only those may remain.
listed=$(for deb in "${debs[@]}"; do dpkg-deb --fsys-tarfile "$deb" | tar -t; done |
  sed 's|^\./|/|; s|/$||' | grep -v '^/*$' | sort -u)
present() { while IFS= read -r path; do if [ -e "$path" ]; then echo "$path"; fi; done <<<"$listed"; }
before=$(present)
$sudo apt-get install -y -qq --no-install-recommends "${debs[@]}"

# Purge on the way out, whatever happened, so that a failed check leaves
# the machine as it was.
purged=""
purge() { [ -n "$purged" ] || $sudo apt-get purge -y -qq "${packages[@]}" >/dev/null; purged=1; }
trap purge EXIT
trap 'exit 1' INT TERM   # a timeout runs the purge too

rm -rf "$work" && mkdir -p "$work"
cd "$work"   # away from the source tree: nothing is found there by accident

step "the program"
/usr/bin/veltor --version | tee version.txt
grep -qx "veltor $version" version.txt || fail "veltor --version does not say $version"
status=0
/usr/bin/veltor scan -r --sort "$root/samples" || status=$?
[ "$status" -eq 1 ] || fail "veltor scan samples/: exit status $status, expected 1 (reports)"
man -w veltor >/dev/null || fail "no manual page for veltor"
[ -f /usr/share/bash-completion/completions/veltor ] || fail "no bash completion"

step "the library and its development files"
cc -std=c99 -Wall -Wextra -Werror "$root/examples/scan_file.c" $(pkg-config --cflags --libs qzveltor) -o scan_file_pkg_config
cmake -S "$root/tests/install/consumer" -B consumer -G Ninja -DEXAMPLE_SOURCE="$root/examples/scan_file.c" >/dev/null
cmake --build consumer >/dev/null
for host in ./scan_file_pkg_config consumer/scan_file; do
  # "-": the default database beside the installed library.
  status=0
  "$host" - "$root/samples/test-file.com" | tee scan.txt || status=$?
  [ "$status" -eq 1 ] && grep -q "Test.File.AntivirusTestString (level 1)" scan.txt ||
    fail "$host did not report the test file with the installed default database"
done

step "the Python package"
/usr/bin/python3 -c 'import veltor; print(veltor.__file__, veltor.Database.load().rule_count, "rules")'
/usr/bin/python3 "$root/tests/package/check_installed.py" "$root/samples"

step "purge"
purge
for package in "${packages[@]}"; do
  ! known "$package" || fail "$package is still known to dpkg after the purge"
done
left=$(comm -13 <(echo "$before") <(present))
[ -z "$left" ] || fail "left after the purge: $left"
cd "$root" && rm -rf "$work"
echo "test-packages: built, installed, used and purged ${packages[*]}"
