// The steps against a library that is not the simulated bus: a fake that
// keeps the configuration block in memory, and the real wrapper before the
// library was loaded.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "controller/config_block.h"
#include "controller/controller.h"
#include "controller/port_job.h"
#include "controller/steps.h"
#include "core/status.h"

namespace galmor {
namespace {

// A controller reduced to its configuration block; every other call fails.
class FakeLibrary final : public SarnikApi {
  public:
    bool failWrites = false;
    int flipOnRead = -1;  // byte of the stored block read back inverted
    Block stored{};
    int writes = 0;

    int32_t GetDiskHandle(int32_t) override { return 0; }
    int32_t GetCDHandle(int32_t) override { return 0; }
    int32_t LockUnit(int32_t) override { return 1; }
    void UnlockUnit(int32_t, int32_t) noexcept override {}
    int32_t TestUnitReady(int32_t) override { return 0; }
    int32_t Read(int32_t, int32_t, int32_t, void*) override { return 0; }
    int32_t Write(int32_t, int32_t, int32_t, void*) override { return 0; }
    int32_t VendorR(int32_t, int32_t c0, void* buf) override {
        auto* out = static_cast<uint8_t*>(buf);
        if (c0 == sub::kDeviceInfo) {
            std::memset(out, 0, kSector);
            out[devinfo::kRevision] = 0x05;
            return 1;
        }
        if (c0 == sub::kConfigRead) {
            std::memcpy(out, stored.data(), kSector);
            if (flipOnRead >= 0) out[flipOnRead] = static_cast<uint8_t>(~out[flipOnRead]);
            return 1;
        }
        return 0;
    }
    int32_t VendorW(int32_t, int32_t c0, int32_t, void* buf) override {
        if (c0 != sub::kConfigWrite || failWrites) return 0;
        std::memcpy(stored.data(), buf, kSector);
        ++writes;
        return 1;
    }
    int32_t VendorScan(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                       void*) override {
        return 0;
    }
    int32_t VendorWrite(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                        int32_t, int32_t, int32_t, void*) override {
        return 0;
    }
    int16_t KillEXE() override { return 0; }
    bool Loaded() const override { return true; }
};

// A row that keeps what the steps put into it.
class RowRecord final : public PortView {
  public:
    std::map<Column, std::string> marks, texts;
    Picture picture = Picture::None;

    void Reset(bool) override {}
    void HideResults() override {}
    void ShowMark(Column, bool) override {}
    void ShowText(Column, bool) override {}
    void SetMark(Column c, const std::string& t) override { marks[c] = t; }
    void SetText(Column c, const std::string& t) override { texts[c] = t; }
    void SetPicture(Picture p) override { picture = p; }
    void ShowProgress(bool) override {}
    void SetProgress(int) override {}
    void SetProgressMaximum(int) override {}
    void AddProgress(int) override {}
    Answer ShowMessage(const std::string&, Icon) override { return Answer::Ok; }
};

struct StepRig {
    explicit StepRig(SarnikApi& lib)
        : job{lib, recipe, port, row, run, run.ports[0], bootTemplate, 1} {
        recipe.Vid = "1234";
        recipe.Pid = "5678";
        recipe.UsbManufacturer = recipe.ScsiVendor = "Korva";
        recipe.UsbProduct = recipe.ScsiProduct = "Disk";
        recipe.SerialNumber = "AB123456";
        recipe.SerialGiven = recipe.SerialComplete = true;
        port.Handle = 1;
    }
    ProductSettings recipe;
    PortRecord port;
    RowRecord row;
    RunState run;
    std::array<uint8_t, kSector> bootTemplate{};
    PortJob job;
};

TEST(StepsOnAFakeLibrary, ManufactureThenCheckConfigAgreeAndCatchAChangedByte) {
    FakeLibrary lib;
    StepRig r(lib);
    SetUsbScsiStr(r.job);
    EXPECT_EQ(lib.writes, 1);
    EXPECT_EQ(r.row.marks[Column::ConfigString], "String = V");
    EXPECT_EQ(r.row.texts[Column::ConfigString], "Write = V");
    const auto decoded = DecodeConfigBlock(lib.stored.data(), lib.stored.size());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->SerialNumber, "AB123456");
    EXPECT_EQ(decoded->Vid, "1234");
    TestCopyAndCompareFile(r.job);
    EXPECT_EQ(r.row.marks[Column::CheckConfig], "V");
    EXPECT_EQ(r.port.ErrorStatus.load(), 0);
    EXPECT_FALSE(r.run.AnyFailed.load());

    // One byte read back differently: the check fails with its code.
    lib.flipOnRead = 40;
    TestCopyAndCompareFile(r.job);
    EXPECT_EQ(r.row.marks[Column::CheckConfig], "X");
    EXPECT_EQ(r.port.ErrorStatus.load(), Code(Status::ConfigReadBack));
    EXPECT_EQ(r.row.picture, Picture::Failed);
    EXPECT_TRUE(r.run.AnyFailed.load());
}

TEST(StepsOnAFakeLibrary, ARefusedWriteFailsTheStep) {
    FakeLibrary lib;
    lib.failWrites = true;
    StepRig r(lib);
    SetUsbScsiStr(r.job);
    EXPECT_EQ(r.row.marks[Column::ConfigString], "String = V");
    EXPECT_EQ(r.row.texts[Column::ConfigString], "Write = X");
    EXPECT_EQ(r.port.ErrorStatus.load(), Code(Status::ConfigWriteFailed));
    EXPECT_TRUE(r.run.AnyFailed.load());
}

TEST(StepsOnAFakeLibrary, RapidDrawsOnEightPortsNeverShareASerial) {
    // Every write fails at once, so the draws of the eight workers follow each
    // other as closely as they can.
    FakeLibrary lib;
    lib.failWrites = true;
    StepRig shared(lib);
    shared.recipe.SerialSectionPresent = true;
    shared.recipe.SerialGiven = false;
    shared.recipe.SerialComplete = false;
    std::array<PortRecord, 8> ports;
    std::array<RowRecord, 8> rows;
    constexpr int kCalls = 250;
    std::vector<std::vector<std::string>> drawn(8);
    std::vector<std::thread> workers;
    for (int16_t k = 0; k < 8; ++k) {
        workers.emplace_back([&, k] {
            ports[k].Handle = 1;
            const PortJob job{lib,
                              shared.recipe,
                              ports[k],
                              rows[k],
                              shared.run,
                              shared.run.ports[k],
                              shared.bootTemplate,
                              static_cast<int16_t>(k + 1)};
            for (int c = 0; c < kCalls; ++c) {
                BuildConfigBlock(job, true);
                const auto d = DecodeConfigBlock(ports[k].SectorBuffer.data(), kSector);
                drawn[k].push_back(d ? d->SerialNumber : std::string());
            }
        });
    }
    for (auto& w : workers) w.join();
    std::set<std::string> distinct;
    for (const auto& serials : drawn) distinct.insert(serials.begin(), serials.end());
    // 2000 draws from 10^8 values: a chance repeat is rare (about 2 %); a
    // block that takes another port's draw repeats that serial.
    EXPECT_GE(distinct.size(), 8u * kCalls - 1);
}

TEST(UnloadedLibrary, EveryCallFailsCleanlyAndTheStepReportsIt) {
    Sarnik lib;  // Load never called
    ASSERT_FALSE(lib.Loaded());
    std::array<uint8_t, kSector> buf{};
    EXPECT_EQ(lib.GetDiskHandle(0), 0);
    EXPECT_EQ(lib.VendorR(1, sub::kConfigRead, buf.data()), 0);
    EXPECT_EQ(lib.Write(1, 1, 0, buf.data()), 0);
    EXPECT_EQ(lib.UnloadedCalls(), 3);

    StepRig r(lib);
    SetUsbScsiStr(r.job);
    EXPECT_EQ(r.row.texts[Column::ConfigString], "Write = X");
    EXPECT_EQ(r.port.ErrorStatus.load(), Code(Status::DeviceInfoUnreadable));
    TestCopyAndCompareFile(r.job);
    EXPECT_EQ(r.row.marks[Column::CheckConfig], "X");
}

}  // namespace
}  // namespace galmor
