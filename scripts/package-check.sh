#!/usr/bin/env bash
# Builds the Debian packages (ufd-station, libsarnik1, libsarnik-dev) as a
# user's Release build would (warnings as errors off; a compiler warning still
# fails this check), lints them (no error, no warning), checks every ELF file
# with hardening-check, installs them with dpkg, builds a C99 program against
# the installed library through pkg-config and through find_package(sarnik),
# runs the demo from the installed programs as an ordinary user on the
# simulated bus, runs the udev rule checks on the installed rules, purges the
# packages and checks that nothing of them is left. Run as root on a machine
# where none of them is installed.
#
# PACKAGE_BUILD_DIR (default build-release) is the build folder, reused when
# present. PACKAGE_DEBS="A.deb B.deb C.deb" checks those instead of building.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
pkg=ufd-station
pkgs="ufd-station libsarnik1 libsarnik-dev"
group=galmor
user=ufd-demo

if [ "$(id -u)" -ne 0 ]; then
    echo "package-check.sh: needs root (dpkg -i, a demo user)" >&2
    exit 1
fi
for p in $pkgs; do
    if dpkg -s "$p" >/dev/null 2>&1; then
        echo "package-check.sh: $p is installed already; remove it first" >&2
        exit 1
    fi
done
if ! command -v lintian >/dev/null || ! command -v hardening-check >/dev/null; then
    apt-get install -y --no-install-recommends lintian devscripts >/dev/null
fi

work=$(mktemp -d)
chmod 755 "$work"
installed=0
cleanup() {
    if id "$user" >/dev/null 2>&1; then userdel -r "$user" >/dev/null 2>&1 || true; fi
    # A failed check leaves no package behind either.
    # shellcheck disable=SC2086
    if [ "$installed" = 1 ]; then dpkg --purge $pkgs >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

if [ -n "${PACKAGE_DEBS:-}" ]; then
    debs=$PACKAGE_DEBS
else
    echo "-- Release build (UFD_WERROR=OFF, no tests)"
    build=${PACKAGE_BUILD_DIR:-build-release}
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DUFD_WERROR=OFF -DUFD_TESTS=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr >"$work/configure.log"
    if ! cmake --build "$build" -j"$(nproc)" >"$work/build.log" 2>&1; then
        tail -n 40 "$work/build.log"
        exit 1
    fi
    if grep -n "warning:" "$work/build.log"; then
        echo "package-check.sh: the Release build has compiler warnings" >&2
        exit 1
    fi

    echo "-- Packages"
    rm -f "$build"/*.deb
    (cd "$build" && cpack -G DEB >"$work/cpack.log") || {
        cat "$work/cpack.log"
        exit 1
    }
    debs=
    for p in $pkgs; do debs="$debs $(ls "$build"/"$p"_*.deb)"; done
fi
for deb in $debs; do
    dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Section\|Depends\|Recommends\):/  &/p'
    dpkg-deb --contents "$deb" | awk '{print "    " $6 ($7 ? " " $7 " " $8 : "")}'
done

echo "-- lintian"
# shellcheck disable=SC2086
lintian --fail-on error,warning $debs || {
    echo "package-check.sh: lintian reports errors or warnings" >&2
    exit 1
}

echo "-- hardening-check"
# Control-flow protection is not asked for: Debian 12's C start-up files carry
# no IBT/SHSTK property, so no program linked here can show it.
for deb in $debs; do
    x=$work/x/$(basename "$deb")
    mkdir -p "$x"
    dpkg-deb -x "$deb" "$x"
    while IFS= read -r f; do
        if [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ]; then
            hardening-check --nocfprotection "$f" || {
                echo "package-check.sh: $f is not hardened" >&2
                exit 1
            }
        fi
    done < <(find "$x" -type f)
done

# What the dependencies need comes first, so that the snapshot below holds
# only what the packages themselves add (the compiler for the C99 check too).
# shellcheck disable=SC2086
depends=$(for deb in $debs; do dpkg-deb -f "$deb" Depends; echo ,; done |
    sed 's/([^)]*)//g; s/|[^,]*//g; s/,/ /g' | tr ' ' '\n' | grep -v -x -e '' -e libsarnik1 | sort -u)
depends="$depends gcc libc6-dev pkg-config cmake make"
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $depends >/dev/null
snapshot() {
    find /usr /etc /opt /var -xdev \
        \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \
        -o -path /var/tmp -o -path /var/lib/systemd -o -path /var/mail -o -path /var/spool \) -prune \
        -o -print 2>/dev/null | grep -Ev '^/etc/(group|gshadow|passwd|shadow|subuid|subgid)-?$' |
        sort
}
snapshot >"$work/before"

echo "-- dpkg -i"
installed=1
# shellcheck disable=SC2086
dpkg -i $debs
getent group "$group" >/dev/null || {
    echo "package-check.sh: postinst did not create the group $group" >&2
    exit 1
}

echo "-- A C99 program against the installed library"
consumer=$src/tests/package/consumer
mkdir -p "$work/c99"
cc -std=c99 -pedantic-errors -Wall -Wextra -Werror -o "$work/c99/count_pc" \
    "$consumer/count_disks.c" $(pkg-config --cflags --libs sarnik) || {
    echo "package-check.sh: the C99 program does not build through pkg-config" >&2
    exit 1
}
cmake -S "$consumer" -B "$work/c99/cmake" -DCMAKE_BUILD_TYPE=Release >"$work/c99.log" 2>&1 &&
    cmake --build "$work/c99/cmake" >>"$work/c99.log" 2>&1 || {
    cat "$work/c99.log"
    echo "package-check.sh: the C99 program does not build through find_package(sarnik)" >&2
    exit 1
}

echo "-- Demo from the installed programs, as the user $user"
useradd --create-home --shell /bin/bash "$user"
# The demo's script and recipe, readable by the user wherever this tree is.
mkdir -p "$work/src/scripts" "$work/src/demo"
cp scripts/demo.sh "$work/src/scripts/"
cp demo/Product.ini "$work/src/demo/"
chmod -R a+rX "$work/src"
demo_dir=$(runuser -u "$user" -- mktemp -d)
set +e
runuser -u "$user" -- env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin HOME="/home/$user" LANG=C.UTF-8 \
    DEMO_BIN=/usr/bin DEMO_DIR="$demo_dir/run" bash "$work/src/scripts/demo.sh" >"$work/demo.log" 2>&1
rc=$?
set -e
cat "$work/demo.log"
rm -rf "$demo_dir"
if [ "$rc" -ne 0 ]; then
    echo "package-check.sh: the demo from the installed programs exited $rc" >&2
    exit 1
fi
grep -q "! ALL PASS !" "$work/demo.log" || {
    echo "package-check.sh: the installed demo run did not pass every disk" >&2
    exit 1
}

echo "-- udev rules as installed"
rules=$(dpkg -L "$pkg" | grep '/rules.d/.*\.rules$')
set +e
bash "$src/tests/package/udev_rules_test.sh" "$rules" "$group" "$src/tests/package/udev"
rc=$?
set -e
case $rc in
0) ;;
77) echo "(udev rule checks skipped here)" ;;
*) exit 1 ;;
esac

echo "-- dpkg --purge"
userdel -r "$user" >/dev/null 2>&1 || true
rm -rf "$work/c99"
for p in $pkgs; do dpkg -L "$p"; done >"$work/files"
# shellcheck disable=SC2086
dpkg --purge $pkgs
left=0
while IFS= read -r f; do
    if [ -e "$f" ] && [ ! -d "$f" ]; then
        echo "left behind: $f"
        left=1
    fi
done <"$work/files"
snapshot >"$work/after"
if ! diff "$work/before" "$work/after" >"$work/diff"; then
    echo "package-check.sh: the system differs after the purge:" >&2
    cat "$work/diff" >&2
    left=1
fi
[ "$left" -eq 0 ] || exit 1
echo "-- Packages built, linted, hardened, installed, used, purged; nothing left (the group $group stays)"
