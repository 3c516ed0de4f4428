// The controller command layer: known flash chips, chip-list decoding and the
// hex formatter.
#include "controller/controller.h"

#include <limits>

#include "recipe/image.h"

namespace galmor {

namespace {

struct KnownCode {
    uint8_t code;
    uint8_t zones;
    uint16_t blocksPerZone;
    uint16_t sectorsPerBlock;
    int sizeMb;
};

// NAND device codes of the controller family. Blocks = zones x blocks per zone.
constexpr KnownCode kKnownChips[] = {
    {0xE6, 4, 256, 16, 8},    {0x73, 4, 256, 32, 16},   {0x75, 8, 256, 32, 32},
    {0x76, 16, 256, 32, 64},  {0x66, 2, 256, 256, 64},  {0x79, 32, 256, 32, 128},
    {0xF1, 4, 256, 256, 128}, {0xDA, 8, 256, 256, 256}, {0xDC, 16, 256, 256, 512},
    {0x01, 32, 256, 32, 128},
};

constexpr uint8_t kChipListEnd = 0xAA;
// Blocks of every zone the controller keeps for itself.
constexpr int kSpareBlocksPerZone = 6;
// Nominal sectors per megabyte of flash.
constexpr auto kNominalSectorsPerMb = static_cast<int32_t>(kSectorsPerMb);

// Adds to a 16-bit counter; false when the sum does not fit.
bool AddChecked(int32_t& total, int32_t add) {
    total += add;
    return total <= std::numeric_limits<int16_t>::max();
}

}  // namespace

bool KnownChip(uint8_t code, ChipEntry* out, int* sizeMb) {
    for (const auto& k : kKnownChips) {
        if (k.code != code) continue;
        if (out) {
            out->DeviceCode = code;
            out->Zones = k.zones;
            out->BlocksPerZone = k.blocksPerZone;
            out->SectorsPerBlock = k.sectorsPerBlock;
        }
        if (sizeMb) *sizeMb = k.sizeMb;
        return true;
    }
    return false;
}

// The list is read from the port's reply only: when the terminator is missing,
// the end of the 512-byte reply ends the list. Each port has its own chip
// table, so ports prepared at the same time never share entries.
//
// On a total that does not fit its 16-bit counter, the port's totals are
// cleared (ChipCount, ZoneCount, BlockCount, NominalSectors and
// ChipUsableSectors all 0) so that a caller that goes on anyway walks no chips
// and sees no capacity; the decoded entries stay in the chip table.
bool ParseChipTable(PortRecord& p) {
    const auto& reply = p.ReplyBuffer;

    int count = 0;
    for (size_t b = 0; b < reply.size(); ++b) {
        ChipEntry& e = p.Chips[b + 1];
        e = ChipEntry{};
        e.DeviceCode = reply[b];
        if (reply[b] == kChipListEnd) break;
        ++count;
    }

    int32_t zones = 0, blocks = 0, megabytes = 0;
    bool fits = true;
    for (int c = 1; c <= count; ++c) {
        ChipEntry& e = p.Chips[c];
        int sizeMb = 0;
        if (KnownChip(e.DeviceCode, &e, &sizeMb)) {
            fits = AddChecked(blocks, int32_t{e.Zones} * e.BlocksPerZone) && fits;
            fits = AddChecked(megabytes, sizeMb) && fits;
        }
        // Unknown codes keep their cleared geometry: zone field 0.
        fits = AddChecked(zones, e.Zones) && fits;
    }

    if (!fits) {
        p.ChipCount = 0;
        p.ZoneCount = 0;
        p.BlockCount = 0;
        p.NominalSectors = 0;
        p.ChipUsableSectors = 0;
        return false;
    }

    p.ChipCount = static_cast<int16_t>(count);
    p.NominalSectors = megabytes * kNominalSectorsPerMb;
    if (count > 0) {
        const ChipEntry& last = p.Chips[count];
        p.ChipUsableSectors = last.Zones == 0
                                  ? 0
                                  : int32_t{last.SectorsPerBlock} *
                                        (last.BlocksPerZone - kSpareBlocksPerZone) * last.Zones;
    }
    p.ZoneCount = static_cast<int16_t>(zones);
    p.BlockCount = static_cast<int16_t>(blocks);
    return true;
}

}  // namespace galmor
