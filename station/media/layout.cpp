// The layout of one port: the loader disk, the user partitions and the
// reserved area, and the block that tells the controller about them.
#include <cmath>

#include "media/format_internal.h"

namespace galmor {

namespace {

void PutLe(uint8_t* p, int64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) p[k] = static_cast<uint8_t>((v >> (8 * k)) & 0xFF);
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
            if (l.par0 < kMinPartitionSectors || l.par1 < kMinSecondPartitionSectors) {
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

}  // namespace galmor
