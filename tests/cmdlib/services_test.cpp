// Device and volume services: the reset rules over a recording platform, and
// resets, drive letters and formatting on the simulated bus; Suicide in a
// child process.
#include "services.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "commands.h"
#include "fake_platform.h"
#include "fat.h"
#include "simbus/bus.h"
#include "test_util.h"

using namespace cmdlib_test;
namespace svc = sarnik::svc;
using sarnik::DeviceNode;

namespace {

DeviceNode Node(std::string key, std::string hwid, std::string name, bool hidden = false) {
    DeviceNode n;
    n.key = std::move(key);
    n.hardware_id = std::move(hwid);
    n.name = std::move(name);
    n.description = "Device " + n.key;
    n.hidden = hidden;
    return n;
}

// ---- reset rules ------------------------------------------------------------

TEST(SarnikResetDevice, EveryMatchingVisibleDeviceAndTheLastResult) {
    FakePlatform p;
    p.devices = std::vector<DeviceNode>{
        Node("hub", "USB\\ROOT_HUB20", "Flash Hub", true),
        Node("a", "USB\\VID_1111&PID_0001&REV_0100", "Flash Disk"),
        Node("x", "USB\\VID_2222&PID_0002&REV_0100", "Keyboard"),
        Node("b", "USB\\VID_3333&PID_0003&REV_0100", "Flash Disk 2"),
    };
    // The second result is the one returned, whichever failed.
    p.refuse = {"a"};
    EXPECT_EQ(svc::reset_device(p, "Flash Disk", svc::kDisable), 1);
    EXPECT_EQ(p.events, (std::vector<std::string>{"disable a", "disable b"}));
    p.events.clear();
    p.refuse = {"b"};
    EXPECT_EQ(svc::reset_device(p, "Flash Disk", svc::kEnable), 0);
    EXPECT_EQ(p.events, (std::vector<std::string>{"enable a", "enable b"}));

    // Restart: a failed disable is not followed by an enable; no pause here.
    p.events.clear();
    p.refuse = {"a"};
    EXPECT_EQ(svc::reset_device(p, "Flash", svc::kRestart), 1);
    EXPECT_EQ(p.events, (std::vector<std::string>{"disable a", "disable b", "enable b"}));

    // A hidden device is never touched, even when only it matches.
    p.events.clear();
    p.refuse.clear();
    EXPECT_EQ(svc::reset_device(p, "Hub", svc::kDisable), 0);
    EXPECT_EQ(svc::reset_device(p, "ROOT_HUB", svc::kDisable), 0);
    EXPECT_TRUE(p.events.empty());

    // Unknown actions change nothing; an empty pattern matches nothing.
    EXPECT_EQ(svc::reset_device(p, "Flash", 9), 0);
    EXPECT_EQ(svc::reset_device(p, "", svc::kDisable), 0);
    EXPECT_TRUE(p.events.empty());
}

TEST(SarnikResetDevice, NameIsFriendlyNameThenHardwareIdThenClass) {
    FakePlatform p;
    DeviceNode cls = Node("c", "", "");
    cls.class_name = "DiskDrive";
    p.devices = std::vector<DeviceNode>{Node("n", "USB\\VID_1234&PID_0001&REV_0001", "Stick"),
                                        Node("h", "USB\\VID_1234&PID_0002&REV_0001", ""), cls,
                                        Node("u", "", "")};
    EXPECT_EQ(svc::reset_device(p, "VID_1234", svc::kDisable), 1);
    EXPECT_EQ(p.events, std::vector<std::string>{"disable h"}) << "n is known by its name";
    p.events.clear();
    EXPECT_EQ(svc::reset_device(p, "DiskDrive", svc::kDisable), 1);
    EXPECT_EQ(svc::reset_device(p, "<Unknown Device>", svc::kDisable), 1);
    EXPECT_EQ(p.events, (std::vector<std::string>{"disable c", "disable u"}));
    // Case matters.
    EXPECT_EQ(svc::reset_device(p, "stick", svc::kDisable), 0);
}

TEST(SarnikResetDevice, NoDeviceListPrintsTheDiagnosticLine) {
    FakePlatform p;
    p.devices.reset();
    testing::internal::CaptureStdout();
    EXPECT_EQ(svc::reset_device(p, "Flash", svc::kRestart), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetClassDevs !\n");
}

TEST(SarnikResetDevice, SixteenBitPatternsBecomeUtf8) {
    const uint16_t plain[] = {'U', 'S', 'B', 0};
    const uint16_t accented[] = {'F', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0};
    const uint16_t lone[] = {0xD800, 'x', 0};
    EXPECT_EQ(svc::utf8_of(plain), "USB");
    EXPECT_EQ(svc::utf8_of(accented), "F\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(svc::utf8_of(lone), "\xEF\xBF\xBDx");
    EXPECT_EQ(svc::utf8_of(nullptr), "");
}

TEST(SarnikResetDevice98, FirstMatchInPreOrderWithThePause) {
    FakePlatform p;
    p.tree = {Node("root", "", ""),
              Node("pci", "PCI\\VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10", ""),
              Node("hub", "USB\\ROOT_HUB30", "", true),
              Node("dev", "USB\\VID_1234&PID_0001&REV_0100", "Stick"),
              Node("ifc", "USB\\VID_1234&PID_0001&REV_0100&MI_00", ""),
              Node("dev2", "USB\\VID_1234&PID_0001&REV_0200", "Stick")};
    EXPECT_EQ(svc::reset_device98(p, "VID_1234&PID_0001", svc::kRestart), 1);
    EXPECT_EQ(p.events, (std::vector<std::string>{"disable dev", "pause 30", "enable dev"}));

    // A failed disable: the pause, no enable, and still 1.
    p.events.clear();
    p.refuse = {"dev"};
    EXPECT_EQ(svc::reset_device98(p, "VID_1234", svc::kRestart), 1);
    EXPECT_EQ(p.events, (std::vector<std::string>{"disable dev", "pause 30"}));

    // Hidden does not matter here; one node only; unknown actions give 1.
    p.events.clear();
    EXPECT_EQ(svc::reset_device98(p, "ROOT_HUB", svc::kDisable), 1);
    EXPECT_EQ(svc::reset_device98(p, "MI_00", svc::kEnable), 1);
    EXPECT_EQ(svc::reset_device98(p, "REV_0200", 0), 1);
    EXPECT_EQ(p.events, (std::vector<std::string>{"disable hub", "enable ifc"}));

    // Nothing found, an empty pattern, a node without description: 0, nothing done.
    p.events.clear();
    EXPECT_EQ(svc::reset_device98(p, "VID_9999", svc::kDisable), 0);
    EXPECT_EQ(svc::reset_device98(p, "", svc::kDisable), 0);
    p.tree[3].description.clear();
    EXPECT_EQ(svc::reset_device98(p, "VID_1234&PID_0001&REV_0100", svc::kDisable), 0);
    EXPECT_TRUE(p.events.empty());
    p.tree.clear();
    EXPECT_EQ(svc::reset_device98(p, "VID_1234", svc::kDisable), 0);
}

// ---- simulated bus ------------------------------------------------------------

constexpr uint64_t kUnitSectors = 131072;  // 64 MiB
// Four primary partitions; the fourth (drive G on a bus with this one disk) is 32 MiB.
constexpr uint64_t kStarts[4] = {2048, 18432, 34816, 51200};
constexpr uint64_t kSizes[4] = {16384, 16384, 16384, 65536};

class SarnikSimServices : public ::testing::Test {
  protected:
    TempDir dir;
    std::string bus_dir = dir.str() + "/bus";
    simbus::Bus bus{bus_dir};
    EnvVar root{"SARNIK_ROOT", dir.str() + "/root"};
    EnvVar tools{"SARNIK_FORMAT_TOOLS", std::nullopt};
    std::unique_ptr<sarnik::Platform> p = sarnik::make_sim_platform(bus_dir);

    std::string Plug(bool usb = true, const std::string& product = "USB DISK",
                     std::vector<simbus::Fault> faults = {}) {
        simbus::PlugOptions o;
        o.device.kind = simdev::FreshOptions::Kind::PlainDisk;
        o.device.product = product;
        o.device.plain_sectors = kUnitSectors;
        o.device.usb = usb;
        o.faults = std::move(faults);
        return bus.plug(o);
    }

    // The unit of a device as one whole volume, for writing test data.
    sarnik::Volume Whole(const std::string& id) {
        sarnik::Volume v;
        const auto info = bus.inspect(id);
        if (!info) return v;
        for (const auto& u : info->at("units")) {
            if (u.at("class") == "disk") v.unit_path = u.at("path").get<std::string>();
        }
        v.sectors = kUnitSectors;
        return v;
    }

    void Partition(const std::string& id) {
        uint8_t mbr[512] = {};
        for (int i = 0; i < 4; ++i) {
            uint8_t* e = mbr + 0x1BE + 16 * i;
            e[4] = 0x06;
            for (int b = 0; b < 4; ++b) {
                e[8 + b] = static_cast<uint8_t>(kStarts[i] >> (8 * b));
                e[12 + b] = static_cast<uint8_t>(kSizes[i] >> (8 * b));
            }
        }
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        ASSERT_TRUE(p->volume_io(Whole(id), 0, 1, mbr, true));
    }

    // Bytes of partition `index` (0-based) of a device, in a file.
    fs::path PartitionImage(const std::string& id, int index) {
        const fs::path unit = dir.path() / "unit.img";
        const fs::path part = dir.path() / ("part" + std::to_string(index) + ".img");
        EXPECT_TRUE(bus.export_unit(id, "disk1", unit.string()));
        const std::string all = ReadFile(unit).value_or("");
        WriteFile(part, all.substr(kStarts[index] * 512, kSizes[index] * 512));
        return part;
    }

    static std::string Run(const std::string& command) {
        std::string out;
        FILE* f = popen((command + " 2>&1").c_str(), "r");
        if (!f) return "popen failed";
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        const int status = pclose(f);
        return out + "[exit " + std::to_string(WEXITSTATUS(status)) + "]";
    }

    std::string Label(const fs::path& image) { return Run("fatlabel '" + image.string() + "'"); }

    size_t Writes(const std::string& id) {
        size_t n = 0;
        for (const auto& line : bus.trace(id)) n += line.rfind("2a ", 0) == 0;
        return n;
    }
};

TEST_F(SarnikSimServices, ResetDeviceActsOnMatchingDevicesAndNeverOnTheHub) {
    const std::string a = Plug(true, "Flash A");
    const std::string b = Plug(true, "Flash B");
    const std::string k = Plug(true, "Keyboard");
    EXPECT_EQ(svc::reset_device(*p, "Flash", svc::kDisable), 1);
    EXPECT_EQ(bus.enabled(a), false);
    EXPECT_EQ(bus.enabled(b), false);
    EXPECT_EQ(bus.enabled(k), true);
    EXPECT_EQ(bus.interface_paths(simdev::UnitClass::Disk).size(), 1u);

    // The root hub's hardware ID matches, but it is hidden.
    EXPECT_EQ(svc::reset_device(*p, "ROOT_HUB", svc::kDisable), 0);
    EXPECT_EQ(svc::reset_device(*p, "USB", svc::kDisable), 0) << "only the hub carries USB";
    EXPECT_EQ(bus.enabled(simbus::Bus::kRootHub), true);
    EXPECT_EQ(bus.interface_paths(simdev::UnitClass::Disk).size(), 1u);

    // Disabled devices are still listed and can be enabled again.
    EXPECT_EQ(svc::reset_device(*p, "Flash", svc::kEnable), 1);
    EXPECT_EQ(bus.interface_paths(simdev::UnitClass::Disk).size(), 3u);
    EXPECT_EQ(svc::reset_device(*p, "Nothing", svc::kEnable), 0);
}

TEST_F(SarnikSimServices, ResetDevice98RestartsTheFirstMatchAfterAPause) {
    const std::string a = Plug(true, "Flash A");
    const std::string b = Plug(true, "Flash B");
    const auto devices = p->usb_devices();
    ASSERT_TRUE(devices.has_value());
    ASSERT_EQ(devices->size(), 3u);
    EXPECT_EQ(devices->at(0).hardware_id, "USB\\ROOT_HUB20");
    EXPECT_EQ(devices->at(2).hardware_id, "USB\\VID_0000&PID_0000&REV_0000");

    const int before = bus.open(bus.interface_paths(simdev::UnitClass::Disk).at(1));
    ASSERT_GT(before, 0);
    const auto generation = bus.inspect(b)->at("generation").get<int>();
    const auto start = std::chrono::steady_clock::now();
    // Both devices have this ID; the first in the tree (a) is restarted.
    EXPECT_EQ(svc::reset_device98(*p, "VID_0000", svc::kRestart), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(bus.inspect(b)->at("generation").get<int>(), generation) << "b untouched";
    EXPECT_EQ(bus.inspect(a)->at("generation").get<int>(), generation + 1);
    EXPECT_EQ(bus.enabled(a), true);

    EXPECT_EQ(svc::reset_device98(*p, "ROOT_HUB20", svc::kDisable), 1);
    EXPECT_TRUE(bus.interface_paths(simdev::UnitClass::Disk).empty());
    uint8_t cdb[10] = {0x00};
    EXPECT_FALSE(bus.execute(before, cdb, 6, simdev::Direction::None, nullptr, 0, 2).delivered);
    EXPECT_TRUE(p->volumes().empty());
    EXPECT_EQ(svc::reset_device98(*p, "ROOT_HUB20", svc::kEnable), 1);
    EXPECT_EQ(bus.interface_paths(simdev::UnitClass::Disk).size(), 2u);
    close(before);
}

TEST_F(SarnikSimServices, DriverNamesAreTheLettersOfUsbVolumes) {
    WriteFile(dir.path() / "root/tessary.bin", "stale");
    chmod((dir.path() / "root").c_str(), 0700);
    EXPECT_EQ(svc::get_driver_name(*p), 0) << "empty bus";
    const std::string off_usb = Plug(false);
    EXPECT_EQ(svc::get_driver_name(*p), 0);
    EXPECT_EQ(ReadFile(dir.path() / "root/tessary.bin"), "stale");

    const std::string usb = Plug(true);
    Partition(usb);
    const auto table = p->volumes();
    ASSERT_EQ(table.size(), 5u);
    EXPECT_EQ(table[0].letter, 'd');
    EXPECT_FALSE(table[0].on_usb_storage);
    EXPECT_EQ(table[0].name.substr(0, 14), "\\\\?\\Volume{000");
    EXPECT_EQ(table[4].letter, 'h');
    EXPECT_EQ(table[4].start_sector, kStarts[3]);
    EXPECT_EQ(table[4].name.substr(0, 14), "\\\\?\\Volume{4ea");
    EXPECT_NE(table[1].name, table[2].name);
    EXPECT_EQ(p->volumes()[1].name, table[1].name) << "names are stable";

    EXPECT_EQ(svc::get_driver_name(*p), 1);
    EXPECT_EQ(ReadFile(dir.path() / "root/tessary.bin"), "efgh");

    // Exports whose only output is the dump fail when the library's folder
    // refuses it, rather than leave the previous command's bytes as theirs.
    simbus::PlugOptions o;
    o.device.fw_rev = 0x31;
    const int fd = p->open(Whole(bus.plug(o)).unit_path);
    ASSERT_GT(fd, 0);
    auto dumped = [&] { return ReadFile(dir.path() / "root/tessary.bin").value_or(""); };
    EXPECT_EQ(sarnik::cmd::vendor(*p, fd, 0x75, 0, 0, 512), 1);
    ASSERT_EQ(dumped().size(), 512u);
    EXPECT_EQ(uint8_t(dumped()[131]), 0x31) << "the device information";
    EXPECT_EQ(sarnik::cmd::read_1m(*p, fd, {0x75}), 1);
    EXPECT_EQ(dumped().size(), 512u);
    WriteFile(dir.path() / "root/tessary.bin", "stale");
    chmod((dir.path() / "root").c_str(), 0770);  // refused: writable by the group
    EXPECT_EQ(sarnik::cmd::vendor(*p, fd, 0x75, 0, 0, 512), 0);
    EXPECT_EQ(sarnik::cmd::read_1m(*p, fd, {0x75}), 0);
    EXPECT_EQ(svc::get_driver_name(*p), 0);
    EXPECT_EQ(dumped(), "stale");
    close(fd);
    chmod((dir.path() / "root").c_str(), 0700);

    // A disabled device presents no volume.
    ASSERT_TRUE(bus.set_enabled(usb, false));
    EXPECT_EQ(p->volumes().size(), 1u);
}

TEST_F(SarnikSimServices, FormatExMakesACleanLabelledVolume) {
    const std::string id = Plug();
    Partition(id);
    // Data on the third partition, which must survive.
    std::vector<uint8_t> data(512, 0xA5);
    auto table = p->volumes();
    ASSERT_EQ(table.size(), 4u);
    ASSERT_TRUE(p->volume_io(table[2], 0, 1, data.data(), true));

    EXPECT_EQ(svc::format_ex(*p, 7), svc::kFormatted);
    const fs::path part = PartitionImage(id, 3);
    EXPECT_EQ(Run("fsck.fat -n '" + part.string() + "'").find("[exit 0]") != std::string::npos,
              true)
        << Run("fsck.fat -n '" + part.string() + "'");
    EXPECT_EQ(Label(part), "KorvaDisk\n[exit 0]");
    const auto info = sarnik::fat::read_info(*p, p->volumes()[3]);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->geometry.bits, 16);
    EXPECT_EQ(info->label, "KorvaDisk");
    // The boot sector knows where the partition starts.
    const std::string boot = ReadFile(part).value_or("").substr(0, 512);
    EXPECT_EQ(static_cast<uint8_t>(boot[28]) | static_cast<uint8_t>(boot[29]) << 8, kStarts[3]);

    std::vector<uint8_t> back(512);
    ASSERT_TRUE(p->volume_io(p->volumes()[2], 0, 1, back.data(), false));
    EXPECT_EQ(back, data);
    // Only drive G exists as drive 7; H and out-of-range numbers are no drives.
    EXPECT_EQ(svc::format_ex(*p, 8), svc::kFormatFailed);
    EXPECT_EQ(svc::format_ex(*p, 0), svc::kFormatFailed);
    EXPECT_EQ(svc::format_ex(*p, 27), svc::kFormatFailed);
}

TEST_F(SarnikSimServices, FailedFormatWritesNothingAndIsForgottenByTheNextCall) {
    const auto mkfs = sarnik::fat::find_tool("mkfs.fat");
    const auto fatlabel = sarnik::fat::find_tool("fatlabel");
    ASSERT_TRUE(mkfs && fatlabel);
    const std::string id = Plug();
    Partition(id);

    // Drive G carries a file system labelled KEEPME.
    const fs::path img = dir.path() / "keep.img";
    WriteFile(img, "");
    fs::resize_file(img, kSizes[3] * 512);
    ASSERT_NE(Run(*mkfs + " -n KEEPME '" + img.string() + "'").find("[exit 0]"), std::string::npos);
    std::string bytes = ReadFile(img).value_or("");
    const auto g = sarnik::fat::parse_boot_sector(reinterpret_cast<const uint8_t*>(bytes.data()));
    ASSERT_TRUE(g.has_value());
    const auto drive_g = p->volumes().at(3);
    ASSERT_TRUE(p->volume_io(drive_g, 0, static_cast<uint32_t>(g->system_area()),
                             reinterpret_cast<uint8_t*>(bytes.data()), true));
    ASSERT_EQ(Label(PartitionImage(id, 3)), "KEEPME\n[exit 0]");

    // A format tool that reports failure.
    const fs::path bad = dir.path() / "badtools";
    WriteFile(bad / "mkfs.fat", "#!/bin/sh\nexit 1\n");
    chmod((bad / "mkfs.fat").c_str(), 0755);
    fs::create_symlink(*fatlabel, bad / "fatlabel");
    const size_t writes = Writes(id);
    {
        EnvVar t("SARNIK_FORMAT_TOOLS", bad.string());
        EXPECT_EQ(svc::format_ex(*p, 7), svc::kFormatFailed);
    }
    EXPECT_EQ(Writes(id), writes);
    EXPECT_EQ(Label(PartitionImage(id, 3)), "KEEPME\n[exit 0]");

    // The next call starts afresh.
    EXPECT_EQ(svc::format_ex(*p, 7), svc::kFormatted);
    EXPECT_EQ(Label(PartitionImage(id, 3)), "KorvaDisk\n[exit 0]");

    // No format service at all.
    const fs::path none = dir.path() / "notools";
    fs::create_directories(none);
    EnvVar t("SARNIK_FORMAT_TOOLS", none.string());
    EXPECT_EQ(svc::format_ex(*p, 7), svc::kNoFormatService);
}

TEST_F(SarnikSimServices, FormatExFailsWhenTheDiskRefusesTheWrite) {
    // The MBR is the first write; the format's first write fails.
    const std::string id = Plug(true, "USB DISK", {simbus::Fault{0x2A, 2, false}});
    Partition(id);
    EXPECT_EQ(svc::format_ex(*p, 7), svc::kFormatFailed);
    EXPECT_EQ(Label(PartitionImage(id, 3)).find("[exit 0]"), std::string::npos)
        << "no file system was half-made";
}

TEST_F(SarnikSimServices, FormatExRefusesAVolumeOffTheUsbBus) {
    const std::string id = Plug(false);
    Partition(id);
    const size_t writes = Writes(id);
    EXPECT_EQ(svc::format_ex(*p, 7), svc::kFormatFailed);
    EXPECT_EQ(Writes(id), writes);
}

// ---- Suicide ------------------------------------------------------------------

// Runs `body` in a child process; its exit status (-1: killed).
template <class F>
int InChild(F body) {
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(99);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SarnikSuicide, UnmapsDeletesAndEndsWithZero) {
    TempDir t;
    const fs::path copy = t.path() / "libvictim.so";
    fs::copy_file(VICTIM_MODULE, copy);
    const int code = InChild([&] {
        void* m = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!m) _exit(3);
        auto fn = reinterpret_cast<int (*)()>(dlsym(m, "victim_value"));
        if (!fn || fn() != 42) _exit(4);
        svc::suicide("libvictim.so");
    });
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(fs::exists(copy));

    // A module that is not loaded: nothing is deleted, and the status says so.
    fs::copy_file(VICTIM_MODULE, copy);
    EXPECT_EQ(InChild([&] { svc::suicide(copy.c_str()); }), 1);
    EXPECT_TRUE(fs::exists(copy));
    // Loaded by full path, asked for by full path.
    EXPECT_EQ(InChild([&] {
                  if (!dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL)) _exit(3);
                  svc::suicide(copy.c_str());
              }),
              0);
    EXPECT_FALSE(fs::exists(copy));
}

}  // namespace
