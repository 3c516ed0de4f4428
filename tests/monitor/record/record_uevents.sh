#!/bin/bash
# Records the kernel's device events of a USB disk being plugged and unplugged,
# for the monitor's translation test. Opt-in, not part of CI: needs root, QEMU,
# busybox-static and an installed Debian kernel (default: the newest in /boot).
#
#   bash tests/monitor/record/record_uevents.sh [OUT]   # default tests/monitor/data/uevents_usb.txt
#
# The guest loads the xHCI, usb-storage, sd, sr and sg drivers, starts the
# recorder, and the host hot-plugs a USB disk through the QEMU monitor, then
# removes it.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../../.." && pwd)
OUT=${1:-$REPO/tests/monitor/data/uevents_usb.txt}
KVER=${KVER:-$(ls /boot/vmlinuz-* | sed 's|/boot/vmlinuz-||' | sort -V | tail -1)}
W=$(mktemp -d /tmp/uevrec-XXXXXX)
trap 'kill $QPID 2>/dev/null || true; [ -n "${KEEP:-}" ] || rm -rf "$W"' EXIT
QPID=

mkdir -p "$W/root"/{bin,proc,sys,dev,mod}
cp /bin/busybox "$W/root/bin/busybox"
gcc -O2 -static -o "$W/root/bin/uevent_record" "$HERE/uevent_record.c"
MODS=""
for m in usb-storage sd_mod sr_mod sg xhci-pci; do
    MODS="$MODS $(modprobe -S "$KVER" --show-depends $m | awk '$1=="insmod"{print $2}')"
done
ORDER=""
for f in $MODS; do
    case "$f" in *pclmul*) continue ;; esac
    b=$(basename "$f")
    [ -f "$W/root/mod/$b" ] && continue
    cp "$f" "$W/root/mod/$b"
    ORDER="$ORDER $b"
done
cat >"$W/root/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in $ORDER; do insmod /mod/\$m 2>/dev/null; done
sleep 1
echo GUEST-READY
uevent_record 25
poweroff -f
INIT
chmod +x "$W/root/init"
(cd "$W/root" && find . | cpio -o -H newc 2>/dev/null | gzip >"$W/initrd.gz")
truncate -s 16M "$W/disk.img"

qemu-system-x86_64 -accel tcg -cpu max -m 512 -nographic -no-reboot \
    -kernel "/boot/vmlinuz-$KVER" -initrd "$W/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1" \
    -device qemu-xhci,id=xhci \
    -drive if=none,id=d1,file="$W/disk.img",format=raw \
    -monitor unix:"$W/mon.sock",server,nowait >"$W/console.log" 2>&1 &
QPID=$!
mon() { python3 -c "
import socket,sys,time
s=socket.socket(socket.AF_UNIX); s.connect('$W/mon.sock'); time.sleep(0.2); s.recv(4096)
s.sendall((sys.argv[1]+'\n').encode()); time.sleep(0.5)
" "$1"; }
wait_for() { for _ in $(seq 1 600); do grep -q "$1" "$W/console.log" && return 0; sleep 0.2; done; echo "no $1"; exit 1; }
wait_for RECORDING
mon "device_add usb-storage,bus=xhci.0,drive=d1,id=u1"
sleep 6
mon "device_del u1"
wait_for RECORDED
wait $QPID || true
tr -d '\r' <"$W/console.log" | sed -n '/^UEVENT /,/^END$/p' >"$OUT"
echo "$(grep -c '^UEVENT ' "$OUT") events in $OUT"
