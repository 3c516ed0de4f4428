// The configuration block on the controller emulator: building, writing,
// reading back and the "Config String" column.
#include <algorithm>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "controller/config_block.h"
#include "controller/steps.h"
#include "recipe/parser.h"
#include "station_on_bus.h"
#include "ui/grid.h"

namespace galmor {
namespace {

class ConfigBlockOnBus : public testing::StationOnBus {
  protected:
    ConfigBlockOnBus() {
        ProductSettings& s = st.settings;
        s.Vid = "1234";
        s.Pid = "5678";
        s.UsbManufacturer = "AB";
        s.UsbProduct = "Disk";
        s.ScsiVendor = "AB";
        s.ScsiProduct = "Disk";
        s.SerialSectionPresent = s.SerialGiven = s.SerialComplete = true;
        s.SerialNumber = "00012345";
    }
    void UsePrefix(const std::string& prefix) {
        st.settings.SerialComplete = false;
        st.settings.SerialNumber = prefix + std::string(8 - prefix.size(), ' ');
        st.run.serial.Reset(st.settings);  // as a fresh recipe load does
    }
    std::string CurrentSerial() const { return st.run.serial.Current(st.settings); }
    static std::string SerialIn(const Block& b) {
        std::string s;
        for (size_t k = 0; k < 8; ++k) s.push_back(static_cast<char>(b[130 + 2 * k]));
        return s;
    }
};

TEST_F(ConfigBlockOnBus, WorkedExampleIsWrittenAndTheControllerAcceptsIt) {
    const std::string id = Plug();  // firmware revision 5
    Attach(1, 0);
    SetUsbScsiStr(Job(1));

    EXPECT_EQ(VendorOps(id), (std::vector<int>{0x75, 0x81}));
    const Control llg = Label("LLG", 0), llr = Label("LLR", 0);
    EXPECT_TRUE(llg.visible);
    EXPECT_TRUE(llr.visible);
    EXPECT_EQ(llg.caption, "String = V");
    EXPECT_EQ(llr.caption, "Write = V");
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPictureAbsent);  // untouched
    EXPECT_FALSE(st.run.AnyFailed);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0);

    const Block stored = StoredConfig(0);
    EXPECT_EQ(stored, st.ports[0].SectorBuffer);
    Block expected;
    ASSERT_EQ(ComposeConfigBlock({"1234", "5678", "AB", "Disk", "AB", "Disk"}, 0x05, "00012345", 0,
                                 0, expected),
              ComposeResult::Ok);
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(stored[66], 0x32);
    EXPECT_EQ(stored[146], 0xA4);

    // The emulator's own decoder takes the block as valid.
    const auto info = bus.bus().inspect(id);
    ASSERT_TRUE(info);
    const auto& cfg = (*info)["device"]["config_block"];
    EXPECT_TRUE(cfg["valid"].get<bool>()) << cfg.dump();
    EXPECT_EQ(cfg["vid"], "1234");
    EXPECT_EQ(cfg["pid"], "5678");
    EXPECT_EQ(cfg["serial"], "00012345");
    EXPECT_EQ(cfg["scsi_revision"], "8.00");
}

TEST_F(ConfigBlockOnBus, RecipeLettersReachTheDeviceAsUtf16) {
    // "\u00c4b" from a UTF-8 recipe and from a Latin-1 one, on two disks.
    const std::string lines[] = {
        "\xC3\x84"
        "b",
        "\xC4"
        "b"};
    const std::string ids[] = {Plug(), Plug()};
    for (int k = 0; k < 2; ++k) {
        Attach(k + 1, k);
        ProductSettings parsed;
        ParseRecipe("[USB MANUFACTURE STRING]\r\n" + lines[k] + "\r\n", parsed, "/",
                    [](const std::string&) { return true; });
        st.settings.UsbManufacturer = parsed.UsbManufacturer;
        SetUsbScsiStr(Job(k + 1));
        EXPECT_EQ(st.ports[k].ErrorStatus, 0);
        const Block stored = StoredConfig(k);
        EXPECT_EQ(std::vector<uint8_t>(stored.begin() + 22, stored.begin() + 28),
                  (std::vector<uint8_t>{0x06, 0x03, 0xC4, 0x00, 0x62, 0x00}));
        const auto info = bus.bus().inspect(ids[k]);
        ASSERT_TRUE(info);
        const auto& cfg = (*info)["device"]["config_block"];
        EXPECT_TRUE(cfg["valid"].get<bool>()) << cfg.dump();
        EXPECT_EQ(cfg["manufacturer"], "\u00c4b");
    }
}

TEST_F(ConfigBlockOnBus, RevisionAndReservedSizesComeFromDeviceAndRecipe) {
    simdev::FreshOptions d;
    d.fw_rev = 0x31;
    Plug(With(d));
    Attach(1, 0);
    st.settings.TotalReservedSectors = 0x00012345;
    st.settings.ReserveImageSectors = 0x2000;
    ASSERT_EQ(BuildConfigBlock(Job(1), true), BuildResult::Written);
    const Block stored = StoredConfig(0);
    EXPECT_EQ(stored[16], 0x31);
    EXPECT_EQ(stored[17], 0x01);
    EXPECT_EQ(std::vector<uint8_t>(stored.begin() + 192, stored.begin() + 200),
              (std::vector<uint8_t>{0x00, 0x01, 0x23, 0x45, 0x00, 0x00, 0x20, 0x00}));
}

TEST_F(ConfigBlockOnBus, MissingSettingStopsBeforeAnyBlockByte) {
    const std::string id = Plug();
    Attach(1, 0);
    st.settings.Pid.clear();
    st.ports[0].SectorBuffer.fill(0x5A);
    EXPECT_EQ(BuildConfigBlock(Job(1), true), BuildResult::MissingSetting);
    EXPECT_EQ(st.ports[0].SectorBuffer, Block{});
    EXPECT_EQ(st.ports[0].ErrorStatus, 0xF7);
    EXPECT_EQ(VendorOps(id), (std::vector<int>{0x75}));

    st.ports[0].ErrorStatus = 0;
    SetUsbScsiStr(Job(1));
    EXPECT_EQ(Label("LLG", 0).caption, "String = X");
    EXPECT_EQ(Label("LLR", 0).caption, "Write = X");
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPictureFailed);
    EXPECT_TRUE(st.run.AnyFailed);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0xF7);
    EXPECT_EQ(VendorOps(id), (std::vector<int>{0x75, 0x75}));
}

TEST_F(ConfigBlockOnBus, FailedWriteIsReportedInTheColumn) {
    simdev::FreshOptions d;
    Plug(With(d, {{0x81, 1, false}}));
    Attach(1, 0);
    SetUsbScsiStr(Job(1));
    EXPECT_EQ(st.ports[0].ErrorStatus, 0xF6);
    EXPECT_EQ(Label("LLG", 0).caption, "String = V");
    EXPECT_EQ(Label("LLR", 0).caption, "Write = X");
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPictureFailed);
    EXPECT_TRUE(st.run.AnyFailed);
    // The block that was to be written stays in the buffer.
    const auto d2 = DecodeConfigBlock(st.ports[0].SectorBuffer.data(), kSector);
    ASSERT_TRUE(d2);
    EXPECT_TRUE(d2->HeaderOk && d2->SerialOk);
}

// Without the device information the controller's revision is unknown: no
// block goes out (one with another revision would pass unnoticed), the step
// fails with 0x75, and a check has nothing to compare with.
TEST_F(ConfigBlockOnBus, UnreadableDeviceInfoWritesNoBlock) {
    const std::string id = Plug(With(simdev::FreshOptions{}, {{0x75, 1, false}, {0x75, 2, false}}));
    Attach(1, 0);
    SetUsbScsiStr(Job(1));
    EXPECT_EQ(st.ports[0].ErrorStatus, 0x75);
    EXPECT_EQ(VendorOps(id), (std::vector<int>{0x75}));
    EXPECT_EQ(Label("LLR", 0).caption, "Write = X");
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPictureFailed);
    EXPECT_TRUE(st.run.AnyFailed);

    st.ports[0].ErrorStatus = 0;
    EXPECT_EQ(VerifyConfigBlock(Job(1)), VerifyResult::Differs);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0x82);
}

TEST_F(ConfigBlockOnBus, BuildingWithoutWritingKeepsTheSerialAndSendsOnlyTheInfoRead) {
    const std::string id = Plug();
    Attach(1, 0);
    UsePrefix("ABC");
    EXPECT_EQ(BuildConfigBlock(Job(1), false), std::nullopt);
    EXPECT_EQ(VendorOps(id), (std::vector<int>{0x75}));
    EXPECT_EQ(CurrentSerial(), "ABC     ");
    EXPECT_EQ(SerialIn(st.ports[0].SectorBuffer), "ABC     ");

    const std::regex prefixed("^ABC0[0-9A-F]{4}$");
    std::set<std::string> serials;
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(BuildConfigBlock(Job(1), true), BuildResult::Written);
        const std::string serial = SerialIn(StoredConfig(0));
        EXPECT_TRUE(std::regex_match(serial, prefixed)) << serial;
        EXPECT_EQ(CurrentSerial(), serial);
        serials.insert(serial);
    }
    EXPECT_GE(serials.size(), 2u);
    EXPECT_EQ(st.settings.SerialNumber, "ABC     ") << "drawing never changes the recipe";

    // A complete configured serial goes on every disk unchanged.
    st.settings.SerialComplete = true;
    st.settings.SerialNumber = "SN000042";
    st.run.serial.Reset(st.settings);
    ASSERT_EQ(BuildConfigBlock(Job(1), true), BuildResult::Written);
    ASSERT_EQ(BuildConfigBlock(Job(1), true), BuildResult::Written);
    EXPECT_EQ(SerialIn(StoredConfig(0)), "SN000042");

    // Without a serial section: eight zeros.
    st.settings.SerialSectionPresent = st.settings.SerialGiven = false;
    st.settings.SerialComplete = false;
    ASSERT_EQ(BuildConfigBlock(Job(1), true), BuildResult::Written);
    const Block stored = StoredConfig(0);
    EXPECT_EQ(SerialIn(stored), "00000000");
    EXPECT_EQ(stored[146], 0x95);
}

TEST_F(ConfigBlockOnBus, VerifyComparesIdentityNotSerial) {
    Plug();
    Plug(With({}, {{0x82, 1, false}}));
    Attach(1, 0);
    Attach(2, 1);
    ASSERT_EQ(BuildConfigBlock(Job(1), true), BuildResult::Written);

    st.settings.SerialNumber = "99999999";
    st.run.serial.Reset(st.settings);
    EXPECT_EQ(VerifyConfigBlock(Job(1)), VerifyResult::Matches);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0);
    EXPECT_EQ(st.ports[0].ReplyBuffer, StoredConfig(0));
    EXPECT_EQ(SerialIn(st.ports[0].SectorBuffer), "99999999");

    st.settings.ScsiProduct = "Disk2";
    EXPECT_EQ(VerifyConfigBlock(Job(1)), VerifyResult::Differs);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0x82);

    EXPECT_EQ(VerifyConfigBlock(Job(2)), VerifyResult::Unreadable);
    EXPECT_EQ(st.ports[1].ErrorStatus, 0x82);
}

TEST_F(ConfigBlockOnBus, BlankStoredBlockNeverMatchesMissingSettings) {
    Plug();  // nothing stored yet: the controller returns a blank block
    Attach(1, 0);
    st.settings.UsbProduct.clear();
    EXPECT_EQ(VerifyConfigBlock(Job(1)), VerifyResult::Differs);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0x82);
}

TEST_F(ConfigBlockOnBus, ConcurrentDrawsOnEightPortsNeverMix) {
    for (int k = 0; k < 8; ++k) {
        Plug();
        Attach(k + 1, k);
    }
    st.settings.SerialSectionPresent = true;
    st.settings.SerialGiven = false;  // a full random serial per disk
    st.settings.SerialComplete = false;
    for (int round = 0; round < 3; ++round) {
        std::vector<std::thread> workers;
        for (int16_t k = 0; k < 8; ++k)
            workers.emplace_back([this, k] { SetUsbScsiStr(Job(k + 1)); });
        for (auto& w : workers) w.join();

        std::set<std::string> serials;
        for (int k = 0; k < 8; ++k) {
            ASSERT_EQ(st.ports[k].ErrorStatus, 0);
            const Block stored = StoredConfig(k);
            EXPECT_EQ(stored, st.ports[k].SectorBuffer) << "port " << k + 1;
            const auto d = DecodeConfigBlock(stored.data(), stored.size());
            ASSERT_TRUE(d);
            EXPECT_TRUE(d->SerialOk);
            serials.insert(d->SerialNumber);
        }
        EXPECT_EQ(serials.size(), 8u) << "two disks carry the same draw in round " << round;
        EXPECT_TRUE(serials.count(CurrentSerial()));
    }
}

}  // namespace
}  // namespace galmor
