// Media preparation steps of a production run.
#pragma once

#include <array>
#include <cstdint>

#include "controller/port_job.h"
#include "core/port.h"

namespace galmor {

// Fills the boot-sector template (a FAT16 boot sector for 131,040 sectors).
void BuildBootSectorTemplate(std::array<uint8_t, kSector>& out);

// Byte offsets of the boot sector's fields (multi-byte values little-endian).
namespace bootsec {
constexpr size_t kJump = 0;                // 3 bytes: EB 3C 90
constexpr size_t kOemName = 3;             // 8 characters
constexpr size_t kBytesPerSector = 11;     // 2
constexpr size_t kSectorsPerCluster = 13;  // 1
constexpr size_t kReservedSectors = 14;    // 2
constexpr size_t kNumberOfFats = 16;       // 1
constexpr size_t kRootEntries = 17;        // 2
constexpr size_t kTotalSectors16 = 19;     // 2
constexpr size_t kMediaDescriptor = 21;    // 1
constexpr size_t kSectorsPerFat = 22;      // 2
constexpr size_t kSectorsPerTrack = 24;    // 2
constexpr size_t kHeads = 26;              // 2
constexpr size_t kHiddenSectors = 28;      // 4
constexpr size_t kTotalSectors32 = 32;     // 4
constexpr size_t kDriveNumber = 36;        // 1
constexpr size_t kReserved1 = 37;          // 1
constexpr size_t kBootSignature = 38;      // 1: 0x29
constexpr size_t kVolumeSerial = 39;       // 4
constexpr size_t kVolumeLabel = 43;        // 11 characters
constexpr size_t kFileSystemType = 54;     // 8 characters: "FAT12   " or "FAT16   "
constexpr size_t kBootProgram = 62;        // up to the signature
constexpr size_t kSignature = 510;         // 2 bytes: 55 AA
}  // namespace bootsec

// The "Format" item for one port.
void Format7301(const PortJob& job);
// For a Manufacture run without Format and for Scan's rewrite: works out, from the disk's chip list
// and device information and without writing anything, the reserved total
// that a format of this port with the recipe lays out, so that the
// configuration block carries the value on the disk's layout. Only a
// non-removable layout differs from the recipe's (it reserves the rest of
// the flash); other recipes send no command. False, with the port's
// ErrorStatus, when the disk cannot be read or the layout does not fit.
bool LayoutValues7301(const PortJob& job);
// The disk scan, of the Scan command and of the format step when "Compare
// Disk" is ticked: reads the loader disk back through the port's unit at the
// addresses the loader writer wrote (READ(10), 128-sector chunks, one progress
// step per full chunk) and compares it with the loader image. A failed read or
// the first difference sets ErrorStatus 0xE1. A port that already has an error
// is not read. The loader size is the one the port was formatted with, or the
// recipe's when it has not been formatted since start-up. The reserved area is
// not compared: the controller has no command that reads it back.
void ScanDisk7301(const PortJob& job);

}  // namespace galmor
