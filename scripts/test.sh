#!/usr/bin/env bash
# The project's test command: installs what is missing, configures, builds
# and runs every test through CTest.
#   scripts/test.sh              release-style build in build/
#   scripts/test.sh --sanitize   ASan + UBSan build in build-asan/
# Settings from the environment: PWD_BUILD_DIR (default build; the sanitizer
# build goes to it with -asan appended), PWD_JOBS (parallel compile jobs and
# tests, default 2), PWD_WERROR (ON: compiler warnings are errors, as in CI).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${PWD_BUILD_DIR:-build}
jobs=${PWD_JOBS:-2}
cmake_args=(-DPWD_WERROR="${PWD_WERROR:-OFF}")
if [[ "${1:-}" == "--sanitize" ]]; then
  build_dir=$build_dir-asan
  cmake_args+=(-DPWD_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DPWD_BUILD_BENCH=OFF)
fi

scripts/deps.sh
cmake -S . -B "$build_dir" -G Ninja "${cmake_args[@]}"
cmake --build "$build_dir" -j "$jobs"
ctest --test-dir "$build_dir" --output-on-failure --timeout 300 -j "$jobs"
