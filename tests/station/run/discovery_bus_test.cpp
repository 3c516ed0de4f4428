// Disk discovery on the simulated bus: which units become ports, what each
// controller is sent, the start controls, and the handles it keeps.
#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "controller/steps.h"
#include "run/discovery.h"
#include "run/polling_timer.h"
#include "run/run.h"
#include "station_on_bus.h"
#include "ui/grid.h"

namespace galmor {
namespace {

const std::vector<int> kFreshProbe = {0x9C, 0x74, 0x73, 0x75, 0xF5, 0x96, 0x83, 0x97};

std::vector<int> Join(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class DiscoveryOnBus : public testing::StationOnBus {
  protected:
    static simbus::PlugOptions Device(void (*tweak)(simdev::FreshOptions&)) {
        simdev::FreshOptions d;
        tweak(d);
        return With(d);
    }
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        for (const auto& m : st.model.Messages()) out.push_back(m.text);
        return out;
    }
    // Drives a fresh device to a finished one: configuration block, a layout
    // with a loader disk, commit, and a re-plug.
    void Finish(const std::string& id, int index) {
        ProductSettings& s = st.settings;
        s.Vid = "0E5A";
        s.Pid = "7301";
        s.UsbManufacturer = s.ScsiVendor = "MAKER";
        s.UsbProduct = s.ScsiProduct = "DISK";
        const int32_t h = Attach(16, index);
        ASSERT_EQ(BuildConfigBlock(Job(16), true), BuildResult::Written);
        std::array<uint8_t, kSector> layout{};
        layout[15] = 64;  // loader disk of 64 KB
        ASSERT_EQ(st.lib.VendorW(h, 0x99, 512, layout.data()), 1);
        std::array<uint8_t, kSector> commit{};
        commit[0] = 0x84;
        ASSERT_EQ(st.lib.VendorW(h, 0xF5, 512, commit.data()), 1);
        Sarnik::CloseHandle(h);
        st.ports[15].Handle = 0;
        ASSERT_TRUE(bus.bus().replug(id));
    }
};

TEST_F(DiscoveryOnBus, FreshFamilyDeviceBecomesAPortAfterTheProbe) {
    const std::string id = Plug();
    PollingDiskStatus(st, true);

    EXPECT_EQ(VendorOps(id), Join(kFreshProbe, {0x7C}));
    const auto trace = Trace(id);
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front().substr(0, 29), "9C 09 00 00 02 00 00 00 00 00");

    ASSERT_EQ(st.DiskCount, 1);
    const PortRecord& p = st.ports[0];
    EXPECT_GT(p.Handle, 0);
    EXPECT_NE(fcntl(p.Handle, F_GETFD), -1);
    EXPECT_TRUE(Contains(p.DevicePath, "rev_7.77")) << p.DevicePath;
    EXPECT_TRUE(Contains(p.DevicePath, id));
    EXPECT_EQ(p.ErrorStatus, 0);
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPicturePresent);
    EXPECT_TRUE(st.model.Get1("GoCmd").enabled);
    EXPECT_FALSE(st.model.Get1("WaitLab").visible);
    EXPECT_TRUE(st.NoCdromUnit);
    EXPECT_TRUE(Messages().empty());
    // The port's handle reaches the device.
    std::array<uint8_t, kSector> info{};
    EXPECT_EQ(st.lib.VendorR(p.Handle, 0x75, info.data()), 1);
}

TEST_F(DiscoveryOnBus, ControllerStateDecidesTheProbeCommands) {
    struct Case {
        const char* name;
        void (*tweak)(simdev::FreshOptions&);
        std::vector<int> probe;
        std::vector<std::string> messages;
    };
    const std::vector<int> flaggedTail = {0xF5, 0x96};
    const Case cases[] = {
        {"password",
         [](simdev::FreshOptions& d) { d.password = true; },
         Join({0x9C, 0x74, 0x73, 0x75}, flaggedTail),
         {}},
        {"old firmware, switch on",
         [](simdev::FreshOptions& d) {
             d.fw_rev = 2;
             d.wp_switch_on = true;
         },
         Join({0x9C, 0x74, 0x73, 0x75}, flaggedTail),
         {}},
        {"old firmware, writable", [](simdev::FreshOptions& d) { d.fw_rev = 2; }, kFreshProbe, {}},
        {"software write protect",
         [](simdev::FreshOptions& d) { d.sw_write_protect = true; },
         Join({0x9C, 0x74, 0x73, 0x75, 0x9B, 0x96}, flaggedTail),
         {}},
        {"hardware write protect",
         [](simdev::FreshOptions& d) { d.hw_write_protect = true; },
         Join({0x9C, 0x74, 0x73, 0x75}, flaggedTail),
         {"Hardware Write Protect!! MP can't handle this !!"}},
        {"bad blocks and hardware write protect",
         [](simdev::FreshOptions& d) {
             d.bad_blocks = true;
             d.hw_write_protect = true;
         },
         Join({0x9C, 0x74, 0x73, 0x75}, flaggedTail),
         {"Hardware Write Protect!! MP can't handle this !!",
          "Too many Bad Block !!!  MP can't handle this !!"}},
    };
    // Every kind on one bus: each device sees only its own commands.
    std::vector<std::string> ids;
    for (const Case& c : cases) ids.push_back(Plug(Device(c.tweak)));
    PollingDiskStatus(st, true);
    std::vector<std::string> expectedMessages;
    for (size_t k = 0; k < ids.size(); ++k) {
        SCOPED_TRACE(cases[k].name);
        EXPECT_EQ(VendorOps(ids[k]), Join(cases[k].probe, {0x7C}));
        expectedMessages.insert(expectedMessages.end(), cases[k].messages.begin(),
                                cases[k].messages.end());
        // Flags never keep a device from becoming a port.
        EXPECT_TRUE(Contains(st.ports[k].DevicePath, ids[k]));
        EXPECT_EQ(st.ports[k].ErrorStatus, 0);
    }
    EXPECT_EQ(st.DiskCount, static_cast<int>(ids.size()));
    EXPECT_EQ(Messages(), expectedMessages);
}

TEST_F(DiscoveryOnBus, UnreadSetupPageIsNotWrittenBack) {
    // A page that could not be read from this controller is not written to
    // it: the buffer would hold another controller's page or nothing.
    const std::string first = Plug();
    const std::string second = Plug(With({}, {{0x9C, 1, false}}));
    PollingDiskStatus(st, true);
    EXPECT_EQ(VendorOps(first), Join(kFreshProbe, {0x7C}));
    EXPECT_EQ(VendorOps(second), (std::vector<int>{0x9C, 0x75, 0xF5, 0x96, 0x83, 0x97, 0x7C}));
    EXPECT_EQ(st.DiskCount, 2);
}

TEST_F(DiscoveryOnBus, FinishedDeviceIsMarkedAndStartStaysOff) {
    const std::string finished = Plug();
    Finish(finished, 0);
    const std::string fresh = Plug();
    PollingDiskStatus(st, true);

    // The finished device shows its CD-ROM unit and a disk unit of rev 8.00;
    // only the CD-ROM unit is taken.
    ASSERT_EQ(st.DiskCount, 2);
    int cd = -1;
    for (int p = 0; p < 2; ++p) {
        if (Contains(st.ports[p].DevicePath, "cdrom")) cd = p;
    }
    ASSERT_GE(cd, 0);
    const int other = 1 - cd;
    EXPECT_TRUE(Contains(st.ports[cd].DevicePath, "rev_8.00"));
    EXPECT_TRUE(Contains(st.ports[cd].DevicePath, finished));
    EXPECT_EQ(st.ports[cd].ErrorStatus, 0x7E);
    EXPECT_EQ(Label("ThumbImage", cd).picture, kPictureFailed);
    EXPECT_TRUE(Contains(st.ports[other].DevicePath, fresh));
    EXPECT_EQ(st.ports[other].ErrorStatus, 0);
    EXPECT_EQ(Label("ThumbImage", other).picture, kPicturePresent);

    EXPECT_FALSE(st.NoCdromUnit);
    EXPECT_FALSE(st.model.Get1("GoCmd").enabled);
    EXPECT_TRUE(st.model.Get1("WaitLab").visible);
    EXPECT_FALSE(st.model.Get1("PassLab").visible);
    EXPECT_TRUE(st.model.Get1("LedCmd").enabled);
}

TEST_F(DiscoveryOnBus, ForeignAndNonUsbUnitsNeverBecomePorts) {
    simdev::FreshOptions plain;
    plain.kind = simdev::FreshOptions::Kind::PlainDisk;
    plain.vendor = "GENERIC";
    plain.product = "USB DISK";
    plain.revision = "1.00";
    simdev::FreshOptions offUsb;  // a family controller, but not on USB
    offUsb.usb = false;
    const std::string foreign = Plug(With(plain));
    const std::string notUsb = Plug(With(offUsb));
    const int before = testing::OpenDescriptors();
    PollingDiskStatus(st, true);

    EXPECT_EQ(st.DiskCount, 0);
    EXPECT_EQ(testing::OpenDescriptors(), before);
    EXPECT_TRUE(VendorOps(foreign).empty());
    EXPECT_TRUE(bus.Opcodes(notUsb).empty());
    EXPECT_FALSE(st.model.Get1("GoCmd").enabled);
    EXPECT_FALSE(st.model.Get1("WaitLab").visible);

    // Next to a family device, the family device is the only port.
    const std::string family = Plug();
    PollingDiskStatus(st, true);
    ASSERT_EQ(st.DiskCount, 1);
    EXPECT_TRUE(Contains(st.ports[0].DevicePath, family));
    EXPECT_TRUE(bus.Opcodes(notUsb).empty());
    EXPECT_TRUE(VendorOps(foreign).empty());
    EXPECT_EQ(testing::OpenDescriptors(), before + 1);
}

TEST_F(DiscoveryOnBus, DevicesThatFailVendorReadsGetNoVendorWrite) {
    // Devices of other makes whose path text passes the filters: a USB
    // CD-ROM unit, a disk of revision "7.77" and one of revision "7.01". Each
    // read is tried twice; the CD-ROM unit is then foreign and never a port,
    // the disks, whose paths name the family, are ports that fail with 0x75.
    auto foreign = [](const char* revision, bool cdrom) {
        simdev::FreshOptions d;
        d.kind = simdev::FreshOptions::Kind::PlainDisk;
        d.vendor = "OTHER";
        d.product = "USB DEVICE";
        d.revision = revision;
        d.with_cdrom = cdrom;
        return With(d);
    };
    const std::string family = Plug();
    const std::string cdrom = Plug(foreign("1.00", true));
    const std::string rev777 = Plug(foreign("7.77", false));
    const std::string rev701 = Plug(foreign("7.01", false));
    const std::vector<int> reads = {0x9C, 0x75, 0x7C};
    for (int round = 0; round < 2; ++round) {  // arrival and removal discoveries
        SCOPED_TRACE(round);
        PollingDiskStatus(st, round == 0);
        ASSERT_EQ(st.DiskCount, 3);
        EXPECT_TRUE(Contains(st.ports[0].DevicePath, family));
        EXPECT_EQ(st.ports[0].ErrorStatus, 0);
        for (int p : {1, 2}) {
            EXPECT_TRUE(Contains(st.ports[p].DevicePath, p == 1 ? rev777 : rev701));
            EXPECT_EQ(st.ports[p].ErrorStatus, 0x75);
            EXPECT_EQ(Label("ThumbImage", p).picture, kPictureFailed);
            EXPECT_EQ(Label("FR", p).caption, "Error Status = 75");
        }
        EXPECT_TRUE(st.model.Get1("GoCmd").enabled);
        EXPECT_TRUE(st.NoCdromUnit);
        for (const std::string& id : {cdrom, rev777, rev701}) {
            SCOPED_TRACE(id);
            const auto ops = VendorOps(id);
            for (int op : ops) {
                EXPECT_NE(std::find(reads.begin(), reads.end(), op), reads.end()) << std::hex << op;
            }
        }
        // A read failed twice ends the conversation with a device.
        EXPECT_EQ(VendorOps(rev777).size(), round == 0 ? 3u : 6u);
        EXPECT_EQ(VendorOps(rev701).size(), round == 0 ? 2u : 4u);
        EXPECT_EQ(VendorOps(cdrom).size(), round == 0 ? 2u : 4u);
        if (round == 0) {
            EXPECT_EQ(VendorOps(family), Join(kFreshProbe, {0x7C}));
        }
    }
}

TEST_F(DiscoveryOnBus, FamilyDiskWhoseReadsFailNeverDropsOut) {
    // Reads that fail once are tried again; a disk whose device information
    // stays unreadable is a port that fails, with no vendor write.
    const std::string once75 = Plug(With({}, {{0x75, 1, false}}));
    const std::string once7C = Plug(With({}, {{0x7C, 1, false}}));
    const std::string always = Plug(With({}, {{0x75, 1, false}, {0x75, 2, false}}));
    PollingDiskStatus(st, true);

    ASSERT_EQ(st.DiskCount, 3);
    const std::vector<int> info = {0x9C, 0x74, 0x73, 0x75, 0x75};
    EXPECT_EQ(VendorOps(once75), Join(info, {0xF5, 0x96, 0x83, 0x97, 0x7C}));
    EXPECT_EQ(VendorOps(once7C), Join(kFreshProbe, {0x7C, 0x7C}));
    EXPECT_EQ(VendorOps(always), info);
    EXPECT_EQ(st.ports[0].ErrorStatus + st.ports[1].ErrorStatus, 0);
    EXPECT_TRUE(Contains(st.ports[2].DevicePath, always));
    EXPECT_EQ(Label("ThumbImage", 2).picture, kPictureFailed);
    EXPECT_EQ(Label("FR", 2).caption, "Error Status = 75");

    // The run fails it, served but sent nothing.
    st.model.SetChecked("Check1", 4, true);  // "Check WP" alone
    GoCmd_Click(st);
    WaitForWorkers(st);
    EXPECT_EQ(VendorOps(always), info);
    EXPECT_EQ(st.model.Get1("PassLab").caption, "! FAILED !");
    const RunOutcome outcome = st.Outcome();
    ASSERT_EQ(outcome.ports.size(), 3u);
    EXPECT_TRUE(outcome.ports[2].served);
    EXPECT_EQ(outcome.ports[2].status, 0x75);
    EXPECT_EQ(Label("FR", 2).caption, "Error Status = 75");

    // A later discovery that finds it readable clears the row's reason.
    PollingDiskStatus(st, true);
    EXPECT_EQ(st.ports[2].ErrorStatus, 0);
    EXPECT_FALSE(Label("FR", 2).visible);
}

TEST_F(DiscoveryOnBus, ProbeWaitsForAUnitAnotherProgramHoldsAndRefusesItAfterThat) {
    const std::string held = Plug();
    const int32_t other = st.lib.GetDiskHandle(0);
    for (const bool released : {true, false}) {
        SCOPED_TRACE(released);
        const size_t before = VendorOps(held).size();
        int32_t lock = st.lib.LockUnit(other);
        ASSERT_GT(lock, 0);
        std::thread release([&] {
            if (!released) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            st.lib.UnlockUnit(other, lock);
            lock = 0;
        });
        PollingDiskStatus(st, true);
        release.join();
        st.lib.UnlockUnit(other, lock);

        ASSERT_EQ(st.DiskCount, 1);
        std::vector<int> sent = VendorOps(held);
        sent.erase(sent.begin(), sent.begin() + static_cast<long>(before));
        EXPECT_EQ(sent, released ? Join(kFreshProbe, {0x7C}) : std::vector<int>{});
        EXPECT_EQ(st.ports[0].ErrorStatus, released ? 0 : 0xED);
        EXPECT_EQ(Label("FR", 0).caption, released ? "" : "Not probed: in use by another program");
    }
    Sarnik::CloseHandle(other);
}

TEST_F(DiscoveryOnBus, DiskThatVanishesDuringDiscoveryHidesNoOther) {
    for (const int op : {0x75, 0x7C}) {  // gone in the probe pass, in the collecting pass
        SCOPED_TRACE(op);
        const std::string gone = Plug(With({}, {{static_cast<uint8_t>(op), 1, true}}));
        const std::string healthy = Plug();
        PollingDiskStatus(st, true);
        ASSERT_EQ(st.DiskCount, 1);
        EXPECT_TRUE(Contains(st.ports[0].DevicePath, healthy));
        EXPECT_EQ(st.ports[0].ErrorStatus, 0);
        EXPECT_EQ(VendorOps(healthy), Join(kFreshProbe, {0x7C}));
        ASSERT_TRUE(bus.bus().unplug(healthy));
        PollingDiskStatus(st, false);
    }
}

TEST_F(DiscoveryOnBus, FamilyUnitThatCannotBeOpenedYetIsTriedAgainThenShown) {
    // The Linux platform on a fake sysfs tree: a USB disk unit whose node is
    // not there yet (udev still at work), then appears, or never does.
    namespace fs = std::filesystem;
    const fs::path sys = bus.root() + "/sys", dev = bus.root() + "/dev";
    const fs::path iface = sys / "devices/usb2/2-1/2-1:1.0";
    const fs::path unit = iface / "host2/target2:0:0/2:0:0:0";
    fs::create_directories(unit / "scsi_generic/sg1");
    fs::create_directories(sys / "bus/scsi/devices");
    fs::create_directories(dev);
    fs::create_symlink("../../drivers/usb-storage", iface / "driver");
    fs::create_symlink(unit, sys / "bus/scsi/devices/2:0:0:0");
    for (const auto& [attr, text] : {std::pair{"type", "0"},
                                     {"vendor", "KORVA"},
                                     {"model", "USB FLASH DISK"},
                                     {"rev", "7.77"}}) {
        testbus::WriteFile((unit / attr).string(), std::string(text) + "\n");
    }
    const std::string simBus = std::getenv("SARNIK_SIM_BUS");
    unsetenv("SARNIK_SIM_BUS");
    setenv("SARNIK_SYSFS_ROOT", sys.c_str(), 1);
    setenv("SARNIK_DEV_ROOT", dev.c_str(), 1);

    PollingDiskStatus(st, true);
    ASSERT_EQ(st.DiskCount, 1);
    EXPECT_TRUE(Contains(st.ports[0].DevicePath, "rev_7.77"));
    EXPECT_EQ(st.ports[0].Handle, 0);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0xEE);
    EXPECT_EQ(Label("FR", 0).caption, "Cannot be opened (ENOENT)");
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPictureFailed);
    // The row says the system's reason, whatever it is.
    fs::create_directory(dev / "sg1");
    PollingDiskStatus(st, false);
    EXPECT_EQ(Label("FR", 0).caption, "Cannot be opened (EISDIR)");
    fs::remove(dev / "sg1");

    // The node appears a moment after the arrival: the unit is opened (a
    // file answers no command, so its probe fails).
    std::thread udev([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        testbus::WriteFile((dev / "sg1").string(), "");
    });
    PollingDiskStatus(st, true);
    udev.join();
    ASSERT_EQ(st.DiskCount, 1);
    EXPECT_GT(st.ports[0].Handle, 0);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0x75);

    // Opened, but its whole-disk node cannot be locked: not "in use", the
    // row says why.
    fs::create_directories(unit / "block/sdz");
    PollingDiskStatus(st, true);
    ASSERT_EQ(st.DiskCount, 1);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0xEE);
    EXPECT_EQ(Label("FR", 0).caption, "Cannot be opened (ENOENT)");

    // udev makes the node usable only later, and no event comes for that:
    // the polling timer looks again (not at once, and only while a row waits).
    EXPECT_FALSE(OpenRetryDue(st));
    EXPECT_FALSE(Timer1_Timer(st));
    testbus::WriteFile((dev / "sdz").string(), "");
    st.OpenRetryNext = std::chrono::steady_clock::now();
    EXPECT_TRUE(Timer1_Timer(st));
    setenv("SARNIK_SIM_BUS", simBus.c_str(), 1);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0x75);
    EXPECT_EQ(st.OpenRetryNext, std::chrono::steady_clock::time_point{});
    EXPECT_FALSE(Timer1_Timer(st));
}

TEST_F(DiscoveryOnBus, DeviceKeyIsSharedByTheUnitsOfOneDevice) {
    EXPECT_EQ(DeviceKey("\\\\?\\usbstor#disk&ven_a&prod_b&rev_7.77#D12&0#{guid}"), "d12");
    EXPECT_EQ(DeviceKey("\\\\?\\usbstor#cdrom&ven_a&prod_b&rev_8.00#d12&1#{guid}"), "d12");
    EXPECT_EQ(DeviceKey("\\\\?\\usbstor#disk&ven_a&prod_b&rev_1#6&0&0&1#{guid}"), "6&0&0");
    EXPECT_NE(DeviceKey("\\\\?\\usbstor#disk&ven_a#6&0&0&1#{g}"),
              DeviceKey("\\\\?\\usbstor#disk&ven_a#7&0&0&1#{g}"));
}

TEST_F(DiscoveryOnBus, AtMostSixteenPortsFromSeventeenIndexes) {
    std::vector<std::string> ids;
    for (int k = 0; k < 18; ++k) ids.push_back(Plug());
    const int before = testing::OpenDescriptors();
    PollingDiskStatus(st, true);

    ASSERT_EQ(st.DiskCount, 16);
    for (int p = 0; p < 16; ++p) {
        EXPECT_TRUE(Contains(st.ports[p].DevicePath, ids[p])) << p;
        EXPECT_EQ(VendorOps(ids[p]), Join(kFreshProbe, {0x7C})) << p;
    }
    // Index 16 is probed but has no room in the table; index 17 is never tried.
    EXPECT_EQ(VendorOps(ids[16]), kFreshProbe);
    EXPECT_TRUE(bus.Opcodes(ids[17]).empty());
    EXPECT_EQ(testing::OpenDescriptors(), before + 16);
    EXPECT_TRUE(st.model.Get1("GoCmd").enabled);
}

TEST_F(DiscoveryOnBus, RepeatedDiscoveriesKeepNoStaleHandles) {
    Plug();
    const std::string second = Plug();
    PollingDiskStatus(st, true);
    ASSERT_EQ(st.DiskCount, 2);
    const int settled = testing::OpenDescriptors();
    for (int k = 0; k < 10; ++k) PollingDiskStatus(st, k % 2 == 0);
    EXPECT_EQ(testing::OpenDescriptors(), settled);
    EXPECT_EQ(st.DiskCount, 2);

    // A removal notice empties the old ports first.
    ASSERT_TRUE(bus.bus().unplug(second));
    PollingDiskStatus(st, false);
    EXPECT_EQ(st.DiskCount, 1);
    EXPECT_EQ(testing::OpenDescriptors(), settled - 1);
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPicturePresent);
    EXPECT_EQ(Label("ThumbImage", 1).picture, kPictureAbsent);
    EXPECT_EQ(st.ports[1].Handle, 0);

    // An arrival discovery that finds fewer units drops the extra ports too.
    const std::string third = Plug();
    PollingDiskStatus(st, true);
    ASSERT_EQ(st.DiskCount, 2);
    ASSERT_TRUE(bus.bus().unplug(third));
    PollingDiskStatus(st, true);
    EXPECT_EQ(st.DiskCount, 1);
    EXPECT_EQ(st.ports[1].Handle, 0);
    EXPECT_EQ(testing::OpenDescriptors(), settled - 1);
}

TEST_F(DiscoveryOnBus, HandleHandedOutAgainIsKept) {
    Plug();
    PollingDiskStatus(st, true);
    ASSERT_EQ(st.DiskCount, 1);
    // Someone closed the port's handle without clearing the record; the
    // library may hand the same number to the unit found next.
    const int32_t old = st.ports[0].Handle;
    Sarnik::CloseHandle(old);
    PollingDiskStatus(st, true);
    ASSERT_EQ(st.DiskCount, 1);
    const int32_t now = st.ports[0].Handle;
    EXPECT_NE(fcntl(now, F_GETFD), -1) << "handle " << now << " (was " << old << ")";
    std::array<uint8_t, kSector> info{};
    EXPECT_EQ(st.lib.VendorR(now, 0x75, info.data()), 1);
}

TEST_F(DiscoveryOnBus, DevicePathLogIsReadAsWritten) {
    const std::string id = Plug();
    const int32_t h = st.lib.GetDiskHandle(0);  // leaves its path in the log
    ASSERT_NE(h, 0);
    Sarnik::CloseHandle(h);
    st.LastDevicePath = "stale";
    ReadDevicePathLog(st, 7);  // another selector: the discovery's path stays
    EXPECT_EQ(st.LastDevicePath, "stale");
    ReadDevicePathLog(st, 1000);
    EXPECT_TRUE(Contains(st.LastDevicePath, id));
    EXPECT_TRUE(Contains(st.LastDevicePath, "usbstor#disk"));
    EXPECT_NE(st.LastDevicePath.back(), '\n');
    EXPECT_NE(st.LastDevicePath.back(), '\r');

    EXPECT_EQ(st.lib.GetDiskHandle(5), 0);  // no such unit: the log is emptied
    ReadDevicePathLog(st, 1000);
    EXPECT_EQ(st.LastDevicePath, "");
}

}  // namespace
}  // namespace galmor
