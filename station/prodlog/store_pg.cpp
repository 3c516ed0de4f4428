// The floor's log: a PostgreSQL database shared by every station. The
// station creates and migrates the tables itself under an advisory lock, so
// stations that start together do not trip over each other; the serials
// table's key keeps reservations unique across all of them.
#include <libpq-fe.h>

#include <memory>
#include <mutex>

#include "prodlog/store.h"
#include "prodlog/store_internal.h"

namespace galmor::prodlog {

namespace {

// The advisory lock that serialises schema changes ("galmor" in ASCII).
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(103975630267762)";

struct ResultFree {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

// A text[] literal: every element quoted, with backslash and quote escaped.
std::string ArrayLiteral(const std::vector<std::string>& items) {
    std::string out = "{";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ',';
        out += '"';
        for (char c : items[i]) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

class PostgresStore final : public Store {
  public:
    explicit PostgresStore(PGconn* conn) : conn_(conn) {}
    ~PostgresStore() override { PQfinish(conn_); }

    std::string Describe() const override {
        const char* db = PQdb(conn_);
        return std::string("PostgreSQL ") + (db ? db : "?");
    }

    LogResult Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        // Keep server notices (e.g. "relation already exists") off stderr.
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        return Migrate();
    }

    LogResult Append(DiskRecord* r) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (LogResult s = Reconnect(); !s.ok) return s;
        std::string sql = "INSERT INTO disks (" + detail::DiskColumnList() + ") VALUES (";
        for (int i = 0; i < detail::kDiskColumnCount; ++i) {
            sql += (i ? ", $" : "$") + std::to_string(i + 1);
        }
        sql += ") RETURNING id";
        Result res = Exec(sql, detail::RecordRow(*r));
        if (PQresultStatus(res.get()) != PGRES_TUPLES_OK || PQntuples(res.get()) != 1) {
            return Error("cannot write the record", res.get());
        }
        r->id = std::stoll(PQgetvalue(res.get(), 0, 0));
        return LogResult::Ok();
    }

    LogResult ReserveFirstFree(uint16_t vid, uint16_t pid, const std::vector<std::string>& candidates,
                            const std::string& station, const std::string& run_id,
                            int* taken) override {
        std::lock_guard<std::mutex> lock(mutex_);
        *taken = -1;
        if (candidates.empty()) return LogResult::Ok();
        if (LogResult s = Reconnect(); !s.ok) return s;
        // The first candidate, in draw order, that nobody holds. Each
        // candidate is one probe of the key (a scalar subquery the planner
        // keeps as such): a join here would be planned from the table's
        // statistics and, on a young table, scan every held serial per
        // candidate. Another station may insert the same one between the
        // test and the insert: then nothing is inserted, and the next
        // attempt no longer sees it as free.
        static const std::string sql =
            "INSERT INTO serials (usb_vid, usb_pid, serial, station, run_id, reserved_at) "
            "SELECT $1::integer, $2::integer, c.s, $4, $5, $6 "
            "FROM unnest($3::text[]) WITH ORDINALITY AS c(s, o) "
            "WHERE (SELECT 1 FROM serials x WHERE x.usb_vid = $1::integer AND "
            "x.usb_pid = $2::integer AND x.serial = c.s LIMIT 1) IS NULL "
            "ORDER BY c.o LIMIT 1 ON CONFLICT DO NOTHING RETURNING serial";
        const std::vector<std::string> args = {std::to_string(vid),
                                               std::to_string(pid),
                                               ArrayLiteral(candidates),
                                               station,
                                               run_id,
                                               UtcNow()};
        for (size_t attempt = 0; attempt <= candidates.size(); ++attempt) {
            // The reservation waits for no flush of its own: the disk's
            // record, committed durably when the disk has finished, flushes
            // the server's write-ahead log up to and including it. A crash
            // before that loses only the reservation of an unfinished disk.
            // Other stations see the reservation as soon as it commits.
            if (!Command("BEGIN") || !Command("SET LOCAL synchronous_commit TO off")) {
                LogResult s = Error("cannot start a reservation");
                Command("ROLLBACK");
                return s;
            }
            Result res = Exec(sql, args);
            if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
                LogResult s = Error("cannot reserve a serial number", res.get());
                Command("ROLLBACK");
                return s;
            }
            if (!Command("COMMIT")) return Error("cannot commit a reservation");
            if (PQntuples(res.get()) == 1) {
                const std::string got = PQgetvalue(res.get(), 0, 0);
                for (size_t i = 0; i < candidates.size(); ++i) {
                    if (candidates[i] == got) {
                        *taken = static_cast<int>(i);
                        return LogResult::Ok();
                    }
                }
                return LogResult::Fail(Describe() + ": reserved a serial that was not asked for");
            }
            // Nothing inserted: either every candidate is held, or another
            // station won the race for the one we picked. Ask again only in
            // the second case.
            Result left = Exec(
                "SELECT 1 FROM unnest($3::text[]) AS c(s) WHERE (SELECT 1 FROM serials x "
                "WHERE x.usb_vid = $1::integer AND x.usb_pid = $2::integer AND x.serial = c.s "
                "LIMIT 1) IS NULL LIMIT 1",
                {args[0], args[1], args[2]});
            if (PQresultStatus(left.get()) != PGRES_TUPLES_OK) {
                return Error("cannot reserve a serial number", left.get());
            }
            if (PQntuples(left.get()) == 0) return LogResult::Ok();
        }
        return LogResult::Ok();
    }

    LogResult Query(const LogFilter& filter, std::vector<DiskRecord>* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        out->clear();
        if (LogResult s = Reconnect(); !s.ok) return s;
        std::string sql = "SELECT id, " + detail::DiskColumnList() + " FROM disks WHERE true";
        std::vector<std::string> args;
        auto arg = [&](const std::string& v) {
            args.push_back(v);
            return "$" + std::to_string(args.size());
        };
        if (!filter.since.empty()) sql += " AND logged_at >= " + arg(filter.since);
        if (!filter.station.empty()) sql += " AND station = " + arg(filter.station);
        if (filter.result >= 0) sql += " AND result = " + arg(filter.result ? "pass" : "fail");
        sql += " ORDER BY id";
        Result res = Exec(sql, args);
        if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
            return Error("cannot read the log", res.get());
        }
        const int rows = PQntuples(res.get());
        std::vector<std::string> row(detail::kDiskColumnCount + 1);
        for (int i = 0; i < rows; ++i) {
            for (int c = 0; c <= detail::kDiskColumnCount; ++c) {
                row[c] = PQgetvalue(res.get(), i, c);
            }
            DiskRecord r;
            std::string why;
            if (!detail::RowRecord(row, &r, &why)) {
                return LogResult::Fail(Describe() + ": record " + row[0] + ": " + why);
            }
            out->push_back(std::move(r));
        }
        return LogResult::Ok();
    }

  private:
    Result Exec(const std::string& sql, const std::vector<std::string>& args = {}) {
        std::vector<const char*> values;
        values.reserve(args.size());
        for (const auto& a : args) values.push_back(a.c_str());
        return Result(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0));
    }

    bool Command(const std::string& sql) {
        Result res = Exec(sql);
        return PQresultStatus(res.get()) == PGRES_COMMAND_OK ||
               PQresultStatus(res.get()) == PGRES_TUPLES_OK;
    }

    LogResult Error(const std::string& what, const PGresult* res = nullptr) {
        std::string why = res ? PQresultErrorMessage(res) : "";
        if (why.empty()) why = PQerrorMessage(conn_);
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        return LogResult::Fail(Describe() + ": " + what + " (" + why + ")");
    }

    // A connection lost to a server restart is opened again once.
    LogResult Reconnect() {
        if (PQstatus(conn_) == CONNECTION_OK) return LogResult::Ok();
        PQreset(conn_);
        if (PQstatus(conn_) != CONNECTION_OK) return Error("connection lost");
        return LogResult::Ok();
    }

    LogResult Migrate() {
        auto fail = [&](const std::string& what) {
            LogResult s = Error(what);
            Command("ROLLBACK");
            return s;
        };
        if (!Command("BEGIN")) return Error("cannot start the schema check");
        if (!Command(kSchemaLock)) return fail("cannot lock the schema");
        if (!Command("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")) {
            return fail("cannot create the schema version table");
        }
        Result v = Exec("SELECT COALESCE(MAX(version), 0) FROM schema_version");
        if (PQresultStatus(v.get()) != PGRES_TUPLES_OK || PQntuples(v.get()) != 1) {
            return fail("cannot read the schema version");
        }
        const int version = std::stoi(PQgetvalue(v.get(), 0, 0));
        if (version > kSchemaVersion) {
            Command("ROLLBACK");
            return LogResult::Fail(Describe() + ": the log has schema version " +
                                std::to_string(version) + ", newer than this station's " +
                                std::to_string(kSchemaVersion));
        }
        if (version < 1) {
            for (const auto& sql : detail::SchemaV1("BIGSERIAL PRIMARY KEY")) {
                if (!Command(sql)) return fail("cannot create the log's tables");
            }
        }
        if (version < kSchemaVersion) {
            if (!Command("DELETE FROM schema_version") ||
                !Command("INSERT INTO schema_version VALUES (" + std::to_string(kSchemaVersion) +
                         ")")) {
                return fail("cannot record the schema version");
            }
        }
        if (!Command("COMMIT")) return fail("cannot commit the schema");
        return LogResult::Ok();
    }

    PGconn* conn_;
    std::mutex mutex_;
};

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo, std::string* error) {
    PGconn* conn = PQconnectdb(conninfo.c_str());
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        std::string why = conn ? PQerrorMessage(conn) : "out of memory";
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        if (error) *error = "PostgreSQL: cannot connect (" + why + ")";
        PQfinish(conn);
        return nullptr;
    }
    auto store = std::make_unique<PostgresStore>(conn);
    const LogResult s = store->Open();
    if (!s.ok) {
        if (error) *error = s.message;
        return nullptr;
    }
    return store;
}

}  // namespace galmor::prodlog
