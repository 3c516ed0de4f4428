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

// The first candidate, in draw order, that nobody holds. Each candidate is one
// probe of the key (a scalar subquery the planner keeps as such): a join here
// would be planned from the table's statistics and, on a young table, scan
// every held serial per candidate. Another station may insert the same one
// between the test and the insert: then nothing is inserted, and the next
// attempt no longer sees it as free.
constexpr const char* kReserveSql =
    "INSERT INTO serials (usb_vid, usb_pid, serial, station, run_id, reserved_at) "
    "SELECT $1, $2, c.s, $4, $5, $6 "
    "FROM unnest($3) WITH ORDINALITY AS c(s, o) "
    "WHERE (SELECT 1 FROM serials x WHERE x.usb_vid = $1 AND "
    "x.usb_pid = $2 AND x.serial = c.s LIMIT 1) IS NULL "
    "ORDER BY c.o LIMIT 1 ON CONFLICT DO NOTHING RETURNING serial";

// Whether any candidate is still free.
constexpr const char* kLeftSql =
    "SELECT 1 FROM unnest($3) AS c(s) WHERE (SELECT 1 FROM serials x "
    "WHERE x.usb_vid = $1 AND x.usb_pid = $2 AND x.serial = c.s LIMIT 1) IS NULL LIMIT 1";

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
        return group_.Append(
            r, [this](const std::vector<DiskRecord*>& records, std::vector<LogResult>* results) {
                return WriteBatch(records, results);
            });
    }

    LogResult ReserveFirstFree(uint16_t vid, uint16_t pid,
                               const std::vector<std::string>& candidates,
                               const std::string& station, const std::string& run_id,
                               int* taken) override {
        std::lock_guard<std::mutex> lock(mutex_);
        *taken = -1;
        if (candidates.empty()) return LogResult::Ok();
        if (LogResult s = Ready(); !s.ok) return s;
        const std::vector<std::string> args = {std::to_string(vid),
                                               std::to_string(pid),
                                               ArrayLiteral(candidates),
                                               station,
                                               run_id,
                                               UtcNow()};
        const std::vector<std::string> ids = {args[0], args[1], args[2]};
        for (size_t attempt = 0; attempt <= candidates.size(); ++attempt) {
            // One statement, one round trip, its own transaction.
            //
            // The reservation waits for no flush of its own. It is visible
            // to every station as soon as it commits; should the server lose
            // it in a crash before a later flush, the disk's record takes it
            // again in its own, durable transaction, or is refused when
            // another disk got the serial meanwhile (see kAppendSql). A disk
            // therefore never counts as made with a serial it does not hold.
            Result res = Prepared(kReserve, args);
            if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
                return Error("cannot reserve a serial number", res.get());
            }
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
            Result left = Prepared(kLeft, ids);
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
            std::string placeholder(1, '$');
            placeholder += std::to_string(args.size());
            return placeholder;
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
    // Names of the prepared statements.
    static constexpr const char* kAppend = "galmor_append";
    static constexpr const char* kReserve = "galmor_reserve";
    static constexpr const char* kLeft = "galmor_left";

    // A statement in a pipeline: a prepared one by name, or plain SQL.
    struct Step {
        const char* prepared;
        const char* sql;
        std::vector<std::string> args;
    };

    // Sends `steps` at once and reads their results: one round trip. False
    // when the pipeline broke down (then *why says why and the connection is
    // reset); a statement that failed shows in its own result, and those
    // after it in an aborted state.
    bool Pipeline(const std::vector<Step>& steps, std::vector<Result>* out, std::string* why) {
        out->clear();
        out->resize(steps.size());
        if (!PQenterPipelineMode(conn_)) {
            *why = PQerrorMessage(conn_);
            return false;
        }
        bool ok = true;
        for (const Step& step : steps) {
            std::vector<const char*> values;
            for (const auto& a : step.args) values.push_back(a.c_str());
            const int n = static_cast<int>(values.size());
            const int sent = step.prepared ? PQsendQueryPrepared(conn_, step.prepared, n,
                                                                 values.data(), nullptr, nullptr, 0)
                                           : PQsendQueryParams(conn_, step.sql, 0, nullptr, nullptr,
                                                               nullptr, nullptr, 0);
            if (!sent) {
                ok = false;
                break;
            }
        }
        if (ok && !PQpipelineSync(conn_)) ok = false;
        if (ok) {
            for (size_t i = 0; i < steps.size(); ++i) {
                (*out)[i].reset(PQgetResult(conn_));
                if (!(*out)[i]) {
                    ok = false;
                    break;
                }
                // Each statement's results end with a null.
                while (PGresult* more = PQgetResult(conn_)) PQclear(more);
            }
        }
        if (ok) {
            Result sync(PQgetResult(conn_));
            ok = sync && PQresultStatus(sync.get()) == PGRES_PIPELINE_SYNC;
        }
        if (!ok) *why = PQerrorMessage(conn_);
        if (!ok || !PQexitPipelineMode(conn_)) {
            // The connection's state is unknown: start afresh.
            if (why->empty()) *why = PQerrorMessage(conn_);
            PQreset(conn_);
            prepared_ = false;
            return false;
        }
        // A statement failed inside BEGIN: end the transaction.
        if (PQtransactionStatus(conn_) != PQTRANS_IDLE) Command("ROLLBACK");
        return true;
    }

    // The first failed result's message, for a pipeline that did not go through.
    LogResult Failure(const std::string& what, const std::vector<Result>& res,
                      const std::string& why) {
        for (const Result& r : res) {
            if (r && PQresultStatus(r.get()) == PGRES_FATAL_ERROR) return Error(what, r.get());
        }
        std::string text = why;
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        if (text.empty()) return Error(what);
        return LogResult::Fail(Describe() + ": " + what + " (" + text + ")");
    }

    // Every record handed in together in one transaction, sent in one round
    // trip, committed with one flush.
    bool WriteBatch(const std::vector<DiskRecord*>& records, std::vector<LogResult>* results) {
        std::lock_guard<std::mutex> lock(mutex_);
        results->clear();
        if (LogResult s = Ready(); !s.ok) {
            results->assign(records.size(), s);
            return false;
        }
        std::vector<Step> steps;
        steps.push_back({nullptr, "BEGIN", {}});
        // The connection commits without waiting for the flush (for the
        // reservations); a record's commit waits for it.
        steps.push_back({nullptr, "SET LOCAL synchronous_commit TO on", {}});
        for (const DiskRecord* r : records)
            steps.push_back({kAppend, nullptr, detail::RecordRow(*r)});
        steps.push_back({nullptr, "COMMIT", {}});
        std::vector<Result> res;
        std::string why;
        Pipeline(steps, &res, &why);
        const Result& commit = res.back();
        if (PQresultStatus(commit.get()) != PGRES_COMMAND_OK) {
            results->assign(records.size(), Failure("cannot write the record", res, why));
            // A commit that was refused left nothing behind, and the records
            // may be tried again; whether one that was never answered took
            // effect is unknown, so those are not written a second time.
            return !commit;
        }
        for (size_t n = 0; n < records.size(); ++n) {
            const PGresult* r = res[n + 2].get();
            if (PQresultStatus(r) != PGRES_TUPLES_OK) {
                results->push_back(Error("cannot write the record", r));
            } else if (PQntuples(r) != 1) {
                results->push_back(
                    LogResult::Fail(Describe() + ": " + detail::SerialHeldElsewhere(*records[n])));
            } else {
                records[n]->id = std::stoll(PQgetvalue(r, 0, 0));
                results->push_back(LogResult::Ok());
            }
        }
        return true;
    }

    // Connected, with the statements prepared on this connection.
    LogResult Ready() {
        if (LogResult s = Reconnect(); !s.ok) return s;
        if (prepared_) return LogResult::Ok();
        // Statements commit without waiting for the server's flush unless
        // they say otherwise: only the disk records do (see WriteBatch).
        if (!Command("SET synchronous_commit TO off")) {
            return Error("cannot set up the connection");
        }
        struct Named {
            const char* name;
            std::string sql;
            std::vector<Oid> types;
        };
        const Oid kText = 25, kInt = 23;
        std::vector<Oid> row_types;
        for (int i = 0; i < detail::kDiskColumnCount; ++i) {
            const std::string n = detail::kDiskColumns[i];
            row_types.push_back(n == "port" || n == "usb_vid" || n == "usb_pid" ||
                                        n == "bcd_device" || n == "serial_reserved" ||
                                        n == "error_status"
                                    ? kInt
                                    : kText);
        }
        const std::vector<Named> all = {
            {kAppend, AppendSql(), row_types},
            {kReserve, kReserveSql, {kInt, kInt, 1009 /* text[] */, kText, kText, kText}},
            {kLeft, kLeftSql, {kInt, kInt, 1009}},
        };
        for (const Named& n : all) {
            Result res(PQprepare(conn_, n.name, n.sql.c_str(), static_cast<int>(n.types.size()),
                                 n.types.data()));
            if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
                return Error("cannot prepare the log's statements", res.get());
            }
        }
        prepared_ = true;
        return LogResult::Ok();
    }

    // A disk's record. One whose serial was reserved goes in only while that
    // reservation is its run's: a reservation the server lost is taken again
    // in this transaction, and one that another disk holds refuses the
    // record (no row comes back).
    static std::string AppendSql() {
        std::string sql =
            "WITH claim AS (INSERT INTO serials (usb_vid, usb_pid, serial, station, run_id, "
            "reserved_at) SELECT $10, $11, $17, $2, $3, $1 WHERE $18 = 1 "
            "ON CONFLICT DO NOTHING RETURNING 1) "
            "INSERT INTO disks (" +
            detail::DiskColumnList() + ") SELECT ";
        for (int i = 0; i < detail::kDiskColumnCount; ++i) {
            sql += (i ? ", $" : "$") + std::to_string(i + 1);
        }
        sql +=
            " WHERE $18 = 0 OR EXISTS (SELECT 1 FROM claim) OR EXISTS (SELECT 1 FROM serials "
            "WHERE usb_vid = $10 AND usb_pid = $11 AND serial = $17 AND station = $2 AND "
            "run_id = $3) RETURNING id";
        return sql;
    }

    Result Prepared(const char* name, const std::vector<std::string>& args) {
        std::vector<const char*> values;
        values.reserve(args.size());
        for (const auto& a : args) values.push_back(a.c_str());
        return Result(PQexecPrepared(conn_, name, static_cast<int>(values.size()), values.data(),
                                     nullptr, nullptr, 0));
    }

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
        prepared_ = false;
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
    bool prepared_ = false;  // on the current connection
    detail::GroupCommit group_;
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
