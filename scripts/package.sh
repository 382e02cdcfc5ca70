#!/usr/bin/env bash
# Builds the Debian packages with CPack into BUILD_DIR/packages and checks
# them: lintian must report no error, and the router's service unit must
# pass `systemd-analyze verify` and rate an exposure of 2.5 or lower.
#
#   scripts/package.sh
#
# The packages are built in BUILD_DIR/package-build, configured for /usr
# with Debian's compiler and linker flags (dpkg-buildflags), without tests.
# Settings from the environment: PWD_BUILD_DIR (default build), PWD_JOBS
# (parallel compile jobs, default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${PWD_BUILD_DIR:-build}
jobs=${PWD_JOBS:-2}
work=$build_dir/package-build
out=$build_dir/packages

scripts/deps.sh --package

# Debian's hardening flags; CMake reads no CPPFLAGS, so they join the
# compiler flags.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S . -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DPWD_INSTALL_RPATH=OFF -DPWD_BUILD_TESTS=OFF -DPWD_BUILD_BENCH=OFF >/dev/null
cmake --build "$work" -j "$jobs"

mkdir -p "$out"
rm -f "$out"/*.deb
out=$(cd "$out" && pwd)
(cd "$work" && cpack -G DEB -B "$out" >/dev/null)
ls -l "$out"/*.deb

echo "lintian:"
lintian --fail-on error --display-level '>=warning' "$out"/*.deb
echo "lintian: no errors"

# The unit, checked offline against the machine's own units and the router
# as the package installs it.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$out"/qova-router_*.deb "$root"
mkdir -p "$root/usr/lib/systemd/system"
cp -an /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
unit=/usr/lib/systemd/system/qova-router.service
systemd-analyze verify --man=no --root="$root" "$unit"
systemd-analyze security --offline=true --root="$root" --threshold=25 --no-pager qova-router.service |
  tail -n 1
echo "packages in $out"
