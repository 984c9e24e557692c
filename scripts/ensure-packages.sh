#!/usr/bin/env bash
# Installs the Debian packages a build needs, checking first and installing
# only what is missing. Usage: scripts/ensure-packages.sh GROUP...
# Groups: build, service, windows, fuzz, valgrind, bench, python, package.
set -euo pipefail

packages_for() {
  case "$1" in
    build)    echo "cmake ninja-build g++ pkg-config libgtest-dev googletest libbenchmark-dev libarchive-dev zlib1g-dev libboost-dev libboost-program-options-dev libsystemd-dev" ;;
    # The clients veltord's tests drive: they speak the clamd protocol, HTTP (curl)
    # and ICAP (c-icap-client, Squid).
    service)  echo "python3 clamdscan python3-pyclamd curl c-icap squid" ;;
    windows)  echo "g++-mingw-w64-x86-64 wine wine64 googletest" ;;
    fuzz)     echo "clang libclang-rt-14-dev" ;;
    valgrind) echo "valgrind" ;;
    # Only the benchmark's side-by-side comparison uses it; nothing needs it.
    bench)    echo "libhyperscan-dev" ;;
    python)   echo "python3 python3-dev pybind11-dev python3-pybind11 python3-pytest python3-setuptools python3-wheel python3-pip python3-dask python3-distributed" ;;
    # The Debian packages (debian/, make package): Debian's own tooling, and
    # lintian to judge what it made.
    package)  echo "dpkg-dev debhelper dh-python fakeroot lintian python3-dev pybind11-dev" ;;
    *) echo "unknown package group: $1" >&2; exit 2 ;;
  esac
}

missing=()
for group in "$@"; do
  for pkg in $(packages_for "$group"); do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q '^install ok installed$'; then
      missing+=("$pkg")
    fi
  done
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq || true
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
