// The headless runner: presses the button of the chosen action as the
// operator would, waits for the action's end, prints the window and writes the
// JSON report.
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "controller/config_block.h"
#include "core/status.h"
#include "prodlog/record.h"
#include "run/production_log.h"
#include "run/rolling.h"
#include "ui/controls.h"
#include "ui/headless.h"
#include "ui/station.h"

namespace galmor {

namespace {

// Keys stay in the order they are written.
using Json = nlohmann::ordered_json;

struct ItemName {
    const char* name;
    TestItem item;
};
constexpr ItemName kItems[] = {{"format", TestItem::Format},
                               {"manufacture", TestItem::Manufacture},
                               {"check-config", TestItem::CheckConfig},
                               {"check-wp", TestItem::CheckWp}};

Json ColumnJson(const PortOutcome& p, Column c) {
    const ColumnOutcome& col = p.columns[static_cast<size_t>(c)];
    return {{"mark", col.mark}, {"text", col.text}};
}

Json UsbPort(const Station& st, int index) {
    const std::string& port = st.Locations[static_cast<size_t>(index)].port;
    return port.empty() ? Json(nullptr) : Json(port);
}

// The run id the production log gives the action; without a log, one of the
// same form made from the start time.
std::string RunIdOf(const Station& st, const ReportRun& run) {
    if (const std::shared_ptr<StationLog> log = st.log) {
        std::lock_guard<std::mutex> lock(log->mutex);
        if (!log->run_id.empty()) return log->run_id;
    }
    std::string stamp;
    for (char c : run.started_at) {
        if (c != '-' && c != ':') stamp += c;
    }
    return stamp.substr(0, 15) + "Z-" + std::to_string(::getpid());
}

// `only`: the one port to report (rolling production), with its verdict.
struct OnlyPort {
    int index = -1;
    bool passed = false;
};

Json Report(const Station& st, const ReportRun& run, OnlyPort only = {}) {
    const WindowModel& m = st.model;
    const RunOutcome outcome = st.Outcome();
    Json report;
    report["schema_version"] = kReportSchemaVersion;
    report["run_id"] = RunIdOf(st, run);
    report["station"] = st.log ? st.log->station : HostName();
    report["action"] = run.action;
    report["started_at"] = run.started_at;
    report["ended_at"] = run.ended_at;
    report["banner"] = outcome.banner;
    // A hidden banner and the shown empty banner of a Check-WP-only run both
    // have no text.
    report["banner_visible"] = outcome.bannerVisible;
    Json messages = Json::array();
    for (const auto& msg : m.Messages()) messages.push_back(msg.text);
    report["messages"] = messages;
    Json ports = Json::array();
    for (PortOutcome p : outcome.ports) {
        if (only.index >= 0 && p.index != only.index) continue;
        if (only.index >= 0) p.served = true;
        const PortRecord& port = st.ports[static_cast<size_t>(p.index)];
        // The code as the grid writes it: at least two upper-case hex digits.
        const int code = static_cast<uint16_t>(p.status);
        const bool written = port.ConfigWritten;
        const auto block =
            written ? DecodeConfigBlock(port.WrittenConfig.data(), port.WrittenConfig.size())
                    : std::nullopt;
        ports.push_back({
            {"index", p.index},
            {"served", p.served},
            {"passed", only.index >= 0 ? only.passed : p.served && code == 0},
            {"error_status", code},
            {"error_status_hex", HexPad(code, 2, false)},
            {"error_text", code == 0 ? std::string() : FormatErrorText(code)},
            {"device_path", port.DevicePath},
            // Where the disk is on the hub (null when the library cannot tell).
            {"usb_port", UsbPort(st, p.index)},
            {"capacity_sectors", st.Locations[static_cast<size_t>(p.index)].sectors},
            {"serial", block ? Json(block->SerialNumber) : Json(nullptr)},
            {"picture", m.Get(ctl::kThumbImage, p.index).picture},
            {"format", ColumnJson(p, Column::Format)},
            {"config_string", ColumnJson(p, Column::ConfigString)},
            {"check_config", ColumnJson(p, Column::CheckConfig)},
            {"check_wp", ColumnJson(p, Column::CheckWp)},
        });
    }
    report["ports"] = ports;
    if (only.index >= 0) {
        const LotCount lot = RollingLot(st);
        report["lot"] = {
            {"id", lot.id}, {"target", lot.target}, {"passed", lot.passed}, {"failed", lot.failed}};
    }
    return report;
}

// Sets the test items from --items. The window never has "Check WP" checked
// together with another item, so that combination is refused.
bool ApplyItems(Station& st, const HeadlessOptions& opts, std::ostream& out) {
    if (!opts.items_given) return true;
    bool wanted[5] = {};
    auto want = [&wanted](TestItem i) -> bool& { return wanted[static_cast<int>(i)]; };
    for (const auto& item : opts.items) {
        auto it = std::find_if(std::begin(kItems), std::end(kItems),
                               [&](const ItemName& n) { return item == n.name; });
        if (it == std::end(kItems)) {
            out << "galmor: unknown test item \"" << item << "\"\n";
            return false;
        }
        want(it->item) = true;
    }
    if (want(TestItem::CheckWp) &&
        (want(TestItem::Format) || want(TestItem::Manufacture) || want(TestItem::CheckConfig))) {
        out << "galmor: check-wp runs alone; it cannot be combined with other items\n";
        return false;
    }
    for (const auto& n : kItems) st.window.SetChecked(n.item, want(n.item));
    return true;
}

int RunProduction(Station& st, std::ostream& out) {
    if (!st.window.Enabled(Button::Start)) {
        out << "galmor: \"Start (&S)\" is disabled after discovery (a finished disk or a "
               "loader unit is present); nothing was run\n";
        return kExitOtherError;
    }
    GoCmd_Click(st);
    WaitForWorkers(st);
    if (st.RunInProgress) return kExitOtherError;  // the run never ended
    const RunOutcome outcome = st.Outcome();
    if (!outcome.ended) return kExitOtherError;  // nothing ran ("No items checked")
    // A run serves at most 8 disks; a present disk it never touched is not a
    // finished one, so the run does not pass.
    std::vector<int> unserved;
    for (const PortOutcome& p : outcome.ports) {
        if (!p.served) unserved.push_back(p.index + 1);
    }
    if (!unserved.empty()) {
        std::cerr << "galmor: " << unserved.size() << " disk(s) not served (a run serves "
                  << kMaxRunPorts << "): port";
        for (int n : unserved) std::cerr << " " << n;
        std::cerr << "\n";
    }
    return outcome.failed || !unserved.empty() ? kExitFailed : kExitPassed;
}

int RunLowLevelFormat(Station& st, std::ostream& out) {
    if (!st.window.Enabled(Button::LowFormat)) {
        out << "galmor: \"Low level Format\" is disabled; nothing was run\n";
        return kExitOtherError;
    }
    cmdLowFor_Click(st);
    WaitForWorkers(st);
    // A disk whose chip list could not be read was not formatted.
    if (st.LowFormatChipListFailed() || st.LowFormatBusy()) return kExitFailed;
    return st.LowFormatComplete() ? kExitPassed : kExitFailed;
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
    if (opts.compare_disk >= 0) {
        st.model.SetChecked(ctl::kCheckCompare, -1, opts.compare_disk == 1);
    }
    return ApplyItems(st, opts, out);
}

std::string ReportJson(const Station& st, const ReportRun& run) {
    return Report(st, run).dump();
}

std::string ReportDiskJson(const Station& st, const ReportRun& run, int index, bool passed) {
    return Report(st, run, {index, passed}).dump();
}

bool WriteReportTo(const std::string& file, const std::string& json, bool append,
                   std::ostream& out) {
    if (file == "-") {
        std::cout << json << "\n";
        std::cout.flush();
        return static_cast<bool>(std::cout);
    }
    std::ofstream f(file, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    if (f) f << json << "\n";
    f.flush();
    if (!f) {
        out << "galmor: cannot " << (append ? "append to" : "write") << " the report " << file
            << "\n";
        return false;
    }
    return true;
}

int RunHeadlessAction(Station& st, const HeadlessOptions& opts, std::ostream& out) {
    int code = kExitOtherError;
    ReportRun run;
    run.action = opts.action == HeadlessAction::Run              ? "run"
                 : opts.action == HeadlessAction::LowLevelFormat ? "low-level-format"
                 : opts.action == HeadlessAction::Scan           ? "scan"
                                                                 : "";
    run.started_at = prodlog::UtcNow();
    try {
        if (!ApplyHeadlessChoices(st, opts, out)) {
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
        run.ended_at = prodlog::UtcNow();
        if (!opts.report.empty() &&
            !WriteReportTo(opts.report, Report(st, run).dump(2), false, out)) {
            code = kExitOtherError;
        }
    } catch (const std::exception& e) {
        out << "galmor: " << e.what() << "\n";
        code = kExitOtherError;
    }
    return code;
}

}  // namespace galmor
