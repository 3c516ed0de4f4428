#!/bin/bash
# Checks libsarnik's Linux layer (sysfs enumeration, SG_IO, device paths)
# against a real Linux kernel: boots a Debian kernel under QEMU with USB
# mass-storage, SATA and virtio-scsi units and runs rk_probe inside the guest.
#
#   bash tests/realkernel/run.sh            # as root on Debian 12
#   SKIP_APT=1 bash tests/realkernel/run.sh # packages already installed
#
# Options (environment):
#   SKIP_APT=1        no apt-get install
#   SKIP_BUILD=1      use the library already in $BUILD_DIR/bin
#   BUILD_DIR=DIR     CMake build folder (default <repo>/build-rk)
#   BOOT=pvh|bzimage  pvh (default) boots the uncompressed vmlinux, which
#                     skips the slow in-guest decompression; bzimage the
#                     packaged vmlinuz
#   ACCEL=tcg|kvm     QEMU accelerator (default tcg)
#   QEMU_TIMEOUT=S    upper bound for the guest run (default 300 s)
#
# Everything large lands in <repo>/build-realkernel. Exit 0 only when every
# check passed; the last line is "N passed, N failed".
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
W=$REPO/build-realkernel
BUILD_DIR=${BUILD_DIR:-$REPO/build-rk}
BOOT=${BOOT:-pvh}
ACCEL=${ACCEL:-tcg}
QEMU_TIMEOUT=${QEMU_TIMEOUT:-300}
mkdir -p "$W"
cd "$W" || exit 1

now_us() { echo "${EPOCHREALTIME/./}"; }
secs() {
    local d=$(($(now_us) - $1))
    printf '%d.%03d' $((d / 1000000)) $(((d % 1000000) / 1000))
}
say() { echo "### $*"; }
die() {
    echo "FATAL: $*" >&2
    echo "0 passed, 1 failed"
    exit 1
}
T_ALL=$(now_us)

# ---- packages
T=$(now_us)
PKGS="qemu-system-x86 busybox-static cpio kmod fdisk gcc libc6-dev xz-utils binutils cmake g++"
if [ -z "${SKIP_APT:-}" ]; then
    apt-get update -qq || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $PKGS \
        >apt-install.log 2>&1 || {
        tail -20 apt-install.log
        die "apt-get install failed"
    }
fi
for c in qemu-system-x86_64 busybox cpio depmod modprobe sfdisk gcc xz objcopy cmake dpkg; do
    command -v $c >/dev/null || die "missing command $c (run without SKIP_APT=1)"
done
say "packages ready in $(secs $T) s"

# ---- the library
T=$(now_us)
if [ -z "${SKIP_BUILD:-}" ]; then
    { cmake -S "$REPO" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
        cmake --build "$BUILD_DIR" --target sarnik sarnik_ls -j2; } >build.log 2>&1 ||
        {
            tail -30 build.log
            die "build failed"
        }
fi
LIB=$BUILD_DIR/bin/libsarnik.so
LS=$BUILD_DIR/bin/sarnik_ls
[ -f "$LIB" ] && [ -f "$LS" ] || die "no $LIB or $LS"
gcc -O2 -Wall -Wextra -Werror -Wno-format-truncation -o rk_probe "$HERE/rk_probe.c" ||
    die "rk_probe does not build"
say "library and probe ready in $(secs $T) s"

# ---- kernel (downloaded and unpacked, never installed)
T=$(now_us)
KPKG=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
[ -n "$KPKG" ] || die "cannot resolve linux-image-amd64"
mkdir -p dl
DEB=$(ls dl/"${KPKG}"_*.deb 2>/dev/null | head -1)
if [ -z "$DEB" ]; then
    (cd dl && apt-get download -q "$KPKG" >/dev/null 2>&1) || die "apt-get download $KPKG failed"
    DEB=$(ls dl/"${KPKG}"_*.deb | head -1)
fi
if [ ! -d kroot/boot ] || [ "$(cat kroot/.from 2>/dev/null)" != "$DEB" ]; then
    rm -rf kroot vmlinux
    dpkg -x "$DEB" kroot || die "dpkg -x failed"
    echo "$DEB" >kroot/.from
fi
KVER=$(ls kroot/lib/modules | head -1)
VMLINUZ=$W/kroot/boot/vmlinuz-$KVER
[ -f "kroot/lib/modules/$KVER/modules.dep" ] || depmod -b kroot "$KVER"
if [ "$BOOT" = pvh ] && [ ! -s vmlinux ]; then
    # The bzImage payload is XZ; the ELF inside has a PVH entry point.
    XZOFF=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$VMLINUZ" | head -1 | cut -d: -f1)
    [ -n "$XZOFF" ] || die "no XZ payload in $VMLINUZ"
    tail -c +$((XZOFF + 1)) "$VMLINUZ" | xz -dc >vmlinux 2>/dev/null
    [ -s vmlinux ] || die "vmlinux extraction failed"
fi
KERNEL_IMG=$VMLINUZ
[ "$BOOT" = pvh ] && KERNEL_IMG=$W/vmlinux
say "kernel $KVER ($DEB) ready in $(secs $T) s, booting $KERNEL_IMG"

# ---- initramfs
T=$(now_us)
R=$W/initramfs
rm -rf "$R"
mkdir -p "$R"/{bin,sbin,proc,sys,dev,tmp,etc,opt/sarnik,lib64,lib/x86_64-linux-gnu}
cp "$(command -v busybox)" "$R/bin/busybox"
cp "$HERE/guest-init.sh" "$R/init"
chmod +x "$R/init"
objcopy --strip-debug "$LIB" "$R/opt/sarnik/libsarnik.so"
cp "$LS" rk_probe "$R/opt/sarnik/"
# the C++ runtime and glibc, taken from what the binaries actually load
for f in $({ ldd "$LIB"; ldd "$LS"; ldd ./rk_probe; } 2>/dev/null | awk '$3 ~ /^\//{print $3}' | sort -u); do
    cp -L "$f" "$R/lib/x86_64-linux-gnu/"
done
cp -L /lib64/ld-linux-x86-64.so.2 "$R/lib64/"
modlist() {
    modprobe -d "$W/kroot" -S "$KVER" --show-depends "$@" | awk '$1=="insmod"{print $2}' |
        sed "s#^$W/kroot/*\(\./\)*lib/modules/$KVER/##" | grep -v pclmul
}
# SATA and virtio-scsi first, USB last: the USB hosts get the highest numbers.
for m in crc64_rocksoft_generic sg sd_mod sr_mod ahci virtio_pci virtio_scsi usb-storage xhci-pci ehci-pci; do
    modlist "$m"
done | awk '!seen[$0]++' >"$R/etc/modules.txt"
for m in $(cat "$R/etc/modules.txt"); do
    mkdir -p "$R/lib/modules/$KVER/$(dirname "$m")"
    cp "kroot/lib/modules/$KVER/$m" "$R/lib/modules/$KVER/$m"
done
cp kroot/lib/modules/"$KVER"/modules.order kroot/lib/modules/"$KVER"/modules.builtin* "$R/lib/modules/$KVER/"
depmod -b "$R" "$KVER"
echo 7 >"$R/etc/expected-sg"

# The units QEMU gets, with what the library must report for each: model,
# class, bytes, block size, device path ("@" = the SCSI address from sysfs).
DG='{53f56307-b6bf-11d0-94f2-00a0c91efb8b}'
CG='{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}'
{
    printf '%s\t%s\t%s\t%s\t%s\n' \
        FLASHDISK disk $((64 << 20)) 512 "\\\\?\\usbstor#disk&ven_acme&prod_flashdisk&rev_7.77#@#$DG" \
        FLASHCD cdrom $((4 << 20)) 2048 "\\\\?\\usbstor#cdrom&ven_acme&prod_flashcd&rev_8.00#@#$CG" \
        FLASHDISK2 disk $((16 << 20)) 512 "\\\\?\\usbstor#disk&ven_acme&prod_flashdisk2&rev_1.00#@#$DG" \
        USB-LOOKALIKE disk $((64 << 20)) 512 "\\\\?\\scsi#disk&ven_ata&prod_u_b-lookalike&rev_1.23#@#$DG" \
        "USB STICK" disk $((16 << 20)) 512 "\\\\?\\scsi#disk&ven_u_bcorp&prod_u_b_stick&rev_2.10#@#$DG" \
        VDISK10 disk $((8 << 20)) 512 "\\\\?\\scsi#disk&ven_qemux&prod_vdisk10&rev_3.00#@#$DG" \
        VCD cdrom $((2 << 20)) 2048 "\\\\?\\scsi#cdrom&ven_acme&prod_vcd&rev_4.00#@#$CG"
} >"$R/etc/rk-units.txt"
(cd "$R" && find . | cpio -o -H newc --quiet | gzip -1 >"$W/initrd.gz")
say "initramfs built in $(secs $T) s: $(stat -c %s initrd.gz) bytes, $(wc -l <"$R/etc/modules.txt") modules"

# ---- images (fresh every run, zero-filled, so old data cannot pass a check)
T=$(now_us)
rm -f usb-disk.img usb-cd.img usb-disk2.img sata.img vs-disk.img vs-disk10.img vs-cd.img
truncate -s 64M usb-disk.img
printf 'label: dos\nstart=2048, type=c\n' | sfdisk -q usb-disk.img || die "sfdisk failed"
truncate -s 4M usb-cd.img
truncate -s 16M usb-disk2.img
truncate -s 64M sata.img
truncate -s 16M vs-disk.img
truncate -s 8M vs-disk10.img
truncate -s 2M vs-cd.img
say "disk images made in $(secs $T) s"

# ---- guest
QEMU=(timeout "$QEMU_TIMEOUT" qemu-system-x86_64 -accel "$ACCEL" -smp 1 -m 512 -nographic -no-reboot
    -kernel "$KERNEL_IMG" -initrd "$W/initrd.gz"
    -append "console=ttyS0 rdinit=/init panic=-1 quiet"
    # two AHCI controllers (6 SCSI hosts each), the disk on the second one
    -device ahci,id=ahci0 -device ahci,id=ahci1
    -drive if=none,id=sata0,file="$W/sata.img",format=raw
    -device ide-hd,bus=ahci1.0,drive=sata0,model=USB-LOOKALIKE,ver=1.23,serial=SATA0001
    # virtio-scsi: disks at LUN 2 and LUN 10 of target 0, a CD-ROM at target 1
    -device virtio-scsi-pci,id=vs0
    -drive if=none,id=vd2,file="$W/vs-disk.img",format=raw
    -device "scsi-hd,bus=vs0.0,channel=0,scsi-id=0,lun=2,drive=vd2,vendor=USBCORP,product=USB STICK,ver=2.10"
    -drive if=none,id=vd10,file="$W/vs-disk10.img",format=raw
    -device scsi-hd,bus=vs0.0,channel=0,scsi-id=0,lun=10,drive=vd10,vendor=QEMUX,product=VDISK10,ver=3.00
    -drive if=none,id=vcd,file="$W/vs-cd.img",format=raw,media=cdrom,readonly=on
    -device scsi-cd,bus=vs0.0,channel=0,scsi-id=1,lun=0,drive=vcd,vendor=ACME,product=VCD,ver=4.00
    # USB mass storage: disk + CD-ROM behind one xHCI port, a second disk on EHCI
    -device qemu-xhci,id=xhci
    -drive if=none,id=u0,file="$W/usb-disk.img",format=raw
    -drive if=none,id=u1,file="$W/usb-cd.img",format=raw,media=cdrom,readonly=on
    -device usb-bot,id=bot0,bus=xhci.0,serial=BOT0SERIAL01
    -device scsi-hd,bus=bot0.0,lun=0,drive=u0,vendor=ACME,product=FLASHDISK,ver=7.77
    -device scsi-cd,bus=bot0.0,lun=1,drive=u1,vendor=ACME,product=FLASHCD,ver=8.00
    -device usb-ehci,id=ehci
    -drive if=none,id=u2,file="$W/usb-disk2.img",format=raw
    -device usb-bot,id=bot1,bus=ehci.0,serial=BOT1SERIAL02
    -device scsi-hd,bus=bot1.0,lun=0,drive=u2,vendor=ACME,product=FLASHDISK2,ver=1.00,removable=on
)
say "booting the guest (log: $W/guest.log)"
T_GUEST=$(now_us)
"${QEMU[@]}" </dev/null 2>&1 | while IFS= read -r line; do
    d=$(($(now_us) - T_GUEST))
    printf '%3d.%03d %s\n' $((d / 1000000)) $(((d % 1000000) / 1000)) "${line%$'\r'}"
done >guest.log
QEMU_RC=${PIPESTATUS[0]}
say "guest ran $(secs "$T_GUEST") s, qemu rc=$QEMU_RC"
mark() { awk -v m="$1" 'index($0, m) {print $1; exit}' guest.log; }
for m in MARK-SHELL MARK-MODULES MARK-DEVICES MARK-PROBE MARK-PROBE-EXIT MARK-RMMOD-SG MARK-PROBE-BLOCK-EXIT MARK-DONE; do
    printf '  %-16s host_s=%s\n' "$m" "$(mark "$m")"
done
grep -E '^ *[0-9.]+ (INSMOD-FAIL|MARK-DEVICES|MARK-RMMOD-SG|UNIT )' guest.log | cut -c9-
sed -n '/===== sarnik_ls/,/MARK-SARNIK-LS/p' guest.log | cut -c9-
grep -E '^ *[0-9.]+ (PASS|FAIL|INFO) ' guest.log | cut -c9-

# ---- host side: the sectors the guest wrote are in the image files
pass=0
fail=0
hchk() {
    if eval "$2"; then
        echo "PASS $1"
        pass=$((pass + 1))
    else
        echo "FAIL $1"
        fail=$((fail + 1))
    fi
}
same() { # image lba count
    dd if="$1" bs=512 skip=$(($2)) count="$3" status=none | cmp -s - <(./rk_probe --pattern "$2" "$3")
}
hchk "host: usb-disk.img holds the sector written at 0x12345" "same usb-disk.img 0x12345 1"
hchk "host: usb-disk.img holds the 4 sectors written at 0x12350" "same usb-disk.img 0x12350 4"
hchk "host: sata.img holds the sector written at 0x12345" "same sata.img 0x12345 1"
hchk "host: usb-disk.img holds the sector written through the block node at 0x12445" "same usb-disk.img 0x12445 1"
hchk "host: usb-disk.img holds the 4 sectors written through the block node at 0x12450" "same usb-disk.img 0x12450 4"
hchk "host: sata.img holds the sector written through the block node at 0x12445" "same sata.img 0x12445 1"
hchk "host: guest probe on sg nodes finished with exit 0" "grep -q 'MARK-PROBE-EXIT rc=0' guest.log"
hchk "host: guest probe on block nodes finished with exit 0" "grep -q 'MARK-PROBE-BLOCK-EXIT rc=0' guest.log"
hchk "host: guest powered off cleanly" "grep -q MARK-DONE guest.log && [ $QEMU_RC -eq 0 ]"

# the guest's two probe runs each end with "N passed, N failed"
SUMMARY=$(grep -oE '[0-9]+ passed, [0-9]+ failed' guest.log | paste -sd';')
read -r gp gf runs < <(grep -oE '[0-9]+ passed, [0-9]+ failed' guest.log |
    awk '{p += $1; f += $3; n++} END {print p + 0, f + 0, n + 0}')
[ "$runs" -eq 2 ] || gf=$((gf + 1))
echo "guest probe runs: ${SUMMARY:-no summary line}; host checks: $pass passed, $fail failed"
say "total wall time $(secs "$T_ALL") s"
echo "$((gp + pass)) passed, $((gf + fail)) failed"
[ $((gf + fail)) -eq 0 ] && [ "$gp" -gt 0 ]
