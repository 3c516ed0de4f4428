// Partitioning of one port: the layout sent to the controller, the images, and
// an empty FAT file system at the start of each user partition.
#include <cmath>
#include <cstring>
#include <exception>

#include "controller/controller.h"
#include "core/station.h"
#include "media/format_internal.h"

namespace galmor {

namespace {

constexpr int16_t kStatusLayout = 0x99;       // 0x99 or 0xF5 refused
constexpr int16_t kStatusAfterCommit = 0x96;  // the read after the commit failed
constexpr int16_t kStatusFill = 0x80;         // a 0xFF fill write failed
constexpr int16_t kStatusFormat = 0x9B;       // a file-system write failed
constexpr int16_t kStatusRuntime = 0xFF;

void PutLe(uint8_t* p, int64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) p[k] = static_cast<uint8_t>((v >> (8 * k)) & 0xFF);
}

bool ValidSlot(int16_t slot) {
    return slot >= 1 && slot <= kMaxPorts;
}

}  // namespace

int64_t RoundEven(double v) {
    return static_cast<int64_t>(std::nearbyint(v));
}

bool ShareValid(double share) {
    return share > 0.0 && share <= 1.0;
}

PortLayout ComputeLayout(const LayoutInput& in) {
    PortLayout l;
    uint8_t* b = l.block.data();
    if (!ShareValid(in.firstPartitionShare)) {
        l.status = kStatusSizeWrong;
        return l;
    }
    b[layout::kOneMegReserved] = in.oneMegReserved ? 1 : 0;
    // A non-removable disk always keeps its loader disk.
    l.loaderDisabled = in.noLoaderDisk && !in.noRomeableDisk;
    l.loaderSectors = l.loaderDisabled ? 0 : in.loaderImageSectors;
    b[layout::kLoaderDisabled] = l.loaderDisabled ? 1 : 0;
    PutLe(b + layout::kLoaderKb, RoundEven(static_cast<double>(l.loaderSectors) / 2.0), 4);

    const int64_t oneMeg = in.oneMegReserved ? kOneMegSectors : 0;
    l.reserveImageSectors = in.reserveImageSectors;
    if (in.noRomeableDisk) {
        // No user partition: everything after the loader disk is reserved area.
        l.nonRemovable = true;
        b[layout::kNonRemovable] = 1;
        l.totalReservedSectors = in.nominalSectors - l.loaderSectors - oneMeg;
        l.secondReservedSectors = l.totalReservedSectors - in.reserveImageSectors;
        if (l.totalReservedSectors < in.reserveImageSectors) {
            l.status = kStatusSizeWrong;
            return l;
        }
    } else {
        l.totalReservedSectors = in.totalReservedSectors;
        l.secondReservedSectors = in.secondReservedSectors;
        l.par0 = in.nominalSectors - l.loaderSectors - in.totalReservedSectors - oneMeg;
        if (l.par0 < kMinUserArea) {
            l.status = kStatusSizeWrong;
            return l;
        }
        if (in.firstPartitionShare != 1.0) {
            const int64_t p0 = RoundEven(in.firstPartitionShare * static_cast<double>(l.par0));
            l.par1 = l.par0 - p0;
            l.par0 = p0;
            l.twoPartitions = true;
            PutLe(b + layout::kFirstPartition, p0, 4);
            if (l.par0 < kMinPartitionSectors || l.par1 < kMinPartitionSectors) {
                l.status = kStatusSizeWrong;
                return l;
            }
        }
        if (l.par0 > kMaxPartitionSectors || l.par1 > kMaxPartitionSectors) {
            l.status = kStatusSizeWrong;
            return l;
        }
    }
    PutLe(b + layout::kTotalReserved, l.totalReservedSectors, 4);
    PutLe(b + layout::kReserveImage, l.reserveImageSectors, 4);
    return l;
}

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

bool WriteBootSector(Station& st, int16_t slot, int64_t initialSector, int64_t sectors,
                     FatKind kind) {
    if (!ValidSlot(slot)) return false;
    PortRecord& port = st.ports[slot - 1];
    // The boot sector names the same volume label as the root directory.
    const auto label =
        VolumeLabelFor(st.settings.DiskLabel, initialSector + 1 + FatAreaSectors(kind));
    if (!BuildBootSector(st.BootSectorTemplate, sectors, kind, label ? &*label : nullptr,
                         port.SectorBuffer)) {
        return false;
    }
    return st.lib.Write(port.Handle, 1, static_cast<int32_t>(initialSector),
                        port.SectorBuffer.data()) != 0;
}

bool WriteFatCopies(Station& st, int16_t slot, int64_t& firstSector, FatKind kind) {
    if (!ValidSlot(slot)) return false;
    PortRecord& port = st.ports[slot - 1];
    std::vector<uint8_t> work(kChunkBytes, 0);
    const auto header = FatHeader(kind);
    for (const FatWrite& w : PlanFatWrites(kind, firstSector)) {
        std::memset(work.data(), 0, kChunkBytes / 2);
        if (w.header) std::memcpy(work.data(), header.data(), header.size());
        if (!st.lib.Write(port.Handle, w.count, static_cast<int32_t>(w.lba), work.data())) {
            return false;
        }
        firstSector = w.lba + w.count;
    }
    return true;
}

bool WriteRootDirectory(Station& st, int16_t slot, int64_t firstSector) {
    if (!ValidSlot(slot)) return false;
    PortRecord& port = st.ports[slot - 1];
    std::vector<uint8_t> dir = BuildRootDirectory(st.settings.DiskLabel, firstSector);
    return st.lib.Write(port.Handle, kRootDirSectors, static_cast<int32_t>(firstSector),
                        dir.data()) != 0;
}

void MakePartition7301(Station& st, int16_t slot, int64_t initialSector, int64_t sectors) {
    if (!ValidSlot(slot)) return;
    PortRecord& port = st.ports[slot - 1];
    // The layout never asks for such a partition; refuse it rather than
    // write structures that do not fit.
    if (sectors < kMinPartitionSectors || SectorsPerCluster(sectors) == 0) {
        port.ErrorStatus = kStatusSizeWrong;
        return;
    }
    const FatKind kind = FatKindFor(sectors);
    if (!WriteBootSector(st, slot, initialSector, sectors, kind)) {
        port.ErrorStatus = kStatusFormat;
        return;
    }
    int64_t next = initialSector + 1;
    if (!WriteFatCopies(st, slot, next, kind)) {
        port.ErrorStatus = kStatusFormat;
        return;
    }
    if (!WriteRootDirectory(st, slot, initialSector + 1 + FatAreaSectors(kind))) {
        port.ErrorStatus = kStatusFormat;
    }
}

namespace {

void FdiskSteps(Station& st, int16_t slot, PortLayout* out) {
    PortRecord& port = st.ports[slot - 1];
    ProductSettings& s = st.settings;

    LayoutInput in;
    in.nominalSectors = port.NominalSectors;
    in.loaderImageSectors = s.LoaderImageSectors.load();
    in.reserveImageSectors = s.ReserveImageSectors;
    in.totalReservedSectors = s.TotalReservedSectors;
    in.secondReservedSectors = s.SecondReservedSectors;
    in.firstPartitionShare = s.FirstPartitionShare;
    in.oneMegReserved = s.OneMegReserved;
    in.noRomeableDisk = s.bNoRomeableDisk.load();
    in.noLoaderDisk = s.bNoLoaderDisk.load();

    PortLayout l = ComputeLayout(in);
    if (ShareValid(in.firstPartitionShare)) {
        // Settings changes that come out the same on every port; they stay
        // for the rest of the program.
        if (in.noRomeableDisk) s.bNoLoaderDisk = false;
        if (l.loaderDisabled) s.LoaderImageSectors = 0;
    }
    if (out) *out = l;
    if (l.status != 0) {
        port.ErrorStatus = l.status;
        return;
    }

    const int32_t h = port.Handle;
    if (!st.lib.VendorW(h, sub::kLayout, kSector, l.block.data())) {
        port.ErrorStatus = kStatusLayout;
        return;
    }
    std::array<uint8_t, kSector> commit{};
    commit[0] = kCommitMark;
    if (!st.lib.VendorW(h, sub::kCommit, kSector, commit.data())) {
        port.ErrorStatus = kStatusLayout;
        return;
    }
    if (!st.lib.VendorR(h, sub::kAfterCommit, port.ReplyBuffer.data())) {
        port.ErrorStatus = kStatusAfterCommit;
        return;
    }
    st.lib.TestUnitReady(h);

    if (!l.loaderDisabled) {
        WriteLoader7301(st, slot, l.loaderSectors);
        if (port.ErrorStatus != 0) return;
        WriteReserve7301(st, slot, l.secondReservedSectors);
        if (port.ErrorStatus != 0) return;
    }
    if (l.nonRemovable) return;

    MakePartition7301(st, slot, l.FirstPartitionStart(), l.par0);
    if (!l.twoPartitions || port.ErrorStatus != 0) return;

    // The last 256 sectors of the first partition are filled with 0xFF.
    std::vector<uint8_t> fill(kChunkBytes, 0xFF);
    const int64_t end = l.SecondPartitionStart();
    for (int64_t lba : {end - kFillSectors, end - kChunkSectors}) {
        if (!st.lib.Write(h, kChunkSectors, static_cast<int32_t>(lba), fill.data())) {
            port.ErrorStatus = kStatusFill;
            return;
        }
    }
    MakePartition7301(st, slot, l.SecondPartitionStart(), l.par1);
}

}  // namespace

void Fdisk7301(Station& st, int16_t slot, PortLayout* out) {
    if (!ValidSlot(slot)) return;
    try {
        FdiskSteps(st, slot, out);
    } catch (const std::exception&) {
        st.ports[slot - 1].ErrorStatus = kStatusRuntime;
    }
}

}  // namespace galmor
