// Write protect and password page on the controller emulator.
#include <vector>

#include "controller/steps.h"
#include "station_on_bus.h"
#include "ui/grid.h"

namespace galmor {
namespace {

using Block = std::array<uint8_t, kSector>;

class ProtectOnBus : public testing::StationOnBus {
  protected:
    // Setup page 2 as the controller holds it now (read with its own handle).
    Block Page2(int index) {
        Block b{};
        const int32_t h = st.lib.GetDiskHandle(index);
        EXPECT_EQ(st.lib.VendorScan(h, 0x9C, 0x09, 0, 0, 0x02, 0, 512, b.data()), 1);
        Sarnik::CloseHandle(h);
        return b;
    }
};

TEST_F(ProtectOnBus, ZeroPasswordBytesClearThePage) {
    const std::string id = Plug();
    Attach(1, 0);
    ASSERT_NE(Page2(0), Block{});  // the fresh page carries its page number
    const size_t before = VendorOps(id).size();

    ClearIllegalUserPassword(Job(1));
    const auto ops = VendorOps(id);
    ASSERT_EQ(ops.size(), before + 3);
    EXPECT_EQ(std::vector<int>(ops.begin() + before, ops.end()),
              (std::vector<int>{0x9C, 0x74, 0x73}));
    const auto trace = Trace(id);
    EXPECT_EQ(trace[trace.size() - 3].substr(0, 29), "9C 09 00 00 02 00 00 00 00 00");
    EXPECT_EQ(trace[trace.size() - 1].substr(0, 29), "73 00 00 00 00 00 00 00 00 00");
    // What the controller took as page 2 were 512 zero bytes.
    EXPECT_EQ(Page2(0), Block{});
    EXPECT_EQ(st.ports[0].ErrorStatus, 0);
}

TEST_F(ProtectOnBus, PageWithPasswordBytesIsLeftAlone) {
    simdev::FreshOptions d;
    d.password = true;  // page 2 bytes 129 and 130 are not 0
    const std::string id = Plug(With(d));
    Attach(1, 0);
    const Block page = Page2(0);
    ASSERT_TRUE(page[129] != 0 || page[130] != 0);
    const size_t before = VendorOps(id).size();
    ClearIllegalUserPassword(Job(1));
    EXPECT_EQ(VendorOps(id).size(), before + 1);
    EXPECT_EQ(VendorOps(id).back(), 0x9C);
    EXPECT_EQ(Page2(0), page);
}

TEST_F(ProtectOnBus, UnreadPageIsNeverOverwritten) {
    const std::string id = Plug(With({}, {{0x9C, 1, false}}));
    Attach(1, 0);
    st.ports[0].ReplyBuffer.fill(0);  // what an earlier reply may have left
    ClearIllegalUserPassword(Job(1));
    EXPECT_EQ(VendorOps(id), (std::vector<int>{0x9C}));
    EXPECT_EQ(Page2(0)[0], 2);
}

TEST_F(ProtectOnBus, WriteProtectStateFromTheSwitch) {
    simdev::FreshOptions on;
    on.wp_switch_on = true;
    simdev::FreshOptions oldOn = on;
    oldOn.fw_rev = 2;
    const std::string writable = Plug();
    Plug(With(on));
    Plug(With(oldOn));
    const std::string broken = Plug(With({}, {{0x75, 1, false}}));
    for (int k = 0; k < 4; ++k) Attach(k + 1, k);

    EXPECT_EQ(ReadWriteProtectState(Job(1)), WpState::Writable);
    EXPECT_EQ(bus.Opcodes(writable), (std::vector<int>{0x00, 0x00, 0x75}));
    EXPECT_EQ(ReadWriteProtectState(Job(2)), WpState::Protected);
    EXPECT_EQ(ReadWriteProtectState(Job(3)), WpState::Protected);
    EXPECT_EQ(st.ports[0].ReplyBuffer[129], 1);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(st.ports[k].ErrorStatus, 0);

    EXPECT_EQ(ReadWriteProtectState(Job(4)), std::nullopt);
    EXPECT_EQ(st.ports[3].ErrorStatus, 0x75);
    EXPECT_EQ(bus.Opcodes(broken), (std::vector<int>{0x00, 0x00, 0x75}));
}

TEST_F(ProtectOnBus, CheckWriteProtectColumn) {
    simdev::FreshOptions on;
    on.wp_switch_on = true;
    Plug(With(on));
    Plug();
    Plug(With({}, {{0x75, 1, false}}));
    for (int k = 0; k < 3; ++k) Attach(k + 1, k);

    CheckWriteProtect(Job(1));
    EXPECT_TRUE(Label("CCG", 0).visible);
    EXPECT_EQ(Label("CCG", 0).caption, "Write Protected");
    EXPECT_FALSE(Label("CCR", 0).visible);
    EXPECT_EQ(Label("ThumbImage", 0).picture, kPictureAbsent);
    EXPECT_FALSE(st.run.AnyFailed);

    // Not protected: a failure in its own column and picture only.
    CheckWriteProtect(Job(2));
    EXPECT_FALSE(Label("CCG", 1).visible);
    EXPECT_TRUE(Label("CCR", 1).visible);
    EXPECT_EQ(Label("CCR", 1).caption, "Not Write Protected");
    EXPECT_EQ(Label("ThumbImage", 1).picture, kPictureFailed);
    EXPECT_EQ(st.ports[1].ErrorStatus, 0);
    EXPECT_FALSE(st.run.AnyFailed);

    CheckWriteProtect(Job(3));
    EXPECT_TRUE(Label("CCG", 2).visible);
    EXPECT_EQ(Label("CCG", 2).caption, "Check Write Protect Fail!");
    EXPECT_EQ(st.ports[2].ErrorStatus, 0x75);
    EXPECT_TRUE(st.run.AnyFailed);
}

}  // namespace
}  // namespace galmor
