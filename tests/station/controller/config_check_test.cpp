// The "Check Config" column on the controller emulator.
#include "controller/steps.h"
#include "media/media.h"
#include "station_on_bus.h"
#include "ui/grid.h"

namespace galmor {
namespace {

class ConfigCheckOnBus : public testing::StationOnBus {
  protected:
    ConfigCheckOnBus() {
        ProductSettings& s = st.settings;
        s.Vid = "0E5A";
        s.Pid = "7301";
        s.UsbManufacturer = "Maker";
        s.UsbProduct = "Flash Disk";
        s.ScsiVendor = "MAKER";
        s.ScsiProduct = "FLASH DISK";
        s.SerialSectionPresent = s.SerialGiven = true;
        s.SerialComplete = false;
        s.SerialNumber = "ZX      ";
    }
};

TEST_F(ConfigCheckOnBus, StoredBlockMatchesEvenWithAnotherSerial) {
    Plug();
    Attach(1, 0);
    ASSERT_EQ(BuildConfigBlock(Job(1), true), BuildResult::Written);
    // A later disk draws another serial: the check must still pass.
    st.settings.SerialNumber = "ZX 0FFFF";
    st.run.serial.Reset(st.settings);
    TestCopyAndCompareFile(Job(1));
    EXPECT_TRUE(Label("CC1mG", 0).visible);
    EXPECT_TRUE(Label("CC1mR", 0).visible);
    EXPECT_EQ(Label("CC1mG", 0).caption, "V");
    EXPECT_EQ(Label("CC1mR", 0).caption, "");
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPictureAbsent);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0);
    EXPECT_FALSE(st.run.AnyFailed);
}

TEST_F(ConfigCheckOnBus, DifferingOrUnreadableBlockFails) {
    Plug();
    Plug(With({}, {{0x82, 1, false}}));
    Attach(1, 0);
    Attach(2, 1);
    ASSERT_EQ(BuildConfigBlock(Job(1), true), BuildResult::Written);
    st.settings.Vid = "0E5B";
    TestCopyAndCompareFile(Job(1));
    EXPECT_EQ(Label("CC1mG", 0).caption, "X");
    EXPECT_EQ(Label("CC1mR", 0).caption, "Error Status = 82");
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPictureFailed);
    EXPECT_TRUE(st.run.AnyFailed);

    st.run.AnyFailed = false;
    TestCopyAndCompareFile(Job(2));
    EXPECT_TRUE(Label("CC1mR", 1).visible);
    EXPECT_EQ(Label("CC1mG", 1).caption, "X");
    EXPECT_EQ(Label("CC1mR", 1).caption, "Error Status = 82");
    EXPECT_EQ(Label("ThumbImage", 1).picture, kPictureFailed);
    EXPECT_TRUE(st.run.AnyFailed);
}

}  // namespace
}  // namespace galmor
