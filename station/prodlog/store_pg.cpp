// The floor's log: a PostgreSQL database shared by every station. The
// station creates and migrates the tables itself under an advisory lock, so
// stations that start together do not trip over each other; the serials
// table's key keeps reservations unique across all of them.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "prodlog/store.h"
#include "prodlog/store_internal.h"

namespace galmor::prodlog {

namespace {

// The longest wait for any answer of the server, unless the URL says otherwise.
constexpr int kDefaultTimeoutS = 5;

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

// The current record of the disk that carried a reserved serial is replaced
// by record $4, which takes over its place in the yield; returns the
// replaced record's id (no row when there was none).
constexpr const char* kSupersedeSql =
    "WITH old AS (SELECT id, counted FROM disks WHERE usb_vid = $1 AND usb_pid = $2 AND "
    "serial = $3 AND serial_reserved = 1 AND superseded_by = 0 AND id <> $4 "
    "ORDER BY id DESC LIMIT 1), "
    "mark AS (UPDATE disks SET superseded_by = $4 FROM old WHERE disks.id = old.id "
    "RETURNING old.id, old.counted) "
    "UPDATE disks SET supersedes = mark.id, counted = GREATEST(disks.counted, mark.counted) "
    "FROM mark WHERE disks.id = $4 RETURNING mark.id";

// Whether any candidate is still free.
constexpr const char* kLeftSql =
    "SELECT 1 FROM unnest($3) AS c(s) WHERE (SELECT 1 FROM serials x "
    "WHERE x.usb_vid = $1 AND x.usb_pid = $2 AND x.serial = c.s LIMIT 1) IS NULL LIMIT 1";

class PostgresStore final : public Store {
  public:
    PostgresStore(PGconn* conn, int timeout_s) : conn_(conn), timeout_s_(timeout_s) {
        const char* db = PQdb(conn_);
        name_ = db ? db : "?";
    }
    ~PostgresStore() override { PQfinish(conn_); }

    std::string Describe() const override { return "PostgreSQL " + name_; }

    LogResult Open(OpenMode mode) {
        std::lock_guard<std::mutex> lock(mutex_);
        // Keep server notices (e.g. "relation already exists") off stderr.
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        if (LogResult s = Migrate(); !s.ok) return s;
        if (mode == OpenMode::ReadOnly) return LogResult::Ok();
        // A log that cannot be written is found out now, before any disk is
        // touched: a write that is rolled back.
        if (!Command("BEGIN")) return Error("the log cannot be written");
        if (!Command("INSERT INTO schema_version VALUES (0)")) {
            LogResult s = Error("the log cannot be written");
            Command("ROLLBACK");
            return s;
        }
        if (!Command("ROLLBACK")) return Error("the log cannot be written");
        return LogResult::Ok();
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
        out->clear();
        LogResult bad = LogResult::Ok();
        LogResult s = ForEach(
            filter,
            [out](const DiskRecord& r) {
                out->push_back(r);
                return true;
            },
            [&](const std::string& id, const std::string& why) {
                if (bad.ok) bad = LogResult::Fail(Describe() + ": record " + id + ": " + why);
            });
        return s.ok ? bad : s;
    }

    // Rows come one at a time (single-row mode): memory stays flat however
    // long the history.
    LogResult ForEach(
        const LogFilter& filter, const std::function<bool(const DiskRecord&)>& each,
        const std::function<void(const std::string&, const std::string&)>& bad) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (LogResult s = Reconnect(); !s.ok) return s;
        std::vector<std::string> args;
        const std::string sql = "SELECT id, " + detail::DiskColumnList() + " FROM disks WHERE " +
                                detail::FilterSql(filter, &args, Dollar) + " ORDER BY id";
        std::vector<const char*> values;
        for (const auto& a : args) values.push_back(a.c_str());
        if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0) ||
            !PQsetSingleRowMode(conn_)) {
            return Error("cannot read the log");
        }
        std::vector<std::string> row(detail::kDiskColumnCount + 1);
        LogResult out = LogResult::Ok();
        bool stopped = false;
        for (;;) {
            if (!AwaitResult()) return TimedOut("cannot read the log");
            Result res(PQgetResult(conn_));
            if (!res) break;
            const ExecStatusType st = PQresultStatus(res.get());
            if (st == PGRES_TUPLES_OK) continue;  // the end of the rows
            if (st != PGRES_SINGLE_TUPLE) {
                if (out.ok) out = Error("cannot read the log", res.get());
                continue;
            }
            if (stopped) continue;  // drained to the end
            for (int c = 0; c <= detail::kDiskColumnCount; ++c) {
                row[c] = PQgetvalue(res.get(), 0, c);
            }
            DiskRecord r;
            std::string why;
            if (!detail::RowRecord(row, &r, &why, filter.brief, filter.unchecked)) {
                if (bad) bad(row[0], why);
                continue;
            }
            if (!each(r)) stopped = true;
        }
        return out;
    }

    LogResult Count(const LogFilter& filter, int period_chars,
                    std::vector<DiskTally>* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        out->clear();
        if (LogResult s = Reconnect(); !s.ok) return s;
        std::vector<std::string> args;
        Result res = Exec(detail::CountSql(filter, period_chars, &args, Dollar), args);
        if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
            return Error("cannot count the log", res.get());
        }
        for (int i = 0; i < PQntuples(res.get()); ++i) {
            DiskTally t;
            t.period = PQgetvalue(res.get(), i, 0);
            t.station = PQgetvalue(res.get(), i, 1);
            t.passed = std::string(PQgetvalue(res.get(), i, 2)) == "pass";
            t.error_status = std::atoi(PQgetvalue(res.get(), i, 3));
            t.error_text = PQgetvalue(res.get(), i, 4);
            t.disks = std::atoll(PQgetvalue(res.get(), i, 5));
            out->push_back(std::move(t));
        }
        return LogResult::Ok();
    }

    LogResult FindUnfinished(uint16_t vid, uint16_t pid, const std::string& serial, DiskRecord* out,
                             bool* found) override {
        std::lock_guard<std::mutex> lock(mutex_);
        *found = false;
        if (LogResult s = Reconnect(); !s.ok) return s;
        Result res = Exec("SELECT id, " + detail::DiskColumnList() +
                              " FROM disks WHERE state = 'configured' AND usb_vid = $1 AND "
                              "usb_pid = $2 AND serial = $3 ORDER BY id DESC LIMIT 1",
                          {std::to_string(vid), std::to_string(pid), ToUtf8(serial)});
        if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
            return Error("cannot look for unfinished records", res.get());
        }
        if (PQntuples(res.get()) == 0) return LogResult::Ok();
        std::vector<std::string> row(detail::kDiskColumnCount + 1);
        for (int c = 0; c <= detail::kDiskColumnCount; ++c) row[c] = PQgetvalue(res.get(), 0, c);
        std::string why;
        if (!detail::RowRecord(row, out, &why)) {
            return LogResult::Fail(Describe() + ": record " + row[0] + ": " + why);
        }
        *found = true;
        return LogResult::Ok();
    }

    LogResult Settle(int64_t id, bool passed, int error_status,
                     const std::string& error_text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (LogResult s = Ready(); !s.ok) return s;
        std::vector<Step> steps = {
            {nullptr, "BEGIN", {}},
            {nullptr, "SET LOCAL synchronous_commit TO on", {}},
            {nullptr,
             "UPDATE disks SET state = 'complete', result = $1, error_status = $2, "
             "error_text = $3, logged_at = $4 WHERE id = $5 AND state = 'configured'",
             {passed ? "pass" : "fail", std::to_string(error_status), ToUtf8(error_text), UtcNow(),
              std::to_string(id)}},
            {nullptr, "COMMIT", {}},
        };
        std::vector<Result> res;
        std::string why;
        Pipeline(steps, &res, &why);
        if (PQresultStatus(res.back().get()) != PGRES_COMMAND_OK) {
            return Failure("cannot complete the record", res, why);
        }
        if (std::string(PQcmdTuples(res[2].get())) != "1") {
            return LogResult::Fail(Describe() + ": record " + std::to_string(id) +
                                   " is not unfinished");
        }
        return LogResult::Ok();
    }

  private:
    // Names of the prepared statements.
    static constexpr const char* kAppend = "galmor_append";
    static constexpr const char* kComplete = "galmor_complete";
    static constexpr const char* kSupersede = "galmor_supersede";
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
    bool Pipeline(const std::vector<Step>& steps, std::vector<Result>* out, std::string* why,
                  bool keep_open = false) {
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
                                           : PQsendQueryParams(conn_, step.sql, n, nullptr,
                                                               values.data(), nullptr, nullptr, 0);
            if (!sent) {
                ok = false;
                break;
            }
        }
        if (ok && !PQpipelineSync(conn_)) ok = false;
        const auto deadline = Deadline();
        bool late = false;
        if (ok) {
            for (size_t i = 0; i < steps.size() && ok; ++i) {
                if (!AwaitResult(deadline)) {
                    late = true;
                    ok = false;
                    break;
                }
                (*out)[i].reset(PQgetResult(conn_));
                if (!(*out)[i]) {
                    ok = false;
                    break;
                }
                // Each statement's results end with a null.
                for (;;) {
                    if (!AwaitResult(deadline)) {
                        late = true;
                        ok = false;
                        break;
                    }
                    PGresult* more = PQgetResult(conn_);
                    if (!more) break;
                    PQclear(more);
                }
            }
        }
        if (ok) {
            if (!AwaitResult(deadline)) {
                late = true;
                ok = false;
            } else {
                Result sync(PQgetResult(conn_));
                ok = sync && PQresultStatus(sync.get()) == PGRES_PIPELINE_SYNC;
            }
        }
        if (late) {
            // The server does not answer: the connection is given up and a
            // new one made at the next use.
            *why = LateText();
            Drop();
            for (auto& r : *out) r.reset();
            return false;
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
        if (!keep_open && PQtransactionStatus(conn_) != PQTRANS_IDLE) Command("ROLLBACK");
        if (keep_open && PQtransactionStatus(conn_) == PQTRANS_INERROR) Command("ROLLBACK");
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
    // trip, committed with one flush. Records that replace an earlier record
    // of their disk (a disk run again) take a second round trip before the
    // commit.
    bool WriteBatch(const std::vector<DiskRecord*>& records, std::vector<LogResult>* results) {
        std::lock_guard<std::mutex> lock(mutex_);
        results->clear();
        if (LogResult s = Ready(); !s.ok) {
            results->assign(records.size(), s);
            return false;
        }
        bool priors = false;
        for (const DiskRecord* r : records)
            priors |= !r->prior.serial.empty() && r->supersedes == 0;
        // The connection commits without waiting for the flush (for the
        // reservations); a new record's commit waits for it. A verdict that
        // completes a configured record does not: lost in a server crash, it
        // leaves the record unfinished, which a scan completes.
        bool completions_only = true;
        for (const DiskRecord* r : records) completions_only &= r->id != 0;
        std::vector<Step> steps;
        steps.push_back({nullptr, "BEGIN", {}});
        steps.push_back({nullptr,
                         completions_only ? "SET LOCAL synchronous_commit TO off"
                                          : "SET LOCAL synchronous_commit TO on",
                         {}});
        for (const DiskRecord* r : records) {
            auto row = detail::RecordRow(*r);
            if (r->id != 0) {
                row.push_back(std::to_string(r->id));
                steps.push_back({kComplete, nullptr, row});
            } else {
                row.push_back(r->kind == RunKind::Production ? "1" : "0");
                steps.push_back({kAppend, nullptr, row});
            }
        }
        if (!priors) steps.push_back({nullptr, "COMMIT", {}});
        std::vector<Result> res;
        std::string why;
        Pipeline(steps, &res, &why, priors);
        std::vector<int64_t> ids(records.size(), 0);
        std::vector<std::string> refused(records.size());
        auto failed = [&](const std::string& what) {
            results->assign(records.size(), Failure(what, res, why));
            if (PQtransactionStatus(conn_) != PQTRANS_IDLE) Command("ROLLBACK");
        };
        for (size_t n = 0; n < records.size(); ++n) {
            const PGresult* r = res[n + 2].get();
            if (PQresultStatus(r) != PGRES_TUPLES_OK) {
                failed("cannot write the record");
                // A transaction that was refused left nothing behind and may
                // be tried again; one that was never answered may have
                // taken effect, so it is not written a second time.
                return r == nullptr;
            }
            if (PQntuples(r) == 1) {
                ids[n] = std::stoll(PQgetvalue(r, 0, 0));
            } else {
                refused[n] = records[n]->id != 0
                                 ? "record " + std::to_string(records[n]->id) + " is not unfinished"
                                 : detail::SerialHeldElsewhere(*records[n]);
            }
        }
        std::vector<int64_t> superseded(records.size(), 0);
        if (priors) {
            std::vector<Step> more;
            std::vector<size_t> which;
            for (size_t n = 0; n < records.size(); ++n) {
                const DiskRecord& r = *records[n];
                if (ids[n] == 0 || r.prior.serial.empty() || r.supersedes != 0) continue;
                which.push_back(n);
                more.push_back({kSupersede,
                                nullptr,
                                {std::to_string(r.prior.usb_vid), std::to_string(r.prior.usb_pid),
                                 ToUtf8(r.prior.serial), std::to_string(ids[n])}});
            }
            more.push_back({nullptr, "COMMIT", {}});
            Pipeline(more, &res, &why);
            if (PQresultStatus(res.back().get()) != PGRES_COMMAND_OK) {
                failed("cannot supersede a record");
                return res.back() == nullptr;
            }
            for (size_t k = 0; k < which.size(); ++k) {
                const PGresult* r = res[k].get();
                if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) {
                    superseded[which[k]] = std::stoll(PQgetvalue(r, 0, 0));
                }
            }
        } else if (PQresultStatus(res.back().get()) != PGRES_COMMAND_OK) {
            failed("cannot write the record");
            return !res.back();
        }
        for (size_t n = 0; n < records.size(); ++n) {
            if (ids[n] == 0) {
                results->push_back(LogResult::Fail(Describe() + ": " + refused[n]));
                continue;
            }
            records[n]->id = ids[n];
            if (superseded[n] != 0) records[n]->supersedes = superseded[n];
            results->push_back(LogResult::Ok());
        }
        return true;
    }

    // Connected, with the statements prepared on this connection.
    LogResult Ready() {
        if (LogResult s = Reconnect(); !s.ok) return s;
        if (prepared_) return LogResult::Ok();
        // Statements commit without waiting for the server's flush unless
        // they say otherwise: only the disk records do (see WriteBatch).
        if (!Command("SET synchronous_commit TO off") ||
            !Command("SET statement_timeout = " + std::to_string(timeout_s_ * 1000))) {
            return Error("cannot set up the connection");
        }
        struct Named {
            const char* name;
            std::string sql;
            std::vector<Oid> types;
        };
        const Oid kText = 25, kInt = 23, kBig = 20;
        std::vector<Oid> row_types;
        for (int i = 0; i < detail::kDiskColumnCount; ++i) {
            const std::string n = detail::kDiskColumns[i];
            row_types.push_back(detail::IdColumn(n)        ? kBig
                                : detail::IntegerColumn(n) ? kInt
                                                           : kText);
        }
        std::vector<Oid> append_types = row_types, complete_types = row_types;
        append_types.push_back(kInt);    // counted
        complete_types.push_back(kBig);  // id
        const std::vector<Named> all = {
            {kAppend, AppendSql(), append_types},
            {kComplete, CompleteSql(), complete_types},
            {kSupersede, kSupersedeSql, {kInt, kInt, kText, kBig}},
            {kReserve, kReserveSql, {kInt, kInt, 1009 /* text[] */, kText, kText, kText}},
            {kLeft, kLeftSql, {kInt, kInt, 1009}},
        };
        for (const Named& n : all) {
            Result res = PQsendPrepare(conn_, n.name, n.sql.c_str(),
                                       static_cast<int>(n.types.size()), n.types.data())
                             ? Collect()
                             : nullptr;
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
            detail::DiskColumnList() + ", counted) SELECT ";
        for (int i = 0; i <= detail::kDiskColumnCount; ++i) {
            sql += (i ? ", $" : "$") + std::to_string(i + 1);
        }
        sql +=
            " WHERE $18 = 0 OR EXISTS (SELECT 1 FROM claim) OR EXISTS (SELECT 1 FROM serials "
            "WHERE usb_vid = $10 AND usb_pid = $11 AND serial = $17 AND station = $2 AND "
            "run_id = $3) RETURNING id";
        return sql;
    }

    // Completes a configured record: every value but the links the store
    // keeps. No row comes back when the record is not unfinished.
    static std::string CompleteSql() {
        std::string sql = "UPDATE disks SET ";
        for (int i = 0; i < detail::kDiskColumnCountV1; ++i) {
            sql += std::string(i ? ", " : "") + detail::kDiskColumns[i] + " = $" +
                   std::to_string(i + 1);
        }
        // $25 and $26 (the links) and $27 (the lot, kept from the configured
        // record) are sent but not written.
        sql +=
            ", state = $24 WHERE id = $28 AND state = 'configured' AND $25 = $25 AND $26 = $26 "
            "AND $27 = $27 RETURNING id";
        return sql;
    }

    static std::string Dollar(size_t n) { return "$" + std::to_string(n); }

    Result Prepared(const char* name, const std::vector<std::string>& args) {
        std::vector<const char*> values;
        values.reserve(args.size());
        for (const auto& a : args) values.push_back(a.c_str());
        if (!PQsendQueryPrepared(conn_, name, static_cast<int>(values.size()), values.data(),
                                 nullptr, nullptr, 0)) {
            return nullptr;
        }
        return Collect();
    }

    Result Exec(const std::string& sql, const std::vector<std::string>& args = {}) {
        std::vector<const char*> values;
        values.reserve(args.size());
        for (const auto& a : args) values.push_back(a.c_str());
        if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0)) {
            return nullptr;
        }
        return Collect();
    }

    // The last result of the query sent, waiting no longer than the time-out.
    Result Collect() {
        const auto deadline = Deadline();
        Result last;
        for (;;) {
            if (!AwaitResult(deadline)) {
                late_ = true;
                Drop();
                return nullptr;
            }
            PGresult* r = PQgetResult(conn_);
            if (!r) break;
            last.reset(r);
        }
        return last;
    }

    std::chrono::steady_clock::time_point Deadline() const {
        return std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s_);
    }

    // Waits until a result can be taken without blocking; false when the
    // server has not answered by the deadline.
    bool AwaitResult(std::chrono::steady_clock::time_point deadline) {
        while (PQisBusy(conn_)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return false;
            pollfd p{PQsocket(conn_), POLLIN, 0};
            if (p.fd < 0) return true;  // PQgetResult reports the broken connection
            const int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
            if (rc < 0 && errno != EINTR) return true;
            if (rc > 0 && !PQconsumeInput(conn_)) return true;
        }
        return true;
    }
    bool AwaitResult() { return AwaitResult(Deadline()); }

    std::string LateText() const {
        return "the server did not answer within " + std::to_string(timeout_s_) + " s";
    }

    LogResult TimedOut(const std::string& what) {
        return LogResult::Fail(Describe() + ": " + what + " (" + LateText() + ")");
    }

    // Gives up a connection whose server does not answer: its socket is
    // closed at once, and the next use connects again.
    void Drop() {
        PQfinish(conn_);
        conn_ = nullptr;
        prepared_ = false;
        dropped_ = true;
    }

    bool Command(const std::string& sql) {
        Result res = Exec(sql);
        return PQresultStatus(res.get()) == PGRES_COMMAND_OK ||
               PQresultStatus(res.get()) == PGRES_TUPLES_OK;
    }

    LogResult Error(const std::string& what, const PGresult* res = nullptr) {
        std::string why = res ? PQresultErrorMessage(res) : "";
        if (why.empty() && late_) why = LateText();
        late_ = false;
        if (why.empty()) why = PQerrorMessage(conn_);
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        return LogResult::Fail(Describe() + ": " + what + " (" + why + ")");
    }

    // A connection lost to a server restart is opened again once.
    LogResult Reconnect() {
        late_ = false;
        if (!dropped_ && PQstatus(conn_) == CONNECTION_OK) return LogResult::Ok();
        prepared_ = false;
        if (dropped_) {
            dropped_ = false;
            PQfinish(conn_);
            conn_ = PQconnectdbParams(keywords_.data(), values_.data(), 0);
        } else {
            PQreset(conn_);
        }
        if (PQstatus(conn_) != CONNECTION_OK) return Error("connection lost");
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
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
        if (version < 2) {
            for (const auto& sql : detail::SchemaV2("BIGINT")) {
                if (!Command(sql)) return fail("cannot migrate the log to version 2");
            }
        }
        if (version < 3) {
            for (const auto& sql : detail::SchemaV3()) {
                if (!Command(sql)) return fail("cannot migrate the log to version 3");
            }
        }
        // Under the schema lock: the hourly counts are filled from the
        // records in the transaction that starts keeping them.
        if (version < 4) {
            for (const auto& sql : detail::SchemaV4(true)) {
                if (!Command(sql)) return fail("cannot migrate the log to version 4");
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

  public:
    // The connection's parameters, for connecting again.
    void Keep(std::vector<std::string> keys, std::vector<std::string> vals) {
        keys_ = std::move(keys);
        vals_ = std::move(vals);
        for (const auto& k : keys_) keywords_.push_back(k.c_str());
        for (const auto& v : vals_) values_.push_back(v.c_str());
        keywords_.push_back(nullptr);
        values_.push_back(nullptr);
    }

  private:
    PGconn* conn_;
    int timeout_s_;
    std::string name_;
    std::vector<std::string> keys_, vals_;
    std::vector<const char*> keywords_, values_;
    std::mutex mutex_;
    bool prepared_ = false;  // on the current connection
    bool late_ = false;      // the last wait ran out
    bool dropped_ = false;   // the connection was given up
    detail::GroupCommit group_;
};

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo, std::string* error,
                                         OpenMode mode) {
    // The station's own parameter, timeout=SECONDS, is taken out of the
    // URL's query before the rest goes to the client library.
    int timeout = kDefaultTimeoutS;
    std::string url = conninfo;
    if (const size_t q = url.find('?'); q != std::string::npos) {
        std::string kept;
        size_t at = q + 1;
        while (at <= url.size()) {
            size_t amp = url.find('&', at);
            if (amp == std::string::npos) amp = url.size();
            const std::string item = url.substr(at, amp - at);
            if (item.rfind("timeout=", 0) == 0) {
                char* end = nullptr;
                const long v = std::strtol(item.c_str() + 8, &end, 10);
                if (*end != '\0' || v < 1 || v > 3600) {
                    if (error) *error = "PostgreSQL: timeout wants whole seconds (1 to 3600)";
                    return nullptr;
                }
                timeout = static_cast<int>(v);
            } else if (!item.empty()) {
                kept += (kept.empty() ? "" : "&") + item;
            }
            at = amp + 1;
        }
        url = url.substr(0, q) + (kept.empty() ? "" : "?" + kept);
    }
    char* parse_error = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &parse_error);
    if (!options) {
        std::string why = parse_error ? parse_error : "cannot read the URL";
        PQfreemem(parse_error);
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        if (error) *error = "PostgreSQL: " + why;
        return nullptr;
    }
    std::vector<std::string> keys, vals;
    for (PQconninfoOption* o = options; o->keyword; ++o) {
        if (o->val && *o->val) {
            keys.push_back(o->keyword);
            vals.push_back(o->val);
        }
    }
    PQconninfoFree(options);
    // A server that stops answering must not hold a disk without limit.
    const std::vector<std::pair<std::string, std::string>> defaults = {
        {"connect_timeout", std::to_string(timeout)},
        {"keepalives", "1"},
        {"keepalives_idle", "5"},
        {"keepalives_interval", "2"},
        {"keepalives_count", "3"},
        {"tcp_user_timeout", std::to_string(timeout * 1000)},
    };
    for (const auto& [k, v] : defaults) {
        if (std::find(keys.begin(), keys.end(), k) == keys.end()) {
            keys.push_back(k);
            vals.push_back(v);
        }
    }
    std::vector<const char*> kw, vs;
    for (const auto& k : keys) kw.push_back(k.c_str());
    for (const auto& v : vals) vs.push_back(v.c_str());
    kw.push_back(nullptr);
    vs.push_back(nullptr);
    PGconn* conn = PQconnectdbParams(kw.data(), vs.data(), 0);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        std::string why = conn ? PQerrorMessage(conn) : "out of memory";
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        if (error) *error = "PostgreSQL: cannot connect (" + why + ")";
        PQfinish(conn);
        return nullptr;
    }
    auto store = std::make_unique<PostgresStore>(conn, timeout);
    store->Keep(std::move(keys), std::move(vals));
    const LogResult s = store->Open(mode);
    if (!s.ok) {
        if (error) *error = s.message;
        return nullptr;
    }
    return store;
}

}  // namespace galmor::prodlog
