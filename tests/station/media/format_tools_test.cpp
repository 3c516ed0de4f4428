// The file systems and the loader disk the format step leaves behind, judged
// by tools written elsewhere: fsck.fat (dosfstools), minfo and mdir (mtools),
// and xorriso for a loader image that is an ISO 9660 image.
#include <filesystem>
#include <regex>

#include "format_rig.h"

using namespace rig;

namespace {

// What minfo reports about a FAT file system.
struct FatInfo {
    int sectorsPerCluster = -1;
    int64_t smallSize = -1;
    int64_t bigSize = 0;
    std::string label;
    std::string type;
};

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

bool ToolsMissing() {
    std::string out;
    return Shell("command -v fsck.fat && command -v minfo && command -v mdir && command -v xorriso",
                 &out) != 0;
}

FatInfo Minfo(const std::string& image) {
    std::string out;
    EXPECT_EQ(Shell("minfo -i " + Quote(image) + " ::", &out), 0) << out;
    FatInfo info;
    std::smatch m;
    if (std::regex_search(out, m, std::regex("cluster size: (\\d+) sectors"))) {
        info.sectorsPerCluster = std::stoi(m[1]);
    }
    if (std::regex_search(out, m, std::regex("small size: (\\d+)")))
        info.smallSize = std::stoll(m[1]);
    if (std::regex_search(out, m, std::regex("big size: (\\d+)"))) info.bigSize = std::stoll(m[1]);
    if (std::regex_search(out, m, std::regex("disk label=\"([^\"]*)\""))) info.label = m[1];
    if (std::regex_search(out, m, std::regex("disk type=\"([^\"]*)\""))) info.type = m[1];
    return info;
}

// fsck.fat must find nothing to repair, and mdir must list the volume.
void ExpectToolsAccept(const std::string& image, const std::string& volumeLine) {
    std::string out;
    EXPECT_EQ(Shell("fsck.fat -n " + Quote(image), &out), 0) << out;
    EXPECT_EQ(Shell("mdir -i " + Quote(image) + " ::", &out), 0) << out;
    EXPECT_NE(out.find(volumeLine), std::string::npos) << out;
}

struct Expected {
    const char* type;
    int spc;
    int64_t small;
    int64_t big;
    const char* label;  // as minfo shows the boot sector's label
    const char* volumeLine;
};

void ExpectFileSystem(const std::string& image, const Expected& e) {
    SCOPED_TRACE(image);
    ExpectToolsAccept(image, e.volumeLine);
    const FatInfo info = Minfo(image);
    EXPECT_EQ(info.type, e.type);
    EXPECT_EQ(info.sectorsPerCluster, e.spc);
    EXPECT_EQ(info.smallSize, e.small);
    EXPECT_EQ(info.bigSize, e.big);
    EXPECT_EQ(info.label, e.label);
}

}  // namespace

// ---------------------------------------------------------------------------
// The sector builders at the edges of the cluster table, composed into a
// partition image the way the writers lay them down.

TEST(FileSystemTools, BuiltStructuresAtTheClusterTableEdges) {
    ASSERT_FALSE(ToolsMissing())
        << "dosfstools, mtools and xorriso are needed (scripts/setup.sh installs them)";
    testbus::TestBus scratch;
    std::array<uint8_t, kSector> tmpl{};
    BuildBootSectorTemplate(tmpl);
    const int64_t partitionStart = 2048;  // as behind a 1 MiB loader disk
    const struct {
        int64_t sectors;
        Expected e;
    } cases[] = {
        // The smallest second partition: a volume of one cluster.
        {91, {"FAT12   ", 1, 58, 0, "EDGE       ", "Volume in drive : is EDGE"}},
        {313, {"FAT12   ", 1, 280, 0, "EDGE       ", "Volume in drive : is EDGE"}},
        {2881, {"FAT12   ", 2, 2848, 0, "EDGE       ", "Volume in drive : is EDGE"}},
        {14337, {"FAT12   ", 8, 14304, 0, "EDGE       ", "Volume in drive : is EDGE"}},
        {32000, {"FAT12   ", 8, 31967, 0, "EDGE       ", "Volume in drive : is EDGE"}},
        {32001, {"FAT16   ", 1, 31968, 0, "EDGE       ", "Volume in drive : is EDGE"}},
        {64000, {"FAT16   ", 1, 63967, 0, "EDGE       ", "Volume in drive : is EDGE"}},
        {64001, {"FAT16   ", 2, 0, 63968, "EDGE       ", "Volume in drive : is EDGE"}},
        {512001, {"FAT16   ", 16, 0, 511968, "EDGE       ", "Volume in drive : is EDGE"}},
        {4096000, {"FAT16   ", 64, 0, 4095967, "EDGE       ", "Volume in drive : is EDGE"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sectors);
        const std::string file = scratch.root() + "/part-" + std::to_string(c.sectors) + ".img";
        {
            std::ofstream f(file, std::ios::binary);
            auto put = [&](int64_t sector, const uint8_t* data, size_t len) {
                f.seekp(sector * 512);
                f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(len));
            };
            const FatKind kind = FatKindFor(c.sectors);
            const int64_t root = partitionStart + 1 + FatAreaSectors(kind);
            const auto label = VolumeLabelFor("EDGE", root);
            std::array<uint8_t, kSector> boot{};
            ASSERT_TRUE(BuildBootSector(tmpl, c.sectors, kind, label ? &*label : nullptr, boot));
            put(0, boot.data(), boot.size());
            std::vector<uint8_t> work(kChunkBytes, 0);
            for (const FatWrite& w : PlanFatWrites(kind, partitionStart + 1)) {
                std::fill(work.begin(), work.end(), 0);
                if (w.header) std::memcpy(work.data(), FatHeader(kind).data(), 4);
                put(w.lba - partitionStart, work.data(), static_cast<size_t>(w.count) * 512);
            }
            const auto dir = BuildRootDirectory("EDGE", root);
            put(root - partitionStart, dir.data(), dir.size());
        }
        std::filesystem::resize_file(file, static_cast<uintmax_t>(c.sectors) * 512);
        ExpectFileSystem(file, c.e);
    }
}

// ---------------------------------------------------------------------------
// Whole formats on simulated devices, partitions exported as a host sees them.

TEST(FileSystemTools, FormattedPartitionsAndTheLoaderDisk) {
    ASSERT_FALSE(ToolsMissing())
        << "dosfstools, mtools and xorriso are needed (scripts/setup.sh installs them)";
    // A loader image that is a real ISO 9660 image.
    testbus::TestBus scratch;
    const std::string isoDir = scratch.root() + "/iso";
    testbus::WriteFile(isoDir + "/AUTORUN.INF", "[autorun]\r\nopen=setup.exe\r\n");
    testbus::WriteFile(isoDir + "/SETUP.EXE", std::string(300000, 'x'));
    const std::string iso = scratch.root() + "/loader.iso";
    std::string out;
    ASSERT_EQ(
        Shell("xorriso -as mkisofs -quiet -V LOADER -o " + Quote(iso) + " " + Quote(isoDir), &out),
        0)
        << out;
    const std::vector<uint8_t> isoBytes = ReadFile(iso);
    ASSERT_EQ(isoBytes.size() % 2048, 0u);
    const int64_t L = static_cast<int64_t>(isoBytes.size() / 512);

    struct Case {
        const char* name;
        std::vector<uint8_t> chips;
        double share;
        bool noLoader;
        std::vector<Expected> disks;
    };
    // Reserve image: 1,000 bytes = 2 sectors.
    const int64_t user73 = 32000 - L - 2;
    const int64_t user76 = 128000 - L - 2;
    const int64_t p0 = std::llrint(0.2 * static_cast<double>(user76));
    const Case cases[] = {
        {"one FAT12 partition behind the loader",
         {0x73},
         1.0,
         false,
         {{"FAT12   ", 8, user73 - 33, 0, "Flash Disk ", "Volume in drive : is Flash Disk"}}},
        {"one FAT16 partition, no loader: no label",
         {0x75},
         1.0,
         true,
         {{"FAT16   ", 1, 63998 - 33, 0, "NO NAME    ", "has no label"}}},
        {"FAT12 and FAT16 partitions behind the loader",
         {0x76},
         0.2,
         false,
         {{"FAT12   ", 8, p0 - 33, 0, "Flash Disk ", "Volume in drive : is Flash Disk"},
          {"FAT16   ", 2, 0, user76 - p0 - 33, "Flash Disk ", "Volume in drive : is Flash Disk"}}},
        {"two FAT16 partitions, no loader",
         {0x76},
         0.5,
         true,
         {{"FAT16   ", 1, 63999 - 33, 0, "NO NAME    ", "has no label"},
          {"FAT16   ", 1, 63999 - 33, 0, "Flash Disk ", "Volume in drive : is Flash Disk"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FormatRig r;
        Recipe recipe;
        recipe.loader = isoBytes;
        recipe.share = c.share;
        recipe.noLoader = c.noLoader;
        recipe.label = "Flash Disk";
        Apply(r, recipe);
        const int16_t slot = r.Add(c.chips);
        Format7301(r.Job(slot));
        ASSERT_EQ(r.Status(slot), 0) << r.Text(slot);

        for (size_t d = 0; d < c.disks.size(); ++d) {
            ExpectFileSystem(r.Export(slot, "disk" + std::to_string(d + 1)), c.disks[d]);
        }
        if (c.noLoader) continue;
        const std::string cd = r.Export(slot, "cdrom");
        EXPECT_EQ(ReadFile(cd), isoBytes) << "the CD-ROM unit holds the loader image";
        ASSERT_EQ(Shell("xorriso -indev " + Quote(cd) + " -find / -name SETUP.EXE", &out), 0)
            << out;
        EXPECT_NE(out.find("SETUP.EXE"), std::string::npos) << out;
    }
}
