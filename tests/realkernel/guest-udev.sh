# Sourced by the guest's /init (gadget-init.sh) once its own scenarios are
# done: the station as an operator's PC runs it. systemd-udevd applies
# Debian's rules and the station's (packaging/udev), and an ordinary user of
# the group "galmor" runs the watching station. Uses check, wait_for,
# wait_sg, start_gadget and stop_gadget from the /init. gadget.sh puts udevd,
# the rules, the users and groups and /etc/udev-scenario.env into the
# initramfs (add_udev_files).
#
# Checks: udevd runs and dorvel says it listens to it; the family units'
# nodes are 0660 root:galmor and marked UDISKS_IGNORE=1, the foreign USB disk
# keeps Debian's defaults; three plugged gadgets start one run that passes
# all three; after the unplug every row of the printed grid is "absent".
# Then the plug-to-row latency over UDEV_PLUGS plugs of one gadget.

. /etc/udev-scenario.env
U=/tmp/udev
mkdir -p $U/sarnik $U/observer $U/home
# The operator's own copy of the recipe (the image files it names stay readable).
cp /home/Product.ini $U/home/
chown -R oper:galmor $U

echo "INFO udev: scenario with systemd-udevd and a non-root operator, $UDEV_PLUGS latency plugs"
# Whatever an earlier scenario left plugged goes first.
for n in 0 1 2 3; do
    eval "p=\${GPID$n:-}"
    [ -n "$p" ] && kill -0 "$p" 2>/dev/null && stop_gadget $n
done
check "udev: only the foreign USB disk and the system disk are left" wait_sg 2 60

mkdir -p /run
/lib/systemd/systemd-udevd --daemon >/tmp/udevd.log 2>&1
check "udev: systemd-udevd runs" wait_for 30 [ -e /run/udev/control ]
udevadm trigger --action=add --subsystem-match=scsi_generic --subsystem-match=block \
    --subsystem-match=scsi --subsystem-match=usb
udevadm settle --timeout=120
echo "INFO udev: udevd up and settled at guest_uptime=$(up)"

# "mode owner group" of a node, e.g. "660 root galmor".
node_perm() { stat -c '%a %U %G' "$1" 2>/dev/null; }
udisks_ignored() { udevadm info --query=property --name="$1" 2>/dev/null | grep -q '^UDISKS_IGNORE=1$'; }
# The nodes (sg and whole-disk block) of the SCSI units whose model is $1.
nodes_of_model() {
    for d in /sys/bus/scsi/devices/*:*:*:*; do
        [ "$(tr -d ' \n' <$d/model 2>/dev/null)" = "$1" ] || continue
        for x in $d/scsi_generic/* $d/block/*; do
            [ -e "$x" ] && echo /dev/$(basename $x)
        done
    done
}
# The nodes of every SCSI unit below the gadgets (dummy_hcd).
gadget_nodes() {
    for d in /sys/devices/platform/dummy_hcd.*/usb*/*-1/*-1:1.0/host*/target*/*:*:*:*; do
        for x in $d/scsi_generic/* $d/block/*; do
            [ -e "$x" ] && echo /dev/$(basename $x)
        done
    done
}

foreign=$(nodes_of_model FOREIGN)
echo "INFO udev: foreign USB disk nodes:" $(for f in $foreign; do echo "$f=$(node_perm $f)"; done)
foreign_default() {
    [ -n "$foreign" ] || return 1
    for f in $foreign; do
        [ "$(node_perm $f)" = "660 root disk" ] || return 1
        udisks_ignored $f && return 1
    done
    return 0
}
check "udev: the foreign USB disk keeps Debian's defaults (root:disk 0660, not galmor, no UDISKS_IGNORE)" \
    foreign_default

# The operator's watching station, its output stamped with the guest clock
# as each line arrives (the latency figures come from these stamps).
stamp() {
    while IFS= read -r l; do
        read -r t _ </proc/uptime
        echo "$t $l"
    done
}
OUT=$U/watch.out
# The observer: one more dorvel of the operator's, which only prints.
su oper -s /bin/sh -c "SARNIK_ROOT=$U/observer exec /opt/ufd/dorvel --verbose --parent $$" \
    >$U/observer.log 2>&1 &
UOBSERVER=$!
(su oper -s /bin/sh -c "cd $U && PATH=/opt/ufd:/bin:/usr/bin SARNIK_ROOT=$U/sarnik exec galmor \
    --headless --home $U/home --watch --auto-run 3 --report $U/report.jsonl" 2>&1 | stamp >$OUT) &
check "udev: the operator's galmor shows its first screen" wait_for 60 grep -qs ' Banner' $OUT
UGALMOR=$(pidof galmor)
echo "INFO udev: galmor pid $UGALMOR runs as $(stat -c %U /proc/$UGALMOR 2>/dev/null)"
check "udev: galmor runs as the operator, not root" [ -n "$UGALMOR" -a "$(stat -c %U /proc/$UGALMOR)" = oper ]
check "udev: dorvel says it watches the events after udev" \
    wait_for 30 grep -q 'watching device events after udev' $U/observer.log
grep '^watching' $U/observer.log | sed 's/^/INFO udev: observer: /'

# The last screen printed (from its last "Summary"), without the stamps.
u_last() { awk '$2 == "Summary" {b = ""} {sub(/^[^ ]* /, ""); b = b $0 "\n"} END {printf "%s", b}' $OUT; }
u_rows_absent() { u_last | grep -q '^Grid' && ! u_last | grep -qE 'picture: (present|passed|failed)'; }
u_passed3() { [ "$(u_last | grep -cE '^  row [0-2]: .*picture: passed')" = 3 ]; }
u_screens() { grep -c ' Summary$' $OUT; }
screens_settle_u() {
    a=$(u_screens)
    sleep "$1"
    [ "$(u_screens)" = "$a" ]
}
# A screen printed after guest time $1 shows row 0 with the text $2.
row0_since() {
    awk -v t="$1" -v w="$2" '$1 > t && $2 == "row" && $3 == "0:" && index($0, w) {f = 1}
        END {exit !f}' $OUT
}

W1=$(simbus --bus $BUS plug)
W2=$(simbus --bus $BUS plug)
W3=$(simbus --bus $BUS plug)
echo "INFO udev: devices $W1 $W2 $W3"
n=0
for id in $W1 $W2 $W3; do
    check "udev: gadget $n ($id) plugged" start_gadget $n "$id"
    n=$((n + 1))
done
check "udev: the three devices appear as SCSI units" wait_sg 5 60
udevadm settle --timeout=60
fam=$(gadget_nodes)
echo "INFO udev: family nodes:" $(for f in $fam; do echo "$f=$(node_perm $f)"; done)
fam_ok() {
    [ "$(echo $fam | wc -w)" -ge 6 ] || return 1 # three sg and three block nodes
    for f in $fam; do
        [ "$(node_perm $f)" = "660 root galmor" ] || return 1
    done
}
check "udev: the family units' nodes are 0660 root:galmor" fam_ok
fam_ignored() {
    for f in $fam; do udisks_ignored $f || return 1; done
}
check "udev: the family units are marked UDISKS_IGNORE=1" fam_ignored
check "udev: the plug starts one run, which ends" wait_for 300 grep -q ' Run 1 ended' $OUT
grep ' Run [0-9]* ended' $OUT | sed 's/^[^ ]* /INFO udev: /'
check "udev: the run passes all three disks" grep -q ' Run 1 ended: ! ALL PASS !' $OUT
check "udev: the grid shows three passed rows" u_passed3
wait_for 30 screens_settle_u 2 2>/dev/null

# After the run the disks are unplugged: every row must come to "absent".
before=$(u_screens)
T=$(up)
for n in 0 1 2; do stop_gadget $n; done
check "udev: the unplugged devices' units are gone" wait_sg 2 60
check "udev: after the unplug every row of the grid shows absent" wait_for 60 u_rows_absent
echo "INFO udev: $(($(u_screens) - before)) screens after the unplug (from guest_uptime $T); rows 0-2 of each:"
awk -v t="$T" '$1 >= t && $2 == "Summary" {s = $1} $1 >= t && $2 == "row" && $3 ~ /^[0-2]:$/ {
    sub(/ \| progress.*| \| Format.*/, ""); print "INFO udev:   " s " " $2 " " $3 " " $NF}' $OUT
check "udev: no second run" [ "$(grep -c ' Run [0-9]* ended' $OUT)" -eq 1 ]

# Plug-to-row latency: one fresh device plugged and unplugged again and
# again; from the start of its gadget until a printed grid shows the disk
# ready in row 0 ("present"). A row that first says why the disk cannot be
# opened yet must come to "present" by itself (no notice comes when udev
# finishes late). Each plug waits until the unplug before it has reached the
# grid. UDEV_LOAD busy loops share the guest's processor meanwhile.
L=$(simbus --bus $BUS plug)
LOADERS=
j=0
while [ $j -lt "${UDEV_LOAD:-0}" ]; do
    sh -c 'while :; do :; done' &
    LOADERS="$LOADERS $!"
    j=$((j + 1))
done
: >$U/plugs
k=0
lat_fail=0
while [ $k -lt "$UDEV_PLUGS" ]; do
    read -r t0 _ </proc/uptime
    echo "$t0" >>$U/plugs
    start_gadget 0 "$L" || lat_fail=$((lat_fail + 1))
    wait_for 60 row0_since "$t0" "picture: present |" || lat_fail=$((lat_fail + 1))
    read -r t1 _ </proc/uptime
    stop_gadget 0
    wait_for 60 row0_since "$t1" "picture: absent |" || lat_fail=$((lat_fail + 1))
    k=$((k + 1))
done
[ -n "$LOADERS" ] && kill $LOADERS
check "udev: $UDEV_PLUGS plugs (${UDEV_LOAD:-0} busy loops), each ready in the grid and then gone ($lat_fail misses)" [ $lat_fail -eq 0 ]
LAT=$(awk -v plugs=$U/plugs 'BEGIN {while ((getline t < plugs) > 0) p[n++] = t}
    $2 == "row" && $3 == "0:" && /picture: present \|/ {
        for (i = 0; i < n; i++) if (!(i in got) && $1 > p[i]) {got[i] = $1 - p[i]; break}
    }
    END {for (i = 0; i < n; i++) if (i in got) printf "%.2f\n", got[i]}' $OUT | sort -n)
# Plugs whose row came first as failed (the station met a node before udev
# had set it up, see README) and only later to "present".
refused=$(awk -v plugs=$U/plugs 'BEGIN {while ((getline t < plugs) > 0) p[n++] = t}
    $2 == "row" && $3 == "0:" && / \| disk: USB / {
        for (i = 0; i < n; i++) if (!(i in got) && $1 > p[i]) {got[i] = 1; if (!/picture: present/) r++; break}
    }
    END {print r + 0}' $OUT)
echo "INFO udev: $refused of the plugs came to the grid first as failed:"
grep -E ' row 0: .*picture: failed' $OUT | sed 's/ | Config String.*//; s/^/INFO udev:   /' | tail -5
nl=$(echo "$LAT" | grep -c .)
pct() { # nearest rank
    r=$(((nl * $1 + 99) / 100))
    [ $r -lt 1 ] && r=1
    echo "$LAT" | sed -n "${r}p"
}
echo "INFO udev: plug-to-row latency over $nl plugs: p50 $(pct 50) s, p99 $(pct 99) s (min $(echo "$LAT" | head -1) s, max $(echo "$LAT" | tail -1) s)"
echo "LATENCY plugs=$nl p50_s=$(pct 50) p99_s=$(pct 99)"

# udev slower than the monitor waits for it (a loaded desktop): a rule holds
# the new disk's block node for 12 s, so the station meets it before the
# rules have given it to the group and no later notice comes. The row must
# come to "present" by itself.
mkdir -p /etc/udev/rules.d
echo 'SUBSYSTEM=="block", ACTION=="add", SUBSYSTEMS=="usb", PROGRAM="/bin/busybox sleep 12"' \
    >/etc/udev/rules.d/99-slow.rules
udevadm control --reload
read -r t0 _ </proc/uptime
start_gadget 0 "$L"
check "udev: a disk whose node udev finishes 12 s late comes to present by itself" \
    wait_for 90 row0_since "$t0" "picture: present |"
read -r t1 _ </proc/uptime
echo "INFO udev: row 0 after the late node's plug (seconds since the plug, each state once):"
awk -v t="$t0" '$1 > t && $2 == "row" && $3 == "0:" {
    d = $1 - t; l = $0; sub(/ \| Config String.*/, "", l); sub(/^[^|]*\| /, "", l)
    if (!(l in seen)) {seen[l] = 1; printf "INFO udev:   %.2f s: %s\n", d, l}}' $OUT
rm /etc/udev/rules.d/99-slow.rules
udevadm control --reload
stop_gadget 0
wait_for 60 row0_since "$t1" "picture: absent |"

kill -TERM $UGALMOR
check "udev: the operator's galmor ends on SIGTERM" wait_for 30 ended $UGALMOR
ended $UGALMOR || kill -KILL $UGALMOR
kill -TERM $UOBSERVER 2>/dev/null
wait_for 10 ended $UOBSERVER || kill -KILL $UOBSERVER
echo "===== udev: operator's watching station output (stamped)"
cat $OUT
echo "===== udev: observer"
cat $U/observer.log
echo "===== udev: udevd"
tail -20 /tmp/udevd.log
udevadm control --exit 2>/dev/null
