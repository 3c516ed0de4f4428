// The "Check Config" column on the controller emulator.
#include "controller/station_on_bus.h"
#include "controller/steps.h"
#include "media/media.h"
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
    ASSERT_EQ(BuildConfigBlock(st, 1, true), 1);
    // A later disk draws another serial: the check must still pass.
    st.settings.SerialNumber = "ZX 0FFFF";
    TestCopyAndCompareFile(st, 0);
    EXPECT_TRUE(Label("CC1mG", 0).visible);
    EXPECT_TRUE(Label("CC1mR", 0).visible);
    EXPECT_EQ(Label("CC1mG", 0).caption, "V");
    EXPECT_EQ(Label("CC1mR", 0).caption, "");
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPictureAbsent);
    EXPECT_EQ(st.ports[0].ErrorStatus, 0);
    EXPECT_FALSE(st.AnyFailed);
}

TEST_F(ConfigCheckOnBus, DifferingOrUnreadableBlockFails) {
    Plug();
    Plug(With({}, {{0x82, 1, false}}));
    Attach(1, 0);
    Attach(2, 1);
    ASSERT_EQ(BuildConfigBlock(st, 1, true), 1);
    st.settings.Vid = "0E5B";
    TestCopyAndCompareFile(st, 0);
    EXPECT_EQ(Label("CC1mG", 0).caption, "X");
    EXPECT_EQ(Label("CC1mR", 0).caption, "Error Status = 82");
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPictureFailed);
    EXPECT_TRUE(st.AnyFailed);

    st.AnyFailed = false;
    TestCopyAndCompareFile(st, 1);
    EXPECT_TRUE(Label("CC1mR", 1).visible);
    EXPECT_EQ(Label("CC1mG", 1).caption, "X");
    EXPECT_EQ(Label("CC1mR", 1).caption, "Error Status = 82");
    EXPECT_EQ(Label("ThumbImage", 1).picture, kPictureFailed);
    EXPECT_TRUE(st.AnyFailed);
}

}  // namespace
}  // namespace galmor
