// The port table: one record per discovered unit of the controller family.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace galmor {

constexpr int kMaxPorts = 16;    // ports the table holds
constexpr int kMaxRunPorts = 8;  // ports a production run serves
constexpr int kGridRows = 8;     // rows of the result grid
constexpr size_t kSector = 512;

// One flash chip of a port, decoded from the chip list.
struct ChipEntry {
    uint8_t DeviceCode = 0;
    uint8_t Zones = 0;
    uint16_t BlocksPerZone = 0;
    uint16_t SectorsPerBlock = 0;
};
constexpr int kChipTableSize = 512;

struct PortRecord {
    int32_t Handle = 0;  // 0 = port empty
    std::string DevicePath;
    int16_t ChipCount = 0;
    int16_t ZoneCount = 0;
    int16_t BlockCount = 0;
    // Written by the port's worker, read by the window thread at the end of a run.
    std::atomic<int16_t> ErrorStatus{0};
    int16_t Revision = 0;
    std::array<uint8_t, kSector> ReplyBuffer{};
    std::array<uint8_t, kSector> SectorBuffer{};
    // The configuration block last written to this port's controller, kept
    // for the production log (the check step reuses SectorBuffer).
    bool ConfigWritten = false;
    std::array<uint8_t, kSector> WrittenConfig{};
    int32_t NominalSectors = 0;
    int32_t ChipUsableSectors = 0;
    // This port's chip table (entries 1..ChipCount are used; entry 0 unused).
    std::array<ChipEntry, kChipTableSize + 1> Chips{};
};

using PortTable = std::array<PortRecord, kMaxPorts>;

}  // namespace galmor
