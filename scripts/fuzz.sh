#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzz.cpp) with clang and runs each for a
# bounded time. FUZZ_SECONDS sets the time per target (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++ || true)}
cc=${FUZZ_CC:-$(command -v clang-14 || command -v clang || true)}
if [ -z "$cxx" ] || [ -z "$cc" ]; then
    echo "fuzz.sh: clang is needed (Debian package clang-14)" >&2
    exit 1
fi
build=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-30}

cmake -S fuzz -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$build" -j"$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=$PWD/$build/artifacts
mkdir -p "$artifacts"
status=0
for src in fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    corpus=$work/$name
    mkdir -p "$corpus"
    # Seeds: the files in fuzz/seeds/<name>/ and, for the recipe, the demo recipe.
    if [ -d "fuzz/seeds/$name" ]; then cp -r "fuzz/seeds/$name/." "$corpus/"; fi
    if [ "$name" = recipe_fuzz ] && [ -f demo/Product.ini ]; then cp demo/Product.ini "$corpus/"; fi
    echo "== $name (${seconds}s)"
    if ! "$build/bin/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts/$name-" -print_final_stats=1 "$corpus"; then
        echo "fuzz.sh: $name found a problem; reproducer in $artifacts" >&2
        status=1
    fi
done
exit "$status"
