// The production run on simulated disks: items in order with skips after a
// failure, the verdict, the single end-of-run report, ports above 8, and the
// pause between items.
#include <thread>

#include "run_rig.h"

using namespace runrig;

namespace {

constexpr int kConfigWrite = 0x81;

// How many changes one ShowResult makes to the banner, measured on a scratch
// station, so that a count of banner changes tells how often it ran.
int BannerChangesOfOneReport() {
    Station scratch;
    std::atomic<int> n{0};
    scratch.model.Subscribe([&](const Change& c) {
        if (c.name == "PassLab") ++n;
    });
    ShowResult(scratch);
    return n.load();
}

}  // namespace

TEST(ProductionRun, FormatFailureOnOneDiskSkipsItsLaterItemsOnly) {
    Rig r;
    r.Plug();
    r.Plug(Small({{0x93, 1, false}}));  // disk 2: the chip list read fails
    r.Plug();
    r.StartUp();
    ASSERT_EQ(r.st.DiskCount.load(), 3);
    ASSERT_TRUE(r.Enabled("GoCmd"));
    r.FastClock();
    r.SetItems({.format = true, .manufacture = true, .checkConfig = true});

    GoCmd_Click(r.st);
    ASSERT_TRUE(r.WaitRunEnd());

    EXPECT_EQ(r.Status(0), 0);
    EXPECT_EQ(r.Status(1), 0x93);
    EXPECT_EQ(r.Status(2), 0);
    EXPECT_EQ(r.Caption("FG", 1), "X");
    EXPECT_EQ(r.Caption("FR", 1), "Error Status = 93");
    // Disk 2 skipped "Manufacture" and "Check Config": no block written, no
    // column shown.
    EXPECT_EQ(r.Count(1, kConfigWrite), 0);
    EXPECT_FALSE(r.Visible("LLG", 1));
    EXPECT_FALSE(r.Visible("CC1mG", 1));
    for (int row : {0, 2}) {
        EXPECT_EQ(r.Caption("FG", row), "V") << row;
        EXPECT_EQ(r.Caption("LLG", row), "String = V") << row;
        EXPECT_EQ(r.Caption("LLR", row), "Write = V") << row;
        EXPECT_TRUE(r.Visible("CC1mG", row)) << row;
        EXPECT_EQ(r.Count(static_cast<size_t>(row), kConfigWrite), 1) << row;
        EXPECT_EQ(r.st.model.Get("ThumbImage", row).picture, kPicturePassed) << row;
    }
    EXPECT_EQ(r.st.model.Get("ThumbImage", 1).picture, kPictureFailed);
    EXPECT_EQ(r.Caption("PassLab"), "! FAILED !");
    EXPECT_TRUE(r.Visible("PassLab"));

    // The end of the run gives the window back.
    EXPECT_FALSE(r.st.RunInProgress.load());
    EXPECT_EQ(r.st.FinishedCount.load(), 3);
    EXPECT_TRUE(r.Enabled("ClearCmd"));
    EXPECT_TRUE(r.Enabled("LedCmd"));
    EXPECT_FALSE(r.Enabled("GoCmd"));
    EXPECT_TRUE(r.Enabled("Timer1"));
    EXPECT_EQ(r.Caption("TimLab"), "True");
}

TEST(ProductionRun, CheckWpAloneRunsWithoutPauseAndLeavesTheBannerEmpty) {
    Rig r;
    r.Plug();
    simbus::PlugOptions locked = Small();
    locked.device.wp_switch_on = true;
    r.Plug(locked);
    r.StartUp();
    std::atomic<int> clockReadings{0};
    r.st.TimeOfDay = [&] {
        ++clockReadings;
        return 500.0 + clockReadings * 0.05;
    };
    r.SetItems({.checkWp = true});

    GoCmd_Click(r.st);
    ASSERT_TRUE(r.WaitRunEnd());

    EXPECT_EQ(clockReadings.load(), 0);  // no pause was taken
    EXPECT_EQ(r.Caption("CCR", 0), "Not Write Protected");
    EXPECT_EQ(r.Caption("CCG", 1), "Write Protected");
    EXPECT_FALSE(r.Visible("FG", 0));
    EXPECT_EQ(r.Count(0, kConfigWrite), 0);
    EXPECT_FALSE(r.st.run.AnyFailed.load());
    EXPECT_TRUE(r.Visible("PassLab"));
    EXPECT_EQ(r.Caption("PassLab"), "");
    // Neither disk has an error status: both get the pass picture.
    EXPECT_EQ(r.st.model.Get("ThumbImage", 0).picture, kPicturePassed);
    EXPECT_EQ(r.st.model.Get("ThumbImage", 1).picture, kPicturePassed);
}

TEST(ProductionRun, NoItemCheckedStartsNothing) {
    Rig r;
    r.Plug();
    r.StartUp();
    const size_t before = r.Ops(0).size();
    r.SetItems({});

    GoCmd_Click(r.st);
    WaitForWorkers(r.st);

    ASSERT_EQ(r.st.model.Messages().size(), 1u);
    EXPECT_EQ(r.st.model.Messages()[0].text, "No items checked");
    EXPECT_EQ(r.st.model.Messages()[0].icon, Icon::Exclamation);
    EXPECT_TRUE(r.Enabled("GoCmd"));
    EXPECT_EQ(r.st.model.LastFocus(), "GoCmd");
    EXPECT_FALSE(r.st.RunInProgress.load());
    // The polling timer stays stopped until Clear or a later run.
    EXPECT_FALSE(r.Enabled("Timer1"));
    EXPECT_EQ(r.Caption("TimLab"), "False");
    EXPECT_FALSE(r.Visible("PassLab"));
    EXPECT_EQ(r.Ops(0).size(), before);  // nothing was sent to the disk
}

TEST(ProductionRun, EightDisksEndWithExactlyOneReport) {
    const int perReport = BannerChangesOfOneReport();
    ASSERT_GT(perReport, 0);

    Rig r;
    for (int i = 0; i < 8; ++i) r.Plug();
    r.StartUp();
    ASSERT_EQ(r.st.DiskCount.load(), 8);
    r.FastClock();
    r.SetItems({.manufacture = true});
    r.st.model.SetCaption("Combo1", -1, "32");

    // Banner changes made by the workers (the window thread's own changes at
    // Start are not counted).
    const auto window = std::this_thread::get_id();
    std::atomic<int> workerBannerChanges{0};
    r.st.model.Subscribe([&](const Change& c) {
        if (c.name == "PassLab" && c.thread != window) ++workerBannerChanges;
    });

    GoCmd_Click(r.st);
    ASSERT_TRUE(r.WaitRunEnd());

    EXPECT_EQ(workerBannerChanges.load(), perReport);
    EXPECT_EQ(r.st.FinishedCount.load(), 8);
    EXPECT_EQ(r.Caption("PassLab"), "! ALL PASS !");
    EXPECT_EQ(r.st.run.DiskCapacityMb.load(), 32);  // read back from the box at Start
    for (int row = 0; row < 8; ++row) {
        EXPECT_EQ(r.Count(static_cast<size_t>(row), kConfigWrite), 1) << row;
        EXPECT_EQ(r.st.model.Get("ThumbImage", row).picture, kPicturePassed) << row;
    }
}

TEST(ProductionRun, PortsAboveEightAreNotServedAndTheRunStillEnds) {
    Rig r;
    for (int i = 0; i < 9; ++i) r.Plug();
    r.StartUp();
    ASSERT_EQ(r.st.DiskCount.load(), 9);
    r.FastClock();
    r.SetItems({.manufacture = true});
    const size_t ninthBefore = r.Ops(8).size();

    GoCmd_Click(r.st);
    ASSERT_TRUE(r.WaitRunEnd(60s)) << "the run never ended";

    EXPECT_EQ(r.st.FinishedCount.load(), 8);
    EXPECT_EQ(r.Caption("PassLab"), "! ALL PASS !");
    EXPECT_EQ(r.Ops(8).size(), ninthBefore);
    EXPECT_EQ(r.Count(7, kConfigWrite), 1);
}

TEST(ProductionRun, PauseAcrossMidnightLastsItsSecond) {
    Rig r;
    r.Plug();
    r.StartUp();
    // 0.3 s before midnight; each reading moves the clock 10 ms on.
    std::atomic<int> readings{0};
    r.st.TimeOfDay = [&] {
        const double t = 86399.7 + 0.01 * readings++;
        return t >= 86400.0 ? t - 86400.0 : t;
    };
    r.SetItems({.manufacture = true});

    GoCmd_Click(r.st);
    // (A worker caught in the pause is stopped when the rig goes away.)
    ASSERT_TRUE(r.WaitRunEnd(30s)) << "the pause did not end after midnight";

    // The first reading is the start; the pause ends once more than one
    // second has passed on the clock: after about 100 more readings.
    EXPECT_GE(readings.load(), 101);
    EXPECT_LE(readings.load(), 110);
    EXPECT_EQ(r.Caption("LLR", 0), "Write = V");
}

// ---------------------------------------------------------------------------
// State a run leaves behind.

namespace {

constexpr int kReadSectors = 0x28;  // the boot-sector read-back of a partition

simbus::PlugOptions Revision(uint8_t rev) {
    simbus::PlugOptions o = Small();
    o.device.fw_rev = rev;
    return o;
}

std::vector<PortOutcome> RunOnce(Rig& r) {
    GoCmd_Click(r.st);
    EXPECT_TRUE(r.WaitRunEnd());
    return r.st.Outcome().ports;
}

}  // namespace

TEST(RunsInOneProcess, OldAndNewControllersKeepTheirOwnLayoutRunAfterRun) {
    // Non-removable mode with the 1 MiB loader an old controller needs: the
    // revision-4 disk gets a removable layout (one partition, read back), the
    // revision-5 disk the non-removable one (no partition), in either order.
    for (bool oldFirst : {true, false}) {
        SCOPED_TRACE(oldFirst);
        Rig r;
        testbus::WriteFile(r.home + "/files/7301.img", std::string(2048 * 512, 'L'));
        testbus::WriteFile(
            r.home + "/Product.ini",
            ReadFile(r.home + "/Product.ini") + "[7301 Disable Removable Disk]\r\nTrue\r\n");
        r.Plug(Revision(oldFirst ? 4 : 5));
        r.Plug(Revision(oldFirst ? 5 : 4));
        r.StartUp();
        ASSERT_TRUE(r.st.settings.bNoRomeableDisk);
        r.FastClock();
        r.SetItems({.format = true, .manufacture = true, .checkConfig = true});
        // The layouts are told apart by the boot-sector reads alone: no
        // read-back compare.
        r.st.model.SetChecked("CheckCompare", -1, false);
        const size_t oldDisk = oldFirst ? 0 : 1, newDisk = 1 - oldDisk;

        std::vector<std::vector<PortOutcome>> runs;
        std::vector<std::pair<int, int>> reads;
        for (int run = 0; run < 2; ++run) {
            const int oldBefore = r.Count(oldDisk, kReadSectors);
            const int newBefore = r.Count(newDisk, kReadSectors);
            runs.push_back(RunOnce(r));
            reads.emplace_back(r.Count(oldDisk, kReadSectors) - oldBefore,
                               r.Count(newDisk, kReadSectors) - newBefore);
        }
        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(run);
            ASSERT_EQ(runs[run].size(), 2u);
            for (const PortOutcome& p : runs[run]) EXPECT_EQ(p.status, 0) << p.index;
            EXPECT_EQ(reads[run].first, 1) << "the old controller has a partition";
            EXPECT_EQ(reads[run].second, 0) << "the new controller has none";
        }
        // The second run shows what the first showed, column by column.
        for (size_t i = 0; i < 2; ++i) {
            for (size_t c = 0; c < runs[0][i].columns.size(); ++c) {
                EXPECT_EQ(runs[1][i].columns[c].mark, runs[0][i].columns[c].mark) << i << c;
                EXPECT_EQ(runs[1][i].columns[c].text, runs[0][i].columns[c].text) << i << c;
            }
        }
        EXPECT_TRUE(r.st.settings.bNoRomeableDisk) << "the recipe is never changed";

        // A Manufacture run alone writes the reserved total of each disk's own
        // layout, as the runs with Format did.
        r.SetItems({.manufacture = true});
        for (const PortOutcome& p : RunOnce(r)) EXPECT_EQ(p.status, 0) << p.index;
        for (size_t i = 0; i < 2; ++i) {
            const auto info = r.tb.bus().inspect(r.ids[i]);
            ASSERT_TRUE(info);
            const auto& d = (*info)["device"];
            EXPECT_EQ(d["config_block"]["total_reserved_sectors"],
                      d["layout"]["total_reserved_sectors"])
                << i;
        }
    }
}

TEST(RunsInOneProcess, AnOddSizedLoaderImageStillGivesAUnitHostsCanRead) {
    Rig r;
    testbus::WriteFile(r.home + "/files/7301.img", std::string(129 * 512, 'L'));
    r.Plug();
    r.StartUp();
    r.FastClock();
    r.SetItems({.format = true});
    const std::vector<PortOutcome> ports = RunOnce(r);
    ASSERT_EQ(ports.size(), 1u);
    ASSERT_EQ(ports[0].status, 0);

    const std::string unit = r.tb.root() + "/disk1.img";
    ASSERT_TRUE(r.tb.bus().export_unit(r.ids[0], "disk1", unit));
    std::string out;
    EXPECT_EQ(testproc::Run("fsck.fat -n '" + unit + "'", &out, true), 0) << out;
}
