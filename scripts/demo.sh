#!/usr/bin/env bash
# The main job: build pwd_changer and the local router, start the router with
# a demo account, and change that account's password interactively.
#
#   scripts/demo.sh
#
# On a fresh Debian 12 machine as root (or with sudo) it first installs the
# missing packages.  The demo account lives in a SQLite database
# (build/demo-account.db, the password only as an Argon2id hash).  The first
# run creates it with a freshly generated password, which is printed; later
# runs keep the database, so the password set last time is the one to type
# (the script prints it only when it made it).  The router listens on
# 127.0.0.1:4001; pwd_changer asks for the old password and twice for the new
# one.  The router is stopped on every way out, and the script exits with
# pwd_changer's status (0: password changed).  Works with the passwords piped
# in as well; then fix the demo password, which also resets the account:
#
#   printf '%s\n' demo-old demo-new demo-new | PWD_DEMO_PASSWORD=demo-old scripts/demo.sh
#
# Settings from the environment: PWD_BUILD_DIR (default build), PWD_JOBS
# (parallel compile jobs, default 2), PWD_DEMO_PORT (default 4001),
# PWD_DEMO_PASSWORD (sets the account's password before the run), PWD_DEMO_DB
# (default BUILD_DIR/demo-account.db).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${PWD_BUILD_DIR:-build}
jobs=${PWD_JOBS:-2}
port=${PWD_DEMO_PORT:-4001}

scripts/deps.sh
cmake -S . -B "$build_dir" -G Ninja >/dev/null
cmake --build "$build_dir" -j "$jobs" --target pwd_changer qova-router

router="$build_dir/sim/router/qova-router"
source scripts/lib/router.sh  # sets $scratch and the EXIT trap

db=${PWD_DEMO_DB:-$build_dir/demo-account.db}

# The account is created, or reset when a password is given, through the
# router's own --init-password, which reads the password from standard input:
# it never stands on a command line.
password=
if [[ -n ${PWD_DEMO_PASSWORD:-} || ! -e $db ]]; then
  password=${PWD_DEMO_PASSWORD:-demo-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')}
  force=()
  [[ -e $db ]] && force=(--force)
  (umask 077 && printf '%s\n' "$password" | "$router" --db "$db" --init-password "${force[@]}")
fi

router_start "$scratch/router.out" "$scratch/router.log" --listen "127.0.0.1:$port" --db "$db" </dev/null

echo "qova-router is listening on 127.0.0.1:$port."
if [[ -n $password ]]; then
  echo "Demo account's current password: $password"
else
  echo "Demo account ($db) kept from the last run: its password is the one set then."
  echo "(Forgotten? PWD_DEMO_PASSWORD=<new> scripts/demo.sh resets it first.)"
fi
if [[ -t 0 ]]; then
  echo "Type it at the first prompt, then a new password twice (nothing is shown while you type)."
fi

status=0
"$build_dir/tool/pwd_changer" --host 127.0.0.1 --port "$port" || status=$?
echo "pwd_changer exited with status $status."
exit "$status"
