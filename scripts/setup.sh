#!/usr/bin/env bash
# Installs the Debian packages the project needs and builds it into build/.
set -euo pipefail
cd "$(dirname "$0")/.."

PKGS="build-essential cmake g++ libgtest-dev libgmock-dev nlohmann-json3-dev libcli11-dev \
dosfstools mtools xorriso clang libclang-rt-14-dev ccache help2man pkg-config udev libsqlite3-dev libpq-dev \
libssl-dev libudev-dev umockdev libumockdev-dev postgresql qt6-base-dev qt6-svg-dev libqt6svg6 xvfb xauth jq"
# Packaging checks (CI, or UFD_PACKAGING=1): the Debian package's lint.
if [ "${CI:-}" = "true" ] || [ "${UFD_PACKAGING:-}" = "1" ]; then PKGS="$PKGS lintian"; fi
SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
# shellcheck disable=SC2086
if ! dpkg -s $PKGS >/dev/null 2>&1; then
    $SUDO apt-get update
    # shellcheck disable=SC2086
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y $PKGS
fi

# CI (and developers who ask for it) treat warnings as errors.
WERROR=OFF
if [ "${CI:-}" = "true" ] || [ "${UFD_WERROR:-}" = "1" ]; then WERROR=ON; fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUFD_WERROR="$WERROR"
cmake --build build -j"$(nproc)"
