#!/usr/bin/env bash
# What the production log costs per disk, SQLite and PostgreSQL (a server of
# its own in a temporary folder): builds the benchmark and prints its table;
# then the same on an SQLite log and on a PostgreSQL log with a long history
# (LOG_BENCH_HISTORY records, default 1,000,000) and what `galmor log` costs
# on each.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target log_bench galmor >/dev/null
build/bin/log_bench
build/bin/log_bench --history "${LOG_BENCH_HISTORY:-1000000}"
exec build/bin/log_bench --history "${LOG_BENCH_HISTORY:-1000000}" --store postgresql
