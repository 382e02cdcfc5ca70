#!/usr/bin/env bash
# Fault soak of pwd_changer and qova-router together.  Not a test: a bounded
# loop that stops by itself and prints its figures.  docs/fault-soak.md
# describes it.
#
#   scripts/soak.sh [ROUNDS]        (default 200)
#
# A --db router (hash cost min) is killed with SIGKILL and started again at
# random moments, all along, by a keeper in the background.  Each round runs
# pwd_changer once with a new password (every seventh round the old one
# again, which the service refuses), three rounds in four through
# qova-fault-proxy (which delays, stalls, slices or cuts each connection) and
# the fourth straight to the router; one round in three under a
# pseudo-terminal (script(1)).  Every run must end within the bound below
# with one of the outcomes of README's tables; exit 0 only with an audit row
# of code 0 for that run; a 169 reply only with an audit row of its code;
# echo on again after a run under the terminal.  The password in force is
# tracked across rounds; a run whose outcome is unknown (a time-out, a lost
# router) is resolved from the audit trail, and a last change without faults
# proves the tracked password right.  Traffic stays on 127.0.0.1.
#
# Settings from the environment: PWD_BUILD_DIR (default build),
# PWD_SOAK_REPLY_MS (QOVA_REPLY_TIMEOUT_MS, default 3000), PWD_SOAK_SEED.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-200}
build_dir=${PWD_BUILD_DIR:-build}
reply_ms=${PWD_SOAK_REPLY_MS:-3000}
RANDOM=${PWD_SOAK_SEED:-$$}
connect_ms=5000  # libqova's connect time-out (no ini file here)
# Up to two connects (the first, and one after a lost connection) besides
# the reply time-out, and a second for the process itself.
bound_ms=$((reply_ms + 2 * connect_ms + 1000))

cmake --build "$build_dir" -j "${PWD_JOBS:-2}" --target pwd_changer qova-router qova-fault-proxy \
  >/dev/null
tool=$build_dir/tool/pwd_changer
router=$build_dir/sim/router/qova-router
proxy=$build_dir/sim/fault_proxy/qova-fault-proxy

source scripts/lib/router.sh # $scratch, router_start, the EXIT trap
db=$scratch/account.db
current=soak-initial
printf '%s\n' "$current" >"$scratch/password"
"$router" --db "$db" --init-password --hash-cost min --password-file "$scratch/password" >/dev/null

# A first router only to learn a free port; the keeper serves on it after.
router_start "$scratch/first.out" "$scratch/router.log" --db "$db" --hash-cost min \
  --listen 127.0.0.1:0 </dev/null
port=$router_port
router_stop_all

ms() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }

# Serves, kills with SIGKILL after 0.3 to 4 s (one time in three after 5 to
# 12 s, so that stalls also run into the time-outs), waits 0 to 0.4 s, again.
keeper() {
  local pid= up
  trap '[[ -n $pid ]] && kill -9 "$pid" 2>/dev/null; exit 0' TERM
  while :; do
    "$router" --db "$db" --hash-cost min --listen "127.0.0.1:$port" </dev/null \
      >/dev/null 2>>"$scratch/router.log" &
    pid=$!
    up=$((300 + RANDOM % 3700))
    ((RANDOM % 3)) || up=$((5000 + RANDOM % 7000))
    sleep "$(ms "$up")" &
    wait $! || true
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
    echo >>"$scratch/kills"
    sleep "$(ms $((RANDOM % 400)))" &
    wait $! || true
  done
}
keeper &
keeper_pid=$!

"$proxy" --target "127.0.0.1:$port" --listen 127.0.0.1:0 --seed "$RANDOM" --stall-ms 6000 \
  >"$scratch/proxy.out" 2>"$scratch/proxy.log" &
proxy_pid=$!
trap 'kill "$keeper_pid" "$proxy_pid" 2>/dev/null; wait; router_stop_all; rm -rf "$scratch"' EXIT
for _ in $(seq 100); do
  grep -q '^listening on ' "$scratch/proxy.out" && break
  sleep 0.05
done
proxy_port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$scratch/proxy.out")
[[ -n $proxy_port ]] || { echo "qova-fault-proxy did not start" >&2; exit 1; }

# The audit rows of app NAME: their codes, oldest first.  A read-only look
# may meet the database while a killed router's journal awaits recovery:
# try again.
audit_codes() {
  local out
  for _ in $(seq 50); do
    if out=$("$router" --db "$db" --audit 2>/dev/null); then
      grep -F " \"$1\" " <<<"$out" | awk '{print $NF}' || true
      return 0
    fi
    sleep 0.1
  done
  echo "cannot read the audit trail" >&2
  exit 1
}

declare -A outcomes=()
violations=0
longest=0
longest_round=0
changes=0
violation() {
  violations=$((violations + 1))
  echo "round $r: VIOLATION: $1" >&2
  sed 's/^/    /' "$scratch/run.out" "$scratch/run.err" >&2
}

# Classifies a run by its status and what it printed (README's tables).
classify() {
  local rc=$1 text
  text=$(cat "$scratch/run.out" "$scratch/run.err")
  if ((rc == 0)) && grep -q '^Successful results; Result code: 0; message: Password changed' <<<"$text"; then
    echo success
  elif ((rc != 255)); then
    echo "status-$rc"
  elif grep -q '^Unsuccessful results; Result code: [1-4]; message: ' <<<"$text"; then
    echo "refused-$(sed -n 's/^Unsuccessful results; Result code: \([1-4]\);.*/\1/p' <<<"$text" | head -1)"
  elif grep -q '^Unsuccessful result, has gotten timeout msg' <<<"$text"; then
    echo timeout
  elif grep -qE '^KOLMA_MSG(99|100) ' <<<"$text" && grep -q '^Unsuccessful result' <<<"$text"; then
    echo "reply-$(grep -oE '^KOLMA_MSG(99|100)' <<<"$text" | head -1 | sed 's/KOLMA_MSG//')"
  elif grep -qE '^Error of qova_[a-z_]+, code: [0-9]+' <<<"$text"; then
    echo "$(grep -oE '^Error of qova_[a-z_]+, code: [0-9]+' <<<"$text" | head -1 |
      sed 's/^Error of \(qova_[a-z_]*\), code: \([0-9]*\)/error-\1-\2/')"
  else
    echo undocumented
  fi
}

for ((r = 1; r <= rounds; r++)); do
  new=soak-$r-$RANDOM
  # Now and then the same password again: refused with code 4, no change.
  ((r % 7)) || new=$current
  app=soak-$r
  path=proxy
  run_port=$proxy_port
  if ((r % 4 == 0)); then
    path=direct
    run_port=$port
  fi
  args=("$tool" --host 127.0.0.1 --port "$run_port" --app_name "$app")
  : >"$scratch/run.err"
  start=$(date +%s%N)
  if ((r % 3 == 0)); then
    # Under a terminal: the status of the tool, then the terminal's echo flag.
    tty=pty
    set +e
    printf '%s\n%s\n%s\n' "$current" "$new" "$new" |
      QOVA_REPLY_TIMEOUT_MS=$reply_ms timeout -k 2 60 script -qec \
        "${args[*]}; rc=\$?; stty -a | grep -o -- '[-]*echo ' | head -1; exit \$rc" /dev/null \
        >"$scratch/run.out" 2>&1
    rc=$?
    set -e
    echo_flag=$(grep -oE '^-?echo ' "$scratch/run.out" | tail -1 | tr -d ' ')
    [[ $echo_flag == echo ]] || violation "echo is '$echo_flag' after the run, not on"
  else
    tty=pipe
    set +e
    printf '%s\n%s\n%s\n' "$current" "$new" "$new" |
      QOVA_REPLY_TIMEOUT_MS=$reply_ms timeout -k 2 60 "${args[@]}" >"$scratch/run.out" \
        2>"$scratch/run.err"
    rc=$?
    set -e
  fi
  took=$((($(date +%s%N) - start) / 1000000))
  ((took > longest)) && longest=$took longest_round=$r
  ((took <= bound_ms)) || violation "took $took ms, more than $bound_ms"
  # The script's own lines under the terminal end in \r.
  sed -i 's/\r$//' "$scratch/run.out"

  outcome=$(classify "$rc")
  outcomes[$outcome]=$((${outcomes[$outcome]:-0} + 1))
  # Let a request still on its way land before the audit trail is read.
  sleep 0.2
  mapfile -t codes < <(audit_codes "$app")
  ((${#codes[@]} <= 1)) || violation "${#codes[@]} audit rows for one run: ${codes[*]}"
  changed=no
  [[ ${codes[0]:-} == 0 ]] && changed=yes
  case $outcome in
    success) [[ $changed == yes ]] || violation "exit 0 without an audit row of code 0" ;;
    refused-*)
      [[ ${codes[0]:-} == "${outcome#refused-}" ]] ||
        violation "reply code ${outcome#refused-} but audit codes '${codes[*]}'"
      [[ $outcome != refused-1 ]] || violation "the tracked password was wrong" ;;
    status-* | undocumented) violation "outcome $outcome, status $rc" ;;
  esac
  if [[ $changed == yes ]]; then
    current=$new
    changes=$((changes + 1))
  fi
  printf 'round %3d %-6s %-4s %5d ms  %-28s changed=%s\n' "$r" "$path" "$tty" "$took" "$outcome" \
    "$changed"
done

kill "$keeper_pid" 2>/dev/null || true
wait "$keeper_pid" 2>/dev/null || true
kills=$(wc -l <"$scratch/kills" 2>/dev/null || echo 0)

# The tracked password must be the one in force: one change without faults.
router_start "$scratch/last.out" "$scratch/last.log" --db "$db" --hash-cost min \
  --listen 127.0.0.1:0 </dev/null
final=ok
printf '%s\n%s\n%s\n' "$current" soak-final soak-final |
  "$tool" --host 127.0.0.1 --port "$router_port" --app_name soak-final >/dev/null 2>&1 ||
  { final=FAILED; violations=$((violations + 1)); }
router_stop_all
kill "$proxy_pid" 2>/dev/null || true
wait "$proxy_pid" 2>/dev/null || true

echo
echo "rounds $rounds, router kills $kills, password changes $changes, reply time-out $reply_ms ms"
echo "longest run $longest ms (round $longest_round), bound $bound_ms ms"
echo "proxy: $(sed -n 's/^qova-fault-proxy: //p' "$scratch/proxy.log")"
echo "outcomes:"
for o in "${!outcomes[@]}"; do printf '  %-32s %d\n' "$o" "${outcomes[$o]}"; done | sort
echo "final change with the tracked password: $final"
echo "violations: $violations"
((violations == 0))
