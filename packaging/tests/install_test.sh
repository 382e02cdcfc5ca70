#!/usr/bin/env bash
# Installs the programs, the library and their files into a scratch prefix,
# moves the installed tree elsewhere, checks that nothing installed points
# back into the build tree, then changes a password with the installed
# pwd_changer against the installed qova-router on loopback, in a clean
# environment whose PATH holds the installed programs and the system's only.
#   install_test.sh BUILD_DIR WORK_DIR LIBDIR
set -euo pipefail
build=$(cd "$1" && pwd) work=$2 libdir=$3

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
installed=$work/installed
# One component at a time: each writes a manifest of its own, so this test
# never races the qovautils install test for install_manifest.txt.
for component in tool libqova libqova_dev router; do
    cmake --install "$build" --prefix "$work/prefix" --component "$component" >/dev/null
done
# Nothing may rely on where it was installed.
mv "$work/prefix" "$installed"

for file in bin/pwd_changer bin/qova-router "$libdir/libqova.so.5" include/qova.h \
    share/man/man1/pwd_changer.1.gz share/man/man8/qova-router.8.gz share/man/man5/qova.ini.5.gz \
    share/bash-completion/completions/pwd_changer share/bash-completion/completions/qova-router \
    lib/systemd/system/qova-router.service share/doc/libqova5/examples/qova.ini \
    share/doc/pwd-changer/copyright share/doc/qova-router/changelog.Debian.gz; do
    [[ -f $installed/$file ]] || fail "not installed: $file"
done
[[ $(readlink "$installed/$libdir/libqova.so") == libqova.so.5 ]] || fail "libqova.so does not link to libqova.so.5"

# No RUNPATH or RPATH but one relative to the program itself.
while IFS= read -r -d '' file; do
    readelf -h "$file" >/dev/null 2>&1 || continue
    paths=$(readelf -d "$file" | sed -n 's/.*(R[UN]*PATH).*\[\(.*\)\]/\1/p')
    for path in ${paths//:/ }; do
        [[ $path == '$ORIGIN'* ]] || fail "$file searches $path"
    done
done < <(find "$installed" -type f -print0)
runpath=$(readelf -d "$installed/bin/pwd_changer" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[[ $runpath == "\$ORIGIN/../$libdir" ]] || fail "pwd_changer's RUNPATH is '$runpath'"

# The build tree out of reach: no variable of this environment, a PATH of the
# installed programs and the system's.
run=(env -i HOME="$work" PATH="$installed/bin:/usr/bin:/bin")
[[ $("${run[@]}" sh -c 'command -v pwd_changer') == "$installed/bin/pwd_changer" ]] || fail "pwd_changer not found in PATH"
loaded=$("${run[@]}" ldd "$installed/bin/pwd_changer" | sed -n 's/.*libqova\.so\.5 => \([^ ]*\).*/\1/p')
[[ $(realpath "$loaded") == $(realpath "$installed/$libdir/libqova.so.5") ]] || fail "pwd_changer loads libqova.so.5 from '$loaded'"

db=$work/account.db
printf 'old-secret\n' | "${run[@]}" qova-router --db "$db" --init-password --hash-cost min 2>"$work/init.log" ||
    fail "--init-password: $(cat "$work/init.log")"

"${run[@]}" qova-router --db "$db" --hash-cost min --listen 127.0.0.1:0 >"$work/router.out" 2>"$work/router.log" </dev/null &
router=$!
trap 'kill "$router" 2>/dev/null || true' EXIT
port=
for _ in $(seq 200); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/router.out")
    [[ -n $port ]] && break
    kill -0 "$router" 2>/dev/null || break
    sleep 0.05
done
[[ -n $port ]] || fail "qova-router did not start: $(cat "$work/router.log")"

status=0
printf '%s\n' old-secret new-secret new-secret |
    "${run[@]}" pwd_changer --host 127.0.0.1 --port "$port" >"$work/tool.out" 2>"$work/tool.err" || status=$?
[[ $status == 0 ]] || fail "pwd_changer exited with $status: $(cat "$work/tool.out" "$work/tool.err")"
grep -qx 'Successful results; Result code: 0; message: Password changed' "$work/tool.out" ||
    fail "no result line: $(cat "$work/tool.out")"

kill "$router"
status=0
wait "$router" || status=$?
[[ $status == 0 ]] || fail "qova-router stopped with $status: $(cat "$work/router.log")"
trap - EXIT

# The change is in the audit trail, after the account's creation.
"${run[@]}" qova-router --db "$db" --audit >"$work/audit.out" || fail "--audit failed"
[[ $(sed -n 's/^[^ ]* //p' "$work/audit.out") == $'"qova-router --init-password" 0\n"pwd_changer" 0' ]] ||
    fail "audit trail: $(cat "$work/audit.out")"
echo "installed programs changed the password"
