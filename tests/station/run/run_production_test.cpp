// The production run on simulated disks: items in order with skips after a
// failure, the verdict, the single end-of-run report, ports above 8, and the
// pause between items.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "core/monitor_link.h"
#include "prodlog/store.h"
#include "run/production_log.h"
#include "run/rolling.h"
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

// ---------------------------------------------------------------------------
// Property: on any set of disks with any injected faults, the run passes
// exactly when every family disk present is served with status 0 and holds
// the recipe, and the report lists every one of them.

namespace {

// Every command the station sends in discovery and a run, by opcode.
constexpr uint8_t kStationOps[] = {0x00, 0x25, 0x28, 0x2A, 0x73, 0x74, 0x75, 0x7C, 0x81, 0x82,
                                   0x83, 0x93, 0x96, 0x97, 0x99, 0x9A, 0x9B, 0x9C, 0xF5, 0xF7};

struct PlannedDisk {
    simbus::PlugOptions options = Small();
    bool family = true;
    std::string note;
};

PlannedDisk RandomDisk(std::mt19937& rng) {
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    PlannedDisk d;
    if (pick(10) == 0) {
        d.family = false;
        d.options.device.kind = simdev::FreshOptions::Kind::PlainDisk;
        d.options.device.revision = "1.00";
        d.note = "plain";
        return d;
    }
    // Sectors about the loader and the partition's start, or far beyond them.
    auto sector = [&] {
        return static_cast<uint64_t>(pick(4) == 0 ? 20000 + pick(100) : pick(400));
    };
    const int faults = pick(3);
    for (int k = 0; k < faults; ++k) {
        std::ostringstream what;
        switch (pick(5)) {
            case 0:
                d.options.device.faults.flip_bits = sector();
                what << "flip " << *d.options.device.faults.flip_bits;
                break;
            case 1:
                d.options.device.faults.drop_writes_from = sector();
                what << "drop " << *d.options.device.faults.drop_writes_from;
                break;
            case 2:
                d.options.device.faults.read_error = sector();
                what << "read-error " << *d.options.device.faults.read_error;
                break;
            default: {
                simbus::Fault f;
                f.opcode = kStationOps[pick(sizeof kStationOps)];
                f.nth =
                    static_cast<uint32_t>(1 + pick(f.opcode == 0x28 || f.opcode == 0x2A ? 40 : 3));
                f.unplug = pick(4) == 0;
                d.options.faults.push_back(f);
                what << (f.unplug ? "unplug-at " : "fail ") << std::hex << int{f.opcode} << ":"
                     << std::dec << f.nth;
            }
        }
        d.note += what.str() + " ";
    }
    return d;
}

// What a made disk holds: the recipe's identity in its configuration block,
// the loader image on its loader unit, a FAT16 boot sector with the recipe's
// label on its partition. Empty when it holds all that, else what differs.
std::string MediaProblem(Rig& r, const std::string& id) {
    const auto state = r.tb.bus().inspect(id);
    if (!state) return "no state";
    const auto& config = (*state)["device"]["config_block"];
    const std::pair<const char*, const char*> fields[] = {
        {"vid", "1234"},           {"pid", "5678"},          {"manufacturer", "Korva"},
        {"product", "Flash Disk"}, {"scsi_vendor", "KORVA"}, {"scsi_product", "FLASH DISK"}};
    if (!config.value("stored", false) || !config.value("valid", false)) return "no valid block";
    for (const auto& [key, want] : fields) {
        if (config.value(key, std::string()).rfind(want, 0) != 0)
            return std::string("config ") + key;
    }
    const std::string loader = r.tb.root() + "/" + id + ".cdrom";
    const std::string image = ReadFile(r.home + "/files/7301.img");
    if (!r.tb.bus().export_unit(id, "cdrom", loader)) return "no loader unit";
    if (ReadFile(loader).substr(0, image.size()) != image) return "loader bytes";
    const std::string part = r.tb.root() + "/" + id + ".disk1";
    if (!r.tb.bus().export_unit(id, "disk1", part)) return "no partition";
    const std::string boot = ReadFile(part).substr(0, 512);
    if (boot.size() < 512 || boot.compare(510, 2, "\x55\xAA") != 0) return "boot signature";
    if (boot.compare(43, 15, "PRODUCT    FAT1") != 0) return "boot sector label";
    return {};
}

}  // namespace

TEST(RunProperty, ExitCodePassesExactlyTheDisksThatWereMade) {
    const char* seedText = std::getenv("UFD_PROPERTY_SEED");
    const uint32_t seed = seedText ? static_cast<uint32_t>(std::strtoul(seedText, nullptr, 0))
                                   : std::random_device{}();
    const char* casesText = std::getenv("UFD_PROPERTY_CASES");
    const int cases = casesText ? std::atoi(casesText) : 200;
    std::mt19937 rng(seed);
    for (int c = 0; c < cases && !::testing::Test::HasFailure(); ++c) {
        std::ostringstream plan;
        plan << "UFD_PROPERTY_SEED=" << seed << ", case " << c << ":";
        Rig r;
        std::vector<PlannedDisk> disks(1 + rng() % 8);
        for (auto& d : disks) {
            d = RandomDisk(rng);
            r.Plug(d.options);
            plan << " [" << d.note << "]";
        }
        SCOPED_TRACE(plan.str());
        r.StartUp();
        std::atomic<uint64_t> ticks{0};
        r.st.TimeOfDay = [&ticks] { return 1000.0 + 0.5 * static_cast<double>(ticks++); };
        HeadlessOptions opts;
        opts.action = HeadlessAction::Run;
        opts.items_given = true;
        opts.items = {"format", "manufacture", "check-config"};
        // Family disks still there when the run starts.
        std::vector<std::string> present;
        for (size_t k = 0; k < disks.size(); ++k) {
            if (disks[k].family && (*r.tb.bus().inspect(r.ids[k]))["plugged"].get<bool>()) {
                present.push_back(r.ids[k]);
            }
        }
        std::ostringstream out;
        const int code = RunHeadlessAction(r.st, opts, out);
        const auto report = nlohmann::json::parse(ReportJson(r.st, {"run", "", ""}));

        bool made = !present.empty();
        for (const std::string& id : present) {
            const auto port =
                std::find_if(report["ports"].begin(), report["ports"].end(), [&](const auto& p) {
                    return p["device_path"].template get<std::string>().find(id) !=
                           std::string::npos;
                });
            ASSERT_NE(port, report["ports"].end()) << id << " is not in the report\n" << out.str();
            const std::string problem = MediaProblem(r, id);
            if (!(*port)["served"].get<bool>() || (*port)["error_status"].get<int>() != 0 ||
                !problem.empty()) {
                made = false;
            }
            EXPECT_TRUE((*port)["error_status"].get<int>() != 0 || problem.empty())
                << id << " passed but holds a wrong " << problem << "\n"
                << out.str();
        }
        EXPECT_EQ(code == kExitPassed, made) << "exit " << code << "\n" << out.str();
        for (size_t k = 0; k < disks.size(); ++k) {
            EXPECT_TRUE(disks[k].family || r.Ops(k).empty()) << "a plain disk was sent commands";
        }
    }
}

// Rolling production: sockets that start and end on their own, finished
// disks that are not run twice, the lot, and a soak of plug and pull events.
namespace {

// Ticks the rolling station as its polling timer does until `done` holds.
bool Roll(Rig& r, const std::function<bool()>& done, std::chrono::seconds limit = 120s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        RollingTick(r.st);
        if (done()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
}

SocketState SocketOf(const Rig& r, int row) {
    return RollingSockets(r.st).at(static_cast<size_t>(row)).state;
}

// The row whose port holds a unit of device `id`, or -1.
int RowOf(const Rig& r, const std::string& id) {
    for (int row = 0; row < kMaxRunPorts; ++row) {
        if (r.st.ports[static_cast<size_t>(row)].DevicePath.find(id) != std::string::npos)
            return row;
    }
    return -1;
}

// Pulls disk `k` and seats it again, each seen by a discovery.
void Reseat(Rig& r, size_t k) {
    ASSERT_TRUE(r.tb.bus().unplug(r.ids[k]));
    r.st.DeviceEvent = kDeviceEventRemoval;
    ASSERT_TRUE(Roll(r, [&] { return RowOf(r, r.ids[k]) < 0; }));
    ASSERT_TRUE(r.tb.bus().replug(r.ids[k]));
    r.st.DeviceEvent = kDeviceEventArrival;
}

}  // namespace

TEST(RollingRun, SocketsRunOnTheirOwnAndAFinishedDiskRunsAgainOnlyAsReWork) {
    std::atomic<bool> hold{true};
    struct Release {
        std::atomic<bool>& hold;
        ~Release() { hold = false; }
    } release{hold};
    Rig r;
    r.Plug();
    simbus::PlugOptions foreign = Small();
    foreign.device.kind = simdev::FreshOptions::Kind::PlainDisk;
    foreign.device.revision = "1.00";
    r.Plug(foreign);
    r.StartUp();
    std::atomic<uint64_t> ticks{0};
    const auto self = std::this_thread::get_id();
    r.st.TimeOfDay = [&hold, &ticks, self] {
        while (hold && std::this_thread::get_id() != self) std::this_thread::sleep_for(1ms);
        return 1000.0 + 0.05 * static_cast<double>(ticks++);
    };
    r.SetItems({.format = true, .manufacture = true});
    ASSERT_TRUE(RollingArm(r.st, true));
    ASSERT_EQ(SocketOf(r, 0), SocketState::Running);
    const std::string working = r.st.RowDisk[0];

    // A disk seated while the first works starts at the tick that finds it,
    // and the working socket keeps its disk and row.
    r.Plug();
    r.st.DeviceEvent = kDeviceEventArrival;
    RollingTick(r.st);
    const int second = RowOf(r, r.ids[2]);
    ASSERT_GT(second, 0);
    EXPECT_EQ(SocketOf(r, second), SocketState::Running);
    EXPECT_EQ(r.st.RowDisk[0], working);
    hold = false;
    ASSERT_TRUE(Roll(r, [&] { return RollingLot(r.st).passed == 2; }));
    EXPECT_EQ(RollingLot(r.st).Text(), "2 passed, 0 failed");
    EXPECT_TRUE(r.Ops(1).empty()) << "the plain disk was sent commands";

    // Re-seated, the finished disk shows its serial and gets no second block.
    Reseat(r, 0);
    ASSERT_TRUE(Roll(r, [&] { return SocketOf(r, 0) == SocketState::Finished; }));
    EXPECT_EQ(SocketOf(r, second), SocketState::Passed);
    EXPECT_EQ(r.Caption("FG", 0), "finished");
    EXPECT_FALSE(RollingSockets(r.st)[0].serial.empty());
    EXPECT_EQ(r.Caption("FR", 0), RollingSockets(r.st)[0].serial);
    EXPECT_EQ(r.Count(0, kConfigWrite), 1);

    // Re-work: asked for one row, or for every finished disk when armed so.
    r.SetItems({.manufacture = true});
    ASSERT_TRUE(ReworkPort(r.st, 0));
    ASSERT_TRUE(Roll(r, [&] { return RollingLot(r.st).passed == 3; }));
    EXPECT_EQ(r.Count(0, kConfigWrite), 2);
    Reseat(r, 0);
    ASSERT_TRUE(Roll(r, [&] { return SocketOf(r, 0) == SocketState::Finished; }));
    ASSERT_TRUE(RollingArm(r.st, false));
    ASSERT_TRUE(RollingArm(r.st, true, {.rework = true}));
    ASSERT_TRUE(Roll(r, [&] { return RollingLot(r.st).passed == 1; }));
    EXPECT_EQ(SocketOf(r, second), SocketState::Passed);
    EXPECT_EQ(r.Count(0, kConfigWrite), 3);
}

TEST(RollingRun, LotStopsArmingAtItsCountAndAPulledDiskFailsOnlyItsSocket) {
    Rig r;
    r.Plug(Small({{kConfigWrite, 1, true}}));  // pulled as its block is written
    r.Plug();
    r.Plug();
    r.Plug();
    r.StartUp();
    r.FastClock();
    LogSetup setup;
    setup.url = r.tb.root() + "/production.db";
    std::string error;
    ASSERT_TRUE(OpenProductionLog(r.st, setup, &error)) << error;
    r.SetItems({.format = true, .manufacture = true});
    ASSERT_TRUE(RollingArm(r.st, true, {.lowLevelFormat = true, .lot = 2}));
    const std::string lot = RollingLot(r.st).id;
    ASSERT_FALSE(lot.empty());
    ASSERT_TRUE(Roll(r, [&] { return RollingLot(r.st).complete; }));
    // The pulled disk failed; one fresh disk was never started.
    EXPECT_EQ(RollingLot(r.st).Text(), "2 of 2 passed, 1 failed");
    EXPECT_EQ(r.Caption("PassLab"), "! FAILED !");
    EXPECT_EQ(r.Caption("StatusLine"), "Lot " + lot + ": 2 of 2 passed, 1 failed");
    int untouched = 0;
    for (size_t k = 1; k < 4; ++k) {
        const bool ran = r.Count(k, kConfigWrite) == 1;
        untouched += ran ? 0 : 1;
        // Each disk that ran was erased block by block first.
        EXPECT_EQ(r.Count(k, 0x98) >= 1024, ran) << k;
    }
    EXPECT_EQ(untouched, 1);
    // A new lot: the waiting disk starts, and so does the next disk seated
    // in the pulled disk's socket; the disks that passed stay as they are.
    ASSERT_TRUE(RollingArm(r.st, false));
    ASSERT_TRUE(RollingArm(r.st, true));
    EXPECT_EQ(SocketOf(r, 0), SocketState::Empty);
    ASSERT_TRUE(r.tb.bus().replug(r.ids[0]));  // seated again: fresh, no block was kept
    r.st.DeviceEvent = kDeviceEventArrival;
    ASSERT_TRUE(Roll(r, [&] { return RollingLot(r.st).passed == 2; }));
    EXPECT_EQ(RowOf(r, r.ids[0]), 0);
    EXPECT_EQ(SocketOf(r, 0), SocketState::Passed);
    EXPECT_EQ(RollingLot(r.st).failed, 0);
    for (size_t k = 1; k < 4; ++k) EXPECT_EQ(r.Count(k, kConfigWrite), 1) << k;

    // The log keeps each disk of the first lot with its lot id.
    auto store = prodlog::OpenStore(setup.url, &error, prodlog::OpenMode::ReadOnly);
    ASSERT_TRUE(store) << error;
    prodlog::LogFilter f;
    f.lot_id = lot;
    std::vector<prodlog::DiskRecord> records;
    ASSERT_TRUE(store->Query(f, &records).ok);
    EXPECT_EQ(std::count_if(records.begin(), records.end(), [](auto& x) { return x.passed; }), 2);
    EXPECT_EQ(records.size(), 3u);
    std::string out;
    EXPECT_EQ(RunProgram(UFD_BIN_DIR "/galmor log --log " + setup.url + " --lot " + lot +
                             " --summary --format csv",
                         &out),
              0);
    EXPECT_NE(out.find(",3,2,1,66.7"), std::string::npos) << out;
}

TEST(RollingRun, SoakOfPlugAndPullEventsRunsNoDiskTwice) {
    const char* casesText = std::getenv("UFD_PROPERTY_CASES");
    const int events = casesText ? 5 * std::atoi(casesText) : 500;
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const auto fds = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto pages = [] {
        long size = 0, resident = 0;
        std::ifstream("/proc/self/statm") >> size >> resident;
        return resident;
    };
    Rig r;
    r.StartUp();
    r.FastClock();
    r.SetItems({.format = true, .manufacture = true});
    ASSERT_TRUE(RollingArm(r.st, true));
    const auto fdsBefore = fds();
    long pagesAt = 0;
    std::vector<std::string> seated;
    int reseated = 0;  // made disks seated again
    for (int e = 0; e < events; ++e) {
        if (e == events / 5) pagesAt = pages();
        const uint32_t pick = rng() % 3;
        if (seated.empty() || (pick == 0 && seated.size() < 6)) {
            seated.push_back(r.Plug());
            r.st.DeviceEvent = kDeviceEventArrival;
        } else {
            const size_t k = rng() % seated.size();
            const int row = RowOf(r, seated[k]);
            if (pick == 1 || row < 0 || SocketOf(r, row) != SocketState::Passed) {
                // Pulled for good (also mid-job).
                ASSERT_TRUE(r.tb.bus().unplug(seated[k]));
                seated.erase(seated.begin() + static_cast<long>(k));
            } else {
                ASSERT_TRUE(r.tb.bus().replug(seated[k]));  // a made disk seated again
                ++reseated;
            }
            r.st.DeviceEvent = kDeviceEventRemoval;
        }
        for (int t = 0; t < 3; ++t) {
            RollingTick(r.st);
            std::this_thread::sleep_for(2ms);
        }
    }
    for (const auto& id : seated) ASSERT_TRUE(r.tb.bus().unplug(id));
    r.st.DeviceEvent = kDeviceEventRemoval;
    ASSERT_TRUE(Roll(r, [&] {
        return RollingLot(r.st).running == 0 && r.st.DeviceEvent == kDeviceEventHandled;
    }));
    RollingTick(r.st);
    EXPECT_LE(fds(), fdsBefore);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers keep freed memory and shadow of their own: counted
    // without them.
    EXPECT_LT(pages() - pagesAt, 4096) << "resident pages grew from " << pagesAt;
#endif
    std::cout << "soak: " << events << " events, " << RollingLot(r.st).passed << " passed, "
              << reseated << " made disks seated again, resident pages " << pagesAt << " -> "
              << pages() << ", descriptors " << fdsBefore << " -> " << fds() << "\n";
    for (size_t k = 0; k < r.ids.size(); ++k) EXPECT_LE(r.Count(k, kConfigWrite), 1) << r.ids[k];
    EXPECT_GT(reseated, 0);
}
