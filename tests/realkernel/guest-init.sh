#!/bin/busybox sh
# /init of the throw-away guest that run.sh boots (PID 1). Loads the storage
# drivers, waits for the units QEMU was given, lists them, runs rk_probe
# against libsarnik and powers off. run.sh reads the lines that start with
# MARK-, UNIT, PASS, FAIL, INFO and "N passed, N failed" from the console.
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
up() { cut -d' ' -f1 /proc/uptime; }
finish() {
    echo "MARK-DONE guest_uptime=$(up)"
    sync
    poweroff -f
}
echo "MARK-SHELL guest_uptime=$(up) kernel=$(uname -r)"
MD=/lib/modules/$(uname -r)

# Modules in the order run.sh listed them: SATA, virtio-scsi, then USB, so
# that the USB hosts get the highest SCSI host numbers.
nmod=0
for m in $(cat /etc/modules.txt); do
    out=$(insmod "$MD/$m" 2>&1)
    rc=$?
    # 17 = already loaded (the kernel's own request_module got there first)
    if [ $rc -ne 0 ] && ! echo "$out" | grep -q 'File exists'; then echo "INSMOD-FAIL $m rc=$rc $out"; fi
    nmod=$((nmod + 1))
done
echo "MARK-MODULES guest_uptime=$(up) count=$nmod"

# Wait (at most 60 s) for every SCSI generic node and the USB disk's partition.
want=$(cat /etc/expected-sg)
i=0
while [ "$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)" -lt "$want" ] && [ $i -lt 600 ]; do
    sleep 0.1
    i=$((i + 1))
done
i=0
while ! ls /sys/class/block/ 2>/dev/null | grep -q '^sd[a-z]1$' && [ $i -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
done
n=$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)
echo "MARK-DEVICES guest_uptime=$(up) sg_count=$n expected=$want"

for d in /sys/bus/scsi/devices/*:*:*:*; do
    [ -e "$d/type" ] || continue
    sg=$(ls "$d/scsi_generic" 2>/dev/null | head -1)
    blk=$(ls "$d/block" 2>/dev/null | head -1)
    echo "UNIT $(basename $d) type=$(cat $d/type) vendor='$(cat $d/vendor)' model='$(cat $d/model)' rev='$(cat $d/rev)' sg=$sg block=$blk sysfs=$(readlink -f $d)"
done
ls /sys/class/block | tr '\n' ' '
echo

echo "===== sarnik_ls"
mkdir -p /tmp/sarnik-ls
SARNIK_ROOT=/tmp/sarnik-ls /opt/sarnik/sarnik_ls
echo "MARK-SARNIK-LS rc=$?"

echo "MARK-PROBE guest_uptime=$(up)"
mkdir -p /tmp/sarnik-root
SARNIK_ROOT=/tmp/sarnik-root /opt/sarnik/rk_probe /opt/sarnik/libsarnik.so /etc/rk-units.txt
echo "MARK-PROBE-EXIT rc=$? guest_uptime=$(up)"

# Second pass without the sg driver: the library must fall back to the
# units' block nodes.
rmmod sg
echo "MARK-RMMOD-SG rc=$? sg_nodes=$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)"
mkdir -p /tmp/sarnik-root-block
RK_NODES=block SARNIK_ROOT=/tmp/sarnik-root-block /opt/sarnik/rk_probe /opt/sarnik/libsarnik.so /etc/rk-units.txt
echo "MARK-PROBE-BLOCK-EXIT rc=$? guest_uptime=$(up)"

echo "===== kernel messages (scsi/usb/ata)"
dmesg | grep -iE 'scsi|usb-storage|sd |sr |ata[0-9]|virtio|attached|error|fail' | tail -60
finish
