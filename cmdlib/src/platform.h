// The operations the command library needs from the system: find units,
// open them, carry one request block to a unit, rescan its bus, read its
// drive layout. Two implementations: the Linux one (sysfs + SG_IO) and the
// simulated bus. Neither keeps state between calls beyond its own object.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "blocks.h"

namespace sarnik {

// One partition as the drive-layout request reports it.
struct PartitionEntry {
    uint64_t start_sector = 0;
    uint64_t sectors = 0;
    uint32_t number = 0;  // 1-based
    uint8_t type = 0;     // partition type byte, 0 when not known
    bool boot = false;
};

struct DriveLayout {
    uint32_t signature = 0;  // disk signature of the boot record, 0 when not known
    std::vector<PartitionEntry> partitions;
};

// One node of the system's device tree.
struct DeviceNode {
    std::string key;          // how the platform finds the node again
    std::string hardware_id;  // first entry of its hardware-ID list; "" when none
    std::string name;         // friendly name (product string); "" when none
    std::string class_name;   // setup class; "" when none
    std::string description;  // device description; "" when none
    bool hidden = false;      // not shown by a device manager (root hubs, host controllers)
};

// One entry of the drive-letter table: a volume presented by a unit.
struct Volume {
    char letter = 0;            // lower case, from 'd'
    std::string name;           // volume name (see volume_name())
    std::string unit_path;      // device path of the unit that holds it
    uint32_t partition = 0;     // 1-based; 0: the whole unit (no partition table)
    uint64_t start_sector = 0;  // on the unit
    uint64_t sectors = 0;
    bool on_usb_storage = false;
    std::string in_use;  // why it must not be written (mounted, root, swap, held), or ""
    std::string node;    // a file the format tools may open directly, or ""
};

// Where a unit hangs (see fnFerrule_GetUnitLocation).
struct UnitLocation {
    std::string port;    // USB port path of its device, "1-1.3"
    std::string serial;  // USB serial of its device, "" when none
    uint64_t sectors = 0;
    std::string node;  // the file the unit is opened through ("/dev/sg3")
};

class Platform {
  public:
    virtual ~Platform() = default;

    // Device path of the index-th present interface of a class, in the
    // system's enumeration order; nothing when there is no such interface.
    virtual std::optional<std::string> interface_path(UnitClass cls, uint32_t index) = 0;

    // Opens the unit named by a device path for reading and writing, shared
    // with other handles. A file descriptor (close-on-exec), or -1.
    virtual int open(const std::string& path) = 0;

    // Takes the exclusive use of the unit behind `fd` without waiting. A lock
    // descriptor (close-on-exec) to hand back to unlock_unit, or -1 with errno
    // EWOULDBLOCK when another holder has the unit (other errno: no lock).
    virtual int lock_unit(int fd) {
        (void)fd;
        errno = ENOTSUP;
        return -1;
    }
    // Ends the use that lock_unit began.
    virtual void unlock_unit(int fd, int lock) {
        (void)fd;
        if (lock > 0) ::close(lock);
    }

    // The USB place of the unit behind `fd`; nothing when it does not hang
    // on USB or is gone.
    virtual std::optional<UnitLocation> unit_location(int fd) {
        (void)fd;
        return std::nullopt;
    }

    // Carries one command to the unit. `data` is the buffer that the block's
    // DataTransferLength describes (the block's DataBuffer field is never
    // used as an address). On return ScsiStatus and DataTransferLength hold
    // the outcome. false: the request did not reach the device or the system
    // refused it (what a failed DeviceIoControl is on Windows).
    virtual bool pass_through(int fd, PassThroughBlock& block, void* data) = 0;
    // Same for the buffered block: the data area inside the block.
    virtual bool pass_through_buffered(int fd, BufferedPassThroughBlock& block) = 0;

    // Asks the unit's bus adapter to look for new and removed units. The
    // byte count of the reply (0), or nothing when the request failed.
    virtual std::optional<uint32_t> rescan(int fd) = 0;

    // The partitions of the unit's medium, or nothing when the layout cannot
    // be read (no medium, not a disk, ...).
    virtual std::optional<DriveLayout> drive_layout(int fd) = 0;

    // Opens the control node of the maker's filter driver: a file descriptor
    // or -1 when the driver is not there.
    virtual int open_filter_control() = 0;
    // Sends the node one request without input or output.
    virtual bool filter_request(int fd, uint32_t code) = 0;

    // The present devices that the USB bus enumerates (hubs and devices, also
    // disabled ones), in enumeration order; nothing when the list cannot be
    // had at all.
    virtual std::optional<std::vector<DeviceNode>> usb_devices() = 0;
    // The whole device tree, depth-first in pre-order from the root (the root
    // first); empty when the root cannot be located.
    virtual std::vector<DeviceNode> device_tree() = 0;
    // Enables or disables a node. true: the request was accepted.
    virtual bool set_device_enabled(const DeviceNode& node, bool on) = 0;
    // The pause between disabling and enabling a node again.
    virtual void pause_ms(uint32_t ms) = 0;

    // The drive-letter table, in letter order.
    virtual std::vector<Volume> volumes() = 0;
    // Reads or writes `count` sectors of a volume from `sector` (relative to
    // the volume's start). false when any part fails.
    virtual bool volume_io(const Volume& v, uint64_t sector, uint32_t count, uint8_t* data,
                           bool write) = 0;
};

// The platform for this call: the simulated bus when SARNIK_SIM_BUS names a
// bus folder, otherwise Linux with the roots from SARNIK_SYSFS_ROOT and
// SARNIK_DEV_ROOT (default /sys and /dev). The environment is read on every
// call.
std::unique_ptr<Platform> make_platform();

std::unique_ptr<Platform> make_linux_platform(std::string sysfs_root, std::string dev_root,
                                              std::string proc_root = "/proc");
std::unique_ptr<Platform> make_sim_platform(std::string bus_dir);

// Encodes a drive layout the way the Windows request returns it: an 8-byte
// header (partition count, disk signature) and one 32-byte entry per
// partition (starting offset and length in bytes, hidden sectors, number,
// type, boot flag, recognised flag, rewrite flag, 4 bytes of alignment).
// Returns the byte count written, or nothing when `out_len` has no room for
// the whole layout (the Windows request fails with "buffer too small").
std::optional<uint32_t> encode_drive_layout(const DriveLayout& layout, uint8_t* out,
                                            uint32_t out_len);

// Parses the four primary entries of a master boot record (512 bytes).
// Nothing when the sector has no boot signature 55 AA.
std::optional<DriveLayout> parse_mbr(const uint8_t* sector);

// The volume name of a volume in the drive-letter table (the library's own
// scheme): "\\?\Volume{gggggggg-gggg-gggg-gggg-gggggggggggg}\" from a hash
// of the unit's device path and the partition, whose first three digits are
// "4ea" for a volume on a USB mass-storage unit and "000" for any other.
std::string volume_name(const std::string& unit_path, uint32_t partition, bool on_usb_storage);

// Volumes of a unit whose first sector is `sector0` and whose size is
// `unit_sectors`: its primary partitions, or the whole unit when the sector
// holds no partition table (a FAT boot sector, or nothing). Letters, names
// and the rest are the caller's.
std::vector<Volume> unit_volumes(const uint8_t* sector0, uint64_t unit_sectors);

// Device-path text: trimmed, blanks and characters that would break a path
// become "_", lower case. With `mask_usb`, every "usb" in the text is broken
// up so that the path never contains it.
std::string path_text(const std::string& raw, bool mask_usb);

}  // namespace sarnik
