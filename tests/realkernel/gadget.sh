#!/bin/bash
# The station on a real Linux kernel: boots a Debian kernel under QEMU, where
# three emulated controllers of the simulated bus become USB devices through
# simgadget (FunctionFS on dummy_hcd). Inside the guest galmor runs Format,
# Manufacture and Check Config with the Linux platform (sysfs + SG_IO, no
# simulated bus); then the devices are re-plugged and checked through the
# kernel's own view (sysfs, SCSI identity, vfat, the CD-ROM unit), and the
# library is timed side by side with sg3_utils. A foreign USB disk (QEMU
# usb-bot, revision 1.00) and the virtio-scsi system disk must receive no
# vendor command and no write.
#
#   bash tests/realkernel/gadget.sh              # as root on Debian 12
#   SKIP_APT=1 bash tests/realkernel/gadget.sh   # packages already installed
#
# Options (environment):
#   SKIP_APT=1        no apt-get install
#   SKIP_BUILD=1      use the programs already in $BUILD_DIR/bin
#   NO_APT_CACHE=1    download the kernel package even if apt's cache holds it
#                     (what a fresh machine does)
#   BUILD_DIR=DIR     CMake build folder (default <repo>/build)
#   ACCEL=tcg|kvm     QEMU accelerator (default tcg)
#   ICOUNT=OPTS       QEMU -icount options (default shift=2,sleep=off: the
#                     guest's clock counts instructions); ICOUNT= turns it off
#   QEMU_TIMEOUT=S    upper bound for the guest run (default 600 s; QEMU is
#                     killed 10 s after that if it ignores the first signal)
#   GUEST_PARTS=faults,bench   (development) only these parts of the guest run;
#                     the checks of the other parts then fail
#   BENCH_TURS, BENCH_WRITES, BENCH_ROUNDS   size of the side-by-side figures
#                     (default 100 TURs, 32 x 64 KiB writes, 5 rounds;
#                     the median of the rounds' ratios is the figure)
#   UDEV_PLUGS=N      plugs of the plug-to-row latency with udev (default 8)
#   UDEV_ONLY=1       the guest runs only the udev scenario (guest-udev.sh)
#   UDEV_LOAD=N       N busy loops in the guest during the latency plugs (a
#                     loaded desktop: udev's rules take longer than usual)
#
# Everything large lands in <repo>/build-realkernel (shared with run.sh).
# Exit 0 only when every check passed; the last line is "N passed, N failed".
# On failure the guest console is kept in build-realkernel/gadget-guest-failed.log
# and its last lines are printed.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
W=$REPO/build-realkernel
BUILD_DIR=${BUILD_DIR:-$REPO/build}
ACCEL=${ACCEL:-tcg}
# The guest's clock counts instructions (a fixed rate, no sleeping when the
# guest idles): with a clock that follows the host's, every moment the busy
# host keeps the emulator off the CPU lands in whatever the guest is timing.
ICOUNT=${ICOUNT-shift=2,sleep=off}
[ "$ACCEL" = tcg ] || ICOUNT=
QEMU_TIMEOUT=${QEMU_TIMEOUT:-600}
mkdir -p "$W"
cd "$W" || exit 1

now_us() { echo "${EPOCHREALTIME/./}"; }
secs() {
    local d=$(($(now_us) - $1))
    printf '%d.%03d' $((d / 1000000)) $(((d % 1000000) / 1000))
}
say() { echo "### $*"; }
die() {
    echo "FATAL: $*"
    echo "0 passed, 1 failed"
    exit 1
}
T_ALL=$(now_us)

# ---- packages
T=$(now_us)
PKGS="qemu-system-x86 busybox-static cpio kmod sg3-utils xorriso python3 gcc libc6-dev xz-utils binutils cmake g++"
if [ -z "${SKIP_APT:-}" ]; then
    apt-get update -qq || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $PKGS \
        >apt-install.log 2>&1 || {
        tail -20 apt-install.log
        die "apt-get install failed"
    }
fi
for c in qemu-system-x86_64 busybox cpio depmod modprobe gcc xz objcopy cmake dpkg sg_turs sg_dd sg_raw sg_reset \
    xorriso python3 sha256sum; do
    command -v $c >/dev/null || die "missing command $c (install: $PKGS)"
done
say "packages ready in $(secs $T) s"

# ---- programs
T=$(now_us)
if [ -z "${SKIP_BUILD:-}" ]; then
    { cmake -S "$REPO" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
        cmake --build "$BUILD_DIR" --target sarnik galmor dorvel simbus simgadget -j"$(nproc)"; } \
        >gadget-build.log 2>&1 || {
        tail -30 gadget-build.log
        die "build failed (log: $W/gadget-build.log)"
    }
fi
B=$BUILD_DIR/bin
for f in libsarnik.so galmor dorvel simbus simgadget; do
    [ -f "$B/$f" ] || die "no $B/$f"
done
gcc -O2 -Wall -Wextra -Werror -o rk_gadget_bench "$HERE/rk_gadget_bench.c" -ldl ||
    die "rk_gadget_bench does not build"
say "programs ready in $(secs $T) s"

# ---- kernel (downloaded and unpacked, never installed)
T=$(now_us)
KPKG=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
[ -n "$KPKG" ] || die "cannot resolve linux-image-amd64 (apt-get update needed?)"
mkdir -p dl
DEB=$(ls dl/"${KPKG}"_*.deb 2>/dev/null | head -1)
if [ -z "$DEB" ] && [ -z "${NO_APT_CACHE:-}" ] &&
    ls /var/cache/apt/archives/"${KPKG}"_*.deb >/dev/null 2>&1; then
    cp /var/cache/apt/archives/"${KPKG}"_*.deb dl/
    DEB=$(ls dl/"${KPKG}"_*.deb | head -1)
fi
if [ -z "$DEB" ]; then
    # As root apt warns that the download is unsandboxed; that is harmless.
    (cd dl && apt-get download -q "$KPKG") >kernel-download.log 2>&1 || {
        tail -20 kernel-download.log
        die "apt-get download $KPKG failed (log: $W/kernel-download.log)"
    }
    DEB=$(ls dl/"${KPKG}"_*.deb 2>/dev/null | head -1)
    [ -n "$DEB" ] || die "apt-get download $KPKG left no .deb in $W/dl"
    say "downloaded $(basename "$DEB") ($(stat -c %s "$DEB") bytes)"
fi
if [ ! -d kroot/boot ] || [ "$(cat kroot/.from 2>/dev/null)" != "$DEB" ]; then
    rm -rf kroot vmlinux
    dpkg -x "$DEB" kroot || die "dpkg -x $DEB failed"
    echo "$DEB" >kroot/.from
fi
KVER=$(ls kroot/lib/modules | head -1)
VMLINUZ=$W/kroot/boot/vmlinuz-$KVER
[ -f "kroot/lib/modules/$KVER/modules.dep" ] || depmod -b kroot "$KVER"
if [ ! -s vmlinux ]; then
    # The bzImage payload is XZ; the ELF inside has a PVH entry point, and
    # booting it skips the slow in-guest decompression.
    XZOFF=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$VMLINUZ" | head -1 | cut -d: -f1)
    [ -n "$XZOFF" ] || die "no XZ payload in $VMLINUZ"
    tail -c +$((XZOFF + 1)) "$VMLINUZ" | xz -dc >vmlinux 2>/dev/null
    [ -s vmlinux ] || die "vmlinux extraction failed"
fi
say "kernel $KVER ready in $(secs $T) s"

# ---- udev and a non-root operator (the scenario of guest-udev.sh)
# Debian's systemd-udevd (from the udev package here) with Debian's storage
# rules and the station's own, a group "galmor" with an ordinary user "oper".
UDEV_PLUGS=${UDEV_PLUGS:-8}
add_udev_files() { # initramfs root
    local r=$1 f rules
    if ! command -v udevadm >/dev/null && [ -z "${SKIP_APT:-}" ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends udev \
            >>apt-install.log 2>&1
    fi
    command -v udevadm >/dev/null || die "missing command udevadm (install: udev)"
    mkdir -p "$r"/lib/systemd "$r"/lib/udev/rules.d "$r"/etc/udev "$r"/run
    cp "$(command -v udevadm)" "$r/usr/bin/udevadm"
    ln -sf /usr/bin/udevadm "$r/lib/systemd/systemd-udevd"
    cp /lib/udev/scsi_id /lib/udev/cdrom_id "$r/lib/udev/"
    for f in 50-udev-default.rules 60-block.rules 60-cdrom_id.rules 60-persistent-storage.rules; do
        cp "/lib/udev/rules.d/$f" "$r/lib/udev/rules.d/" || die "no /lib/udev/rules.d/$f"
    done
    # The rules as the build configured them, else the template with the defaults.
    rules=$BUILD_DIR/packaging/70-galmor.rules
    if [ -f "$rules" ]; then
        cp "$rules" "$r/lib/udev/rules.d/"
    else
        sed -e 's/@UFD_OPERATOR_GROUP@/galmor/' -e 's/@UFD_FAMILY_USB_ID_RULES@//' \
            "$REPO/packaging/udev/70-galmor.rules.in" >"$r/lib/udev/rules.d/70-galmor.rules"
    fi
    for f in $(ldd "$r/usr/bin/udevadm" | awk '$3 ~ /^\//{print $3}'); do
        cp -L "$f" "$r/lib/x86_64-linux-gnu/"
    done
    cat >"$r/etc/passwd" <<'PASSWD'
root:x:0:0:root:/root:/bin/sh
oper:x:1000:1000:station operator:/tmp:/bin/sh
PASSWD
    cat >"$r/etc/group" <<'GROUP'
root:x:0:
tty:x:5:
disk:x:6:
kmem:x:15:
dialout:x:20:
cdrom:x:24:
tape:x:26:
audio:x:29:
video:x:44:
input:x:105:
kvm:x:106:
render:x:107:
sgx:x:108:
galmor:x:990:oper
oper:x:1000:
GROUP
    echo "UDEV_PLUGS=$UDEV_PLUGS" >"$r/etc/udev-scenario.env"
    [ -n "${UDEV_ONLY:-}" ] && echo "UDEV_ONLY=1" >>"$r/etc/udev-scenario.env"
    echo "UDEV_LOAD=${UDEV_LOAD:-0}" >>"$r/etc/udev-scenario.env"
    cp "$HERE/guest-udev.sh" "$r/etc/guest-udev.sh"
}

# ---- recipe, images and initramfs
T=$(now_us)
R=$W/gadget-initramfs
rm -rf "$R"
mkdir -p "$R"/{bin,sbin,proc,sys,dev,tmp,etc,opt/ufd,lib64,lib/x86_64-linux-gnu,home/files,usr/bin}
cp "$(command -v busybox)" "$R/bin/busybox"
cp "$HERE/gadget-init.sh" "$R/init"
cp "$HERE/gadget-faults.sh" "$R/etc/gadget-faults.sh"
chmod +x "$R/init"
for f in libsarnik.so galmor dorvel simbus simgadget; do
    objcopy --strip-debug "$B/$f" "$R/opt/ufd/$f"
done
cp rk_gadget_bench "$R/opt/ufd/"
for t in sg_turs sg_dd sg_raw sg_reset; do
    cp "$(command -v $t)" "$R/usr/bin/"
done
for f in $(for x in "$R"/opt/ufd/* "$R"/usr/bin/*; do ldd "$x"; done 2>/dev/null |
    awk '$3 ~ /^\//{print $3}' | sort -u); do
    cp -L "$f" "$R/lib/x86_64-linux-gnu/"
done
cp -L /lib64/ld-linux-x86-64.so.2 "$R/lib64/"

# The demo recipe, with a loader CD-ROM image and a reserve image made here.
mkdir -p iso
printf 'Loader disk of the real-kernel check.\r\n' >iso/README.TXT
xorriso -as mkisofs -quiet -V RKLOADER -o "$R/home/files/7301.img" iso 2>/dev/null ||
    die "xorriso failed"
head -c 300000 /dev/zero | tr '\0' 'R' >"$R/home/files/Reserve.img"
sed "s#@FILES@#/home/files#" "$REPO/demo/Product.ini" >"$R/home/Product.ini"

modlist() {
    modprobe -d "$W/kroot" -S "$KVER" --show-depends "$@" | awk '$1=="insmod"{print $2}' |
        sed "s#^$W/kroot/*\(\./\)*lib/modules/$KVER/##" | grep -v pclmul
}
# virtio-scsi first (the system disk), then USB; the gadget stack; vfat.
for m in crc64_rocksoft_generic sg sd_mod sr_mod virtio_pci virtio_scsi usb-storage xhci-pci \
    dummy_hcd configfs libcomposite usb_f_fs vfat nls_cp437 nls_ascii nls_utf8 nls_iso8859-1; do
    modlist "$m" || die "module $m not in the kernel package"
done | awk '!seen[$0]++' >"$R/etc/modules.txt"
for m in $(cat "$R/etc/modules.txt"); do
    mkdir -p "$R/lib/modules/$KVER/$(dirname "$m")"
    cp "kroot/lib/modules/$KVER/$m" "$R/lib/modules/$KVER/$m"
done
cp kroot/lib/modules/"$KVER"/modules.order kroot/lib/modules/"$KVER"/modules.builtin* "$R/lib/modules/$KVER/"
depmod -b "$R" "$KVER"
{
    echo "BENCH_TURS=${BENCH_TURS:-100}"
    echo "BENCH_WRITES=${BENCH_WRITES:-32}"
    echo "BENCH_ROUNDS=${BENCH_ROUNDS:-5}"
    echo "GUEST_PARTS=${GUEST_PARTS:-all}"
} >"$R/etc/bench.env"
add_udev_files "$R"
(cd "$R" && find . | cpio -o -H newc --quiet | gzip -1 >"$W/gadget-initrd.gz")

# Foreign USB disk and system disk: filled with a pattern, hashed before and after.
rm -f foreign.img system.img
head -c $((16 << 20)) /dev/zero | tr '\0' 'F' >foreign.img
head -c $((32 << 20)) /dev/zero | tr '\0' 'S' >system.img
SUM_BEFORE=$(sha256sum foreign.img system.img)
say "initramfs and images ready in $(secs $T) s: $(stat -c %s gadget-initrd.gz) bytes, $(wc -l <"$R/etc/modules.txt") modules"

# ---- guest
rm -f gadget-qemu-trace.log
QEMU=(timeout -k 10 "$QEMU_TIMEOUT" qemu-system-x86_64 -accel "$ACCEL" ${ICOUNT:+-icount "$ICOUNT"} -smp 1 -m 1024 -nographic -no-reboot
    -kernel "$W/vmlinux" -initrd "$W/gadget-initrd.gz"
    -append "console=ttyS0 rdinit=/init panic=-1 quiet"
    # every SCSI command QEMU's own units receive, for the safety checks
    -trace scsi_req_parsed -D "$W/gadget-qemu-trace.log"
    -device virtio-scsi-pci,id=vs0
    -drive if=none,id=sys0,file="$W/system.img",format=raw
    -device scsi-hd,bus=vs0.0,channel=0,scsi-id=0,lun=0,drive=sys0,vendor=KORVA,product=SYSTEM,ver=7.77
    -device qemu-xhci,id=xhci
    -drive if=none,id=fd0,file="$W/foreign.img",format=raw
    -device usb-bot,id=bot0,bus=xhci.0,serial=FOREIGN0001
    -device scsi-hd,bus=bot0.0,lun=0,drive=fd0,vendor=ACME,product=FOREIGN,ver=1.00
)
say "booting the guest (console: $W/gadget-guest.log)"
T_GUEST=$(now_us)
"${QEMU[@]}" </dev/null 2>&1 | while IFS= read -r line; do
    d=$(($(now_us) - T_GUEST))
    printf '%3d.%03d %s\n' $((d / 1000000)) $(((d % 1000000) / 1000)) "${line%$'\r'}"
done >gadget-guest.log
QEMU_RC=${PIPESTATUS[0]}
GUEST_S=$(secs "$T_GUEST")
say "guest ran $GUEST_S s, qemu rc=$QEMU_RC"
case $QEMU_RC in
    0) ;;
    124 | 137) echo "FAIL-REASON: the guest did not finish within QEMU_TIMEOUT=$QEMU_TIMEOUT s (killed)" ;;
    *) echo "FAIL-REASON: qemu ended with exit code $QEMU_RC (see the console below)" ;;
esac
mark() { awk -v m="$1" 'index($0, m) {print $1; exit}' gadget-guest.log; }
for m in MARK-SHELL MARK-MODULES MARK-WATCH MARK-WATCH-RUN MARK-WATCH-DONE MARK-FAULTS-DONE MARK-PLUGGED MARK-GALMOR MARK-GALMOR-EXIT MARK-REPLUGGED MARK-BENCH \
    MARK-BENCH-DONE MARK-DONE; do
    printf '  %-18s host_s=%s\n' "$m" "$(mark "$m")"
done
body() { cut -c9- gadget-guest.log; }
body | grep -E '^(INSMOD-FAIL|UNIT|INFO|RESULT|RATIO|BENCH|MARK-GALMOR-EXIT)' | grep -v '^UNIT.*KORVA.*SYSTEM'
body | grep -E '^(PASS|FAIL) '

# ---- host checks
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
body | sed -n '/^REPORT-BEGIN$/,/^REPORT-END$/p' | sed '1d;$d' >gadget-report.json
REPORT_CHECK=$(python3 - gadget-report.json <<'EOF'
import json, sys
try:
    r = json.load(open(sys.argv[1]))
except Exception as e:
    print("unreadable report: %s" % e)
    sys.exit(1)
ports = r.get("ports", [])
passed = [p for p in ports if p["format"]["mark"] == "V" and p["config_string"]["mark"] == "String = V"
          and p["config_string"]["text"] == "Write = V" and p["check_config"]["mark"] == "V"]
locked = [p for p in ports if p["format"]["text"] == "Password Exists"]
print("ports %d, passed %d, \"Password Exists\" %d, banner %r" % (len(ports), len(passed), len(locked), r.get("banner")))
usb = all("usbstor#" in p["device_path"] for p in ports)
sys.exit(0 if len(ports) == 3 and len(passed) == 2 and len(locked) == 1 and usb else 1)
EOF
)
REPORT_RC=$?
echo "report: $REPORT_CHECK"
hchk "report: three ports on the USB stack, two passes, one \"Password Exists\"" "[ $REPORT_RC -eq 0 ]"
body | sed -n '/^WATCH-REPORT-BEGIN$/,/^WATCH-REPORT-END$/p' | sed '1d;$d' >gadget-watch-report.jsonl
WATCH_CHECK=$(python3 - gadget-watch-report.jsonl <<'EOF'
import json, sys
lines = [l for l in open(sys.argv[1]) if l.strip()]
if len(lines) != 1:
    print("%d report lines, expected one" % len(lines))
    sys.exit(1)
try:
    r = json.loads(lines[0])
except Exception as e:
    print("unreadable report line: %s" % e)
    sys.exit(1)
ports = r.get("ports", [])
passed = [p for p in ports if p["format"]["mark"] == "V" and p["check_config"]["mark"] == "V"]
locked = [p for p in ports if p["format"]["text"] == "Password Exists"]
print("one line: ports %d, passed %d, \"Password Exists\" %d, banner %r" % (len(ports), len(passed), len(locked), r.get("banner")))
sys.exit(0 if len(ports) == 3 and len(passed) == 2 and len(locked) == 1 else 1)
EOF
)
WATCH_RC=$?
echo "watch report: $WATCH_CHECK"
hchk "watching station: one report line, three ports, two passes, one \"Password Exists\"" "[ $WATCH_RC -eq 0 ]"
hchk "galmor exit code 1 (one disk failed)" "grep -q 'MARK-GALMOR-EXIT rc=1 ' gadget-guest.log"
SUM_AFTER=$(sha256sum foreign.img system.img)
hchk "foreign USB disk and system disk images unchanged (sha256)" '[ "$SUM_BEFORE" = "$SUM_AFTER" ]'
# Opcodes of the family's vendor commands, and the vendor-specific range.
VENDOR_OPS=$(python3 - gadget-qemu-trace.log <<'EOF'
import re, sys
family = {0x73, 0x74, 0x75, 0x7C, 0x81, 0x82, 0x83, 0x93, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0xF5, 0xF7}
seen, bad = 0, set()
for line in open(sys.argv[1], errors="replace"):
    m = re.search(r"scsi_req_parsed .*command (\d+)", line)
    if not m:
        continue
    seen += 1
    op = int(m.group(1))
    if op in family or op >= 0xC0:
        bad.add(op)
print("%d commands traced, vendor opcodes: %s" % (seen, " ".join("0x%02X" % o for o in sorted(bad)) or "none"))
sys.exit(1 if bad or seen == 0 else 0)
EOF
)
VENDOR_RC=$?
echo "QEMU units: $VENDOR_OPS"
. "$HERE/gadget-faults-host.sh"
hchk "foreign USB disk and system disk received no vendor command" "[ $VENDOR_RC -eq 0 ]"
# Side-by-side figures: the median over the rounds (each round measures both sides).
FIGURES=$(body | grep '^RESULT ' | python3 -c '
import re, statistics, sys
rows = [dict(re.findall(r"(\w+)=([-0-9.]+)", l)) for l in sys.stdin]
rows = [{k: float(v) for k, v in r.items()} for r in rows]
ok = [r for r in rows if r["sg_turs_ms"] > 0 and r["sg_dd_MiBps"] > 0]
if not ok:
    print("no figures"); sys.exit(1)
m = lambda k: statistics.median(r[k] for r in ok)
lat = statistics.median(r["library_tur_ms"] / r["sg_turs_ms"] for r in ok)
thr = statistics.median(r["library_write_MiBps"] / r["sg_dd_MiBps"] for r in ok)
print("median of %d rounds: TUR library %.3f ms, sg_turs %.3f ms, latency ratio %.3f (goal <= 1.05); "
      "64 KiB WRITE(10) library %.2f MiB/s, sg_dd %.2f MiB/s, throughput ratio %.3f (goal >= 0.95)"
      % (len(ok), m("library_tur_ms"), m("sg_turs_ms"), lat, m("library_write_MiBps"), m("sg_dd_MiBps"), thr))
print("rounds within the goals: latency %d of %d, throughput %d of %d" % (
      sum(r["library_tur_ms"] / r["sg_turs_ms"] <= 1.05 for r in ok), len(ok),
      sum(r["library_write_MiBps"] / r["sg_dd_MiBps"] >= 0.95 for r in ok), len(ok)))
sys.exit(0 if lat <= 1.05 and thr >= 0.95 else 1)
')
FIGURES_RC=$?
echo "figures: $FIGURES"
hchk "side by side: the medians meet their goals (latency <= 1.05, throughput >= 0.95)" "[ $FIGURES_RC -eq 0 ]"
hchk "guest checks finished" "grep -q 'GUEST [0-9]* passed, 0 failed' gadget-guest.log"
hchk "guest powered off cleanly" "grep -q MARK-DONE gadget-guest.log && [ $QEMU_RC -eq 0 ]"

read -r gp gf < <(body | grep -oE '^GUEST [0-9]+ passed, [0-9]+ failed' | awk '{print $2, $4}')
gp=${gp:-0}
gf=${gf:-1}
say "boot to shell $(mark MARK-SHELL) s, guest $GUEST_S s, total wall time $(secs "$T_ALL") s"
total_fail=$((gf + fail))
if [ $total_fail -ne 0 ]; then
    cp gadget-guest.log gadget-guest-failed.log
    echo "===== last 80 lines of the guest console"
    tail -80 gadget-guest.log
    echo "===== failed checks"
    grep -E '^ *[0-9.]+ (FAIL|INSMOD-FAIL)' gadget-guest.log
    echo "guest console kept in $W/gadget-guest-failed.log"
fi
echo "$((gp + pass)) passed, $total_fail failed"
[ $total_fail -eq 0 ]
