#!/usr/bin/env bash
# Times whole runs of pwd_changer against the local router and prints the
# medians side by side.  Not a test: run it by hand on a quiet machine.
#
#   bench/pwd_changer_bench.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR (default build-release) is configured as a Release build and the
# three programs are built there.  Three figures:
#   1. wall time of pwd_changer (passwords from a pipe) against a router that
#      answers at once (--force-reply 169), beside floor_client, which only
#      speaks the wire protocol; target: at most 1.5 times the floor;
#   2. CPU time (user + system) of pwd_changer while the router delays its
#      reply by 2 s; target: at most 5 % of the wall time (no busy waiting);
#   3. peak resident memory of pwd_changer; target: at most 10 MiB.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-release}
runs=${2:-30}
slow_runs=3

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPWD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j2 --target pwd_changer qova-router floor_client >/dev/null

tool="$build_dir/tool/pwd_changer"
router="$build_dir/sim/router/qova-router"
floor="$build_dir/bench/floor_client"
gnu_time=/usr/bin/time
[[ -x $gnu_time ]] || { echo "needs GNU time (Debian package 'time')" >&2; exit 1; }

source scripts/lib/router.sh  # sets $scratch and the EXIT trap
printf 'bench-secret\n' >"$scratch/password"

# Starts a router with the given options on a free port; sets $port.
start_router() {
  router_start "$scratch/router${#router_pids[@]}.out" /dev/null --listen 127.0.0.1:0 \
    --password-file "$scratch/password" --rate-limit 0 "$@"
  port=$router_port
}

median() { sort -n | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.4f", m }'; }

# Runs pwd_changer with `input` on the given port under GNU time and appends
# "wall user sys maxrss_kib" to $times_file.
timed_tool() {
  printf '%s\n' "$2" >"$scratch/in"
  "$gnu_time" -q -f '%e %U %S %M' -o "$scratch/one" "$tool" --host 127.0.0.1 --port "$1" \
    <"$scratch/in" >/dev/null 2>&1 || true
  cat "$scratch/one" >>"$times_file"
}

# Wall time in seconds with nanosecond resolution (GNU time rounds to 10 ms).
wall_of() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f\n", (e - s) / 1e9 }'
}

start_router --force-reply 169
fast_port=$port
# The passwords come through a pipe (a here-string is one in bash 5.1 and
# later) without an extra process, so both sides pay for one exec each.
run_tool() { "$tool" --host 127.0.0.1 --port "$fast_port" <<<'a b b'; }
run_floor() { "$floor" --host 127.0.0.1 --port "$fast_port"; }

# Warm the page cache, then alternate the two programs.
run_tool >/dev/null 2>&1 || true
run_floor >/dev/null 2>&1 || true
: >"$scratch/tool_wall"
: >"$scratch/floor_wall"
for _ in $(seq "$runs"); do
  wall_of run_tool >>"$scratch/tool_wall"
  wall_of run_floor >>"$scratch/floor_wall"
done
tool_ms=$(median <"$scratch/tool_wall" | awk '{ printf "%.2f", $1 * 1000 }')
floor_ms=$(median <"$scratch/floor_wall" | awk '{ printf "%.2f", $1 * 1000 }')
ratio=$(awk -v t="$tool_ms" -v f="$floor_ms" 'BEGIN { printf "%.2f", t / f }')

times_file="$scratch/rss"
: >"$times_file"
for _ in $(seq 10); do
  timed_tool "$fast_port" 'a b b'
done
rss_kib=$(awk '{ print $4 }' "$times_file" | median | cut -d. -f1)

start_router --reply-delay-ms 2000
slow_port=$port
times_file="$scratch/slow"
: >"$times_file"
for _ in $(seq "$slow_runs"); do
  timed_tool "$slow_port" 'wrong x x'
done
slow_wall=$(awk '{ print $1 }' "$times_file" | median)
slow_cpu=$(awk '{ print $2 + $3 }' "$times_file" | median)
cpu_pct=$(awk -v c="$slow_cpu" -v w="$slow_wall" 'BEGIN { printf "%.2f", 100 * c / w }')

printf '%-46s %12s %12s %8s %s\n' "measure (median of runs)" "pwd_changer" "floor" "ratio" "target"
printf '%-46s %10s ms %9s ms %8s %s\n' "wall time, immediate reply ($runs runs each)" \
  "$tool_ms" "$floor_ms" "$ratio" "<= 1.50"
printf '%-46s %12s %12s %8s %s\n' "CPU/wall, reply delayed 2 s ($slow_runs runs)" \
  "$cpu_pct %" "-" "-" "<= 5 %"
printf '%-46s %12s %12s %8s %s\n' "  (wall / user+sys seconds)" "$slow_wall / $slow_cpu" "-" "-" ""
printf '%-46s %9s KiB %12s %8s %s\n' "peak RSS (10 runs)" "$rss_kib" "-" "-" "<= 10240 KiB"
