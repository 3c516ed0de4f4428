// `galmor log`: the production log printed as a table, CSV or JSON, or as a
// summary per day and station with the yield and a count per error text.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "prodlog/record.h"
#include "prodlog/store.h"

namespace galmor::prodlog {

enum class LogFormat { Table, Csv, Json };

struct LogOptions {
    std::string since;    // as the operator typed it
    std::string station;  // empty for all
    std::string result;   // "", "pass" or "fail"
    LogFormat format = LogFormat::Table;
    bool summary = false;
};

bool ParseLogFormat(const std::string& text, LogFormat* format);

// The options as a store filter; false with the reason for a bad --since or
// --result.
bool MakeFilter(const LogOptions& opts, LogFilter* filter, std::string* error);

// Disks made by production runs on one day at one station.
struct DaySummary {
    std::string day;  // "YYYY-MM-DD" (UTC)
    std::string station;
    int disks = 0, passed = 0, failed = 0;
    std::map<std::string, int> errors;  // error text -> failed disks with it
    double Yield() const { return disks ? 100.0 * passed / disks : 0.0; }
};

// Production records only, by day then station.
std::vector<DaySummary> Summarise(const std::vector<DiskRecord>& records);

void PrintRecords(const std::vector<DiskRecord>& records, LogFormat format, std::ostream& out);
void PrintSummary(const std::vector<DaySummary>& days, LogFormat format, std::ostream& out);

// Reads the store with the options and prints; messages go to `err`.
// Returns 0, or 4 when the options or the store fail.
int PrintLog(Store& store, const LogOptions& opts, std::ostream& out, std::ostream& err);

// "Today: 7 passed, 1 failed, yield 87.5 %" for the window's status line.
std::string StatusLine(const DaySummary& today);

}  // namespace galmor::prodlog
