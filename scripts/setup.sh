#!/usr/bin/env bash
# Installs the Debian packages the project needs and builds it into build/.
#
#   setup.sh        everything: every package, every program, test and benchmark
#   setup.sh demo   only what the demo runs: the programs and the library, a
#                   Release build into build-demo/, no test-only packages
set -euo pipefail
cd "$(dirname "$0")/.."
MODE=${1:-all}

# The demo's packages: compilers and the libraries the programs link, the
# tools the demo runs (xorriso, fsck.fat, minfo).
DEMO_PKGS="build-essential cmake g++ nlohmann-json3-dev libcli11-dev pkg-config libsqlite3-dev \
libpq-dev libssl-dev libudev-dev dosfstools mtools xorriso ccache"
PKGS="build-essential cmake g++ libgtest-dev libgmock-dev nlohmann-json3-dev libcli11-dev \
dosfstools mtools xorriso clang libclang-rt-14-dev ccache help2man pkg-config udev libsqlite3-dev libpq-dev \
libssl-dev libudev-dev umockdev libumockdev-dev postgresql qt6-base-dev qt6-svg-dev libqt6svg6 xvfb xauth jq python3-jsonschema"
# Packaging checks (CI, or UFD_PACKAGING=1): the Debian package's lint.
if [ "${CI:-}" = "true" ] || [ "${UFD_PACKAGING:-}" = "1" ]; then
    PKGS="$PKGS lintian devscripts"
fi
if [ "$MODE" = demo ]; then PKGS=$DEMO_PKGS; fi
SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
# shellcheck disable=SC2086
if ! dpkg -s $PKGS >/dev/null 2>&1; then
    $SUDO apt-get update
    # shellcheck disable=SC2086
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y $PKGS
fi

if [ "$MODE" = demo ]; then
    cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DUFD_TESTS=OFF -DUFD_QT=OFF \
        -DUFD_MANPAGES=OFF
    cmake --build build-demo -j"$(nproc)" --target galmor dorvel simbus sarnik
    exit 0
fi

# CI (and developers who ask for it) treat warnings as errors.
WERROR=OFF
if [ "${CI:-}" = "true" ] || [ "${UFD_WERROR:-}" = "1" ]; then WERROR=ON; fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUFD_WERROR="$WERROR"
cmake --build build -j"$(nproc)"
