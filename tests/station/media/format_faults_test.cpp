// Every command of the format step whose failure has a status: the status,
// the "Format" column's text, nothing sent after it, and a port formatted at
// the same time that does not notice.
#include "format_rig.h"

using namespace rig;

namespace {

struct FaultCase {
    const char* what;
    uint8_t opcode;
    uint32_t nth;
    int status;
    const char* text;
    int commandsAfter;  // commands the step still sends after the failure
};

// The recipe: a 300-sector loader (two chunks and a residual), a 130-sector
// reserve image (a chunk and a residual) with a 129-sector second section
// (the zero write), two FAT12 partitions of 31,720 and 31,721 sectors on a
// 64,000-sector flash.
Recipe FaultRecipe() {
    Recipe r;
    r.loader = Pattern(300 * 512, 11);
    r.reserve = Pattern(130 * 512, 12);
    r.secondReserved = 129;
    r.share = 0.5;
    return r;
}

// WRITE(10) in order: loader 1-3, first partition 4 (boot) 5-6 (FATs) 7
// (root), fill 8-9, second partition 10-13.
const FaultCase kFaults[] = {
    {"chip list", 0x93, 1, 0x93, "Error Status = 93", 0},
    // Without the device information nothing can be judged.
    {"device information", 0x75, 1, 0x75, "Error Status = 75", 0},
    {"layout block", 0x99, 1, 0x99, "Partition Error", 0},
    {"commit", 0xF5, 1, 0x99, "Partition Error", 0},
    {"read after commit", 0x96, 1, 0x96, "Error Status = 96", 0},
    {"loader first chunk", 0x2A, 1, 0x80, "Error Status = 80", 0},
    {"loader second chunk", 0x2A, 2, 0x80, "Error Status = 80", 0},
    {"loader residual", 0x2A, 3, 0x80, "Error Status = 80", 0},
    {"reserved access before", 0x9A, 1, 0x9A, "Error Status = 9A", 0},
    {"reserve chunk", 0xF7, 1, 0xF7, "Write Reserve Error", 0},
    {"reserve residual", 0xF7, 2, 0xF7, "Write Reserve Error", 0},
    {"second section zero write", 0xF7, 3, 0xF7, "Write Reserve Error", 0},
    {"reserved access after", 0x9A, 2, 0x9A, "Error Status = 9A", 0},
    {"first boot sector", 0x2A, 4, 0x9B, "Format Error", 0},
    {"first FAT copy", 0x2A, 5, 0x9B, "Format Error", 0},
    {"second FAT copy", 0x2A, 6, 0x9B, "Format Error", 0},
    {"first root directory", 0x2A, 7, 0x9B, "Format Error", 0},
    {"first fill write", 0x2A, 8, 0x80, "Error Status = 80", 0},
    {"second fill write", 0x2A, 9, 0x80, "Error Status = 80", 0},
    {"second boot sector", 0x2A, 10, 0x9B, "Format Error", 0},
    {"second root directory", 0x2A, 13, 0x9B, "Format Error", 0},
    // The read-back of the first boot sector fails; the second is still read.
    {"first boot sector read back", 0x28, 1, 0x9B, "Format Error", 1},
    {"second boot sector read back", 0x28, 2, 0x9B, "Format Error", 0},
};

}  // namespace

TEST(FormatFaults, EachFailureStopsItsPortWithItsStatusAndSparesTheOther) {
    for (const FaultCase& f : kFaults) {
        SCOPED_TRACE(f.what);
        FormatRig r;
        Apply(r, FaultRecipe());
        simbus::PlugOptions bad;
        bad.device.chips = {0x75};
        bad.faults.push_back({f.opcode, f.nth, false});
        const int16_t badSlot = r.Add(bad);
        const int16_t goodSlot = r.Add({0x75});
        r.FormatAll({badSlot, goodSlot});

        EXPECT_EQ(r.Status(badSlot), f.status);
        EXPECT_EQ(r.Mark(badSlot), "X");
        EXPECT_EQ(r.Text(badSlot), f.text);
        EXPECT_EQ(r.st.model.Get("ThumbImage", badSlot - 1).picture, kPictureFailed);
        EXPECT_TRUE(r.st.run.AnyFailed.load());

        const auto cmds = r.Trace(badSlot);
        size_t failed = cmds.size();
        for (size_t i = 0; i < cmds.size(); ++i) {
            if (cmds[i].outcome.find("injected") != std::string::npos) failed = i;
        }
        ASSERT_LT(failed, cmds.size()) << "the fault was never reached";
        EXPECT_EQ(cmds[failed].op(), f.opcode);
        EXPECT_EQ(cmds.size() - failed - 1, static_cast<size_t>(f.commandsAfter))
            << "commands after the failure";

        EXPECT_EQ(r.Status(goodSlot), 0) << r.Text(goodSlot);
        EXPECT_EQ(r.Mark(goodSlot), "V");
        EXPECT_EQ(r.Text(goodSlot), "1 Chip(s)   32 MB");
        EXPECT_EQ(Only(r.Trace(goodSlot), 0x28).size(), 2u);
    }
}

TEST(FormatFaults, AnUnpluggedDiskFailsAtTheCommandThatFoundItGone) {
    FormatRig r;
    Apply(r, FaultRecipe());
    simbus::PlugOptions gone;
    gone.device.chips = {0x75};
    gone.faults.push_back({0x2A, 2, true});  // removed during the loader
    const int16_t slot = r.Add(gone);
    Format7301(r.Job(slot));
    EXPECT_EQ(r.Status(slot), 0x80);
    EXPECT_EQ(r.Text(slot), "Error Status = 80");
}
