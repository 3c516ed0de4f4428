// Partitioning of one port: the layout sent to the controller, the images, and
// an empty FAT file system at the start of each user partition.
#include <algorithm>
#include <cstring>
#include <exception>

#include "controller/controller.h"
#include "media/format_internal.h"

namespace galmor {

namespace {

// A partition's boot sector; it names the same volume label as the root
// directory.
bool PartitionBootSector(const PortJob& job, int64_t initialSector, int64_t sectors, FatKind kind,
                         std::array<uint8_t, kSector>& out) {
    const auto label =
        VolumeLabelFor(job.recipe.DiskLabel, initialSector + 1 + FatAreaSectors(kind));
    return BuildBootSector(job.bootTemplate, sectors, kind, label ? &*label : nullptr, out);
}

// The bytes of one FAT write: zeros, with the FAT's first bytes in front when
// the write starts a copy.
void FatWriteBytes(const FatWrite& w, FatKind kind, std::vector<uint8_t>& out) {
    out.assign(static_cast<size_t>(w.count) * kSector, 0);
    if (w.header) {
        const auto header = FatHeader(kind);
        std::memcpy(out.data(), header.data(), header.size());
    }
}

}  // namespace

bool WriteBootSector(const PortJob& job, int64_t initialSector, int64_t sectors, FatKind kind) {
    PortRecord& port = job.port;
    if (!PartitionBootSector(job, initialSector, sectors, kind, port.SectorBuffer)) return false;
    return job.lib.Write(port.Handle, 1, static_cast<int32_t>(initialSector),
                         port.SectorBuffer.data()) != 0;
}

bool WriteFatCopies(const PortJob& job, int64_t& firstSector, FatKind kind) {
    PortRecord& port = job.port;
    std::vector<uint8_t> work;
    for (const FatWrite& w : PlanFatWrites(kind, firstSector)) {
        FatWriteBytes(w, kind, work);
        if (!job.lib.Write(port.Handle, w.count, static_cast<int32_t>(w.lba), work.data())) {
            return false;
        }
        firstSector = w.lba + w.count;
    }
    return true;
}

bool WriteRootDirectory(const PortJob& job, int64_t firstSector) {
    PortRecord& port = job.port;
    std::vector<uint8_t> dir = BuildRootDirectory(job.recipe.DiskLabel, firstSector);
    return job.lib.Write(port.Handle, kRootDirSectors, static_cast<int32_t>(firstSector),
                         dir.data()) != 0;
}

bool PartitionReadsBack(const PortJob& job, int64_t initialSector, int64_t sectors) {
    const FatKind kind = FatKindFor(sectors);
    const int64_t root = initialSector + 1 + FatAreaSectors(kind);
    const int64_t end = root + kRootDirSectors;

    // The structures as the writes left them: the writes overlap (a FAT16
    // copy's extra sector lies under the next copy or the root directory),
    // so later writes replace earlier bytes, as on the flash.
    std::vector<uint8_t> want(static_cast<size_t>(end - initialSector) * kSector, 0);
    auto put = [&](int64_t lba, const uint8_t* bytes, size_t len) {
        if (lba < initialSector) return false;
        const size_t at = static_cast<size_t>(lba - initialSector) * kSector;
        if (at + len > want.size()) return false;
        std::memcpy(want.data() + at, bytes, len);
        return true;
    };
    std::array<uint8_t, kSector> boot{};
    if (!PartitionBootSector(job, initialSector, sectors, kind, boot)) return false;
    put(initialSector, boot.data(), boot.size());
    std::vector<uint8_t> bytes;
    for (const FatWrite& w : PlanFatWrites(kind, initialSector + 1)) {
        FatWriteBytes(w, kind, bytes);
        if (!put(w.lba, bytes.data(), bytes.size())) return false;
    }
    bytes = BuildRootDirectory(job.recipe.DiskLabel, root);
    if (!put(root, bytes.data(), bytes.size())) return false;

    std::vector<uint8_t> got(kChunkBytes);
    for (int64_t lba = initialSector; lba < end; lba += kChunkSectors) {
        const int32_t count = static_cast<int32_t>(std::min<int64_t>(kChunkSectors, end - lba));
        const size_t at = static_cast<size_t>(lba - initialSector) * kSector;
        if (!job.lib.Read(job.port.Handle, count, static_cast<int32_t>(lba), got.data()) ||
            std::memcmp(got.data(), want.data() + at, static_cast<size_t>(count) * kSector) != 0) {
            return false;
        }
    }
    return true;
}

void MakePartition7301(const PortJob& job, int64_t initialSector, int64_t sectors) {
    PortRecord& port = job.port;
    // The layout never asks for a partition without room for its structures
    // and a cluster; refuse it rather than write structures that do not fit.
    if (sectors < kMinSecondPartitionSectors || SectorsPerCluster(sectors) == 0) {
        port.ErrorStatus = kStatusSizeWrong;
        return;
    }
    const FatKind kind = FatKindFor(sectors);
    if (!WriteBootSector(job, initialSector, sectors, kind)) {
        port.ErrorStatus = Code(Status::FormatError);
        return;
    }
    int64_t next = initialSector + 1;
    if (!WriteFatCopies(job, next, kind)) {
        port.ErrorStatus = Code(Status::FormatError);
        return;
    }
    if (!WriteRootDirectory(job, initialSector + 1 + FatAreaSectors(kind))) {
        port.ErrorStatus = Code(Status::FormatError);
    }
}

LayoutInput LayoutInputFor(const PortJob& job) {
    const ProductSettings& s = job.recipe;
    LayoutInput in;
    in.nominalSectors = job.port.NominalSectors;
    in.loaderImageSectors = job.values.LoaderImageSectors;
    in.reserveImageSectors = s.ReserveImageSectors;
    in.totalReservedSectors = s.TotalReservedSectors;
    in.secondReservedSectors = s.SecondReservedSectors;
    in.firstPartitionShare = s.FirstPartitionShare;
    in.oneMegReserved = s.OneMegReserved;
    in.noRomeableDisk = job.values.bNoRomeableDisk;
    in.noLoaderDisk = job.values.bNoLoaderDisk;
    return in;
}

namespace {

void FdiskSteps(const PortJob& job, PortLayout* out) {
    PortRecord& port = job.port;
    PortRunValues& values = job.values;

    const LayoutInput in = LayoutInputFor(job);
    PortLayout l = ComputeLayout(in);
    if (ShareValid(in.firstPartitionShare)) {
        // What this layout decided, for the port's later steps in this run.
        if (in.noRomeableDisk) values.bNoLoaderDisk = false;
        if (l.loaderDisabled) values.LoaderImageSectors = 0;
    }
    if (out) *out = l;
    if (l.status != 0) {
        port.ErrorStatus = l.status;
        return;
    }
    values.TotalReservedSectors = static_cast<int32_t>(l.totalReservedSectors);

    const int32_t h = port.Handle;
    SarnikApi& lib = job.lib;
    if (!lib.VendorW(h, sub::kLayout, kSector, l.block.data())) {
        port.ErrorStatus = Code(Status::Layout);
        return;
    }
    std::array<uint8_t, kSector> commit{};
    commit[0] = kCommitMark;
    if (!lib.VendorW(h, sub::kCommit, kSector, commit.data())) {
        port.ErrorStatus = Code(Status::Layout);
        return;
    }
    if (!lib.VendorR(h, sub::kAfterCommit, port.ReplyBuffer.data())) {
        port.ErrorStatus = Code(Status::AfterCommit);
        return;
    }
    lib.TestUnitReady(h);

    if (!l.loaderDisabled) {
        job.view.SetStep("writing loader");
        WriteLoader7301(job, l.loaderSectors);
        if (port.ErrorStatus != 0) return;
        job.view.SetStep("writing reserve");
        WriteReserve7301(job, l.secondReservedSectors);
        if (port.ErrorStatus != 0) return;
        job.view.SetStep(kStepFormat);
    }
    if (l.nonRemovable) return;

    MakePartition7301(job, l.FirstPartitionStart(), l.par0);
    if (!l.twoPartitions || port.ErrorStatus != 0) return;

    // The last 256 sectors of the first partition are filled with 0xFF.
    std::vector<uint8_t> fill(kChunkBytes, 0xFF);
    const int64_t end = l.SecondPartitionStart();
    for (int64_t lba : {end - kFillSectors, end - kChunkSectors}) {
        if (!lib.Write(h, kChunkSectors, static_cast<int32_t>(lba), fill.data())) {
            port.ErrorStatus = Code(Status::WriteFailed);
            return;
        }
    }
    MakePartition7301(job, l.SecondPartitionStart(), l.par1);
}

}  // namespace

void Fdisk7301(const PortJob& job, PortLayout* out) {
    try {
        FdiskSteps(job, out);
    } catch (const std::exception&) {
        job.port.ErrorStatus = Code(Status::Runtime);
    }
}

}  // namespace galmor
