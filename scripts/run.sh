#!/usr/bin/env bash
# One command: install what is missing, build, start a server unless one is
# listening already, then open a client window. Extra arguments go to the client.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh -DKOLVARO_BUILD_TESTS=OFF -DKOLVARO_BUILD_BENCH=OFF

if ! (exec 3<>/dev/tcp/127.0.0.1/2809) 2>/dev/null; then
    echo "Starting kolvaro-server on port 2809 (log: build/kolvaro-server.log)"
    nohup build/server/kolvaro-server >build/kolvaro-server.log 2>&1 &
    for _ in $(seq 50); do
        (exec 3<>/dev/tcp/127.0.0.1/2809) 2>/dev/null && break
        sleep 0.1
    done
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found; starting a virtual one on :99 (view it with a VNC viewer on Xvfb, or set DISPLAY)."
    Xvfb :99 -screen 0 1280x800x24 >/dev/null 2>&1 &
    export DISPLAY=:99
    sleep 1
fi
exec build/client/kolvaro-client "$@"
