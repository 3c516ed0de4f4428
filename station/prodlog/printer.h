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
    std::string since, until;  // as the operator typed them
    std::string station;       // empty for all
    std::string serial;        // empty for all
    std::string run_id;        // empty for all
    std::string lot_id;        // empty for all
    std::string result;        // "", "pass" or "fail"
    LogFormat format = LogFormat::Table;
    bool summary = false;
    bool utc = false;  // dates, times and summary days in UTC rather than local time
    bool all = false;  // superseded records too
};

bool ParseLogFormat(const std::string& text, LogFormat* format);

// The options as a store filter; false with the reason for a bad --since,
// --until or --result.
bool MakeFilter(const LogOptions& opts, LogFilter* filter, std::string* error);

// A date or time as the operator types it ("YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS[.mmm]]",
// a trailing Z for UTC) as the log's UTC time; local time unless `utc` or Z.
bool ToLogTime(const std::string& text, bool utc, std::string* out);

// The UTC times at which local (or UTC) day "YYYY-MM-DD" begins and ends.
bool LocalDayRange(const std::string& day, bool utc, std::string* since, std::string* until);

// Text as a terminal may show it: control characters (a newline, an escape
// sequence) become backslash escapes.
std::string Printable(const std::string& text);

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

// The store's counts folded into days (local days unless `utc`); the
// counts' periods are UTC times cut after the hour or the minute.
std::vector<DaySummary> Summarise(const std::vector<DiskTally>& tallies, bool utc);

// How finely the store must count for days in this time zone: 13 (hours)
// or 16 (minutes, for zones off the whole hour).
int SummaryPeriodChars(bool utc);

void PrintRecords(const std::vector<DiskRecord>& records, LogFormat format, std::ostream& out);
void PrintSummary(const std::vector<DaySummary>& days, LogFormat format, std::ostream& out);

// Reads the store with the options and prints, one record at a time (the
// summary counted by the store); messages go to `err`, with a warning for
// each record that cannot be read (it is skipped). Returns 0, or 4 when the
// options or the store fail.
int PrintLog(Store& store, const LogOptions& opts, std::ostream& out, std::ostream& err);

// "Today: 7 passed, 1 failed, yield 87.5 %" for the window's status line.
std::string StatusLine(const DaySummary& today);

}  // namespace galmor::prodlog
