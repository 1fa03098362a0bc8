#!/usr/bin/env bash
# One command: install what is missing, build, start a server unless one is
# listening already, then open a client window. Extra arguments go to the client.
# KOLVARO_PORT picks another port than the standard 2809 (for the server this
# script starts and for the client it opens).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh -DKOLVARO_BUILD_TESTS=OFF -DKOLVARO_BUILD_BENCH=OFF

port=${KOLVARO_PORT:-2809}
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }

if ! listening; then
    echo "Starting kolvaro-server on port $port (log: build/kolvaro-server.log)"
    nohup build/server/kolvaro-server -ORBendPoint "giop:tcp::$port" >build/kolvaro-server.log 2>&1 &
    server=$!
    for _ in $(seq 100); do
        listening && break
        kill -0 "$server" 2>/dev/null || { cat build/kolvaro-server.log >&2; exit 1; }
        sleep 0.1
    done
    echo "The server keeps running for further clients; stop it with: kill $server"
fi

client_args=()
[ "$port" = 2809 ] || client_args=(-ORBInitRef "ServerObject=corbaloc::localhost:$port/ServerObject")

xvfb=""
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    # No screen: a virtual one, on the first free display number.
    displayfile=$(mktemp)
    Xvfb -displayfd 9 -screen 0 1280x800x24 9>"$displayfile" >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do [ -s "$displayfile" ] && break; sleep 0.1; done
    DISPLAY=":$(head -n1 "$displayfile")"
    export DISPLAY
    rm -f "$displayfile"
    echo "No display found; the client runs on the virtual screen $DISPLAY (view it with a VNC server such as x11vnc, or set DISPLAY)."
fi

status=0
build/client/kolvaro-client "${client_args[@]}" "$@" || status=$?
[ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
exit "$status"
