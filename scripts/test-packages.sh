#!/usr/bin/env bash
# The Debian packages as a user gets them: built (scripts/build-packages.sh,
# lintian included), installed with apt-get on this machine, used (the
# program, the library through the C example, the Python package, each with
# the installed default database; the service as its units run it, with
# clamdscan), then purged, leaving nothing of ours. The system user veltor
# stays: Debian leaves system users in place, since files they own may
# remain. Needs root (or sudo): it installs and removes packages system-wide.
# Usage: scripts/test-packages.sh [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/packages
work=$root/build/package-test
packages=(libqzveltor0 libqzveltor-dev veltor veltord python3-veltor)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
version=$(sed -n 's/^project(QZVeltor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

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
daemon=""
stop_daemon() { [ -z "$daemon" ] || { $sudo kill -TERM "$daemon" 2>/dev/null || true; wait "$daemon" || true; daemon=""; }; }
purge() { stop_daemon; [ -n "$purged" ] || $sudo apt-get purge -y -qq "${packages[@]}" >/dev/null; purged=1; }
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

step "the service"
/usr/bin/veltord --version | tee version.txt
grep -qx "veltord $version" version.txt || fail "veltord --version does not say $version"
# The installed configuration, and the default database beside the library.
/usr/bin/veltord --check-config | tee check.txt
for line in 'configuration: /etc/veltor/veltord\.conf' "database: /usr/lib/$multiarch/qzdata\\.vlb: built .*" \
    'unix socket: /run/veltor/veltord\.sock' 'OK'; do
  grep -qx "$line" check.txt || fail "veltord --check-config: no line matching '$line'"
done
dpkg-query -W -f='${Conffiles}\n' veltord | grep -q ' /etc/veltor/veltord.conf ' ||
  fail "/etc/veltor/veltord.conf is not a conffile"
man -w 8 veltord >/dev/null || fail "no manual page for veltord"
units=(/lib/systemd/system/veltord.socket /lib/systemd/system/veltord.service)
systemd-analyze verify --man=no "${units[@]}"
# Enabled on install (Debian's default): the socket listens at boot, the
# service runs from boot too, with the shipped database.
for unit in "${units[@]}"; do
  [ "$(systemctl is-enabled "${unit##*/}")" = enabled ] || fail "${unit##*/} is not enabled"
done
getent passwd veltor | grep -q ':/nonexistent:/usr/sbin/nologin$' || fail "no system user veltor"
[ "$(stat -c '%U:%G %a' /run/veltor)" = "veltor:veltor 755" ] ||
  fail "/run/veltor is $(stat -c '%U:%G %a' /run/veltor), expected veltor:veltor 755 (tmpfiles.d, as the units have it)"
# Served as the service runs it: under systemd, the units the install
# started; elsewhere (a container), the same command line as the user
# veltor, with the installed configuration and socket (setpriv execs it, so
# the signal that stops it reaches veltord itself).
if [ -d /run/systemd/system ]; then
  systemctl is-active --quiet veltord.socket || fail "veltord.socket is not active after the install"
else
  $sudo setpriv --reuid=veltor --regid=veltor --init-groups /usr/bin/veltord --foreground &
  daemon=$!
fi
printf 'LocalSocket /run/veltor/veltord.sock\n' >clamd.conf
clamdscan --config-file=clamd.conf --ping 30:1 >/dev/null 2>&1 || fail "veltord does not answer PING on /run/veltor/veltord.sock"
[ "$(stat -c '%U:%G %a' /run/veltor/veltord.sock)" = "veltor:veltor 660" ] ||
  fail "the socket is $(stat -c '%U:%G %a' /run/veltor/veltord.sock), expected veltor:veltor 660"
status=0
clamdscan --config-file=clamd.conf --stream --no-summary "$root/samples/test-file.com" "$root/samples/notes.txt" | tee scan.txt || status=$?
[ "$status" -eq 1 ] && grep -qxF "$root/samples/test-file.com: Test.File.AntivirusTestString FOUND" scan.txt &&
  grep -qxF "$root/samples/notes.txt: OK" scan.txt || fail "clamdscan through veltord: exit status $status"
if [ -n "$daemon" ]; then
  $sudo kill -TERM "$daemon"
  status=0; wait "$daemon" || status=$?; daemon=""
  [ "$status" -eq 0 ] || fail "veltord stopped with exit status $status on SIGTERM"
fi

step "purge"
purge
for package in "${packages[@]}"; do
  ! known "$package" || fail "$package is still known to dpkg after the purge"
done
left=$(comm -13 <(echo "$before") <(present))
[ -z "$left" ] || fail "left after the purge: $left"
# What the packages made outside their own files: the runtime folder, and
# the units' enablement. (The user veltor stays, see the top.)
left=$(find /run/veltor /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
  -name 'veltor*' 2>/dev/null || true)
[ -z "$left" ] || fail "left after the purge: $left"
cd "$root" && rm -rf "$work"
echo "test-packages: built, installed, used and purged ${packages[*]}"
