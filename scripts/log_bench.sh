#!/usr/bin/env bash
# What the production log costs per disk, SQLite and PostgreSQL (a server of
# its own in a temporary folder): builds the benchmark and prints its table.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target log_bench >/dev/null
exec build/bin/log_bench
