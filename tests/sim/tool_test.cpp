// The simbus program: its commands, output and error handling, with plain disks.
#include <unistd.h>

#include "simtest.h"

using simdev::Direction;
using simdev::UnitClass;
using namespace simtest;

namespace {

class ToolTest : public BusTest {
  protected:
    ToolResult Tool(std::vector<std::string> args) {
        args.insert(args.begin(), {"--bus", bus_dir});
        return RunTool(args);
    }
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST_F(ToolTest, HelpListsCommandsAndPlugOptions) {
    auto r = RunTool({"--help"});
    EXPECT_EQ(r.code, 0);
    for (const char* cmd : {"init", "plug", "unplug", "replug", "disable", "enable", "list",
                            "inspect", "export", "trace"}) {
        EXPECT_TRUE(Contains(r.out, cmd)) << cmd;
    }
    r = RunTool({"plug", "--help"});
    EXPECT_EQ(r.code, 0);
    for (const char* opt : {"--chips", "--fw-rev", "--vendor", "--product", "--rev", "--password",
                            "--hw-write-protect", "--sw-write-protect", "--wp-switch-on",
                            "--bad-blocks", "--fail", "--unplug-at", "--timing", "--plain",
                            "--with-cdrom", "--no-medium", "--sectors", "--not-usb"}) {
        EXPECT_TRUE(Contains(r.out, opt)) << opt;
    }
}

TEST_F(ToolTest, PlugListInspectExportTraceUnplugReplug) {
    auto r = Tool({"plug", "--plain", "--with-cdrom", "--sectors", "2048", "--vendor", "Acme"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "d001\n");
    // The bus folder may also come from the environment.
    r = RunTool({"plug", "--plain"}, {"SARNIK_SIM_BUS=" + bus_dir});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "d002\n");

    r = Tool({"list"});
    ASSERT_EQ(r.code, 0);
    EXPECT_TRUE(Contains(r.out, "d001 plugged\n"));
    EXPECT_TRUE(Contains(r.out, "d002 plugged\n"));
    for (const auto& p : bus.interface_paths(UnitClass::Disk)) EXPECT_TRUE(Contains(r.out, p));
    EXPECT_TRUE(Contains(r.out, bus.interface_paths(UnitClass::Cdrom).at(0)));
    r = Tool({"list", "--json"});
    auto list = nlohmann::json::parse(r.out);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["units"].size(), 2u);
    EXPECT_EQ(list[0]["units"][0]["sectors"], 2048);
    EXPECT_EQ(list[1]["units"][0]["path"], bus.interface_paths(UnitClass::Disk).at(1));

    int fd = Open(UnitClass::Disk, 0);
    ASSERT_TRUE(Good(Write10(bus, fd, 2047, Pattern(1, 5))));
    close(fd);

    r = Tool({"inspect", "d001", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    auto info = nlohmann::json::parse(r.out);
    EXPECT_EQ(info["id"], "d001");
    EXPECT_EQ(info["device"]["kind"], "plain_disk");
    EXPECT_EQ(info["device"]["vendor"], "Acme");
    EXPECT_EQ(info["commands"], 1);
    r = Tool({"inspect", "d001"});
    EXPECT_TRUE(Contains(r.out, "plugged: true\n"));
    EXPECT_TRUE(Contains(r.out, "  vendor: Acme\n"));

    const std::string file = tmp.path() + "/disk.img";
    r = Tool({"export", "d001", "disk1", file});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string bytes = ReadFile(file);
    ASSERT_EQ(bytes.size(), 2048u * 512);
    const auto expect = Pattern(1, 5);
    EXPECT_EQ(bytes.substr(2047 * 512), std::string(expect.begin(), expect.end()));
    EXPECT_EQ(bytes.substr(0, 2047 * 512), std::string(2047 * 512, '\0'));

    r = Tool({"trace", "d001"});
    EXPECT_EQ(r.out, "2a 00 00 00 07 ff 00 00 01 00 | out | 512 | good\n");

    EXPECT_EQ(Tool({"unplug", "d001"}).code, 0);
    EXPECT_TRUE(Contains(Tool({"list"}).out, "d001 unplugged\n"));
    EXPECT_EQ(bus.interface_paths(UnitClass::Disk).size(), 1u);
    EXPECT_EQ(Tool({"replug", "d001"}).code, 0);
    EXPECT_EQ(bus.interface_paths(UnitClass::Disk).size(), 2u);
    EXPECT_EQ(bus.inspect("d001")->at("generation"), 2);
}

TEST_F(ToolTest, DisableEnableAndTheStateInTheList) {
    ASSERT_EQ(Tool({"plug", "--plain"}).out, "d001\n");
    ASSERT_EQ(Tool({"plug", "--plain"}).out, "d002\n");
    EXPECT_EQ(Tool({"disable", "d001"}).code, 0);
    auto r = Tool({"list"});
    EXPECT_TRUE(Contains(r.out, "d001 plugged disabled\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "d002 plugged\n"));
    EXPECT_EQ(nlohmann::json::parse(Tool({"list", "--json"}).out)[0]["enabled"], false);
    EXPECT_EQ(bus.interface_paths(UnitClass::Disk).size(), 1u);
    EXPECT_EQ(Tool({"enable", "d001"}).code, 0);
    EXPECT_TRUE(Contains(Tool({"list"}).out, "d001 plugged\n"));

    EXPECT_EQ(Tool({"disable", "hub"}).code, 0);
    EXPECT_TRUE(Contains(Tool({"list"}).out, "hub disabled"));
    EXPECT_TRUE(bus.interface_paths(UnitClass::Disk).empty());
    EXPECT_EQ(Tool({"enable", "hub"}).code, 0);
    EXPECT_FALSE(Contains(Tool({"list"}).out, "hub disabled"));
    EXPECT_EQ(Tool({"init", "--shared-bandwidth", "35"}).code, 0);
    EXPECT_TRUE(Contains(Tool({"list"}).out, "shared bus: 35.000 MB/s, 0 bytes carried\n"));
    EXPECT_EQ(Tool({"init"}).code, 0);
    EXPECT_FALSE(bus.shared());

    r = Tool({"disable", "d009"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Contains(r.err, "no device d009"));
    EXPECT_EQ(Tool({"unplug", "d002"}).code, 0);
    EXPECT_EQ(Tool({"disable", "d002"}).code, 1);
}

TEST_F(ToolTest, PlainDiskPlugOptionsReachTheDevice) {
    ASSERT_EQ(Tool({"plug", "--plain", "--no-medium"}).out, "d001\n");
    ASSERT_EQ(Tool({"plug", "--plain", "--not-usb", "--product", "usb stick"}).out, "d002\n");
    ASSERT_EQ(
        Tool({"plug", "--plain", "--fail", "0x28:2", "--unplug-at", "25", "--timing", "usb2"}).out,
        "d003\n");
    const auto paths = bus.interface_paths(UnitClass::Disk);
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0].rfind("\\\\?\\usbstor#disk&ven_generic&prod_usb_disk&rev_1.00#", 0), 0u);
    EXPECT_EQ(paths[1].rfind("\\\\?\\scsi#disk&ven_generic&prod_u_b_stick&rev_1.00#", 0), 0u);

    int empty = bus.open(paths[0]);
    EXPECT_TRUE(Check(TestUnitReady(bus, empty)));
    int faulty = bus.open(paths[2]);
    std::vector<uint8_t> buf;
    EXPECT_TRUE(Good(Read10(bus, faulty, 0, 1, buf)));
    EXPECT_EQ(bus.inspect("d003")->at("timing").at("last_delay_us"), 1000 + 512 / 30);
    EXPECT_TRUE(Check(Read10(bus, faulty, 0, 1, buf)));
    EXPECT_EQ(bus.inspect("d003")->at("timing").at("last_delay_us"), 1000);
    std::vector<uint8_t> cap(8);
    EXPECT_FALSE(Exec(bus, faulty, Cdb10(0x25), Direction::In, cap.data(), 8).delivered);
    EXPECT_FALSE(bus.inspect("d003")->at("plugged").get<bool>());
    close(empty);
    close(faulty);
}

TEST_F(ToolTest, ErrorsExitNonZeroWithAMessage) {
    ASSERT_EQ(Tool({"plug", "--plain"}).code, 0);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"inspect", "d009"},
                                               {"unplug", "d009"},
                                               {"replug", "d009"},
                                               {"trace", "d009"},
                                               {"export", "d009", "disk1", tmp.path() + "/x"}}) {
        auto r = Tool(args);
        EXPECT_NE(r.code, 0) << args[0];
        EXPECT_TRUE(Contains(r.err, "d009")) << args[0] << ": " << r.err;
    }
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"plug", "--timing", "usb3"},
                                               {"plug", "--fail", "ZZ"},
                                               {"plug", "--fail", "93:0"},
                                               {"plug", "--unplug-at", "123"},
                                               {"plug", "--chips", "DC,AA"},
                                               {"plug", "--chips", "DC,,75"},
                                               {"plug", "--fw-rev", "256"},
                                               {"plug", "--vendor", "123456789"},
                                               {"plug", "--with-cdrom"},
                                               {"plug", "--plain", "--password"},
                                               {"plug", "--plain", "--sectors", "0"},
                                               {"plug", "--plain", "--sectors", "4294967297"},
                                               {"export", "d001", "disk3", tmp.path() + "/x"},
                                               {"frobnicate"}}) {
        auto r = Tool(args);
        EXPECT_NE(r.code, 0) << args[1];
        EXPECT_FALSE(r.err.empty()) << args[1];
    }
    // A unit the device does not have, and an unwritable file.
    auto r = Tool({"export", "d001", "cdrom", tmp.path() + "/x"});
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(Contains(r.err, "cdrom"));
    EXPECT_FALSE(std::filesystem::exists(tmp.path() + "/x"));
    EXPECT_NE(Tool({"export", "d001", "disk1", tmp.path() + "/no/dir/x"}).code, 0);
    // Failed plugs left nothing behind.
    EXPECT_EQ(bus.list(), std::vector<std::string>{"d001"});

    r = RunTool({"list"});
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(Contains(r.err, "SARNIK_SIM_BUS"));
    r = RunTool({"--bus", tmp.path() + "/nothing", "list"});
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(Contains(r.err, "does not exist"));
}
