// The format step on simulated devices: command order, images, checks, modes
// and the "Format" column.
#include <algorithm>

#include "controller/steps.h"
#include "format_rig.h"

using namespace rig;

namespace {

constexpr uint8_t k73 = 0x73;  // 16 MB chip: 32,000 sectors
constexpr uint8_t k75 = 0x75;  // 32 MB chip: 64,000 sectors
constexpr uint8_t k76 = 0x76;  // 64 MB chip: 128,000 sectors
constexpr uint8_t kF1 = 0xF1;  // 128 MB chip: 256,000 sectors

// The commands Format7301 sends before the layout.
const std::vector<int> kPrologue = {0x93, 0x75, 0x9C, 0x74, 0x73, 0x9C};

// Reads sectors from the port's disk unit, at most 128 per command.
std::vector<uint8_t> ReadSectors(FormatRig& r, int16_t slot, int32_t lba, int32_t count) {
    std::vector<uint8_t> buf(static_cast<size_t>(count) * 512);
    for (int32_t done = 0; done < count; done += 128) {
        const int32_t n = std::min(128, count - done);
        EXPECT_TRUE(r.st.lib.Read(r.st.ports[slot - 1].Handle, n, lba + done,
                                  buf.data() + static_cast<size_t>(done) * 512));
    }
    return buf;
}

uint32_t Be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

// The commands from the first `fromOp` up to and including the next `toOp`.
std::vector<Cmd> Between(const std::vector<Cmd>& cmds, int fromOp, int toOp) {
    std::vector<Cmd> out;
    for (const Cmd& c : cmds) {
        if (out.empty() && c.op() != fromOp) continue;
        out.push_back(c);
        if (out.size() > 1 && c.op() == toOp) break;
    }
    return out;
}

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

// ---------------------------------------------------------------------------
// Good formats, command by command.

TEST(FormatSequence, OnePartitionWithLoaderInTheDefinedOrder) {
    FormatRig r;
    Recipe recipe;  // 2,048-sector loader, 1,000-byte reserve image
    Apply(r, recipe);
    r.st.model.SetChecked("CheckCompare", -1, true);  // the compare hook sends nothing
    const int16_t slot = r.Add({k73});
    Format7301(r.Job(slot));

    ASSERT_EQ(r.Status(slot), 0);
    const auto cmds = r.Trace(slot);
    std::vector<int> want = kPrologue;
    want.insert(want.end(), {0x99, 0xF5, 0x96, 0x00, 0x00});
    want.insert(want.end(), 16, 0x2A);                  // loader: 16 chunks, no residual
    want.insert(want.end(), {0x9A, 0xF7, 0x9A});        // reserve: one 2-sector write
    want.insert(want.end(), {0x2A, 0x2A, 0x2A, 0x2A});  // boot, two FAT12 copies, root
    want.push_back(0x28);                               // boot sector read back
    ASSERT_EQ(Ops(cmds), want);

    EXPECT_EQ(cmds[2].cdb, (std::vector<uint8_t>{0x9C, 0x09, 0, 0, 0x02, 0, 0, 0, 0, 0}));
    EXPECT_EQ(cmds[5].cdb, (std::vector<uint8_t>{0x9C, 0x09, 0, 0, 0x04, 0, 0, 0, 0, 0}));
    EXPECT_EQ(cmds[3].dir, "out");

    const auto writes = Only(cmds, 0x2A);
    for (uint32_t k = 0; k < 16; ++k) {
        EXPECT_EQ(writes[k].lba(), k * 128);
        EXPECT_EQ(writes[k].count(), 128u);
    }
    // User area 32,000 - 2,048 - 2 = 29,950: FAT12 at sector 2,048.
    EXPECT_EQ(writes[16].lba(), 2048u);
    EXPECT_EQ(writes[16].count(), 1u);
    EXPECT_EQ(writes[17].lba(), 2049u);
    EXPECT_EQ(writes[17].count(), 12u);
    EXPECT_EQ(writes[18].lba(), 2061u);
    EXPECT_EQ(writes[19].lba(), 2073u);
    EXPECT_EQ(writes[19].count(), 32u);
    EXPECT_EQ(Only(cmds, 0x28)[0].lba(), 2048u);

    const Cmd reserve = Only(cmds, 0xF7)[0];
    EXPECT_EQ(reserve.cdb,
              (std::vector<uint8_t>{0xF7, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(reserve.length, 1024u);

    EXPECT_EQ(r.Mark(slot), "V");
    EXPECT_EQ(r.Text(slot), "1 Chip(s)   16 MB");
    EXPECT_TRUE(r.st.model.Get("FG", 0).visible);
    EXPECT_TRUE(r.st.model.Get("FR", 0).visible);
    const Control bar = r.st.model.Get("ProgressBar", 0);
    EXPECT_FALSE(bar.visible);
    EXPECT_EQ(bar.maximum, 17);  // round((1,048,576 + 1,000) / 65,536) + 1
    EXPECT_EQ(bar.value, 16);    // one step per full loader chunk
    EXPECT_FALSE(r.st.run.AnyFailed.load());

    // The loader disk holds the image.
    EXPECT_EQ(ReadSectors(r, slot, 0, 128),
              std::vector<uint8_t>(recipe.loader.begin(), recipe.loader.begin() + 65536));
}

TEST(FormatSequence, AnUnreadSetupPageIsNeverWrittenBack) {
    FormatRig r;
    Apply(r, Recipe{});
    simbus::PlugOptions o;
    o.device.chips = {k73};
    o.faults.push_back({0x9C, 1, false});  // the page 2 read of the sequence fails
    const int16_t slot = r.Add(o);
    // An earlier block left in the buffer the page would be read into.
    r.st.ports[slot - 1].SectorBuffer.fill(0x5A);
    Format7301(r.Job(slot));

    const auto ops = Ops(r.Trace(slot));
    ASSERT_GE(ops.size(), 4u);
    EXPECT_EQ(std::vector<int>(ops.begin(), ops.begin() + 4),
              (std::vector<int>{0x93, 0x75, 0x9C, 0x9C}));
    EXPECT_EQ(std::count(ops.begin(), ops.end(), 0x74), 0);
    EXPECT_EQ(std::count(ops.begin(), ops.end(), 0x73), 0);
    EXPECT_EQ(r.Status(slot), 0);  // the sequence's results are not judged
}

TEST(FormatSequence, ProgressMaximumCountsTheImageFilesAsTheyAreOnDisk) {
    // 31,768 + 1,000 bytes are exactly half a step: rounded to even, 0 steps.
    // The padded reserve image in memory (1,024 bytes) would give one.
    FormatRig r;
    Recipe recipe;
    recipe.loader = Pattern(31768, 8);
    Apply(r, recipe);
    const int16_t slot = r.Add({k73});
    Format7301(r.Job(slot));
    ASSERT_EQ(r.Status(slot), 0);
    EXPECT_EQ(r.st.model.Get("ProgressBar", 0).maximum, 1);
}

TEST(FormatSequence, TwoPartitionsWithTheFillBetweenThem) {
    FormatRig r;
    Recipe recipe;
    recipe.share = 0.2;
    Apply(r, recipe);
    const int16_t slot = r.Add({k76});
    Format7301(r.Job(slot));
    ASSERT_EQ(r.Status(slot), 0) << r.Text(slot);

    // User area 128,000 - 2,048 - 2 = 125,950: 25,190 (FAT12) + 100,760 (FAT16).
    const uint32_t second = 2048 + 25190;
    const auto writes = Only(r.Trace(slot), 0x2A);
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (size_t i = 16; i < writes.size(); ++i) got.push_back({writes[i].lba(), writes[i].count()});
    const std::vector<std::pair<uint32_t, uint32_t>> want = {
        {2048, 1},           {2049, 12},          {2061, 12},         {2073, 32},
        {second - 256, 128}, {second - 128, 128}, {second, 1},        {second + 1, 64},
        {second + 65, 64},   {second + 129, 64},  {second + 193, 64}, {second + 256, 64},
        {second + 320, 64},  {second + 384, 64},  {second + 448, 64}, {second + 511, 32}};
    EXPECT_EQ(got, want);
    const auto reads = Only(r.Trace(slot), 0x28);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].lba(), 2048u);
    EXPECT_EQ(reads[1].lba(), second);

    const auto fill = ReadSectors(r, slot, second - 256, 256);
    EXPECT_EQ(fill, std::vector<uint8_t>(fill.size(), 0xFF));
    const auto boot2 = ReadSectors(r, slot, second, 1);
    EXPECT_EQ(Le32(&boot2[32]), 100760u - 33u);
}

TEST(FormatSequence, LoaderChunksResidualAndZeroPaddedTail) {
    struct Case {
        size_t bytes;
        std::vector<std::pair<uint32_t, uint32_t>> writes;  // lba, count
        int progress;
    };
    const Case cases[] = {
        {300 * 512, {{0, 128}, {128, 128}, {256, 44}}, 2},
        {100 * 512, {{0, 100}}, 0},
        {900, {{0, 2}}, 0},  // 1.76 sectors: two, the second padded with zeros
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        FormatRig r;
        Recipe recipe;
        recipe.loader = Pattern(c.bytes, 7);
        Apply(r, recipe);
        const int16_t slot = r.Add({k73});
        Format7301(r.Job(slot));
        ASSERT_EQ(r.Status(slot), 0);
        const auto writes = Only(r.Trace(slot), 0x2A);
        ASSERT_GE(writes.size(), c.writes.size());
        for (size_t i = 0; i < c.writes.size(); ++i) {
            EXPECT_EQ(writes[i].lba(), c.writes[i].first);
            EXPECT_EQ(writes[i].count(), c.writes[i].second);
        }
        EXPECT_EQ(writes[c.writes.size()].count(), 1u) << "then the boot sector";
        EXPECT_EQ(r.st.model.Get("ProgressBar", 0).value, c.progress);

        const int32_t sectors = r.st.settings.LoaderImageSectors;
        auto disk = ReadSectors(r, slot, 0, sectors);
        std::vector<uint8_t> want = recipe.loader;
        want.resize(disk.size(), 0);
        EXPECT_EQ(disk, want);
    }
}

// Whatever the loader image's length, the loader disk holds all of it (the
// last partial sector zero-padded, then an even count) and the compare reads
// back every sector of it. An image file changed after the load is never
// written in part.
TEST(FormatSequence, LoaderDiskHoldsTheWholeImageAndTheCompareCoversIt) {
    const std::pair<size_t, uint32_t> cases[] = {{1, 2},    {511, 2},     {512, 2},
                                                 {513, 2},  {1100, 4},    {1280, 4},
                                                 {2049, 6}, {65537, 130}, {67585, 134}};
    for (const auto& [bytes, sectors] : cases) {
        SCOPED_TRACE(bytes);
        FormatRig r;
        Recipe recipe;
        recipe.loader = Pattern(bytes, 9);
        Apply(r, recipe);
        r.st.run.CompareDisk = true;
        const int16_t slot = r.Add({k73});
        Format7301(r.Job(slot));
        ASSERT_EQ(r.Status(slot), 0) << r.Text(slot);

        const auto cdrom = ReadFile(r.Export(slot, "cdrom"));
        std::vector<uint8_t> want = recipe.loader;
        want.resize(size_t{sectors} * 512, 0);
        EXPECT_EQ(cdrom, want);
        std::vector<bool> read(sectors, false);
        for (const Cmd& c : Only(r.Trace(slot), 0x28)) {
            for (uint32_t k = c.lba(); k < c.lba() + c.count() && k < sectors; ++k) read[k] = true;
        }
        EXPECT_EQ(std::count(read.begin(), read.end(), false), 0);
    }

    FormatRig r;
    Recipe recipe;
    recipe.loader = Pattern(300 * 512, 9);
    Apply(r, recipe);
    testbus::WriteFile(r.st.settings.LoaderImagePath, std::string(300 * 512, 'x'));
    const int16_t slot = r.Add({k73});
    Format7301(r.Job(slot));
    EXPECT_EQ(r.Status(slot), 0xFF);
    EXPECT_EQ(Only(r.Trace(slot), 0x2A).size(), 0u);
}

TEST(FormatSequence, ReserveChunksAndTheSecondSectionsZeroWrite) {
    struct Case {
        size_t bytes;
        int32_t second;
        std::vector<std::pair<uint32_t, uint32_t>> writes;  // offset, count
    };
    const Case cases[] = {
        {1000, 128, {{0, 2}}},
        {1000, 129, {{0, 2}, {2, 128}}},
        {256 * 512, 0, {{0, 128}, {128, 128}}},
        {130 * 512, 200, {{0, 128}, {128, 2}, {130, 128}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes) + "/" + std::to_string(c.second));
        FormatRig r;
        Recipe recipe;
        recipe.reserve = Pattern(c.bytes, 3);
        recipe.secondReserved = c.second;
        Apply(r, recipe);
        const int16_t slot = r.Add({k75});
        Format7301(r.Job(slot));
        ASSERT_EQ(r.Status(slot), 0);
        const auto cmds = r.Trace(slot);
        const auto reserved = Between(cmds, 0x9A, 0x9A);
        ASSERT_EQ(reserved.size(), c.writes.size() + 2);
        for (size_t i = 0; i < c.writes.size(); ++i) {
            const Cmd& w = reserved[i + 1];
            ASSERT_EQ(w.op(), 0xF7);
            EXPECT_EQ(w.reservedOffset(), c.writes[i].first);
            EXPECT_EQ(w.reservedCount(), c.writes[i].second);
            EXPECT_EQ(w.length, c.writes[i].second * 512);
        }
        EXPECT_EQ(r.st.model.Get("ProgressBar", 0).value, 16 + static_cast<int>(c.bytes / 65536));

        auto area = ReadFile(r.Export(slot, "reserved"));
        std::vector<uint8_t> want = recipe.reserve;
        want.resize(area.size(), 0);
        EXPECT_EQ(area, want);
    }
}

// ---------------------------------------------------------------------------
// Layouts refused before any layout command.

TEST(FormatRefusals, LayoutsThatDoNotFitSendNoLayoutCommand) {
    struct Case {
        const char* name;
        std::vector<uint8_t> chips;
        Recipe recipe;
    };
    std::vector<Case> cases;
    {
        Recipe r;  // user area 32,000 - 2,048 - 2 - 29,439 = 511
        r.secondReserved = 29439;
        cases.push_back({"511-sector user area", {k73}, r});
    }
    {
        Recipe r;
        r.share = 1.5;
        cases.push_back({"share above 1", {k73}, r});
    }
    {
        Recipe r;
        r.share = 0.0;
        cases.push_back({"share 0", {k73}, r});
    }
    {
        Recipe r;  // first partition 312 sectors: its structures and the fill overlap
        r.share = 312.0 / (32000 - 2048 - 2);
        cases.push_back({"first partition too small", {k73}, r});
    }
    {
        Recipe r;  // 5 x 1,024,000 sectors in one partition
        cases.push_back({"partition above 4,096,000", {0xDC, 0xDC, 0xDC, 0xDC, 0xDC}, r});
    }
    {
        Recipe r;  // non-removable: reserved area smaller than the reserve image
        r.noRomeable = true;
        r.reserve = Pattern(30000 * 512, 4);
        cases.push_back({"non-removable reserve too large", {k73}, r});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FormatRig r;
        Apply(r, c.recipe);
        const int16_t slot = r.Add(c.chips);
        Format7301(r.Job(slot));
        EXPECT_EQ(r.Status(slot), 0x78);
        EXPECT_EQ(Ops(r.Trace(slot)), kPrologue);
        EXPECT_EQ(r.Mark(slot), "X");
        EXPECT_EQ(r.Text(slot), "Flash Size Wrong");
        EXPECT_EQ(r.st.model.Get("ThumbImage", 0).picture, kPictureFailed);
        EXPECT_TRUE(r.st.run.AnyFailed.load());
    }
}

// ---------------------------------------------------------------------------
// Checks before the format sequence.

TEST(FormatChecks, DeviceStateDecidesBeforeAnythingIsWritten) {
    struct Case {
        const char* name;
        simbus::PlugOptions plug;
        size_t loaderBytes;
        int status;
        const char* text;
        std::vector<int> ops;
    };
    auto plug = [](uint8_t rev, auto tweak) {
        simbus::PlugOptions o;
        o.device.chips = {k73};
        o.device.fw_rev = rev;
        tweak(o.device);
        return o;
    };
    auto none = [](simdev::FreshOptions&) {};
    const std::vector<int> checks = {0x93, 0x75};
    const Case cases[] = {
        {"old revision, other loader size", plug(4, none), 4096 * 512, 0xE1, "Loader Disk Error",
         checks},
        {"password", plug(5, [](auto& d) { d.password = true; }), 2048 * 512, 0x7F,
         "Password Exists", checks},
        {"hardware write protect", plug(5, [](auto& d) { d.hw_write_protect = true; }), 2048 * 512,
         0x7E, "Write Protect", checks},
        {"software write protect", plug(5, [](auto& d) { d.sw_write_protect = true; }), 2048 * 512,
         0x7E, "Write Protect", checks},
        {"revision 2 with the switch on", plug(2, [](auto& d) { d.wp_switch_on = true; }),
         2048 * 512, 0x7E, "Write Protect", checks},
        {"unknown chip", plug(5, [](auto& d) { d.chips = {0x11}; }), 2048 * 512, 0xE5,
         "No Flash Detect!!", checks},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FormatRig r;
        Recipe recipe;
        recipe.loader = Pattern(c.loaderBytes, 5);
        Apply(r, recipe);
        const int16_t slot = r.Add(c.plug);
        Format7301(r.Job(slot));
        EXPECT_EQ(r.Status(slot), c.status);
        EXPECT_EQ(r.Text(slot), c.text);
        EXPECT_EQ(r.Mark(slot), "X");
        EXPECT_EQ(Ops(r.Trace(slot)), c.ops);
        EXPECT_TRUE(r.st.run.AnyFailed.load());
    }
}

TEST(FormatChecks, OldRevisionsAndTheSwitchOfRevision3) {
    {
        // Revision 4 with a 1 MiB loader: laid out in removable mode.
        FormatRig r;
        Apply(r, Recipe{});
        r.st.settings.bNoRomeableDisk = true;
        simbus::PlugOptions o;
        o.device.chips = {k73};
        o.device.fw_rev = 4;
        const int16_t slot = r.Add(o);
        Format7301(r.Job(slot));
        EXPECT_EQ(r.Status(slot), 0);
        // This port's layout is removable; the recipe stays as it was.
        EXPECT_FALSE(r.Values(slot).bNoRomeableDisk);
        EXPECT_TRUE(r.st.settings.bNoRomeableDisk);
        EXPECT_EQ(r.st.ports[0].Revision, 4);
        EXPECT_EQ(Only(r.Trace(slot), 0x28).size(), 1u) << "a partition was made and read back";
    }
    {
        // Revision 3 reads the status flags, not the switch byte.
        FormatRig r;
        Apply(r, Recipe{});
        simbus::PlugOptions o;
        o.device.chips = {k73};
        o.device.fw_rev = 3;
        o.device.wp_switch_on = true;
        const int16_t slot = r.Add(o);
        Format7301(r.Job(slot));
        // The device itself then refuses the writes.
        EXPECT_NE(r.Status(slot), 0x7E);
        EXPECT_GT(Only(r.Trace(slot), 0x99).size(), 0u);
    }
}

TEST(FormatChecks, AnEarlierFailureSendsNothingAndShowsItsText) {
    FormatRig r;
    Apply(r, Recipe{});
    const int16_t slot = r.Add({k73});
    r.st.ports[0].ErrorStatus = 0x7E;
    Format7301(r.Job(slot));
    EXPECT_TRUE(r.Trace(slot).empty());
    EXPECT_EQ(r.Mark(slot), "X");
    EXPECT_EQ(r.Text(slot), "Write Protect");
    EXPECT_EQ(r.st.model.Get("ThumbImage", 0).picture, kPictureFailed);
    EXPECT_TRUE(r.st.run.AnyFailed.load());
}

TEST(FormatChecks, AChipListTooLargeToCountIsARuntimeError) {
    FormatRig r;
    Apply(r, Recipe{});
    const int16_t slot = r.Add({0x79, 0x79, 0x79, 0x79});  // 32,768 blocks
    Format7301(r.Job(slot));
    EXPECT_EQ(r.Status(slot), 0xFF);
    EXPECT_EQ(Ops(r.Trace(slot)), (std::vector<int>{0x93, 0x75}));
    EXPECT_FALSE(r.st.model.Get("FG", 0).visible) << "the column is left as it was";
    EXPECT_EQ(r.Text(slot), "");
    EXPECT_TRUE(r.st.run.AnyFailed.load()) << "the run must not pass with this disk";
}

// ---------------------------------------------------------------------------
// Modes.

TEST(FormatModes, NoLoaderDiskWritesNoImagesAndNoLabelAtSector511) {
    FormatRig r;
    Recipe recipe;
    recipe.noLoader = true;
    Apply(r, recipe);
    const int16_t slot = r.Add({k75});
    Format7301(r.Job(slot));
    ASSERT_EQ(r.Status(slot), 0);
    EXPECT_EQ(r.Values(slot).LoaderImageSectors, 0);
    EXPECT_EQ(r.st.settings.LoaderImageSectors, 2048) << "the recipe is never changed";
    const auto cmds = r.Trace(slot);
    EXPECT_TRUE(Only(cmds, 0xF7).empty());
    EXPECT_TRUE(Only(cmds, 0x9A).empty());
    const auto writes = Only(cmds, 0x2A);
    ASSERT_EQ(writes.size(), 10u);  // boot, 8 FAT16 writes, root
    EXPECT_EQ(writes[0].lba(), 0u);
    EXPECT_EQ(writes[9].lba(), 511u);
    EXPECT_EQ(Only(cmds, 0x28)[0].lba(), 0u);
    const auto root = ReadSectors(r, slot, 511, 1);
    EXPECT_EQ(root, std::vector<uint8_t>(512, 0));
}

TEST(FormatModes, NonRemovableWritesLoaderAndWholeReservedAreaButNoPartition) {
    for (bool noLoader : {false, true}) {
        SCOPED_TRACE(noLoader);
        FormatRig r;
        Recipe recipe;
        recipe.noRomeable = true;
        recipe.noLoader = noLoader;  // cleared: a non-removable disk keeps its loader
        Apply(r, recipe);
        const int16_t slot = r.Add({k75});
        Format7301(r.Job(slot));
        ASSERT_EQ(r.Status(slot), 0) << r.Text(slot);
        EXPECT_FALSE(r.Values(slot).bNoLoaderDisk);
        EXPECT_EQ(r.st.settings.bNoLoaderDisk, noLoader);
        const auto cmds = r.Trace(slot);
        EXPECT_EQ(Only(cmds, 0x2A).size(), 16u) << "the loader only";
        EXPECT_TRUE(Only(cmds, 0x28).empty()) << "no boot sector to read back";
        const auto f7 = Only(cmds, 0xF7);
        ASSERT_EQ(f7.size(), 2u);
        EXPECT_EQ(f7[1].reservedOffset(), 2u) << "zero write after the 2-sector image";
        EXPECT_EQ(f7[1].reservedCount(), 128u);
        EXPECT_EQ(cmds.back().op(), 0x9A);
        EXPECT_EQ(r.Text(slot), "1 Chip(s)   32 MB");
    }
}

// ---------------------------------------------------------------------------
// Ports at the same time.

TEST(FormatPorts, EachPortIsLaidOutFromItsOwnCapacity) {
    {
        FormatRig r;
        Recipe recipe;
        recipe.share = 0.5;
        Apply(r, recipe);
        const std::vector<std::vector<uint8_t>> chips = {{k75}, {k76}, {kF1}, {k73}, {k76, k75}};
        std::vector<int16_t> slots;
        for (const auto& c : chips) slots.push_back(r.Add(c));
        r.FormatAll(slots);
        for (size_t i = 0; i < slots.size(); ++i) {
            SCOPED_TRACE(i);
            ASSERT_EQ(r.Status(slots[i]), 0) << r.Text(slots[i]);
            const int64_t user = r.st.ports[i].NominalSectors - 2048 - 2;
            const int64_t p0 = std::llrint(0.5 * static_cast<double>(user));
            const auto reads = Only(r.Trace(slots[i]), 0x28);
            ASSERT_EQ(reads.size(), 2u);
            EXPECT_EQ(reads[1].lba(), static_cast<uint32_t>(2048 + p0));
        }
    }
    {
        // Non-removable: each port's reserved area is the rest of its own flash.
        FormatRig r;
        Recipe recipe;
        recipe.noRomeable = true;
        Apply(r, recipe);
        r.st.settings.Vid = "1234";
        r.st.settings.Pid = "5678";
        r.st.settings.UsbManufacturer = r.st.settings.ScsiVendor = "Korva";
        r.st.settings.UsbProduct = r.st.settings.ScsiProduct = "Disk";
        const std::vector<std::vector<uint8_t>> chips = {{k75}, {k76}, {kF1}, {k73}};
        std::vector<int16_t> slots;
        for (const auto& c : chips) slots.push_back(r.Add(c));
        r.FormatAll(slots);
        for (size_t i = 0; i < slots.size(); ++i) {
            SCOPED_TRACE(i);
            ASSERT_EQ(r.Status(slots[i]), 0) << r.Text(slots[i]);
            // The device's own account of its reserved area (its last 0x9A reply).
            const uint32_t total = static_cast<uint32_t>(r.st.ports[i].NominalSectors - 2048);
            EXPECT_EQ(Be32(&r.st.ports[i].ReplyBuffer[8]), total);
            // The configuration block then carries the same total as the
            // layout, not the recipe's.
            ASSERT_FALSE(BuildConfigBlock(r.Job(slots[i]), false).has_value());
            EXPECT_EQ(Be32(&r.st.ports[i].SectorBuffer[192]), total);
        }
    }
}
