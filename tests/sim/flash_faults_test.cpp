// Faults of the flash that read-back verification exists for: writes dropped
// past the real flash, a sector that reads back with a flipped bit, reads that
// fail. Driven through the bus (state saved and reloaded around every command)
// and through the simbus tool.
#include <unistd.h>

#include "controller_blocks_test.h"
#include "simtest.h"

using simdev::Direction;
using simdev::UnitClass;
using namespace simtest;

namespace {

class FlashFaultTest : public BusTest {
  protected:
    void Plug(const simdev::FlashFaults& faults) {
        simbus::PlugOptions o;
        o.device.chips = {0x75};  // 64,000 sectors
        o.device.faults = faults;
        id = bus.plug(o);
        ASSERT_FALSE(id.empty());
        fd = Open(UnitClass::Disk, 0);
        ASSERT_GT(fd, 0);
    }
    void TearDown() override {
        if (fd > 0) close(fd);
    }
    nlohmann::json Shown() { return bus.inspect(id)->at("device").at("flash_faults"); }
    // Sense key and additional sense code of the last refusal.
    std::pair<uint8_t, uint8_t> Sense() {
        std::vector<uint8_t> cdb = {0x03, 0, 0, 0, 18, 0}, b(18, 0);
        EXPECT_TRUE(Good(Exec(bus, fd, cdb, Direction::In, b.data(), 18)));
        return {b[2], b[12]};
    }
    std::vector<uint8_t> ReadOk(uint32_t lba, uint8_t count) {
        std::vector<uint8_t> out;
        EXPECT_TRUE(Good(Read10(bus, fd, lba, count, out))) << lba;
        return out;
    }

    std::string id;
    int fd = -1;
};

simdev::FlashFaults Faults(std::optional<uint64_t> drop_writes_from,
                           std::optional<uint64_t> flip_bits, std::optional<uint64_t> read_error) {
    simdev::FlashFaults f;
    f.drop_writes_from = drop_writes_from;
    f.flip_bits = flip_bits;
    f.read_error = read_error;
    return f;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t sector, size_t count = 1) {
    return {v.begin() + long(sector * 512), v.begin() + long((sector + count) * 512)};
}

}  // namespace

TEST_F(FlashFaultTest, WritesPastTheRealFlashAreAcknowledgedButNotKept) {
    Plug(Faults(100, {}, {}));
    // A write across the limit: the whole write reports success.
    const auto data = Pattern(4, 1);
    ASSERT_TRUE(Good(Write10(bus, fd, 98, data)));
    const auto back = ReadOk(98, 4);
    EXPECT_EQ(Slice(back, 0, 2), Slice(data, 0, 2));
    EXPECT_EQ(Slice(back, 2, 2), std::vector<uint8_t>(1024, 0));
    // Wholly past the limit, and wholly below it.
    ASSERT_TRUE(Good(Write10(bus, fd, 5000, Pattern(8, 2))));
    EXPECT_EQ(ReadOk(5000, 8), std::vector<uint8_t>(8 * 512, 0));
    ASSERT_TRUE(Good(Write10(bus, fd, 0, Pattern(100, 3))));
    EXPECT_EQ(ReadOk(0, 100), Pattern(100, 3));

    const auto f = Shown();
    EXPECT_EQ(f["drop_writes_from"], 100);
    EXPECT_EQ(f["sectors_dropped"], 2 + 8);
    EXPECT_EQ(f["flip_bits"], nullptr);
    EXPECT_EQ(f["read_error"], nullptr);
}

TEST_F(FlashFaultTest, WeakSectorReadsBackWithOneBitFlippedEveryTime) {
    Plug(Faults({}, 5, {}));
    const auto data = Pattern(8, 4);
    ASSERT_TRUE(Good(Write10(bus, fd, 0, data)));
    for (int round = 0; round < 2; ++round) {  // the stored bytes are not changed by reading
        const auto back = ReadOk(0, 8);
        size_t bits = 0;
        for (size_t i = 0; i < back.size(); ++i) {
            const uint8_t diff = back[i] ^ data[i];
            if (diff) {
                EXPECT_EQ(i / 512, 5u) << "byte " << i;
            }
            bits += size_t(__builtin_popcount(diff));
        }
        EXPECT_EQ(bits, 1u);
    }
    // Reads that start at or end next to it are clean; one that starts on it is not.
    EXPECT_EQ(ReadOk(6, 2), Slice(data, 6, 2));
    EXPECT_EQ(ReadOk(0, 5), Slice(data, 0, 5));
    EXPECT_NE(ReadOk(5, 1), Slice(data, 5));
    EXPECT_EQ(Shown()["reads_flipped"], 3);

    // What the flash holds is what was written.
    const std::string file = tmp.path() + "/flash.img";
    ASSERT_TRUE(bus.export_unit(id, "flash", file));
    const std::string stored = ReadFile(file).substr(0, data.size());
    EXPECT_EQ(std::vector<uint8_t>(stored.begin(), stored.end()), data);
}

TEST_F(FlashFaultTest, ReadsCoveringTheBadSectorFailWithAMediumError) {
    Plug(Faults({}, {}, 300));
    // Writing it works; reading it back does not.
    ASSERT_TRUE(Good(Write10(bus, fd, 256, Pattern(128, 5))));
    std::vector<uint8_t> out;
    const auto o = Read10(bus, fd, 256, 128, out);
    EXPECT_TRUE(Check(o));
    EXPECT_EQ(o.transferred, 0u);
    EXPECT_EQ(Sense(), std::make_pair(uint8_t{0x03}, uint8_t{0x11}));
    EXPECT_TRUE(Check(Read10(bus, fd, 300, 1, out)));
    EXPECT_EQ(ReadOk(299, 1), Slice(Pattern(128, 5), 43));
    EXPECT_EQ(ReadOk(301, 1), Slice(Pattern(128, 5), 45));
    EXPECT_EQ(Shown()["reads_failed"], 2);
}

// Fault sectors are flash sectors: on a finished disk they land in the unit
// that maps that part of the flash, and they survive a re-plug.
TEST_F(FlashFaultTest, FaultsFollowTheFlashIntoTheFinishedUnits) {
    Plug(Faults({}, 10, 2048 + 7));
    auto vendor_out = [&](uint8_t op, std::vector<uint8_t> block) {
        return Good(Exec(bus, fd, Cdb10(op), Direction::Out, block.data(), 512));
    };
    ASSERT_TRUE(vendor_out(0x99, ctltest::layout_block({0, 0, 0, 1024})));  // 2,048-sector loader
    ASSERT_TRUE(vendor_out(0xF5, ctltest::commit_block()));
    ASSERT_TRUE(vendor_out(0x81, ctltest::example_config()));
    ASSERT_TRUE(Good(Write10(bus, fd, 0, Pattern(16, 6))));
    close(fd);
    fd = -1;
    ASSERT_TRUE(bus.replug(id));
    ASSERT_EQ(bus.inspect(id)->at("device").at("state"), "finished");

    fd = Open(UnitClass::Cdrom, 0);
    ASSERT_GT(fd, 0);
    EXPECT_NE(ReadOk(8, 4), Slice(Pattern(16, 6), 8, 4));
    EXPECT_EQ(ReadOk(11, 4), Slice(Pattern(16, 6), 11, 4));
    close(fd);
    fd = Open(UnitClass::Disk, 0);  // disk1 starts after the loader
    ASSERT_GT(fd, 0);
    std::vector<uint8_t> out;
    EXPECT_TRUE(Check(Read10(bus, fd, 0, 8, out)));
    ReadOk(8, 8);
    ReadOk(0, 7);
}

TEST_F(FlashFaultTest, SavedDeviceWithoutFaultsStillLoads) {
    Plug(Faults({}, {}, {}));
    auto saved = simdev::make_device({})->save();
    saved["hardware"].erase("flash_faults");
    for (const char* k : {"sectors_dropped", "reads_flipped", "reads_failed"})
        saved["flash"].erase(k);
    auto dev = simdev::load_device(saved);
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->inspect()["flash_faults"]["drop_writes_from"], nullptr);
    // A mistyped fault is a state that does not load, not a crash.
    saved["hardware"]["flash_faults"] = {{"flip_bits", "seven"}};
    EXPECT_FALSE(simdev::load_device(saved));
}

TEST_F(FlashFaultTest, ToolPlugsAndShowsTheFaults) {
    auto tool = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--bus", bus_dir});
        return RunTool(args);
    };
    auto r = tool({"plug", "--drop-writes-from", "0x1000", "--flip-bits", "33", "--read-error",
                   "4294967295"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string dev = r.out.substr(0, r.out.find('\n'));
    r = tool({"inspect", dev, "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto f = nlohmann::json::parse(r.out)["device"]["flash_faults"];
    EXPECT_EQ(f["drop_writes_from"], 4096);
    EXPECT_EQ(f["flip_bits"], 33);
    EXPECT_EQ(f["read_error"], 4294967295u);
    EXPECT_EQ(f["sectors_dropped"], 0);
    r = tool({"inspect", dev});
    EXPECT_NE(r.out.find("flash_faults:\n    drop_writes_from: 4096\n    flip_bits: 33\n"),
              std::string::npos)
        << r.out;

    // A fault-free device shows the faults as absent.
    r = tool({"plug"});
    ASSERT_EQ(r.code, 0);
    r = tool({"inspect", r.out.substr(0, r.out.find('\n'))});
    EXPECT_NE(r.out.find("    read_error: null\n"), std::string::npos) << r.out;

    for (const auto& bad :
         std::vector<std::vector<std::string>>{{"plug", "--flip-bits", "x"},
                                               {"plug", "--read-error", "4294967296"},
                                               {"plug", "--drop-writes-from", "-1"},
                                               {"plug", "--plain", "--flip-bits", "3"}}) {
        r = tool(bad);
        EXPECT_EQ(r.code, 64) << bad.back();
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_EQ(bus.list().size(), 2u);
}
