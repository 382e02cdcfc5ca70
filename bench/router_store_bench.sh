#!/usr/bin/env bash
# Password changes per second through pwd_changer against qova-router with
# its account database, at the minimum and at the default (interactive) hash
# cost, beside the router keeping the password in memory.  Not a test: run it
# by hand on a quiet machine.
#
#   bench/router_store_bench.sh [BUILD_DIR] [CHANGES] [CHANGES_AT_DEFAULT_COST]
#
# BUILD_DIR (default build-release) is configured as a Release build and
# pwd_changer and qova-router are built there.  Each run of pwd_changer is one
# change, its passwords from a pipe, alternating between two passwords; every
# run must succeed (exit status 0), or the script stops.  The time is the
# wall time of all runs of one kind, one after the other (each run is a whole
# process: start, connect, one request, one reply), so the figure includes
# what a user of the tool waits for, not only the router's work.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-release}
changes=${2:-200}
default_changes=${3:-50}

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPWD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j2 --target pwd_changer qova-router >/dev/null

tool="$build_dir/tool/pwd_changer"
router="$build_dir/sim/router/qova-router"

source scripts/lib/router.sh  # sets $scratch and the EXIT trap

# Starts the router with the given options on a free port; sets $port.
start_router() {
  router_start "$scratch/router.out" "$scratch/router.log" --listen 127.0.0.1:0 \
    --rate-limit 0 "$@" <"$scratch/password"
  port=$router_port
}

# Runs `count` changes, alternating bench-a -> bench-b and back; prints the
# seconds they took.
run_changes() {
  local count=$1 start end i
  start=$(date +%s%N)
  for ((i = 0; i < count; i++)); do
    if ((i % 2 == 0)); then
      printf '%s\n' bench-a bench-b bench-b
    else
      printf '%s\n' bench-b bench-a bench-a
    fi | "$tool" --host 127.0.0.1 --port "$port" >/dev/null 2>"$scratch/tool.err" || {
      echo "change $i failed:" >&2
      cat "$scratch/tool.err" >&2
      exit 1
    }
  done
  end=$(date +%s%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", (e - s) / 1e9 }'
}

# One row: a label, the number of changes, the router's options.
measure() {
  local label=$1 count=$2
  shift 2
  start_router "$@"
  # An even number of warm-up changes leaves the password at bench-a.
  run_changes 2 >/dev/null
  local seconds
  seconds=$(run_changes "$count")
  router_stop_all
  awk -v l="$label" -v n="$count" -v s="$seconds" \
    'BEGIN { printf "%-40s %8d %10.3f %12.1f %10.2f\n", l, n, s, n / s, 1000 * s / n }'
}

printf 'bench-a\n' >"$scratch/password"
printf '%-40s %8s %10s %12s %10s\n' "router" "changes" "seconds" "changes/s" "ms/change"

measure "in memory (no --db)" "$changes"

for cost in min interactive; do
  db="$scratch/$cost.db"
  "$router" --db "$db" --init-password --hash-cost "$cost" <"$scratch/password" 2>/dev/null
  count=$changes
  [[ $cost == interactive ]] && count=$default_changes
  measure "--db, --hash-cost $cost" "$count" --db "$db" --hash-cost "$cost"
done
