// The device's side of the simulated bus: one USB flash disk, modelled as its
// controller firmware sees it. The model knows nothing about how commands
// reach it (simulated bus, or a USB gadget): a CDB and data go in, a SCSI
// status and data come out. It decodes every command with its own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace simdev {

enum class Direction { None, In, Out };

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;

// One command as the device receives it. For Direction::In the device fills
// `data` (length bytes available); for Direction::Out `data` holds what the
// host sent. For Direction::None `data` is empty.
struct Request {
    std::span<const uint8_t> cdb;
    Direction dir = Direction::None;
    std::span<uint8_t> data;
};

struct Response {
    uint8_t status = kStatusGood;
    uint32_t transferred = 0;  // bytes actually moved
};

// Persistent byte storage of one device. Two regions: the flash's host sector
// space (loader disk, user partitions) and the reserved area that only the
// vendor write reaches. Unwritten bytes read as 0.
enum class Region { Flash, Reserved };
class Store {
public:
    virtual ~Store() = default;
    virtual bool read(Region r, uint64_t offset, uint8_t* out, size_t len) = 0;
    virtual bool write(Region r, uint64_t offset, const uint8_t* in, size_t len) = 0;
};

enum class UnitClass { Disk, Cdrom };

// What one logical unit presents to the host.
struct UnitIdentity {
    UnitClass cls = UnitClass::Disk;
    std::string vendor;    // SCSI vendor (8 chars max)
    std::string product;   // SCSI product (16 chars max)
    std::string revision;  // SCSI revision, e.g. "7.77"
    bool removable = true;
    uint64_t sectors = 0;  // 512-byte sectors visible through READ/WRITE(10)
    bool medium = true;    // false: TEST UNIT READY answers "no medium"
    std::string name;      // export name: "disk", "cdrom", "disk1", "disk2"
};

struct UsbIdentity {
    uint16_t vid = 0, pid = 0, bcd = 0;
    std::string manufacturer, product, serial;
};

// Faults of the flash itself, by flash sector (the host sector space: loader
// disk from sector 0, then the user partitions). Each is off when empty.
struct FlashFaults {
    // Writes to this sector and beyond are acknowledged but not kept: a disk
    // that claims more flash than it has.
    std::optional<uint64_t> drop_writes_from;
    // This sector reads back with a bit flipped (what was written stays stored).
    std::optional<uint64_t> flip_bits;
    // A read that covers this sector fails with a medium error.
    std::optional<uint64_t> read_error;
};

// Options of a freshly plugged device (see `simbus plug`).
struct FreshOptions {
    enum class Kind { Controller, PlainDisk } kind = Kind::Controller;
    std::string vendor = "KORVA";
    std::string product = "USB FLASH DISK";
    std::string revision = "7.77";
    std::vector<uint8_t> chips = {0xDC};  // NAND device codes
    uint8_t fw_rev = 5;
    bool password = false;
    bool hw_write_protect = false;
    bool sw_write_protect = false;
    bool wp_switch_on = false;
    bool bad_blocks = false;
    bool with_cdrom = false;      // plain disk only: also a CD-ROM unit
    bool no_medium = false;       // plain disk only
    uint64_t plain_sectors = 2048 * 64;  // plain disk capacity
    bool usb = true;              // false: the device hangs on a non-USB bus
    FlashFaults faults;           // controller only
};

// A location in the store, for exporting a unit's bytes.
struct Extent {
    Region region;
    uint64_t offset;
    uint64_t length;
};

class Device {
public:
    virtual ~Device() = default;
    // The units presented now, in unit order.
    virtual std::vector<UnitIdentity> units() const = 0;
    virtual UsbIdentity usb() const = 0;
    virtual bool on_usb() const = 0;
    // Executes one command addressed to unit `unit` (index into units()).
    virtual Response execute(size_t unit, const Request& req, Store& store) = 0;
    // The device is unplugged and plugged in again: re-evaluates what it presents.
    virtual void replug() = 0;
    // Bytes a host would read from a named unit ("cdrom", "disk1", "disk2",
    // "reserved", "flash"), or nothing when the device has no such unit.
    virtual std::optional<Extent> extent(const std::string& unit_name) const = 0;
    // Persistent state (without the store) and a decoded view for `simbus inspect`.
    virtual nlohmann::json save() const = 0;
    virtual nlohmann::json inspect() const = 0;
};

std::unique_ptr<Device> make_device(const FreshOptions& opts);
std::unique_ptr<Device> load_device(const nlohmann::json& saved);

}  // namespace simdev
