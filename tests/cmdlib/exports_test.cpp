// libsarnik.so as a program sees it: its dynamic symbol table, and the
// exports choosing their platform from the environment on every call.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <set>
#include <sstream>

#include "simbus/bus.h"
#include "test_util.h"

using namespace cmdlib_test;

namespace {

const std::string kLib = std::string(UFD_BIN_DIR) + "/libsarnik.so";

const std::set<std::string> kExports = {"fnFerrule_GetDiskHandle",
                                        "fnFerrule_GetCDHandle",
                                        "fnFerrule_LockUnit",
                                        "fnFerrule_UnlockUnit",
                                        "fnFerrule_GetUnitLocation",
                                        "fnFerrule_GetUnitNode",
                                        "fnFerrule_TestUnitReady",
                                        "fnFerrule_Read",
                                        "fnFerrule_ReadS",
                                        "fnFerrule_Write",
                                        "fnFerrule_Read25Capacity",
                                        "fnFerrule_Eject",
                                        "fnFerrule_ModeSense",
                                        "fnFerrule_Inquiry",
                                        "fnFerrule_ScsiReScan",
                                        "fnFerrule_VendorR",
                                        "fnFerrule_VendorW",
                                        "fnFerrule_Vendor",
                                        "fnFerrule_VendorScan",
                                        "fnFerrule_1mWrite",
                                        "fnFerrule_1mRead",
                                        "fnFerrule_VendorWrite",
                                        "fnFerrule_VendorRead",
                                        "fnFerrule_ReadCapacity",
                                        "fnFerrule_SetConfiguration",
                                        "fnFerrule_FormatEx",
                                        "fnFerrule_GetDriverName",
                                        "ResetDevice",
                                        "ResetDevice98",
                                        "Suicide",
                                        "Address"};

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    pclose(p);
    return out;
}

// The dynamic symbol table holds the 29 exports and nothing else: no C++
// names, no standard-library template code, not even the linker's
// _init/_fini/_edata markers (the version script makes everything else local).
TEST(SarnikExports, DynamicSymbolTableIsExactlyTheCApi) {
    ASSERT_TRUE(fs::exists(kLib)) << kLib;
    std::istringstream nm(Shell("nm -D --defined-only '" + kLib + "'"));
    std::set<std::string> found;
    std::string line;
    while (std::getline(nm, line)) {
        std::istringstream f(line);
        std::string addr, type, name;
        f >> addr >> type >> name;
        if (name.empty()) continue;
        EXPECT_EQ(type, "T") << name;
        found.insert(name);
    }
    EXPECT_EQ(found, kExports);
}

class SarnikLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        handle = dlopen(kLib.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle) dlclose(handle);
    }
    template <class F>
    F* Fn(const char* name) {
        return reinterpret_cast<F*>(dlsym(handle, name));
    }
    void* handle = nullptr;
};

TEST_F(SarnikLibrary, ReadAndReadSAreOneFunction) {
    void* read = dlsym(handle, "fnFerrule_Read");
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read, dlsym(handle, "fnFerrule_ReadS"));
}

TEST_F(SarnikLibrary, PlatformFollowsTheEnvironmentOnEveryCall) {
    using OpenFn = int32_t(int32_t);
    using CapacityFn = int32_t(int32_t, void*);
    using ConfigFn = int32_t();
    auto open_disk = Fn<OpenFn>("fnFerrule_GetDiskHandle");
    auto capacity = Fn<CapacityFn>("fnFerrule_Read25Capacity");
    auto set_config = Fn<ConfigFn>("fnFerrule_SetConfiguration");
    ASSERT_TRUE(open_disk && capacity && set_config);

    TempDir t;
    EnvVar root("SARNIK_ROOT", t.str() + "/root");
    fs::create_directories(t.path() / "bus");
    fs::create_directories(t.path() / "sys/bus/scsi/devices");
    fs::create_directories(t.path() / "dev");
    EnvVar sys("SARNIK_SYSFS_ROOT", t.str() + "/sys");
    EnvVar dev("SARNIK_DEV_ROOT", t.str() + "/dev");
    simbus::Bus bus(t.str() + "/bus");
    simbus::PlugOptions plain;
    plain.device.kind = simdev::FreshOptions::Kind::PlainDisk;
    bus.plug(plain);

    {
        EnvVar sim("SARNIK_SIM_BUS", t.str() + "/bus");
        const int32_t h = open_disk(0);
        ASSERT_GT(h, 0);
        uint8_t cap[8] = {};
        EXPECT_EQ(capacity(h, cap), 8);
        close(h);
        EXPECT_EQ(set_config(), 0);
        WriteFile(t.path() / "bus/korvafilters", "");
        EXPECT_EQ(set_config(), 1);
    }
    {
        // Same loaded library, now on the (empty) fake system tree.
        EnvVar sim("SARNIK_SIM_BUS", std::nullopt);
        EXPECT_EQ(open_disk(0), 0);
        EXPECT_EQ(ReadFile(t.path() / "root/tessary.txt"), "");
        EXPECT_EQ(set_config(), 0);
        WriteFile(t.path() / "dev/korvafilters", "");
        EXPECT_EQ(set_config(), 1);
    }
    {
        // An empty value is no bus.
        EnvVar sim("SARNIK_SIM_BUS", "");
        EXPECT_EQ(open_disk(0), 0);
    }
}

// The services through the C interface: 16-bit patterns, pointer-sized
// Address, and results on the simulated bus.
TEST_F(SarnikLibrary, ServicesThroughTheCInterface) {
    using AddressFn = intptr_t(intptr_t);
    using ResetFn = int32_t(const uint16_t*, int32_t);
    using Reset98Fn = int32_t(const char*, int32_t);
    using IntFn = int32_t(int32_t);
    auto address = Fn<AddressFn>("Address");
    auto reset = Fn<ResetFn>("ResetDevice");
    auto reset98 = Fn<Reset98Fn>("ResetDevice98");
    auto format = Fn<IntFn>("fnFerrule_FormatEx");
    ASSERT_TRUE(address && reset && reset98 && format);

    int variable = 0;
    const auto where = reinterpret_cast<intptr_t>(&variable);
    EXPECT_EQ(address(where), where);
    EXPECT_EQ(address(-7), -7);

    TempDir t;
    EnvVar root("SARNIK_ROOT", t.str() + "/root");
    EnvVar sim("SARNIK_SIM_BUS", t.str() + "/bus");
    simbus::Bus bus(t.str() + "/bus");
    simbus::PlugOptions plain;
    plain.device.kind = simdev::FreshOptions::Kind::PlainDisk;
    plain.device.product = "Stick \xC3\xA9";
    const std::string id = bus.plug(plain);
    const uint16_t pattern[] = {'S', 't', 'i', 'c', 'k', ' ', 0xE9, 0};
    EXPECT_EQ(reset(pattern, 3), 1);
    EXPECT_EQ(bus.enabled(id), false);
    EXPECT_EQ(reset(nullptr, 2), 0);
    EXPECT_EQ(reset98(nullptr, 2), 0);
    EXPECT_EQ(reset98("VID_0000", 2), 1);
    EXPECT_EQ(bus.enabled(id), true);
    EXPECT_EQ(format(7), -3) << "no drive G on this bus";
}

}  // namespace
