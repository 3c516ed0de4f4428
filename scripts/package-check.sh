#!/usr/bin/env bash
# Builds the Debian package as a user's Release build would (warnings as errors
# off; a compiler warning still fails this check), lints it, installs it with
# dpkg, runs the demo from the installed programs as an ordinary user on the
# simulated bus, runs the udev rule checks on the installed rules, purges the
# package and checks that nothing of it is left. Run as root on a machine
# where the package is not installed.
#
# PACKAGE_BUILD_DIR (default build-release) is the build folder, reused when
# present. PACKAGE_DEB=FILE checks that package instead of building one.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
pkg=ufd-station
group=galmor
user=ufd-demo

if [ "$(id -u)" -ne 0 ]; then
    echo "package-check.sh: needs root (dpkg -i, a demo user)" >&2
    exit 1
fi
if dpkg -s "$pkg" >/dev/null 2>&1; then
    echo "package-check.sh: $pkg is installed already; remove it first" >&2
    exit 1
fi
if ! command -v lintian >/dev/null; then
    apt-get install -y lintian >/dev/null
fi

work=$(mktemp -d)
chmod 755 "$work"
installed=0
cleanup() {
    if id "$user" >/dev/null 2>&1; then userdel -r "$user" >/dev/null 2>&1 || true; fi
    # A failed check leaves no package behind either.
    if [ "$installed" = 1 ] && dpkg -s "$pkg" >/dev/null 2>&1; then dpkg --purge "$pkg" >/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

if [ -n "${PACKAGE_DEB:-}" ]; then
    deb=$PACKAGE_DEB
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

    echo "-- Package"
    rm -f "$build"/"$pkg"_*.deb
    (cd "$build" && cpack -G DEB >"$work/cpack.log") || {
        cat "$work/cpack.log"
        exit 1
    }
    deb=$(ls "$build"/"$pkg"_*.deb)
fi
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\|Recommends\):/  &/p'
dpkg-deb --contents "$deb" | awk '{print "  " $6 ($7 ? " " $7 " " $8 : "")}'

echo "-- lintian"
lintian --fail-on error "$deb" || {
    echo "package-check.sh: lintian reports errors" >&2
    exit 1
}

# What the dependencies need comes first, so that the snapshot below holds
# only what the package itself adds.
depends=$(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/|[^,]*//g; s/,/ /g')
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
dpkg -i "$deb"
getent group "$group" >/dev/null || {
    echo "package-check.sh: postinst did not create the group $group" >&2
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
dpkg -L "$pkg" >"$work/files"
dpkg --purge "$pkg"
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
echo "-- Package built, linted, installed, used, purged; nothing left (the group $group stays)"
