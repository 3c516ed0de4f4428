# Faults through the real kernel, sourced by gadget-init.sh (busybox sh, the
# helpers check, wait_for, wait_sg, up and the bus $BUS come from there).
#
# Per scenario three fresh controllers are plugged as gadgets; the middle one
# (dummy_udc.1) carries the fault. galmor runs Format, Manufacture and Check
# Config on the Linux platform. The guest checks that galmor ends within its
# bound and that every simgadget ends when stopped; it prints the report
# between FAULT-REPORT-BEGIN and FAULT-REPORT-END, and gadget.sh checks that
# the faulty port has the code the same fault gives on the simulated bus
# (worked out on the host, in /etc/fault-expect.txt) and the other two pass.
# The kernel's messages of each scenario are printed as "INFO kernel:" lines.
#
# The time-outs are the library's own (SG_IO's timeout field): WRITE(10)
# gives the device 2 s, so a command that never answers costs about 2 s plus
# the kernel's recovery.

fault_ended() { [ -n "$1" ] && ! kill -0 "$1" 2>/dev/null; }
# Starts gadget $1 for device $2 with the extra simgadget options $3...
fault_gadget() {
    fg_n=$1
    fg_id=$2
    shift 2
    rm -f /tmp/fready$fg_n
    simgadget --bus $BUS --device "$fg_id" --udc dummy_udc.$fg_n --name flt$fg_n \
        --ready /tmp/fready$fg_n "$@" 2>>/tmp/fault-gadget$fg_n.log &
    eval "FPID$fg_n=$!"
    wait_for 20 [ -e /tmp/fready$fg_n ]
}
# Stops gadget $1 (SIGTERM; SIGKILL when it is still there 20 s later).
fault_stop() {
    eval "fs_p=\$FPID$1"
    [ -n "$fs_p" ] || return 0
    kill -TERM "$fs_p" 2>/dev/null
    if ! wait_for 20 fault_ended "$fs_p"; then
        kill -KILL "$fs_p" 2>/dev/null
        wait "$fs_p"
        eval "FPID$1="
        return 1
    fi
    wait "$fs_p"
    eval "FPID$1="
}
# The SCSI address of gadget $1's first unit (H:C:T:L), or nothing.
fault_addr() {
    for fa_u in /sys/devices/platform/dummy_hcd.$1/usb*/*-1/*-1:1.0/host*/target*/*:*:*:*; do
        [ -e "$fa_u" ] && basename "$fa_u" && return 0
    done
    return 1
}
fault_sg_of() { ls "/sys/bus/scsi/devices/$1/scsi_generic" 2>/dev/null; }
fault_sg_count() {
    set -- /sys/class/scsi_generic/*
    [ -e "$1" ] || set --
    echo $#
}
fault_new_node() { # the gadget's unit is back, under another address than $2
    fn_a=$(fault_addr "$1") && [ "$fn_a" != "$2" ]
}

# Scenario $1 (a name), faulty device plugged with the simbus options $2 and
# served with the simgadget options $3.
fault_scenario() {
    fs_name=$1
    fs_plug=$2
    fs_wire=$3
    echo "MARK-FAULT-$fs_name guest_uptime=$(up)"
    base=$(fault_sg_count)
    dmesg -c >/dev/null 2>&1
    h0=$(simbus --bus $BUS plug)
    f1=$(simbus --bus $BUS plug $fs_plug)
    h2=$(simbus --bus $BUS plug)
    echo "INFO fault $fs_name: devices $h0 $f1 (simbus plug $fs_plug; simgadget $fs_wire) $h2"
    fault_gadget 0 "$h0" && fault_gadget 1 "$f1" $fs_wire && fault_gadget 2 "$h2"
    check "fault $fs_name: three gadgets plugged" [ $? -eq 0 ]
    check "fault $fs_name: three units appear" wait_sg $((base + 3)) 60
    addr=$(fault_addr 1)
    old_sg=$(fault_sg_of "$addr")
    echo "INFO fault $fs_name: faulty unit $addr ($old_sg)"
    # A handle held across the fault, as the station holds its own.
    [ -n "$old_sg" ] && [ -c "/dev/$old_sg" ] && exec 7<>"/dev/$old_sg"
    mkdir -p /tmp/sarnik-fault-$fs_name
    rm -f /tmp/fault-$fs_name.json
    (cd /tmp && SARNIK_ROOT=/tmp/sarnik-fault-$fs_name exec galmor --headless --home /home \
        --action run --report /tmp/fault-$fs_name.json >/tmp/fault-$fs_name.out 2>&1) &
    gpid=$!
    # Three devices take about 30 s under software emulation; a run that is
    # still going after 240 s hangs.
    check "fault $fs_name: galmor ends (bounded)" wait_for 240 fault_ended $gpid
    fault_ended $gpid || kill -KILL $gpid
    wait $gpid
    rc=$?
    echo "MARK-FAULT-$fs_name-RUN rc=$rc guest_uptime=$(up)"
    case $fs_name in
        slow) want=0 ;;
        *) want=1 ;;
    esac
    check "fault $fs_name: galmor exit code $want (got $rc)" [ $rc -eq $want ]
    case $fs_name in
        unplug)
            check "fault $fs_name: the pulled device's simgadget ended" wait_for 20 fault_ended "$FPID1"
            check "fault $fs_name: its unit is gone" wait_sg $((base + 2)) 30
            ;;
        reenumerate)
            check "fault $fs_name: the device is back under a new node" wait_for 30 fault_new_node 1 "$addr"
            a=$(fault_addr 1)
            echo "INFO fault $fs_name: now $a ($(fault_sg_of "$a")), was $addr ($old_sg)"
            check "fault $fs_name: the new node answers" sg_turs /dev/$(fault_sg_of "$a")
            ;;
        hang)
            # What SG_IO reports for a command that never answers (the
            # device's second fault: opcode C7, which only this sends).
            sg_raw -t 2 /dev/$old_sg c7 00 00 00 00 00 00 00 00 00 2>&1 |
                sed "s/^/INFO fault hang: sg_raw C7, never answered: /"
            check "fault $fs_name: the faulty device answers after the run" sg_turs /dev/$old_sg
            ;;
        *)
            check "fault $fs_name: the faulty device answers after the run" sg_turs /dev/$old_sg
            ;;
    esac
    # What a handle opened before the fault meets now (reopened through it).
    sg_turs /proc/$$/fd/7 2>&1 | head -n 2 | sed "s/^/INFO fault $fs_name: the old handle: /"
    exec 7<&-
    grep -E '^(Run|Summary|Banner)' /tmp/fault-$fs_name.out | sed "s/^/INFO fault $fs_name: /"
    echo "FAULT-REPORT-BEGIN $fs_name $addr"
    cat /tmp/fault-$fs_name.json
    echo
    echo "FAULT-REPORT-END"
    for n in 0 1 2; do
        check "fault $fs_name: simgadget $n ends when stopped" fault_stop $n
    done
    check "fault $fs_name: every unit gone" wait_sg "$base" 30
    dmesg | grep -iE 'usb-storage|scsi|reset|abort|timed? ?out|disconnect|new high-speed|sd |sg' |
        sed "s/^/INFO kernel: /" | tail -n 25
    for n in 0 1 2; do
        sed "s/^/INFO fault $fs_name gadget $n: /" /tmp/fault-gadget$n.log | tail -n 8
        rm -f /tmp/fault-gadget$n.log
    done
}

# The faults, in the order: never answered, pulled out during the loader
# write, re-enumerated after the reset, answered late (within the time-out).
# The third WRITE(10) of a run is the loader's third chunk.
fault_runs() {
    fault_scenario hang "" "--hang-at 2a:3 --hang-at c7"
    fault_scenario unplug "--unplug-at 2a:3" ""
    fault_scenario reenumerate "" "--reenumerate-at 2a:3"
    fault_scenario slow "" "--slow-at 2a:3 --slow-ms 1700"
    echo "MARK-FAULTS-DONE guest_uptime=$(up)"
}

# Development runs (GUEST_PARTS in gadget.sh): only the named parts, e.g.
# "faults,bench"; the checks of the other parts then fail on the host.
guest_parts() {
    BUS=/bus
    mkdir -p $BUS
    case ",$1," in *,faults,*) fault_runs ;; esac
    case ",$1," in
        *,bench,*)
            D3=$(simbus --bus $BUS plug)
            check "bench gadget plugged" fault_gadget 3 "$D3"
            check "bench gadget appears" wait_sg 3 60
            u=$(fault_addr 3)
            echo "MARK-BENCH guest_uptime=$(up) unit=$u sg=$(fault_sg_of "$u")"
            mkdir -p /tmp/sarnik-bench
            SARNIK_ROOT=/tmp/sarnik-bench rk_gadget_bench /opt/ufd/libsarnik.so "$u" \
                /dev/$(fault_sg_of "$u") ${BENCH_TURS:-100} ${BENCH_WRITES:-32} ${BENCH_ROUNDS:-5}
            check "side-by-side figures measured" [ $? -eq 0 ]
            echo "MARK-BENCH-DONE guest_uptime=$(up)"
            fault_stop 3
            ;;
    esac
}
