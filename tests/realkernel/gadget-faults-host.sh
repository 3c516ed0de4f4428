# Host side of the fault scenarios (gadget-faults.sh), sourced by gadget.sh
# after the guest ran: uses hchk, body, $B (programs), $R (the initramfs
# tree with the recipe) and $W.
#
# The expected code of each scenario is what the same fault gives on the
# simulated bus, without a kernel: galmor with the same recipe, one device
# with the bus's own fault at the same command. A command that never answers
# fails there as a CHECK CONDITION does (--fail), a device pulled out or
# re-enumerated under a new node is gone for the station's handle
# (--unplug-at), and a late answer within the time-out is no fault.
fault_expect() { # bus fault options; prints the faulty port's code, "00" = passed
    rm -rf "$W/fault-sim"
    mkdir -p "$W/fault-sim/root" "$W/fault-sim/home"
    sed "s#/home/files#$R/home/files#" "$R/home/Product.ini" >"$W/fault-sim/home/Product.ini"
    local id
    id=$("$B/simbus" --bus "$W/fault-sim/bus" plug $1) || return 1
    SARNIK_SIM_BUS="$W/fault-sim/bus" SARNIK_ROOT="$W/fault-sim/root" XDG_STATE_HOME="$W/fault-sim" \
        timeout -k 5 120 "$B/galmor" --headless --no-log --home "$W/fault-sim/home" --action run \
        --report "$W/fault-sim/report.json" >"$W/fault-sim/galmor.out" 2>&1
    python3 -c '
import json, sys
p = json.load(open(sys.argv[1]))["ports"]
print(p[0]["error_status_hex"] if len(p) == 1 else "no-single-port")' "$W/fault-sim/report.json" 2>/dev/null ||
        echo unreadable
}

fault_host_checks() {
    local name plug want check
    for scenario in "hang|--fail 2a:3" "unplug|--unplug-at 2a:3" "reenumerate|--unplug-at 2a:3" "slow|"; do
        name=${scenario%%|*}
        plug=${scenario#*|}
        want=$(fault_expect "$plug")
        echo "fault $name: on the simulated bus (simbus plug $plug) the port gets $want"
        body | sed -n "/^FAULT-REPORT-BEGIN $name /,/^FAULT-REPORT-END\$/p" >"fault-$name.txt"
        check=$(python3 - "fault-$name.txt" "$want" <<'EOF'
import json, sys
lines = open(sys.argv[1]).read().splitlines()
want = sys.argv[2]
if len(lines) < 3:
    print("no report from the guest")
    sys.exit(1)
addr = lines[0].split()[2] if len(lines[0].split()) > 2 else "?"
try:
    ports = json.loads("\n".join(lines[1:-1]))["ports"]
except Exception as e:
    print("unreadable report: %s" % e)
    sys.exit(1)
key = "#" + addr.replace(":", "&") + "#"
faulty = [p for p in ports if key in p["device_path"]]
others = [p for p in ports if key not in p["device_path"]]
print("ports %d; faulty %s: %s; others: %s" % (
    len(ports), addr, ", ".join("%s %r" % (p["error_status_hex"], p["error_text"]) for p in faulty),
    ", ".join("passed" if p["passed"] else p["error_status_hex"] for p in others)))
ok = (len(ports) == 3 and len(faulty) == 1 and len(others) == 2 and all(p["passed"] for p in others)
      and faulty[0]["error_status_hex"] == want and (faulty[0]["passed"] == (want == "00")))
sys.exit(0 if ok else 1)
EOF
        )
        local rc=$?
        echo "fault $name: $check"
        hchk "fault $name: the faulty port gets $want as on the simulated bus, the other two pass" "[ $rc -eq 0 ]"
    done
}
fault_host_checks
