#!/usr/bin/env bash
# The server's concurrency under ThreadSanitizer: builds the server side into
# build-tsan/ and runs its suites and a short soak there. Reports of the server
# process go to build-tsan/tsan-reports/. Not part of CI (it is slow); run it
# after changing the server's threading. SOAK_SECONDS sets the soak's length.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
BUILD_DIR=build-tsan bash scripts/build.sh -DKOLVARO_TSAN=ON -DKOLVARO_BUILD_CLIENT=OFF \
    -DKOLVARO_BUILD_BENCH=ON
reports=$PWD/build-tsan/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
options="halt_on_error=0 history_size=4 log_path=$reports/report"
[ -f tests/tsan.supp ] && options+=" suppressions=$PWD/tests/tsan.supp"
export TSAN_OPTIONS=$options
status=0
(cd build-tsan && ctest --output-on-failure -j1 --timeout 900 -LE package) || status=1
# Slow think times: instrumented clients are several times slower.
build-tsan/bench/soak/bench_soak "${SOAK_SECONDS:-60}" --think-ms 30 --no-memory-check || status=1
if ls "$reports"/report.* >/dev/null 2>&1; then
    echo "ThreadSanitizer reports:"
    grep -h -A3 "WARNING: ThreadSanitizer" "$reports"/report.* | head -100
    status=1
else
    echo "No ThreadSanitizer reports."
fi
exit $status
