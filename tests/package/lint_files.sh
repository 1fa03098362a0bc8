#!/usr/bin/env bash
# Checks the hand-written packaging files with the tools that distributions use.
# Usage: lint_files.sh PACKAGING_DIR
set -uo pipefail
dir=$1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
skipped=()

if command -v desktop-file-validate >/dev/null; then
    # Hints are not errors, but they mean menus may show the entry oddly: none allowed.
    if ! out=$(desktop-file-validate "$dir/kolvaro-client.desktop" 2>&1) || [ -n "$out" ]; then
        fail "desktop entry: $out"
    fi
else
    skipped+=(desktop-file-validate)
fi

for page in "$dir"/*.1; do
    out=$(LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>&1) || fail "$page: groff failed"
    [ -z "$out" ] || fail "$(basename "$page"): $out"
    # Every page must say how a user reaches another port, another host and a naming service.
    for needle in 'ORBendPoint\|ORBInitRef ServerObject' 'corbaloc::' 'NameService=corbaname::' 'EXIT STATUS' 'EXAMPLES'; do
        grep -q -e "$needle" "$page" || fail "$(basename "$page") lacks '$needle'"
    done
done
grep -q 'Login of new Clinet' "$dir/kolvaro-server.1" || fail "server page does not list the console lines"

for script in "$dir"/debian/server/*; do
    [ -x "$script" ] || fail "$script is not executable"
    sh -n "$script" || fail "$script: syntax error"
    if command -v shellcheck >/dev/null; then
        shellcheck -s sh "$script" || fail "$script: shellcheck"
    fi
done
command -v shellcheck >/dev/null || skipped+=(shellcheck)

unit="$dir/kolvaro-server.service"
grep -qx 'ExecStart=/usr/bin/kolvaro-server' "$unit" || fail "unit does not run /usr/bin/kolvaro-server on its default port"
grep -qx 'DynamicUser=yes' "$unit" || grep -q '^User=' "$unit" || fail "unit would run the server as root"
grep -qx 'Restart=on-failure' "$unit" || fail "unit does not restart on failure"
grep -q '^LimitNOFILE=' "$unit" && grep -q '^TasksMax=' "$unit" || fail "unit keeps the default descriptor and task limits"
if command -v systemd-analyze >/dev/null; then
    # Outside a booted system verify also complains about the missing binary and
    # targets; only complaints about our own lines count.
    out=$(systemd-analyze verify --man=no "$unit" 2>&1 | grep -E 'kolvaro-server\.service:[0-9]+:')
    [ -z "$out" ] || fail "unit: $out"
else
    skipped+=(systemd-analyze)
fi

icon="$dir/icons/kolvaro.svg"
head -c 200 "$icon" | grep -q '<svg' || grep -q '<svg ' "$icon" || fail "icon is not SVG"
grep -q 'viewBox=' "$icon" || fail "icon has no viewBox, it will not scale"
if command -v xmllint >/dev/null; then
    xmllint --noout "$icon" || fail "icon is not well-formed XML"
else
    perl -MXML::Parser -e1 2>/dev/null && { perl -MXML::Parser -e 'XML::Parser->new->parsefile($ARGV[0])' "$icon" || fail "icon is not well-formed XML"; }
fi

[ ${#skipped[@]} -eq 0 ] || echo "note: not installed, not checked: ${skipped[*]}"
[ "$failures" -eq 0 ] || exit 1
echo "packaging files ok"
