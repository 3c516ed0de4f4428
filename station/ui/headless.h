// The headless view of the operator window: start-up, an action run as the
// buttons would run it, the grid printed as the window shows it, and a JSON
// report.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "core/view.h"

namespace galmor {

struct Station;

// The word for a message box's icon in printed output: error, exclamation,
// information or plain.
const char* IconWord(Icon icon);

enum class HeadlessAction { None, Run, LowLevelFormat, Scan };

struct HeadlessOptions {
    std::string home;  // folder of "Product.ini"
    HeadlessAction action = HeadlessAction::None;
    bool items_given = false;        // --items was given
    std::vector<std::string> items;  // format, manufacture, check-config, check-wp
    int compare_disk = -1;           // -1 keep the recipe's choice, 0 off, 1 on
    std::string report;              // JSON report file, "-" for standard output, empty for none
};

// Exit codes of the headless runner.
constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRecipeRejected = 2;
constexpr int kExitNoDisk = 3;
constexpr int kExitOtherError = 4;
// A usage error (unknown option, bad value, options that do not go together):
// the same code in every program of the station.
constexpr int kExitUsage = 64;

// Prints the model: summary labels, one line per grid row, the buttons, the
// banner and the messages shown.
void PrintModel(const Station& st, std::ostream& out);

// Sets the "Compare Disk" box and the test items as the options say. false
// (with a message) when the items cannot be combined.
bool ApplyHeadlessChoices(Station& st, const HeadlessOptions& opts, std::ostream& out);

// The report's layout; docs/report.schema.json describes it and changes with it.
constexpr int kReportSchemaVersion = 1;

// What a report says of the action besides the window.
struct ReportRun {
    std::string action;      // run, low-level-format, scan; empty: start-up only
    std::string started_at;  // UTC, ISO 8601 (2026-12-07T08:00:00.000Z)
    std::string ended_at;
};

// The report of the window as it shows now (run, banner, messages, one entry
// per live port), as one line of JSON.
std::string ReportJson(const Station& st, const ReportRun& run);
// The report of one disk that rolling production finished: the same layout
// with only that disk's port (whose verdict is `passed`) and the lot's counts.
std::string ReportDiskJson(const Station& st, const ReportRun& run, int index, bool passed);

// Writes a report to `file`, or to standard output for "-"; false (with a
// message on `out`) when it cannot be written. `append` adds one line.
bool WriteReportTo(const std::string& file, const std::string& json, bool append,
                   std::ostream& out);

// Runs the chosen action on the found disks after start-up (the Start, Low
// level Format or Scan button), waits for its end and returns the exit code.
// Writes the JSON report when asked.
int RunHeadlessAction(Station& st, const HeadlessOptions& opts, std::ostream& out);

}  // namespace galmor
