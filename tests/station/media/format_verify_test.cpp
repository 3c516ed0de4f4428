// Read-back verification: with "Compare Disk" the format step reads back the
// loader disk and every file-system sector it wrote; the Scan button reads
// the loader disk of every port again. Flash that drops, flips or cannot read
// what it was given fails its port; the other ports do not notice.
#include <unistd.h>

#include <algorithm>
#include <set>

#include "format_rig.h"
#include "run/run.h"

using namespace rig;

namespace {

constexpr uint8_t k76 = 0x76;  // 64 MB chip: 128,000 sectors

// A 300-sector loader (two chunks and a 44-sector residual), a 130-sector
// reserve image with a 129-sector second section, and on 128,000 sectors two
// partitions: 25,488 sectors (FAT12) at 300 and 101,953 (FAT16) at 25,788.
constexpr uint32_t kPart1 = 300;
constexpr uint32_t kPart2 = 25788;
constexpr uint32_t kFat12Area = 1 + 24 + 32;   // boot sector, FATs, root directory
constexpr uint32_t kFat16Area = 1 + 510 + 32;  // the same for FAT16

Recipe VerifyRecipe() {
    Recipe r;
    r.loader = Pattern(300 * 512, 21);
    r.reserve = Pattern(130 * 512, 22);
    r.secondReserved = 129;
    r.share = 0.2;
    return r;
}

simbus::PlugOptions Disk(simdev::FlashFaults faults = {}) {
    simbus::PlugOptions o;
    o.device.chips = {k76};
    o.device.faults = faults;
    return o;
}

// Every sector that READ(10) or WRITE(10) commands of a trace cover.
std::set<uint32_t> Covered(const std::vector<Cmd>& cmds, int op, uint32_t from, uint32_t to) {
    std::set<uint32_t> out;
    for (const Cmd& c : Only(cmds, op)) {
        for (uint32_t s = c.lba(); s < c.lba() + c.count(); ++s) {
            if (s >= from && s < to) out.insert(s);
        }
    }
    return out;
}

std::vector<std::pair<uint32_t, uint32_t>> Ranges(const std::vector<Cmd>& cmds) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const Cmd& c : cmds) out.push_back({c.lba(), c.count()});
    return out;
}

}  // namespace

TEST(FormatVerify, ReadsBackTheLoaderAsWrittenAndEveryFileSystemSector) {
    FormatRig r;
    Apply(r, VerifyRecipe());
    r.st.run.CompareDisk = true;
    const int16_t slot = r.Add(Disk());
    Format7301(r.Job(slot));
    ASSERT_EQ(r.Status(slot), 0) << r.Text(slot);
    EXPECT_EQ(r.Mark(slot), "V");

    const auto cmds = r.Trace(slot);
    const auto reads = Only(cmds, 0x28);
    const auto writes = Only(cmds, 0x2A);
    // The loader comes back through the same unit, addresses and chunks.
    ASSERT_GE(reads.size(), 3u);
    EXPECT_EQ(Ranges({reads.begin(), reads.begin() + 3}),
              Ranges({writes.begin(), writes.begin() + 3}));
    EXPECT_EQ(Ranges({reads.begin(), reads.begin() + 3}),
              (std::vector<std::pair<uint32_t, uint32_t>>{{0, 128}, {128, 128}, {256, 44}}));
    // Each file system is read back whole, at most 128 sectors a command.
    for (const auto& [start, area] : {std::pair{kPart1, kFat12Area}, {kPart2, kFat16Area}}) {
        const auto wrote = Covered(cmds, 0x2A, start, start + area);
        EXPECT_EQ(wrote.size(), area) << start;
        EXPECT_EQ(Covered(cmds, 0x28, start, start + area), wrote) << start;
    }
    for (const Cmd& c : reads) EXPECT_LE(c.count(), 128u);
    // The 0xFF fill in front of the second partition is not a file system.
    EXPECT_TRUE(Covered(cmds, 0x28, kPart2 - 256, kPart2).empty());
    // The boot-sector check still follows.
    EXPECT_EQ(Ranges({reads.end() - 2, reads.end()}),
              (std::vector<std::pair<uint32_t, uint32_t>>{{kPart1, 1}, {kPart2, 1}}));

    // Two loader chunks written, one reserve chunk, two loader chunks read
    // back: one step each; the maximum counts the loader twice.
    const Control bar = r.st.model.Get("ProgressBar", 0);
    EXPECT_EQ(bar.value, 5);
    EXPECT_EQ(bar.maximum, ProgressMaximum(2 * 300 * 512, 130 * 512));
}

TEST(FormatVerify, EachFlashFaultFailsItsPortWithItsCodeAndSparesTheOther) {
    struct Case {
        const char* what;
        simdev::FlashFaults fault;
        int status;  // "Compare Disk" ticked
        const char* text;
        int statusUnchecked;  // the box cleared: what the port would show
    };
    auto drop = [](uint64_t s) {
        simdev::FlashFaults f;
        f.drop_writes_from = s;
        return f;
    };
    auto flip = [](uint64_t s) {
        simdev::FlashFaults f;
        f.flip_bits = s;
        return f;
    };
    auto bad = [](uint64_t s) {
        simdev::FlashFaults f;
        f.read_error = s;
        return f;
    };
    const Case cases[] = {
        // Less flash than claimed, ending inside the loader: the partitions
        // are lost too, which the boot-sector check alone does see.
        {"writes dropped in the loader", drop(200), 0xE1, "Loader Disk Error", 0x9B},
        {"loader sector flips", flip(5), 0xE1, "Loader Disk Error", 0},
        {"loader residual unreadable", bad(290), 0xE1, "Loader Disk Error", 0},
        // Less flash than claimed, ending after the second boot sector.
        {"writes dropped in the second FAT", drop(kPart2 + 1), 0x9B, "Format Error", 0},
        {"first boot sector flips past its jump", flip(kPart1), 0x9B, "Format Error", 0},
        {"first FAT head flips", flip(kPart1 + 1), 0x9B, "Format Error", 0},
        {"second FAT's last sector flips", flip(kPart2 + 510), 0x9B, "Format Error", 0},
        {"second root directory unreadable", bad(kPart2 + 511 + 31), 0x9B, "Format Error", 0},
    };
    for (const Case& c : cases) {
        for (const bool compare : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (compare ? ", compared" : ", not compared"));
            FormatRig r;
            Apply(r, VerifyRecipe());
            r.st.run.CompareDisk = compare;
            const int16_t badSlot = r.Add(Disk(c.fault));
            const int16_t goodSlot = r.Add(Disk());
            r.FormatAll({badSlot, goodSlot});

            const int want = compare ? c.status : c.statusUnchecked;
            EXPECT_EQ(r.Status(badSlot), want) << r.Text(badSlot);
            if (want == c.status) {
                EXPECT_EQ(r.Text(badSlot), c.text);
            }
            EXPECT_EQ(r.Mark(badSlot), want ? "X" : "V");
            EXPECT_EQ(r.st.run.AnyFailed.load(), want != 0);
            EXPECT_EQ(r.Status(goodSlot), 0) << r.Text(goodSlot);
            EXPECT_EQ(r.Mark(goodSlot), "V");

            if (!compare) {
                // Nothing is read back but the boot sectors (one sector at
                // each partition start).
                for (const int16_t s : {badSlot, goodSlot}) {
                    for (const Cmd& rd : Only(r.Trace(s), 0x28)) {
                        EXPECT_EQ(rd.count(), 1u);
                        EXPECT_TRUE(rd.lba() == kPart1 || rd.lba() == kPart2) << rd.lba();
                    }
                }
            }
        }
    }
}

TEST(FormatVerify, NoCompareAfterAFailedWriteAndNoPartitionToCompareWhenNonRemovable) {
    // A port that failed while writing sends no read-back.
    {
        FormatRig r;
        Apply(r, VerifyRecipe());
        simbus::PlugOptions o = Disk();
        o.faults.push_back({0x2A, 2, false});  // second loader chunk
        const int16_t slot = r.Add(o);
        r.st.run.CompareDisk = true;
        Format7301(r.Job(slot));
        EXPECT_EQ(r.Status(slot), 0x80);
        EXPECT_TRUE(Only(r.Trace(slot), 0x28).empty());
    }
    // A non-removable disk: its loader is compared, nothing else is read.
    {
        FormatRig r;
        Recipe recipe = VerifyRecipe();
        recipe.noRomeable = true;
        Apply(r, recipe);
        const int16_t slot = r.Add(Disk());
        r.st.run.CompareDisk = true;
        Format7301(r.Job(slot));
        ASSERT_EQ(r.Status(slot), 0) << r.Text(slot);
        EXPECT_EQ(Ranges(Only(r.Trace(slot), 0x28)),
                  (std::vector<std::pair<uint32_t, uint32_t>>{{0, 128}, {128, 128}, {256, 44}}));
    }
}

TEST(ScanVerify, GoodPortsCompareCorrectAndACorruptedOrUnreadableLoaderIsLoaderDiskError) {
    FormatRig r;
    Apply(r, VerifyRecipe());
    const int16_t good = r.Add(Disk());
    const int16_t corrupted = r.Add(Disk());
    simdev::FlashFaults unreadable;
    unreadable.read_error = 290;  // in the loader's residual
    const int16_t weak = r.Add(Disk(unreadable));
    const int16_t failed = r.Add(Disk());
    // The run compares nothing, so the unreadable sector goes unnoticed.
    r.st.run.CompareDisk = false;
    // Scan rewrites a good port's configuration block: the recipe names one.
    r.st.settings.Vid = "1234";
    r.st.settings.Pid = "5678";
    r.st.settings.UsbManufacturer = "DEMO";
    r.st.settings.UsbProduct = "Flash Disk";
    r.st.settings.ScsiVendor = "DEMO";
    r.st.settings.ScsiProduct = "Flash Disk";
    r.FormatAll({good, corrupted, weak, failed});
    for (const int16_t s : {good, corrupted, weak, failed}) ASSERT_EQ(r.Status(s), 0) << r.Text(s);
    const size_t before = r.Trace(good).size();
    const size_t failedBefore = r.Trace(failed).size();

    // After the run one sector of the second port's loader changes.
    {
        simbus::Bus& bus = r.tb.bus();
        const auto paths = bus.interface_paths(simdev::UnitClass::Disk);
        ASSERT_EQ(paths.size(), 4u);
        const int fd = bus.open(paths[1]);
        ASSERT_GT(fd, 0);
        std::vector<uint8_t> cdb = {0x2A, 0, 0, 0, 0, 200, 0, 0, 1, 0};
        std::vector<uint8_t> sector(512, 0x5A);
        EXPECT_TRUE(
            bus.execute(fd, cdb.data(), cdb.size(), simdev::Direction::Out, sector.data(), 512, 30)
                .delivered);
        close(fd);
    }
    r.st.ports[failed - 1].ErrorStatus = 0x7E;  // an earlier failure keeps its code

    ScanCmd_Click(r.st);

    auto mark = [&](int16_t s) { return r.st.model.Get("CC1mG", s - 1).caption; };
    auto text = [&](int16_t s) { return r.st.model.Get("CC1mR", s - 1).caption; };
    EXPECT_EQ(mark(good), "V");
    EXPECT_EQ(text(good), "Compare Correct !");
    for (const int16_t s : {corrupted, weak}) {
        EXPECT_EQ(mark(s), "X") << s;
        EXPECT_EQ(text(s), "Loader Disk Error") << s;
        EXPECT_EQ(r.Status(s), 0xE1) << s;
        EXPECT_EQ(r.st.model.Get("ThumbImage", s - 1).picture, kPictureFailed) << s;
    }
    EXPECT_EQ(text(failed), "Error Status = 7E");

    // The good port's loader was read again through the unit, in the
    // writer's chunks, one progress step per full chunk.
    const auto after = r.Trace(good);
    const std::vector<Cmd> scan(after.begin() + static_cast<long>(before), after.end());
    EXPECT_EQ(Ranges(Only(scan, 0x28)),
              (std::vector<std::pair<uint32_t, uint32_t>>{{0, 128}, {128, 128}, {256, 44}}));
    EXPECT_EQ(r.st.model.Get("ProgressBar", good - 1).value, 2);
    // The corrupted port stopped at the chunk that differs.
    EXPECT_EQ(Only(r.Trace(corrupted), 0x28).back().lba(), 128u);
    // The port that carried an error was not read.
    const auto failedAfter = r.Trace(failed);
    EXPECT_TRUE(
        Only({failedAfter.begin() + static_cast<long>(failedBefore), failedAfter.end()}, 0x28)
            .empty());
}

TEST(ScanVerify, AnImageEndingInsideASectorIsComparedWithItsZeroPadding) {
    // 100 bytes short of 300 sectors: the last loader sector was written as
    // the image's last 412 bytes and 100 zeros.
    Recipe recipe = VerifyRecipe();
    recipe.loader.resize(300 * 512 - 100);
    FormatRig r;
    Apply(r, recipe);
    r.st.run.CompareDisk = true;
    const int16_t clean = r.Add(Disk());
    const int16_t dirtyTail = r.Add(Disk());
    const int16_t dirtyImage = r.Add(Disk());
    r.FormatAll({clean, dirtyTail, dirtyImage});
    for (const int16_t s : {clean, dirtyTail, dirtyImage}) {
        ASSERT_EQ(r.Status(s), 0) << r.Text(s);
    }

    // Sector 299 rewritten: once with the image's bytes and a nonzero byte in
    // the padding, once with a changed image byte and the padding intact.
    auto rewriteLastSector = [&](int16_t slot, size_t at) {
        std::vector<uint8_t> sector(512, 0);
        std::copy(recipe.loader.begin() + 299 * 512, recipe.loader.end(), sector.begin());
        sector[at] ^= 0x01;
        simbus::Bus& bus = r.tb.bus();
        const int fd = bus.open(bus.interface_paths(simdev::UnitClass::Disk)[slot - 1]);
        ASSERT_GT(fd, 0);
        std::vector<uint8_t> cdb = {0x2A, 0, 0, 0, 0x01, 0x2B, 0, 0, 1, 0};  // sector 299
        EXPECT_EQ(
            bus.execute(fd, cdb.data(), cdb.size(), simdev::Direction::Out, sector.data(), 512, 30)
                .status,
            simdev::kStatusGood);
        close(fd);
    };
    rewriteLastSector(dirtyTail, 511);
    rewriteLastSector(dirtyImage, 411);

    for (const int16_t s : {clean, dirtyTail, dirtyImage}) ScanDisk7301(r.Job(s));
    EXPECT_EQ(r.Status(clean), 0);
    EXPECT_EQ(r.Status(dirtyTail), 0xE1);
    EXPECT_EQ(r.Status(dirtyImage), 0xE1);
}
