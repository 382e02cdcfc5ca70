#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang 14, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs a campaign: each target in turn for
# SECONDS (default 30), starting from its seed corpus.
#   scripts/fuzz.sh [SECONDS] [TARGET...]   e.g. scripts/fuzz.sh 120 wire scheme
# New inputs collect in $build_dir/corpus/<target>/ (the seeds in the
# repository are only read); a crash leaves its input in
# $build_dir/artifacts/ and fails the script after the other targets ran.
# Replay a finding with: $build_dir/fuzz/<target>_fuzz FILE.
# Settings from the environment: PWD_FUZZ_BUILD_DIR (default build-fuzz),
# PWD_JOBS (compile jobs, default 2), PWD_WERROR (ON: compiler warnings are
# errors, as in CI).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
build_dir=${PWD_FUZZ_BUILD_DIR:-build-fuzz}
jobs=${PWD_JOBS:-2}

scripts/deps.sh --fuzz
cmake -S . -B "$build_dir" -G Ninja -DPWD_FUZZ=ON -DPWD_BUILD_TESTS=OFF -DPWD_BUILD_BENCH=OFF \
  -DPWD_WERROR="${PWD_WERROR:-OFF}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  >/dev/null
cmake --build "$build_dir" -j "$jobs" --target fuzz_targets

targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in fuzz/*_fuzz.cpp; do
    t=${f#fuzz/}
    targets+=("${t%_fuzz.cpp}")
  done
fi

mkdir -p "$build_dir/artifacts"
failed=()
printf '%-10s %10s %12s %8s %s\n' target exec/s execs corpus result
for t in "${targets[@]}"; do
  corpus=$build_dir/corpus/$t
  log=$build_dir/fuzz-$t.log
  mkdir -p "$corpus"
  result=ok
  extra=()
  # The router logs every connection on standard error; libFuzzer keeps its
  # own reports (and the sanitizers') on a copy of it.
  [[ $t == router ]] && extra+=(-close_fd_mask=2)
  "$build_dir/fuzz/${t}_fuzz" "$corpus" "fuzz/corpus/$t" -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 "${extra[@]}" \
    -artifact_prefix="$build_dir/artifacts/$t-" >"$log" 2>&1 || result=FAILED
  stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
  printf '%-10s %10s %12s %8s %s\n' "$t" "$(stat average_exec_per_sec)" \
    "$(stat number_of_executed_units)" "$(find "$corpus" -type f | wc -l)" "$result"
  if [[ $result != ok ]]; then
    failed+=("$t")
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*check failed|.*runtime error)' "$log" | head -5 >&2 || true
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: findings in ${failed[*]} (inputs in $build_dir/artifacts/, logs in $build_dir/fuzz-*.log)" >&2
  exit 1
fi
