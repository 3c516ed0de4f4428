// Where the production log lives: an SQLite file on the station, or a
// PostgreSQL database that a floor of stations shares. Both keep the same
// tables and give the same answers; a store is safe to use from several
// threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "prodlog/record.h"

namespace galmor::prodlog {

// The outcome of a store operation: failures are values with a message fit
// for the operator.
struct LogResult {
    bool ok = true;
    std::string message;

    static LogResult Ok() { return {}; }
    static LogResult Fail(std::string text) { return {false, std::move(text)}; }
};

// The schema this build writes. Older logs are migrated when opened; a log
// written by a newer station is refused.
constexpr int kSchemaVersion = 4;

struct LogFilter {
    std::string since;    // a full UTC time ("YYYY-MM-DDTHH:MM:SS.mmmZ"); empty for all
    std::string until;    // records before this UTC time; empty for all
    std::string station;  // empty for every station
    std::string serial;   // empty for every serial
    std::string run_id;   // empty for every run
    std::string lot_id;   // empty for every lot
    int result = -1;      // -1 all, 0 failed only, 1 passed only
    bool all = false;     // superseded records too
    // Only what a table of records shows: recipe files, test items, grid
    // columns and step times are checked to be well-formed but not parsed
    // (left empty), so a damaged record is skipped in every format.
    bool brief = false;
    // With brief: not even checked (an earlier pass over the same records
    // checked them and knows the damaged ones).
    bool unchecked = false;
    // Count over the records themselves, never the hourly counts the store
    // keeps (to check one against the other).
    bool from_records = false;
};

// Production disks counted per (period, station, outcome): a period is the
// first `period_chars` characters of the UTC time ("YYYY-MM-DDTHH" for
// hours). Each physical disk counts once, as its latest complete record says.
// Passed disks carry no error text.
struct DiskTally {
    std::string period, station;
    bool passed = false;
    int error_status = 0;
    std::string error_text;  // failed disks only
    int64_t disks = 0;
};

class Store {
  public:
    virtual ~Store() = default;

    // "SQLite FILE" or "PostgreSQL DATABASE": for messages.
    virtual std::string Describe() const = 0;

    // Writes one record in one transaction; on success r->id holds its id.
    virtual LogResult Append(DiskRecord* r) = 0;

    // Reserves the first of `candidates` (in their order) that no one holds
    // yet for this vendor and product id. *taken is its index, or -1 when all
    // are held. Holds across every station writing to the same log.
    virtual LogResult ReserveFirstFree(uint16_t vid, uint16_t pid,
                                       const std::vector<std::string>& candidates,
                                       const std::string& station, const std::string& run_id,
                                       int* taken) = 0;

    // Records in the order they were written.
    virtual LogResult Query(const LogFilter& filter, std::vector<DiskRecord>* out) = 0;

    // The same, one record at a time: nothing but the current row is held.
    // A row that cannot be read is handed to `bad` (its id and why) and
    // skipped. `each` returns false to stop.
    virtual LogResult ForEach(
        const LogFilter& filter, const std::function<bool(const DiskRecord&)>& each,
        const std::function<void(const std::string& id, const std::string& why)>& bad) = 0;

    // Counts of the filter's production disks, aggregated by the store.
    virtual LogResult Count(const LogFilter& filter, int period_chars,
                            std::vector<DiskTally>* out) = 0;

    // The unfinished (configured) record of the disk that carries this
    // serial; *found false when there is none.
    virtual LogResult FindUnfinished(uint16_t vid, uint16_t pid, const std::string& serial,
                                     DiskRecord* out, bool* found) = 0;

    // Completes the configured record `id` with a verdict found later (by a
    // scan): result, error status and text. Durable on return.
    virtual LogResult Settle(int64_t id, bool passed, int error_status,
                             const std::string& error_text) = 0;
};

// The station's own log file: $XDG_STATE_HOME/galmor/production.db, or
// ~/.local/state/galmor/production.db without XDG_STATE_HOME (the home
// folder from the user database when HOME is unset).
std::string DefaultLogPath();

// How a log is opened: to write (created, migrated, and proved writable by
// a write that is rolled back), or only to read (never created; a missing
// SQLite file is an error).
enum class OpenMode { Write, ReadOnly };

// Opens (creating and migrating as needed) the log that `url` names:
// "postgresql://..." or "postgres://..." for PostgreSQL, "sqlite:FILE" or a
// plain file path for SQLite, empty for the default file. nullptr on failure,
// with the reason in *error.
//
// A PostgreSQL URL may carry `timeout=SECONDS`: the longest wait for any
// answer from the server (default 5); connect_timeout and TCP keepalives
// get defaults of a few seconds unless the URL sets them.
std::unique_ptr<Store> OpenStore(const std::string& url, std::string* error,
                                 OpenMode mode = OpenMode::Write);

std::unique_ptr<Store> OpenSqliteStore(const std::string& file, std::string* error,
                                       OpenMode mode = OpenMode::Write);
std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo, std::string* error,
                                         OpenMode mode = OpenMode::Write);

// Normalises a --since value: "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM[:SS[.mmm]][Z]"
// becomes the log's time form; false for anything else.
bool NormaliseSince(const std::string& text, std::string* out);

}  // namespace galmor::prodlog
