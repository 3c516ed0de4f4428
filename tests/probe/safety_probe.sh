#!/usr/bin/env bash
# Fault and bad-input probe of the station on the simulated bus: bad recipes
# and image files, an unusable library folder and report path, devices of
# other makes beside family ones, a failure injected at every vendor
# sub-command of a run, kill -9 in the middle of a run and an external unplug.
# Every galmor run is bounded by a timeout; a hang is a failure.
# Usage: safety_probe.sh <bin folder>
set -uo pipefail
bin=${1:?bin folder}
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

standard=" 00 03 12 1A 1B 25 28 2A "
# Vendor opcodes a device received, one per line, in order.
vendor_ops() {
    "$bin/simbus" trace "$1" | awk '{print toupper($1)}' | while read -r op; do
        [[ $standard == *" $op "* ]] || echo "$op"
    done
}

# A fresh bus, library folder and recipe home for each case.
fresh() {
    rm -rf "$work/case"
    mkdir -p "$work/case/bus" "$work/case/home/files" "$work/case/iso"
    mkdir -m 0700 "$work/case/sarnik"
    export SARNIK_SIM_BUS=$work/case/bus SARNIK_ROOT=$work/case/sarnik
    home=$work/case/home
    printf 'probe\r\n' >"$work/case/iso/README.TXT"
    xorriso -as mkisofs -quiet -V PROBE -o "$home/files/7301.img" "$work/case/iso" 2>/dev/null
    head -c 4096 /dev/zero >"$home/files/Reserve.img"
    sed "s#@FILES@#$home/files#; s#^Size=512#Size=32#" "$src/demo/Product.ini" >"$home/Product.ini"
}

# Runs galmor; sets rc and out.
galmor() {
    out=$(timeout 120 "$bin/galmor" --headless --home "$home" "$@" 2>&1)
    rc=$?
    [[ $rc -ne 124 ]] || fail "galmor $* did not end within 120 s"
    [[ $rc -lt 128 ]] || fail "galmor $* died with signal $((rc - 128)): $out"
}

expect_untouched() {  # $1 case name, then device ids
    local name=$1 id
    shift
    for id in "$@"; do
        [[ -z $("$bin/simbus" trace "$id") ]] || fail "$name: device $id received commands"
    done
}

# ---- Bad inputs: the message, the exit code, and no device command.
bad_input() {  # name, expected rc, expected text, setup command, galmor args...
    local name=$1 want=$2 text=$3 setup=$4
    shift 4
    fresh
    local a b
    a=$("$bin/simbus" plug --chips DC) b=$("$bin/simbus" plug --chips DA)
    eval "$setup"
    galmor "$@"
    [[ $rc -eq $want ]] || fail "$name: exit $rc, expected $want: $out"
    [[ $out == *"$text"* ]] || fail "$name: no message \"$text\": $out"
    expect_untouched "$name" "$a" "$b"
}
bad_input "fifo recipe" 2 "Product.ini" 'rm "$home/Product.ini"; mkfifo "$home/Product.ini"' --action run
bad_input "recipe linked to /dev/zero" 2 "Product.ini" 'ln -sf /dev/zero "$home/Product.ini"' --action run
bad_input "huge recipe" 2 "larger than" 'head -c 1100000 /dev/zero | tr "\0" ";" >>"$home/Product.ini"' --action run
bad_input "non-hex VID" 2 "not hexadecimal" 'sed -i "s/^VID=.*/VID=ZZZZ/" "$home/Product.ini"' --action run
bad_input "non-hex PID" 2 "not hexadecimal" 'sed -i "s/^PID=.*/PID=12G4/" "$home/Product.ini"' --action run
bad_input "label with *" 2 "FAT volume label" 'sed -i "s/^DEMODISK/DEMO*DISK/" "$home/Product.ini"' --action run
bad_input "label with control" 2 "FAT volume label" 'sed -i "s/^DEMODISK/DEMO\tDISK/" "$home/Product.ini"' --action run
bad_input "fifo loader image" 2 "7301.img" 'rm "$home/files/7301.img"; mkfifo "$home/files/7301.img"' --action run
bad_input "reserve image is a folder" 2 "Reserve.img" 'rm "$home/files/Reserve.img"; mkdir "$home/files/Reserve.img"' --action run
bad_input "report in a missing folder" 4 "cannot write the report" ':' --action run --report "$work/none/r.json"
bad_input "report is a folder" 4 "report" 'mkdir "$work/case/r.json"' --action run --report "$work/case/r.json"
bad_input "read-only library folder with a stale log" 4 "read-only" \
    'printf "\\\\\\\\?\\\\usbstor#disk&ven_x&prod_y&rev_7.77#old&0#{x}\n" >"$SARNIK_ROOT/tessary.txt"; chmod 0500 "$SARNIK_ROOT"' \
    --action run
bad_input "library folder open to others" 4 "writable by other users" 'chmod 0777 "$SARNIK_ROOT"' --action run
chmod -R u+w "$work" 2>/dev/null

# ---- Devices of other makes beside family ones, through every action.
fresh
fam1=$("$bin/simbus" plug --chips DC)
fam2=$("$bin/simbus" plug --chips DA)
cd_foreign=$("$bin/simbus" plug --plain --with-cdrom --vendor OTHER --rev 1.00)
for action in run scan low-level-format; do
    galmor --action "$action"
    [[ $rc -eq 0 ]] || fail "foreign devices, $action: exit $rc: $out"
done
# Paths that name the family's revisions: never silently left out, they are
# ports that fail, and still get no vendor write.
rev777=$("$bin/simbus" plug --plain --vendor OTHER --rev 7.77)
rev701=$("$bin/simbus" plug --plain --vendor OTHER --rev 7.01)
for action in run scan low-level-format; do
    galmor --action "$action"
    [[ $rc -eq 1 ]] || fail "unreadable family revisions, $action: exit $rc: $out"
done
for id in "$cd_foreign" "$rev777" "$rev701"; do
    bad=$(vendor_ops "$id" | grep -vx -e 9C -e 75 -e 7C | sort -u | tr '\n' ' ')
    [[ -z $bad ]] || fail "foreign device $id received vendor commands other than reads: $bad"
done

# ---- A failure injected at every vendor sub-command a clean run sends.
fresh
clean=$("$bin/simbus" plug --chips DC)
galmor --action run
[[ $rc -eq 0 ]] || fail "clean run: exit $rc: $out"
ops=$(vendor_ops "$clean" | sort -u)
[[ -n $ops ]] || fail "clean run sent no vendor command"
for op in $ops; do
    fresh
    "$bin/simbus" plug --chips DC --fail "$op" >/dev/null
    galmor --action run
    # A family disk never drops out: a read that fails once in discovery is
    # tried again, so the run passes or fails, never "no disk found".
    [[ $rc -eq 0 || $rc -eq 1 ]] || fail "failure at $op: exit $rc: $out"
done

# ---- An external unplug in the middle of writing, then kill -9 mid-run.
fresh
gone=$("$bin/simbus" plug --chips DC --unplug-at 2A:20)
stay=$("$bin/simbus" plug --chips DC)
galmor --action run
[[ $rc -eq 1 ]] || fail "unplug mid-run: exit $rc, expected 1: $out"

fresh
"$bin/simbus" plug --chips DC --timing usb2 >/dev/null
"$bin/simbus" plug --chips DA --timing usb2 >/dev/null
timeout 120 "$bin/galmor" --headless --home "$home" --action run >/dev/null 2>&1 &
pid=$!
sleep 2
kill -9 "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
galmor --action run
[[ $rc -eq 0 || $rc -eq 1 ]] || fail "run after kill -9: exit $rc: $out"

# ---- Two stations started at once on one bus with four disks: each disk is
# served by exactly one of them, the other reports it busy (held through its
# run job, or through its probe at discovery). Slow disks and a 6 MB loader
# keep each job far longer than a station waits for a held unit, however
# loaded the machine: a station that found a unit free only after the other
# one had finished it would run it again.
fresh
head -c 6000000 /dev/urandom >"$work/case/iso/FILL.BIN"
xorriso -as mkisofs -quiet -V PROBE -o "$home/files/7301.img" "$work/case/iso" 2>/dev/null
ids=()
for chips in DC DA 75 F1; do ids+=("$("$bin/simbus" plug --chips "$chips" --timing usb1)"); done
timeout 300 "$bin/galmor" --headless --home "$home" --action run --report "$work/a.json" >"$work/a.out" 2>&1 &
pa=$!
timeout 300 "$bin/galmor" --headless --home "$home" --action run --report "$work/b.json" >"$work/b.out" 2>&1 &
pb=$!
wait "$pa"
ra=$?
wait "$pb"
rb=$?
[[ ($ra -eq 0 || $ra -eq 1) && ($rb -eq 0 || $rb -eq 1) ]] || fail "two stations: exits $ra and $rb"
[[ $ra -eq 1 || $rb -eq 1 ]] || fail "two stations: both report a pass"
for id in "${ids[@]}"; do
    served=0
    passed=0
    for r in "$work/a.json" "$work/b.json"; do
        status=$(jq -r --arg id "$id" '.ports[] | select(.device_path | ascii_downcase | contains("#" + $id + "&")) | .error_status' "$r" 2>/dev/null)
        [[ -n $status ]] || continue
        [[ $status -eq 235 || $status -eq 237 ]] && continue  # held by the other station
        served=$((served + 1))
        [[ $status -eq 0 ]] && passed=1
    done
    [[ $served -eq 1 ]] || fail "two stations: disk $id served $served times"
    if [[ $passed -eq 1 ]]; then
        "$bin/simbus" replug "$id" >/dev/null
        "$bin/simbus" export "$id" disk1 "$work/disk.img" >/dev/null &&
            fsck.fat -n "$work/disk.img" >/dev/null 2>&1 || fail "two stations: disk $id fails fsck.fat"
    fi
done
grep -q "in use by another program" "$work/a.out" "$work/b.out" ||
    fail "two stations: no row says busy"

if [[ $failures -ne 0 ]]; then
    echo "safety probe: $failures failure(s)"
    exit 1
fi
echo "safety probe: all cases passed"
