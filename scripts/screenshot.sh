#!/usr/bin/env bash
# Renders the operator window on a simulated bus of six disks (four good
# ones, one whose chip list cannot be read, one with a password set): after
# start-up, during a production run and after it, to docs/window-start-up.png,
# docs/window-during-run.png and docs/window-after-run.png (or into the folder
# given). Needs a build with Qt.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/bin
outdir=${1:-$PWD/docs}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bus" "$work/slowbus" "$work/sarnik" "$work/home/files" "$work/iso" "$outdir"
export SARNIK_ROOT=$work/sarnik

printf 'Loader disk of the demo recipe.\r\n' >"$work/iso/README.TXT"
xorriso -as mkisofs -quiet -V DEMOLOADER -o "$work/home/files/7301.img" "$work/iso"
head -c 300000 /dev/zero | tr '\0' 'R' >"$work/home/files/Reserve.img"
sed "s#@FILES@#$work/home/files#" demo/Product.ini >"$work/home/Product.ini"

# The six disks, on a bus of its own for each run (timing: none or usb2).
plug_six() {
    "$bin/simbus" plug --timing "$1" --chips DC >/dev/null
    "$bin/simbus" plug --timing "$1" --chips DA >/dev/null
    "$bin/simbus" plug --timing "$1" --chips 75,75 --fail 93 >/dev/null
    "$bin/simbus" plug --timing "$1" --chips F1 >/dev/null
    "$bin/simbus" plug --timing "$1" --chips DA --password >/dev/null
    "$bin/simbus" plug --timing "$1" --chips 75,75 >/dev/null
}

export SARNIK_SIM_BUS=$work/bus
plug_six none
"$bin/galmor" --home "$work/home" --log "$work/production.db" --station demo --screenshot "$outdir/window-start-up.png"
"$bin/galmor" --home "$work/home" --log "$work/production.db" --station demo --screenshot "$outdir/window-after-run.png" --after-run

# While the disks are formatted: the bus models USB 2 speed, so the run is
# caught writing images.
export SARNIK_SIM_BUS=$work/slowbus
plug_six usb2
"$bin/galmor" --home "$work/home" --log "$work/production.db" --station demo --screenshot "$outdir/window-during-run.png" --during-run
ls "$outdir"/window-*.png
