// Where the production log lives: an SQLite file on the station, or a
// PostgreSQL database that a floor of stations shares. Both keep the same
// tables and give the same answers; a store is safe to use from several
// threads at once.
#pragma once

#include <cstdint>
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
constexpr int kSchemaVersion = 1;

struct LogFilter {
    std::string since;    // "YYYY-MM-DD" or a full UTC time; empty for all
    std::string station;  // empty for every station
    int result = -1;      // -1 all, 0 failed only, 1 passed only
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
};

// The station's own log file: $XDG_STATE_HOME/galmor/production.db, or
// ~/.local/state/galmor/production.db without XDG_STATE_HOME.
std::string DefaultLogPath();

// Opens (creating and migrating as needed) the log that `url` names:
// "postgresql://..." or "postgres://..." for PostgreSQL, "sqlite:FILE" or a
// plain file path for SQLite, empty for the default file. nullptr on failure,
// with the reason in *error.
std::unique_ptr<Store> OpenStore(const std::string& url, std::string* error);

std::unique_ptr<Store> OpenSqliteStore(const std::string& file, std::string* error);
std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo, std::string* error);

// Normalises a --since value: "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM[:SS[.mmm]][Z]"
// becomes the log's time form; false for anything else.
bool NormaliseSince(const std::string& text, std::string* out);

}  // namespace galmor::prodlog
