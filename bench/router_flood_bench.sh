#!/usr/bin/env bash
# qova-router under hostile load: how long a real password change through
# pwd_changer takes while a flood runs, how many changes a second the router
# serves at the default hash cost with one and with several clients, and how
# fast one address can have wrong local passwords refused.  Not a test: run
# it by hand; every run is bounded in time and talks to 127.0.0.1 only.
#
#   bench/router_flood_bench.sh [BUILD_DIR] [OTHER_ROUTER]
#
# BUILD_DIR (default build) must hold pwd_changer, qova-router and
# router_flood (PWD_BUILD_BENCH=ON); they are built there first.
# OTHER_ROUTER is a second qova-router binary to measure the same way, for
# instance one built from an older commit:
#   git worktree add /tmp/base df1454d && cmake -S /tmp/base -B /tmp/base/build -G Ninja &&
#   cmake --build /tmp/base/build --target qova-router
# Every figure is one run; the load of the machine shows in them.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
other_router=${2:-}

cmake --build "$build_dir" -j2 --target pwd_changer qova-router router_flood >/dev/null

tool="$build_dir/tool/pwd_changer"
flood="$build_dir/bench/router_flood"
this_router="$build_dir/sim/router/qova-router"
router=$this_router

source scripts/lib/router.sh  # sets $scratch and the EXIT trap

flood_pid=
stop_flood() {
  if [[ -n $flood_pid ]]; then
    kill "$flood_pid" 2>/dev/null || true
    wait "$flood_pid" 2>/dev/null || true
    flood_pid=
  fi
}
trap 'stop_flood; router_stop_all; rm -rf "$scratch"' EXIT

printf 'bench-a\n' >"$scratch/password"

# One change through pwd_changer from $1 to $2 against $port; prints
# "SECONDS STATUS".  Bounded by `timeout`.
timed_change() {
  local start end status=0
  start=$(date +%s%N)
  printf '%s\n' "$1" "$2" "$2" |
    timeout 60 "$tool" --host 127.0.0.1 --port "$port" >"$scratch/tool.out" 2>&1 || status=$?
  end=$(date +%s%N)
  awk -v s="$start" -v e="$end" -v st="$status" 'BEGIN { printf "%.2f %d\n", (e - s) / 1e9, st }'
}

# Starts the router under test with the given options; sets $port.
start_router() {
  router_start "$scratch/router.out" "$scratch/router.log" --listen 127.0.0.1:0 "$@" \
    <"$scratch/password"
  port=$router_port
}

new_database() {
  rm -f "$scratch"/account.db*
  "$router" --db "$scratch/account.db" --init-password <"$scratch/password" 2>/dev/null
}

# flood_row LABEL FLOOD_ARGS... -- ROUTER_ARGS...: a real change while the
# flood runs, after it has had a few seconds to take its place.
flood_row() {
  local label=$1
  shift
  local flood_args=() router_args=()
  while [[ $1 != -- ]]; do
    flood_args+=("$1")
    shift
  done
  shift
  router_args=("$@")
  start_router "${router_args[@]}"
  "$flood" --port "$port" --seconds 40 "${flood_args[@]}" >"$scratch/flood.out" &
  flood_pid=$!
  sleep 5
  local result
  result=$(timed_change bench-a bench-b)
  stop_flood
  router_stop_all
  printf '%-24s %-40s %8s %6s  %s | flood: %s\n' "$router_name" "$label" ${result} \
    "$(tail -n 1 "$scratch/tool.out" | cut -c1-60)" "$(cat "$scratch/flood.out")"
}

# Sequential changes for one client: COUNT changes, alternating passwords.
changes_one_client() {
  local count=$1 start end i from=bench-a to=bench-b
  start=$(date +%s%N)
  for ((i = 0; i < count; i++)); do
    printf '%s\n' "$from" "$to" "$to" | timeout 60 "$tool" --host 127.0.0.1 --port "$port" \
      >/dev/null 2>&1 || { echo "change $i failed" >&2; exit 1; }
    local t=$from
    from=$to
    to=$t
  done
  end=$(date +%s%N)
  awk -v s="$start" -v e="$end" -v n="$count" \
    'BEGIN { printf "%d changes in %.2f s: %.2f changes/s\n", n, (e - s) / 1e9, n / ((e - s) / 1e9) }'
}

# CLIENTS clients at once for SECONDS, each trying again and again to change
# the password from the one it believes current to the other (after a
# refusal it believes the other); counts the changes made and the attempts.
changes_several_clients() {
  local clients=$1 seconds=$2 c pids=()
  rm -f "$scratch"/client.*
  for ((c = 0; c < clients; c++)); do
    (
      local from=bench-a to=bench-b ok=0 tries=0 t
      local end=$((SECONDS + seconds))
      while ((SECONDS < end)); do
        tries=$((tries + 1))
        if printf '%s\n' "$from" "$to" "$to" |
          timeout 60 "$tool" --host 127.0.0.1 --port "$port" >/dev/null 2>&1; then
          ok=$((ok + 1))
        fi
        t=$from
        from=$to
        to=$t
      done
      echo "$ok $tries" >"$scratch/client.$c"
    ) &
    pids+=($!)
  done
  wait "${pids[@]}"
  cat "$scratch"/client.* | awk -v s="$seconds" -v c="$clients" \
    '{ ok += $1; tries += $2 } END { printf "%d clients, %d s: %d changes (%.2f/s), %d answers (%.2f/s)\n", c, s, ok, ok / s, tries, tries / s }'
}

measure_router() {
  router=$1
  router_name=$2
  echo "== $router_name: a real change while a flood runs (seconds, pwd_changer status)"
  flood_row "1000 idle after Hello" --mode idle --connections 1000 --
  flood_row "1000 trickling a frame" --mode trickle --connections 1000 --
  flood_row "1000 subscribing every s" --mode subscribe --connections 1000 --
  new_database
  flood_row "30 x 10 wrong guesses, --db" --mode guess --connections 30 --guesses 10 -- \
    --db "$scratch/account.db"

  echo "== $router_name: changes at the default hash cost (--db, --rate-limit 0)"
  new_database
  start_router --db "$scratch/account.db" --rate-limit 0
  changes_one_client 20
  router_stop_all
  new_database
  start_router --db "$scratch/account.db" --rate-limit 0
  changes_several_clients 4 20
  router_stop_all

  echo "== $router_name: wrong local passwords refused (10 s)"
  for conns in 1 50; do
    start_router --local-pass right-local-pass
    "$flood" --port "$port" --seconds 10 --mode localpass --connections "$conns" \
      >"$scratch/flood.out"
    router_stop_all
    awk -v c="$conns" '{ printf "%d connections: %d refused, %.1f/s\n", c, $10, $10 / 10 }' \
      "$scratch/flood.out"
  done
}

measure_router "$this_router" "this qova-router"
if [[ -n $other_router ]]; then
  measure_router "$other_router" "$other_router"
fi
