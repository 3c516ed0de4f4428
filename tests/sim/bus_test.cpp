// The simulated bus with plain disks: enumeration, paths, commands, plug
// state, fault injection, timing, trace, export and damaged folders.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <thread>

#include "simtest.h"

using simdev::Direction;
using simdev::UnitClass;
using namespace simtest;

namespace {

const char* kDiskGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const char* kCdGuid = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

uint64_t ProcessCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

}  // namespace

TEST_F(BusTest, EnumeratesUnitsInPlugOrderWithInterfacePaths) {
    auto a = Plain();
    a.device.vendor = " Acme Co ";
    a.device.product = "Fast Disk";
    a.device.revision = "1.0";
    auto b = Plain(4096, true);
    auto c = Plain();
    c.device.usb = false;
    c.device.vendor = "USBtech";
    c.device.product = "my#usb&Usb disk";
    EXPECT_EQ(bus.plug(a), "d001");
    EXPECT_EQ(bus.plug(b), "d002");
    EXPECT_EQ(bus.plug(c), "d003");

    const auto disks = bus.interface_paths(UnitClass::Disk);
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(
        disks[0],
        std::string("\\\\?\\usbstor#disk&ven_acme_co&prod_fast_disk&rev_1.0#d001&0#") + kDiskGuid);
    EXPECT_EQ(
        disks[1],
        std::string("\\\\?\\usbstor#disk&ven_acme&prod_plain_disk&rev_1.00#d002&0#") + kDiskGuid);
    EXPECT_EQ(disks[2].rfind("\\\\?\\scsi#disk&", 0), 0u) << disks[2];
    EXPECT_EQ(Lower(disks[2]).find("usb"), std::string::npos) << disks[2];
    EXPECT_NE(disks[2].find("#d003&0#"), std::string::npos);

    const auto cds = bus.interface_paths(UnitClass::Cdrom);
    ASSERT_EQ(cds.size(), 1u);
    EXPECT_EQ(
        cds[0],
        std::string("\\\\?\\usbstor#cdrom&ven_acme&prod_plain_disk&rev_1.00#d002&1#") + kCdGuid);

    // Every listed path opens, also with other letter case; a removed device is absent.
    for (const auto& p : disks) {
        int fd = bus.open(Lower(p));
        EXPECT_GT(fd, 0) << p;
        close(fd);
    }
    ASSERT_TRUE(bus.unplug("d002"));
    EXPECT_EQ(bus.interface_paths(UnitClass::Disk), (std::vector<std::string>{disks[0], disks[2]}));
    EXPECT_TRUE(bus.interface_paths(UnitClass::Cdrom).empty());
    EXPECT_EQ(bus.list(), (std::vector<std::string>{"d001", "d002", "d003"}));
}

// Enumeration keeps what it derived from each device's state: a state that
// has settled (older than the file clock's coarseness) is then recognised by
// its file alone. Replacing it twice in a row may hand the first file's inode
// number back; every change must still show.
TEST_F(BusTest, EnumerationSeesEveryChangeOfASettledState) {
    ASSERT_EQ(bus.plug(Plain(4096, true)), "d001");
    ASSERT_EQ(bus.plug(Plain()), "d002");
    const auto settle = [&](const std::string& id) {
        const std::string file = DeviceDir(id) + "/state.json";
        for (;;) {
            struct stat st {};
            timespec now{};
            ASSERT_EQ(stat(file.c_str(), &st), 0);
            clock_gettime(CLOCK_REALTIME, &now);
            if ((now.tv_sec - st.st_ctim.tv_sec) * 1000000000LL + now.tv_nsec - st.st_ctim.tv_nsec >
                100000000LL)
                return;
            usleep(10000);
        }
    };
    settle("d001");
    settle("d002");
    ASSERT_EQ(bus.interface_paths(UnitClass::Disk).size(), 2u);
    ASSERT_EQ(bus.interface_paths(UnitClass::Cdrom).size(), 1u);

    simbus::Bus other(bus_dir);  // as another program would change the bus
    ASSERT_TRUE(other.replug("d001"));
    ASSERT_TRUE(other.unplug("d001"));
    EXPECT_EQ(bus.interface_paths(UnitClass::Disk).size(), 1u);
    EXPECT_TRUE(bus.interface_paths(UnitClass::Cdrom).empty());

    settle("d002");
    ASSERT_EQ(bus.interface_paths(UnitClass::Disk).size(), 1u);
    ASSERT_TRUE(other.set_enabled("d002", false));
    ASSERT_TRUE(other.set_enabled("d002", true));
    ASSERT_TRUE(other.set_enabled("d002", false));
    EXPECT_TRUE(bus.interface_paths(UnitClass::Disk).empty());
    ASSERT_TRUE(other.replug("d001"));
    EXPECT_EQ(bus.interface_paths(UnitClass::Disk).size(), 1u);
    EXPECT_EQ(bus.interface_paths(UnitClass::Cdrom).size(), 1u);
}

TEST_F(BusTest, OpenRefusesPathsThatNameNoPresentUnit) {
    ASSERT_EQ(bus.plug(Plain()), "d001");
    const std::string good = bus.interface_paths(UnitClass::Disk).at(0);
    std::string other_unit = good;
    other_unit.replace(other_unit.find("d001&0"), 6, "d001&1");
    std::string other_rev = good;
    other_rev.replace(other_rev.find("rev_1.00"), 8, "rev_7.77");
    std::string other_dev = good;
    other_dev.replace(other_dev.find("d001&0"), 6, "d002&0");
    for (const std::string& p : {other_unit, other_rev, other_dev, std::string("d001"),
                                 std::string("\\\\?\\usbstor#disk#../d001&0#x"), std::string()}) {
        EXPECT_EQ(bus.open(p), -1) << p;
    }
    simbus::Bus nowhere(tmp.path() + "/missing");
    EXPECT_TRUE(nowhere.interface_paths(UnitClass::Disk).empty());
    EXPECT_EQ(nowhere.open(good), -1);
}

TEST_F(BusTest, PlainDiskReadsWritesAndReportsCapacity) {
    ASSERT_EQ(bus.plug(Plain(4096, true)), "d001");
    int disk = Open(UnitClass::Disk, 0);
    int cd = Open(UnitClass::Cdrom, 0);
    ASSERT_GT(disk, 0);
    ASSERT_GT(cd, 0);

    EXPECT_TRUE(Good(TestUnitReady(bus, disk)));
    std::vector<uint8_t> cap(8);
    auto o = Exec(bus, disk, Cdb10(0x25), Direction::In, cap.data(), 8);
    EXPECT_TRUE(Good(o));
    EXPECT_EQ(o.transferred, 8u);
    EXPECT_EQ(cap, (std::vector<uint8_t>{0, 0, 0x0F, 0xFF, 0, 0, 2, 0}));

    const auto data = Pattern(3, 1);
    o = Write10(bus, disk, 100, data);
    EXPECT_TRUE(Good(o));
    EXPECT_EQ(o.transferred, 3u * 512);
    std::vector<uint8_t> back;
    o = Read10(bus, disk, 100, 3, back);
    EXPECT_TRUE(Good(o));
    EXPECT_EQ(o.transferred, 3u * 512);
    EXPECT_EQ(back, data);
    // Never-written sectors read as zeros; the last sector is reachable, one past it is not.
    EXPECT_TRUE(Good(Read10(bus, disk, 4095, 1, back)));
    EXPECT_EQ(back, std::vector<uint8_t>(512, 0));
    EXPECT_TRUE(Check(Read10(bus, disk, 4095, 2, back)));
    EXPECT_TRUE(Check(Write10(bus, disk, 4096, Pattern(1, 2))));
    // A buffer shorter than the CDB's count is refused, not overrun.
    std::vector<uint8_t> small(512);
    EXPECT_TRUE(Check(Exec(bus, disk, Cdb10(0x28, 0, 2), Direction::In, small.data(), 512)));
    // Wrong direction for the opcode.
    EXPECT_TRUE(Check(Exec(bus, disk, Cdb10(0x2A, 0, 1), Direction::In, small.data(), 512)));

    // The CD-ROM unit is separate storage and read-only.
    EXPECT_TRUE(Good(Read10(bus, cd, 100, 3, back)));
    EXPECT_EQ(back, std::vector<uint8_t>(3 * 512, 0));
    EXPECT_TRUE(Check(Write10(bus, cd, 0, Pattern(1, 3))));
    close(disk);
    close(cd);
}

TEST_F(BusTest, UnsupportedCommandsModeSenseAndMedium) {
    auto opts = Plain(4096, true);
    ASSERT_EQ(bus.plug(opts), "d001");
    opts.device.no_medium = true;
    ASSERT_EQ(bus.plug(opts), "d002");
    int disk = Open(UnitClass::Disk, 0);
    int cd = Open(UnitClass::Cdrom, 0);
    int empty = Open(UnitClass::Disk, 1);
    std::vector<uint8_t> buf(512);

    for (uint8_t op : {0x12, 0x75, 0x93, 0xF7, 0xFF}) {
        EXPECT_TRUE(Check(Exec(bus, disk, Cdb10(op), Direction::In, buf.data(), 512))) << int(op);
    }

    // MODE SENSE(6), page 0x1C, as the library sends it.
    const std::vector<uint8_t> ms = {0x1A, 0, 0x1C, 0, 0xC0, 0};
    auto o = Exec(bus, disk, ms, Direction::In, buf.data(), 192);
    EXPECT_TRUE(Good(o));
    EXPECT_EQ(o.transferred, 16u);
    EXPECT_EQ(buf[0], 15);
    EXPECT_EQ(buf[2], 0x00);
    EXPECT_EQ(buf[4], 0x1C);
    EXPECT_TRUE(Good(Exec(bus, cd, ms, Direction::In, buf.data(), 192)));
    EXPECT_EQ(buf[2], 0x80);  // write protected
    EXPECT_TRUE(
        Check(Exec(bus, disk, {0x1A, 0, 0x08, 0, 0xC0, 0}, Direction::In, buf.data(), 192)));

    // No medium: not ready, no media access, but mode sense still answers.
    EXPECT_TRUE(Check(TestUnitReady(bus, empty)));
    EXPECT_TRUE(Check(Read10(bus, empty, 0, 1, buf)));
    EXPECT_TRUE(Check(Exec(bus, empty, Cdb10(0x25), Direction::In, buf.data(), 8)));
    EXPECT_TRUE(Good(Exec(bus, empty, ms, Direction::In, buf.data(), 192)));

    // START STOP UNIT: eject takes the medium away, load brings it back; so does a replug.
    EXPECT_TRUE(Good(Exec(bus, disk, Cdb10(0x1B, 0, 0) /*stop*/, Direction::None, nullptr, 0)));
    EXPECT_TRUE(Good(TestUnitReady(bus, disk)));
    auto eject = Cdb10(0x1B);
    eject[4] = 0x02;
    auto load = Cdb10(0x1B);
    load[4] = 0x03;
    EXPECT_TRUE(Good(Exec(bus, disk, eject, Direction::None, nullptr, 0)));
    EXPECT_TRUE(Check(TestUnitReady(bus, disk)));
    EXPECT_TRUE(Good(TestUnitReady(bus, cd)));  // only the addressed unit
    EXPECT_TRUE(Good(Exec(bus, disk, load, Direction::None, nullptr, 0)));
    EXPECT_TRUE(Good(TestUnitReady(bus, disk)));
    EXPECT_TRUE(Good(Exec(bus, disk, eject, Direction::None, nullptr, 0)));
    ASSERT_TRUE(bus.replug("d001"));
    int again = Open(UnitClass::Disk, 0);
    EXPECT_TRUE(Good(TestUnitReady(bus, again)));
    for (int fd : {disk, cd, empty, again}) close(fd);
}

TEST_F(BusTest, UnplugAndReplugInvalidateOpenDescriptors) {
    ASSERT_EQ(bus.plug(Plain()), "d001");
    const std::string path = bus.interface_paths(UnitClass::Disk).at(0);
    int fd1 = bus.open(path);
    int fd2 = bus.open(path);  // the same unit twice: both usable
    ASSERT_GT(fd1, 0);
    ASSERT_NE(fd1, fd2);
    EXPECT_TRUE(Good(Write10(bus, fd1, 7, Pattern(1, 9))));
    std::vector<uint8_t> back;
    EXPECT_TRUE(Good(Read10(bus, fd2, 7, 1, back)));
    EXPECT_EQ(back, Pattern(1, 9));
    const size_t traced = bus.trace("d001").size();

    ASSERT_TRUE(bus.unplug("d001"));
    EXPECT_FALSE(TestUnitReady(bus, fd1).delivered);
    EXPECT_EQ(bus.open(path), -1);
    EXPECT_EQ(bus.trace("d001").size(), traced);  // a removed device receives nothing

    ASSERT_TRUE(bus.replug("d001"));
    EXPECT_FALSE(TestUnitReady(bus, fd1).delivered);
    EXPECT_FALSE(TestUnitReady(bus, fd2).delivered);
    int fd3 = bus.open(path);
    ASSERT_GT(fd3, 0);
    EXPECT_TRUE(Good(Read10(bus, fd3, 7, 1, back)));
    EXPECT_EQ(back, Pattern(1, 9));  // the store survives the replug

    // A replug while plugged also cuts old handles off.
    ASSERT_TRUE(bus.replug("d001"));
    EXPECT_FALSE(TestUnitReady(bus, fd3).delivered);
    EXPECT_EQ(bus.inspect("d001")->at("generation"), 3);
    EXPECT_FALSE(bus.unplug("d009"));
    EXPECT_FALSE(bus.replug("d009"));
    EXPECT_FALSE(bus.replug("../d001"));
    for (int fd : {fd1, fd2, fd3}) close(fd);
}

TEST_F(BusTest, DisabledDevicesAreAbsentUntilEnabledAndThenStartAfresh) {
    ASSERT_EQ(bus.plug(Plain()), "d001");
    ASSERT_EQ(bus.plug(Plain()), "d002");
    const std::string path = bus.interface_paths(UnitClass::Disk).at(0);
    const int fd1 = bus.open(path);
    ASSERT_GT(fd1, 0);
    EXPECT_TRUE(Good(Write10(bus, fd1, 3, Pattern(1, 4))));

    ASSERT_TRUE(bus.set_enabled("d001", false));
    EXPECT_TRUE(bus.set_enabled("d001", false)) << "already disabled";
    EXPECT_EQ(bus.enabled("d001"), false);
    EXPECT_EQ(bus.inspect("d001")->at("enabled"), false);
    EXPECT_EQ(bus.interface_paths(UnitClass::Disk).size(), 1u);
    EXPECT_EQ(bus.open(path), -1);
    const size_t traced = bus.trace("d001").size();
    EXPECT_FALSE(TestUnitReady(bus, fd1).delivered);
    EXPECT_EQ(bus.trace("d001").size(), traced);
    ASSERT_TRUE(bus.replug("d001"));
    EXPECT_EQ(bus.enabled("d001"), false) << "a replug does not enable";

    ASSERT_TRUE(bus.set_enabled("d001", true));
    EXPECT_EQ(bus.interface_paths(UnitClass::Disk).size(), 2u);
    EXPECT_FALSE(TestUnitReady(bus, fd1).delivered) << "old handles stay dead";
    const int fd2 = bus.open(path);
    ASSERT_GT(fd2, 0);
    std::vector<uint8_t> back;
    EXPECT_TRUE(Good(Read10(bus, fd2, 3, 1, back)));
    EXPECT_EQ(back, Pattern(1, 4));

    // The root hub takes every device with it, and brings them back.
    ASSERT_TRUE(bus.set_enabled(simbus::Bus::kRootHub, false));
    EXPECT_EQ(bus.enabled(simbus::Bus::kRootHub), false);
    EXPECT_TRUE(bus.interface_paths(UnitClass::Disk).empty());
    EXPECT_EQ(bus.open(path), -1);
    EXPECT_FALSE(TestUnitReady(bus, fd2).delivered);
    ASSERT_TRUE(bus.set_enabled(simbus::Bus::kRootHub, true));
    EXPECT_TRUE(Good(TestUnitReady(bus, fd2)));
    EXPECT_EQ(bus.interface_paths(UnitClass::Disk).size(), 2u);

    // Unplugged or unknown devices cannot be changed.
    ASSERT_TRUE(bus.unplug("d002"));
    EXPECT_FALSE(bus.set_enabled("d002", false));
    EXPECT_FALSE(bus.enabled("d002").has_value());
    EXPECT_FALSE(bus.set_enabled("d009", true));
    EXPECT_FALSE(bus.set_enabled("../d001", true));
    close(fd1);
    close(fd2);
}

TEST_F(BusTest, FaultsFireOnTheNthOccurrenceOfAnOpcode) {
    auto opts = Plain();
    opts.faults = {{0x28, 2, false}, {0x28, 4, false}, {0x00, 1, false}, {0x25, 2, true}};
    ASSERT_EQ(bus.plug(opts), "d001");
    int fd = Open(UnitClass::Disk, 0);
    std::vector<uint8_t> buf;

    EXPECT_TRUE(Check(TestUnitReady(bus, fd)));
    EXPECT_TRUE(Good(TestUnitReady(bus, fd)));
    EXPECT_TRUE(Good(Read10(bus, fd, 0, 1, buf)));
    EXPECT_TRUE(Check(Read10(bus, fd, 0, 1, buf)));
    EXPECT_TRUE(Good(Read10(bus, fd, 0, 1, buf)));
    EXPECT_TRUE(Check(Read10(bus, fd, 0, 1, buf)));
    EXPECT_TRUE(Good(Read10(bus, fd, 0, 1, buf)));

    std::vector<uint8_t> cap(8);
    EXPECT_TRUE(Good(Exec(bus, fd, Cdb10(0x25), Direction::In, cap.data(), 8)));
    // The second READ CAPACITY pulls the device out: that command and all later ones fail.
    EXPECT_FALSE(Exec(bus, fd, Cdb10(0x25), Direction::In, cap.data(), 8).delivered);
    EXPECT_FALSE(TestUnitReady(bus, fd).delivered);
    EXPECT_TRUE(bus.interface_paths(UnitClass::Disk).empty());
    auto info = bus.inspect("d001");
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->at("plugged").get<bool>());
    EXPECT_TRUE(info->at("faults").at(3).at("fired").get<bool>());

    // Plugged in again, it works and the spent fault does not fire again.
    ASSERT_TRUE(bus.replug("d001"));
    close(fd);
    fd = Open(UnitClass::Disk, 0);
    EXPECT_TRUE(Good(Exec(bus, fd, Cdb10(0x25), Direction::In, cap.data(), 8)));
    EXPECT_TRUE(Good(Exec(bus, fd, Cdb10(0x25), Direction::In, cap.data(), 8)));
    close(fd);

    auto bad = Plain();
    bad.faults = {{0x28, 0, false}};
    EXPECT_EQ(bus.plug(bad), "");
    EXPECT_EQ(bus.list().size(), 1u);
}

// A command that changes only the counters keeps them in the lock file; an
// administrative change writes them into the state as well, so a lock file
// without counters (a bus from before they moved there) loses no count.
TEST_F(BusTest, CommandCountersOutliveAdminChangesAndLockFilesWithoutThem) {
    auto opts = Plain();
    opts.faults = {{0x28, 5, false}};
    ASSERT_EQ(bus.plug(opts), "d001");
    int fd = Open(UnitClass::Disk, 0);
    std::vector<uint8_t> buf;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Good(Read10(bus, fd, 0, 1, buf)));
    EXPECT_EQ(bus.inspect("d001")->at("commands"), 3);
    EXPECT_EQ(bus.inspect("d001")->at("seen").at("28"), 3);

    ASSERT_TRUE(bus.replug("d001"));
    close(fd);
    ASSERT_EQ(::truncate((DeviceDir("d001") + "/lock").c_str(), 8), 0);
    EXPECT_EQ(bus.inspect("d001")->at("commands"), 3);

    fd = Open(UnitClass::Disk, 0);
    EXPECT_TRUE(Good(Read10(bus, fd, 0, 1, buf)));   // the 4th READ(10)
    EXPECT_TRUE(Check(Read10(bus, fd, 0, 1, buf)));  // the 5th: the fault fires
    const auto info = bus.inspect("d001");
    EXPECT_EQ(info->at("commands"), 5);
    EXPECT_TRUE(info->at("faults").at(0).at("fired").get<bool>());
    close(fd);
}

TEST_F(BusTest, TraceRecordsEveryCommandReceived) {
    auto opts = Plain();
    opts.faults = {{0x2A, 2, false}, {0x00, 2, true}};
    ASSERT_EQ(bus.plug(opts), "d001");
    int fd = Open(UnitClass::Disk, 0);
    std::vector<uint8_t> buf;
    Read10(bus, fd, 0, 1, buf);
    Read10(bus, fd, 0x12345, 1, buf);
    Write10(bus, fd, 2, Pattern(2, 1));
    Write10(bus, fd, 2, Pattern(1, 1));
    Exec(bus, fd, {0xF7, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0}, Direction::Out,
         buf.data(), 512);
    TestUnitReady(bus, fd);
    TestUnitReady(bus, fd);  // unplugs the device
    TestUnitReady(bus, fd);  // never reaches it
    EXPECT_EQ(bus.trace("d001"),
              (std::vector<std::string>{
                  "28 00 00 00 00 00 00 00 01 00 | in | 512 | good",
                  "28 00 00 01 23 45 00 00 01 00 | in | 512 | check",
                  "2a 00 00 00 00 02 00 00 02 00 | out | 1024 | good",
                  "2a 00 00 00 00 02 00 00 01 00 | out | 512 | check (injected)",
                  "f7 00 00 00 00 00 00 00 80 00 00 00 00 00 00 00 | out | 512 | check",
                  "00 00 00 00 00 00 00 00 00 00 | in | 0 | good",
                  "00 00 00 00 00 00 00 00 00 00 | in | 0 | removed (injected)",
              }));
    EXPECT_TRUE(bus.trace("d042").empty());
    close(fd);
}

TEST_F(BusTest, TimingModelDelaysCommandsAndTimesOut) {
    auto opts = Plain();
    opts.timing = simbus::Timing::Usb1;
    ASSERT_EQ(bus.plug(opts), "d001");
    opts.timing = simbus::Timing::Usb2;
    ASSERT_EQ(bus.plug(opts), "d002");
    ASSERT_EQ(bus.plug(Plain()), "d003");
    int slow = Open(UnitClass::Disk, 0);
    int fast = Open(UnitClass::Disk, 1);
    int none = Open(UnitClass::Disk, 2);

    const auto data = Pattern(128, 4);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(Good(Write10(bus, slow, 0, data)));
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, std::chrono::microseconds(2000 + 65536));  // a lower bound only
    EXPECT_TRUE(Good(TestUnitReady(bus, slow)));
    auto info = bus.inspect("d001");
    EXPECT_EQ(info->at("timing").at("model"), "usb1");
    EXPECT_EQ(info->at("timing").at("last_delay_us"), 2000);
    EXPECT_EQ(info->at("timing").at("total_delay_us"), 2000 + 65536 + 2000);

    EXPECT_TRUE(Good(Write10(bus, fast, 0, data)));
    EXPECT_EQ(bus.inspect("d002")->at("timing").at("last_delay_us"), 1000 + 65536 / 30);
    EXPECT_TRUE(Good(Write10(bus, none, 0, data)));
    EXPECT_EQ(bus.inspect("d003")->at("timing").at("total_delay_us"), 0);

    // 1.5 MB at 1 MB/s cannot finish within a 1 s time-out: a transport failure,
    // and the device never executes it.
    std::vector<uint8_t> big(1500000, 0x5A);
    auto o = bus.execute(slow, Cdb10(0x2A, 0, 0).data(), 10, Direction::Out, big.data(),
                         uint32_t(big.size()), 1);
    EXPECT_FALSE(o.delivered);
    EXPECT_EQ(bus.trace("d001").back(), "2a 00 00 00 00 00 00 00 00 00 | out | 1500000 | timeout");
    std::vector<uint8_t> back;
    EXPECT_TRUE(Good(Read10(bus, none, 0, 128, back)));
    EXPECT_EQ(back, data);
    for (int fd : {slow, fast, none}) close(fd);
}

TEST_F(BusTest, ADeviceServesOneCommandAtATimeForItsWholeModelledTime) {
    auto opts = Plain();
    opts.timing = simbus::Timing::Usb1;  // 64 KiB: 2 ms + 65.5 ms
    ASSERT_EQ(bus.plug(opts), "d001");
    const int a = Open(UnitClass::Disk, 0);
    const int b = Open(UnitClass::Disk, 0);
    // Sent together, the second command waits for the first and is then busy
    // for its own modelled time: the device's time runs from whichever is
    // later, the command's arrival or the end of the one before.
    std::vector<uint8_t> ra, rb;
    const auto t0 = std::chrono::steady_clock::now();
    std::thread other([&] { EXPECT_TRUE(Good(Read10(bus, b, 0, 128, rb))); });
    EXPECT_TRUE(Good(Read10(bus, a, 128, 128, ra)));
    other.join();
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, 2 * std::chrono::microseconds(2000 + 65536));  // a lower bound only
    EXPECT_EQ(bus.inspect("d001")->at("timing").at("total_delay_us"), 2 * (2000 + 65536));
    close(a);
    close(b);
}

// On a shared bus the data of all devices passes the host controller one
// command after another, each device still no faster than its own model.
TEST_F(BusTest, DevicesOnASharedBusTakeTurnsForItsBandwidth) {
    ASSERT_TRUE(bus.set_shared_bandwidth(1000000));  // 64 KiB: 65.5 ms of the bus
    auto opts = Plain();
    opts.timing = simbus::Timing::Usb2;
    ASSERT_EQ(bus.plug(opts), "d001");
    ASSERT_EQ(bus.plug(Plain()), "d002");  // no timing of its own
    const int a = Open(UnitClass::Disk, 0);
    const int b = Open(UnitClass::Disk, 1);
    const auto data = Pattern(128, 5);
    const auto t0 = std::chrono::steady_clock::now();
    std::thread other([&] { EXPECT_TRUE(Good(Write10(bus, b, 0, data))); });
    EXPECT_TRUE(Good(Write10(bus, a, 0, data)));
    other.join();
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, 2 * std::chrono::microseconds(65536));  // a lower bound only
    EXPECT_EQ(bus.shared()->bytes_carried, 2u * 65536);
    EXPECT_EQ(bus.inspect("d001")->at("timing").at("last_delay_us"), 1000 + 65536 / 30);
    ASSERT_TRUE(bus.set_shared_bandwidth(0));
    EXPECT_FALSE(bus.shared());
    close(a);
    close(b);
}

TEST_F(BusTest, CpuTimeCountsCommandWorkButNotWaits) {
    auto opts = Plain();
    opts.timing = simbus::Timing::Usb2;
    ASSERT_EQ(bus.plug(opts), "d001");
    int fd = Open(UnitClass::Disk, 0);
    EXPECT_EQ(bus.inspect("d001")->at("cpu_ns"), 0);
    const uint64_t before = ProcessCpuNs();
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(Good(Write10(bus, fd, i * 8, Pattern(8, i))));
    const uint64_t spent = ProcessCpuNs() - before;
    auto info = bus.inspect("d001");
    const uint64_t cpu = info->at("cpu_ns").get<uint64_t>();
    EXPECT_GT(cpu, 0u);
    // The modelled waits (30 ms and more) are no CPU; the counted work is part of ours.
    EXPECT_LE(cpu, spent);
    EXPECT_GE(info->at("timing").at("total_delay_us").get<uint64_t>(), 30000u);
    ASSERT_TRUE(Good(TestUnitReady(bus, fd)));
    EXPECT_GT(bus.inspect("d001")->at("cpu_ns").get<uint64_t>(), cpu);
    close(fd);
}

TEST_F(BusTest, ExportCopiesUnitBytesAndStaysSparse) {
    const uint64_t sectors = 1048576;  // 512 MiB
    ASSERT_EQ(bus.plug(Plain(sectors, true)), "d001");
    int disk = Open(UnitClass::Disk, 0);
    ASSERT_TRUE(Good(Write10(bus, disk, 0, Pattern(2, 1))));
    ASSERT_TRUE(Good(Write10(bus, disk, sectors - 1, Pattern(1, 2))));
    ASSERT_TRUE(Good(Write10(bus, disk, 300000, std::vector<uint8_t>(512, 0))));

    const std::string out = tmp.path() + "/disk1.img";
    ASSERT_TRUE(bus.export_unit("d001", "disk1", out));
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), sectors * 512);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 16u << 20);
    std::ifstream in(out, std::ios::binary);
    std::vector<uint8_t> head(1024), tail(512), mid(512);
    in.read(reinterpret_cast<char*>(head.data()), 1024);
    in.seekg(std::streamoff((sectors - 1) * 512));
    in.read(reinterpret_cast<char*>(tail.data()), 512);
    in.seekg(std::streamoff(200000 * 512));
    in.read(reinterpret_cast<char*>(mid.data()), 512);
    EXPECT_EQ(head, Pattern(2, 1));
    EXPECT_EQ(tail, Pattern(1, 2));
    EXPECT_EQ(mid, std::vector<uint8_t>(512, 0));
    // The device's own store is sparse as well.
    ASSERT_EQ(stat((DeviceDir("d001") + "/flash.img").c_str(), &st), 0);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 16u << 20);

    ASSERT_TRUE(bus.export_unit("d001", "cdrom", tmp.path() + "/cd.img"));
    EXPECT_EQ(ReadFile(tmp.path() + "/cd.img"), std::string(4096 * 512, '\0'));
    // No such unit, or no such device: nothing is written.
    EXPECT_FALSE(bus.export_unit("d001", "disk2", tmp.path() + "/none.img"));
    EXPECT_FALSE(bus.export_unit("d001", "reserved", tmp.path() + "/none.img"));
    EXPECT_FALSE(bus.export_unit("d007", "disk1", tmp.path() + "/none.img"));
    EXPECT_FALSE(std::filesystem::exists(tmp.path() + "/none.img"));
    EXPECT_FALSE(bus.export_unit("d001", "disk1", tmp.path() + "/no/such/dir/x.img"));
    close(disk);
}

TEST_F(BusTest, DamagedOrForeignStateFailsCleanly) {
    ASSERT_EQ(bus.plug(Plain()), "d001");
    ASSERT_EQ(bus.plug(Plain()), "d002");
    int fd = Open(UnitClass::Disk, 0);
    ASSERT_GT(fd, 0);
    std::ofstream(DeviceDir("d001") + "/state.json") << "{\"id\": \"d001\", \"plugg";
    EXPECT_FALSE(TestUnitReady(bus, fd).delivered);
    EXPECT_FALSE(bus.inspect("d001"));
    EXPECT_FALSE(bus.replug("d001"));
    EXPECT_EQ(bus.interface_paths(UnitClass::Disk).size(), 1u);  // d002 still listed
    EXPECT_EQ(bus.plug(Plain()), "d003");                        // ids never repeat

    // Descriptors the bus did not hand out.
    const std::string other = tmp.path() + "/node-g1-u0";
    std::ofstream(other) << "x";
    int foreign = ::open(other.c_str(), O_RDONLY);
    EXPECT_FALSE(TestUnitReady(bus, foreign).delivered);
    EXPECT_FALSE(TestUnitReady(bus, -1).delivered);
    EXPECT_FALSE(TestUnitReady(bus, 987).delivered);
    // A data command without a buffer, or without a CDB.
    int good = Open(UnitClass::Disk, 0);
    EXPECT_FALSE(Exec(bus, good, Cdb10(0x28, 0, 1), Direction::In, nullptr, 512).delivered);
    EXPECT_FALSE(bus.execute(good, nullptr, 0, Direction::None, nullptr, 0, 2).delivered);
    for (int f : {fd, foreign, good}) close(f);

    auto zero = Plain(0);
    EXPECT_EQ(bus.plug(zero), "");
    EXPECT_EQ(bus.list(), (std::vector<std::string>{"d001", "d002", "d003"}));
}
