// Flash disk built on the controller family: the firmware's behaviour, modelled.
//
// The model only sees CDBs and data; it decodes every command itself.
//
// Identity
//   Fresh: one removable disk unit "disk" (SCSI vendor/product from the plug
//   options, cut to 8/16 characters, revision from the options, "7.77" by
//   default). Its size is the flash capacity: per chip, sectors per block x
//   250 usable blocks per zone x zones (one 0xDC chip: 1,024,000 sectors); a
//   chip code the firmware does not know is listed but gives no capacity.
//   Once a layout is committed the unit shrinks to loader + user area at once.
//   USB identity when fresh: vid 0x0E5A, pid 0x7301, bcdDevice 0x01nn (nn = the
//   firmware revision), manufacturer/product strings = the SCSI strings.
//   Finished (after a re-plug, when a valid configuration block AND a committed
//   layout are held): USB ids and strings (serial included) from the block; SCSI
//   vendor/product from the block, revision "8.00"; units in this order:
//     "cdrom"  CD-ROM holding the loader area (not when the layout disabled the
//              loader disk; no medium when its size is 0), read-only;
//     "disk1", "disk2"  one removable disk per user partition, or, with the
//              non-removable flag, one fixed disk "disk1" showing the reserved area.
//   The unit map is taken at plug time; a layout committed later shows after
//   the next re-plug. Otherwise a re-plug presents the fresh identity again.
//
// Standard commands (all units): TEST UNIT READY, REQUEST SENSE, INQUIRY,
//   READ(10), WRITE(10) (data length must equal count x 512), READ CAPACITY(10),
//   MODE SENSE(6) (pages 0x1C and 0x3F; WP bit when writes are refused), START
//   STOP UNIT (accepted, no effect). Anything else: CHECK CONDITION. Sectors are
//   512 bytes on every unit, the CD-ROM unit included.
//
// Vendor commands (opcode = sub-command; accepted on every unit; replies are 512
//   bytes, a shorter buffer gets the head; blocks sent must be exactly 512 bytes):
//   0x75 device information: 0 = 0x01 (block version), 1 = chip count, 2..5 raw
//        capacity (BE), 8..15/16..31/32..35 fresh SCSI strings, 126 flags when
//        fw >= 3 (0x80 hw WP, 0x40 sw WP, 0x20 bad blocks), 128 = 0xC0 without
//        password else 0x80, 129 = 1 writable / 0 protected (fw >= 3: the switch
//        alone; older firmware has no flag byte and reports any protection here),
//        131 = firmware revision.
//   0x7C status: bytes 126..131 as in 0x75, the rest 0.
//   0x93 chip list: one device code per chip, then 0xAA, rest 0.
//   0x9C setup page: CDB 09 00 00 pp 00 with pp = 2 or 4, else refused. Page 2
//        holds the password record: bytes 129/130 = 1/4 when a password is set,
//        both 0 otherwise (a password is set exactly when they are not both 0).
//   0x74 receives a new version of the page last read with 0x9C (refused when
//        none was read since plug-in); 0x73 applies it and answers the page now
//        in force (no pending page: answers it unchanged). Applying an all-zero
//        page 2 clears the password.
//   0x81 stores the configuration block as sent (checked at boot, not here);
//   0x82 returns it (zeros when none was stored).
//   0x83 unit summary: 0 = unit count; per unit i at 4+8i: class (0 disk, 5 CD),
//        removable, then sectors (BE) at 8+8i.
//   0x97 erase statistics: total blocks, distinct blocks erased, erase commands (BE).
//   0x96 result of the last 0xF5/0x9B: 0 = sub-command, 1 = 0 done / 1 refused;
//        4..7 host sectors, 8..11 reserved sectors (BE).
//   0x9B function block (a device information block): byte 0 = 0 clears the
//        software write protect; other functions are refused.
//   0x99 receives the layout block; 0xF5 with byte 0 = 0x84 commits it (refused
//        when none was received since plug-in, when it does not fit the flash, or
//        when the device is write-protected). Committing closes reserved access.
//   0x98 erases block (chip, zone, block) from CDB bytes 1..3; out of range or
//        write-protected: refused. Erases are counted (per command and per distinct
//        block); the mapping of host sectors to blocks is not modelled, so no data
//        changes.
//   0x9A toggles reserved-area access (open/closed) and answers READ CAPACITY-like
//        data: 0..3 last host LBA, 4..7 = 512, 8..11 reserved sectors, 12 = 1 open.
//   0xF7 (16-byte CDB; offset BE in 2..5, count in 8, bytes 1, 6, 7 zero, data =
//        count x 512) writes the reserved area; refused without a committed layout,
//        while access is closed, past the committed reserved size, or when
//        write-protected.
//   Write protection (hw, sw or the switch) refuses WRITE(10), 0xF7, 0x98, 0xF5.
//
// Flash faults (plug options, by flash sector; the reserved area has its own
//   cells and none of them): writes at or beyond `drop_writes_from` are
//   acknowledged in full but only the sectors below it are stored; a READ(10)
//   that covers `flip_bits` returns that sector with bit 3 of byte 256 flipped
//   (the stored bytes stay as written, so an export shows them unflipped); a
//   READ(10) that covers `read_error` fails with a medium error (unrecovered
//   read error) and moves no data. The model counts what each fault did.
//
// Memory: the last page read, a received-but-uncommitted layout, a pending setup
//   page, reserved-area access and sense data are RAM and lost on re-plug; all
//   else is kept in flash. Every refusal leaves sense data for REQUEST SENSE.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "controller_blocks.h"
#include "simdev/device.h"

namespace simdev::ctl {

struct Sense {
    uint8_t key = 0, asc = 0, ascq = 0;
};

struct ControllerState {
    // Hardware (plug options).
    std::string vendor, product, revision;
    std::vector<uint8_t> chips;
    uint8_t fw_rev = 5;
    bool hw_write_protect = false;
    bool wp_switch_on = false;
    bool bad_blocks = false;
    bool on_usb = true;
    FlashFaults faults;

    // What the flash faults did.
    uint64_t sectors_dropped = 0;
    uint64_t reads_flipped = 0;
    uint64_t reads_failed = 0;

    // Kept in flash.
    bool sw_write_protect = false;
    Block page2{}, page4{};
    std::optional<Block> config;
    std::optional<Layout> layout;
    uint64_t erase_commands = 0;
    std::map<uint32_t, uint32_t> erased;  // runs of erased blocks: first -> one past last
    uint64_t reserved_bytes_written = 0;
    uint64_t reserved_high_water = 0;  // sectors

    // What the last plug-in presented.
    std::optional<Block> presented_config;  // set when finished
    std::optional<Layout> presented_layout;

    // RAM.
    uint8_t last_page = 0;  // 0: none read
    std::optional<Block> pending_page;
    uint8_t pending_page_no = 0;
    std::optional<Block> pending_layout;
    bool reserved_open = false;
    uint8_t last_op = 0;
    bool last_op_refused = false;
    Sense sense;
};

// One presented unit and where its sectors live.
struct UnitMap {
    UnitIdentity id;
    Region region = Region::Flash;
    uint64_t base = 0;  // first store sector
    bool writable = true;
};

class Controller final : public Device {
  public:
    explicit Controller(ControllerState s) : s_(std::move(s)) {}
    static ControllerState fresh_state(const FreshOptions& o);
    static std::optional<ControllerState> from_json(const nlohmann::json& j);

    std::vector<UnitIdentity> units() const override;
    UsbIdentity usb() const override;
    bool on_usb() const override { return s_.on_usb; }
    Response execute(size_t unit, const Request& req, Store& store) override;
    void replug() override;
    std::optional<Extent> extent(const std::string& unit_name) const override;
    nlohmann::json save() const override;
    nlohmann::json inspect() const override;

  private:
    std::vector<UnitMap> presented() const;
    bool finished() const { return s_.presented_config && s_.presented_layout; }
    uint64_t capacity() const { return flash_capacity(s_.chips); }
    std::optional<AreaMap> areas() const;  // of the committed layout
    uint64_t host_sectors() const;         // fresh disk unit size now
    bool write_protected() const {
        return s_.hw_write_protect || s_.sw_write_protect || s_.wp_switch_on;
    }
    bool password() const { return s_.page2[129] != 0 || s_.page2[130] != 0; }
    Block device_info() const;
    uint64_t distinct_erased() const;

    Response good(uint32_t transferred = 0);
    Response refuse(uint8_t key, uint8_t asc, uint8_t ascq = 0);
    Response reply(const Request& req, const Block& b);
    Response standard(const UnitMap& u, const Request& req, Store& store);
    Response vendor(const Request& req, Store& store);
    Response reserved_write(const Request& req, Store& store);

    ControllerState s_;
};

}  // namespace simdev::ctl
