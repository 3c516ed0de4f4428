// The kernel's device events as the monitor reads them: a USB disk plugged in
// and removed, recorded from a real kernel (tests/monitor/record), and
// damaged or foreign messages.
#include "uevent.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "event_table.h"

using namespace dorvel;
using namespace std::string_literals;

namespace {

// The recording: "UEVENT n", one line per NUL-terminated field, "END".
std::vector<std::string> LoadRecording(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    std::string line, payload;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.rfind("UEVENT ", 0) == 0) {
            inside = true;
            payload.clear();
        } else if (line == "END" && inside) {
            out.push_back(payload);
            inside = false;
        } else if (inside) {
            payload += line;
            payload += '\0';
        }
    }
    return out;
}

const std::vector<std::string>& Recording() {
    static const auto r = LoadRecording(UFD_SOURCE_DIR "/tests/monitor/data/uevents_usb.txt");
    return r;
}

}  // namespace

TEST(UEvent, RecordedPlugAndUnplugTranslateByTheirSubsystem) {
    const auto& rec = Recording();
    ASSERT_EQ(rec.size(), 33u);
    std::map<std::string, int> recounts, others;
    int first_unplug = -1;
    for (size_t i = 0; i < rec.size(); ++i) {
        const auto e = ParseKernelUEvent(rec[i].data(), rec[i].size());
        ASSERT_TRUE(e) << "event " << i + 1;
        EXPECT_EQ(rec[i].substr(0, rec[i].find('@')), e->action);
        EXPECT_EQ(rec[i].substr(rec[i].find('@') + 1, rec[i].find('\0') - rec[i].find('@') - 1),
                  e->devpath);
        const auto code = TranslateUEvent(*e);
        if (code) {
            EXPECT_EQ(*code, kDevNodesChanged) << rec[i];
            ++recounts[e->subsystem + " " + e->action];
        } else {
            ++others[e->subsystem];
        }
        if (e->action == "remove" && first_unplug < 0) first_unplug = static_cast<int>(i);
    }
    // The plug: the USB device and its interface (added, then bound to their
    // drivers), the SCSI host, target and unit, the unit's generic node and
    // its disk.
    const std::map<std::string, int> expected{{"usb add", 2},
                                              {"usb bind", 2},
                                              {"usb remove", 2},
                                              {"usb unbind", 2},
                                              {"scsi add", 3},
                                              {"scsi change", 1},
                                              {"scsi bind", 1},
                                              {"scsi remove", 3},
                                              {"scsi unbind", 1},
                                              {"block add", 1},
                                              {"block remove", 1},
                                              {"scsi_generic add", 1},
                                              {"scsi_generic remove", 1}};
    EXPECT_EQ(recounts, expected);
    // Classes below the unit and virtual devices are not watched.
    const std::map<std::string, int> ignored{{"bdi", 2},       {"bsg", 2},       {"scsi_device", 2},
                                             {"scsi_disk", 2}, {"scsi_host", 2}, {"workqueue", 2}};
    EXPECT_EQ(others, ignored);
    EXPECT_EQ(first_unplug, 17);
}

TEST(UEvent, DevtypeAndMissingFieldsFromTheHeader) {
    const std::string& usb_device = Recording().at(0);
    const auto e = ParseKernelUEvent(usb_device.data(), usb_device.size());
    ASSERT_TRUE(e);
    EXPECT_EQ(e->subsystem, "usb");
    EXPECT_EQ(e->devtype, "usb_device");

    // Only the header and a subsystem: action and path come from the header;
    // the last field may lack its terminating NUL.
    const std::string bare = "remove@/devices/x/block/sdb\0SUBSYSTEM=block"s;
    const auto b = ParseKernelUEvent(bare.data(), bare.size());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->action, "remove");
    EXPECT_EQ(b->devpath, "/devices/x/block/sdb");
    EXPECT_EQ(b->subsystem, "block");
    EXPECT_EQ(TranslateUEvent(*b), kDevNodesChanged);
}

TEST(UEvent, ForeignAndDamagedMessagesAreRefused) {
    const std::vector<std::string> bad{
        "libudev\0\xfe\xed\xca\xfe"s,                         // udev daemon's re-broadcast
        "add@/devices/x\0ACTION=add\0DEVPATH=/devices/x\0"s,  // no subsystem
        "ACTION=add\0SUBSYSTEM=usb\0"s,                       // no header
        "@/devices/x\0SUBSYSTEM=usb\0"s,                      // empty action
        "add@\0SUBSYSTEM=usb\0"s,                             // empty path
        std::string(),
    };
    for (const auto& m : bad) EXPECT_FALSE(ParseKernelUEvent(m.data(), m.size())) << m;
    EXPECT_FALSE(ParseKernelUEvent(nullptr, 5));
}

TEST(UEvent, ArrivalStyleAndForeignEventsCauseNoRecount) {
    UEvent e{"online", "/devices/x", "scsi", ""};
    ASSERT_EQ(TranslateUEvent(e), kDeviceArrival);
    EXPECT_FALSE(CausesRecount(*TranslateUEvent(e)));
    e.action = "offline";
    ASSERT_EQ(TranslateUEvent(e), kDeviceRemoveComplete);
    EXPECT_FALSE(CausesRecount(*TranslateUEvent(e)));
    e.action = "move";
    EXPECT_FALSE(TranslateUEvent(e));
    // A watched action on a subsystem that is not watched.
    e = {"add", "/devices/virtual/net/tap0", "net", ""};
    EXPECT_FALSE(TranslateUEvent(e));
    e = {"add", "/devices/x", "USB", ""};  // subsystems are lower case
    EXPECT_FALSE(TranslateUEvent(e));
}

TEST(EventTable, RecountCodesAndIgnoredCodes) {
    std::set<uint16_t> recount, ignored;
    for (const auto& e : EventTable()) {
        (e.action == EventAction::Recount ? recount : ignored).insert(e.code);
        EXPECT_EQ(LookUpEvent(e.code), &e);
    }
    EXPECT_EQ(recount, (std::set<uint16_t>{0x0007, 0x0017, 0x0018, 0x0019, 0x001B}));
    EXPECT_EQ(ignored, (std::set<uint16_t>{0x8000, 0x8001, 0x8002, 0x8003, 0x8004, 0x8005}));
    EXPECT_STREQ(LookUpEvent(0x0007)->name, "DBT_DEVNODES_CHANGED");
    EXPECT_EQ(LookUpEvent(0x001A), nullptr);
    EXPECT_FALSE(CausesRecount(0x001A));
}
