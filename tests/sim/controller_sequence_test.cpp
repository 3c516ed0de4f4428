// A controller on the simulated bus driven by hand through the whole vendor
// sequence of a production run (probe, chip list, device info, setup pages,
// layout and commit, loader, reserved area, partitions, password clearing,
// configuration block, write-protect check), then re-plugged; the finished
// disk is checked through the bus and through the built `simbus` tool.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "controller_blocks_test.h"
#include "simbus/bus.h"

namespace {

using simdev::Direction;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

constexpr uint32_t kLoaderSectors = 300;  // 150 KB: chunks at 0 and 128, 44 sectors at 256
constexpr uint32_t kReserveImage = 260;   // chunks at 0 and 128, 4 sectors at 256
constexpr uint32_t kTotalReserved = 400;  // second section 140 > 128: one zero chunk
constexpr uint32_t kFirstPartition = 30000;
constexpr uint32_t kFlash = 64000;  // one 0x75 chip
constexpr uint32_t kUser = kFlash - kLoaderSectors - kTotalReserved;

uint8_t loader_byte(size_t i) {
    return uint8_t(i * 13 + 1);
}
uint8_t reserve_byte(size_t i) {
    return uint8_t(i * 7 + 3);
}

class Scratch {
  public:
    Scratch() {
        std::string t = (fs::temp_directory_path() / "ctlseq-XXXXXX").string();
        if (!::mkdtemp(t.data())) throw std::runtime_error("mkdtemp");
        path_ = t;
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Runs a command and returns its standard output; the exit status goes to *rc.
std::string run(const std::string& cmd, int* rc) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    *rc = ::pclose(p);
    return out;
}

Bytes file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

class Station {
  public:
    Station(const simbus::Bus& bus, int fd) : bus_(bus), fd_(fd) {}

    uint8_t in(Bytes cdb, Bytes& data) {
        auto o = bus_.execute(fd_, cdb.data(), cdb.size(), Direction::In, data.data(),
                              uint32_t(data.size()), 30);
        EXPECT_TRUE(o.delivered);
        return o.status;
    }
    uint8_t out(Bytes cdb, const Bytes& data) {
        Bytes copy = data;
        auto o = bus_.execute(fd_, cdb.data(), cdb.size(), Direction::Out, copy.data(),
                              uint32_t(copy.size()), 30);
        EXPECT_TRUE(o.delivered);
        return o.status;
    }
    Bytes vendor_r(uint8_t op, uint8_t expect = simdev::kStatusGood) {
        Bytes b(512, 0);
        EXPECT_EQ(in(cdb10({op}), b), expect) << std::hex << int(op);
        return b;
    }
    void vendor_w(uint8_t op, const Bytes& block, uint8_t expect = simdev::kStatusGood) {
        EXPECT_EQ(out(cdb10({op}), block), expect) << std::hex << int(op);
    }
    Bytes scan(std::initializer_list<uint8_t> bytes) {
        Bytes b(512, 0);
        EXPECT_EQ(in(cdb10(bytes), b), simdev::kStatusGood);
        return b;
    }
    void write10(uint32_t lba, const Bytes& data) {
        const uint32_t n = uint32_t(data.size() / 512);
        Bytes c = {0x2A,         0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8),
                   uint8_t(lba), 0, uint8_t(n >> 8),    uint8_t(n),         0};
        EXPECT_EQ(out(c, data), simdev::kStatusGood) << lba;
    }
    void reserved_write(uint32_t offset, const Bytes& data) {
        const uint8_t n = uint8_t(data.size() / 512);
        Bytes c(16, 0);
        c[0] = 0xF7;
        c[2] = uint8_t(offset >> 24);
        c[3] = uint8_t(offset >> 16);
        c[4] = uint8_t(offset >> 8);
        c[5] = uint8_t(offset);
        c[8] = n;
        EXPECT_EQ(out(c, data), simdev::kStatusGood) << offset;
    }
    void tur() {
        Bytes none;
        auto c = cdb10({0x00});
        bus_.execute(fd_, c.data(), c.size(), Direction::In, none.data(), 0, 2);
    }
    static Bytes cdb10(std::initializer_list<uint8_t> head) {
        Bytes c(10, 0);
        std::copy(head.begin(), head.end(), c.begin());
        return c;
    }

  private:
    const simbus::Bus& bus_;
    int fd_;
};

Bytes layout_block() {
    return ctltest::layout_block(
        {kFirstPartition, kTotalReserved, kReserveImage, kLoaderSectors / 2});
}

Bytes config_block() {
    return ctltest::example_config(kTotalReserved, kReserveImage);
}

Bytes boot_sector() {
    Bytes b(512, 0);
    b[0] = 0xEB;
    b[1] = 0x3C;
    b[2] = 0x90;
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

TEST(ControllerSequence, FormatByHandThenReplugShowsTheFinishedDisk) {
    const std::string simbus = std::string(UFD_BIN_DIR) + "/simbus";
    ASSERT_TRUE(fs::exists(simbus)) << "build the simbus tool first: " << simbus;

    Scratch tmp;
    const std::string dir = tmp.path() + "/bus";
    simbus::Bus bus(dir);
    simbus::PlugOptions po;
    po.device.chips = {0x75};
    const std::string id = bus.plug(po);
    ASSERT_FALSE(id.empty());

    auto disks = bus.interface_paths(simdev::UnitClass::Disk);
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_NE(disks[0].find("rev_7.77"), std::string::npos) << disks[0];
    EXPECT_TRUE(bus.interface_paths(simdev::UnitClass::Cdrom).empty());
    const int fd = bus.open(disks[0]);
    ASSERT_GT(fd, 0);
    Station st(bus, fd);

    // Discovery's probe: setup page written back and applied, device info,
    // commit without a layout (refused, ignored by the station), status reads.
    Bytes page = st.scan({0x9C, 0x09, 0, 0, 0x02, 0});
    st.vendor_w(0x74, page);
    st.vendor_r(0x73);
    Bytes info = st.vendor_r(0x75);
    EXPECT_EQ(info[126], 0);
    EXPECT_EQ(info[128], 0xC0);
    const Bytes commit = ctltest::commit_block();
    st.vendor_w(0xF5, commit, simdev::kStatusCheckCondition);
    st.vendor_r(0x96);
    st.vendor_r(0x83);
    st.vendor_r(0x97);

    // Low-level format of one zone (the operator's separate command).
    for (int b = 0; b < 256; ++b) st.scan({0x98, 0, 3, uint8_t(b), 0, 0});

    // Format step: chip list, device info, setup pages.
    const Bytes chips = st.vendor_r(0x93);
    EXPECT_EQ(chips[0], 0x75);
    EXPECT_EQ(chips[1], 0xAA);
    info = st.vendor_r(0x75);
    EXPECT_EQ(info[131], 5);
    page = st.scan({0x9C, 0x09, 0, 0, 0x02, 0});
    st.vendor_w(0x74, page);
    st.vendor_r(0x73);
    st.scan({0x9C, 0x09, 0, 0, 0x04, 0});

    // Layout, commit, status, then the loader disk in 128-sector chunks.
    st.vendor_w(0x99, layout_block());
    st.vendor_w(0xF5, commit);
    st.vendor_r(0x96);
    st.tur();
    Bytes loader(kLoaderSectors * 512);
    for (size_t i = 0; i < loader.size(); ++i) loader[i] = loader_byte(i);
    for (uint32_t s = 0; s < kLoaderSectors; s += 128) {
        const uint32_t n = std::min<uint32_t>(128, kLoaderSectors - s);
        st.write10(s, Bytes(loader.begin() + s * 512, loader.begin() + (s + n) * 512));
    }

    // Reserved area: open, image chunks, first zero chunk of the second section, close.
    st.vendor_r(0x9A);
    Bytes reserve(kReserveImage * 512);
    for (size_t i = 0; i < reserve.size(); ++i) reserve[i] = reserve_byte(i);
    for (uint32_t s = 0; s < kReserveImage; s += 128) {
        const uint32_t n = std::min<uint32_t>(128, kReserveImage - s);
        st.reserved_write(s, Bytes(reserve.begin() + s * 512, reserve.begin() + (s + n) * 512));
    }
    st.reserved_write(kReserveImage, Bytes(128 * 512, 0));
    st.vendor_r(0x9A);

    // Boot sectors of the two partitions.
    st.write10(kLoaderSectors, boot_sector());
    st.write10(kLoaderSectors + kFirstPartition, boot_sector());

    // Password clearing: page 2 has no password, so zeros are written and applied.
    page = st.scan({0x9C, 0x09, 0, 0, 0x02, 0});
    ASSERT_EQ(page[129] | page[130], 0);
    st.vendor_w(0x74, Bytes(512, 0));
    st.scan({0x73, 0, 0, 0, 0, 0});

    // Configuration block written and read back; write-protect check.
    st.vendor_r(0x75);
    st.vendor_w(0x81, config_block());
    const Bytes stored = st.vendor_r(0x82);
    EXPECT_TRUE(std::equal(stored.begin(), stored.begin() + 127, config_block().begin()));
    st.tur();
    st.tur();
    EXPECT_EQ(st.vendor_r(0x75)[129], 1);
    ::close(fd);

    // Re-plug: the finished disk.
    ASSERT_TRUE(bus.replug(id));
    const auto cds = bus.interface_paths(simdev::UnitClass::Cdrom);
    disks = bus.interface_paths(simdev::UnitClass::Disk);
    ASSERT_EQ(cds.size(), 1u);
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_NE(cds[0].find("ven_ab&prod_disk&rev_8.00"), std::string::npos) << cds[0];

    int rc = -1;
    const std::string json_text = run(simbus + " --bus " + dir + " inspect " + id + " --json", &rc);
    ASSERT_EQ(rc, 0) << json_text;
    const auto j = nlohmann::json::parse(json_text);
    const auto& d = j.at("device");
    EXPECT_EQ(d["state"], "finished");
    EXPECT_EQ(d["usb"]["vid"], "1234");
    EXPECT_EQ(d["usb"]["pid"], "5678");
    EXPECT_EQ(d["usb"]["bcd_device"], "0105");
    EXPECT_EQ(d["usb"]["manufacturer"], "AB");
    EXPECT_EQ(d["usb"]["product"], "Disk");
    EXPECT_EQ(d["usb"]["serial"], "00012345");
    EXPECT_TRUE(d["config_block"]["valid"].get<bool>());
    EXPECT_EQ(d["config_block"]["total_reserved_sectors"], kTotalReserved);
    EXPECT_EQ(d["config_block"]["reserve_image_sectors"], kReserveImage);
    const auto& l = d["layout"];
    EXPECT_EQ(l["first_partition_sectors"], kFirstPartition);
    EXPECT_EQ(l["total_reserved_sectors"], kTotalReserved);
    EXPECT_EQ(l["reserve_image_sectors"], kReserveImage);
    EXPECT_EQ(l["loader_kb"], kLoaderSectors / 2);
    EXPECT_EQ(l["one_meg_reserved"], false);
    EXPECT_EQ(l["non_removable"], false);
    EXPECT_EQ(l["loader_disabled"], false);
    EXPECT_EQ(l["partition_sectors"], nlohmann::json({kFirstPartition, kUser - kFirstPartition}));
    const auto& units = d["units"];
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0]["name"], "cdrom");
    EXPECT_EQ(units[0]["sectors"], kLoaderSectors);
    EXPECT_EQ(units[1]["sectors"], kFirstPartition);
    EXPECT_EQ(units[2]["sectors"], kUser - kFirstPartition);
    for (const auto& u : units) EXPECT_EQ(u["revision"], "8.00");
    EXPECT_EQ(d["erased_blocks"], 256);
    EXPECT_EQ(d["reserved_bytes_written"], (kReserveImage + 128) * 512);

    // The exported units hold what was written.
    const std::string out = tmp.path() + "/out.bin";
    auto exported = [&](const std::string& unit) {
        int erc = -1;
        run(simbus + " --bus " + dir + " export " + id + " " + unit + " " + out, &erc);
        EXPECT_EQ(erc, 0) << unit;
        return file_bytes(out);
    };
    EXPECT_EQ(exported("cdrom"), loader);
    const Bytes res = exported("reserved");
    ASSERT_EQ(res.size(), kTotalReserved * 512u);
    EXPECT_TRUE(std::equal(reserve.begin(), reserve.end(), res.begin()));
    const Bytes p2 = exported("disk2");
    ASSERT_EQ(p2.size(), size_t(kUser - kFirstPartition) * 512);
    EXPECT_TRUE(std::equal(p2.begin(), p2.begin() + 512, boot_sector().begin()));

    // Through the bus: the second partition's first sector is its boot sector.
    const int fd2 = bus.open(disks[1]);
    ASSERT_GT(fd2, 0);
    Bytes sector(512);
    Bytes c = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    const auto o = bus.execute(fd2, c.data(), c.size(), Direction::In, sector.data(), 512, 30);
    EXPECT_TRUE(o.delivered);
    EXPECT_EQ(o.status, simdev::kStatusGood);
    EXPECT_EQ(sector, boot_sector());
    ::close(fd2);
}

}  // namespace
