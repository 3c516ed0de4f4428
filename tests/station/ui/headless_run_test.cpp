// The headless runner: the action as the buttons run it, exit codes, the
// printed window and the JSON report; and the galmor program end to end.
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "run_rig.h"

using namespace runrig;
using nlohmann::json;

namespace {

simbus::PlugOptions WithPassword() {
    simbus::PlugOptions o = Small();
    o.device.password = true;
    return o;
}

json ReadReport(const std::string& path) {
    const std::string text = ReadFile(path);
    EXPECT_FALSE(text.empty()) << path;
    return json::parse(text, nullptr, false);
}

HeadlessOptions Options(HeadlessAction action, const std::string& report) {
    HeadlessOptions o;
    o.action = action;
    o.report = report;
    return o;
}

}  // namespace

TEST(HeadlessRun, FailedDiskMakesTheRunFailAndTheReportShowsEveryColumn) {
    Rig r;
    r.Plug();
    r.Plug(WithPassword());
    r.StartUp();
    r.FastClock();
    const std::string file = r.tb.root() + "/r.json";
    std::ostringstream out;

    // The items as the window is designed: Format, Manufacture, Check Config.
    const int code = RunHeadlessAction(r.st, Options(HeadlessAction::Run, file), out);

    EXPECT_EQ(code, kExitFailed);
    const json rep = ReadReport(file);
    ASSERT_FALSE(rep.is_discarded());
    EXPECT_EQ(rep["banner"], "! FAILED !");
    EXPECT_EQ(rep["messages"], json::array());
    ASSERT_EQ(rep["ports"].size(), 2u);
    const json& good = rep["ports"][0];
    EXPECT_EQ(good["index"], 0);
    EXPECT_EQ(good["served"], true);
    EXPECT_EQ(good["device_path"], r.st.ports[0].DevicePath);
    EXPECT_NE(good["device_path"].get<std::string>().find("usbstor"), std::string::npos);
    EXPECT_EQ(rep["ports"][1]["usb_port"], "1-" + std::to_string(std::stoul(r.ids[1].substr(1))));
    // The node the bus opened the unit on: a file in the device's folder.
    const std::string node = rep["ports"][1]["device_node"].get<std::string>();
    EXPECT_NE(node.find("/" + r.ids[1] + "/node-"), std::string::npos) << node;
    EXPECT_TRUE(std::filesystem::exists(node)) << node;
    EXPECT_GT(good["capacity_sectors"].get<int64_t>(), 0);
    EXPECT_EQ(good["error_status"], 0);
    EXPECT_EQ(good["picture"], kPicturePassed);
    EXPECT_EQ(good["format"]["mark"], "V");
    EXPECT_EQ(good["format"]["text"], "1 Chip(s)   16 MB");
    EXPECT_EQ(good["config_string"]["mark"], "String = V");
    EXPECT_EQ(good["config_string"]["text"], "Write = V");
    EXPECT_EQ(good["check_config"]["mark"], r.Caption("CC1mG", 0));
    EXPECT_FALSE(good["check_config"]["mark"].get<std::string>().empty());
    EXPECT_EQ(good["check_wp"], (json{{"mark", ""}, {"text", ""}}));  // hidden labels

    const json& bad = rep["ports"][1];
    EXPECT_EQ(bad["index"], 1);
    EXPECT_EQ(bad["error_status"], 0x7F);
    EXPECT_EQ(bad["picture"], kPictureFailed);
    EXPECT_EQ(bad["format"]["mark"], "X");
    EXPECT_EQ(bad["format"]["text"], "Password Exists");
    EXPECT_EQ(bad["config_string"]["mark"], "");  // skipped after the failure

    // The printed window carries the verdict too.
    EXPECT_NE(out.str().find("! FAILED !"), std::string::npos) << out.str();
}

TEST(HeadlessRun, DisksBeyondEightAreReportedNotServedAndTheRunDoesNotPass) {
    Rig r;
    for (int i = 0; i < 9; ++i) r.Plug();
    r.StartUp();
    r.FastClock();
    const std::string file = r.tb.root() + "/r.json";
    HeadlessOptions o = Options(HeadlessAction::Run, file);
    o.items_given = true;
    o.items = {"manufacture"};
    std::ostringstream out;

    // Every served disk passes; the ninth was never touched.
    EXPECT_EQ(RunHeadlessAction(r.st, o, out), kExitFailed);
    const json rep = ReadReport(file);
    ASSERT_EQ(rep["ports"].size(), 9u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(rep["ports"][i]["served"], true) << i;
        EXPECT_EQ(rep["ports"][i]["config_string"]["text"], "Write = V") << i;
    }
    EXPECT_EQ(rep["ports"][8]["served"], false);
    EXPECT_EQ(rep["ports"][8]["config_string"]["text"], "");
}

TEST(HeadlessRun, CheckWpAloneWithoutFailurePasses) {
    Rig r;
    r.Plug();
    r.StartUp();
    const std::string file = r.tb.root() + "/r.json";
    HeadlessOptions o = Options(HeadlessAction::Run, file);
    o.items_given = true;
    o.items = {"check-wp"};
    std::ostringstream out;

    EXPECT_EQ(RunHeadlessAction(r.st, o, out), kExitPassed);
    const json rep = ReadReport(file);
    // The banner is shown, without text: not the same as no banner at all.
    EXPECT_EQ(rep["banner"], "");
    EXPECT_EQ(rep["banner_visible"], true);
    EXPECT_EQ(rep["ports"][0]["check_wp"]["text"], "Not Write Protected");
    EXPECT_EQ(rep["ports"][0]["format"]["mark"], "");
    EXPECT_TRUE(r.st.model.Get("Check1", 4).checked);
    EXPECT_FALSE(r.st.model.Get("Check1", 0).checked);
}

TEST(HeadlessRun, ItemsAndCompareDiskSetTheBoxesBeforeStart) {
    Rig r;
    r.Plug();
    r.StartUp();
    r.FastClock();
    ASSERT_TRUE(r.st.model.Get1("CheckCompare").checked);  // from the recipe
    HeadlessOptions o = Options(HeadlessAction::Run, "");
    o.items_given = true;
    o.items = {"manufacture"};
    o.compare_disk = 0;
    std::ostringstream out;

    EXPECT_EQ(RunHeadlessAction(r.st, o, out), kExitPassed);
    EXPECT_FALSE(r.st.model.Get1("CheckCompare").checked);
    EXPECT_FALSE(r.Visible("FG", 0));  // no format ran
    EXPECT_EQ(r.Caption("LLR", 0), "Write = V");
    EXPECT_EQ(r.Caption("PassLab"), "! ALL PASS !");
}

TEST(HeadlessRun, RefusedInputsAndMissingDisksGiveTheirExitCodes) {
    {
        Rig r;
        r.StartUp();
        const std::string file = r.tb.root() + "/r.json";
        std::ostringstream out;
        EXPECT_EQ(RunHeadlessAction(r.st, Options(HeadlessAction::Run, file), out), kExitNoDisk);
        const json rep = ReadReport(file);
        EXPECT_EQ(rep["ports"], json::array());
        EXPECT_EQ(rep["banner"], "");
        EXPECT_EQ(rep["banner_visible"], false);  // no run, no banner
    }
    {
        Rig r;
        r.Plug();
        r.StartUp();
        const size_t sent = r.Ops(0).size();
        HeadlessOptions o = Options(HeadlessAction::Run, "");
        o.items_given = true;
        o.items = {"format", "check-wp"};  // the window never has both
        std::ostringstream out;
        EXPECT_EQ(RunHeadlessAction(r.st, o, out), kExitOtherError);
        o.items = {"erase"};
        EXPECT_EQ(RunHeadlessAction(r.st, o, out), kExitOtherError);
        o.items = {};  // nothing checked: nothing runs
        EXPECT_EQ(RunHeadlessAction(r.st, o, out), kExitOtherError);
        EXPECT_EQ(r.MessageTexts(), std::vector<std::string>{"No items checked"});
        EXPECT_EQ(r.Ops(0).size(), sent);
    }
    {
        Rig r;
        r.Plug();
        r.StartUp();
        r.FastClock();
        HeadlessOptions o = Options(HeadlessAction::Run, r.tb.root() + "/no/such/dir/r.json");
        o.items_given = true;
        o.items = {"check-wp"};
        std::ostringstream out;
        EXPECT_EQ(RunHeadlessAction(r.st, o, out), kExitOtherError);
        EXPECT_NE(out.str().find("cannot write the report"), std::string::npos);
    }
}

TEST(HeadlessRun, LowLevelFormatPassesOnlyWhenEveryDiskWasFormatted) {
    {
        Rig r;
        r.Plug();
        r.StartUp();
        std::ostringstream out;
        EXPECT_EQ(RunHeadlessAction(r.st, Options(HeadlessAction::LowLevelFormat, ""), out),
                  kExitPassed);
        EXPECT_TRUE(r.Visible("Label6"));
        EXPECT_EQ(r.Count(0, 0x98), 1024);
    }
    {
        Rig r;
        r.Plug(Small({{0x93, 1, false}}));
        r.StartUp();
        const std::string file = r.tb.root() + "/r.json";
        std::ostringstream out;
        EXPECT_EQ(RunHeadlessAction(r.st, Options(HeadlessAction::LowLevelFormat, file), out),
                  kExitFailed);
        EXPECT_EQ(ReadReport(file)["messages"], json::array({"Get ChipNumber fail"}));
    }
}

TEST(HeadlessRun, ScanFailsWhenAPortCarriesAnError) {
    Rig r;
    r.Plug();
    r.Plug();
    r.StartUp();
    r.FastClock();
    // Both disks hold the loader disk a run writes; the scan reads it back.
    std::vector<uint8_t> loader(128 * 512, 'L');
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(
            r.st.lib.Write(r.st.ports[static_cast<size_t>(i)].Handle, 128, 0, loader.data()));
    }
    const std::string file = r.tb.root() + "/r.json";
    std::ostringstream out;
    EXPECT_EQ(RunHeadlessAction(r.st, Options(HeadlessAction::Scan, file), out), kExitPassed);
    EXPECT_EQ(ReadReport(file)["ports"][1]["check_config"],
              (json{{"mark", "V"}, {"text", "Compare Correct !"}}));

    r.st.ports[1].ErrorStatus = 0x9B;
    EXPECT_EQ(RunHeadlessAction(r.st, Options(HeadlessAction::Scan, file), out), kExitFailed);
    EXPECT_EQ(ReadReport(file)["ports"][1]["check_config"],
              (json{{"mark", "X"}, {"text", "Error Status = 9B"}}));
}

// The program itself: start-up, discovery, the run and the report, on a bus
// of four disks of which one has a password set.
TEST(GalmorProgram, RunOnFourDisksWithOnePasswordExitsOneAndReportsEachDisk) {
    const std::string galmor = std::string(UFD_BIN_DIR) + "/galmor";
    ASSERT_EQ(access(galmor.c_str(), X_OK), 0) << galmor << " is not built";
    testbus::TestBus tb;
    const std::string home = tb.root() + "/home";
    WriteRecipe(home);
    for (int i = 0; i < 3; ++i) tb.Plug(Small());
    tb.Plug(WithPassword());
    // "--report -": the report alone on standard output, the window on
    // standard error.
    const std::string report = tb.root() + "/r.json", err = tb.root() + "/err.txt";
    const int code = RunProgram("'" + galmor + "' --headless --home '" + home +
                                    "' --action run --report - 2>'" + err + "' >'" + report + "'",
                                nullptr);
    const std::string out = ReadFile(err);

    EXPECT_EQ(code, kExitFailed) << out;
    const json rep = ReadReport(report);
    ASSERT_FALSE(rep.is_discarded()) << out;
    // The report keeps to its schema, and the schema to the report: every key
    // of either is required by the other.
    const std::string schema = std::string(UFD_SOURCE_DIR) + "/docs/report.schema.json";
    std::string verdict;
    EXPECT_EQ(RunProgram("python3 -c 'import json, sys, jsonschema; jsonschema.validate("
                         "json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))' '" +
                             report + "' '" + schema + "' 2>&1",
                         &verdict),
              0)
        << verdict;
    EXPECT_EQ(rep["schema_version"], kReportSchemaVersion);
    EXPECT_EQ(rep["action"], "run");
    EXPECT_LE(rep["started_at"].get<std::string>(), rep["ended_at"].get<std::string>());
    EXPECT_EQ(rep["ports"][3]["error_status_hex"], "7F");
    EXPECT_EQ(rep["ports"][3]["passed"], false);
    EXPECT_EQ(rep["ports"][0]["serial"], "AB123456");
    EXPECT_EQ(rep["banner"], "! FAILED !");
    ASSERT_EQ(rep["ports"].size(), 4u) << out;
    for (int i = 0; i < 3; ++i) {
        const json& p = rep["ports"][i];
        EXPECT_EQ(p["error_status"], 0) << i;
        EXPECT_EQ(p["picture"], kPicturePassed) << i;
        EXPECT_EQ(p["format"]["mark"], "V") << i;
        EXPECT_EQ(p["config_string"]["text"], "Write = V") << i;
    }
    EXPECT_EQ(rep["ports"][3]["format"]["text"], "Password Exists");
    EXPECT_EQ(rep["ports"][3]["picture"], kPictureFailed);
    EXPECT_NE(out.find("! FAILED !"), std::string::npos) << out;
}
