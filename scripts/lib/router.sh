# Shell helpers for scripts that run qova-router in the background (the demo
# and the benchmarks).  Source it after setting $router to the router's path.
# Sourcing it makes a private scratch folder, $scratch, and sets an EXIT trap
# that stops every router started here and removes the folder.

router_pids=()
scratch=$(mktemp -d)
chmod 700 "$scratch"
trap 'router_stop_all; rm -rf "$scratch"' EXIT

# router_start OUT LOG [OPTION...]: starts the router with the options, its
# standard output in OUT and standard error in LOG (standard input is the
# caller's), waits at most 10 s for its "listening on HOST:PORT" line and
# sets $router_port.  When the router does not come up, prints its log and
# exits the script.
router_start() {
  local out=$1 log=$2
  shift 2
  : >"$out"  # a line left from an earlier router must not count
  # "<&0": a background command would otherwise read /dev/null.
  "$router" "$@" <&0 >"$out" 2>"$log" &
  local pid=$!
  router_pids+=("$pid")
  for _ in $(seq 200); do
    if grep -q '^listening on ' "$out"; then
      router_port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$out")
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "qova-router did not start:" >&2
  cat "$log" >&2
  exit 1
}

# Stops every router started by router_start and waits for it.
router_stop_all() {
  local pid
  for pid in "${router_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  router_pids=()
}
