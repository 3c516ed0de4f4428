#!/usr/bin/env bash
# Renders the operator window after a production run on a simulated bus of
# six disks (four good ones, one whose chip list cannot be read, one with a
# password set) to docs/window-after-run.png. Needs a build with Qt.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/bin
out=${1:-$PWD/docs/window-after-run.png}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bus" "$work/sarnik" "$work/home/files" "$work/iso" "$(dirname "$out")"
export SARNIK_SIM_BUS=$work/bus SARNIK_ROOT=$work/sarnik

printf 'Loader disk of the demo recipe.\r\n' >"$work/iso/README.TXT"
xorriso -as mkisofs -quiet -V DEMOLOADER -o "$work/home/files/7301.img" "$work/iso"
head -c 300000 /dev/zero | tr '\0' 'R' >"$work/home/files/Reserve.img"
sed "s#@FILES@#$work/home/files#" demo/Product.ini >"$work/home/Product.ini"

"$bin/simbus" plug --chips DC >/dev/null
"$bin/simbus" plug --chips DA >/dev/null
"$bin/simbus" plug --chips 75,75 --fail 93 >/dev/null
"$bin/simbus" plug --chips F1 >/dev/null
"$bin/simbus" plug --chips DA --password >/dev/null
"$bin/simbus" plug --chips 75,75 >/dev/null

"$bin/galmor" --home "$work/home" --screenshot "$out" --after-run
echo "$out"
