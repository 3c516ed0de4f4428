// Device and volume services of the Linux platform on fake sysfs, /dev and
// /proc trees: the device walk, hardware IDs, enabling and disabling, the
// drive-letter table and formatting a partition node.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform.h"
#include "services.h"
#include "test_util.h"

using namespace cmdlib_test;
namespace svc = sarnik::svc;

namespace {

const char kXhci[] = "pci0000:00/0000:00:14.0";
const char kSata[] = "pci0000:00/0000:00:17.0";

class FakeMachine {
  public:
    TempDir dir;
    fs::path sys = dir.path() / "sys";
    fs::path dev = dir.path() / "dev";
    fs::path proc = dir.path() / "proc";
    fs::path devices = sys / "devices";

    FakeMachine() {
        fs::create_directories(sys / "bus/usb/devices");
        fs::create_directories(sys / "bus/scsi/devices");
        fs::create_directories(sys / "bus/usb/drivers/usb-storage");
        WriteFile(sys / "bus/pci/drivers/xhci_hcd/unbind", "");
        WriteFile(sys / "bus/pci/drivers_probe", "");
        fs::create_directories(dev);
        WriteFile(proc / "self/mountinfo",
                  "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n");
        WriteFile(proc / "swaps", "Filename\tType\tSize\tUsed\tPriority\n");

        Node("pci0000:00", {});
        Node(kXhci, {{"vendor", "0x8086"},
                     {"device", "0xa36d"},
                     {"subsystem_vendor", "0x1028"},
                     {"subsystem_device", "0x085c"},
                     {"revision", "0x10"},
                     {"class", "0x0c0330"}});
        Link(devices / kXhci / "driver", sys / "bus/pci/drivers/xhci_hcd");
        Link(devices / kXhci / "subsystem", sys / "bus/pci");
        Usb("usb1", "1d6b", "0002", "0601", "xHCI Host Controller", " 2.00");
        Usb("usb1/1-1", "abcd", "1234", "0100", "Flash Disk", " 2.00");
        Usb("usb1/1-2", "046d", "c31c", "6401", "", " 1.10");
        const std::string ifc = std::string(kXhci) + "/usb1/1-1/1-1:1.0";
        Node(ifc, {{"bInterfaceNumber", "00"}});
        Link(devices / ifc / "driver", sys / "bus/usb/drivers/usb-storage");
        Link(sys / "bus/usb/devices/1-1:1.0", devices / ifc);
        Node(std::string(kSata) + "/ata1", {});

        Disk(ifc, "2:0:0:0", "sdb", 16, 4);
        Disk(std::string(kSata) + "/ata1", "0:0:0:0", "sda", 0, 2);
    }

    std::unique_ptr<sarnik::Platform> Platform() const {
        return sarnik::make_linux_platform(sys.string(), dev.string(), proc.string());
    }

    void Node(const std::string& rel, std::vector<std::pair<std::string, std::string>> attrs) {
        const fs::path d = devices / rel;
        WriteFile(d / "uevent", "");
        for (const auto& [k, v] : attrs) WriteFile(d / k, v + "\n");
    }

    void Link(const fs::path& at, const fs::path& to) {
        fs::create_directories(at.parent_path());
        fs::create_symlink(fs::relative(to, at.parent_path()), at);
    }

    void Usb(const std::string& rel, const char* vid, const char* pid, const char* bcd,
             const std::string& product, const char* version) {
        std::vector<std::pair<std::string, std::string>> attrs = {{"idVendor", vid},
                                                                  {"idProduct", pid},
                                                                  {"bcdDevice", bcd},
                                                                  {"version", version},
                                                                  {"authorized", "1"}};
        if (!product.empty()) attrs.push_back({"product", product});
        const std::string full = std::string(kXhci) + "/" + rel;
        Node(full, attrs);
        Link(sys / "bus/usb/devices" / fs::path(rel).filename(), devices / full);
    }

    // A SCSI disk unit below `parent` with `parts` partitions of 32 MiB.
    void Disk(const std::string& parent, const std::string& addr, const std::string& name,
              int minor, int parts) {
        const std::string host = "host" + addr.substr(0, addr.find(':'));
        const std::string target = "target" + addr.substr(0, addr.rfind(':'));
        const fs::path u = devices / parent / host / target / addr;
        Node((fs::path(parent) / host).string(), {});
        Node((fs::path(parent) / host / target).string(), {});
        Node(fs::relative(u, devices).string(),
             {{"type", "0"}, {"vendor", "KORVA"}, {"model", "FLASH"}, {"rev", "8.00"}});
        Link(sys / "bus/scsi/devices" / addr, u);
        const fs::path b = u / "block" / name;
        WriteFile(b / "uevent", "");
        WriteFile(b / "size", std::to_string(2048 + parts * 65536) + "\n");
        WriteFile(b / "dev", "8:" + std::to_string(minor) + "\n");
        for (int i = 1; i <= parts; ++i) {
            const std::string pn = name + std::to_string(i);
            WriteFile(b / pn / "uevent", "");
            WriteFile(b / pn / "partition", std::to_string(i) + "\n");
            WriteFile(b / pn / "start", std::to_string(2048 + (i - 1) * 65536) + "\n");
            WriteFile(b / pn / "size", "65536\n");
            WriteFile(b / pn / "dev", "8:" + std::to_string(minor + i) + "\n");
            fs::create_directories(b / pn / "holders");
            WriteFile(dev / pn, "");
            fs::resize_file(dev / pn, 65536 * 512);
        }
    }

    std::string Attr(const std::string& rel) const {
        return ReadFile(devices / kXhci / rel).value_or("?");
    }
};

std::string Leaf(const std::string& key) {
    return fs::path(key).filename().string();
}

TEST(SarnikLinuxDevices, TreeInPreOrderWithThePlatformsHardwareIds) {
    FakeMachine m;
    const auto p = m.Platform();
    std::vector<std::pair<std::string, std::string>> ids;
    std::vector<std::string> hidden;
    for (const auto& n : p->device_tree()) {
        if (!n.hardware_id.empty()) ids.push_back({Leaf(n.key), n.hardware_id});
        if (n.hidden) hidden.push_back(Leaf(n.key));
    }
    const std::vector<std::pair<std::string, std::string>> expect = {
        {"0000:00:14.0", "PCI\\VEN_8086&DEV_A36D&SUBSYS_085C1028&REV_10"},
        {"usb1", "USB\\ROOT_HUB20"},
        {"1-1", "USB\\VID_ABCD&PID_1234&REV_0100"},
        {"1-1:1.0", "USB\\VID_ABCD&PID_1234&REV_0100&MI_00"},
        {"1-2", "USB\\VID_046D&PID_C31C&REV_6401"},
    };
    EXPECT_EQ(ids, expect);
    EXPECT_EQ(hidden, (std::vector<std::string>{"0000:00:14.0", "usb1"}));
    EXPECT_EQ(p->device_tree().front().key, m.devices.string()) << "the walk starts at the root";

    // The USB list: hubs and devices, not interfaces; names are product strings.
    const auto usb = p->usb_devices();
    ASSERT_TRUE(usb.has_value());
    ASSERT_EQ(usb->size(), 3u);
    EXPECT_EQ(Leaf(usb->at(0).key), "usb1");
    EXPECT_TRUE(usb->at(0).hidden);
    EXPECT_EQ(usb->at(1).name, "Flash Disk");
    EXPECT_EQ(usb->at(2).name, "");

    EXPECT_FALSE(sarnik::make_linux_platform(m.dir.str() + "/none", m.dev.string())
                     ->usb_devices()
                     .has_value());
    EXPECT_TRUE(
        sarnik::make_linux_platform(m.dir.str() + "/none", m.dev.string())->device_tree().empty());
}

TEST(SarnikLinuxDevices, DisableAndEnableThroughAuthorizedOrTheDriver) {
    FakeMachine m;
    const auto p = m.Platform();
    EXPECT_EQ(svc::reset_device(*p, "Flash", svc::kDisable), 1);
    EXPECT_EQ(m.Attr("usb1/1-1/authorized"), "0");
    EXPECT_EQ(svc::reset_device(*p, "Flash", svc::kEnable), 1);
    EXPECT_EQ(m.Attr("usb1/1-1/authorized"), "1");
    // A device without a product string is known by its hardware ID.
    EXPECT_EQ(svc::reset_device(*p, "VID_046D", svc::kDisable), 1);
    EXPECT_EQ(m.Attr("usb1/1-2/authorized"), "0");
    // The root hub's product string matches, but it is hidden.
    EXPECT_EQ(svc::reset_device(*p, "xHCI", svc::kDisable), 0);
    EXPECT_EQ(m.Attr("usb1/authorized"), "1\n");

    EXPECT_EQ(svc::reset_device98(*p, "VID_ABCD", svc::kDisable), 1);
    EXPECT_EQ(m.Attr("usb1/1-1/authorized"), "0");
    EXPECT_EQ(svc::reset_device98(*p, "VID_ABCD", svc::kRestart), 1);
    EXPECT_EQ(m.Attr("usb1/1-1/authorized"), "1");

    // A node without "authorized": its driver is unbound, then probed for.
    EXPECT_EQ(svc::reset_device98(*p, "DEV_A36D", svc::kDisable), 1);
    EXPECT_EQ(ReadFile(m.sys / "bus/pci/drivers/xhci_hcd/unbind"), "0000:00:14.0");
    EXPECT_EQ(svc::reset_device98(*p, "DEV_A36D", svc::kEnable), 1);
    EXPECT_EQ(ReadFile(m.sys / "bus/pci/drivers_probe"), "0000:00:14.0");
}

TEST(SarnikLinuxVolumes, LettersForUsbPartitionsAndWhyTheyAreInUse) {
    FakeMachine m;
    WriteFile(m.devices / kXhci /
                  "usb1/1-1/1-1:1.0/host2/target2:0:0/2:0:0:0/block/sdb/sdb1/"
                  "holders/dm-0",
              "");
    WriteFile(m.proc / "self/mountinfo",
              "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
              "40 22 8:18 / /media/stick rw - vfat /dev/sdb2 rw\n"
              "41 22 0:55 / /mnt/other rw - vfat " +
                  (m.dev / "sdb3").string() + " rw\n");
    WriteFile(m.proc / "swaps",
              "Filename\tType\tSize\tUsed\tPriority\n/dev/sdb4 partition 1 0 -2\n");
    auto table = m.Platform()->volumes();
    ASSERT_EQ(table.size(), 4u) << "the SATA disk has no letters";
    const std::string d =
        "\\\\?\\usbstor#disk&ven_korva&prod_flash&rev_8.00#2&0&0&0#"
        "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(table[i].letter, 'd' + i);
        EXPECT_EQ(table[i].unit_path, d);
        EXPECT_EQ(table[i].partition, i + 1);
        EXPECT_EQ(table[i].start_sector, 2048 + i * 65536);
        EXPECT_EQ(table[i].node, (m.dev / ("sdb" + std::to_string(i + 1))).string());
        EXPECT_EQ(table[i].name.substr(0, 14), "\\\\?\\Volume{4ea");
    }
    EXPECT_EQ(table[0].in_use, "held by dm-0");
    EXPECT_EQ(table[1].in_use, "mounted on /media/stick");
    EXPECT_EQ(table[2].in_use, "mounted on /mnt/other");
    EXPECT_EQ(table[3].in_use, "it holds a swap area");

    WriteFile(m.proc / "swaps", "Filename\tType\tSize\tUsed\tPriority\n");
    EXPECT_EQ(m.Platform()->volumes()[3].in_use, "");
    WriteFile(m.proc / "self/mountinfo", "22 1 8:20 / / rw - ext4 /dev/root rw\n");
    EXPECT_EQ(m.Platform()->volumes()[3].in_use, "it holds the root file system");
    fs::remove(m.proc / "self/mountinfo");
    EXPECT_EQ(m.Platform()->volumes()[3].in_use, "the mount table cannot be read");
}

TEST(SarnikLinuxVolumes, FormatExWorksOnThePartitionNodeUnlessItIsInUse) {
    FakeMachine m;
    EnvVar root("SARNIK_ROOT", m.dir.str() + "/root");
    EnvVar tools("SARNIK_FORMAT_TOOLS", std::nullopt);
    const auto p = m.Platform();
    const fs::path g = m.dev / "sdb4";

    // Mounted, or holding a swap area: not a byte is written.
    WriteFile(m.proc / "self/mountinfo", "40 22 8:20 / /media/g rw - vfat /dev/sdb4 rw\n");
    EXPECT_EQ(svc::format_ex(*p, 7), svc::kFormatFailed);
    WriteFile(m.proc / "swaps", "Filename\tType\tSize\tUsed\tPriority\n/dev/sdb4 partition\n");
    WriteFile(m.proc / "self/mountinfo", "");
    EXPECT_EQ(svc::format_ex(*p, 7), svc::kFormatFailed);
    EXPECT_EQ(ReadFile(g), std::string(65536 * 512, '\0'));

    WriteFile(m.proc / "swaps", "Filename\tType\tSize\tUsed\tPriority\n");
    EXPECT_EQ(svc::format_ex(*p, 7), svc::kFormatted);
    FILE* f = popen(("fsck.fat -n '" + g.string() + "' >/dev/null 2>&1; echo $?").c_str(), "r");
    char rc[8] = {};
    ASSERT_NE(f, nullptr);
    ASSERT_NE(fgets(rc, sizeof rc, f), nullptr);
    pclose(f);
    EXPECT_STREQ(rc, "0\n");
    f = popen(("fatlabel '" + g.string() + "'").c_str(), "r");
    char label[32] = {};
    ASSERT_NE(f, nullptr);
    ASSERT_NE(fgets(label, sizeof label, f), nullptr);
    pclose(f);
    EXPECT_STREQ(label, "KorvaDisk\n");
    // The other partitions were not touched.
    EXPECT_EQ(ReadFile(m.dev / "sdb3"), std::string(65536 * 512, '\0'));
}

}  // namespace
