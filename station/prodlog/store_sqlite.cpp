// The station's own log: one SQLite file in write-ahead-log mode. A disk's
// record is in a transaction that is on disk (synchronous=FULL) before Append
// returns, so a kill or a power cut loses at most the disks being written, and
// the next start opens the file as it is. Disks that finish together share
// one transaction and one flush.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

#include "prodlog/store.h"
#include "prodlog/store_internal.h"

namespace galmor::prodlog {

namespace {

// Waits this long for another process's transaction on the same file.
constexpr int kBusyTimeoutMs = 30000;

class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql) {
        rc_ = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return rc_ == SQLITE_OK && stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    void Bind(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    void BindInt(int index, int64_t v) { sqlite3_bind_int64(stmt_, index, v); }
    int Step() { return sqlite3_step(stmt_); }
    // Ready for the next use: no row pending, no values bound.
    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::string Text(int col) const {
        const auto* p = sqlite3_column_text(stmt_, col);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

class SqliteStore final : public Store {
  public:
    SqliteStore(sqlite3* db, std::string file) : db_(db), file_(std::move(file)) {}
    ~SqliteStore() override {
        insert_.reset();
        claim_.reset();
        reserve_.reset();
        sqlite3_close_v2(db_);
    }

    std::string Describe() const override { return "SQLite " + file_; }

    LogResult Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        // WAL is kept in the file once set; asking again is harmless.
        {
            Statement wal(db_, "PRAGMA journal_mode=WAL");
            if (!wal.ok() || wal.Step() != SQLITE_ROW || wal.Text(0) != "wal") {
                return Error("cannot switch to write-ahead logging");
            }
        }
        if (!Exec("PRAGMA synchronous=FULL") || !Exec("PRAGMA foreign_keys=ON")) {
            return Error("cannot set up the connection");
        }
        if (LogResult s = Migrate(); !s.ok) return s;
        return Prepare();
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
        // The reservation waits for no flush of its own: the disk's record,
        // committed with a flush when the disk has finished, makes the log
        // file durable up to and including it. A power cut before that loses
        // only the reservation of an unfinished disk.
        struct Durable {
            SqliteStore* self;
            ~Durable() { self->Exec("PRAGMA synchronous=FULL"); }
        } durable{this};
        if (!Exec("PRAGMA synchronous=NORMAL")) return Error("cannot start a reservation");
        // IMMEDIATE takes the write lock at once: no other station's
        // reservation can come between the test and the insert.
        if (!Exec("BEGIN IMMEDIATE")) return Error("cannot start a reservation");
        Statement& st = *reserve_;
        const std::string now = UtcNow();
        for (size_t i = 0; i < candidates.size(); ++i) {
            st.Reset();
            st.BindInt(1, vid);
            st.BindInt(2, pid);
            st.Bind(3, candidates[i]);
            st.Bind(4, station);
            st.Bind(5, run_id);
            st.Bind(6, now);
            if (st.Step() != SQLITE_DONE) {
                Exec("ROLLBACK");
                return Error("cannot reserve a serial number");
            }
            if (sqlite3_changes(db_) == 1) {
                *taken = static_cast<int>(i);
                break;
            }
        }
        if (!Exec("COMMIT")) {
            Exec("ROLLBACK");
            *taken = -1;
            return Error("cannot commit a reservation");
        }
        return LogResult::Ok();
    }

    LogResult Query(const LogFilter& filter, std::vector<DiskRecord>* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        out->clear();
        std::string sql = "SELECT id, " + detail::DiskColumnList() + " FROM disks WHERE 1=1";
        std::vector<std::string> args;
        if (!filter.since.empty()) {
            sql += " AND logged_at >= ?";
            args.push_back(filter.since);
        }
        if (!filter.station.empty()) {
            sql += " AND station = ?";
            args.push_back(filter.station);
        }
        if (filter.result >= 0) {
            sql += " AND result = ?";
            args.push_back(filter.result ? "pass" : "fail");
        }
        sql += " ORDER BY id";
        Statement st(db_, sql);
        if (!st.ok()) return Error("cannot prepare the query");
        for (size_t i = 0; i < args.size(); ++i) st.Bind(static_cast<int>(i) + 1, args[i]);
        int rc;
        std::vector<std::string> row(detail::kDiskColumnCount + 1);
        while ((rc = st.Step()) == SQLITE_ROW) {
            for (int c = 0; c <= detail::kDiskColumnCount; ++c) row[c] = st.Text(c);
            DiskRecord r;
            std::string why;
            if (!detail::RowRecord(row, &r, &why)) {
                return LogResult::Fail(Describe() + ": record " + row[0] + ": " + why);
            }
            out->push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) return Error("cannot read the log");
        return LogResult::Ok();
    }

  private:
    // The statements every disk uses, prepared once.
    LogResult Prepare() {
        std::string sql = "INSERT INTO disks (" + detail::DiskColumnList() + ") SELECT ";
        for (int i = 0; i < detail::kDiskColumnCount; ++i) {
            sql += (i ? ", ?" : "?") + std::to_string(i + 1);
        }
        // The record of a disk with a reserved serial goes in only while
        // that reservation is this run's (see WriteBatch).
        sql +=
            " WHERE ?18 = '0' OR EXISTS (SELECT 1 FROM serials WHERE usb_vid = ?10 AND "
            "usb_pid = ?11 AND serial = ?17 AND station = ?2 AND run_id = ?3)";
        insert_ = std::make_unique<Statement>(db_, sql);
        claim_ = std::make_unique<Statement>(
            db_,
            "INSERT OR IGNORE INTO serials (usb_vid, usb_pid, serial, station, run_id, "
            "reserved_at) VALUES (?, ?, ?, ?, ?, ?)");
        reserve_ = std::make_unique<Statement>(
            db_,
            "INSERT OR IGNORE INTO serials (usb_vid, usb_pid, serial, station, run_id, "
            "reserved_at) VALUES (?, ?, ?, ?, ?, ?)");
        if (!insert_->ok() || !claim_->ok() || !reserve_->ok()) {
            return Error("cannot prepare the log's statements");
        }
        return LogResult::Ok();
    }

    // One transaction for every record handed in together: one flush for
    // all of them. A disk whose serial was reserved is recorded only while
    // the reservation is still its own; a reservation that is gone is taken
    // again here, in the record's own transaction.
    bool WriteBatch(const std::vector<DiskRecord*>& records, std::vector<LogResult>* results) {
        std::lock_guard<std::mutex> lock(mutex_);
        results->clear();
        if (!Exec("BEGIN IMMEDIATE")) {
            results->assign(records.size(), Error("cannot start the record's transaction"));
            return false;
        }
        auto abort = [&](const std::string& what) {
            const LogResult s = Error(what);
            Exec("ROLLBACK");
            results->assign(records.size(), s);
            return false;
        };
        std::vector<int64_t> ids(records.size(), 0);
        for (size_t n = 0; n < records.size(); ++n) {
            const DiskRecord& r = *records[n];
            const auto row = detail::RecordRow(r);
            if (r.serial_reserved) {
                claim_->Reset();
                claim_->BindInt(1, r.usb_vid);
                claim_->BindInt(2, r.usb_pid);
                claim_->Bind(3, row[16]);
                claim_->Bind(4, row[1]);
                claim_->Bind(5, row[2]);
                claim_->Bind(6, row[0]);
                if (claim_->Step() != SQLITE_DONE)
                    return abort("cannot check the serial's reservation");
            }
            insert_->Reset();
            for (size_t i = 0; i < row.size(); ++i) insert_->Bind(static_cast<int>(i) + 1, row[i]);
            if (insert_->Step() != SQLITE_DONE) return abort("cannot write the record");
            if (sqlite3_changes(db_) == 1) ids[n] = sqlite3_last_insert_rowid(db_);
        }
        if (!Exec("COMMIT")) return abort("cannot commit the record");
        for (size_t n = 0; n < records.size(); ++n) {
            if (ids[n] > 0) {
                records[n]->id = ids[n];
                results->push_back(LogResult::Ok());
            } else {
                results->push_back(
                    LogResult::Fail(Describe() + ": " + detail::SerialHeldElsewhere(*records[n])));
            }
        }
        return true;
    }

    bool Exec(const char* sql) {
        return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    LogResult Error(const std::string& what) {
        return LogResult::Fail(Describe() + ": " + what + " (" + sqlite3_errmsg(db_) + ")");
    }

    // Brings the file to this build's schema in one transaction, so two
    // stations starting on one file never both create the tables.
    LogResult Migrate() {
        if (!Exec("BEGIN IMMEDIATE")) return Error("cannot lock the log to check its schema");
        auto fail = [&](const std::string& what) {
            LogResult s = Error(what);
            Exec("ROLLBACK");
            return s;
        };
        if (!Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")) {
            return fail("cannot create the schema version table");
        }
        int version = 0;
        {
            Statement st(db_, "SELECT MAX(version) FROM schema_version");
            if (!st.ok() || st.Step() != SQLITE_ROW) return fail("cannot read the schema version");
            version = sqlite3_column_int(st.get(), 0);
        }
        if (version > kSchemaVersion) {
            Exec("ROLLBACK");
            return LogResult::Fail(Describe() + ": the log has schema version " +
                                   std::to_string(version) + ", newer than this station's " +
                                   std::to_string(kSchemaVersion));
        }
        if (version < 1) {
            for (const auto& sql : detail::SchemaV1("INTEGER PRIMARY KEY AUTOINCREMENT")) {
                if (!Exec(sql.c_str())) return fail("cannot create the log's tables");
            }
        }
        if (version < kSchemaVersion) {
            const std::string set =
                "DELETE FROM schema_version; INSERT INTO schema_version "
                "VALUES (" +
                std::to_string(kSchemaVersion) + ")";
            if (!Exec(set.c_str())) return fail("cannot record the schema version");
        }
        if (!Exec("COMMIT")) return fail("cannot commit the schema");
        return LogResult::Ok();
    }

    sqlite3* db_;
    std::string file_;
    std::mutex mutex_;
    // Finalised before the connection closes (members go in reverse order).
    std::unique_ptr<Statement> insert_, claim_, reserve_;
    detail::GroupCommit group_;
};

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& file, std::string* error) {
    std::error_code ec;
    const auto folder = std::filesystem::path(file).parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        if (ec) {
            if (error)
                *error = "cannot create the log folder " + folder.string() + ": " + ec.message();
            return nullptr;
        }
        ::chmod(folder.c_str(), 0700);
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(
        file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
        nullptr);
    if (rc != SQLITE_OK) {
        if (error) {
            *error = "SQLite " + file + ": cannot open (" +
                     (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ")";
        }
        sqlite3_close_v2(db);
        return nullptr;
    }
    auto store = std::make_unique<SqliteStore>(db, file);
    const LogResult s = store->Open();
    if (!s.ok) {
        if (error) *error = s.message;
        return nullptr;
    }
    return store;
}

}  // namespace galmor::prodlog
