// The simulated-bus platform's own answers: drive layout from the boot record,
// rescan, the filter node. Commands themselves are covered by the C API test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"
#include "simbus/bus.h"
#include "test_util.h"

using namespace cmdlib_test;
using sarnik::UnitClass;

namespace {

sarnik::PassThroughBlock Rw(uint8_t op, uint32_t lba) {
    sarnik::PassThroughBlock b{};
    b.CdbLength = 10;
    b.DataIn = op == 0x28 ? 1 : 0;
    b.DataTransferLength = 512;
    b.TimeOutValue = 2;
    b.Cdb[0] = op;
    b.Cdb[5] = static_cast<uint8_t>(lba);
    b.Cdb[8] = 1;
    return b;
}

class SarnikSimPlatform : public ::testing::Test {
  protected:
    TempDir dir;
    simbus::Bus bus{dir.str()};
    std::string id;
    std::unique_ptr<sarnik::Platform> p;
    void SetUp() override {
        simbus::PlugOptions o;
        o.device.kind = simdev::FreshOptions::Kind::PlainDisk;
        id = bus.plug(o);
        p = sarnik::make_sim_platform(dir.str());
    }
};

TEST_F(SarnikSimPlatform, LayoutRescanAndFilterNode) {
    const int fd = p->open(*p->interface_path(UnitClass::Disk, 0));
    ASSERT_GT(fd, 0);
    auto layout = p->drive_layout(fd);
    ASSERT_TRUE(layout.has_value()) << "a blank medium has an empty layout";
    EXPECT_TRUE(layout->partitions.empty());

    uint8_t mbr[512] = {};
    mbr[0x1BE + 4] = 0x0E;
    mbr[0x1BE + 8] = 0x20;
    mbr[0x1BE + 13] = 0x01;  // 256 sectors
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    auto w = Rw(0x2A, 0);
    ASSERT_TRUE(p->pass_through(fd, w, mbr));
    layout = p->drive_layout(fd);
    ASSERT_TRUE(layout.has_value());
    ASSERT_EQ(layout->partitions.size(), 1u);
    EXPECT_EQ(layout->partitions[0].start_sector, 0x20u);
    EXPECT_EQ(layout->partitions[0].sectors, 256u);

    EXPECT_EQ(p->rescan(fd), std::optional<uint32_t>(0));
    close(fd);
    EXPECT_FALSE(p->rescan(fd).has_value());
    EXPECT_FALSE(p->drive_layout(fd).has_value());

    EXPECT_EQ(p->open_filter_control(), -1);
    WriteFile(dir.path() / "korvafilters", "");
    const int ctl = p->open_filter_control();
    EXPECT_GT(ctl, 0);
    if (ctl > 0) close(ctl);
}

TEST_F(SarnikSimPlatform, OneExclusiveLockPerDevice) {
    // A second device with a CD-ROM unit beside the disk unit.
    simbus::PlugOptions o;
    o.device.kind = simdev::FreshOptions::Kind::PlainDisk;
    o.device.with_cdrom = true;
    bus.plug(o);
    const int disk = p->open(*p->interface_path(UnitClass::Disk, 0));
    const int again = p->open(*p->interface_path(UnitClass::Disk, 0));
    const int otherDisk = p->open(*p->interface_path(UnitClass::Disk, 1));
    const int otherCd = p->open(*p->interface_path(UnitClass::Cdrom, 0));
    ASSERT_GT(disk, 0);
    ASSERT_GT(again, 0);
    ASSERT_GT(otherDisk, 0);
    ASSERT_GT(otherCd, 0);

    const int lock = p->lock_unit(disk);
    ASSERT_GT(lock, 0);
    // Another open of the same unit (another station) does not get it.
    errno = 0;
    EXPECT_EQ(p->lock_unit(again), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    // Another device is free; its CD-ROM unit shares its disk unit's lock.
    const int otherLock = p->lock_unit(otherDisk);
    EXPECT_GT(otherLock, 0);
    EXPECT_EQ(p->lock_unit(otherCd), -1);

    p->unlock_unit(disk, lock);
    const int relock = p->lock_unit(again);
    EXPECT_GT(relock, 0);
    p->unlock_unit(again, relock);
    p->unlock_unit(otherDisk, otherLock);
    // Not a unit of the bus: no lock.
    EXPECT_EQ(p->lock_unit(p->open_filter_control()), -1);
    for (int fd : {disk, again, otherDisk, otherCd}) close(fd);
}

}  // namespace
