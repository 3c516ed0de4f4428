#!/usr/bin/env bash
# `cmake --install` into a scratch prefix, then the installed tree used as a
# floor would use it: a program built against the library with find_package
# and with pkg-config, and the installed station started on a simulated bus.
#
#   install_test.sh BUILD_DIR SONAME
set -euo pipefail
build=$1 soname=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

lib=$(find "$prefix" -name "$soname" | head -n 1)
[ -n "$lib" ] || { echo "FAIL: $soname not installed"; exit 1; }
libdir=$(dirname "$lib")
bindir=$prefix/bin
readelf -d "$lib" | grep -q "Library soname: \[$soname\]" || fail "SONAME of $lib is not $soname"
[ -L "$libdir/libsarnik.so" ] || fail "no development link libsarnik.so"
for f in include/sarnik.h include/sarnik_files.h; do
    [ -f "$prefix/$f" ] || fail "$f not installed"
done
for prog in galmor simbus dorvel; do
    if [ -x "$build/bin/$prog" ]; then
        [ -x "$bindir/$prog" ] || fail "$prog is built but not installed in bin"
        if [ -f "$build/packaging/man/$prog.1.gz" ]; then
            [ -f "$prefix/share/man/man1/$prog.1.gz" ] || fail "man page of $prog not installed"
        fi
    fi
done
[ -f "$prefix/lib/udev/rules.d/70-galmor.rules" ] || fail "udev rules not installed"
# Nothing of the build tree may be needed at run time.
if readelf -d "$bindir/galmor" | grep -q "$build"; then fail "galmor refers to the build tree"; fi

# A bus with two disks of the family.
export SARNIK_SIM_BUS=$work/bus SARNIK_ROOT=$work/sarnik
mkdir -p "$SARNIK_SIM_BUS" "$SARNIK_ROOT"
"$bindir/simbus" plug >/dev/null
"$bindir/simbus" plug --chips 75 >/dev/null

# find_package(sarnik)
if cmake -S "$here/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >"$work/consumer.log" 2>&1 &&
    cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1; then
    got=$("$work/consumer/count_disks" || true)
    [ "$got" = 2 ] || fail "find_package consumer counted '${got}' disks, want 2"
else
    fail "find_package consumer does not build"
    sed 's/^/    /' "$work/consumer.log" | tail -n 20
fi

# pkg-config
export PKG_CONFIG_PATH=$libdir/pkgconfig
if flags=$(pkg-config --cflags --libs sarnik) &&
    cc -std=c99 -pedantic-errors -Wall -Wextra -Werror -o "$work/count_pc" \
        "$here/consumer/count_disks.c" $flags -Wl,-rpath,"$libdir"; then
    got=$("$work/count_pc" || true)
    [ "$got" = 2 ] || fail "pkg-config consumer counted '${got}' disks, want 2"
else
    fail "pkg-config consumer does not build"
fi

# The installed station: recipe in the user's configuration folder, library
# found from the program's own place (not from the build tree).
export XDG_CONFIG_HOME=$work/config
home=$XDG_CONFIG_HOME/galmor
mkdir -p "$home/files"
head -c 4096 /dev/zero >"$home/files/7301.img"
head -c 1000 /dev/zero >"$home/files/Reserve.img"
printf '[VID/PID]\r\nVID=1234\r\nPID=5678\r\n[USB MANUFACTURE STRING]\r\nAB\r\n[USB PRODUCT STRING]\r\nDisk\r\n[SCSI MANUFACTURE STRING]\r\nAB\r\n[SCSI PRODUCT STRING]\r\nDisk\r\n[PARTITION STATUS]\r\nParNum=1\r\n1st=1\r\n[DISK CAPACITY]\r\nSize=512\r\n[7301 Files Directory]\r\n%s\r\n' \
    "$home/files/" >"$home/Product.ini"
unset LD_LIBRARY_PATH GALMOR_HOME
set +e
LD_DEBUG=libs "$bindir/galmor" --headless >"$work/galmor.out" 2>"$work/galmor.err"
rc=$?
set -e
[ "$rc" = 0 ] || { fail "installed galmor exited $rc"; grep -v "^ *[0-9]*:" "$work/galmor.err" | head; }
grep -q "row 1: Disk 1 | picture: present" "$work/galmor.out" || fail "installed galmor does not show 2 disks"
loaded=$(grep -o "calling init: [^ ]*libsarnik[^ ]*" "$work/galmor.err" | head -n 1 || true)
loaded=${loaded#calling init: }
if [ -z "$loaded" ] || [ "$(realpath "$loaded")" != "$(realpath "$lib")" ]; then
    fail "installed galmor loaded '$loaded', want $lib"
fi
# Without a recipe anywhere the error names the places tried.
rm "$home/Product.ini"
set +e
"$bindir/galmor" --headless >/dev/null 2>"$work/norecipe.err"
rc=$?
set -e
[ "$rc" = 2 ] || fail "galmor without a recipe exited $rc, want 2"
grep -q "$bindir (program folder) or $home (XDG_CONFIG_HOME)" "$work/norecipe.err" ||
    fail "missing-recipe error: $(cat "$work/norecipe.err")"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "installed tree works: library, headers, CMake package, pkg-config, station, udev rules"
