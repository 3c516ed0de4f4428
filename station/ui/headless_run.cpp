// The headless runner: presses the button of the chosen action as the
// operator would, waits for the action's end, prints the window and writes the
// JSON report.
#include <algorithm>
#include <exception>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "core/station.h"
#include "ui/headless.h"
#include "ui/run.h"

namespace galmor {

namespace {

// Keys stay in the order they are written.
using Json = nlohmann::ordered_json;

struct ItemName {
    const char* name;
    int index;  // Check1 index
};
constexpr ItemName kItems[] = {
    {"format", 0}, {"manufacture", 1}, {"check-config", 3}, {"check-wp", 4}};

// A label's caption as the operator sees it: empty while it is hidden.
std::string Shown(const WindowModel& m, const char* name, int row) {
    const Control c = m.Get(name, row);
    return c.visible ? c.caption : std::string();
}

Json Column(const WindowModel& m, const char* mark, const char* text, int row) {
    return {{"mark", Shown(m, mark, row)}, {"text", Shown(m, text, row)}};
}

Json Report(const Station& st) {
    const WindowModel& m = st.model;
    Json report;
    report["banner"] = Shown(m, "PassLab", -1);
    Json messages = Json::array();
    for (const auto& msg : m.Messages()) messages.push_back(msg.text);
    report["messages"] = messages;
    Json ports = Json::array();
    const int count = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
    for (int i = 0; i < count; ++i) {
        const PortRecord& p = st.ports[static_cast<size_t>(i)];
        ports.push_back({
            {"index", i},
            {"device_path", p.DevicePath},
            {"error_status", static_cast<int>(p.ErrorStatus.load())},
            {"picture", m.Get("ThumbImage", i).picture},
            {"format", Column(m, "FG", "FR", i)},
            {"config_string", Column(m, "LLG", "LLR", i)},
            {"check_config", Column(m, "CC1mG", "CC1mR", i)},
            {"check_wp", Column(m, "CCG", "CCR", i)},
        });
    }
    report["ports"] = ports;
    return report;
}

bool WriteReport(const Station& st, const std::string& file, std::ostream& out) {
    std::ofstream f(file, std::ios::binary | std::ios::trunc);
    if (f) f << Report(st).dump(2) << "\n";
    f.flush();
    if (!f) {
        out << "galmor: cannot write the report " << file << "\n";
        return false;
    }
    return true;
}

// Sets the test items from --items. The window never has "Check WP" checked
// together with another item, so that combination is refused.
bool ApplyItems(Station& st, const HeadlessOptions& opts, std::ostream& out) {
    if (!opts.items_given) return true;
    bool wanted[5] = {};
    for (const auto& item : opts.items) {
        auto it = std::find_if(std::begin(kItems), std::end(kItems),
                               [&](const ItemName& n) { return item == n.name; });
        if (it == std::end(kItems)) {
            out << "galmor: unknown test item \"" << item << "\"\n";
            return false;
        }
        wanted[it->index] = true;
    }
    if (wanted[4] && (wanted[0] || wanted[1] || wanted[3])) {
        out << "galmor: check-wp runs alone; it cannot be combined with other items\n";
        return false;
    }
    for (const auto& n : kItems) st.model.SetChecked("Check1", n.index, wanted[n.index]);
    return true;
}

int RunProduction(Station& st, std::ostream& out) {
    WindowModel& m = st.model;
    if (!m.Get1("GoCmd").enabled) {
        out << "galmor: \"Start (&S)\" is disabled after discovery (a finished disk or a "
               "loader unit is present); nothing was run\n";
        return kExitOtherError;
    }
    GoCmd_Click(st);
    WaitForWorkers(st);
    if (st.RunInProgress) return kExitOtherError;  // the run never ended
    const Control banner = m.Get1("PassLab");
    if (!banner.visible) return kExitOtherError;  // nothing ran ("No items checked")
    if (banner.caption == "! ALL PASS !") return kExitPassed;
    if (banner.caption.empty() && !st.AnyFailed && m.Get("Check1", 4).checked) return kExitPassed;
    return kExitFailed;
}

int RunLowLevelFormat(Station& st, std::ostream& out) {
    WindowModel& m = st.model;
    if (!m.Get1("cmdLowFor").enabled) {
        out << "galmor: \"Low level Format\" is disabled; nothing was run\n";
        return kExitOtherError;
    }
    const size_t before = m.Messages().size();
    cmdLowFor_Click(st);
    WaitForWorkers(st);
    // A disk whose chip list could not be read was not formatted.
    const auto messages = m.Messages();
    for (size_t i = before; i < messages.size(); ++i) {
        if (messages[i].text == "Get ChipNumber fail") return kExitFailed;
    }
    return m.Get1("Label6").visible ? kExitPassed : kExitFailed;
}

int RunScan(Station& st) {
    ScanCmd_Click(st);
    WaitForWorkers(st);
    const int count = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
    for (int i = 0; i < count; ++i) {
        if (st.ports[static_cast<size_t>(i)].ErrorStatus.load() != 0) return kExitFailed;
    }
    return kExitPassed;
}

}  // namespace

bool ApplyHeadlessChoices(Station& st, const HeadlessOptions& opts, std::ostream& out) {
    if (opts.compare_disk >= 0) st.model.SetChecked("CheckCompare", -1, opts.compare_disk == 1);
    return ApplyItems(st, opts, out);
}

std::string ReportJson(const Station& st) {
    return Report(st).dump();
}

int RunHeadlessAction(Station& st, const HeadlessOptions& opts, std::ostream& out) {
    int code = kExitOtherError;
    try {
        if (opts.compare_disk >= 0) st.model.SetChecked("CheckCompare", -1, opts.compare_disk == 1);
        if (!ApplyItems(st, opts, out)) {
            code = kExitOtherError;
        } else if (opts.action == HeadlessAction::None) {
            code = kExitPassed;
        } else if (st.DiskCount.load() <= 0) {
            out << "galmor: no disk found\n";
            code = kExitNoDisk;
        } else if (opts.action == HeadlessAction::Run) {
            code = RunProduction(st, out);
        } else if (opts.action == HeadlessAction::LowLevelFormat) {
            code = RunLowLevelFormat(st, out);
        } else {
            code = RunScan(st);
        }
    } catch (const std::exception& e) {
        out << "galmor: " << e.what() << "\n";
        code = kExitOtherError;
    }
    // Nothing may still run when the station goes away.
    StopStationWorkers(st);
    try {
        PrintModel(st, out);
        out.flush();
        if (!opts.report.empty() && !WriteReport(st, opts.report, out)) code = kExitOtherError;
    } catch (const std::exception& e) {
        out << "galmor: " << e.what() << "\n";
        code = kExitOtherError;
    }
    return code;
}

}  // namespace galmor
