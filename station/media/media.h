// Media preparation steps of a production run.
#pragma once

#include <array>
#include <cstdint>

#include "core/port.h"

namespace galmor {

struct Station;

// Fills the boot-sector template (a FAT16 boot sector for 131,040 sectors).
void BuildBootSectorTemplate(std::array<uint8_t, kSector>& out);

// The "Format" item for one port (1-based slot).
void Format7301(Station& st, int16_t slot);
// The "Check Config" item (0-based index).
void TestCopyAndCompareFile(Station& st, int16_t index);
// The per-port disk scan of the Scan command; sends nothing.
void ScanDisk7301(Station& st, int16_t slot);

}  // namespace galmor
