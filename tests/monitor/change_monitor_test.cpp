// The monitor's recount logic with a scripted set of disks: one notice per
// change of direction, the busy pause, and no change lost to it.
#include "change_monitor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "event_table.h"

using namespace dorvel;

namespace {

struct Rig {
    int disks = 0;  // present: "d0" to "d<disks - 1>"
    int counts = 0;
    int pauses = 0;
    bool listening = true;
    std::vector<std::string> sent;
    ChangeMonitor monitor{{[this] {
                               ++counts;
                               std::set<std::string> s;
                               for (int i = 0; i < disks; ++i) s.insert("d" + std::to_string(i));
                               return s;
                           },
                           [this](std::string_view n) {
                               if (listening) sent.emplace_back(n);
                               return listening;
                           },
                           [this] { ++pauses; }}};

    // An event, then the pause it started runs out.
    void EventAndPause() {
        monitor.OnEvent(kDevNodesChanged);
        while (monitor.busy()) monitor.OnPauseEnded();
    }
};

using Sent = std::vector<std::string>;

}  // namespace

TEST(ChangeMonitor, NoticeOnlyWhenTheCountMoves) {
    Rig r;
    r.disks = 1;
    r.EventAndPause();
    r.EventAndPause();  // same count: silent
    r.disks = 3;
    r.EventAndPause();
    r.disks = 0;
    r.EventAndPause();
    EXPECT_EQ(r.sent, (Sent{"IN", "IN", "OU"}));
    EXPECT_EQ(r.counts, 4);
    EXPECT_EQ(r.pauses, 4);  // every recount is followed by the pause
}

TEST(ChangeMonitor, EventsDuringThePauseGiveOneMoreRecountAfterIt) {
    Rig r;
    r.disks = 1;
    ASSERT_EQ(r.monitor.OnEvent(kDevNodesChanged), ChangeMonitor::Outcome::Recounted);
    EXPECT_EQ(r.sent, (Sent{"IN"}));
    // A second disk appears while the monitor pauses; its events wait.
    r.disks = 2;
    EXPECT_EQ(r.monitor.OnEvent(kDevNodesChanged), ChangeMonitor::Outcome::Deferred);
    EXPECT_EQ(r.monitor.OnEvent(kDevNodesChanged), ChangeMonitor::Outcome::Deferred);
    EXPECT_EQ(r.counts, 1);
    EXPECT_TRUE(r.monitor.dirty());
    // The pause ends: one recount for both, and the second disk is reported.
    EXPECT_TRUE(r.monitor.OnPauseEnded());
    EXPECT_EQ(r.sent, (Sent{"IN", "IN"}));
    EXPECT_EQ(r.counts, 2);
    EXPECT_TRUE(r.monitor.busy());  // the deferred recount has its own pause
    EXPECT_FALSE(r.monitor.OnPauseEnded());
    EXPECT_FALSE(r.monitor.busy());
    EXPECT_EQ(r.counts, 2);
}

TEST(ChangeMonitor, TwoDisksSeenByOneRecountGiveOneNotice) {
    Rig r;
    r.disks = 2;  // both plugged before the first recount ran
    r.monitor.OnEvent(kDevNodesChanged);
    r.monitor.OnEvent(kDevNodesChanged);  // the second disk's own event
    while (r.monitor.busy()) r.monitor.OnPauseEnded();
    EXPECT_EQ(r.sent, (Sent{"IN"}));
    EXPECT_EQ(r.counts, 2);  // the deferred recount found nothing new
}

TEST(ChangeMonitor, OnlyRecountCodesOfTheTableCount) {
    Rig r;
    r.disks = 1;
    for (uint16_t code : {0x8000, 0x8001, 0x8002, 0x8003, 0x8004, 0x8005, 0x001A, 0x0219}) {
        EXPECT_EQ(r.monitor.OnEvent(code), ChangeMonitor::Outcome::Ignored) << code;
    }
    EXPECT_EQ(r.counts, 0);
    // Ignored codes do not mark a busy monitor dirty either.
    r.monitor.OnEvent(0x0018);
    r.monitor.OnEvent(kDeviceArrival);
    EXPECT_FALSE(r.monitor.dirty());
    for (uint16_t code : {0x0007, 0x0017, 0x0019, 0x001B}) {
        r.monitor.OnPauseEnded();
        EXPECT_EQ(r.monitor.OnEvent(code), ChangeMonitor::Outcome::Recounted) << code;
    }
    EXPECT_EQ(r.counts, 5);
}

TEST(ChangeMonitor, NoticeWithoutListenerIsDroppedButTheCountKept) {
    Rig r;
    r.listening = false;
    r.disks = 1;
    r.EventAndPause();
    EXPECT_FALSE(r.monitor.last_recount().notices.at(0).delivered);
    EXPECT_EQ(r.monitor.last_count(), 1);
    r.listening = true;
    r.EventAndPause();  // the same change is not reported again
    EXPECT_TRUE(r.sent.empty());
    r.disks = 0;
    r.EventAndPause();
    EXPECT_EQ(r.sent, (Sent{"OU"}));
    EXPECT_TRUE(r.monitor.last_recount().notices.at(0).delivered);
}

TEST(UsbDisks, IndexesZeroToFifteenWithUsbstorInThePath) {
    std::vector<std::optional<std::string>> paths;
    for (int i = 0; i < 20; ++i) paths.push_back(R"(\\?\usbstor#disk#d)" + std::to_string(i));
    EXPECT_EQ(UsbDisks([&](uint32_t i) { return paths.at(i); }).size(), 16u);  // 16..19 unseen

    paths[0] = R"(\\?\scsi#disk&ven_u_b&prod_x&rev_1#d002&0#{53f56307})";
    paths[1] = R"(\\?\USBSTOR#DISK&VEN_A#d003&0#{53F56307})";  // the marker is case-sensitive
    paths[2] = std::nullopt;                                   // a gap: later indexes still count
    EXPECT_EQ(UsbDisks([&](uint32_t i) { return paths.at(i); }).size(), 13u);

    std::vector<uint32_t> asked;
    UsbDisks([&](uint32_t i) {
        asked.push_back(i);
        return std::optional<std::string>();
    });
    ASSERT_EQ(asked.size(), 16u);
    EXPECT_EQ(asked.front(), 0u);
    EXPECT_EQ(asked.back(), 15u);
}
