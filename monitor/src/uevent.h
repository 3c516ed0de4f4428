// Kernel device events (netlink uevents) and their translation into the
// monitor's event codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace dorvel {

struct UEvent {
    std::string action;     // add, remove, change, bind, unbind, move, online, offline
    std::string devpath;    // below /sys
    std::string subsystem;  // usb, scsi, scsi_generic, block, ...
    std::string devtype;    // usb_device, usb_interface, disk, partition, ... (may be empty)
};

// Parses one kernel uevent datagram: "action@devpath" then NUL-separated
// KEY=value fields. Nothing for a message that is not a kernel uevent (no
// header, no action or subsystem, or a udev daemon's re-broadcast).
std::optional<UEvent> ParseKernelUEvent(const char* data, size_t len);

// The event code of a kernel event, or nothing when the monitor has no use for
// it. Adding, removing, changing, binding and unbinding a device of the usb,
// scsi, scsi_generic or block subsystem changes the device nodes; a device of
// those subsystems going online or offline is reported as arrival or
// removal-complete, which alone do not cause a recount.
std::optional<uint16_t> TranslateUEvent(const UEvent& e);

}  // namespace dorvel
