// The Linux platform on fake sysfs and /dev trees, and the SG_IO translation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform.h"
#include "sg_io.h"
#include "test_util.h"

using namespace cmdlib_test;
using sarnik::UnitClass;

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// A sysfs tree laid out as the kernel does it: the unit's directory lives
// under its host in /sys/devices and /sys/bus/scsi/devices links to it.
class FakeSystem {
  public:
    fs::path sys() const { return dir_.path() / "sys"; }
    fs::path dev() const { return dir_.path() / "dev"; }

    FakeSystem() {
        fs::create_directories(sys() / "bus/scsi/devices");
        fs::create_directories(dev());
        fs::create_directories(sys() / "bus/usb/drivers/usb-storage");
        fs::create_directories(sys() / "bus/usb/drivers/uas");
        fs::create_directories(sys() / "bus/pci/drivers/virtio-pci");
        fs::create_directories(sys() / "bus/virtio/drivers/virtio_scsi");
    }

    // `parent` is the folder of the SCSI host (relative to /sys/devices);
    // `driver` the driver bound to it ("" for none).
    void AddUnit(const std::string& addr, const std::string& parent, const std::string& driver,
                 int type, const std::string& vendor, const std::string& model,
                 const std::string& rev, const std::string& sg, const std::string& block) {
        const std::string host = "host" + addr.substr(0, addr.find(':'));
        const std::string target = "target" + addr.substr(0, addr.rfind(':'));
        const fs::path pdir = sys() / "devices" / parent;
        const fs::path udir = pdir / host / target / addr;
        fs::create_directories(udir);
        if (!driver.empty() && !fs::exists(pdir / "driver")) {
            const std::string bus = driver == "virtio_scsi" ? "virtio" : "usb";
            fs::create_symlink(fs::relative(sys() / "bus" / bus / "drivers" / driver, pdir),
                               pdir / "driver");
        }
        WriteFile(udir / "type", std::to_string(type) + "\n");
        WriteFile(udir / "vendor", vendor + "\n");
        WriteFile(udir / "model", model + "\n");
        WriteFile(udir / "rev", rev + "\n");
        if (!sg.empty()) {
            fs::create_directories(udir / "scsi_generic" / sg);
            WriteFile(dev() / sg, "");
        }
        if (!block.empty()) {
            fs::create_directories(udir / "block" / block);
            WriteFile(udir / "block" / block / "size", "131072\n");
            WriteFile(dev() / block, "");
        }
        const fs::path link = sys() / "bus/scsi/devices" / addr;
        fs::create_symlink(fs::relative(udir, link.parent_path()), link);
        // Hosts and targets are listed on the bus too.
        for (const auto& [name, d] :
             {std::pair{host, pdir / host}, {target, pdir / host / target}}) {
            const fs::path l = sys() / "bus/scsi/devices" / name;
            if (!fs::exists(l)) fs::create_symlink(fs::relative(d, l.parent_path()), l);
        }
        WriteFile(sys() / "class/scsi_host" / host / "scan", "");
    }

    std::unique_ptr<sarnik::Platform> Platform() const {
        return sarnik::make_linux_platform(sys().string(), dev().string());
    }

    std::vector<std::string> Paths(UnitClass cls) const {
        auto p = Platform();
        std::vector<std::string> out;
        for (uint32_t i = 0;; ++i) {
            auto path = p->interface_path(cls, i);
            if (!path) return out;
            out.push_back(*path);
        }
    }

  private:
    TempDir dir_;
};

const char kUsb[] = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0";
const char kUsb2[] = "pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0";
const char kSata[] = "pci0000:00/0000:00:17.0/ata1";
const char kVirtio[] = "pci0000:00/0000:00:04.0/virtio1";

std::string FdTarget(int fd) {
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string();
}

TEST(SarnikLinuxPaths, UsbUnitsLookLikeTheMassStorageStack) {
    FakeSystem s;
    s.AddUnit("2:0:0:0", kUsb, "usb-storage", 0, "KORVA   ", "USB FLASH DISK  ", "7.77", "sg1",
              "sdb");
    s.AddUnit("3:0:0:0", kUsb2, "uas", 5, "Generic ", "Loader CD#1     ", "1.00", "sg2", "sr0");
    EXPECT_EQ(s.Paths(UnitClass::Disk),
              std::vector<std::string>{"\\\\?\\usbstor#disk&ven_korva&prod_usb_flash_disk&rev_7.77#"
                                       "2&0&0&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"});
    EXPECT_EQ(s.Paths(UnitClass::Cdrom),
              std::vector<std::string>{"\\\\?\\usbstor#cdrom&ven_generic&prod_loader_cd_1&rev_1.00#"
                                       "3&0&0&0#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"});
}

TEST(SarnikLinuxPaths, UnitsOffTheUsbStackNeverSayUsb) {
    FakeSystem s;
    s.AddUnit("0:0:0:0", kSata, "", 0, "ATA     ", "USB-C SSD 2TB   ", "USB1", "sg0", "sda");
    s.AddUnit("1:0:0:0", kVirtio, "virtio_scsi", 0, "QEMU    ", "QEMU HARDDISK   ", "2.5+", "sg1",
              "sdb");
    s.AddUnit("1:0:0:1", kVirtio, "virtio_scsi", 5, "usbUSBu", "sbusb", "u sb", "sg2", "sr0");
    auto disks = s.Paths(UnitClass::Disk);
    auto cds = s.Paths(UnitClass::Cdrom);
    ASSERT_EQ(disks.size(), 2u);
    ASSERT_EQ(cds.size(), 1u);
    for (const auto& p : {disks[0], disks[1], cds[0]}) {
        EXPECT_EQ(Lower(p).find("usb"), std::string::npos) << p;
        EXPECT_EQ(p.rfind("\\\\?\\scsi#", 0), 0u) << p;
    }
    EXPECT_EQ(disks[1],
              "\\\\?\\scsi#disk&ven_qemu&prod_qemu_harddisk&rev_2.5_#1&0&0&0#"
              "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    // Each masked path still opens its own unit.
    auto p = s.Platform();
    const int fd = p->open(disks[0]);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fs::path(FdTarget(fd)).filename(), "sg0");
    close(fd);
}

TEST(SarnikLinuxPaths, EnumerationFollowsTheScsiAddressNumerically) {
    FakeSystem s;
    s.AddUnit("10:0:0:0", kUsb2, "usb-storage", 0, "B", "TEN", "1", "sg5", "");
    s.AddUnit("2:0:0:1", kUsb, "usb-storage", 0, "A", "TWO-ONE", "1", "sg4", "");
    s.AddUnit("2:0:0:0", kUsb, "usb-storage", 0, "A", "TWO-ZERO", "1", "sg3", "");
    s.AddUnit("2:0:1:0", kUsb, "usb-storage", 5, "A", "CD", "1", "sg6", "");
    s.AddUnit("2:0:2:0", kUsb, "usb-storage", 1, "A", "TAPE", "1", "sg7", "");
    s.AddUnit("2:0:3:0", kUsb, "usb-storage", 0x0E, "A", "RBC", "1", "sg8", "");
    auto disks = s.Paths(UnitClass::Disk);
    ASSERT_EQ(disks.size(), 4u);
    EXPECT_NE(disks[0].find("prod_two-zero"), std::string::npos);
    EXPECT_NE(disks[1].find("prod_two-one"), std::string::npos);
    EXPECT_NE(disks[2].find("prod_rbc"), std::string::npos);
    EXPECT_NE(disks[3].find("prod_ten"), std::string::npos);
    EXPECT_EQ(s.Paths(UnitClass::Cdrom).size(), 1u);
    // An empty tree and a missing tree have no units.
    FakeSystem empty;
    EXPECT_TRUE(empty.Paths(UnitClass::Disk).empty());
    EXPECT_FALSE(sarnik::make_linux_platform("/nonexistent-sysfs", "/dev")
                     ->interface_path(UnitClass::Disk, 0)
                     .has_value());
}

TEST(SarnikLinuxOpen, PathsLeadBackToTheirOwnNode) {
    FakeSystem s;
    s.AddUnit("2:0:0:0", kUsb, "usb-storage", 0, "KORVA", "DISK", "7.77", "sg1", "sdb");
    s.AddUnit("2:0:0:1", kUsb, "usb-storage", 0, "KORVA", "NOSG", "7.77", "", "sdc");
    s.AddUnit("3:0:0:0", kUsb2, "usb-storage", 5, "KORVA", "CD", "7.77", "sg3", "sr0");
    auto p = s.Platform();
    const auto disk = *p->interface_path(UnitClass::Disk, 0);
    const auto nosg = *p->interface_path(UnitClass::Disk, 1);
    const auto cd = *p->interface_path(UnitClass::Cdrom, 0);

    int fd = p->open(disk);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(FdTarget(fd), (fs::canonical(s.dev()) / "sg1").string());
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
    fd = p->open(Lower(cd));  // paths compare without case
    ASSERT_GT(fd, 0);
    EXPECT_EQ(fs::path(FdTarget(fd)).filename(), "sg3");
    close(fd);
    fd = p->open(nosg);  // no generic node: the block node
    ASSERT_GT(fd, 0);
    EXPECT_EQ(fs::path(FdTarget(fd)).filename(), "sdc");
    close(fd);

    // Paths that do not name the unit at that address now are refused.
    std::string other_class = disk;
    other_class.replace(other_class.find("53f56307"), 8, "53f5630d");
    std::string other_instance = disk;
    other_instance.replace(other_instance.find("#2&0&0&0#"), 9, "#3&0&0&0#");
    for (const std::string& bad :
         {other_class, other_instance, std::string("\\\\?\\usbstor#disk#2&0&0&0"),
          std::string("usbstor#disk&ven_korva&prod_disk&rev_7.77#2&0&0&0#{x}"),
          disk.substr(0, disk.size() - 1), std::string()}) {
        EXPECT_EQ(p->open(bad), -1) << bad;
    }
    // The unit changed behind the path (another device took the address).
    WriteFile(s.sys() / "devices" / kUsb / "host2/target2:0:0/2:0:0:0/model", "OTHER\n");
    EXPECT_EQ(p->open(disk), -1);
}

TEST(SarnikLinuxOpen, RescanLayoutAndFilterNode) {
    FakeSystem s;
    s.AddUnit("2:0:0:0", kUsb, "usb-storage", 0, "KORVA", "DISK", "7.77", "sg1", "sdb");
    const fs::path bdir = s.sys() / "devices" / kUsb / "host2/target2:0:0/2:0:0:0/block/sdb";
    auto p = s.Platform();
    const int fd = p->open(*p->interface_path(UnitClass::Disk, 0));
    ASSERT_GT(fd, 0);

    EXPECT_EQ(p->rescan(fd), std::optional<uint32_t>(0));
    EXPECT_EQ(ReadFile(s.sys() / "class/scsi_host/host2/scan"), "- - -");

    EXPECT_FALSE(p->unit_location(fd).has_value());  // no USB device above it yet
    const fs::path usbDevice = s.sys() / "devices/pci0000:00/0000:00:14.0/usb2/2-1";
    WriteFile(usbDevice / "devnum", "3\n");
    WriteFile(usbDevice / "serial", "0123ABC \n");
    const auto at = p->unit_location(fd);
    ASSERT_TRUE(at.has_value());
    EXPECT_EQ(at->port, "2-1");
    EXPECT_EQ(at->serial, "0123ABC");
    EXPECT_EQ(at->sectors, 131072u);
    EXPECT_EQ(at->node, (s.dev() / "sg1").string());

    auto layout = p->drive_layout(fd);
    ASSERT_TRUE(layout.has_value());
    EXPECT_TRUE(layout->partitions.empty());
    for (auto [name, num, start] : {std::tuple{"sdb2", 2, 6144}, std::tuple{"sdb1", 1, 2048}}) {
        WriteFile(bdir / name / "partition", std::to_string(num) + "\n");
        WriteFile(bdir / name / "start", std::to_string(start) + "\n");
        WriteFile(bdir / name / "size", "4096\n");
    }
    layout = p->drive_layout(fd);
    ASSERT_TRUE(layout.has_value());
    ASSERT_EQ(layout->partitions.size(), 2u);
    EXPECT_EQ(layout->partitions[0].number, 1u);
    EXPECT_EQ(layout->partitions[0].start_sector, 2048u);
    EXPECT_EQ(layout->partitions[1].start_sector, 6144u);
    WriteFile(bdir / "size", "0\n");  // medium removed
    EXPECT_FALSE(p->drive_layout(fd).has_value());

    // A descriptor that is no unit's node has no bus to rescan.
    const int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_FALSE(p->rescan(other).has_value());
    EXPECT_FALSE(p->drive_layout(other).has_value());
    close(other);

    // The node is no SCSI device here: SG_IO fails, which is a failure.
    sarnik::PassThroughBlock b{};
    b.CdbLength = 10;
    EXPECT_FALSE(p->pass_through(fd, b, nullptr));
    close(fd);

    EXPECT_EQ(p->open_filter_control(), -1);
    WriteFile(s.dev() / "korvafilters", "");
    const int ctl = p->open_filter_control();
    EXPECT_GT(ctl, 0);
    if (ctl > 0) close(ctl);
}

// ---- SG_IO translation ----------------------------------------------------

sarnik::PassThroughBlock Block(uint8_t data_in, uint32_t len, uint32_t timeout) {
    sarnik::PassThroughBlock b{};
    b.Length = 44;
    b.TargetId = 1;
    b.CdbLength = 10;
    b.SenseInfoLength = 8;
    b.SenseInfoOffset = 48;
    b.DataIn = data_in;
    b.DataTransferLength = len;
    b.TimeOutValue = timeout;
    b.Cdb[0] = 0x28;
    b.Cdb[8] = 2;
    return b;
}

TEST(SarnikSgIo, RequestCarriesDirectionLengthTimeoutCdbAndSense) {
    uint8_t data[1024];
    auto b = Block(1, 1024, 150);
    sg_io_hdr h = sarnik::to_sg_io(b, data);
    EXPECT_EQ(h.interface_id, 'S');
    EXPECT_EQ(h.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(h.dxfer_len, 1024u);
    EXPECT_EQ(h.dxferp, data);
    EXPECT_EQ(h.timeout, 150000u);
    EXPECT_EQ(h.cmd_len, 10);
    EXPECT_EQ(h.cmdp, b.Cdb);
    EXPECT_EQ(h.sbp, b.Sense);
    EXPECT_EQ(h.mx_sb_len, 8);

    b = Block(0, 512, 2);
    h = sarnik::to_sg_io(b, data);
    EXPECT_EQ(h.dxfer_direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(h.timeout, 2000u);

    b = Block(1, 0, 2);  // no data, whatever DataIn says
    h = sarnik::to_sg_io(b, data);
    EXPECT_EQ(h.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(h.dxferp, nullptr);

    b.SenseInfoOffset = 76;  // sense never runs past the block
    b.SenseInfoLength = 32;
    h = sarnik::to_sg_io(b, data);
    EXPECT_EQ(h.mx_sb_len, 4);
    b.SenseInfoOffset = 4000;
    h = sarnik::to_sg_io(b, data);
    EXPECT_EQ(h.sbp, nullptr);
    EXPECT_EQ(h.mx_sb_len, 0);

    sarnik::BufferedPassThroughBlock m{};
    m.CdbLength = 6;
    m.DataIn = 1;
    m.DataTransferLength = 192;
    m.SenseInfoLength = 24;
    m.SenseInfoOffset = 48;
    m.DataBufferOffset = 80;
    h = sarnik::to_sg_io(m);
    EXPECT_EQ(h.dxferp, m.Data);
    EXPECT_EQ(h.sbp, m.Sense);
    EXPECT_EQ(h.mx_sb_len, 24);
    EXPECT_EQ(h.cmd_len, 6);
}

TEST(SarnikSgIo, OutcomeMapsBackAndTransportErrorsFail) {
    uint8_t data[1024];
    auto b = Block(1, 1024, 150);
    sg_io_hdr h = sarnik::to_sg_io(b, data);

    h.resid = 512;  // short read
    ASSERT_TRUE(sarnik::from_sg_io(h, b));
    EXPECT_EQ(b.ScsiStatus, 0);
    EXPECT_EQ(b.DataTransferLength, 512u);

    b = Block(1, 1024, 150);
    h = sarnik::to_sg_io(b, data);
    h.status = 0x02;         // CHECK CONDITION
    h.driver_status = 0x08;  // sense available: the device did answer
    h.resid = 1024;
    ASSERT_TRUE(sarnik::from_sg_io(h, b));
    EXPECT_EQ(b.ScsiStatus, 0x02);
    EXPECT_EQ(b.DataTransferLength, 0u);

    b = Block(1, 1024, 150);
    h = sarnik::to_sg_io(b, data);
    h.resid = -5;  // nonsense residue never inflates the count
    ASSERT_TRUE(sarnik::from_sg_io(h, b));
    EXPECT_EQ(b.DataTransferLength, 1024u);
    h.resid = 5000;
    ASSERT_TRUE(sarnik::from_sg_io(h, b));
    EXPECT_EQ(b.DataTransferLength, 0u);

    for (auto [host, driver] : {std::pair{0x01, 0x00},     // no connect: unit gone
                                std::pair{0x03, 0x00},     // time-out
                                std::pair{0x07, 0x00},     // host error
                                std::pair{0x00, 0x06},     // driver time-out
                                std::pair{0x00, 0x04}}) {  // driver error
        b = Block(1, 1024, 150);
        h = sarnik::to_sg_io(b, data);
        h.host_status = static_cast<unsigned short>(host);
        h.driver_status = static_cast<unsigned short>(driver);
        EXPECT_FALSE(sarnik::from_sg_io(h, b)) << host << "/" << driver;
    }

    sarnik::BufferedPassThroughBlock m{};
    m.DataIn = 1;
    m.DataTransferLength = 192;
    h = sarnik::to_sg_io(m);
    h.resid = 192 - 28;
    h.status = 0;
    ASSERT_TRUE(sarnik::from_sg_io(h, m));
    EXPECT_EQ(m.DataTransferLength, 28u);
}

TEST(SarnikPathText, TrimsReplacesAndMasks) {
    EXPECT_EQ(sarnik::path_text("  USB Flash Disk  \n", false), "usb_flash_disk");
    EXPECT_EQ(sarnik::path_text("A#B&C\\D/E?\xE9", false), "a_b_c_d_e__");
    EXPECT_EQ(sarnik::path_text("   ", false), "");
    for (const char* raw : {"USB", "uusbsb", "UsBusb", "ususbb", "xusb-usb"}) {
        const std::string t = sarnik::path_text(raw, true);
        EXPECT_EQ(t.find("usb"), std::string::npos) << raw << " -> " << t;
        EXPECT_EQ(t.size(), std::strlen(raw));
    }
}

}  // namespace
