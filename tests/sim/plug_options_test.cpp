// Every option of `simbus plug` for a controller, seen where the station sees
// it: in the vendor replies, the unit path, refused writes, faults and timing.
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "simtest.h"

using simdev::Direction;
using simdev::UnitClass;
using namespace simtest;

namespace {

class PlugOptionTest : public BusTest {
  protected:
    // Plugs a controller through the tool and opens its disk unit.
    void PlugWith(std::vector<std::string> options) {
        if (fd > 0) close(fd);
        fd = -1;
        options.insert(options.begin(), {"--bus", bus_dir, "plug"});
        auto r = RunTool(options);
        ASSERT_EQ(r.code, 0) << r.err;
        id = r.out.substr(0, r.out.find('\n'));
        const auto paths = bus.interface_paths(UnitClass::Disk);
        ASSERT_FALSE(paths.empty());
        path = paths.back();
        fd = bus.open(path);
        ASSERT_GT(fd, 0);
    }
    void TearDown() override {
        if (fd > 0) close(fd);
    }

    // VendorR-style command: 10-byte CDB, 512 bytes in.
    std::vector<uint8_t> VendorIn(std::vector<uint8_t> cdb, bool* ok = nullptr) {
        cdb.resize(10, 0);
        std::vector<uint8_t> reply(512, 0xEE);
        const auto o = Exec(bus, fd, cdb, Direction::In, reply.data(), 512);
        if (ok) *ok = Good(o);
        return reply;
    }
    std::vector<uint8_t> DeviceInfo() { return VendorIn({0x75}); }
    std::vector<uint8_t> SetupPage2() { return VendorIn({0x9C, 0x09, 0, 0, 0x02, 0}); }
    bool WriteSector() { return Good(Write10(bus, fd, 0, Pattern(1, 1))); }

    std::string id, path;
    int fd = -1;
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace

TEST_F(PlugOptionTest, DefaultsAreAWritableFreshController) {
    PlugWith({});
    EXPECT_NE(path.find("usbstor#disk&ven_korva&prod_usb_flash_disk&rev_7.77#"), std::string::npos);
    const auto info = DeviceInfo();
    EXPECT_EQ(info[131], 5);
    EXPECT_EQ(info[126], 0);
    EXPECT_EQ(info[128], 0xC0);
    EXPECT_EQ(info[129], 1);
    const auto chips = VendorIn({0x93});
    EXPECT_EQ(chips[0], 0xDC);
    EXPECT_EQ(chips[1], 0xAA);
    const auto page = SetupPage2();
    EXPECT_EQ(page[129], 0);
    EXPECT_EQ(page[130], 0);
    EXPECT_TRUE(WriteSector());
    EXPECT_EQ(bus.inspect(id)->at("timing").at("last_delay_us"), 0);
}

TEST_F(PlugOptionTest, ChipsSetTheChipList) {
    PlugWith({"--chips", "75,0x75,f1"});
    const auto chips = VendorIn({0x93});
    EXPECT_EQ(std::vector<uint8_t>(chips.begin(), chips.begin() + 4),
              (std::vector<uint8_t>{0x75, 0x75, 0xF1, 0xAA}));
}

TEST_F(PlugOptionTest, FirmwareRevisionIsByte131) {
    PlugWith({"--fw-rev", "2"});
    EXPECT_EQ(DeviceInfo()[131], 2);
    PlugWith({"--fw-rev", "0x10"});
    EXPECT_EQ(DeviceInfo()[131], 0x10);
}

TEST_F(PlugOptionTest, IdentityStringsAppearInThePath) {
    PlugWith({"--vendor", "Maker", "--product", "Stick 2", "--rev", "7.70"});
    EXPECT_NE(path.find("usbstor#disk&ven_maker&prod_stick_2&rev_7.70#"), std::string::npos)
        << path;
}

TEST_F(PlugOptionTest, PasswordShowsInByte128AndSetupPage2) {
    PlugWith({"--password"});
    EXPECT_NE(DeviceInfo()[128], 0xC0);
    const auto page = SetupPage2();
    EXPECT_FALSE(page[129] == 0 && page[130] == 0);
}

TEST_F(PlugOptionTest, ProtectionFlagsShowInByte126AndRefuseWrites) {
    PlugWith({"--hw-write-protect"});
    EXPECT_EQ(DeviceInfo()[126], 0x80);
    EXPECT_FALSE(WriteSector());
    PlugWith({"--sw-write-protect"});
    EXPECT_EQ(DeviceInfo()[126], 0x40);
    EXPECT_FALSE(WriteSector());
    PlugWith({"--bad-blocks"});
    EXPECT_EQ(DeviceInfo()[126], 0x20);
}

TEST_F(PlugOptionTest, WriteProtectSwitchShowsInByte129AndRefusesWrites) {
    PlugWith({"--wp-switch-on"});
    EXPECT_EQ(DeviceInfo()[129], 0);
    EXPECT_FALSE(WriteSector());
}

TEST_F(PlugOptionTest, FailMakesTheNthSubCommandCheckCondition) {
    PlugWith({"--fail", "93:2", "--fail", "0x75"});
    bool ok = true;
    VendorIn({0x75}, &ok);
    EXPECT_FALSE(ok);
    VendorIn({0x75}, &ok);
    EXPECT_TRUE(ok);
    VendorIn({0x93}, &ok);
    EXPECT_TRUE(ok);
    std::vector<uint8_t> reply(512);
    const auto o = Exec(bus, fd, Cdb10(0x93), Direction::In, reply.data(), 512);
    EXPECT_TRUE(Check(o));
    VendorIn({0x93}, &ok);
    EXPECT_TRUE(ok);
}

TEST_F(PlugOptionTest, UnplugAtRemovesTheDevice) {
    PlugWith({"--unplug-at", "F5:1"});
    std::vector<uint8_t> block(512, 0);
    block[0] = 0x84;
    EXPECT_TRUE(Good(TestUnitReady(bus, fd)));
    EXPECT_FALSE(Exec(bus, fd, Cdb10(0xF5), Direction::Out, block.data(), 512).delivered);
    EXPECT_FALSE(TestUnitReady(bus, fd).delivered);
    EXPECT_TRUE(bus.interface_paths(UnitClass::Disk).empty());
}

TEST_F(PlugOptionTest, TimingRecordsTheModelledDelay) {
    PlugWith({"--timing", "usb1"});
    DeviceInfo();
    EXPECT_EQ(bus.inspect(id)->at("timing").at("last_delay_us"), 2000 + 512);
    PlugWith({"--timing", "usb2"});
    DeviceInfo();
    EXPECT_EQ(bus.inspect(id)->at("timing").at("last_delay_us"), 1000 + 512 / 30);
}

TEST_F(PlugOptionTest, NotUsbHidesTheDeviceFromUsbTests) {
    PlugWith({"--not-usb", "--vendor", "USBcorp"});
    EXPECT_EQ(path.rfind("\\\\?\\scsi#disk&", 0), 0u);
    EXPECT_EQ(Lower(path).find("usb"), std::string::npos) << path;
    EXPECT_EQ(DeviceInfo()[131], 5);  // still answers its vendor commands
}
