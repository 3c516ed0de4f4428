#!/bin/busybox sh
# /init of the guest that gadget.sh boots (PID 1). Emulated controllers of the
# simulated bus become USB devices of this kernel through simgadget
# (FunctionFS on dummy_hcd); the station runs against them with the Linux
# platform, then the devices are re-plugged and checked with the kernel's
# own view. A foreign USB disk (QEMU usb-bot) and the virtio-scsi system disk
# stay present throughout. gadget.sh reads the lines that start with MARK-,
# UNIT, PASS, FAIL, INFO, RESULT, RATIO, and the report between REPORT-BEGIN
# and REPORT-END.
/bin/busybox --install -s
export PATH=/opt/ufd:/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /mnt
mount -t tmpfs tmpfs /tmp
up() { cut -d' ' -f1 /proc/uptime; }
finish() {
    echo "MARK-DONE guest_uptime=$(up)"
    sync
    poweroff -f
}
pass=0
fail=0
check() { # name, then a command
    name=$1
    shift
    if "$@"; then
        echo "PASS $name"
        pass=$((pass + 1))
    else
        echo "FAIL $name"
        fail=$((fail + 1))
    fi
}
echo "MARK-SHELL guest_uptime=$(up) kernel=$(uname -r)"
MD=/lib/modules/$(uname -r)
. /etc/bench.env

for m in $(cat /etc/modules.txt); do
    args=""
    case "$m" in
        */dummy_hcd.ko) args="num=4" ;;
        */usb-storage.ko) args="delay_use=0" ;;
    esac
    name=$(basename "$m" .ko | tr - _)
    grep -q "^$name " /proc/modules && continue
    out=$(insmod "$MD/$m" $args 2>&1) || echo "INSMOD-FAIL $m $out"
done
mount -t configfs none /sys/kernel/config
echo "MARK-MODULES guest_uptime=$(up) udcs=$(ls /sys/class/udc | tr '\n' ' ')"

# Seconds since boot (whole), without a new process: under software
# emulation every fork costs a good part of a second on a loaded host.
now_s() {
    read -r u _ </proc/uptime
    NOW=${u%.*}
}
# Waits at most $1 seconds (guest clock) until the command $2... succeeds.
wait_for() {
    now_s
    limit=$((NOW + $1))
    shift
    until "$@"; do
        now_s
        [ "$NOW" -ge $limit ] && return 1
        sleep 0.2
    done
}
sg_count_is() { set -- "$1" /sys/class/scsi_generic/*; [ -e "$2" ] || set -- "$1"; [ $(($# - 1)) -eq "$1" ]; }
# Waits (at most $2 seconds) until the number of SCSI generic nodes is $1.
wait_sg() { wait_for "$2" sg_count_is "$1"; }
# The two units that are there from the start: foreign USB disk, system disk.
check "foreign USB disk and system disk present" wait_sg 2 60
. /etc/gadget-faults.sh
if [ "${GUEST_PARTS:-all}" != all ]; then
    guest_parts "$GUEST_PARTS"
    echo "GUEST $pass passed, $fail failed"
    finish
fi

BUS=/bus
mkdir -p $BUS /tmp/sarnik
D0=$(simbus --bus $BUS plug)
D1=$(simbus --bus $BUS plug --password)
D2=$(simbus --bus $BUS plug)
IDS="$D0 $D1 $D2"
echo "INFO devices $IDS (the second with a password)"

start_gadget() { # index, device id
    rm -f /tmp/ready$1
    simgadget --bus $BUS --device "$2" --udc dummy_udc.$1 --name ufd$1 --ready /tmp/ready$1 \
        2>>/tmp/gadget$1.log &
    eval "GPID$1=$!"
    wait_for 20 [ -e /tmp/ready$1 ]
}
stop_gadget() {
    eval "p=\$GPID$1"
    kill -TERM "$p" 2>/dev/null
    wait "$p"
}
# Plugs the devices $2... as gadgets 0, 1, ... and waits for their SCSI
# units; $1 prefixes the names of the checks.
plug_three() {
    pre=$1
    shift
    n=0
    for id in "$@"; do
        check "${pre}gadget $n ($id) plugged" start_gadget $n "$id"
        n=$((n + 1))
    done
    check "${pre}three fresh devices appear as SCSI units" wait_sg 5 60
}
units() {
    for d in /sys/bus/scsi/devices/*:*:*:*; do
        [ -e "$d/type" ] || continue
        echo "UNIT $(basename $d) type=$(cat $d/type) vendor='$(cat $d/vendor)' model='$(cat $d/model)' rev='$(cat $d/rev)' sg=$(ls $d/scsi_generic 2>/dev/null) block=$(ls $d/block 2>/dev/null) sysfs=$(readlink -f $d)"
    done
}

# The last screen the watching station printed (from its last "Summary").
last_print() { awk '/^Summary$/ {b = ""} {b = b $0 "\n"} END {printf "%s", b}' /tmp/watch.out; }
no_disk_shown() { last_print | grep -q '^Grid' && ! last_print | grep -qE 'picture: (present|passed|failed)'; }
prints() { grep -c '^Summary$' /tmp/watch.out; }
more_screens_than() { [ "$(prints)" -gt "$1" ]; }
ended() { [ -n "$1" ] && ! kill -0 "$1" 2>/dev/null; }
# The monitor galmor started (not the observer).
station_dorvel() { for p in $(pidof dorvel); do [ "$p" != "$OBSERVER" ] && echo "$p"; done; }
has_dorvel() { [ -n "$(station_dorvel)" ]; }
# The number of screens stays the same for $1 seconds.
screens_settle() {
    a=$(prints)
    sleep "$1"
    [ "$(prints)" = "$a" ]
}

# UDEV_ONLY=1 on the host: only the scenario with udev (guest-udev.sh).
if grep -q '^UDEV_ONLY=1' /etc/udev-scenario.env; then
    . /etc/guest-udev.sh
    echo "GUEST $pass passed, $fail failed"
    finish
fi

# The watching station: galmor starts dorvel, which hears the kernel's
# uevents; three devices plugged while it watches start one run by themselves.
echo "MARK-WATCH guest_uptime=$(up)"
WIDS="$(simbus --bus $BUS plug) $(simbus --bus $BUS plug --password) $(simbus --bus $BUS plug)"
echo "INFO watch devices $WIDS (the second with a password)"
mkdir -p /tmp/sarnik-watch /tmp/sarnik-observer
# A second monitor in a folder of its own only observes: it prints every
# kernel event it hears and each recount (no station listens to it).
SARNIK_ROOT=/tmp/sarnik-observer dorvel --verbose --parent $$ >/tmp/observer.log 2>&1 &
OBSERVER=$!
(cd /tmp && SARNIK_ROOT=/tmp/sarnik-watch exec galmor --headless --home /home --watch --auto-run 3 \
    --report /tmp/watch-report.jsonl >/tmp/watch.out 2>&1) &
WPID=$!
check "watch: galmor shows its first screen" wait_for 60 grep -q '^Banner' /tmp/watch.out
check "watch: dorvel runs" wait_for 10 has_dorvel
WDORVEL=$(station_dorvel)
plug_three "watch: " $WIDS
check "watch: the plug starts one run, which ends" wait_for 300 grep -q '^Run 1 ended' /tmp/watch.out
echo "MARK-WATCH-RUN guest_uptime=$(up)"
grep '^Run [0-9]* ended' /tmp/watch.out | sed 's/^/INFO watch: /'
wait_for 30 screens_settle 2
before=$(prints)
for n in 0 1 2; do stop_gadget $n; done
check "watch: unplugged devices' units are gone" wait_sg 2 60
check "watch: the unplug is rediscovered (a new screen)" wait_for 60 more_screens_than "$before"
wait_for 10 screens_settle 2
echo "INFO watch: $(($(prints) - before)) screens after the unplug; last grid:"
last_print | grep -E '^  row [0-3]:' | sed 's/^/INFO watch: /'
# Under load the discoveries of the unplug can still be on their way here.
check "watch: after the unplug every row of the grid shows absent" wait_for 60 no_disk_shown
check "watch: no second run" [ "$(grep -c '^Run [0-9]* ended' /tmp/watch.out)" -eq 1 ]
kill -TERM $WPID
check "watch: galmor ends on SIGTERM" wait_for 30 ended $WPID
# A station that ignored the signal must not hold up the rest of the guest.
ended $WPID || kill -KILL $WPID
wait $WPID
rc=$?
check "watch: galmor exit code 0 after SIGTERM (got $rc)" [ $rc -eq 0 ]
check "watch: dorvel ($WDORVEL) ended with galmor" wait_for 10 ended "$WDORVEL"
kill -TERM $OBSERVER
wait_for 10 ended $OBSERVER || kill -KILL $OBSERVER
wait $OBSERVER
echo "MARK-WATCH-DONE guest_uptime=$(up)"
echo "WATCH-REPORT-BEGIN"
cat /tmp/watch-report.jsonl
echo "WATCH-REPORT-END"
echo "===== watching station output"
cat /tmp/watch.out
echo "===== device-change monitor (observer): recounts"
grep -E 'recount|ending|watching' /tmp/observer.log
for n in 0 1 2; do mv /tmp/gadget$n.log /tmp/watch-gadget$n.log; done

# Faults through the kernel (gadget-faults.sh); the run below is then on fresh gadgets.
fault_runs

T=$(up)
plug_three "" $IDS
echo "MARK-PLUGGED guest_uptime=$(up) since=$T"
units

echo "MARK-GALMOR guest_uptime=$(up)"
cd /tmp
SARNIK_ROOT=/tmp/sarnik galmor --headless --home /home --action run --report /tmp/report.json \
    >/tmp/galmor.out 2>&1
rc=$?
cat /tmp/galmor.out
echo "MARK-GALMOR-EXIT rc=$rc guest_uptime=$(up)"
echo "REPORT-BEGIN"
cat /tmp/report.json
echo "REPORT-END"

# Re-plug every device: the gadget unplugs, the device re-plugs on its bus,
# the gadget plugs again with what the device presents now.
T=$(up)
n=0
for id in $IDS; do
    stop_gadget $n
    simbus --bus $BUS replug "$id" || echo "FAIL simbus replug $id"
    check "gadget $n ($id) re-plugged" start_gadget $n "$id"
    n=$((n + 1))
done
# Two finished devices with a CD-ROM unit and two disks each, one fresh disk.
check "re-plugged devices appear as SCSI units" wait_sg 9 60
echo "MARK-REPLUGGED guest_uptime=$(up) since=$T"
units
# Partitions and block nodes settle after the sg nodes.
sleep 1

attr() { tr -d '\n' <"$1" 2>/dev/null; }
# The SCSI devices below gadget $1's USB device, in LUN order.
gadget_units() { ls -d /sys/devices/platform/dummy_hcd.$1/usb*/*-1/*-1:1.0/host*/target*/*:*:*:* 2>/dev/null; }

n=0
for id in $IDS; do
    usb=$(ls -d /sys/devices/platform/dummy_hcd.$n/usb*/*-1 2>/dev/null | head -1)
    info=$(simbus --bus $BUS inspect "$id")
    echo "INFO gadget $n usb=$usb id=$(attr $usb/idVendor):$(attr $usb/idProduct) bcdDevice=$(attr $usb/bcdDevice) manufacturer='$(attr $usb/manufacturer)' product='$(attr $usb/product)' serial='$(attr $usb/serial)'"
    if [ "$id" = "$D1" ]; then
        # The password stopped the run: still the fresh identity.
        check "gadget $n: fresh USB ids 0e5a:7301" [ "$(attr $usb/idVendor):$(attr $usb/idProduct)" = "0e5a:7301" ]
        u=$(gadget_units $n)
        check "gadget $n: one disk unit, revision 7.77" [ "$(echo $u | wc -w)" = 1 -a "$(attr $u/rev)" = "7.77" ]
        n=$((n + 1))
        continue
    fi
    check "gadget $n: USB ids of the recipe (1234:5678)" [ "$(attr $usb/idVendor):$(attr $usb/idProduct)" = "1234:5678" ]
    check "gadget $n: USB manufacturer string of the recipe" [ "$(attr $usb/manufacturer)" = "Demo Maker" ]
    check "gadget $n: USB product string of the recipe" [ "$(attr $usb/product)" = "Demo Disk" ]
    serial=$(echo "$info" | awk '$1=="serial:"{print $2; exit}')
    check "gadget $n: USB serial number from the configuration block ($serial)" [ -n "$serial" -a "$(attr $usb/serial)" = "$serial" ]
    bcd=$(echo "$info" | awk '$1=="bcd_device:"{print $2; exit}')
    check "gadget $n: bcdDevice from the configuration block ($bcd)" [ "$(attr $usb/bcdDevice)" = "$bcd" ]
    set -- $(gadget_units $n)
    check "gadget $n: three units (CD-ROM, two disks)" [ $# -eq 3 ]
    cd_seen=0
    disks=0
    for u in "$@"; do
        check "gadget $n $(basename $u): SCSI vendor/product/revision of the recipe" \
            [ "$(attr $u/vendor)|$(attr $u/model)|$(attr $u/rev)" = "DEMO    |Flash Disk      |8.00" ]
        blk=$(ls $u/block 2>/dev/null | head -1)
        if [ "$(attr $u/type)" = 5 ]; then
            cd_seen=1
            size=$(stat -c %s /home/files/7301.img)
            dd if=/dev/$blk of=/tmp/cd$n.img bs=512 count=$((size / 512)) 2>/dev/null
            check "gadget $n: CD-ROM unit /dev/$blk reads back the loader image byte for byte" cmp /tmp/cd$n.img /home/files/7301.img
        else
            disks=$((disks + 1))
            dev=/dev/$blk
            [ -e /sys/class/block/${blk}1 ] && dev=/dev/${blk}1
            # The volume label in the boot sector: offset 43 (FAT12/16) or 71 (FAT32).
            label=$(dd if=$dev bs=1 skip=43 count=11 2>/dev/null)
            [ "$(dd if=$dev bs=1 skip=82 count=5 2>/dev/null)" = FAT32 ] &&
                label=$(dd if=$dev bs=1 skip=71 count=11 2>/dev/null)
            check "gadget $n: $dev has the label of the recipe ('$label')" [ "$label" = "DEMODISK   " ]
            check "gadget $n: vfat mounts $dev" mount -t vfat $dev /mnt
            echo "written on gadget $n unit $blk" >/mnt/GUEST.TXT
            umount /mnt
            echo 3 >/proc/sys/vm/drop_caches
            mount -t vfat -o ro $dev /mnt
            check "gadget $n: vfat on $dev sees the file written before the remount" \
                [ "$(cat /mnt/GUEST.TXT 2>/dev/null)" = "written on gadget $n unit $blk" ]
            umount /mnt
        fi
    done
    check "gadget $n: a CD-ROM unit and two disks" [ $cd_seen = 1 -a $disks = 2 ]
    n=$((n + 1))
done

# Side by side with sg3_utils on one more, fresh device.
D3=$(simbus --bus $BUS plug)
check "bench gadget plugged" start_gadget 3 "$D3"
check "bench gadget appears" wait_sg 10 60
u=$(gadget_units 3)
sg=$(ls $u/scsi_generic 2>/dev/null)
# Recovery through the kernel's own paths: a command whose direction
# disagrees with its CDB (phase error: usb-storage resets the port), then a
# device reset (the bulk-only mass storage reset). The device answers after both.
head -c 512 /dev/zero >/tmp/zero512
sg_raw -s 512 -i /tmp/zero512 /dev/$sg 28 00 00 00 00 00 00 00 01 00 >/tmp/sg_raw.out 2>&1
rc=$?
check "bench gadget: READ(10) sent as data-out fails (exit $rc)" [ $rc -ne 0 ]
check "bench gadget: ready after the phase error" sg_turs /dev/$sg
check "bench gadget: device reset succeeds" sg_reset -d /dev/$sg
check "bench gadget: ready after the reset" sg_turs /dev/$sg
check "bench gadget: the reset reached the device" grep -q "mass storage reset" /tmp/gadget3.log
echo "MARK-BENCH guest_uptime=$(up) unit=$(basename $u) sg=$sg"
mkdir -p /tmp/sarnik-bench
SARNIK_ROOT=/tmp/sarnik-bench rk_gadget_bench /opt/ufd/libsarnik.so "$(basename $u)" /dev/$sg \
    ${BENCH_TURS:-100} ${BENCH_WRITES:-32} ${BENCH_ROUNDS:-5}
check "side-by-side figures measured" [ $? -eq 0 ]
echo "MARK-BENCH-DONE guest_uptime=$(up)"
stop_gadget 3

# A plain unplug: the units go away.
stop_gadget 1
check "unplugged gadget's units are gone" wait_sg 8 20
# A device unplugged on its bus: the next command tells the gadget, which
# unplugs the USB device too.
simbus --bus $BUS unplug "$D2"
sg=$(ls $(gadget_units 2 | head -1)/scsi_generic 2>/dev/null)
sg_turs /dev/$sg >/dev/null 2>&1
check "gadget of a device unplugged on the bus: its units are gone" wait_sg 5 20
eval "p=\$GPID2"
wait "$p"
check "gadget of a device unplugged on the bus: simgadget ended" grep -q "left the bus" /tmp/gadget2.log
for n in 0 1 2 3; do
    echo "===== gadget $n log"
    cat /tmp/gadget$n.log
done
echo "===== trace of $D0 (last 5 commands)"
simbus --bus $BUS trace "$D0" | tail -5

# The station as an operator's PC runs it: udev and a non-root operator.
. /etc/guest-udev.sh
echo "GUEST $pass passed, $fail failed"
finish
