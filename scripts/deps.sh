#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing, so a second run costs a few dpkg queries and nothing else.
#   scripts/deps.sh              build and tests
#   scripts/deps.sh --package    also what scripts/package.sh needs
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost-dev libboost-program-options-dev
  zlib1g-dev libpugixml-dev libsodium-dev libsqlite3-dev
  clang-format
  time  # GNU time: bench/pwd_changer_bench.sh reads CPU time and peak memory
  groff-base man-db  # the man pages' tests render them as lintian does
)
if [[ ${1:-} == --package ]]; then
  # dpkg-shlibdeps, the package checker, and systemd-analyze for the unit.
  packages+=(dpkg-dev lintian systemd)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
