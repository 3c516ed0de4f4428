#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <regex>

#include "prodlog/store.h"
#include "prodlog/store_internal.h"

namespace galmor::prodlog {

namespace detail {

const char* const kDiskColumns[] = {
    "logged_at",     "station",       "run_id",           "kind",         "port",
    "device_path",   "recipe_digest", "recipe_files",     "items",        "usb_vid",
    "usb_pid",       "bcd_device",    "usb_manufacturer", "usb_product",  "scsi_vendor",
    "scsi_product",  "serial",        "serial_reserved",  "error_status", "error_text",
    "result",        "grid_columns",  "step_times",       "state",        "supersedes",
    "superseded_by", "lot_id",
};
static_assert(sizeof(kDiskColumns) / sizeof(kDiskColumns[0]) == kDiskColumnCount);

bool IdColumn(const std::string& name) {
    return name == "supersedes" || name == "superseded_by";
}

bool IntegerColumn(const std::string& name) {
    return name == "port" || name == "usb_vid" || name == "usb_pid" || name == "bcd_device" ||
           name == "serial_reserved" || name == "error_status" || IdColumn(name);
}

std::string DiskColumnList() {
    std::string out;
    for (const char* c : kDiskColumns) {
        if (!out.empty()) out += ", ";
        out += c;
    }
    return out;
}

std::vector<std::string> RecordRow(const DiskRecord& r) {
    std::vector<std::string> row = {r.logged_at,
                                    r.station,
                                    r.run_id,
                                    RunKindName(r.kind),
                                    std::to_string(r.port),
                                    r.device_path,
                                    r.recipe_digest,
                                    ListText(r.recipe_files),
                                    ListText(r.items),
                                    std::to_string(r.usb_vid),
                                    std::to_string(r.usb_pid),
                                    std::to_string(r.bcd_device),
                                    r.usb_manufacturer,
                                    r.usb_product,
                                    r.scsi_vendor,
                                    r.scsi_product,
                                    r.serial,
                                    r.serial_reserved ? "1" : "0",
                                    std::to_string(r.error_status),
                                    r.error_text,
                                    r.passed ? "pass" : "fail",
                                    ColumnsText(r.columns),
                                    StepsText(r.steps),
                                    RecordStateName(r.state),
                                    std::to_string(r.supersedes),
                                    std::to_string(r.superseded_by),
                                    r.lot_id};
    // Controller strings are 8-bit text; the databases keep UTF-8.
    for (auto& v : row) v = ToUtf8(v);
    return row;
}

namespace {

bool ToInt(const std::string& text, long long lo, long long hi, long long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

bool RowRecord(const std::vector<std::string>& row, DiskRecord* r, std::string* error, bool brief,
               bool unchecked) {
    auto bad = [&](const char* what) {
        if (error) *error = std::string("unreadable value in column ") + what;
        return false;
    };
    if (row.size() != static_cast<size_t>(kDiskColumnCount) + 1) return bad("count");
    long long v = 0;
    if (!ToInt(row[0], 1, INT64_MAX, &v)) return bad("id");
    r->id = v;
    const std::string* c = row.data() + 1;
    r->logged_at = c[0];
    r->station = c[1];
    r->run_id = c[2];
    if (!ParseRunKind(c[3], &r->kind)) return bad("kind");
    if (!ToInt(c[4], -1, 1 << 16, &v)) return bad("port");
    r->port = static_cast<int>(v);
    r->device_path = c[5];
    r->recipe_digest = c[6];
    // Brief: well-formed is enough; nothing is built from the text.
    auto json = [brief, unchecked](const std::string& text, auto parse) {
        return brief ? unchecked || nlohmann::json::accept(text) : parse(text);
    };
    if (!json(c[7], [r](const std::string& t) { return ParseList(t, &r->recipe_files); }))
        return bad("recipe_files");
    if (!json(c[8], [r](const std::string& t) { return ParseList(t, &r->items); }))
        return bad("items");
    if (!ToInt(c[9], 0, 0xFFFF, &v)) return bad("usb_vid");
    r->usb_vid = static_cast<uint16_t>(v);
    if (!ToInt(c[10], 0, 0xFFFF, &v)) return bad("usb_pid");
    r->usb_pid = static_cast<uint16_t>(v);
    if (!ToInt(c[11], 0, 0xFFFF, &v)) return bad("bcd_device");
    r->bcd_device = static_cast<uint16_t>(v);
    r->usb_manufacturer = c[12];
    r->usb_product = c[13];
    r->scsi_vendor = c[14];
    r->scsi_product = c[15];
    r->serial = c[16];
    if (!ToInt(c[17], 0, 1, &v)) return bad("serial_reserved");
    r->serial_reserved = v == 1;
    if (!ToInt(c[18], 0, 0xFFFF, &v)) return bad("error_status");
    r->error_status = static_cast<int>(v);
    r->error_text = c[19];
    if (c[20] != "pass" && c[20] != "fail") return bad("result");
    r->passed = c[20] == "pass";
    if (!json(c[21], [r](const std::string& t) { return ParseColumns(t, &r->columns); }))
        return bad("grid_columns");
    if (!json(c[22], [r](const std::string& t) { return ParseSteps(t, &r->steps); }))
        return bad("step_times");
    if (!ParseRecordState(c[23], &r->state)) return bad("state");
    if (!ToInt(c[24], 0, INT64_MAX, &v)) return bad("supersedes");
    r->supersedes = v;
    if (!ToInt(c[25], 0, INT64_MAX, &v)) return bad("superseded_by");
    r->superseded_by = v;
    r->lot_id = c[26];
    return true;
}

std::vector<std::string> SchemaV1(const std::string& id_type) {
    std::string disks = "CREATE TABLE disks (id " + id_type;
    for (int i = 0; i < kDiskColumnCountV1; ++i) {
        const std::string name = kDiskColumns[i];
        disks += ", " + name + (IntegerColumn(name) ? " INTEGER NOT NULL" : " TEXT NOT NULL");
    }
    disks += ")";
    return {
        disks,
        "CREATE INDEX disks_logged_at ON disks (logged_at)",
        "CREATE INDEX disks_station ON disks (station, logged_at)",
        // A drawn serial is held here before it goes to a controller; the key
        // makes two stations' reservations of one serial impossible.
        "CREATE TABLE serials (usb_vid INTEGER NOT NULL, usb_pid INTEGER NOT NULL, "
        "serial TEXT NOT NULL, station TEXT NOT NULL, run_id TEXT NOT NULL, "
        "reserved_at TEXT NOT NULL, PRIMARY KEY (usb_vid, usb_pid, serial))",
    };
}

namespace {
// The records that count in the yield: current, complete, of a made disk.
constexpr const char* kCounts = "superseded_by = 0 AND counted = 1 AND state = 'complete'";
}  // namespace

std::vector<std::string> SchemaV2(const std::string& id_type) {
    return {
        "ALTER TABLE disks ADD COLUMN state TEXT NOT NULL DEFAULT 'complete'",
        "ALTER TABLE disks ADD COLUMN supersedes " + id_type + " NOT NULL DEFAULT 0",
        "ALTER TABLE disks ADD COLUMN superseded_by " + id_type + " NOT NULL DEFAULT 0",
        "ALTER TABLE disks ADD COLUMN counted INTEGER NOT NULL DEFAULT 0",
        "UPDATE disks SET counted = 1 WHERE kind = 'production'",
        "CREATE INDEX disks_serial ON disks (usb_vid, usb_pid, serial)",
        "CREATE INDEX disks_unfinished ON disks (state) WHERE state <> 'complete'",
        "CREATE INDEX disks_run ON disks (run_id)",
        // The disks that count, for the summaries (by hour, in the order
        // they are grouped) and the day's counts of a station: each read
        // from its index alone.
        // (The condition's columns close each index, so that it covers
        // the query whole.)
        "CREATE INDEX disks_hourly ON disks (substr(logged_at, 1, 13), station, result, "
        "error_status, error_text, logged_at, superseded_by, counted, state) WHERE " +
            std::string(kCounts),
        "CREATE INDEX disks_daily ON disks (station, logged_at, result, error_status, "
        "error_text, superseded_by, counted, state) WHERE " +
            std::string(kCounts),
    };
}

std::vector<std::string> SchemaV3() {
    return {
        "ALTER TABLE disks ADD COLUMN lot_id TEXT NOT NULL DEFAULT ''",
        "CREATE INDEX disks_lot ON disks (lot_id)",
    };
}

namespace {

// The condition of kCounts on the row `row` (NEW or OLD) of a trigger.
std::string RowCounts(const std::string& row) {
    return row + ".superseded_by = 0 AND " + row + ".counted = 1 AND " + row +
           ".state = 'complete'";
}

// The key in disk_hours of the row `row` of `disks` ("" for the table itself).
std::string HourKey(const std::string& row) {
    const std::string r = row.empty() ? "" : row + ".";
    return "substr(" + r + "logged_at, 1, 13), " + r + "station, " + r + "lot_id, " + r +
           "result, " + r + "error_status, CASE WHEN " + r + "result = 'pass' THEN '' ELSE " + r +
           "error_text END";
}

constexpr const char* kHourColumns = "hour, station, lot_id, result, error_status, error_text";

// One disk more for the key of `row`, one less.
std::string HourUp(const std::string& row) {
    return std::string("INSERT INTO disk_hours (") + kHourColumns + ", disks) VALUES (" +
           HourKey(row) + ", 1) ON CONFLICT (" + kHourColumns +
           ") DO UPDATE SET disks = disk_hours.disks + 1";
}

std::string HourDown(const std::string& row) {
    return std::string("UPDATE disk_hours SET disks = disks - 1 WHERE (") + kHourColumns + ") = (" +
           HourKey(row) + ")";
}

}  // namespace

// Every write of a record (new, completed, settled, superseded, deleted or
// edited by hand) moves its disk out of the key of the row as it was, if that
// counted, and into the key of the row as it is, if that counts. A record
// that supersedes another takes the disk over in the same transaction, so a
// disk counts once. Rows that fall to 0 stay (the counts leave them out).
//
// Each station writes the keys of its own station, so stations do not wait
// for one another here. A supersede that crosses stations (a disk run on one
// station and again on another) also takes the first station's row: two
// such transactions in opposite directions at once can deadlock, which the
// server resolves by failing one of them; the store reports that as a failed
// write of the disk, as any refused transaction.
std::vector<std::string> SchemaV4(bool postgres) {
    std::vector<std::string> sql = {
        std::string("CREATE TABLE disk_hours (hour TEXT NOT NULL, station TEXT NOT NULL, "
                    "lot_id TEXT NOT NULL, result TEXT NOT NULL, error_status INTEGER NOT NULL, "
                    "error_text TEXT NOT NULL, disks ") +
            (postgres ? "BIGINT" : "INTEGER") + " NOT NULL, PRIMARY KEY (" + kHourColumns + "))" +
            (postgres ? "" : " WITHOUT ROWID"),
    };
    if (postgres) {
        sql.push_back(
            "CREATE OR REPLACE FUNCTION disk_hours_keep() RETURNS trigger LANGUAGE plpgsql AS "
            "$body$ BEGIN "
            "IF TG_OP <> 'INSERT' THEN IF " +
            RowCounts("OLD") + " THEN " + HourDown("OLD") +
            "; END IF; END IF; "
            "IF TG_OP <> 'DELETE' THEN IF " +
            RowCounts("NEW") + " THEN " + HourUp("NEW") +
            "; END IF; END IF; "
            "RETURN NULL; END $body$");
        sql.push_back(
            "CREATE TRIGGER disk_hours_keep AFTER INSERT OR UPDATE OR DELETE ON disks "
            "FOR EACH ROW EXECUTE FUNCTION disk_hours_keep()");
        // TRUNCATE fires no row trigger: the counts go with the records.
        sql.push_back(
            "CREATE OR REPLACE FUNCTION disk_hours_clear() RETURNS trigger LANGUAGE plpgsql AS "
            "$body$ BEGIN DELETE FROM disk_hours; RETURN NULL; END $body$");
        sql.push_back(
            "CREATE TRIGGER disk_hours_clear AFTER TRUNCATE ON disks "
            "FOR EACH STATEMENT EXECUTE FUNCTION disk_hours_clear()");
    } else {
        auto trigger = [](const std::string& name, const char* event, const std::string& row,
                          const std::string& body) {
            return "CREATE TRIGGER " + name + " AFTER " + event + " ON disks WHEN " +
                   RowCounts(row) + " BEGIN " + body + "; END";
        };
        sql.push_back(trigger("disk_hours_insert", "INSERT", "NEW", HourUp("NEW")));
        sql.push_back(trigger("disk_hours_update_old", "UPDATE", "OLD", HourDown("OLD")));
        sql.push_back(trigger("disk_hours_update_new", "UPDATE", "NEW", HourUp("NEW")));
        sql.push_back(trigger("disk_hours_delete", "DELETE", "OLD", HourDown("OLD")));
    }
    // Filled last: creating the trigger has locked out other writers until
    // the commit, so no record written meanwhile is missed or counted twice.
    sql.push_back(std::string("INSERT INTO disk_hours (") + kHourColumns + ", disks) SELECT " +
                  HourKey("") + ", COUNT(*) FROM disks WHERE " + kCounts +
                  " GROUP BY 1, 2, 3, 4, 5, 6");
    return sql;
}

std::string FilterSql(const LogFilter& filter, std::vector<std::string>* args,
                      const std::function<std::string(size_t)>& placeholder) {
    std::string sql = filter.all ? "1=1" : "superseded_by = 0";
    auto add = [&](const char* test, const std::string& value) {
        args->push_back(value);
        sql += std::string(" AND ") + test + placeholder(args->size());
    };
    if (!filter.since.empty()) add("logged_at >= ", filter.since);
    if (!filter.until.empty()) add("logged_at < ", filter.until);
    if (!filter.station.empty()) add("station = ", filter.station);
    if (!filter.serial.empty()) add("serial = ", filter.serial);
    if (!filter.run_id.empty()) add("run_id = ", filter.run_id);
    if (!filter.lot_id.empty()) add("lot_id = ", filter.lot_id);
    if (filter.result >= 0) {
        add("result = ", filter.result ? "pass" : "fail");
        sql += " AND state = 'complete'";
    }
    return sql;
}

namespace {

// A time on a whole hour ("YYYY-MM-DDTHH:00:00.000Z"), or none.
bool WholeHour(const std::string& t) {
    return t.empty() || (t.size() == 24 && t.compare(13, 11, ":00:00.000Z") == 0);
}

}  // namespace

std::string CountSql(const LogFilter& filter, int period_chars, std::vector<std::string>* args,
                     const std::function<std::string(size_t)>& placeholder) {
    const std::string period = std::to_string(period_chars);
    if (!filter.from_records && filter.serial.empty() && filter.run_id.empty() &&
        WholeHour(filter.since) && WholeHour(filter.until) &&
        (period_chars == 0 || period_chars == 10 || period_chars == 13)) {
        // From a whole hour on (or before one), a record's hour is that hour
        // or later (earlier) exactly when its time is.
        std::string where = "1=1";
        auto add = [&](const char* test, const std::string& value) {
            args->push_back(value);
            where += std::string(" AND ") + test + placeholder(args->size());
        };
        if (!filter.since.empty()) add("hour >= ", filter.since.substr(0, 13));
        if (!filter.until.empty()) add("hour < ", filter.until.substr(0, 13));
        if (!filter.station.empty()) add("station = ", filter.station);
        if (!filter.lot_id.empty()) add("lot_id = ", filter.lot_id);
        if (filter.result >= 0) add("result = ", filter.result ? "pass" : "fail");
        return "SELECT substr(hour, 1, " + period +
               "), station, result, error_status, error_text, SUM(disks) FROM disk_hours WHERE " +
               where + " GROUP BY 1, 2, 3, 4, 5 HAVING SUM(disks) > 0";
    }
    LogFilter current = filter;
    current.all = false;  // a disk counts once, as its latest record says
    // The condition of the counting indexes, word for word, so that the
    // databases see they may use them.
    return "SELECT substr(logged_at, 1, " + period +
           "), station, result, error_status, CASE WHEN result = 'pass' THEN '' ELSE error_text "
           "END, COUNT(*) FROM disks WHERE " +
           FilterSql(current, args, placeholder) + " AND " + kCounts +
           " GROUP BY substr(logged_at, 1, " + period +
           "), station, result, error_status, error_text";
}

std::string SerialHeldElsewhere(const DiskRecord& r) {
    return "the serial number " + r.serial +
           " is no longer reserved for this disk: another disk's reservation holds it";
}

size_t GroupCommit::Queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

LogResult GroupCommit::Append(DiskRecord* r, const Writer& write) {
    Pending mine{r, {}, false};
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(&mine);
    while (!mine.done) {
        if (writing_) {
            done_.wait(lock);
            continue;
        }
        // This caller writes everything queued so far, its own record included.
        writing_ = true;
        std::vector<Pending*> batch;
        batch.swap(queue_);
        lock.unlock();
        std::vector<DiskRecord*> records;
        records.reserve(batch.size());
        for (Pending* p : batch) records.push_back(p->record);
        std::vector<LogResult> results;
        auto attempt = [&write](const std::vector<DiskRecord*>& some, std::vector<LogResult>* out) {
            bool committed = false;
            try {
                committed = write(some, out);
            } catch (const std::exception& e) {
                out->assign(some.size(), LogResult::Fail(e.what()));
            }
            if (out->size() != some.size()) {
                out->resize(some.size(), LogResult::Fail("the record was not written"));
            }
            return committed;
        };
        if (!attempt(records, &results) && records.size() > 1) {
            for (size_t i = 0; i < records.size(); ++i) {
                std::vector<LogResult> one;
                attempt({records[i]}, &one);
                results[i] = std::move(one[0]);
            }
        }
        lock.lock();
        for (size_t i = 0; i < batch.size(); ++i) {
            batch[i]->result = std::move(results[i]);
            batch[i]->done = true;
        }
        writing_ = false;
        done_.notify_all();
    }
    return mine.result;
}

}  // namespace detail

std::string DefaultLogPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base;
    if (state && *state == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        std::string dir = home && *home == '/' ? home : "";
        if (dir.empty()) {
            // No usable HOME: the home folder the user database gives.
            struct passwd pw {};
            struct passwd* found = nullptr;
            std::vector<char> buf(16384);
            if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
                found->pw_dir && *found->pw_dir == '/') {
                dir = found->pw_dir;
            }
        }
        // Never a folder relative to wherever the station was started.
        if (dir.empty()) return {};
        base = dir + "/.local/state";
    }
    return base + "/galmor/production.db";
}

std::unique_ptr<Store> OpenStore(const std::string& url, std::string* error, OpenMode mode) {
    try {
        if (url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0) {
            return OpenPostgresStore(url, error, mode);
        }
        if (url.rfind("sqlite:", 0) == 0) return OpenSqliteStore(url.substr(7), error, mode);
        const std::string file = url.empty() ? DefaultLogPath() : url;
        if (file.empty()) {
            if (error) *error = "no home folder for the default log (give --log)";
            return nullptr;
        }
        return OpenSqliteStore(file, error, mode);
    } catch (const std::exception& e) {
        if (error) *error = e.what();
    }
    return nullptr;
}

bool NormaliseSince(const std::string& text, std::string* out) {
    static const std::regex form(
        R"((\d{4}-\d{2}-\d{2})(?:[T ](\d{2}:\d{2})(:\d{2}(?:\.\d{1,3})?)?Z?)?)");
    std::smatch m;
    if (!std::regex_match(text, m, form)) return false;
    std::string t = m[1].str() + "T" + (m[2].matched ? m[2].str() : "00:00");
    std::string secs = m[3].matched ? m[3].str() : ":00";
    if (secs.size() == 3) secs += ".";  // ":SS" -> ":SS."
    secs.resize(7, '0');                // ":SS.mmm"
    *out = t + secs + "Z";
    return true;
}

}  // namespace galmor::prodlog
