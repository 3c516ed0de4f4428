// The monitor's udev path without devices or privileges: umockdev's test bed
// stands in for /sys and for the udev daemon's events. Runs under
// umockdev-wrapper (ctest monitor_udev_events).
#include <gtest/gtest.h>
#include <poll.h>
#include <umockdev.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "event_table.h"
#include "udev_events.h"

using namespace dorvel;

namespace {

// The changes read within a short wait after one event.
std::vector<UdevChange> Next(UdevEvents& ev, int ms) {
    pollfd p{ev.fd(), POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return {};
    return ev.Read();
}

}  // namespace

TEST(UdevEvents, EventsOfTheWatchedSubsystemsAfterUdevAreTranslated) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "umockdev-preload"))
        GTEST_SKIP() << "run under umockdev-wrapper";
    UMockdevTestbed* bed = umockdev_testbed_new();
    gchar* usb = umockdev_testbed_add_device(bed, "usb", "2-1", nullptr, "idVendor", "1ee7",
                                             nullptr, "DEVTYPE", "usb_device", nullptr);
    gchar* host = umockdev_testbed_add_device(bed, "scsi", "6:0:0:0", usb, "rev", "7.77", nullptr,
                                              "DEVTYPE", "scsi_device", nullptr);
    gchar* disk = umockdev_testbed_add_device(bed, "block", "sdb", host, "size", "32768", nullptr,
                                              "DEVTYPE", "disk", nullptr);
    gchar* sg = umockdev_testbed_add_device(bed, "scsi_generic", "sg2", host, nullptr, nullptr);
    gchar* input = umockdev_testbed_add_device(bed, "input", "event5", nullptr, nullptr, nullptr);

    UdevEvents ev;
    std::string error;
    ASSERT_TRUE(ev.Open(&error)) << error;
    struct Case {
        const gchar* syspath;
        const char* action;
        std::optional<uint16_t> code;
    };
    const Case cases[] = {
        {disk, "add", kDevNodesChanged},   {sg, "add", kDevNodesChanged},
        {usb, "bind", kDevNodesChanged},   {host, "change", kDevNodesChanged},
        {disk, "online", kDeviceArrival},  {disk, "offline", kDeviceRemoveComplete},
        {disk, "move", std::nullopt},      {input, "add", std::nullopt},
        {disk, "remove", kDevNodesChanged}};
    for (const auto& c : cases) {
        umockdev_testbed_uevent(bed, c.syspath, c.action);
        const auto got = Next(ev, c.code ? 5000 : 200);
        const std::string what = std::string(c.syspath) + " " + c.action;
        if (!c.code) {
            EXPECT_TRUE(got.empty()) << what;
            continue;
        }
        ASSERT_EQ(got.size(), 1u) << what;
        EXPECT_EQ(got[0].code, *c.code) << what;
        EXPECT_NE(got[0].what.find(c.action), std::string::npos) << got[0].what;
    }
    for (gchar* p : {usb, host, disk, sg, input}) g_free(p);
    g_object_unref(bed);
}
