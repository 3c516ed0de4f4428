// The station's side of the controller's vendor protocol: sub-commands, the
// reply layouts it reads, the chip list and the hex formatter.
#pragma once

#include <cstdint>
#include <string>

#include "core/port.h"
#include "core/status.h"

namespace galmor {

// Vendor sub-commands (CDB byte 0), one place for all of them.
namespace sub {
constexpr uint8_t kPasswordApply = 0x73;  // applies the setup page written with 0x74
constexpr uint8_t kSetupWrite = 0x74;     // writes a setup page
constexpr uint8_t kDeviceInfo = 0x75;     // reads the DeviceInfoBlock
constexpr uint8_t kStatus = 0x7C;         // status poll
constexpr uint8_t kConfigWrite = 0x81;    // writes the ConfigBlock
constexpr uint8_t kConfigRead = 0x82;     // reads the stored ConfigBlock
constexpr uint8_t kProbe83 = 0x83;
constexpr uint8_t kChipList = 0x93;     // reads the flash chip list
constexpr uint8_t kAfterCommit = 0x96;  // read after 0x9B or 0xF5
constexpr uint8_t kProbe97 = 0x97;
constexpr uint8_t kEraseBlock = 0x98;     // low-level format of one block
constexpr uint8_t kLayout = 0x99;         // sends the LayoutBlock
constexpr uint8_t kReserved = 0x9A;       // reserved-area access
constexpr uint8_t kClearSoftWp = 0x9B;    // clears the software write protect
constexpr uint8_t kSetupRead = 0x9C;      // reads a setup page (09 00 00 page 00)
constexpr uint8_t kCommit = 0xF5;         // commit block (byte 0 = 0x84)
constexpr uint8_t kReservedWrite = 0xF7;  // reserved-area write (16-byte CDB)
}  // namespace sub

// DeviceInfoBlock bytes the station reads.
namespace devinfo {
constexpr size_t kStatusFlags = 126;  // fw >= 3: 0x80 hw WP, 0x40 sw WP, 0x20 bad blocks
constexpr size_t kPassword = 128;     // 0xC0 = no password
constexpr size_t kWpSwitch = 129;     // fw < 3: 1 writable, 0 protected
constexpr size_t kRevision = 131;     // firmware revision
}  // namespace devinfo

// Geometry of a known NAND device code; false for unknown codes.
bool KnownChip(uint8_t code, ChipEntry* out, int* sizeMb);

// Decodes the chip list in the port's ReplyBuffer into the port's chip table
// and totals. Returns false when a total does not fit its 16-bit counter (the
// caller treats that as an unexpected runtime error of its step).
bool ParseChipTable(PortRecord& p);

}  // namespace galmor
