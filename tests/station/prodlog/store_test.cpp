// The same cases against the SQLite file and a real PostgreSQL server.
#include "prodlog/store.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "pg_server.h"
#include "prodlog/printer.h"
#include "prodlog/serials.h"
#include "prodlog/store_internal.h"

namespace {

using namespace galmor::prodlog;

DiskRecord Sample(int port, const std::string& station, bool passed, const std::string& at) {
    DiskRecord r;
    r.logged_at = at;
    r.station = station;
    r.run_id = station + "-run-1";
    r.port = port;
    r.device_path = "/dev/sg" + std::to_string(port);
    r.recipe_digest = std::string(64, 'a');
    r.recipe_files = {"Product.ini " + std::string(64, 'b'), "loader.iso " + std::string(64, 'c')};
    r.items = {"format", "manufacture", "check-config"};
    r.usb_vid = 0x1234;
    r.usb_pid = 0xABCD;
    r.bcd_device = 0x0105;
    r.usb_manufacturer = "AB";
    r.usb_product = "Disk";
    r.scsi_vendor = "AB";
    r.scsi_product = "Disk";
    r.serial = "ABC0" + std::to_string(1000 + port);
    r.serial_reserved = true;
    r.passed = passed;
    r.error_status = passed ? 0 : 0x9B;
    r.error_text = passed ? "" : "Format Error";
    r.columns = {{"format", passed ? "V" : "X", passed ? "1 Chip(s)   64 MB" : "Format Error"},
                 {"config_string", "", ""},
                 {"check_config", "", ""},
                 {"check_wp", "", ""}};
    r.steps = {{"format", 1.25}, {"manufacture", 0.031}};
    return r;
}

class StoreTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() == "postgresql") {
            std::string skip;
            pg_ = ufdtest::PgServer::Get(&skip);
            if (!pg_) GTEST_SKIP() << skip;
            ASSERT_TRUE(pg_->ok()) << pg_->error();
            url_ = pg_->NewDatabase();
            ASSERT_FALSE(url_.empty()) << pg_->error();
            db_ = url_.substr(std::string("postgresql:///").size());
            db_ = db_.substr(0, db_.find('?'));
        } else {
            char tmpl[] = "/tmp/galmor-log-XXXXXX";
            ASSERT_NE(mkdtemp(tmpl), nullptr);
            dir_ = tmpl;
            file_ = dir_ + "/state/galmor/production.db";
            url_ = "sqlite:" + file_;
        }
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    std::unique_ptr<Store> Open() {
        std::string error;
        auto s = OpenStore(url_, &error);
        EXPECT_TRUE(s) << error;
        return s;
    }

    // Raw SQL against the log, behind the station's back.
    bool Sql(const std::string& sql) {
        if (pg_) {
            std::string out;
            const bool ok = pg_->Psql(db_, sql, &out);
            EXPECT_TRUE(ok) << out;
            return ok;
        }
        sqlite3* db = nullptr;
        bool ok = sqlite3_open(file_.c_str(), &db) == SQLITE_OK &&
                  sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        EXPECT_TRUE(ok) << sqlite3_errmsg(db);
        sqlite3_close(db);
        return ok;
    }

    ufdtest::PgServer* pg_ = nullptr;
    std::string url_, db_, dir_, file_;
};

TEST_P(StoreTest, RecordsComeBackFieldForFieldAndFilter) {
    auto store = Open();
    ASSERT_TRUE(store);
    std::vector<DiskRecord> written = {
        Sample(0, "line-1", true, "2026-12-06T23:59:59.999Z"),
        Sample(1, "line-1", false, "2026-12-07T08:00:00.000Z"),
        Sample(2, "line-2", true, "2026-12-07T09:30:00.000Z"),
    };
    // Text the station does not choose: quotes, separators, line breaks,
    // backslashes and non-ASCII all come back as written.
    written[1].usb_product = "Di\"sk, 'x'\n{y}\\z";
    written[1].scsi_product = "Flash \xc3\xa9t\xc3\xa9";
    written[1].columns[0].text = "a \"b\", c";
    written[2].kind = RunKind::LowLevelFormat;
    written[2].serial.clear();
    written[2].serial_reserved = false;
    for (auto& r : written) {
        const LogResult s = store->Append(&r);
        ASSERT_TRUE(s.ok) << s.message;
        EXPECT_GT(r.id, 0);
    }
    EXPECT_LT(written[0].id, written[1].id);
    EXPECT_LT(written[1].id, written[2].id);

    std::vector<DiskRecord> read;
    ASSERT_TRUE(store->Query({}, &read).ok);
    EXPECT_EQ(read, written);

    LogFilter f;
    f.since = "2026-12-07T00:00:00.000Z";
    ASSERT_TRUE(store->Query(f, &read).ok);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].port, 1);
    f.station = "line-2";
    ASSERT_TRUE(store->Query(f, &read).ok);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].port, 2);
    f = LogFilter{};
    f.result = 0;
    ASSERT_TRUE(store->Query(f, &read).ok);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].error_text, "Format Error");
    f.result = 1;
    ASSERT_TRUE(store->Query(f, &read).ok);
    EXPECT_EQ(read.size(), 2u);
}

TEST_P(StoreTest, SchemaIsCreatedOnceMigratedAndGuarded) {
    // Stations that start together on a new log all open it.
    std::vector<std::thread> threads;
    std::atomic<int> opened{0};
    std::vector<std::string> errors(4);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            auto s = OpenStore(url_, &errors[i]);
            if (s) ++opened;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(opened, 4) << errors[0] << errors[1] << errors[2] << errors[3];

    {
        auto store = Open();
        ASSERT_TRUE(store);
        DiskRecord r = Sample(0, "s", true, UtcNow());
        ASSERT_TRUE(store->Append(&r).ok);
    }
    // Reopened: the record is still there.
    {
        auto store = Open();
        ASSERT_TRUE(store);
        std::vector<DiskRecord> read;
        ASSERT_TRUE(store->Query({}, &read).ok);
        EXPECT_EQ(read.size(), 1u);
    }
    // A log from a newer station is refused rather than written wrongly.
    ASSERT_TRUE(Sql("UPDATE schema_version SET version = 99"));
    std::string error;
    EXPECT_FALSE(OpenStore(url_, &error));
    EXPECT_NE(error.find("schema version 99"), std::string::npos) << error;

    // A damaged value is reported, not passed on as a record.
    ASSERT_TRUE(Sql("UPDATE schema_version SET version = " + std::to_string(kSchemaVersion)));
    ASSERT_TRUE(Sql("UPDATE disks SET grid_columns = 'not json'"));
    auto store = Open();
    ASSERT_TRUE(store);
    std::vector<DiskRecord> read;
    const LogResult s = store->Query({}, &read);
    EXPECT_FALSE(s.ok);
    EXPECT_NE(s.message.find("grid_columns"), std::string::npos) << s.message;
    // Printed, the damaged record is skipped with a warning naming it; the
    // others are printed.
    DiskRecord good = Sample(1, "s", true, UtcNow());
    ASSERT_TRUE(store->Append(&good).ok);
    std::ostringstream out, err;
    EXPECT_EQ(PrintLog(*store, {}, out, err), 0);
    EXPECT_NE(err.str().find("record 1 skipped: unreadable value in column grid_columns"),
              std::string::npos)
        << err.str();
    EXPECT_NE(out.str().find("1 record\n"), std::string::npos) << out.str();
}

// The station's own file: its folder and file are this user's alone, a
// folder anyone may write to is refused, and reading never creates a log.
TEST(SqliteStore, TheLogIsPrivateAndReadingNeverCreatesIt) {
    char tmpl[] = "/tmp/galmor-log-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, file = dir + "/state/galmor/production.db";
    std::string error;
    EXPECT_FALSE(OpenStore(file, &error, OpenMode::ReadOnly));
    EXPECT_NE(error.find("no such log"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir + "/state"));

    ASSERT_TRUE(OpenStore(file, &error)) << error;
    struct stat st {};
    ASSERT_EQ(stat((dir + "/state/galmor").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(OpenStore(file, &error, OpenMode::ReadOnly)) << error;

    ASSERT_EQ(chmod((dir + "/state/galmor").c_str(), 0777), 0);
    EXPECT_FALSE(OpenStore(file, &error));
    EXPECT_NE(error.find("can be written by any user"), std::string::npos) << error;

    // Without HOME the default log goes to the user database's home folder,
    // never below the folder the station was started in.
    const char* home = std::getenv("HOME");
    const std::string saved = home ? home : "";
    const char* xdg = std::getenv("XDG_STATE_HOME");
    const std::string saved_xdg = xdg ? xdg : "";
    unsetenv("HOME");
    unsetenv("XDG_STATE_HOME");
    const std::string path = DefaultLogPath();
    if (home) setenv("HOME", saved.c_str(), 1);
    if (xdg) setenv("XDG_STATE_HOME", saved_xdg.c_str(), 1);
    const passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(path, std::string(pw->pw_dir) + "/.local/state/galmor/production.db");
    std::filesystem::remove_all(dir);
}

// A log written by a station of schema version 1 opens, and its records
// read back as complete, current and counted.
TEST_P(StoreTest, AVersionOneLogIsMigrated) {
    const bool pg = GetParam() == "postgresql";
    if (!pg) std::filesystem::create_directories(std::filesystem::path(file_).parent_path());
    std::string sql =
        "CREATE TABLE schema_version (version INTEGER NOT NULL); "
        "INSERT INTO schema_version VALUES (1); ";
    for (const auto& t :
         galmor::prodlog::detail::SchemaV1(pg ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY"))
        sql += t + "; ";
    std::vector<DiskRecord> old = {Sample(0, "line-1", true, "2026-12-07T08:00:00.000Z"),
                                   Sample(1, "line-1", false, "2026-12-07T08:01:00.000Z")};
    for (auto& r : old) {
        const auto row = galmor::prodlog::detail::RecordRow(r);
        std::string cols, vals;
        for (int i = 0; i < galmor::prodlog::detail::kDiskColumnCountV1; ++i) {
            cols += std::string(i ? ", " : "") + galmor::prodlog::detail::kDiskColumns[i];
            std::string v = row[static_cast<size_t>(i)];
            for (size_t at = 0; (at = v.find('\'', at)) != std::string::npos; at += 2)
                v.insert(at, "'");
            vals += std::string(i ? ", '" : "'") + v + "'";
        }
        sql += "INSERT INTO disks (" + cols + ") VALUES (" + vals + "); ";
    }
    ASSERT_TRUE(Sql(sql));
    auto store = Open();
    ASSERT_TRUE(store);
    std::vector<DiskRecord> read;
    ASSERT_TRUE(store->Query({}, &read).ok);
    ASSERT_EQ(read.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        old[i].id = read[i].id;
        EXPECT_EQ(read[i], old[i]);
    }
    // Counted from the hourly counts the migration filled, and from the records.
    for (const bool from_records : {false, true}) {
        std::vector<DiskTally> tallies;
        LogFilter f;
        f.from_records = from_records;
        ASSERT_TRUE(store->Count(f, 10, &tallies).ok);
        int64_t disks = 0;
        for (const auto& t : tallies) disks += t.disks;
        EXPECT_EQ(disks, 2) << from_records;
    }
    // The migrated log keeps lots: a lot's records are found by its id.
    DiskRecord lot = Sample(2, "line-1", true, "2026-12-07T08:02:00.000Z");
    lot.lot_id = "20261207T080000Z-1-1";
    lot.serial_reserved = false;
    ASSERT_TRUE(store->Append(&lot).ok);
    LogFilter f;
    f.lot_id = lot.lot_id;
    ASSERT_TRUE(store->Query(f, &read).ok);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0], lot);
}

TEST_P(StoreTest, ReservationTakesTheFirstFreeDrawPerVendorAndProduct) {
    auto store = Open();
    ASSERT_TRUE(store);
    int taken = -2;
    ASSERT_TRUE(store->ReserveFirstFree(1, 2, {"AAA01111", "AAA02222"}, "s", "r", &taken).ok);
    EXPECT_EQ(taken, 0);
    ASSERT_TRUE(
        store->ReserveFirstFree(1, 2, {"AAA01111", "AAA02222", "AAA03333"}, "s", "r", &taken).ok);
    EXPECT_EQ(taken, 1);
    ASSERT_TRUE(store->ReserveFirstFree(1, 2, {"AAA01111", "AAA02222"}, "s", "r", &taken).ok);
    EXPECT_EQ(taken, -1);
    // The same serial under another product id is another disk.
    ASSERT_TRUE(store->ReserveFirstFree(1, 3, {"AAA01111"}, "s", "r", &taken).ok);
    EXPECT_EQ(taken, 0);
    // A draw that repeats itself within one batch is taken once.
    ASSERT_TRUE(store->ReserveFirstFree(1, 2, {"AAA04444", "AAA04444"}, "s", "r", &taken).ok);
    EXPECT_EQ(taken, 0);

    // Serials with characters that quoting must not break.
    const std::vector<std::string> odd = {"a\"b", "c,d", "{e}", "f\\g", "h i", "NULL"};
    for (const auto& s : odd) {
        ASSERT_TRUE(store->ReserveFirstFree(9, 9, {s}, "s", "r", &taken).ok) << s;
        EXPECT_EQ(taken, 0) << s;
    }
    ASSERT_TRUE(store->ReserveFirstFree(9, 9, odd, "s", "r", &taken).ok);
    EXPECT_EQ(taken, -1);
}

// Four stations draw from a space of 64 serials of which 10 are free: the
// free ones go to exactly ten disks, the others fail with the message.
TEST_P(StoreTest, ConcurrentStationsNeverShareASerial) {
    auto setup = Open();
    ASSERT_TRUE(setup);
    auto value = [](int i) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "ABC000%02X", i);
        return std::string(buf);
    };
    std::set<std::string> free;
    for (int i = 0; i < 64; ++i) {
        if (i % 6 == 0 && free.size() < 10) {
            free.insert(value(i));
            continue;
        }
        int taken = -1;
        ASSERT_TRUE(setup->ReserveFirstFree(0x1234, 0x5678, {value(i)}, "pre", "pre", &taken).ok);
        ASSERT_EQ(taken, 0);
    }
    ASSERT_EQ(free.size(), 10u);

    struct Outcome {
        std::vector<std::string> serials;
        std::vector<std::string> failures;
    };
    std::vector<Outcome> outcomes(4);
    std::vector<std::thread> stations;
    for (int s = 0; s < 4; ++s) {
        stations.emplace_back([&, s] {
            std::string error;
            auto store = OpenStore(url_, &error);
            if (!store) {
                outcomes[s].failures.push_back("open: " + error);
                return;
            }
            std::mt19937 gen(1000 + s);
            std::uniform_int_distribution<int> pick(0, 63);
            for (int disk = 0; disk < 8; ++disk) {
                SerialRequest req;
                req.vid = 0x1234;
                req.pid = 0x5678;
                req.prefix = "ABC";
                req.station = "station-" + std::to_string(s);
                req.run_id = "run";
                const SerialOutcome o =
                    ReserveSerial(store.get(), req, [&] { return value(pick(gen)); });
                if (o.ok) {
                    outcomes[s].serials.push_back(o.serial);
                } else {
                    outcomes[s].failures.push_back(o.message);
                }
            }
        });
    }
    for (auto& t : stations) t.join();

    std::multiset<std::string> got;
    int failures = 0;
    for (const auto& o : outcomes) {
        got.insert(o.serials.begin(), o.serials.end());
        for (const auto& m : o.failures) {
            ++failures;
            EXPECT_NE(m.find("prefix \"ABC\""), std::string::npos) << m;
            EXPECT_NE(m.find("nearly exhausted"), std::string::npos) << m;
        }
    }
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), free);
    EXPECT_EQ(got.size(), 10u);  // no serial twice
    EXPECT_EQ(failures, 22);
}

// A disk's record goes in only while its serial's reservation is its run's:
// a reservation the log lost is taken again with the record, and one that
// another disk holds refuses the record, so the disk cannot count as made.
TEST_P(StoreTest, ARecordHoldsItsSerialOrIsRefused) {
    auto store = Open();
    ASSERT_TRUE(store);
    DiskRecord kept = Sample(0, "line-1", true, UtcNow());
    kept.serial = "ABC01111";
    int taken = -1;
    ASSERT_TRUE(store
                    ->ReserveFirstFree(kept.usb_vid, kept.usb_pid, {kept.serial}, kept.station,
                                       kept.run_id, &taken)
                    .ok);
    ASSERT_EQ(taken, 0);
    ASSERT_TRUE(store->Append(&kept).ok);

    // The reservation is gone (a server that crashed before flushing it):
    // the record takes it again, and no one else can have it afterwards.
    DiskRecord lost = Sample(1, "line-1", true, UtcNow());
    lost.serial = "ABC02222";
    ASSERT_TRUE(store
                    ->ReserveFirstFree(lost.usb_vid, lost.usb_pid, {lost.serial}, lost.station,
                                       lost.run_id, &taken)
                    .ok);
    ASSERT_TRUE(Sql("DELETE FROM serials WHERE serial = 'ABC02222'"));
    const LogResult s = store->Append(&lost);
    ASSERT_TRUE(s.ok) << s.message;
    ASSERT_TRUE(store
                    ->ReserveFirstFree(lost.usb_vid, lost.usb_pid, {lost.serial}, "line-2",
                                       "line-2-run-1", &taken)
                    .ok);
    EXPECT_EQ(taken, -1);

    // Meanwhile another station's disk got the serial: this one is refused.
    DiskRecord beaten = Sample(2, "line-1", true, UtcNow());
    beaten.serial = "ABC03333";
    ASSERT_TRUE(store
                    ->ReserveFirstFree(beaten.usb_vid, beaten.usb_pid, {beaten.serial}, "line-2",
                                       "line-2-run-1", &taken)
                    .ok);
    const LogResult refused = store->Append(&beaten);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.message.find("ABC03333 is no longer reserved"), std::string::npos)
        << refused.message;

    // A serial that was never reserved (a fixed one) needs no reservation.
    DiskRecord fixed = Sample(3, "line-1", true, UtcNow());
    fixed.serial = "ABC03333";
    fixed.serial_reserved = false;
    ASSERT_TRUE(store->Append(&fixed).ok);

    std::vector<DiskRecord> read;
    ASSERT_TRUE(store->Query({}, &read).ok);
    std::vector<int> ports;
    for (const auto& r : read) ports.push_back(r.port);
    EXPECT_EQ(ports, (std::vector<int>{0, 1, 3}));
}

// A disk run again, and then rewritten by a scan: each record supersedes
// the one before, the configured one counts only once complete, and the disk
// counts once, as its latest record says.
TEST_P(StoreTest, ARecordSupersedesItsDisksEarlierOneAndTheDiskCountsOnce) {
    auto store = Open();
    ASSERT_TRUE(store);
    using Key = std::tuple<std::string, std::string, bool, int, std::string, int64_t>;
    auto tallies = [&](const LogFilter& f, int period) {
        std::vector<DiskTally> t;
        EXPECT_TRUE(store->Count(f, period, &t).ok);
        std::vector<Key> keys;
        for (const auto& x : t)
            keys.emplace_back(x.period, x.station, x.passed, x.error_status, x.error_text, x.disks);
        std::sort(keys.begin(), keys.end());
        return keys;
    };
    // The hourly counts the store keeps say what the records say, under
    // every filter they serve.
    auto disks = [&] {
        const std::string hour = UtcNow().substr(0, 13) + ":00:00.000Z";
        std::vector<LogFilter> filters(5);
        filters[1].station = "line-1";
        filters[2].result = 1;
        filters[3].since = hour;
        filters[4].until = hour;
        for (const LogFilter& f : filters) {
            for (int period : {0, 10, 13}) {
                LogFilter records = f;
                records.from_records = true;
                EXPECT_EQ(tallies(f, period), tallies(records, period)) << period;
            }
        }
        std::vector<DiskTally> t;
        EXPECT_TRUE(store->Count({}, 13, &t).ok);
        int64_t passed = 0, failed = 0;
        for (const auto& x : t) (x.passed ? passed : failed) += x.disks;
        return std::make_pair(passed, failed);
    };
    DiskRecord first = Sample(0, "line-1", false, UtcNow());
    first.serial = "ABC01111";
    ASSERT_TRUE(store->Append(&first).ok);
    EXPECT_EQ(disks(), std::make_pair(int64_t{0}, int64_t{1}));

    DiskRecord again = Sample(0, "line-1", false, UtcNow());
    again.serial = "ABC02222";
    again.state = RecordState::Configured;
    again.prior = {first.usb_vid, first.usb_pid, first.serial};
    ASSERT_TRUE(store->Append(&again).ok);
    EXPECT_EQ(again.supersedes, first.id);
    EXPECT_EQ(disks(), std::make_pair(int64_t{0}, int64_t{0}));  // no verdict yet
    DiskRecord found;
    bool unfinished = false;
    ASSERT_TRUE(
        store->FindUnfinished(again.usb_vid, again.usb_pid, "ABC02222", &found, &unfinished).ok);
    ASSERT_TRUE(unfinished);
    EXPECT_EQ(found.id, again.id);
    ASSERT_TRUE(store->Settle(again.id, true, 0, "").ok);
    EXPECT_FALSE(store->Settle(again.id, true, 0, "").ok);  // only once
    EXPECT_EQ(disks(), std::make_pair(int64_t{1}, int64_t{0}));

    DiskRecord scan = Sample(0, "line-1", true, UtcNow());
    scan.kind = RunKind::Scan;
    scan.serial = "ABC03333";
    scan.prior = {again.usb_vid, again.usb_pid, again.serial};
    ASSERT_TRUE(store->Append(&scan).ok);
    EXPECT_EQ(scan.supersedes, again.id);
    EXPECT_EQ(disks(), std::make_pair(int64_t{1}, int64_t{0}));  // still the one disk

    std::vector<DiskRecord> current, all;
    ASSERT_TRUE(store->Query({}, &current).ok);
    ASSERT_EQ(current.size(), 1u);
    EXPECT_EQ(current[0].id, scan.id);
    LogFilter f;
    f.all = true;
    ASSERT_TRUE(store->Query(f, &all).ok);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].superseded_by, again.id);
    EXPECT_EQ(all[1].superseded_by, scan.id);
    EXPECT_EQ(all[1].state, RecordState::Complete);
    f.serial = "ABC02222";
    ASSERT_TRUE(store->Query(f, &all).ok);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(all[0].passed);

    // Edited and deleted by hand, the counts follow the records.
    ASSERT_TRUE(Sql("UPDATE disks SET result = 'fail', error_text = 'x', station = 'line-2'"));
    EXPECT_EQ(disks(), std::make_pair(int64_t{0}, int64_t{1}));
    ASSERT_TRUE(Sql("UPDATE disks SET result = 'pass', superseded_by = 0, counted = 1"));
    EXPECT_EQ(disks(), std::make_pair(int64_t{3}, int64_t{0}));
    ASSERT_TRUE(Sql(GetParam() == "postgresql" ? "TRUNCATE disks" : "DELETE FROM disks"));
    EXPECT_EQ(disks(), std::make_pair(int64_t{0}, int64_t{0}));
}

// Eight ports hand in records at once, again and again, some of them with a
// serial another station holds: every record is committed exactly once with
// its own id or refused on its own, whatever it shared a commit with.
TEST_P(StoreTest, PortsFinishingTogetherAreEachRecordedOnce) {
    auto store = Open();
    ASSERT_TRUE(store);
    int taken = -1;
    ASSERT_TRUE(
        store->ReserveFirstFree(0x1234, 0xABCD, {"HELD0000"}, "other", "other-run", &taken).ok);
    constexpr int kPorts = 8, kEach = 12;
    std::vector<std::vector<LogResult>> results(kPorts);
    std::vector<std::vector<int64_t>> ids(kPorts);
    std::vector<std::thread> ports;
    for (int p = 0; p < kPorts; ++p) {
        ports.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                DiskRecord r = Sample(p, "line-1", true, UtcNow());
                r.serial = "S" + std::to_string(p * 100 + i);
                if ((p + i) % 5 == 0) r.serial = "HELD0000";
                r.steps = {{"disk", static_cast<double>(p * 100 + i)}};
                results[p].push_back(store->Append(&r));
                ids[p].push_back(r.id);
            }
        });
    }
    for (auto& t : ports) t.join();

    std::set<int64_t> distinct;
    std::set<double> expected;
    for (int p = 0; p < kPorts; ++p) {
        for (int i = 0; i < kEach; ++i) {
            const LogResult& s = results[p][static_cast<size_t>(i)];
            if ((p + i) % 5 == 0) {
                EXPECT_FALSE(s.ok) << p << "/" << i;
                EXPECT_NE(s.message.find("no longer reserved"), std::string::npos) << s.message;
                continue;
            }
            ASSERT_TRUE(s.ok) << s.message;
            distinct.insert(ids[p][static_cast<size_t>(i)]);
            expected.insert(static_cast<double>(p * 100 + i));
        }
    }
    std::vector<DiskRecord> read;
    ASSERT_TRUE(store->Query({}, &read).ok);
    ASSERT_EQ(read.size(), expected.size());
    EXPECT_EQ(distinct.size(), expected.size());
    std::set<double> got;
    for (const auto& r : read) {
        EXPECT_TRUE(distinct.count(r.id)) << r.id;
        got.insert(r.steps.at(0).seconds);
    }
    EXPECT_EQ(got, expected);
}

// The server drops the station's connection (a restart, an administrator):
// the disk in flight fails, but the log works again for the next ones.
TEST_P(StoreTest, ALostConnectionIsOpenedAgain) {
    if (!pg_) GTEST_SKIP() << "a PostgreSQL connection";
    auto store = Open();
    ASSERT_TRUE(store);
    DiskRecord first = Sample(0, "line-1", true, UtcNow());
    ASSERT_TRUE(store->Append(&first).ok);
    ASSERT_TRUE(
        Sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = "
            "current_database() AND pid <> pg_backend_pid()"));
    DiskRecord lost = Sample(1, "line-1", true, UtcNow());
    EXPECT_FALSE(store->Append(&lost).ok);  // the connection is found gone here
    int taken = -1;
    const LogResult reserved =
        store->ReserveFirstFree(1, 2, {"R0000002"}, "line-1", "line-1-run-1", &taken);
    EXPECT_TRUE(reserved.ok) << reserved.message;
    EXPECT_EQ(taken, 0);
    DiskRecord next = Sample(2, "line-1", true, UtcNow());
    const LogResult s = store->Append(&next);
    EXPECT_TRUE(s.ok) << s.message;
    std::vector<DiskRecord> read;
    ASSERT_TRUE(store->Query({}, &read).ok);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].port, 2);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

// A station killed while it writes leaves a log that opens as it is, with
// every record whole.
TEST(SqliteStore, KillDuringWritesLeavesAReadableLog) {
    char tmpl[] = "/tmp/galmor-log-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string file = std::string(tmpl) + "/production.db";
    {
        std::string error;
        ASSERT_TRUE(OpenSqliteStore(file, &error)) << error;
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        auto store = OpenSqliteStore(file, &error);
        for (int i = 0; store; ++i) {
            DiskRecord r = Sample(i % 8, "killed", i % 3 != 0, UtcNow());
            r.usb_product = std::string(2000, 'p');  // records span pages
            store->Append(&r);
        }
        _exit(1);
    }
    std::string error;
    auto reader = OpenSqliteStore(file, &error);
    ASSERT_TRUE(reader) << error;
    std::vector<DiskRecord> read;
    // Wait for the writer to be well under way.
    for (int i = 0; i < 2000 && read.size() < 20; ++i) {
        ASSERT_TRUE(reader->Query({}, &read).ok);
        usleep(5000);
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    reader.reset();
    ASSERT_GE(read.size(), 20u);

    auto store = OpenSqliteStore(file, &error);
    ASSERT_TRUE(store) << error;
    std::vector<DiskRecord> after;
    const LogResult s = store->Query({}, &after);
    ASSERT_TRUE(s.ok) << s.message;
    ASSERT_GE(after.size(), read.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].id, static_cast<int64_t>(i) + 1);
        EXPECT_EQ(after[i].usb_product.size(), 2000u);
        EXPECT_EQ(after[i].steps.size(), 2u);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(db);
    std::filesystem::remove_all(tmpl);
}

}  // namespace
