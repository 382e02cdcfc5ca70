#!/usr/bin/env bash
# The main job: build pwd_changer and the local router, start the router with
# a demo account, and change that account's password interactively.
#
#   scripts/demo.sh
#
# On a fresh Debian 12 machine as root (or with sudo) it first installs the
# missing packages.  The router listens on 127.0.0.1:4001 with a freshly
# generated password, which is printed; pwd_changer then asks for the old
# password and twice for the new one.  The router is stopped on every way
# out, and the script exits with pwd_changer's status (0: password changed).
# Works with the passwords piped in as well; then fix the demo password:
#
#   printf '%s\n' demo-old demo-new demo-new | PWD_DEMO_PASSWORD=demo-old scripts/demo.sh
#
# Settings from the environment: PWD_BUILD_DIR (default build), PWD_DEMO_PORT
# (default 4001), PWD_DEMO_PASSWORD (default: generated).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${PWD_BUILD_DIR:-build}
port=${PWD_DEMO_PORT:-4001}

scripts/deps.sh
cmake -S . -B "$build_dir" -G Ninja >/dev/null
cmake --build "$build_dir" -j2 --target pwd_changer qova-router

scratch=$(mktemp -d)
chmod 700 "$scratch"
router_pid=
stop_router() {
  if [[ -n $router_pid ]]; then
    kill "$router_pid" 2>/dev/null || true
    wait "$router_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap stop_router EXIT

# The demo account's password goes to the router in a private file, never on
# a command line.
password=${PWD_DEMO_PASSWORD:-demo-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')}
(umask 077 && printf '%s\n' "$password" >"$scratch/password")

"$build_dir/sim/router/qova-router" --listen "127.0.0.1:$port" \
  --password-file "$scratch/password" >"$scratch/router.out" 2>"$scratch/router.log" &
router_pid=$!
for _ in $(seq 100); do
  grep -q '^listening on ' "$scratch/router.out" && break
  if ! kill -0 "$router_pid" 2>/dev/null; then
    echo "qova-router did not start:" >&2
    cat "$scratch/router.log" >&2
    exit 1
  fi
  sleep 0.1
done
if ! grep -q '^listening on ' "$scratch/router.out"; then
  echo "qova-router did not start listening on 127.0.0.1:$port within 10 s" >&2
  exit 1
fi

echo "qova-router is listening on 127.0.0.1:$port."
echo "Demo account's current password: $password"
if [[ -t 0 ]]; then
  echo "Type it at the first prompt, then a new password twice (nothing is shown while you type)."
fi

status=0
"$build_dir/tool/pwd_changer" --host 127.0.0.1 --port "$port" || status=$?
echo "pwd_changer exited with status $status."
exit "$status"
