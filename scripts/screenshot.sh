#!/usr/bin/env bash
# Takes docs/screenshot.png: two clients side by side on a virtual screen,
# logged in as two users who show each other's areas and have drawn on them.
# Builds what it needs into BUILD_DIR (default build/); needs nothing on
# port 2809 and no display.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
out=${1:-docs/screenshot.png}

# The client driver is built with the tests.
cmake -S . -B "$build" -DKOLVARO_BUILD_TESTS=ON -DKOLVARO_BUILD_CLIENT=ON >/dev/null
cmake --build "$build" --target kolvaro-server kolvaro-client-driver >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A virtual screen exactly two windows wide; Xvfb picks a free display.
Xvfb -displayfd 9 -screen 0 1392x480x24 -nolisten tcp 9>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
DISPLAY=":$(head -n1 "$work/display")"
export DISPLAY

# A loopback port nothing listens on.
while :; do
    port=$((20000 + RANDOM % 40000))
    ss -ltnH "sport = :$port" | grep -q . || break
done
"$build/server/kolvaro-server" -ORBendPoint "giop:tcp:127.0.0.1:$port" >"$work/server.log" &
pids+=($!)
for _ in $(seq 100); do grep -q "Start server." "$work/server.log" && break; sleep 0.1; done

# One driven client per user: commands on fd IN_<user>, answers on OUT_<user>.
start_client() {
    local user=$1
    mkfifo "$work/$user.in" "$work/$user.out"
    QT_QPA_PLATFORM=xcb "$build/tests/e2e/kolvaro-client-driver" \
        -ORBInitRef "ServerObject=corbaloc::127.0.0.1:$port/ServerObject" \
        <"$work/$user.in" >"$work/$user.out" 2>"$work/$user.err" &
    pids+=($!)
}
start_client A
start_client B
exec 3>"$work/A.in" 4<"$work/A.out" 5>"$work/B.in" 6<"$work/B.out"

# say USER COMMAND...: runs one command and fails loudly unless it answers OK;
# the answer is left in $answer.
say() {
    local user=$1
    shift
    local in=3 out=4
    [ "$user" = B ] && in=5 out=6
    echo "$*" >&"$in"
    while IFS= read -r -t 60 answer <&"$out"; do
        case $answer in
        "OK "*) return 0 ;;
        *) echo "$user: $* -> $answer" >&2; cat "$work/$user.err" >&2; exit 1 ;;
        esac
    done
    echo "$user: $* -> no answer" >&2
    cat "$work/$user.err" >&2
    exit 1
}

# until_ USER PATTERN COMMAND...: asks again until the answer matches PATTERN.
until_() {
    local user=$1 pattern=$2
    shift 2
    for _ in $(seq 300); do
        say "$user" "$@"
        # shellcheck disable=SC2053
        [[ $answer == $pattern ]] && return 0
        sleep 0.1
    done
    echo "$user: $* never gave $pattern" >&2
    exit 1
}

say A place 0 0 696 480
say A login A
say A enter
say B place 696 0 696 480
say B login B
say B choose A
say B enter
until_ A "OK answer New login client*" answer yes
until_ A "OK state A,B|*" state
until_ B "OK state B,A|*" state
say A do Tile1
say B do Tile1

# A draws a house on its own area and signs B's; B draws a sun and a hill on
# its own and adds a tree to A's.
say A tool rectangle
say A drag A 60 150 210 280
say A drag A 115 210 155 280
say A tool line
say A drag A 50 160 135 80
say A drag A 135 80 220 160
say A tool fill
# A fill works on what the server has sent back: wait for the outlines.
until_ A "OK view *;*;*;*|replay" view A
say A click A 135 120
say A tool circle
say A drag B 200 40 300 140
say B tool circle
say B drag B 40 30 120 110
say B tool fill
until_ B "OK view *;*|replay" view B
say B click B 80 70
say B tool line
say B drag B 0 300 120 230
say B drag B 120 230 340 310
say B tool point
say B click B 150 60
say B click B 30 140
say B tool circle
say B drag A 250 140 320 220
say B tool line
say B drag A 285 220 285 290
say B tool fill
until_ B "OK view *;*;*;*;*;*;*|replay" view A
say B click A 285 180
say A tool line
say B tool circle
say A sync
say B sync
sleep 1

mkdir -p "$(dirname "$out")"
import -display "$DISPLAY" -window root "$out"
say A do Logout1
say B do Logout1
echo "Wrote $out"
