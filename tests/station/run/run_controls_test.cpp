// The operator's controls on simulated disks: Clear during a run, the
// low-level format with Cancel and its chip-list failures, the LED flashing,
// the test-item rule and the scan verdicts.
#include <sstream>

#include "run_rig.h"

using namespace runrig;

namespace {

constexpr int kRead10 = 0x28;
constexpr int kEraseBlock = 0x98;
constexpr int kConfigWrite = 0x81;
constexpr int kStatusPoll = 0x7C;  // sent once per port by every discovery
constexpr int kBlocksOfSmallChip = 1024;

simbus::PlugOptions Slow(std::vector<simbus::Fault> faults = {}) {
    simbus::PlugOptions o = Small(std::move(faults));
    o.timing = simbus::Timing::Usb2;
    return o;
}

// Waits until `pred` holds (up to 30 s).
template <typename P>
bool Eventually(P pred) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The chip, zone and block bytes of every block format command, in order.
std::vector<std::array<int, 3>> ErasedBlocks(const Rig& r, size_t device) {
    std::vector<std::array<int, 3>> out;
    for (const std::string& line : r.tb.Trace(r.ids.at(device))) {
        std::stringstream ss(line);
        std::vector<int> cdb;
        std::string byte;
        while (ss >> byte && byte != "|") cdb.push_back(std::stoi(byte, nullptr, 16));
        if (cdb.size() >= 4 && cdb[0] == kEraseBlock) out.push_back({cdb[1], cdb[2], cdb[3]});
    }
    return out;
}

void ExpectLowFormatButtonsBack(const Rig& r) {
    EXPECT_TRUE(r.Enabled("GoCmd"));
    EXPECT_TRUE(r.Enabled("ScanCmd"));
    EXPECT_TRUE(r.Enabled("cmdLowFor"));
    EXPECT_FALSE(r.Enabled("cmdLowForCan"));
}

}  // namespace

// ---------------------------------------------------------------------------
// Clear

TEST(ClearButton, DuringARunStopsTheWorkersClearsTheRowsAndRescansOnce) {
    Rig r;
    r.Plug(Slow());
    r.Plug(Slow());
    r.StartUp();
    r.SetItems({.format = true, .manufacture = true, .checkConfig = true});
    const int polls0 = r.Count(0, kStatusPoll), polls1 = r.Count(1, kStatusPoll);

    GoCmd_Click(r.st);
    // Catch both workers in the middle of the format.
    ASSERT_TRUE(Eventually([&] { return r.Count(0, 0x99) > 0 && r.Count(1, 0x99) > 0; }));
    ClearCmd_Click(r.st);

    // The workers are gone: no disk receives anything more.
    const size_t after0 = r.Ops(0).size(), after1 = r.Ops(1).size();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(r.Ops(0).size(), after0);
    EXPECT_EQ(r.Ops(1).size(), after1);
    EXPECT_EQ(r.Count(0, kConfigWrite), 0);
    EXPECT_EQ(r.Count(1, kConfigWrite), 0);

    // Rows cleared, no verdict, one rescan.
    for (int row = 0; row < 2; ++row) {
        EXPECT_FALSE(r.Visible("FG", row)) << row;
        EXPECT_FALSE(r.Visible("ProgressBar", row)) << row;
        EXPECT_EQ(r.st.model.Get("ThumbImage", row).picture, kPicturePresent) << row;
    }
    EXPECT_FALSE(r.Visible("PassLab"));
    EXPECT_EQ(r.st.FinishedCount.load(), 0);
    EXPECT_EQ(r.Count(0, kStatusPoll), polls0 + 1);
    EXPECT_EQ(r.Count(1, kStatusPoll), polls1 + 1);
    EXPECT_EQ(r.st.DiskCount.load(), 2);

    // The window is ready for the next run and device polling works again.
    EXPECT_TRUE(r.Enabled("GoCmd"));
    EXPECT_FALSE(r.Enabled("ClearCmd"));
    EXPECT_FALSE(r.Enabled("LedCmd"));
    EXPECT_TRUE(r.Enabled("Timer1"));
    EXPECT_TRUE(r.Enabled("cmdLowFor"));
    EXPECT_FALSE(r.st.RunInProgress.load());

    // And the next run works on the reopened handles.
    r.FastClock();
    r.SetItems({.manufacture = true});
    GoCmd_Click(r.st);
    ASSERT_TRUE(r.WaitRunEnd());
    EXPECT_EQ(r.Caption("PassLab"), "! ALL PASS !");
}

// ---------------------------------------------------------------------------
// Low-level format

TEST(LowLevelFormat, CancelOfThreeDisksStopsEveryWorkerAtItsNextBlock) {
    Rig r;
    for (int i = 0; i < 3; ++i) r.Plug(Slow());
    r.StartUp();

    cmdLowFor_Click(r.st);
    EXPECT_FALSE(r.Enabled("GoCmd"));
    EXPECT_FALSE(r.Enabled("ScanCmd"));
    EXPECT_FALSE(r.Enabled("cmdLowFor"));
    EXPECT_TRUE(r.Enabled("cmdLowForCan"));
    EXPECT_TRUE(r.st.RunInProgress.load());  // device polling keeps away meanwhile
    ASSERT_TRUE(Eventually([&] {
        return r.Count(0, kEraseBlock) >= 5 && r.Count(1, kEraseBlock) >= 5 &&
               r.Count(2, kEraseBlock) >= 5;
    }));
    EXPECT_TRUE(r.Visible("ProgressBar", 0));
    EXPECT_EQ(r.st.model.Get("ProgressBar", 2).maximum, kBlocksOfSmallChip);

    cmdLowForCan_Click(r.st);
    // The buttons come back at once.
    ExpectLowFormatButtonsBack(r);
    for (int row = 0; row < 3; ++row) {
        EXPECT_FALSE(r.Visible("ProgressBar", row));
        EXPECT_EQ(r.st.model.Get("ProgressBar", row).value, 0);
    }

    WaitForWorkers(r.st);
    EXPECT_FALSE(LowFormatRunning(r.st));
    EXPECT_FALSE(r.st.RunInProgress.load());
    std::vector<size_t> sent;
    for (size_t d = 0; d < 3; ++d) {
        sent.push_back(r.Ops(d).size());
        EXPECT_LT(r.Count(d, kEraseBlock), kBlocksOfSmallChip) << d;
    }
    std::this_thread::sleep_for(100ms);
    for (size_t d = 0; d < 3; ++d) EXPECT_EQ(r.Ops(d).size(), sent[d]) << d;
    // "Complete" is not shown, and the window stays as Cancel left it.
    EXPECT_FALSE(r.Visible("Label6"));
    ExpectLowFormatButtonsBack(r);
    EXPECT_FALSE(r.Visible("ProgressBar", 0));
}

TEST(LowLevelFormat, AllBlocksInChipZoneBlockOrderWhileALowerDiskHasNoChipList) {
    Rig r;
    r.Plug(Small({{0x93, 1, false}}));  // disk 1: its chip list cannot be read
    simbus::PlugOptions two = Small();
    two.device.chips = {0xE6, 0xE6};  // disk 2: 2 chips x 4 zones x 256 blocks
    r.Plug(two);
    r.StartUp();

    cmdLowFor_Click(r.st);
    WaitForWorkers(r.st);

    EXPECT_EQ(r.MessageTexts(), std::vector<std::string>{"Get ChipNumber fail"});
    EXPECT_EQ(r.Count(0, kEraseBlock), 0);
    const auto blocks = ErasedBlocks(r, 1);
    ASSERT_EQ(blocks.size(), 2u * 4 * 256);
    size_t k = 0;
    for (int c = 0; c < 2; ++c) {
        for (int z = 0; z < 4; ++z) {
            for (int b = 0; b < 256; ++b, ++k) {
                ASSERT_EQ(blocks[k], (std::array<int, 3>{c, z, b})) << k;
            }
        }
    }

    EXPECT_TRUE(r.Visible("Label6"));
    ExpectLowFormatButtonsBack(r);
    for (int row = 0; row < 2; ++row) {
        EXPECT_FALSE(r.Visible("ProgressBar", row));
        EXPECT_EQ(r.st.model.Get("ProgressBar", row).value, 0);
    }
    EXPECT_FALSE(LowFormatRunning(r.st));
    EXPECT_FALSE(r.st.RunInProgress.load());
}

TEST(LowLevelFormat, HighestDiskWithoutChipListStillWaitsAndRestoresTheWindow) {
    Rig r;
    r.Plug();
    r.Plug(Small({{0x93, 1, false}}));
    r.StartUp();
    // Blocks disk 1 had formatted when "Complete" appeared.
    std::atomic<int> blocksAtComplete{-1};
    r.st.model.Subscribe([&](const Change& c) {
        if (c.name == "Label6" && r.Visible("Label6") && blocksAtComplete < 0) {
            blocksAtComplete = r.Count(0, kEraseBlock);
        }
    });

    cmdLowFor_Click(r.st);
    WaitForWorkers(r.st);

    EXPECT_EQ(r.MessageTexts(), std::vector<std::string>{"Get ChipNumber fail"});
    // It waited for disk 1 to finish all its blocks before restoring.
    EXPECT_EQ(blocksAtComplete.load(), kBlocksOfSmallChip);
    EXPECT_TRUE(r.Visible("Label6"));
    ExpectLowFormatButtonsBack(r);
    EXPECT_FALSE(r.st.RunInProgress.load());
}

// ---------------------------------------------------------------------------
// LED flashing and the failed-disk flash

TEST(LedFlash, ReadsGoodDisksOnlyAndStopsWhenTheButtonIsDisabled) {
    Rig r;
    r.Plug();
    r.Plug();
    r.StartUp();
    r.st.ports[1].ErrorStatus = 0x9B;
    r.st.model.SetEnabled("LedCmd", -1, true);
    const int reads0 = r.Count(0, kRead10), reads1 = r.Count(1, kRead10);

    LedCmd_Click(r.st);
    EXPECT_EQ(r.Count(0, kRead10) - reads0, 300);
    EXPECT_EQ(r.Count(1, kRead10), reads1);

    // The window's events disable the button after the fifth round.
    int rounds = 0;
    r.st.ProcessEvents = [&] {
        if (++rounds == 5) r.st.model.SetEnabled("LedCmd", -1, false);
    };
    LedCmd_Click(r.st);
    EXPECT_EQ(r.Count(0, kRead10) - reads0, 305);

    // A disabled button flashes nothing.
    LedCmd_Click(r.st);
    EXPECT_EQ(r.Count(0, kRead10) - reads0, 305);
}

TEST(LedFlash, LabelOrPictureClickFlashesAFailedDiskOnlyAfterARun) {
    Rig r;
    r.Plug();
    r.Plug();
    r.StartUp();
    r.st.ports[1].ErrorStatus = 0x9B;
    const int reads0 = r.Count(0, kRead10), reads1 = r.Count(1, kRead10);

    ItemLab_Click(r.st, 1);  // the LED button is disabled: no run has ended
    EXPECT_EQ(r.Count(1, kRead10), reads1);

    r.st.model.SetEnabled("LedCmd", -1, true);
    ItemLab_Click(r.st, 0);  // a passed disk
    ItemLab_Click(r.st, 5);  // a row without a disk
    ItemLab_Click(r.st, -1);
    EXPECT_EQ(r.Count(0, kRead10), reads0);

    ItemLab_Click(r.st, 1);
    EXPECT_EQ(r.Count(1, kRead10) - reads1, 40);
    ThumbImage_Click(r.st, 1);
    EXPECT_EQ(r.Count(1, kRead10) - reads1, 80);
    EXPECT_EQ(r.Count(0, kRead10), reads0);
}

// ---------------------------------------------------------------------------
// Test items

TEST(TestItems, CheckWpIsAlwaysRunAlone) {
    Station st;
    auto checked = [&](int i) { return st.model.Get("Check1", i).checked; };
    ASSERT_TRUE(checked(0) && checked(1) && checked(3) && !checked(4));

    st.model.SetChecked("Check1", 4, true);
    Check1_Click(st, 4);
    EXPECT_FALSE(checked(0) || checked(1) || checked(3));
    EXPECT_TRUE(checked(4));

    st.model.SetChecked("Check1", 0, true);
    Check1_Click(st, 0);
    EXPECT_TRUE(checked(0));
    EXPECT_FALSE(checked(4));

    // Unchecking changes nothing else.
    st.model.SetChecked("Check1", 3, true);
    st.model.SetChecked("Check1", 0, false);
    Check1_Click(st, 0);
    EXPECT_TRUE(checked(3));
    EXPECT_FALSE(checked(0));
}

// ---------------------------------------------------------------------------
// Scan

TEST(ScanButton, ShowsEachPortsVerdictAndRewritesTheGoodOnes) {
    Rig r;
    for (int i = 0; i < 5; ++i) r.Plug();
    r.StartUp();
    r.FastClock();
    const int16_t statuses[5] = {0, 0x9B, 0xE1, 0xE2, 0x7E};
    for (int i = 0; i < 5; ++i) r.st.ports[static_cast<size_t>(i)].ErrorStatus = statuses[i];
    // The good port holds the loader disk a run writes; the scan reads it back.
    std::vector<uint8_t> loader(128 * 512, 'L');
    ASSERT_TRUE(r.st.lib.Write(r.st.ports[0].Handle, 128, 0, loader.data()));
    r.st.model.SetVisible("Label6", -1, true);
    r.st.model.SetVisible("FG", 1, true);  // left from an earlier run

    ScanCmd_Click(r.st);

    const char* texts[5] = {"Compare Correct !", "Error Status = 9B", "Loader Disk Error",
                            "ReserveDisk Error", "Error Status = 7E"};
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(r.Caption("CC1mG", row), row == 0 ? "V" : "X") << row;
        EXPECT_EQ(r.Caption("CC1mR", row), texts[row]) << row;
        EXPECT_TRUE(r.Visible("CC1mG", row) && r.Visible("CC1mR", row)) << row;
        EXPECT_FALSE(r.Visible("ProgressBar", row)) << row;
        EXPECT_EQ(r.Count(static_cast<size_t>(row), kConfigWrite), row == 0 ? 1 : 0) << row;
        if (row > 0) {
            EXPECT_EQ(r.st.model.Get("ThumbImage", row).picture, kPictureFailed) << row;
        }
    }
    EXPECT_EQ(r.Caption("LLG", 0), "String = V");
    EXPECT_FALSE(r.Visible("FG", 1));
    // (65,536 - 1 + 1,024 - 1) / 65,536 rounds to 1.
    EXPECT_EQ(r.st.model.Get("ProgressBar", 0).maximum, 1);
    EXPECT_FALSE(r.Visible("Label6"));
    EXPECT_FALSE(r.Visible("PassLab"));
    EXPECT_TRUE(r.Enabled("ClearCmd"));
    EXPECT_TRUE(r.Enabled("cmdLowFor"));
}

TEST(ScanButton, AFailedRewriteShowsItsFailureNotCompareCorrect) {
    Rig r;
    r.Plug(Small({simbus::Fault{kConfigWrite, 1, false}}));
    r.StartUp();
    r.FastClock();
    // The port holds the loader disk a run writes; the scan reads it back.
    std::vector<uint8_t> loader(128 * 512, 'L');
    ASSERT_TRUE(r.st.lib.Write(r.st.ports[0].Handle, 128, 0, loader.data()));

    ScanCmd_Click(r.st);

    EXPECT_EQ(r.Caption("LLR", 0), "Write = X");
    EXPECT_EQ(r.Caption("CC1mG", 0), "X");
    EXPECT_EQ(r.Caption("CC1mR", 0), "Error Status = F6");
    EXPECT_EQ(r.st.ports[0].ErrorStatus.load(), 0xF6);
    EXPECT_EQ(r.st.model.Get("ThumbImage", 0).picture, kPictureFailed);
}

TEST(ScanButton, WithoutDisksResetsTheRowsAndEnablesClearAndLowFormat) {
    Rig r;
    r.StartUp();
    r.FastClock();
    ASSERT_EQ(r.st.DiskCount.load(), 0);
    for (int row = 0; row < kGridRows; ++row) r.st.model.SetVisible("CCG", row, true);
    r.st.model.SetEnabled("cmdLowFor", -1, false);

    ScanCmd_Click(r.st);

    for (int row = 0; row < kGridRows; ++row) EXPECT_FALSE(r.Visible("CCG", row)) << row;
    EXPECT_TRUE(r.Enabled("ClearCmd"));
    EXPECT_TRUE(r.Enabled("cmdLowFor"));
}
