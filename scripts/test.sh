#!/usr/bin/env bash
# One command: install what is missing, build, run every test; then build the
# server side and the window suite again with AddressSanitizer and
# UndefinedBehaviorSanitizer and run them there too. SKIP_SANITIZE=1 leaves
# the second pass out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh -DKOLVARO_BUILD_TESTS=ON -DKOLVARO_BUILD_BENCH=ON
export QT_QPA_PLATFORM=offscreen
(cd build && ctest --output-on-failure -j2 --timeout 300)

if [ "${SKIP_SANITIZE:-0}" != 1 ]; then
    echo "== server suites under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
    # No client and no benchmarks: what is left is the server, its helpers and
    # their tests. The packages are checked once, in the normal build.
    BUILD_DIR=build-asan bash scripts/build.sh -DKOLVARO_SANITIZE=ON -DKOLVARO_BUILD_CLIENT=OFF \
        -DKOLVARO_BUILD_BENCH=OFF
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    # Sanitized processes are slower; the longer timeout keeps that from failing tests.
    (cd build-asan && ctest --output-on-failure -j2 --timeout 600 -LE package)

    echo "== window suite under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan-window/)"
    # The windows and dialogs without an ORB peer: the client code that runs
    # on the window thread, where a dangling pointer shows only sometimes.
    cmake -S . -B build-asan-window -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVARO_SANITIZE=ON \
        -DKOLVARO_BUILD_TESTS=ON -DKOLVARO_BUILD_BENCH=OFF >/dev/null
    cmake --build build-asan-window -j"$(nproc)" --target WindowTest RosterTest
    (cd build-asan-window && ctest --output-on-failure -j2 --timeout 600 -R '^window\.')
fi
