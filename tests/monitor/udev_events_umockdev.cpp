// The monitor's udev path without devices or privileges: umockdev's test bed
// stands in for /sys and the udev daemon (ctest monitor_udev_events runs this
// under umockdev-wrapper).
#include <gtest/gtest.h>
#include <poll.h>
#include <umockdev.h>

#include <optional>

#include "event_table.h"
#include "udev_events.h"

TEST(UdevEvents, EventsOfTheWatchedSubsystemsAfterUdevAreTranslated) {
    if (!getenv("UMOCKDEV_WRAPPED")) GTEST_SKIP() << "not under umockdev-wrapper";
    UMockdevTestbed* bed = umockdev_testbed_new();
    gchar* scsi = umockdev_testbed_add_device(bed, "scsi", "6:0:0:0", nullptr, nullptr, nullptr);
    gchar* disk = umockdev_testbed_add_device(bed, "block", "sdb", scsi, nullptr, nullptr);
    gchar* input = umockdev_testbed_add_device(bed, "input", "event5", nullptr, nullptr, nullptr);
    dorvel::UdevEvents ev;
    std::string error;
    ASSERT_TRUE(ev.Open(&error)) << error;
    const std::tuple<gchar*, const char*, std::optional<uint16_t>> cases[] = {
        {disk, "add", dorvel::kDevNodesChanged},
        {scsi, "bind", dorvel::kDevNodesChanged},
        {disk, "online", dorvel::kDeviceArrival},
        {disk, "move", std::nullopt},
        {input, "add", std::nullopt},
        {disk, "remove", dorvel::kDevNodesChanged}};
    for (const auto& [path, action, code] : cases) {
        umockdev_testbed_uevent(bed, path, action);
        pollfd p{ev.fd(), POLLIN, 0};
        const auto got = poll(&p, 1, code ? 5000 : 200) > 0 ? ev.Read() : decltype(ev.Read()){};
        ASSERT_LE(got.size(), 1u) << path << " " << action;
        EXPECT_EQ(got.empty() ? std::nullopt : std::optional(got[0].code), code)
            << path << " " << action;
    }
    for (gchar* p : {scsi, disk, input}) g_free(p);
    g_object_unref(bed);
}
