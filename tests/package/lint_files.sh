#!/usr/bin/env bash
# Checks the hand-written packaging files with the tools distributions use.
# Usage: lint_files.sh PACKAGING_DIR
set -uo pipefail
dir=$1 failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for page in "$dir"/*.1; do
    out=$(LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>&1) && [ -z "$out" ] || fail "$page: $out"
    for needle in 'corbaloc::' 'NameService=corbaname::' 'EXIT STATUS'; do
        grep -q -e "$needle" "$page" || fail "$(basename "$page") lacks '$needle'"
    done
done
if command -v desktop-file-validate >/dev/null; then
    out=$(desktop-file-validate "$dir/kolvaro-client.desktop" 2>&1) && [ -z "$out" ] || fail "desktop entry: $out"
fi
for script in "$dir"/debian/server/*; do
    [ -x "$script" ] && sh -n "$script" || fail "$script is not an executable shell script"
done
unit=$dir/kolvaro-server.service
grep -qx 'ExecStart=/usr/bin/kolvaro-server' "$unit" || fail "unit does not run /usr/bin/kolvaro-server"
grep -qx 'DynamicUser=yes' "$unit" || grep -q '^User=' "$unit" || fail "unit would run the server as root"
grep -q 'viewBox=' "$dir/icons/kolvaro.svg" || fail "icon has no viewBox, it will not scale"
[ "$failures" -eq 0 ] && echo "packaging files ok"
