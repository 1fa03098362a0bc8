#!/usr/bin/env bash
# Builds the Debian packages from a build tree and checks what an installer
# gets: the file lists, the unit's limits, and a server started from the
# unpacked package that a test peer logs in to.
# Usage: package_test.sh BUILD_DIR CPACK VERSION WITH_CLIENT PEER
set -euo pipefail
build_dir=$1 cpack=$2 version=$3 with_client=$4 peer=$5
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v dpkg-deb >/dev/null || { echo "SKIP: dpkg-deb is not installed"; exit 77; }
work=$(mktemp -d) pid=
trap '[ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT

"$cpack" --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb() { echo "$work/out/kolvaro-$1_${version}_$(dpkg --print-architecture).deb"; }

# The regular files of a package, owned by root, none setuid or world-writable.
check_files() {
    local deb=$1 listing; shift
    [ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$work/out")"
    listing=$(dpkg-deb -c "$deb")
    ! awk '$2 != "root/root" || $1 ~ /^...s|^......s|^........w/' <<<"$listing" | grep . || fail "$deb: owners or modes"
    diff <(printf '%s\n' "$@" | sort) <(awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' <<<"$listing" | sort) ||
        fail "$deb: files differ from the list"
}

check_files "$(deb server)" /usr/bin/kolvaro-server /usr/share/man/man1/kolvaro-server.1.gz \
    /usr/lib/systemd/system/kolvaro-server.service
root=$work/root
dpkg-deb -x "$(deb server)" "$root"
unit=$root/usr/lib/systemd/system/kolvaro-server.service
grep -q '^LimitNOFILE=' "$unit" && grep -q '^TasksMax=' "$unit" || fail "unit keeps the default descriptor and task limits"
[ -x "$root$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")" ] || fail "the unit starts a program the package lacks"

port=$(perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(LocalAddr => "127.0.0.1", Listen => 1)->sockport')
"$root/usr/bin/kolvaro-server" -ORBendPoint "giop:tcp:127.0.0.1:$port" >"$work/log" 2>&1 & pid=$!
for _ in $(seq 200); do [ -s "$work/log" ] && break; sleep 0.1; done
[ "$(head -n 1 "$work/log")" = "Start server." ] || fail "the packaged server did not start: $(cat "$work/log")"
answer=$(printf 'login pkgcheck\nquit\n' |
    timeout 30 "$peer" -ORBInitRef "ServerObject=corbaloc::127.0.0.1:$port/ServerObject" 2>&1) || true
grep -qx 'RESULT login 1' <<<"$answer" || fail "login to the packaged server gave: $answer"
kill -TERM "$pid"
wait "$pid" || fail "the server ended with status $? after SIGTERM"
pid=

if [ "$with_client" = 1 ]; then
    check_files "$(deb client)" /usr/bin/kolvaro-client /usr/share/man/man1/kolvaro-client.1.gz \
        /usr/share/applications/kolvaro-client.desktop /usr/share/icons/hicolor/scalable/apps/kolvaro.svg
else
    [ ! -f "$(deb client)" ] || fail "a client package was made although the client is not built"
fi
echo "package test passed"
