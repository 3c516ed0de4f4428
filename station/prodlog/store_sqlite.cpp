// The station's own log: one SQLite file in write-ahead-log mode. A disk's
// record is in a transaction that is on disk (synchronous=FULL) before Append
// returns, so a kill or a power cut loses at most the disks being written, and
// the next start opens the file as it is. Disks that finish together share
// one transaction and one flush.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
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
        cache_.clear();
        sqlite3_close_v2(db_);
    }

    std::string Describe() const override { return "SQLite " + file_; }

    LogResult Open(OpenMode mode, bool writable) {
        std::lock_guard<std::mutex> lock(mutex_);
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        if (!writable) return CheckVersion();
        // WAL is kept in the file once set; asking again is harmless.
        {
            Statement wal(db_, "PRAGMA journal_mode=WAL");
            if (!wal.ok() || Step(wal) != SQLITE_ROW || wal.Text(0) != "wal") {
                return Error("cannot switch to write-ahead logging");
            }
        }
        if (!Exec("PRAGMA synchronous=FULL") || !Exec("PRAGMA foreign_keys=ON")) {
            return Error("cannot set up the connection");
        }
        if (LogResult s = Migrate(); !s.ok) return s;
        if (mode == OpenMode::ReadOnly) return LogResult::Ok();
        // A log that cannot be written is found out now, before any disk is
        // touched: a write that is rolled back.
        if (!Exec("BEGIN IMMEDIATE")) return Error("the log cannot be written");
        if (!Exec("INSERT INTO schema_version VALUES (0)")) {
            LogResult s = Error("the log cannot be written");
            Exec("ROLLBACK");
            return s;
        }
        if (!Exec("ROLLBACK")) return Error("the log cannot be written");
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
        why_.clear();
        *taken = -1;
        if (candidates.empty()) return LogResult::Ok();
        // The reservation waits for no flush of its own: the disk's record,
        // committed with a flush before its configuration is written, makes
        // the log file durable up to and including it. A power cut before
        // that loses only the reservation of a disk that got no serial.
        struct Durable {
            SqliteStore* self;
            ~Durable() { self->Exec("PRAGMA synchronous=FULL"); }
        } durable{this};
        if (!Exec("PRAGMA synchronous=NORMAL")) return Error("cannot start a reservation");
        // IMMEDIATE takes the write lock at once: no other station's
        // reservation can come between the test and the insert.
        if (!Exec("BEGIN IMMEDIATE")) return Error("cannot start a reservation");
        Statement* st = Prep(
            "INSERT OR IGNORE INTO serials (usb_vid, usb_pid, serial, station, run_id, "
            "reserved_at) VALUES (?, ?, ?, ?, ?, ?)");
        const std::string now = UtcNow();
        for (size_t i = 0; st && i < candidates.size(); ++i) {
            st->Reset();
            st->BindInt(1, vid);
            st->BindInt(2, pid);
            st->Bind(3, candidates[i]);
            st->Bind(4, station);
            st->Bind(5, run_id);
            st->Bind(6, now);
            if (Step(*st) != SQLITE_DONE) {
                st = nullptr;
                break;
            }
            if (sqlite3_changes(db_) == 1) {
                *taken = static_cast<int>(i);
                break;
            }
        }
        if (!st || !Exec("COMMIT")) {
            LogResult s = Error("cannot reserve a serial number");
            Exec("ROLLBACK");
            *taken = -1;
            return s;
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

    LogResult ForEach(
        const LogFilter& filter, const std::function<bool(const DiskRecord&)>& each,
        const std::function<void(const std::string&, const std::string&)>& bad) override {
        std::lock_guard<std::mutex> lock(mutex_);
        why_.clear();
        std::vector<std::string> args;
        const std::string sql = "SELECT id, " + detail::DiskColumnList() + " FROM disks WHERE " +
                                detail::FilterSql(filter, &args, Numbered) + " ORDER BY id";
        Statement st(db_, sql);
        if (!st.ok()) return Error("cannot prepare the query");
        for (size_t i = 0; i < args.size(); ++i) st.Bind(static_cast<int>(i) + 1, args[i]);
        int rc;
        std::vector<std::string> row(detail::kDiskColumnCount + 1);
        while ((rc = Step(st)) == SQLITE_ROW) {
            for (int c = 0; c <= detail::kDiskColumnCount; ++c) row[c] = st.Text(c);
            DiskRecord r;
            std::string why;
            if (!detail::RowRecord(row, &r, &why, filter.brief, filter.unchecked)) {
                if (bad) bad(row[0], why);
                continue;
            }
            if (!each(r)) return LogResult::Ok();
        }
        if (rc != SQLITE_DONE) return Error("cannot read the log");
        return LogResult::Ok();
    }

    LogResult Count(const LogFilter& filter, int period_chars,
                    std::vector<DiskTally>* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        why_.clear();
        out->clear();
        std::vector<std::string> args;
        Statement st(db_, detail::CountSql(filter, period_chars, &args, Numbered));
        if (!st.ok()) return Error("cannot prepare the count");
        for (size_t i = 0; i < args.size(); ++i) st.Bind(static_cast<int>(i) + 1, args[i]);
        int rc;
        while ((rc = Step(st)) == SQLITE_ROW) {
            DiskTally t;
            t.period = st.Text(0);
            t.station = st.Text(1);
            t.passed = st.Text(2) == "pass";
            t.error_status = sqlite3_column_int(st.get(), 3);
            t.error_text = st.Text(4);
            t.disks = sqlite3_column_int64(st.get(), 5);
            out->push_back(std::move(t));
        }
        if (rc != SQLITE_DONE) return Error("cannot count the log");
        return LogResult::Ok();
    }

    LogResult FindUnfinished(uint16_t vid, uint16_t pid, const std::string& serial, DiskRecord* out,
                             bool* found) override {
        std::lock_guard<std::mutex> lock(mutex_);
        why_.clear();
        *found = false;
        Statement* st = Prep("SELECT id, " + detail::DiskColumnList() +
                             " FROM disks WHERE state = 'configured' AND usb_vid = ? AND "
                             "usb_pid = ? AND serial = ? ORDER BY id DESC LIMIT 1");
        if (!st) return Error("cannot look for unfinished records");
        st->BindInt(1, vid);
        st->BindInt(2, pid);
        st->Bind(3, ToUtf8(serial));
        const int rc = Step(*st);
        if (rc == SQLITE_DONE) return LogResult::Ok();
        if (rc != SQLITE_ROW) return Error("cannot look for unfinished records");
        std::vector<std::string> row(detail::kDiskColumnCount + 1);
        for (int c = 0; c <= detail::kDiskColumnCount; ++c) row[c] = st->Text(c);
        st->Reset();
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
        why_.clear();
        Statement* st = Prep(
            "UPDATE disks SET state = 'complete', result = ?, error_status = ?, error_text = ?, "
            "logged_at = ? WHERE id = ? AND state = 'configured'");
        if (!st) return Error("cannot complete the record");
        st->Bind(1, passed ? "pass" : "fail");
        st->BindInt(2, error_status);
        st->Bind(3, ToUtf8(error_text));
        st->Bind(4, UtcNow());
        st->BindInt(5, id);
        if (Step(*st) != SQLITE_DONE) return Error("cannot complete the record");
        if (sqlite3_changes(db_) != 1) {
            return LogResult::Fail(Describe() + ": record " + std::to_string(id) +
                                   " is not unfinished");
        }
        return LogResult::Ok();
    }

  private:
    static std::string Numbered(size_t n) { return "?" + std::to_string(n); }

    // One transaction for every record handed in together: one flush for
    // all of them. A new record whose serial was reserved goes in only
    // while the reservation is still its own; a reservation that is gone is
    // taken again here, in the record's own transaction. A record with an id
    // completes the configured record written before its disk's block.
    bool WriteBatch(const std::vector<DiskRecord*>& records, std::vector<LogResult>* results) {
        std::lock_guard<std::mutex> lock(mutex_);
        why_.clear();
        results->clear();
        // A verdict that completes a configured record waits for no flush
        // of its own: a power cut before the next flush leaves the record
        // unfinished, which the next start shows and a scan completes. New
        // records (a disk about to get its block) are flushed.
        bool completions_only = true;
        for (const DiskRecord* r : records) completions_only &= r->id != 0;
        struct Durable {
            SqliteStore* self;
            bool relaxed;
            ~Durable() {
                if (relaxed) self->Exec("PRAGMA synchronous=FULL");
            }
        } durable{this, completions_only && Exec("PRAGMA synchronous=NORMAL")};
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
        std::vector<std::string> refused(records.size());
        for (size_t n = 0; n < records.size(); ++n) {
            const DiskRecord& r = *records[n];
            const auto row = detail::RecordRow(r);
            if (r.id != 0) {
                // Completing: every value but the links the store keeps.
                std::string sql = "UPDATE disks SET ";
                for (int i = 0; i < detail::kDiskColumnCountV1; ++i) {
                    sql += std::string(i ? ", " : "") + detail::kDiskColumns[i] + " = ?" +
                           std::to_string(i + 1);
                }
                const std::string id = std::to_string(detail::kDiskColumnCount + 1);
                sql += ", state = ?24 WHERE id = ?" + id + " AND state = 'configured'";
                Statement* up = Prep(sql);
                if (!up) return abort("cannot prepare the record's completion");
                for (size_t i = 0; i < row.size(); ++i) up->Bind(static_cast<int>(i) + 1, row[i]);
                up->BindInt(detail::kDiskColumnCount + 1, r.id);
                if (Step(*up) != SQLITE_DONE) return abort("cannot complete the record");
                if (sqlite3_changes(db_) == 1) {
                    ids[n] = r.id;
                } else {
                    refused[n] = "record " + std::to_string(r.id) + " is not unfinished";
                }
            } else {
                if (r.serial_reserved) {
                    Statement* claim = Prep(
                        "INSERT OR IGNORE INTO serials (usb_vid, usb_pid, serial, station, "
                        "run_id, reserved_at) VALUES (?, ?, ?, ?, ?, ?)");
                    if (!claim) return abort("cannot check the serial's reservation");
                    claim->BindInt(1, r.usb_vid);
                    claim->BindInt(2, r.usb_pid);
                    claim->Bind(3, row[16]);
                    claim->Bind(4, row[1]);
                    claim->Bind(5, row[2]);
                    claim->Bind(6, row[0]);
                    if (Step(*claim) != SQLITE_DONE)
                        return abort("cannot check the serial's reservation");
                }
                std::string sql =
                    "INSERT INTO disks (" + detail::DiskColumnList() + ", counted) SELECT ";
                for (int i = 0; i < detail::kDiskColumnCount; ++i) {
                    sql += (i ? ", ?" : "?") + std::to_string(i + 1);
                }
                // The record of a disk with a reserved serial goes in only
                // while that reservation is this run's.
                sql += ", ?" + std::to_string(detail::kDiskColumnCount + 1) +
                       " WHERE ?18 = '0' OR EXISTS (SELECT 1 FROM serials WHERE usb_vid = ?10 "
                       "AND usb_pid = ?11 AND serial = ?17 AND station = ?2 AND run_id = ?3)";
                Statement* insert = Prep(sql);
                if (!insert) return abort("cannot prepare the record");
                for (size_t i = 0; i < row.size(); ++i)
                    insert->Bind(static_cast<int>(i) + 1, row[i]);
                insert->BindInt(detail::kDiskColumnCount + 1,
                                r.kind == RunKind::Production ? 1 : 0);
                if (Step(*insert) != SQLITE_DONE) return abort("cannot write the record");
                if (sqlite3_changes(db_) == 1) {
                    ids[n] = sqlite3_last_insert_rowid(db_);
                } else {
                    refused[n] = detail::SerialHeldElsewhere(r);
                }
            }
            if (ids[n] != 0 && r.supersedes == 0 && !r.prior.serial.empty()) {
                int64_t old = 0;
                if (!Supersede(r.prior, ids[n], &old)) return abort("cannot supersede a record");
                records[n]->supersedes = old;
            }
        }
        if (!Exec("COMMIT")) return abort("cannot commit the record");
        for (size_t n = 0; n < records.size(); ++n) {
            if (ids[n] > 0) {
                records[n]->id = ids[n];
                results->push_back(LogResult::Ok());
            } else {
                results->push_back(LogResult::Fail(Describe() + ": " + refused[n]));
            }
        }
        return true;
    }

    // The current record of the disk that carried `prior` (a reserved
    // serial: one disk's) is replaced by record `by`, which takes over its
    // place in the yield. *old is its id, 0 when there was none.
    bool Supersede(const PriorConfig& prior, int64_t by, int64_t* old) {
        *old = 0;
        Statement* find = Prep(
            "SELECT id, counted FROM disks WHERE usb_vid = ? AND usb_pid = ? AND serial = ? AND "
            "serial_reserved = 1 AND superseded_by = 0 AND id <> ? ORDER BY id DESC LIMIT 1");
        if (!find) return false;
        find->BindInt(1, prior.usb_vid);
        find->BindInt(2, prior.usb_pid);
        find->Bind(3, ToUtf8(prior.serial));
        find->BindInt(4, by);
        const int rc = Step(*find);
        if (rc == SQLITE_DONE) return true;
        if (rc != SQLITE_ROW) return false;
        const int64_t id = sqlite3_column_int64(find->get(), 0);
        const int64_t counted = sqlite3_column_int64(find->get(), 1);
        find->Reset();
        Statement* mark = Prep("UPDATE disks SET superseded_by = ? WHERE id = ?");
        if (!mark) return false;
        mark->BindInt(1, by);
        mark->BindInt(2, id);
        if (Step(*mark) != SQLITE_DONE) return false;
        Statement* link = Prep(
            "UPDATE disks SET supersedes = ?, counted = CASE WHEN ? = 1 THEN 1 ELSE counted END "
            "WHERE id = ?");
        if (!link) return false;
        link->BindInt(1, id);
        link->BindInt(2, counted);
        link->BindInt(3, by);
        if (Step(*link) != SQLITE_DONE) return false;
        *old = id;
        return true;
    }

    // A log opened only to read must already have this build's schema.
    LogResult CheckVersion() {
        Statement st(db_, "SELECT MAX(version) FROM schema_version");
        if (!st.ok() || Step(st) != SQLITE_ROW) return Error("cannot read the schema version");
        const int version = sqlite3_column_int(st.get(), 0);
        if (version != kSchemaVersion) {
            return LogResult::Fail(Describe() + ": the log has schema version " +
                                   std::to_string(version) + " and cannot be migrated here (" +
                                   "it is read-only); this station reads version " +
                                   std::to_string(kSchemaVersion));
        }
        return LogResult::Ok();
    }

    bool Exec(const char* sql) {
        const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) Remember(rc);
        return rc == SQLITE_OK;
    }
    bool Exec(const std::string& sql) { return Exec(sql.c_str()); }

    // A statement's step; a failure's cause is kept for the message.
    int Step(Statement& st) {
        const int rc = st.Step();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) Remember(rc);
        return rc;
    }

    // The cause of the first failure since the last message: a ROLLBACK
    // after a failure must not replace it with its own.
    void Remember(int rc) {
        if (!why_.empty()) return;
        const char* msg = sqlite3_errmsg(db_);
        why_ = msg && std::strcmp(msg, "not an error") != 0 ? msg : sqlite3_errstr(rc);
    }

    LogResult Error(const std::string& what) {
        std::string why = why_.empty() ? std::string(sqlite3_errmsg(db_)) : why_;
        why_.clear();
        return LogResult::Fail(Describe() + ": " + what + " (" + why + ")");
    }

    // A cached statement; nullptr (with the cause kept) when it cannot be prepared.
    Statement* Prep(const std::string& sql) {
        auto& slot = cache_[sql];
        if (!slot) {
            slot = std::make_unique<Statement>(db_, sql);
            if (!slot->ok()) {
                Remember(sqlite3_errcode(db_));
                slot.reset();
                return nullptr;
            }
        }
        slot->Reset();
        return slot.get();
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
        if (version < 2) {
            for (const auto& sql : detail::SchemaV2("INTEGER")) {
                if (!Exec(sql.c_str())) return fail("cannot migrate the log to version 2");
            }
        }
        if (version < 3) {
            for (const auto& sql : detail::SchemaV3()) {
                if (!Exec(sql.c_str())) return fail("cannot migrate the log to version 3");
            }
        }
        if (version < 4) {
            for (const auto& sql : detail::SchemaV4(false)) {
                if (!Exec(sql.c_str())) return fail("cannot migrate the log to version 4");
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
    std::string why_;  // the cause of the failure being reported
    // Finalised before the connection closes.
    std::map<std::string, std::unique_ptr<Statement>> cache_;
    detail::GroupCommit group_;
};

}  // namespace

namespace {

// The folder of the log: created for this user only (0700) when missing; one
// that another user could write to (where the file could be swapped or
// removed under the station) is refused.
bool CheckFolder(const std::filesystem::path& folder, std::string* error) {
    const std::string name = folder.empty() ? std::string(".") : folder.string();
    std::error_code ec;
    if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
        // Each missing level is made 0700, as the state folders should be.
        std::filesystem::path at;
        for (const auto& part : folder) {
            at /= part;
            if (::mkdir(at.c_str(), 0700) != 0 && errno != EEXIST) {
                *error =
                    "cannot create the log folder " + at.string() + ": " + std::strerror(errno);
                return false;
            }
        }
    }
    struct stat fs {};
    if (::stat(name.c_str(), &fs) != 0) {
        *error = "cannot use the log folder " + name + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(fs.st_mode)) {
        *error = "the log folder " + name + " is not a folder";
        return false;
    }
    if ((fs.st_mode & S_IWOTH) != 0) {
        *error = "the log folder " + name + " can be written by any user; keep the log in a " +
                 "folder of this user (mode 0700)";
        return false;
    }
    if (fs.st_uid != ::geteuid() && fs.st_uid != 0) {
        *error = "the log folder " + name + " belongs to another user; keep the log in a " +
                 "folder of this user (mode 0700)";
        return false;
    }
    return true;
}

// A new log file is made for this user only (0600); an existing one that
// any user may write to is refused.
bool CheckFile(const std::string& file, std::string* error) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    if (errno != EEXIST) {
        *error = "SQLite " + file + ": cannot create (" + std::strerror(errno) + ")";
        return false;
    }
    struct stat fs {};
    if (::stat(file.c_str(), &fs) == 0 && (fs.st_mode & S_IWOTH) != 0) {
        *error = "SQLite " + file + ": any user can write the log; make it 0600";
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& file, std::string* error, OpenMode mode) {
    std::string why;
    const bool write = mode == OpenMode::Write;
    if (write &&
        (!CheckFolder(std::filesystem::path(file).parent_path(), &why) || !CheckFile(file, &why))) {
        if (error) *error = why;
        return nullptr;
    }
    // Read-only use never creates a file: a mistyped path is an error. A log
    // the user may write is still opened for writing, so an older schema is
    // migrated; one the user may only read is read as it is.
    sqlite3* db = nullptr;
    bool writable = true;
    int rc =
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK && !write && ::access(file.c_str(), F_OK) == 0) {
        sqlite3_close_v2(db);
        db = nullptr;
        writable = false;
        rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    }
    if (rc != SQLITE_OK) {
        if (error) {
            *error = "SQLite " + file + ": cannot open (" +
                     (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ")";
            if (::access(file.c_str(), F_OK) != 0) *error = "SQLite " + file + ": no such log";
        }
        sqlite3_close_v2(db);
        return nullptr;
    }
    if (write && sqlite3_db_readonly(db, "main") == 1) {
        // The file is write-protected (its mode, an immutable flag, a
        // read-only mount): found out before any disk is touched.
        if (error) *error = "SQLite " + file + ": the log cannot be written (it is read-only)";
        sqlite3_close_v2(db);
        return nullptr;
    }
    if (writable && !write && sqlite3_db_readonly(db, "main") == 1) writable = false;
    auto store = std::make_unique<SqliteStore>(db, file);
    const LogResult s = store->Open(mode, writable);
    if (!s.ok) {
        if (error) *error = s.message;
        return nullptr;
    }
    return store;
}

}  // namespace galmor::prodlog
