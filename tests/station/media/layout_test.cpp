// The layout of a port and the sectors built for its file systems, checked
// without a device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "media/format_internal.h"
#include "media/media.h"

using namespace galmor;

namespace {

uint32_t U32(const std::array<uint8_t, kSector>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

LayoutInput Removable(int64_t nominal, int64_t loader, int64_t reserveImage, int64_t second,
                      double share) {
    LayoutInput in;
    in.nominalSectors = nominal;
    in.loaderImageSectors = loader;
    in.reserveImageSectors = reserveImage;
    in.secondReservedSectors = second;
    in.totalReservedSectors = reserveImage + second;
    in.firstPartitionShare = share;
    return in;
}

std::array<uint8_t, kSector> Template() {
    std::array<uint8_t, kSector> t{};
    BuildBootSectorTemplate(t);
    return t;
}

}  // namespace

// ---------------------------------------------------------------------------
// The 0x99 block.

TEST(LayoutBlock, EveryFieldAtItsOffsetAndNothingElse) {
    // Two partitions, one megabyte reserved, a 1 MiB loader disk. Values are
    // chosen so that each field has distinct bytes.
    LayoutInput in = Removable(1024000, 2048, 0x0203, 0x010000, 0.25);
    in.oneMegReserved = true;
    const PortLayout l = ComputeLayout(in);
    ASSERT_EQ(l.status, 0);
    const int64_t user = 1024000 - 2048 - (0x0203 + 0x010000) - 2048;
    const int64_t p0 = std::llrint(0.25 * static_cast<double>(user));

    std::array<uint8_t, kSector> want{};
    auto put = [&](size_t at, uint32_t v) {
        for (int k = 0; k < 4; ++k) want[at + k] = static_cast<uint8_t>(v >> (8 * k));
    };
    put(0, static_cast<uint32_t>(p0));
    put(6, 0x010203);
    want[10] = 1;
    put(11, 0x0203);
    put(15, 1024);
    want[19] = 0;
    want[20] = 0;
    EXPECT_EQ(l.block, want);
    EXPECT_EQ(l.par0, p0);
    EXPECT_EQ(l.par1, user - p0);
}

TEST(LayoutBlock, OnePartitionNonRemovableAndDisabledLoaderFlags) {
    LayoutInput one = Removable(128000, 2048, 8, 0, 1.0);
    PortLayout l = ComputeLayout(one);
    ASSERT_EQ(l.status, 0);
    EXPECT_EQ(U32(l.block, 0), 0u) << "one partition sends 0 as the first size";
    EXPECT_FALSE(l.twoPartitions);

    LayoutInput fixed = one;
    fixed.noRomeableDisk = true;
    l = ComputeLayout(fixed);
    ASSERT_EQ(l.status, 0);
    EXPECT_EQ(l.block[19], 1);
    EXPECT_EQ(l.block[20], 0);
    EXPECT_EQ(U32(l.block, 6), 128000u - 2048u);

    LayoutInput noLoader = one;
    noLoader.noLoaderDisk = true;
    l = ComputeLayout(noLoader);
    ASSERT_EQ(l.status, 0);
    EXPECT_EQ(l.block[20], 1);
    EXPECT_EQ(U32(l.block, 15), 0u);
    EXPECT_EQ(l.loaderSectors, 0);
    EXPECT_EQ(U32(l.block, 11), 8u) << "the reserve image size is still sent";
    EXPECT_EQ(l.par0, 128000 - 8);
}

TEST(LayoutBlock, LoaderKilobytesRoundHalfToEven) {
    for (auto [sectors, kb] : std::vector<std::pair<int64_t, uint32_t>>{
             {1, 0}, {3, 2}, {5, 2}, {7, 4}, {2048, 1024}, {4096, 2048}}) {
        const PortLayout l = ComputeLayout(Removable(128000, sectors, 0, 0, 1.0));
        ASSERT_EQ(l.status, 0);
        EXPECT_EQ(U32(l.block, 15), kb) << sectors << " sectors";
    }
}

// ---------------------------------------------------------------------------
// Sizes.

TEST(Layout, ShareOneVersusHalfOnAnOddUserArea) {
    const int64_t nominal = 100001 + 2048 + 10;
    PortLayout whole = ComputeLayout(Removable(nominal, 2048, 10, 0, 1.0));
    ASSERT_EQ(whole.status, 0);
    EXPECT_FALSE(whole.twoPartitions);
    EXPECT_EQ(whole.par0, 100001);
    EXPECT_EQ(whole.FirstPartitionStart(), 2048);

    PortLayout half = ComputeLayout(Removable(nominal, 2048, 10, 0, 0.5));
    ASSERT_EQ(half.status, 0);
    EXPECT_TRUE(half.twoPartitions);
    EXPECT_EQ(half.par0, 50000) << "50,000.5 rounds to even";
    EXPECT_EQ(half.par1, 50001);
    EXPECT_EQ(half.SecondPartitionStart(), 2048 + 50000);
    EXPECT_EQ(U32(half.block, 0), 50000u);
}

TEST(Layout, UserAreaBelow512SectorsIsRefused) {
    EXPECT_EQ(ComputeLayout(Removable(2048 + 511, 2048, 0, 0, 1.0)).status, 0x78);
    EXPECT_EQ(ComputeLayout(Removable(2048 + 512 + 100, 2048, 100, 0, 1.0)).status, 0);
    EXPECT_EQ(ComputeLayout(Removable(1000, 2048, 0, 0, 1.0)).status, 0x78) << "negative area";
}

TEST(Layout, OneMegReservedTakesExactly2048Sectors) {
    LayoutInput in = Removable(128000, 2048, 100, 200, 1.0);
    const int64_t without = ComputeLayout(in).par0;
    in.oneMegReserved = true;
    EXPECT_EQ(ComputeLayout(in).par0, without - 2048);

    in.noRomeableDisk = true;
    in.oneMegReserved = false;
    const int64_t reservedWithout = ComputeLayout(in).totalReservedSectors;
    in.oneMegReserved = true;
    const PortLayout l = ComputeLayout(in);
    EXPECT_EQ(l.totalReservedSectors, reservedWithout - 2048);
    EXPECT_EQ(l.secondReservedSectors, l.totalReservedSectors - 100);
}

TEST(Layout, NonRemovableUsesThisPortsCapacityAndKeepsTheLoader) {
    LayoutInput in = Removable(64000, 2048, 300, 5, 1.0);
    in.noRomeableDisk = true;
    in.noLoaderDisk = true;  // a non-removable disk keeps its loader disk
    PortLayout l = ComputeLayout(in);
    ASSERT_EQ(l.status, 0);
    EXPECT_TRUE(l.nonRemovable);
    EXPECT_FALSE(l.loaderDisabled);
    EXPECT_EQ(l.loaderSectors, 2048);
    EXPECT_EQ(l.totalReservedSectors, 64000 - 2048);
    EXPECT_EQ(l.secondReservedSectors, 64000 - 2048 - 300);
    EXPECT_EQ(l.par0, 0);

    in.nominalSectors = 128000;  // another port, other capacity
    EXPECT_EQ(ComputeLayout(in).totalReservedSectors, 128000 - 2048);

    in.nominalSectors = 2048 + 299;  // reserved area smaller than the image
    EXPECT_EQ(ComputeLayout(in).status, 0x78);
    in.nominalSectors = 2048 + 300;
    EXPECT_EQ(ComputeLayout(in).status, 0);
}

TEST(Layout, SharesOutsideZeroToOneAreRefused) {
    for (double share : {0.0, -0.5, 1.0000001, 2.0, std::numeric_limits<double>::quiet_NaN(),
                         std::numeric_limits<double>::infinity()}) {
        LayoutInput in = Removable(128000, 2048, 0, 0, share);
        EXPECT_EQ(ComputeLayout(in).status, 0x78) << share;
        in.noRomeableDisk = true;
        EXPECT_EQ(ComputeLayout(in).status, 0x78) << share;
    }
    EXPECT_EQ(ComputeLayout(Removable(128000, 2048, 0, 0, 0.99)).status, 0);
}

TEST(Layout, PartitionsBeyondTheClusterTableAreRefused) {
    EXPECT_EQ(ComputeLayout(Removable(4096000 + 2048, 2048, 0, 0, 1.0)).status, 0);
    EXPECT_EQ(ComputeLayout(Removable(4096001 + 2048, 2048, 0, 0, 1.0)).status, 0x78);
    // Two partitions of 4,096,000 fit; one sector more in either does not.
    EXPECT_EQ(ComputeLayout(Removable(8192000, 0, 0, 0, 0.5)).status, 0);
    EXPECT_EQ(ComputeLayout(Removable(8192002, 0, 0, 0, 0.5)).status, 0x78);
    EXPECT_EQ(ComputeLayout(Removable(8192000, 0, 0, 0, 0.9)).status, 0x78);
}

TEST(Layout, SmallPartitionsThatTheFillWouldOverrunAreRefused) {
    // First partition of 312 sectors: its FAT12 structures (57 sectors) and
    // the 256-sector fill no longer fit one after the other.
    const int64_t user = 10000;
    auto layoutWithFirst = [&](int64_t p0) {
        return ComputeLayout(Removable(2048 + user, 2048, 0, 0,
                                       static_cast<double>(p0) / static_cast<double>(user)));
    };
    EXPECT_EQ(layoutWithFirst(312).status, 0x78);
    PortLayout ok = layoutWithFirst(313);
    ASSERT_EQ(ok.status, 0);
    EXPECT_EQ(ok.par0, 313);
    // The fill starts after the first partition's structures, never in the
    // loader disk.
    EXPECT_GE(ok.SecondPartitionStart() - kFillSectors, ok.FirstPartitionStart() + 57);
    // The fill never reaches the second partition: it only needs room for
    // its FAT12 structures and one cluster.
    EXPECT_EQ(layoutWithFirst(user - 90).status, 0x78);
    PortLayout small = layoutWithFirst(user - 91);
    ASSERT_EQ(small.status, 0);
    EXPECT_EQ(small.par1, 91);
    EXPECT_EQ(layoutWithFirst(user - 312).status, 0);
}

// ---------------------------------------------------------------------------
// Boot sectors.

TEST(BootSector, ClusterSizesAndTotalsAtTheTableEdges) {
    struct Case {
        int64_t sectors;
        FatKind kind;
        int spc;
        uint16_t total16;
        uint32_t total32;
        const char* type;
    };
    const Case cases[] = {
        {313, FatKind::Fat12, 1, 280, 0, "FAT12   "},
        {2880, FatKind::Fat12, 1, 2847, 0, "FAT12   "},
        {2881, FatKind::Fat12, 2, 2848, 0, "FAT12   "},
        {8193, FatKind::Fat12, 4, 8160, 0, "FAT12   "},
        {14337, FatKind::Fat12, 8, 14304, 0, "FAT12   "},
        {32000, FatKind::Fat12, 8, 31967, 0, "FAT12   "},
        {32001, FatKind::Fat16, 1, 31968, 0, "FAT16   "},
        {64000, FatKind::Fat16, 1, 63967, 0, "FAT16   "},
        {64001, FatKind::Fat16, 2, 0, 63968, "FAT16   "},
        {128001, FatKind::Fat16, 4, 0, 127968, "FAT16   "},
        {256001, FatKind::Fat16, 8, 0, 255968, "FAT16   "},
        {512001, FatKind::Fat16, 16, 0, 511968, "FAT16   "},
        {1024001, FatKind::Fat16, 32, 0, 1023968, "FAT16   "},
        {2048001, FatKind::Fat16, 64, 0, 2047968, "FAT16   "},
        {4096000, FatKind::Fat16, 64, 0, 4095967, "FAT16   "},
    };
    const auto tmpl = Template();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sectors);
        ASSERT_EQ(FatKindFor(c.sectors), c.kind);
        std::array<uint8_t, kSector> bs{};
        ASSERT_TRUE(BuildBootSector(tmpl, c.sectors, c.kind, nullptr, bs));
        EXPECT_EQ(bs[bootsec::kSectorsPerCluster], c.spc);
        EXPECT_EQ(U16(&bs[bootsec::kTotalSectors16]), c.total16);
        EXPECT_EQ(U32(bs, bootsec::kTotalSectors32), c.total32);
        EXPECT_EQ(U16(&bs[bootsec::kSectorsPerFat]), c.kind == FatKind::Fat12 ? 12 : 255);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bs[bootsec::kFileSystemType]), 8),
                  c.type);
        // Everything else is the template's, byte for byte.
        for (size_t i = 0; i < kSector; ++i) {
            const bool patched =
                i == bootsec::kSectorsPerCluster ||
                (i >= bootsec::kTotalSectors16 && i < bootsec::kTotalSectors16 + 2) ||
                i == bootsec::kSectorsPerFat ||
                (i >= bootsec::kTotalSectors32 && i < bootsec::kTotalSectors32 + 4) ||
                (i >= bootsec::kFileSystemType && i < bootsec::kFileSystemType + 8);
            if (!patched) {
                ASSERT_EQ(bs[i], tmpl[i]) << "offset " << i;
            }
        }
        EXPECT_EQ(bs[0], 0xEB);
        EXPECT_EQ(bs[510], 0x55);
        EXPECT_EQ(bs[511], 0xAA);
    }
    std::array<uint8_t, kSector> untouched{};
    EXPECT_FALSE(BuildBootSector(tmpl, 4096001, FatKind::Fat16, nullptr, untouched));
    EXPECT_EQ(untouched, (std::array<uint8_t, kSector>{}));
}

// ---------------------------------------------------------------------------
// Root directory and progress.

TEST(RootDirectory, LabelEntryBytes) {
    const auto dir = BuildRootDirectory("ab CD", 2048 + 25);
    ASSERT_EQ(dir.size(), 32u * 512u);
    const uint8_t want[32] = {'a',  'b',  ' ',  'C',  'D', ' ', ' ', ' ', ' ', ' ', ' ',
                              0x08, 0,    0,    0,    0,   0,   0,   0,   0,   0,   0,
                              0xA8, 0x8B, 0xEA, 0x2C, 0,   0,   0,   0,   0,   0};
    EXPECT_EQ(std::memcmp(dir.data(), want, 32), 0);
    for (size_t i = 32; i < dir.size(); ++i) ASSERT_EQ(dir[i], 0) << i;
}

TEST(RootDirectory, LabelCutToElevenAndNoEntryAtSector511OrWhenBlank) {
    auto dir = BuildRootDirectory("ABCDEFGHIJKLMNOP", 600);
    EXPECT_EQ(std::string(dir.begin(), dir.begin() + 12), std::string("ABCDEFGHIJK\x08"));

    const std::vector<uint8_t> zeros(32 * 512, 0);
    EXPECT_EQ(BuildRootDirectory("LABEL", kNoLabelRootSector), zeros)
        << "a FAT16 partition at sector 0 has no label";
    EXPECT_EQ(BuildRootDirectory("LABEL", 0 + 1 + FatAreaSectors(FatKind::Fat16)), zeros);
    EXPECT_NE(BuildRootDirectory("LABEL", 2048 + 1 + FatAreaSectors(FatKind::Fat16)), zeros);
    EXPECT_EQ(BuildRootDirectory("", 600), zeros);
    EXPECT_EQ(BuildRootDirectory("   ", 600), zeros);
}

TEST(Progress, MaximumRoundsHalfToEven) {
    EXPECT_EQ(ProgressMaximum(0, 0), 1);
    EXPECT_EQ(ProgressMaximum(1048576, 1000), 17);    // 16.015 → 16
    EXPECT_EQ(ProgressMaximum(32768, 0), 1);          // 0.5 → 0
    EXPECT_EQ(ProgressMaximum(65536, 32768), 3);      // 1.5 → 2
    EXPECT_EQ(ProgressMaximum(65536 * 2, 32768), 3);  // 2.5 → 2
}
