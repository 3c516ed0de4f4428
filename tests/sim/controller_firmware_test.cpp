// The controller model driven directly, command by command, with CDBs and
// blocks built here from their byte descriptions.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <vector>

#include "../../sim/src/device/kinds.h"
#include "controller_blocks_test.h"

namespace {

using ctltest::commit_block;
using ctltest::example_config;
using ctltest::layout_block;
using ctltest::LayoutFields;
using simdev::Direction;
using simdev::FreshOptions;
using simdev::Region;
using simdev::Response;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kGood = simdev::kStatusGood;
constexpr uint8_t kCheck = simdev::kStatusCheckCondition;

// Sparse in-memory store: 512-byte pages, unwritten bytes read as 0.
class MemStore : public simdev::Store {
  public:
    bool read(Region r, uint64_t off, uint8_t* out, size_t len) override {
        for (size_t i = 0; i < len; ++i) {
            auto it = pages_.find({int(r), (off + i) / 512});
            out[i] = it == pages_.end() ? 0 : it->second[(off + i) % 512];
        }
        return true;
    }
    bool write(Region r, uint64_t off, const uint8_t* in, size_t len) override {
        for (size_t i = 0; i < len; ++i) pages_[{int(r), (off + i) / 512}][(off + i) % 512] = in[i];
        return true;
    }
    uint8_t at(Region r, uint64_t off) {
        uint8_t b;
        read(r, off, &b, 1);
        return b;
    }

  private:
    std::map<std::pair<int, uint64_t>, std::array<uint8_t, 512>> pages_;
};

Bytes cdb10(uint8_t op, std::initializer_list<uint8_t> rest = {}) {
    Bytes c(10, 0);
    c[0] = op;
    size_t i = 1;
    for (uint8_t b : rest) c[i++] = b;
    return c;
}

Bytes rw10(uint8_t op, uint32_t lba, uint16_t count) {
    return {op,           0, uint8_t(lba >> 24),  uint8_t(lba >> 16), uint8_t(lba >> 8),
            uint8_t(lba), 0, uint8_t(count >> 8), uint8_t(count),     0};
}

Bytes reserved_cdb(uint32_t offset, uint8_t count) {
    Bytes c(16, 0);
    c[0] = 0xF7;
    c[2] = uint8_t(offset >> 24);
    c[3] = uint8_t(offset >> 16);
    c[4] = uint8_t(offset >> 8);
    c[5] = uint8_t(offset);
    c[8] = count;
    return c;
}

struct Dev {
    explicit Dev(FreshOptions o = {}) : d(simdev::make_controller(o)) {}
    std::unique_ptr<simdev::Device> d;
    MemStore store;

    Response in(const Bytes& cdb, Bytes& buf, size_t unit = 0) {
        return d->execute(unit, {cdb, Direction::In, buf}, store);
    }
    Response out(const Bytes& cdb, Bytes data, size_t unit = 0) {
        return d->execute(unit, {cdb, Direction::Out, data}, store);
    }
    Response none(const Bytes& cdb, size_t unit = 0) {
        return d->execute(unit, {cdb, Direction::None, {}}, store);
    }
    Bytes vendor_read(uint8_t op) {
        Bytes b(512, 0xEE);
        EXPECT_EQ(in(cdb10(op), b).status, kGood) << std::hex << int(op);
        return b;
    }
    Bytes page(uint8_t n) {
        Bytes b(512);
        EXPECT_EQ(in(cdb10(0x9C, {0x09, 0, 0, n, 0}), b).status, kGood);
        return b;
    }
    uint8_t w(uint8_t op, Bytes block) { return out(cdb10(op), std::move(block)).status; }
    uint64_t capacity(size_t unit = 0) {
        Bytes b(8);
        if (in(cdb10(0x25), b, unit).status != kGood) return 0;
        return (uint64_t(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3]) + 1;
    }
    uint8_t sense_key() {
        Bytes b(18);
        Bytes c(6, 0);
        c[0] = 0x03;
        c[4] = 18;
        EXPECT_EQ(in(c, b).status, kGood);
        return b[2];
    }
    uint8_t write_sectors(uint32_t lba, uint16_t count, uint8_t fill, size_t unit = 0) {
        return out(rw10(0x2A, lba, count), Bytes(count * 512u, fill), unit).status;
    }
};

// Commits a layout and stores the example block; the caller re-plugs.
void finish(Dev& dev, const LayoutFields& f) {
    ASSERT_EQ(dev.w(0x99, layout_block(f)), kGood);
    ASSERT_EQ(dev.w(0xF5, commit_block()), kGood);
    ASSERT_EQ(dev.w(0x81, example_config(f.total_reserved, f.reserve_image)), kGood);
}

// ---- identity and status blocks ----------------------------------------------------

TEST(ControllerInfo, DeviceInfoBytesFollowEachOption) {
    struct Case {
        const char* name;
        FreshOptions o;
        uint8_t b126, b128, b129, b131;
    };
    auto opt = [](auto f) {
        FreshOptions o;
        f(o);
        return o;
    };
    const Case cases[] = {
        {"default", {}, 0x00, 0xC0, 1, 5},
        {"hw wp", opt([](auto& o) { o.hw_write_protect = true; }), 0x80, 0xC0, 1, 5},
        {"sw wp", opt([](auto& o) { o.sw_write_protect = true; }), 0x40, 0xC0, 1, 5},
        {"bad blocks", opt([](auto& o) { o.bad_blocks = true; }), 0x20, 0xC0, 1, 5},
        {"all flags",
         opt([](auto& o) { o.hw_write_protect = o.sw_write_protect = o.bad_blocks = true; }), 0xE0,
         0xC0, 1, 5},
        {"password", opt([](auto& o) { o.password = true; }), 0x00, 0x80, 1, 5},
        {"switch", opt([](auto& o) { o.wp_switch_on = true; }), 0x00, 0xC0, 0, 5},
        {"fw 3 keeps flags", opt([](auto& o) {
             o.fw_rev = 3;
             o.hw_write_protect = true;
         }),
         0x80, 0xC0, 1, 3},
        {"fw 2 reports protection in 129", opt([](auto& o) {
             o.fw_rev = 2;
             o.sw_write_protect = true;
         }),
         0x00, 0xC0, 0, 2},
        {"fw 2 writable", opt([](auto& o) { o.fw_rev = 2; }), 0x00, 0xC0, 1, 2},
    };
    for (const auto& c : cases) {
        Dev dev(c.o);
        const Bytes info = dev.vendor_read(0x75);
        EXPECT_EQ(info[126], c.b126) << c.name;
        EXPECT_EQ(info[128], c.b128) << c.name;
        EXPECT_EQ(info[129], c.b129) << c.name;
        EXPECT_EQ(info[131], c.b131) << c.name;
        const Bytes status = dev.vendor_read(0x7C);
        EXPECT_EQ(status[128], c.b128) << c.name;
        EXPECT_EQ(status[126], c.b126) << c.name;
    }
}

TEST(ControllerInfo, ChipListAndCapacity) {
    struct Case {
        std::vector<uint8_t> chips;
        Bytes list;  // expected head of the reply
        uint64_t sectors;
    };
    const Case cases[] = {
        {{0xDC}, {0xDC, 0xAA, 0x00}, 1024000},
        {{0x75, 0x75}, {0x75, 0x75, 0xAA, 0x00}, 128000},
        {{0xE6, 0x66, 0x01}, {0xE6, 0x66, 0x01, 0xAA}, 16000 + 128000 + 256000},
        {{0x75, 0x42}, {0x75, 0x42, 0xAA}, 64000},  // unknown code: listed, no capacity
        {{}, {0xAA, 0x00}, 0},
    };
    for (const auto& c : cases) {
        FreshOptions o;
        o.chips = c.chips;
        Dev dev(o);
        const Bytes list = dev.vendor_read(0x93);
        EXPECT_TRUE(std::equal(c.list.begin(), c.list.end(), list.begin())) << c.sectors;
        EXPECT_EQ(dev.capacity(), c.sectors);
        const auto units = dev.d->units();
        ASSERT_EQ(units.size(), 1u);
        EXPECT_EQ(units[0].sectors, c.sectors);
        EXPECT_EQ(units[0].revision, "7.77");
    }
}

TEST(ControllerInfo, ShortReplyBufferGetsTheHeadAndWrongDirectionIsRefused) {
    Dev dev;
    Bytes small(4, 0);
    const Response r = dev.in(cdb10(0x93), small);
    EXPECT_EQ(r.status, kGood);
    EXPECT_EQ(r.transferred, 4u);
    EXPECT_EQ(small[0], 0xDC);
    EXPECT_EQ(small[1], 0xAA);
    EXPECT_EQ(dev.out(cdb10(0x75), Bytes(512)).status, kCheck);
    EXPECT_EQ(dev.out(cdb10(0x81), Bytes(511)).status, kCheck);  // blocks are 512 bytes
    EXPECT_EQ(dev.none(cdb10(0xC7)).status, kCheck);             // unknown sub-command
    EXPECT_EQ(dev.sense_key(), 0x05);
}

// ---- setup pages and password -----------------------------------------------------

TEST(ControllerSetup, PageSelectionIsChecked) {
    Dev dev;
    Bytes b(512);
    EXPECT_EQ(dev.in(cdb10(0x9C, {0x09, 0, 0, 0x02, 0}), b).status, kGood);
    EXPECT_EQ(dev.in(cdb10(0x9C, {0x09, 0, 0, 0x04, 0}), b).status, kGood);
    EXPECT_EQ(dev.in(cdb10(0x9C, {0x09, 0, 0, 0x03, 0}), b).status, kCheck);
    EXPECT_EQ(dev.in(cdb10(0x9C, {0x08, 0, 0, 0x02, 0}), b).status, kCheck);
    EXPECT_EQ(dev.in(cdb10(0x9C, {0x09, 0, 0x02, 0, 0}), b).status, kCheck);
    EXPECT_EQ(dev.in(cdb10(0x9C, {0x09, 0, 0, 0x02, 0x01}), b).status, kCheck);
}

TEST(ControllerSetup, PasswordSurvivesWriteBackAndIsClearedByZeroPage) {
    FreshOptions o;
    o.password = true;
    Dev dev(o);
    // Nothing to write before a page was read.
    EXPECT_EQ(dev.w(0x74, Bytes(512, 0)), kCheck);

    Bytes p2 = dev.page(2);
    EXPECT_TRUE(p2[129] != 0 || p2[130] != 0);
    // Writing the page back unchanged keeps the password.
    EXPECT_EQ(dev.w(0x74, p2), kGood);
    dev.vendor_read(0x73);
    EXPECT_EQ(dev.vendor_read(0x75)[128], 0x80);

    // Zeros written after reading page 4 go to page 4, not to the password.
    dev.page(4);
    EXPECT_EQ(dev.w(0x74, Bytes(512, 0)), kGood);
    dev.vendor_read(0x73);
    EXPECT_EQ(dev.vendor_read(0x75)[128], 0x80);
    EXPECT_EQ(dev.page(4), Bytes(512, 0));

    // A written page is not in force before 0x73, and is lost with a re-plug.
    dev.page(2);
    EXPECT_EQ(dev.w(0x74, Bytes(512, 0)), kGood);
    dev.d->replug();
    dev.vendor_read(0x73);
    EXPECT_EQ(dev.vendor_read(0x75)[128], 0x80);

    // The clearing sequence: read page 2, write zeros, apply.
    dev.page(2);
    EXPECT_EQ(dev.w(0x74, Bytes(512, 0)), kGood);
    dev.vendor_read(0x73);
    EXPECT_EQ(dev.vendor_read(0x75)[128], 0xC0);
    EXPECT_EQ(dev.vendor_read(0x7C)[128], 0xC0);
    p2 = dev.page(2);
    EXPECT_EQ(p2[129], 0);
    EXPECT_EQ(p2[130], 0);
    EXPECT_FALSE(dev.d->inspect()["password"].get<bool>());
}

TEST(ControllerSetup, NoPasswordPageHasZeroMarkers) {
    Dev dev;
    const Bytes p2 = dev.page(2);
    EXPECT_EQ(p2[129], 0);
    EXPECT_EQ(p2[130], 0);
}

// ---- configuration block ----------------------------------------------------------

TEST(ControllerConfig, StoredBlockReadsBackAndDecodes) {
    Dev dev;
    EXPECT_EQ(dev.vendor_read(0x82), Bytes(512, 0));
    const Bytes block = example_config(3000, 2048);
    ASSERT_EQ(dev.w(0x81, block), kGood);
    EXPECT_EQ(dev.vendor_read(0x82), block);

    const auto cb = dev.d->inspect()["config_block"];
    EXPECT_TRUE(cb["stored"].get<bool>());
    EXPECT_TRUE(cb["valid"].get<bool>()) << cb.dump();
    EXPECT_EQ(cb["vid"], "1234");
    EXPECT_EQ(cb["pid"], "5678");
    EXPECT_EQ(cb["bcd_device"], "0105");
    EXPECT_EQ(cb["manufacturer"], "AB");
    EXPECT_EQ(cb["product"], "Disk");
    EXPECT_EQ(cb["scsi_vendor"], "AB");
    EXPECT_EQ(cb["scsi_product"], "Disk");
    EXPECT_EQ(cb["scsi_revision"], "8.00");
    EXPECT_EQ(cb["serial"], "00012345");
    EXPECT_EQ(cb["total_reserved_sectors"], 3000);
    EXPECT_EQ(cb["reserve_image_sectors"], 2048);
}

TEST(ControllerConfig, EachFirmwareCheckRejectsACorruptedBlock) {
    struct Case {
        const char* what;
        size_t at;
        uint8_t value;
    };
    const Case cases[] = {
        {"signature", 0, 0x98},
        {"second signature byte", 1, 0x08},
        {"header checksum", 66, 0x33},
        {"end mark AA", 67, 0xAB},
        {"end mark 55", 68, 0x54},
        {"marker 3C", 126, 0x3D},
        {"marker C3", 127, 0x00},
        {"serial checksum", 146, 0xA5},
        {"serial character", 140, 0x36},
        {"string inside header", 24, 0x43},
        {"odd descriptor length", 2, 0x07},
        {"strings too long", 3, 0xFE},
    };
    for (const auto& c : cases) {
        Dev dev;
        Bytes block = example_config();
        block[c.at] = c.value;
        ASSERT_EQ(dev.w(0x81, block), kGood) << c.what;
        EXPECT_EQ(dev.vendor_read(0x82), block) << c.what;  // stored as sent
        const auto cb = dev.d->inspect()["config_block"];
        EXPECT_FALSE(cb["valid"].get<bool>()) << c.what;
        EXPECT_FALSE(cb["problems"].empty()) << c.what;
        // With a committed layout the invalid block still gives the fresh identity.
        ASSERT_EQ(dev.w(0x99, layout_block({})), kGood);
        ASSERT_EQ(dev.w(0xF5, commit_block()), kGood);
        dev.d->replug();
        EXPECT_EQ(dev.d->inspect()["state"], "fresh") << c.what;
        EXPECT_EQ(dev.d->units().at(0).revision, "7.77") << c.what;
    }
}

TEST(ControllerConfig, ArbitraryBytesStillGiveValidJson) {
    Dev dev;
    Bytes block = example_config();
    block[24] = 0xE9;  // manufacturer character outside ASCII (checksum now wrong)
    block[25] = 0xD8;  // lone surrogate
    block[38] = 0xFF;  // SCSI vendor byte
    ASSERT_EQ(dev.w(0x81, block), kGood);
    EXPECT_NO_THROW((void)dev.d->inspect().dump());
    EXPECT_NO_THROW((void)dev.d->save().dump());
    EXPECT_EQ(dev.d->inspect()["config_block"]["scsi_vendor"],
              "\xC3\xBF"
              "B");
}

// ---- layout, units and bounds -----------------------------------------------------

TEST(ControllerLayout, CommitShrinksTheFreshDiskAndBoundsWrites) {
    Dev dev;  // one 0xDC chip: 1,024,000 sectors
    ASSERT_EQ(dev.capacity(), 1024000u);
    EXPECT_EQ(dev.write_sectors(1023999, 1, 0x11), kGood);

    LayoutFields f;
    f.loader_kb = 1024;  // 2048 sectors
    f.total_reserved = 1000;
    f.reserve_image = 600;
    ASSERT_EQ(dev.w(0x99, layout_block(f)), kGood);
    ASSERT_EQ(dev.w(0xF5, commit_block()), kGood);
    const uint64_t host = 2048 + (1024000 - 2048 - 1000);
    EXPECT_EQ(dev.capacity(), host);
    EXPECT_EQ(dev.write_sectors(uint32_t(host - 1), 1, 0x22), kGood);
    EXPECT_EQ(dev.write_sectors(uint32_t(host - 1), 2, 0x22), kCheck);
    EXPECT_EQ(dev.write_sectors(uint32_t(host), 1, 0x22), kCheck);
    EXPECT_EQ(dev.sense_key(), 0x05);

    const auto l = dev.d->inspect()["layout"];
    EXPECT_EQ(l["loader_sectors"], 2048);
    EXPECT_EQ(l["user_sectors"], 1024000 - 2048 - 1000);
    EXPECT_EQ(l["total_reserved_sectors"], 1000);
    EXPECT_EQ(l["reserve_image_sectors"], 600);

    // One megabyte reserved lowers the user area by 2048 sectors.
    f.one_meg = true;
    ASSERT_EQ(dev.w(0x99, layout_block(f)), kGood);
    ASSERT_EQ(dev.w(0xF5, commit_block()), kGood);
    EXPECT_EQ(dev.capacity(), host - 2048);
}

TEST(ControllerLayout, CommitIsRefusedUnlessALayoutThatFitsWasSent) {
    Dev dev;
    EXPECT_EQ(dev.w(0xF5, commit_block()), kCheck);  // nothing sent
    EXPECT_EQ(dev.vendor_read(0x96)[1], 1);          // the refusal shows in 0x96

    struct Case {
        const char* what;
        LayoutFields f;
    };
    const Case bad[] = {
        {"reserved larger than flash", {0, 1024001, 0, 0}},
        {"loader + reserved + 1 MB leave nothing", {0, 1024000 - 2048 - 2048, 0, 1024, true}},
        {"reserve image above reserved", {0, 100, 101, 0}},
        {"first partition takes everything", {1024000, 0, 0, 0}},
    };
    for (const auto& c : bad) {
        ASSERT_EQ(dev.w(0x99, layout_block(c.f)), kGood) << c.what;
        EXPECT_EQ(dev.w(0xF5, commit_block()), kCheck) << c.what;
        EXPECT_TRUE(dev.d->inspect()["layout"].is_null()) << c.what;
        EXPECT_EQ(dev.capacity(), 1024000u) << c.what;
    }
    // Wrong function byte, then a layout lost by a re-plug before its commit.
    ASSERT_EQ(dev.w(0x99, layout_block({})), kGood);
    Bytes wrong = commit_block();
    wrong[0] = 0x85;
    EXPECT_EQ(dev.w(0xF5, wrong), kCheck);
    dev.d->replug();
    EXPECT_EQ(dev.w(0xF5, commit_block()), kCheck);
    ASSERT_EQ(dev.w(0x99, layout_block({})), kGood);
    EXPECT_EQ(dev.w(0xF5, commit_block()), kGood);
    EXPECT_EQ(dev.vendor_read(0x96)[1], 0);
}

TEST(ControllerLayout, FinishedUnitsMapOntoTheFlash) {
    FreshOptions o;
    o.chips = {0x75};  // 64,000 sectors
    struct Case {
        const char* what;
        LayoutFields f;
        std::vector<std::pair<std::string, uint64_t>> units;  // name, sectors
    };
    const Case cases[] = {
        {"one partition", {0, 100, 50, 1024}, {{"cdrom", 2048}, {"disk1", 64000 - 2048 - 100}}},
        {"two partitions",
         {20000, 100, 50, 1024},
         {{"cdrom", 2048}, {"disk1", 20000}, {"disk2", 64000 - 2048 - 100 - 20000}}},
        {"no loader", {0, 0, 0, 0, false, false, true}, {{"disk1", 64000}}},
        {"non-removable",
         {0, 64000 - 2048 - 2048, 300, 1024, true, true},
         {{"cdrom", 2048}, {"disk1", 64000 - 2048 - 2048}}},
    };
    for (const auto& c : cases) {
        Dev dev(o);
        finish(dev, c.f);
        dev.d->replug();
        EXPECT_EQ(dev.d->inspect()["state"], "finished") << c.what;
        const auto units = dev.d->units();
        ASSERT_EQ(units.size(), c.units.size()) << c.what;
        for (size_t i = 0; i < units.size(); ++i) {
            EXPECT_EQ(units[i].name, c.units[i].first) << c.what;
            EXPECT_EQ(units[i].sectors, c.units[i].second) << c.what;
            EXPECT_EQ(units[i].revision, "8.00") << c.what;
            EXPECT_EQ(units[i].cls, units[i].name == "cdrom" ? simdev::UnitClass::Cdrom
                                                             : simdev::UnitClass::Disk);
            EXPECT_EQ(units[i].removable, !(c.f.non_removable && units[i].name == "disk1"));
            EXPECT_EQ(dev.capacity(i), c.units[i].second) << c.what;
            // The last sector of each unit lands where extent() says.
            const auto ext = dev.d->extent(units[i].name);
            ASSERT_TRUE(ext) << c.what;
            EXPECT_EQ(ext->length, units[i].sectors * 512);
            if (units[i].cls == simdev::UnitClass::Cdrom) {
                EXPECT_EQ(dev.write_sectors(0, 1, 0x5A, i), kCheck) << c.what;  // read-only
                continue;
            }
            const uint32_t last = uint32_t(units[i].sectors - 1);
            ASSERT_EQ(dev.write_sectors(last, 1, uint8_t(0x30 + i), i), kGood) << c.what;
            EXPECT_EQ(dev.store.at(ext->region, ext->offset + uint64_t(last) * 512),
                      uint8_t(0x30 + i));
            EXPECT_EQ(dev.write_sectors(last + 1, 1, 0, i), kCheck) << c.what;
        }
        const Region expect_region = c.f.non_removable ? Region::Reserved : Region::Flash;
        EXPECT_EQ(dev.d->extent("disk1")->region, expect_region) << c.what;
    }
}

TEST(ControllerLayout, PartitionsFollowTheLoaderInTheFlashSpace) {
    FreshOptions o;
    o.chips = {0x75};
    Dev dev(o);
    finish(dev, {20000, 100, 50, 1024});
    // Before the re-plug the single fresh unit addresses loader + partitions.
    ASSERT_EQ(dev.write_sectors(0, 1, 0xC1), kGood);             // loader
    ASSERT_EQ(dev.write_sectors(2048, 1, 0xD1), kGood);          // first partition
    ASSERT_EQ(dev.write_sectors(2048 + 20000, 1, 0xD2), kGood);  // second partition
    dev.d->replug();
    Bytes b(512);
    ASSERT_EQ(dev.in(rw10(0x28, 0, 1), b, 0).status, kGood);
    EXPECT_EQ(b[0], 0xC1);
    ASSERT_EQ(dev.in(rw10(0x28, 0, 1), b, 1).status, kGood);
    EXPECT_EQ(b[0], 0xD1);
    ASSERT_EQ(dev.in(rw10(0x28, 0, 1), b, 2).status, kGood);
    EXPECT_EQ(b[0], 0xD2);
    EXPECT_EQ(dev.d->extent("disk2")->offset, (2048u + 20000u) * 512);
}

// ---- reserved area ---------------------------------------------------------------

TEST(ControllerReserved, WritesNeedLayoutOpenAccessAndStayInside) {
    Dev dev;
    Bytes reply(512);
    const Bytes chunk(128 * 512, 0x7E);
    EXPECT_EQ(dev.out(reserved_cdb(0, 128), chunk).status, kCheck);  // no layout
    ASSERT_EQ(dev.w(0x99, layout_block({0, 300, 200, 0})), kGood);
    ASSERT_EQ(dev.w(0xF5, commit_block()), kGood);
    EXPECT_EQ(dev.out(reserved_cdb(0, 128), chunk).status, kCheck);  // access closed

    ASSERT_EQ(dev.in(cdb10(0x9A), reply).status, kGood);
    EXPECT_EQ(reply[12], 1);
    EXPECT_EQ(reply[4] << 24 | reply[5] << 16 | reply[6] << 8 | reply[7], 512);
    EXPECT_EQ(reply[8] << 24 | reply[9] << 16 | reply[10] << 8 | reply[11], 300);
    EXPECT_EQ(dev.out(reserved_cdb(0, 128), chunk).status, kGood);
    EXPECT_EQ(dev.out(reserved_cdb(128, 128), chunk).status, kGood);
    EXPECT_EQ(dev.out(reserved_cdb(256, 44), Bytes(44 * 512, 0x7F)).status, kGood);  // to the end
    EXPECT_EQ(dev.out(reserved_cdb(256, 45), Bytes(45 * 512, 0)).status, kCheck);    // past it
    EXPECT_EQ(dev.out(reserved_cdb(300, 1), Bytes(512, 0)).status, kCheck);
    EXPECT_EQ(dev.out(reserved_cdb(0xFFFFFFFF, 1), Bytes(512, 0)).status, kCheck);  // no wrap
    EXPECT_EQ(dev.out(reserved_cdb(0, 2), Bytes(512, 0)).status, kCheck);  // length mismatch
    EXPECT_EQ(dev.out(reserved_cdb(0, 0), Bytes{}).status, kCheck);        // zero count
    Bytes shifted = reserved_cdb(0, 0);
    shifted[7] = 1;  // count in the wrong byte
    EXPECT_EQ(dev.out(shifted, Bytes(512, 0)).status, kCheck);
    Bytes short_cdb = reserved_cdb(0, 1);
    short_cdb.resize(10);
    EXPECT_EQ(dev.out(short_cdb, Bytes(512, 0)).status, kCheck);

    EXPECT_EQ(dev.store.at(Region::Reserved, 0), 0x7E);
    EXPECT_EQ(dev.store.at(Region::Reserved, 299 * 512 + 511), 0x7F);
    EXPECT_EQ(dev.store.at(Region::Flash, 0), 0);  // never the host sector space
    const auto info = dev.d->inspect();
    EXPECT_EQ(info["reserved_bytes_written"], 300 * 512);
    EXPECT_EQ(info["reserved_high_water_sectors"], 300);

    ASSERT_EQ(dev.in(cdb10(0x9A), reply).status, kGood);  // closes
    EXPECT_EQ(reply[12], 0);
    EXPECT_EQ(dev.out(reserved_cdb(0, 1), Bytes(512, 0)).status, kCheck);
}

// ---- erase ------------------------------------------------------------------------

TEST(ControllerErase, CountsBlocksAndRefusesOutOfRange) {
    FreshOptions o;
    o.chips = {0x75, 0xE6};  // 8 zones + 4 zones of 256 blocks
    Dev dev(o);
    Bytes r(512);
    for (int z = 0; z < 8; ++z)
        for (int b = 0; b < 256; ++b)
            ASSERT_EQ(dev.in(cdb10(0x98, {0, uint8_t(z), uint8_t(b), 0, 0}), r).status, kGood);
    EXPECT_EQ(dev.in(cdb10(0x98, {0, 8, 0, 0, 0}), r).status, kCheck);  // zone past chip 0
    EXPECT_EQ(dev.in(cdb10(0x98, {1, 3, 255, 0, 0}), r).status, kGood);
    EXPECT_EQ(dev.in(cdb10(0x98, {1, 4, 0, 0, 0}), r).status, kCheck);
    EXPECT_EQ(dev.in(cdb10(0x98, {2, 0, 0, 0, 0}), r).status, kCheck);  // no third chip
    EXPECT_EQ(dev.in(cdb10(0x98, {0, 0, 7, 0, 0}), r).status, kGood);   // again: no new block

    auto info = dev.d->inspect();
    EXPECT_EQ(info["erased_blocks"], 2049);
    EXPECT_EQ(info["erase_commands"], 2050);
    EXPECT_EQ(info["total_blocks"], 3072);
    const Bytes stats = dev.vendor_read(0x97);
    EXPECT_EQ(stats[2] << 8 | stats[3], 3072);
    EXPECT_EQ(stats[6] << 8 | stats[7], 2049);

    // Blocks erased out of order merge into the same count after a save/load.
    auto copy = simdev::load_controller(dev.d->save());
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->inspect()["erased_blocks"], 2049);
}

// ---- write protection -------------------------------------------------------------

TEST(ControllerProtect, ProtectedDevicesRefuseEveryWrite) {
    auto opt = [](auto f) {
        FreshOptions o;
        o.chips = {0x75};
        f(o);
        return o;
    };
    const FreshOptions cases[] = {
        opt([](auto& o) { o.hw_write_protect = true; }),
        opt([](auto& o) { o.sw_write_protect = true; }),
        opt([](auto& o) { o.wp_switch_on = true; }),
        opt([](auto& o) {
            o.fw_rev = 2;
            o.hw_write_protect = true;
        }),
    };
    for (const auto& o : cases) {
        Dev dev(o);
        Bytes r(512);
        EXPECT_EQ(dev.write_sectors(0, 1, 1), kCheck);
        EXPECT_EQ(dev.sense_key(), 0x07);
        Bytes sense_cdb = {0x1A, 0, 0x1C, 0, 0xC0, 0};
        Bytes mode(192);
        ASSERT_EQ(dev.in(sense_cdb, mode).status, kGood);
        EXPECT_EQ(mode[2] & 0x80, 0x80);
        EXPECT_EQ(dev.in(cdb10(0x98, {0, 0, 0, 0, 0}), r).status, kCheck);
        ASSERT_EQ(dev.w(0x99, layout_block({0, 100, 0, 0})), kGood);
        EXPECT_EQ(dev.w(0xF5, commit_block()), kCheck);
        EXPECT_EQ(dev.in(rw10(0x28, 0, 1), r).status, kGood);  // reads still work
    }
}

TEST(ControllerProtect, SoftwareProtectIsClearedOnlyByTheClearFunction) {
    FreshOptions o;
    o.sw_write_protect = true;
    Dev dev(o);
    Bytes info = dev.vendor_read(0x75);
    ASSERT_EQ(info[126], 0x40);
    EXPECT_EQ(dev.w(0x9B, info), kCheck);  // byte 0 not cleared: another function
    EXPECT_EQ(dev.vendor_read(0x75)[126], 0x40);
    info[0] = 0;
    EXPECT_EQ(dev.w(0x9B, info), kGood);
    EXPECT_EQ(dev.vendor_read(0x96)[0], 0x9B);
    EXPECT_EQ(dev.vendor_read(0x75)[126], 0x00);
    EXPECT_EQ(dev.write_sectors(0, 1, 1), kGood);
    // The hardware protect and the switch are not the firmware's to clear.
    FreshOptions h;
    h.hw_write_protect = true;
    h.wp_switch_on = true;
    Dev hw(h);
    Bytes hinfo = hw.vendor_read(0x75);
    hinfo[0] = 0;
    EXPECT_EQ(hw.w(0x9B, hinfo), kGood);
    EXPECT_EQ(hw.write_sectors(0, 1, 1), kCheck);
}

// ---- standard commands ------------------------------------------------------------

TEST(ControllerScsi, ReadWriteRoundTripAndLengthChecks) {
    Dev dev;
    EXPECT_EQ(dev.none(cdb10(0x00)).status, kGood);  // TEST UNIT READY
    Bytes data(2 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    EXPECT_EQ(dev.out(rw10(0x2A, 0x12345, 2), data).status, kGood);
    Bytes back(2 * 512);
    EXPECT_EQ(dev.in(rw10(0x28, 0x12345, 2), back).status, kGood);
    EXPECT_EQ(back, data);
    EXPECT_EQ(dev.store.at(Region::Flash, 0x12345ull * 512 + 1), 7);
    Bytes unwritten(512, 0xEE);
    EXPECT_EQ(dev.in(rw10(0x28, 5, 1), unwritten).status, kGood);
    EXPECT_EQ(unwritten, Bytes(512, 0));

    EXPECT_EQ(dev.out(rw10(0x2A, 0, 1), Bytes(1024)).status, kCheck);  // count 1, two sectors
    EXPECT_EQ(dev.out(rw10(0x2A, 0, 0), Bytes(512)).status, kCheck);
    Bytes one(512);
    EXPECT_EQ(dev.in(rw10(0x28, 0, 2), one).status, kCheck);
    EXPECT_EQ(dev.in(rw10(0x28, 1024000, 1), one).status, kCheck);
    EXPECT_EQ(dev.in(rw10(0x28, 0xFFFFFFFF, 1), one).status, kCheck);  // no wrap
    EXPECT_EQ(dev.in(rw10(0x2A, 0, 1), one).status, kCheck);           // write with data in

    Bytes inquiry(36);
    ASSERT_EQ(dev.in({0x12, 0, 0, 0, 36, 0}, inquiry).status, kGood);
    EXPECT_EQ(std::string(inquiry.begin() + 8, inquiry.begin() + 36),
              "KORVA   USB FLASH DISK  7.77");
    EXPECT_EQ(inquiry[1], 0x80);  // removable
    EXPECT_EQ(dev.none({0x1B, 0, 0, 0, 1, 0}).status, kGood);
    EXPECT_EQ(dev.none(cdb10(0x5A)).status, kCheck);  // MODE SENSE(10) is not supported
    EXPECT_EQ(dev.none({}).status, kCheck);
    EXPECT_EQ(dev.none(cdb10(0x00), 1).status, kCheck);  // no second unit
    Bytes cap(8);
    EXPECT_EQ(dev.in({0x25, 0, 0}, cap).status, kCheck);  // CDB too short
}

// ---- re-plug and persistence ------------------------------------------------------

TEST(ControllerPlug, ReplugPresentsFinishedIdentityOnlyWithBlockAndLayout) {
    FreshOptions o;
    o.chips = {0x75};
    {
        Dev dev(o);  // valid block, no layout
        ASSERT_EQ(dev.w(0x81, example_config()), kGood);
        dev.d->replug();
        EXPECT_EQ(dev.d->inspect()["state"], "fresh");
        EXPECT_EQ(dev.d->usb().vid, 0x0E5A);
    }
    Dev dev(o);
    finish(dev, {0, 0, 0, 1024});
    EXPECT_EQ(dev.d->inspect()["state"], "fresh");  // not before the re-plug
    dev.d->replug();
    const auto usb = dev.d->usb();
    EXPECT_EQ(usb.vid, 0x1234);
    EXPECT_EQ(usb.pid, 0x5678);
    EXPECT_EQ(usb.bcd, 0x0105);
    EXPECT_EQ(usb.manufacturer, "AB");
    EXPECT_EQ(usb.product, "Disk");
    EXPECT_EQ(usb.serial, "00012345");
    for (const auto& u : dev.d->units()) {
        EXPECT_EQ(u.vendor, "AB");
        EXPECT_EQ(u.product, "Disk");
        EXPECT_EQ(u.revision, "8.00");
    }
    const auto info = dev.d->inspect();
    EXPECT_EQ(info["state"], "finished");
    EXPECT_EQ(info["usb"]["vid"], "1234");
    EXPECT_EQ(info["units"].size(), 2u);

    // The block overwritten by an invalid one: fresh again after the next re-plug.
    Bytes broken = example_config();
    broken[146] ^= 1;
    ASSERT_EQ(dev.w(0x81, broken), kGood);
    EXPECT_EQ(dev.d->inspect()["state"], "finished");
    dev.d->replug();
    EXPECT_EQ(dev.d->inspect()["state"], "fresh");
    ASSERT_EQ(dev.d->units().size(), 1u);
    EXPECT_EQ(dev.d->units()[0].vendor, "KORVA");
    EXPECT_EQ(dev.d->units()[0].sectors, 64000u);  // loader + user area, layout kept
}

TEST(ControllerPlug, SaveAndLoadKeepEveryStateIncludingRam) {
    FreshOptions o;
    o.password = true;
    o.chips = {0x75, 0x75};
    o.vendor = "V\xFF";  // not UTF-8
    Dev dev(o);
    finish(dev, {30000, 500, 100, 512});
    Bytes r(512);
    ASSERT_EQ(dev.in(cdb10(0x9A), r).status, kGood);
    ASSERT_EQ(dev.out(reserved_cdb(0, 1), Bytes(512, 3)).status, kGood);
    dev.page(2);
    ASSERT_EQ(dev.w(0x99, layout_block({})), kGood);  // received, not committed

    const nlohmann::json saved = dev.d->save();
    EXPECT_NO_THROW((void)saved.dump());
    auto copy = simdev::load_controller(nlohmann::json::parse(saved.dump()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->save(), saved);
    EXPECT_EQ(copy->inspect(), dev.d->inspect());

    // RAM survived: the page last read, the received layout, the open access.
    dev.d = std::move(copy);
    EXPECT_EQ(dev.w(0x74, Bytes(512, 0)), kGood);
    EXPECT_EQ(dev.out(reserved_cdb(1, 1), Bytes(512, 4)).status, kGood);
    dev.vendor_read(0x73);
    EXPECT_FALSE(dev.d->inspect()["password"].get<bool>());
    EXPECT_EQ(dev.w(0xF5, commit_block()), kGood);
    EXPECT_EQ(dev.d->inspect()["layout"]["first_partition_sectors"], 0);

    EXPECT_EQ(simdev::load_controller(nlohmann::json::object()), nullptr);
    nlohmann::json bad = saved;
    bad["flash"]["page2"] = "00";
    EXPECT_EQ(simdev::load_controller(bad), nullptr);
}

TEST(ControllerPlug, ExtentsExistOnlyForAreasThatExist) {
    FreshOptions o;
    o.chips = {0x75};
    Dev dev(o);
    EXPECT_EQ(dev.d->extent("flash")->length, 64000u * 512);
    EXPECT_EQ(dev.d->extent("disk")->length, 64000u * 512);
    EXPECT_FALSE(dev.d->extent("cdrom"));
    EXPECT_FALSE(dev.d->extent("disk1"));
    EXPECT_FALSE(dev.d->extent("reserved"));
    EXPECT_FALSE(dev.d->extent("bogus"));
    finish(dev, {0, 700, 0, 0, false, false, true});  // no loader disk
    EXPECT_FALSE(dev.d->extent("cdrom"));
    EXPECT_EQ(dev.d->extent("disk1")->offset, 0u);
    EXPECT_EQ(dev.d->extent("disk1")->length, (64000u - 700) * 512);
    EXPECT_FALSE(dev.d->extent("disk2"));
    const auto res = dev.d->extent("reserved");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->region, Region::Reserved);
    EXPECT_EQ(res->length, 700u * 512);
}

// ---- robustness --------------------------------------------------------------------

TEST(ControllerRobustness, RandomCommandsKeepTheModelConsistent) {
    static const uint8_t kOps[] = {0x00, 0x03, 0x12, 0x1A, 0x1B, 0x25, 0x28, 0x2A, 0x73,
                                   0x74, 0x75, 0x7C, 0x81, 0x82, 0x83, 0x93, 0x96, 0x97,
                                   0x98, 0x99, 0x9A, 0x9B, 0x9C, 0xF5, 0xF7, 0x55};
    uint32_t seed = 12345;
    auto rnd = [&] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int device = 0; device < 12; ++device) {
        FreshOptions o;
        o.chips = device % 3 ? Bytes{0x75} : Bytes{0x42, 0xE6};
        o.fw_rev = uint8_t(rnd() % 8);
        Dev dev(o);
        for (int k = 0; k < 1500; ++k) {
            Bytes cdb(rnd() % 18);
            for (auto& b : cdb) b = rnd() % 4 ? uint8_t(rnd()) : 0;
            if (!cdb.empty()) cdb[0] = kOps[rnd() % sizeof kOps];
            Bytes data(rnd() % 3 ? 512 : (rnd() % 3) * 512);
            for (auto& b : data) b = rnd() % 2 ? uint8_t(rnd()) : 0;
            if (!cdb.empty() && cdb[0] == 0xF5 && !data.empty()) data[0] = 0x84;
            const auto dir = Direction(rnd() % 3);
            const Response r = dev.d->execute(rnd() % 3, {cdb, dir, data}, dev.store);
            ASSERT_TRUE(r.status == kGood || r.status == kCheck);
            ASSERT_LE(r.transferred, data.size());
            if (k % 300 == 299) {
                dev.d->replug();
                const std::string text = dev.d->save().dump();
                auto copy = simdev::load_controller(nlohmann::json::parse(text));
                ASSERT_TRUE(copy);
                ASSERT_EQ(copy->save().dump(), text);
                ASSERT_NO_THROW((void)copy->inspect().dump());
                for (const auto& u : copy->units()) {
                    const auto e = copy->extent(u.name);
                    ASSERT_TRUE(e) << u.name;
                    ASSERT_EQ(e->length, u.sectors * 512);
                }
                dev.d = std::move(copy);
            }
        }
    }
}

}  // namespace
