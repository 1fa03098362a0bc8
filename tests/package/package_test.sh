#!/usr/bin/env bash
# Builds the Debian packages from a build tree and checks them as an installer
# would see them: fields, file list, dependencies, maintainer scripts, and a
# server started from the unpacked package. With CI=true (as root, without a
# running systemd) the server package is also installed for real and purged.
#
# Usage: package_test.sh BUILD_DIR CPACK VERSION WITH_CLIENT [PROBE]
set -euo pipefail

build_dir=$1 cpack=$2 version=$3 with_client=$4 probe=${5:-}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
skip() {
    echo "SKIP: $*"
    exit 77
}
for tool in dpkg-deb dpkg perl readelf ldconfig; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

work=$(mktemp -d)
pids=()
installed_for_real=0
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    if [ "$installed_for_real" = 1 ]; then
        dpkg --purge kolvaro-server >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    perl -MIO::Socket::INET -e \
        '$s = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 1) or die; print $s->sockport'
}

# Waits for the first line of a server log; prints it.
first_line_of() {
    local log=$1 pid=$2
    for _ in $(seq 200); do
        if [ -s "$log" ] && [ "$(wc -l <"$log")" -ge 1 ]; then
            head -n 1 "$log"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    head -n 1 "$log" 2>/dev/null || true
}

# Starts SERVER on a free loopback port, expects the start line, logs a user in
# through the probe when there is one, and ends the server with SIGTERM.
check_server_runs() {
    local server=$1 tag=$2
    local port log
    port=$(free_port)
    log="$work/$tag.log"
    "$server" -ORBendPoint "giop:tcp:127.0.0.1:$port" >"$log" 2>"$work/$tag.err" &
    local pid=$!
    pids+=("$pid")
    local line
    line=$(first_line_of "$log" "$pid")
    [ "$line" = "Start server." ] || {
        cat "$work/$tag.err" >&2
        fail "$tag: first line of the server is '$line', not 'Start server.'"
    }
    if [ -n "$probe" ]; then
        local answer
        answer=$(printf 'login pkgcheck\nquit\n' |
            timeout 30 "$probe" -ORBInitRef "ServerObject=corbaloc::127.0.0.1:$port/ServerObject" 2>&1) ||
            fail "$tag: the probe failed: $answer"
        grep -qx 'RESULT login 1' <<<"$answer" || fail "$tag: login through the installed server gave: $answer"
        grep -qx 'Login of new Clinet: pkgcheck' "$log" || fail "$tag: no login line in the server log"
    fi
    kill -TERM "$pid"
    local status=0
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || fail "$tag: server ended with status $status after SIGTERM"
    echo "ok: $tag server started and served on 127.0.0.1:$port"
}

# Packages that provide the shared libraries FILE needs, one per line.
packages_needed_by() {
    local file=$1 lib path
    readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | while read -r lib; do
        path=$(ldconfig -p | awk -v l="$lib" '$1 == l && /x86-64|x86_64|64bit/ { print $NF; exit }')
        [ -n "$path" ] || path=$(ldconfig -p | awk -v l="$lib" '$1 == l { print $NF; exit }')
        [ -n "$path" ] || fail "$(basename "$file") needs $lib, which this machine does not have"
        # Merged /usr: dpkg may know the file under either name.
        dpkg -S "$path" 2>/dev/null || dpkg -S "$(readlink -f "$path")" 2>/dev/null ||
            dpkg -S "${path#/usr}" 2>/dev/null || fail "no package owns $path"
    done | sed 's/:.*//' | sort -u
}

depends_of() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (:].*//' | sort -u; }

check_fields() {
    local deb=$1 name=$2 section
    [ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || fail "$deb: wrong package name"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$name: version is not $version"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "$name: wrong architecture"
    dpkg-deb -f "$deb" Maintainer | grep -Eq '^[^<]+ <[^@ ]+@[^> ]+>$' || fail "$name: maintainer is not 'Name <address>'"
    section=$(dpkg-deb -f "$deb" Section)
    [ -n "$section" ] || fail "$name: no section"
    [ -n "$(dpkg-deb -f "$deb" Description | sed -n 2p)" ] || fail "$name: description has no long text"
}

# The regular files of DEB, sorted, checked against the list expected; every
# entry must belong to root and nothing may be setuid or world-writable.
check_files() {
    local deb=$1
    shift
    local listing actual expected
    listing=$(dpkg-deb -c "$deb")
    awk '$2 != "root/root" { print "FAIL: not owned by root: " $0; bad = 1 } END { exit bad }' <<<"$listing" >&2 ||
        fail "$deb: file owners"
    awk 'substr($1, 4, 1) == "s" || substr($1, 7, 1) == "s" || substr($1, 9, 1) == "w" { print "FAIL: " $0; bad = 1 } END { exit bad }' \
        <<<"$listing" >&2 || fail "$deb: file modes"
    actual=$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sed 's|^\./|/|' | sort)
    expected=$(printf '%s\n' "$@" | sort)
    [ "$actual" = "$expected" ] || fail "$deb: files differ from the expected list:
$(diff <(echo "$expected") <(echo "$actual"))"
}

check_depends() {
    local deb=$1 root=$2 binary=$3
    shift 3
    local deps pkg needed
    deps=$(depends_of "$deb")
    needed=$(packages_needed_by "$root$binary")
    for pkg in $needed "$@"; do
        grep -qx "$pkg" <<<"$deps" || fail "$(basename "$deb"): Depends lacks $pkg (has: $(tr '\n' ' ' <<<"$deps"))"
    done
}

# Runs a maintainer script with every systemd tool replaced by a recorder, so
# that nothing on this machine changes, and prints what it asked for.
run_maintainer_script() {
    local script=$1
    shift
    local stubs="$work/stubs"
    mkdir -p "$stubs"
    for tool in systemctl deb-systemd-helper deb-systemd-invoke; do
        printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/calls" >"$stubs/$tool"
        chmod +x "$stubs/$tool"
    done
    : >"$work/calls"
    PATH="$stubs:$PATH" sh -e "$script" "$@" || fail "$(basename "$script") $* exits with $?"
    cat "$work/calls"
}

check_maintainer_scripts() {
    local deb=$1 control="$work/control" calls
    dpkg-deb -e "$deb" "$control"
    for s in postinst prerm postrm; do
        [ -x "$control/$s" ] || fail "$s missing or not executable"
    done

    calls=$(run_maintainer_script "$control/postinst" configure "")
    grep -q 'deb-systemd-helper enable kolvaro-server.service' <<<"$calls" ||
        grep -q 'deb-systemd-helper update-state kolvaro-server.service' <<<"$calls" ||
        fail "postinst does not enable the service: $calls"
    if [ -d /run/systemd/system ]; then
        grep -Eq '(deb-systemd-invoke|systemctl) start kolvaro-server.service' <<<"$calls" ||
            fail "postinst does not start the service under systemd: $calls"
    else
        ! grep -Eq ' (start|restart|try-restart|daemon-reload)' <<<"$calls" ||
            fail "postinst touches a systemd that is not running: $calls"
    fi

    calls=$(run_maintainer_script "$control/postinst" configure "0.9")
    ! grep -q ' start ' <<<"$calls" || fail "an upgrade should restart a running server, not start a stopped one"

    calls=$(run_maintainer_script "$control/prerm" remove)
    [ -d /run/systemd/system ] || [ -z "$calls" ] || fail "prerm calls systemd that is not running: $calls"
    run_maintainer_script "$control/prerm" upgrade "1.1" >/dev/null
    calls=$(run_maintainer_script "$control/postrm" purge)
    grep -q 'deb-systemd-helper purge kolvaro-server.service' <<<"$calls" || fail "postrm purge forgets nothing: $calls"
    run_maintainer_script "$control/postrm" remove >/dev/null
    run_maintainer_script "$control/postrm" upgrade "1.1" >/dev/null
    echo "ok: maintainer scripts"
}

# --- build -----------------------------------------------------------------
"$cpack" --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log" >&2
    fail "cpack failed"
}
arch=$(dpkg --print-architecture)
server_deb="$work/out/kolvaro-server_${version}_${arch}.deb"
client_deb="$work/out/kolvaro-client_${version}_${arch}.deb"
[ -f "$server_deb" ] || fail "no server package; cpack made: $(ls "$work/out")"

# --- server package ----------------------------------------------------------
check_fields "$server_deb" kolvaro-server
check_files "$server_deb" /usr/bin/kolvaro-server /usr/share/man/man1/kolvaro-server.1.gz \
    /usr/lib/systemd/system/kolvaro-server.service
root="$work/root"
dpkg-deb -x "$server_deb" "$root"
check_depends "$server_deb" "$root" /usr/bin/kolvaro-server
exec_start=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$root/usr/lib/systemd/system/kolvaro-server.service")
[ -x "$root$exec_start" ] || fail "the unit starts $exec_start, which the package does not install"
gzip -t "$root/usr/share/man/man1/kolvaro-server.1.gz" || fail "manual page is not gzip"
check_maintainer_scripts "$server_deb"
check_server_runs "$root/usr/bin/kolvaro-server" unpacked

# --- client package ----------------------------------------------------------
if [ "$with_client" = 1 ]; then
    [ -f "$client_deb" ] || fail "no client package; cpack made: $(ls "$work/out")"
    check_fields "$client_deb" kolvaro-client
    check_files "$client_deb" /usr/bin/kolvaro-client /usr/share/man/man1/kolvaro-client.1.gz \
        /usr/share/applications/kolvaro-client.desktop /usr/share/icons/hicolor/scalable/apps/kolvaro.svg
    dpkg-deb -x "$client_deb" "$root"
    # Qt loads its platform, icon and JPEG plugins at run time: readelf cannot see those.
    check_depends "$client_deb" "$root" /usr/bin/kolvaro-client libqt6svg6 qt6-qpa-plugins libjpeg62-turbo
    desktop="$root/usr/share/applications/kolvaro-client.desktop"
    exe=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$root/usr/bin/$exe" ] || fail "the desktop entry runs $exe, which the package does not install"
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the desktop entry's icon $icon is not installed"
    echo "ok: client package"
elif [ -f "$client_deb" ]; then
    fail "a client package was made although the client is not built"
fi

# --- a real installation, CI only ----------------------------------------------
if [ "${CI:-}" = true ] && [ "$(id -u)" = 0 ]; then
    if [ -d /run/systemd/system ]; then
        echo "note: systemd is running here; not installing, it would start the service on port 2809"
    elif dpkg-query -W -f='${Status}' kolvaro-server 2>/dev/null | grep -q 'ok installed'; then
        echo "note: kolvaro-server is installed on this machine already; not touching it"
    else
        installed_for_real=1
        dpkg -i "$server_deb" >"$work/dpkg.log" 2>&1 || {
            cat "$work/dpkg.log" >&2
            fail "dpkg -i failed"
        }
        check_server_runs /usr/bin/kolvaro-server installed
        dpkg --purge kolvaro-server >"$work/dpkg.log" 2>&1 || {
            cat "$work/dpkg.log" >&2
            fail "dpkg --purge failed"
        }
        installed_for_real=0
        [ ! -e /usr/bin/kolvaro-server ] || fail "purge left /usr/bin/kolvaro-server behind"
        [ ! -e /etc/systemd/system/multi-user.target.wants/kolvaro-server.service ] ||
            fail "purge left the service enabled"
        echo "ok: installed with dpkg -i, served, purged"
    fi
fi
echo "package test passed"
