// The FAT structures of a user partition: boot sector, FAT copies and root
// directory, built as bytes; the writers send them.
#include <cstring>

#include "media/format_internal.h"

namespace galmor {

namespace {

void PutLe(uint8_t* p, int64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) p[k] = static_cast<uint8_t>((v >> (8 * k)) & 0xFF);
}

}  // namespace

FatKind FatKindFor(int64_t sectors) {
    return sectors <= kMaxFat12Sectors ? FatKind::Fat12 : FatKind::Fat16;
}

int64_t FatAreaSectors(FatKind kind) {
    return 2 * SectorsPerFat(kind);
}

int SectorsPerFat(FatKind kind) {
    return kind == FatKind::Fat12 ? 12 : 255;
}

int SectorsPerCluster(int64_t s) {
    if (s < 1) return 0;
    if (s <= kMaxFat12Sectors) {
        if (s <= 2880) return 1;
        if (s <= 8192) return 2;
        if (s <= 14336) return 4;
        return 8;
    }
    if (s <= 64000) return 1;
    if (s <= 128000) return 2;
    if (s <= 256000) return 4;
    if (s <= 512000) return 8;
    if (s <= 1024000) return 16;
    if (s <= 2048000) return 32;
    if (s <= kMaxPartitionSectors) return 64;
    return 0;
}

bool BuildBootSector(const std::array<uint8_t, kSector>& tmpl, int64_t sectors, FatKind kind,
                     const LabelField* label, std::array<uint8_t, kSector>& out) {
    const int spc = SectorsPerCluster(sectors);
    if (spc == 0) return false;
    out = tmpl;
    out[bootsec::kSectorsPerCluster] = static_cast<uint8_t>(spc);
    out[bootsec::kSectorsPerFat] = static_cast<uint8_t>(SectorsPerFat(kind));
    const int64_t total = RoundEven(static_cast<double>(sectors) - 33.0);
    if (sectors > 64000) {
        PutLe(&out[bootsec::kTotalSectors16], 0, 2);
        PutLe(&out[bootsec::kTotalSectors32], total, 4);
    } else {
        PutLe(&out[bootsec::kTotalSectors32], 0, 4);
        PutLe(&out[bootsec::kTotalSectors16], total, 2);
        std::memcpy(&out[bootsec::kFileSystemType],
                    kind == FatKind::Fat12 ? "FAT12   " : "FAT16   ", 8);
    }
    if (label) std::memcpy(&out[bootsec::kVolumeLabel], label->data(), label->size());
    return true;
}

std::array<uint8_t, 4> FatHeader(FatKind kind) {
    if (kind == FatKind::Fat12) return {0xF8, 0xFF, 0xFF, 0x00};
    return {0xF8, 0xFF, 0xFF, 0xFF};
}

std::vector<FatWrite> PlanFatWrites(FatKind kind, int64_t sector) {
    std::vector<FatWrite> plan;
    if (kind == FatKind::Fat12) {
        for (int copy = 0; copy < 2; ++copy) {
            plan.push_back({sector, 12, true});
            sector += 12;
        }
        return plan;
    }
    // Each FAT16 copy goes out as 256 sectors, one more than the FAT; the
    // second copy starts one sector back so that it begins exactly 255
    // sectors after the first. Its extra sector lands on the root directory,
    // which is written afterwards.
    for (int copy = 0; copy < 2; ++copy) {
        if (copy == 1) sector -= 1;
        for (int k = 0; k < 4; ++k) {
            plan.push_back({sector, 64, k == 0});
            sector += 64;
        }
    }
    return plan;
}

std::optional<LabelField> VolumeLabelFor(const std::string& diskLabel, int64_t rootSector) {
    if (rootSector == kNoLabelRootSector) return std::nullopt;
    LabelField f;
    f.fill(' ');
    bool blank = true;
    for (size_t i = 0; i < f.size() && i < diskLabel.size(); ++i) {
        f[i] = static_cast<uint8_t>(diskLabel[i]);
        if (f[i] != ' ') blank = false;
    }
    if (blank) return std::nullopt;
    return f;
}

std::vector<uint8_t> BuildRootDirectory(const std::string& diskLabel, int64_t firstSector) {
    std::vector<uint8_t> dir(static_cast<size_t>(kRootDirSectors) * kSector, 0);
    const auto label = VolumeLabelFor(diskLabel, firstSector);
    if (!label) return dir;
    std::memcpy(dir.data(), label->data(), label->size());
    dir[11] = 0x08;  // volume label attribute
    PutLe(&dir[22], kLabelTime, 2);
    PutLe(&dir[24], kLabelDate, 2);
    return dir;
}

}  // namespace galmor
