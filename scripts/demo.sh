#!/usr/bin/env bash
# Sets up the project and runs the station's production run on a simulated
# bus of four flash disks: a recipe with a loader CD-ROM image (an ISO made
# here), a reserve image and two FAT partitions.
#
# DEMO_BIN=DIR runs the programs installed in DIR instead (no set-up, no
# build); the recipe then sits in the user's configuration folder, where an
# installed station finds it without --home. DEMO_DIR moves the work folder.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${DEMO_BIN:-}" ]; then
    bin=$DEMO_BIN
else
    bash scripts/setup.sh demo
    bin=$PWD/build-demo/bin
fi

work=${DEMO_DIR:-$PWD/demo-run}
rm -rf "$work"
if [ -n "${DEMO_BIN:-}" ]; then
    export XDG_CONFIG_HOME=$work/config
    home=$XDG_CONFIG_HOME/galmor
    home_args=()
else
    home=$work/home
    home_args=(--home "$home")
fi
mkdir -p "$work/bus" "$work/sarnik" "$home/files" "$work/iso"
export SARNIK_SIM_BUS=$work/bus SARNIK_ROOT=$work/sarnik

# The recipe and its image files.
printf 'Loader disk of the demo recipe.\r\n' >"$work/iso/README.TXT"
xorriso -as mkisofs -quiet -V DEMOLOADER -o "$home/files/7301.img" "$work/iso"
head -c 300000 /dev/zero | tr '\0' 'R' >"$home/files/Reserve.img"
sed "s#@FILES@#$home/files#" demo/Product.ini >"$home/Product.ini"

# Four fresh disks: 512 MB, 256 MB, 2 x 32 MB and 128 MB of flash.
for chips in DC DA 75,75 F1; do
    "$bin/simbus" plug --chips "$chips" >/dev/null
done
echo "== Simulated bus"
"$bin/simbus" list

echo "== Production run"
set +e
"$bin/galmor" --headless "${home_args[@]}" --action run --report "$work/report.json"
rc=$?
set -e
echo "== Exit code $rc; report in $work/report.json"

echo "== The first disk after a re-plug"
first=$("$bin/simbus" list | awk 'NR==1 {print $1}')
"$bin/simbus" replug "$first"
"$bin/simbus" inspect "$first"
"$bin/simbus" export "$first" disk1 "$work/disk1.img"
fsck.fat -n "$work/disk1.img"
minfo -i "$work/disk1.img" :: | head -n 12
exit "$rc"
