#!/usr/bin/env bash
# The station's udev rules, run by the real udev against recorded devices.
#
# The recorded attribute walks (udev/*.walk) become a sysfs tree; in a private
# mount namespace that tree is /sys, /dev and /run are empty, the rules under
# test are the only rules added (/run/udev/rules.d) and the operators' group
# exists. `udevadm test` then shows, per node, which rules matched and what
# they set; nothing reaches the machine's own devices or udev database.
#
#   udev_rules_test.sh RULES GROUP WALK_DIR
#
# Exit 0 when every node got what it should, 1 on a mismatch, 77 (skipped)
# where udevadm or a private mount namespace is not available.
set -euo pipefail

if [ "${1:-}" = "--inside" ]; then
    shift
    tree=$1 rules=$2 groupfile=$3
    mount --make-rprivate /
    mount --bind "$tree" /sys
    mount -t tmpfs tmpfs /dev
    mount -t tmpfs tmpfs /run
    mkdir -p /run/udev/rules.d
    cp "$rules" /run/udev/rules.d/
    mount --bind "$groupfile" /etc/group
    shift 3
    # One `udevadm test` per "ACTION DEVPATH OUTFILE" triple.
    while [ $# -ge 3 ]; do
        # The recorded tree is not a sysfs mount; udev is told not to insist.
        SYSTEMD_DEVICE_VERIFY_SYSFS=0 udevadm test --action="$1" "/sys$2" >"$3" 2>&1 || true
        shift 3
    done
    exit 0
fi

rules=$1 group=$2 walks=$3
skip() {
    echo "SKIPPED: $*"
    exit 77
}
command -v udevadm >/dev/null || skip "udevadm is not installed"
command -v unshare >/dev/null || skip "unshare is not installed"
unshare -m true 2>/dev/null || skip "no private mount namespace here (needs root)"

work=$(mktemp -d)
trap '[ -n "${UDEV_TEST_KEEP:-}" ] || rm -rf "$work"' EXIT
sys=$work/sys
mkdir -p "$sys/devices" "$sys/bus" "$sys/class"

# Builds the folders, attribute files, uevent files and subsystem/driver links
# of one recorded walk.
replay_walk() {
    local cur="" subsystem="" line key name value base
    while IFS= read -r line; do
        if [[ $line =~ looking\ at\ (parent\ )?device\ \'(/devices/[^\']*)\':$ ]]; then
            cur=$sys${BASH_REMATCH[2]}
            subsystem=""
            mkdir -p "$cur"
            touch "$cur/uevent"
            continue
        fi
        [[ $line =~ ^[[:space:]]+([A-Z]+)(\{([^}]*)\})?==\"(.*)\"$ ]] || continue
        key=${BASH_REMATCH[1]} name=${BASH_REMATCH[3]} value=${BASH_REMATCH[4]}
        [ -n "$cur" ] || { echo "$1: attribute before any device" >&2; return 1; }
        case $key in
        KERNEL | KERNELS) ;; # the folder's own name
        SUBSYSTEM | SUBSYSTEMS)
            [ -n "$value" ] || continue
            subsystem=$value
            case $value in usb | scsi | pci) base=bus/$value ;; *) base=class/$value ;; esac
            mkdir -p "$sys/$base"
            ln -sfn "/sys/$base" "$cur/subsystem"
            ;;
        DRIVER | DRIVERS)
            [ -n "$value" ] || continue
            mkdir -p "$sys/bus/$subsystem/drivers/$value"
            ln -sfn "/sys/bus/$subsystem/drivers/$value" "$cur/driver"
            ;;
        ATTR | ATTRS)
            mkdir -p "$(dirname "$cur/$name")"
            printf '%s\n' "$value" >"$cur/$name"
            ;;
        UEVENT) printf '%s=%s\n' "$name" "$value" >>"$cur/uevent" ;;
        *)
            echo "$1: unknown key $key" >&2
            return 1
            ;;
        esac
    done <"$1"
}
for walk in "$walks"/*.walk; do replay_walk "$walk"; done

# The operators' group, added to a copy of the group file when missing.
cp /etc/group "$work/group"
if ! gid=$(getent group "$group" | cut -d: -f3) || [ -z "$gid" ]; then
    gid=64999
    echo "$group:x:$gid:" >>"$work/group"
fi
disk_gid=$(getent group disk | cut -d: -f3 || true)

# Node, action, whether the operators' group gets it (group/none), whether the
# desktop ignores it (ignore/keep; - not checked).
cases=(
    "sdb add group ignore"   # family disk unit
    "sdb1 add group ignore"  # its partition
    "sg2 add group ignore"   # its SCSI generic node
    "sr1 add group ignore"   # family loader CD-ROM unit (8.00)
    "sdb remove none -"      # a removal: the rules set nothing (the properties
                             # are the ones recorded at add)
    "sdb change group ignore"
    "sdc add none keep"      # another make's USB disk, revision 1.00: system defaults
    "sg3 add none keep"      # its SCSI generic node
    "sda add none keep"      # SATA disk, revision 7.01
)
args=()
i=0
for c in "${cases[@]}"; do
    read -r node action _ _ <<<"$c"
    path=$(cd "$sys" && find devices -type d -name "$node" | head -n 1)
    [ -n "$path" ] || { echo "no recorded node $node" >&2; exit 1; }
    args+=("$action" "/$path" "$work/out.$i")
    i=$((i + 1))
done
unshare -m bash "$0" --inside "$sys" "$rules" "$work/group" "${args[@]}"

if grep -q "is outside of sysfs" "$work/out.0"; then
    skip "this udev cannot test devices of a recorded sysfs tree"
fi

ours=$(basename "$rules")
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
i=0
for c in "${cases[@]}"; do
    read -r node action want_group want_ignore <<<"$c"
    out=$work/out.$i
    i=$((i + 1))
    what="$node ($action)"
    if ! grep -q "Reading rules file: /run/udev/rules.d/$ours" "$out"; then
        fail "$what: udev did not read $ours"
        sed 's/^/    /' "$out" | head -n 40
        continue
    fi
    # Anything udev says about our file other than a rule it applied is a
    # parse problem (invalid key, unknown group, bad GOTO, ...).
    if grep "$ours:" "$out" | { grep -v "^$node: /run/udev/rules.d/$ours:[0-9]* " || true; } | grep -q .; then
        fail "$what: udev complains about the rules:"
        grep "$ours:" "$out" | sed 's/^/    /'
    fi
    # The last GROUP and MODE that any rule set are what the node gets.
    last_group=$(grep -E "^$node: .* GROUP [0-9]+$" "$out" | tail -n 1 | awk '{print $NF}' || true)
    last_mode=$(grep -E "^$node: .* MODE [0-7]+$" "$out" | tail -n 1 | awk '{print $NF}' || true)
    ignored=no
    grep -qx "UDISKS_IGNORE=1" "$out" && ignored=yes
    if [ "$want_group" = group ]; then
        [ "$last_group" = "$gid" ] || fail "$what: group ${last_group:-unset}, want $gid ($group)"
        [ "$last_mode" = 0660 ] || fail "$what: mode ${last_mode:-unset}, want 0660"
    else
        if grep -q "^$node: /run/udev/rules.d/$ours:[0-9]* \(GROUP\|MODE\)" "$out"; then
            fail "$what: the station's rules set its group or mode"
        fi
        if [ "$action" = remove ] && grep -q "^$node: /run/udev/rules.d/$ours:" "$out"; then
            fail "$what: a rule of the station applied on removal"
        fi
        if [ "$action" = add ] && [ -n "$disk_gid" ] && [ "$last_group" != "$disk_gid" ]; then
            fail "$what: group ${last_group:-unset}, want the system's disk group $disk_gid"
        fi
    fi
    if [ "$want_ignore" = ignore ] && [ "$ignored" = no ]; then fail "$what: UDISKS_IGNORE not set"; fi
    if [ "$want_ignore" = keep ] && [ "$ignored" = yes ]; then fail "$what: UDISKS_IGNORE set"; fi
    echo "$what: group ${last_group:-unchanged} mode ${last_mode:-unchanged} udisks-ignore $ignored"
done
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all udev rule checks passed"
