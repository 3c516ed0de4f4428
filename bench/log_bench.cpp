// What the production log costs per disk: one serial reservation (a random
// draw with a prefix), the record written before the configuration block
// and completed with the verdict, and the day's counts for the status line,
// against the SQLite file and against a local PostgreSQL server with fsync
// on. Two ways the disks reach the log: one after another, and eight ports
// at once on their own workers as in an 8-disk run. For each: the wall time
// the log adds per disk (also in units of one plain flush measured in the
// same run), and each disk's own latency (mean, median, 95th percentile), in
// milliseconds.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <latch>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pg_server.h"
#include "prodlog/serials.h"
#include "prodlog/store.h"
#include "prodlog/store_internal.h"

namespace {

using namespace galmor::prodlog;
using Clock = std::chrono::steady_clock;

constexpr int kDisks = 300;

DiskRecord Finished(int port, const std::string& serial) {
    DiskRecord r;
    r.logged_at = UtcNow();
    r.station = "bench";
    r.run_id = "bench-run";
    r.port = port % 8;
    r.device_path = "/dev/sg" + std::to_string(port % 8);
    r.recipe_digest = std::string(64, 'a');
    r.recipe_files = {"Product.ini " + std::string(64, 'b'), "loader.iso " + std::string(64, 'c'),
                      "reserve.bin " + std::string(64, 'd')};
    r.items = {"format", "manufacture", "check-config"};
    r.usb_vid = 0x1234;
    r.usb_pid = 0x5678;
    r.bcd_device = 0x0105;
    r.usb_manufacturer = "Maker";
    r.usb_product = "Flash Disk";
    r.scsi_vendor = "Maker";
    r.scsi_product = "Flash Disk";
    r.serial = serial;
    r.serial_reserved = true;
    r.passed = true;
    r.columns = {{"format", "V", "1 Chip(s)   64 MB"},
                 {"config_string", "String = V", "Write = V"},
                 {"check_config", "V", "Pass"},
                 {"check_wp", "", ""}};
    r.steps = {
        {"format", 2.1}, {"clear-password", 0.01}, {"manufacture", 0.02}, {"check-config", 0.3}};
    return r;
}

struct Figures {
    double wall_per_disk = 0;     // ms of wall time the log adds per disk
    std::vector<double> latency;  // ms from reservation to committed record, per disk
};

// One disk's log work as the run does it: the serial reservation, then the
// record. Returns its latency in ms, or a negative value on failure.
double OneDisk(const char* name, Store& store, int port, std::mt19937* gen) {
    std::uniform_int_distribution<int> pick(0, 0x5F5E);
    const auto t0 = Clock::now();
    SerialRequest req;
    req.vid = 0x1234;
    req.pid = 0x5678;
    req.prefix = "ABC";
    req.station = "bench";
    req.run_id = "bench-run";
    const SerialOutcome o = ReserveSerial(&store, req, [&] {
        char buf[16];
        std::snprintf(buf, sizeof buf, "ABC0%04X", pick(*gen));
        return std::string(buf);
    });
    if (!o.ok) {
        std::fprintf(stderr, "%s: %s\n", name, o.message.c_str());
        return -1;
    }
    // The record before the configuration block goes out, then its verdict.
    DiskRecord r = Finished(port, o.serial);
    r.state = RecordState::Configured;
    r.passed = false;
    LogResult s = store.Append(&r);
    if (s.ok) {
        r.state = RecordState::Complete;
        r.passed = true;
        s = store.Append(&r);
    }
    if (!s.ok) {
        std::fprintf(stderr, "%s: %s\n", name, s.message.c_str());
        return -1;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The window's status line after a disk: the day's counts of this station.
bool DayCounts(Store& store) {
    LogFilter f;
    f.since = UtcNow().substr(0, 10) + "T00:00:00.000Z";
    f.station = "bench";
    std::vector<DiskTally> t;
    return store.Count(f, 0, &t).ok;
}

// Disks one after another: wall time and latency are the same.
bool OneAtATime(const char* name, Store& store, Figures* f) {
    std::mt19937 gen(7);
    const auto t0 = Clock::now();
    for (int disk = 0; disk < kDisks; ++disk) {
        const double ms = OneDisk(name, store, disk, &gen);
        if (ms < 0 || !DayCounts(store)) return false;
        f->latency.push_back(ms);
    }
    f->wall_per_disk =
        std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / kDisks;
    return true;
}

// Runs of eight disks whose ports reach the log at the same moment, each on
// its own worker as in a run: the wall time from the first port starting to
// the last record committed, per disk, and each disk's own latency.
bool EightPorts(const char* name, Store& store, Figures* f) {
    constexpr int kPorts = 8;
    double wall = 0;
    for (int run = 0; run < kDisks / kPorts; ++run) {
        std::latch start(kPorts + 1);
        std::vector<double> ms(kPorts, -1);
        std::vector<std::thread> ports;
        for (int p = 0; p < kPorts; ++p) {
            ports.emplace_back([&, p] {
                std::mt19937 gen(static_cast<unsigned>(run * kPorts + p));
                start.arrive_and_wait();
                ms[static_cast<size_t>(p)] = OneDisk(name, store, p, &gen);
            });
        }
        start.arrive_and_wait();
        const auto t0 = Clock::now();
        for (auto& t : ports) t.join();
        wall += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        for (double v : ms) {
            if (v < 0) return false;
            f->latency.push_back(v);
        }
    }
    f->wall_per_disk = wall / static_cast<double>(f->latency.size());
    return true;
}

void Print(const char* store, const char* mode, Figures f, double flush_ms) {
    double sum = 0;
    for (double v : f.latency) sum += v;
    std::sort(f.latency.begin(), f.latency.end());
    const size_t n = f.latency.size();
    std::printf("| %s | %s | %zu | %.2f | %.2f | %.2f | %.2f | %.2f |\n", store, mode, n,
                f.wall_per_disk, flush_ms > 0 ? f.wall_per_disk / flush_ms : 0.0, sum / n,
                f.latency[n / 2], f.latency[n * 95 / 100]);
}

bool Measure(const char* name, Store& store, double flush_ms) {
    Figures one, eight;
    if (!OneAtATime(name, store, &one)) return false;
    Print(name, "one disk at a time", one, flush_ms);
    if (!EightPorts(name, store, &eight)) return false;
    Print(name, "8 ports at once", eight, flush_ms);
    return true;
}

// The floor under any durable log on this machine: one 4 KiB write and
// fdatasync, as a commit costs at least.
double MeasureFlush(const std::string& folder) {
    const std::string file = folder + "/flush";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return 0;
    std::vector<char> page(4096, 'x');
    std::vector<double> ms;
    for (int i = 0; i < kDisks; ++i) {
        const auto t0 = Clock::now();
        if (::pwrite(fd, page.data(), page.size(), static_cast<off_t>(i) * 4096) < 0 ||
            ::fdatasync(fd) != 0) {
            break;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    ::close(fd);
    if (ms.empty()) return 0;
    double sum = 0;
    for (double v : ms) sum += v;
    const double mean = sum / static_cast<double>(ms.size());
    std::sort(ms.begin(), ms.end());
    std::printf(
        "| 4 KiB write + fdatasync (reference) | one at a time | %zu | %.2f | 1.00 | %.2f | "
        "%.2f | %.2f |\n",
        ms.size(), mean, mean, ms[ms.size() / 2], ms[ms.size() * 95 / 100]);
    return mean;
}

// A log with `records` disks of four stations over the last 30 days (5 %
// failed), written straight into the file in one transaction.
bool FillHistory(const std::string& file, int records) {
    {
        std::string error;
        if (!OpenSqliteStore(file, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) return false;
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    std::string sql = "INSERT INTO disks (" + detail::DiskColumnList() + ", counted) VALUES (";
    for (int i = 1; i <= detail::kDiskColumnCount; ++i) sql += "?" + std::to_string(i) + ", ";
    sql += "1)";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return false;
    const auto now = std::chrono::system_clock::now();
    for (int i = 0; i < records; ++i) {
        const auto at =
            now - std::chrono::milliseconds(static_cast<int64_t>(i) * 2592000000LL / records);
        const std::time_t secs = std::chrono::system_clock::to_time_t(at);
        std::tm tm{};
        gmtime_r(&secs, &tm);
        char stamp[48];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        char serial[16];
        std::snprintf(serial, sizeof serial, "H%07d", i);
        DiskRecord r = Finished(i, serial);
        r.logged_at = stamp;
        r.station = i % 4 == 0 ? "bench" : "line-" + std::to_string(i % 4);
        r.passed = i % 20 != 0;
        if (!r.passed) {
            r.error_status = 0x9B;
            r.error_text = "Format Error";
        }
        const auto row = detail::RecordRow(r);
        for (size_t c = 0; c < row.size(); ++c) {
            sqlite3_bind_text(st, static_cast<int>(c) + 1, row[c].c_str(),
                              static_cast<int>(row[c].size()), SQLITE_TRANSIENT);
        }
        if (sqlite3_step(st) != SQLITE_DONE) return false;
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    const bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_exec(db, "ANALYZE", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return ok;
}

// The same history in a PostgreSQL database, generated by the server in
// one statement (the same stations, times, serials and failures).
bool FillPgHistory(ufdtest::PgServer& pg, const std::string& url, int records) {
    {
        std::string error;
        if (!OpenPostgresStore(url, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
    }
    const auto row = detail::RecordRow(Finished(0, ""));
    const std::string n = std::to_string(records);
    const std::string db = url.substr(std::string("postgresql:///").size(),
                                      url.find('?') - std::string("postgresql:///").size());
    std::string sql = "INSERT INTO disks (" + detail::DiskColumnList() + ", counted) SELECT ";
    for (int c = 0; c < detail::kDiskColumnCount; ++c) {
        const std::string name = detail::kDiskColumns[c];
        std::string v;
        if (name == "logged_at") {
            v = "to_char((now() AT TIME ZONE 'UTC') - make_interval(secs => g * 2592000.0 / " + n +
                "), 'YYYY-MM-DD\"T\"HH24:MI:SS\".000Z\"')";
        } else if (name == "station") {
            v = "CASE WHEN g % 4 = 0 THEN 'bench' ELSE 'line-' || (g % 4) END";
        } else if (name == "port") {
            v = "g % 8";
        } else if (name == "device_path") {
            v = "'/dev/sg' || (g % 8)";
        } else if (name == "serial") {
            v = "'H' || lpad(g::text, 7, '0')";
        } else if (name == "result") {
            v = "CASE WHEN g % 20 = 0 THEN 'fail' ELSE 'pass' END";
        } else if (name == "error_status") {
            v = "CASE WHEN g % 20 = 0 THEN 155 ELSE 0 END";
        } else if (name == "error_text") {
            v = "CASE WHEN g % 20 = 0 THEN 'Format Error' ELSE '' END";
        } else if (detail::IntegerColumn(name)) {
            v = row[static_cast<size_t>(c)];
        } else {
            v = "$v$" + row[static_cast<size_t>(c)] + "$v$";
        }
        sql += v + ", ";
    }
    // VACUUM: the tables as autovacuum leaves a log that grew over weeks (the
    // records' visibility map set, so counts over them read their indexes
    // alone; the hourly counts without the dead rows of a million updates
    // made here in one statement).
    sql += "1 FROM generate_series(0, " + std::to_string(records - 1) + ") g";
    std::string out;
    if (!pg.Psql(db, sql, &out) || !pg.Psql(db, "VACUUM ANALYZE disks, disk_hours", &out)) {
        std::fprintf(stderr, "filling the history: %s\n", out.c_str());
        return false;
    }
    return true;
}

// Runs `galmor log` with `args` on the file, output thrown away: its wall
// time in s and its peak memory in MB.
bool GalmorLog(const std::string& file, const std::vector<std::string>& args, double* seconds,
               double* mb) {
    std::error_code ec;
    const auto galmor =
        std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / "galmor";
    std::vector<std::string> all = {galmor.string(), "log", "--log", file};
    all.insert(all.end(), args.begin(), args.end());
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    if (::wait4(pid, &status, 0, &ru) != pid) return false;
    *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    *mb = static_cast<double>(ru.ru_maxrss) / 1024.0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The log's cost with a long history: a run's disks (reservation, record
// before the block, verdict, the day's counts) and `galmor log`.
// `pg` null: the SQLite file in `folder`; else a new database on that server.
bool History(const std::string& folder, ufdtest::PgServer* pg, int records, double flush_ms) {
    const std::string file = pg ? pg->NewDatabase() : folder + "/history.db";
    const char* name = pg ? "PostgreSQL with history" : "SQLite with history";
    const auto t0 = Clock::now();
    if (pg ? !FillPgHistory(*pg, file, records) : !FillHistory(file, records)) return false;
    std::printf("\n%s: %d records over 30 days, 4 stations (filled in %.1f s)\n\n", name, records,
                std::chrono::duration<double>(Clock::now() - t0).count());
    std::printf(
        "| store | disks reach the log | disks | wall ms added per disk | in flushes | latency "
        "ms mean | median | 95th percentile |\n|---|---|---|---|---|---|---|---|\n");
    {
        std::string error;
        auto store = OpenStore(file, &error);
        if (!store) std::fprintf(stderr, "%s\n", error.c_str());
        if (!store || !Measure(name, *store, flush_ms)) return false;
    }
    {
        // The window's status line alone, as each run's end reads it.
        std::string error;
        auto store = OpenStore(file, &error);
        if (!store) return false;
        constexpr int kReads = 50;
        const auto c0 = Clock::now();
        for (int i = 0; i < kReads; ++i) {
            if (!DayCounts(*store)) return false;
        }
        std::printf("\nThe day's counts of one station (status line): %.2f ms\n",
                    std::chrono::duration<double, std::milli>(Clock::now() - c0).count() / kReads);
    }
    std::printf("\n| galmor log | seconds | peak MB |\n|---|---|---|\n");
    const std::vector<std::pair<const char*, std::vector<std::string>>> runs = {
        {"--summary", {"--summary"}},
        {"--summary --utc", {"--summary", "--utc"}},
        {"(table)", {}},
        {"--format json", {"--format", "json"}},
    };
    for (const auto& [name, args] : runs) {
        double secs = 0, mb = 0;
        if (!GalmorLog(file, args, &secs, &mb)) {
            std::fprintf(stderr, "galmor log %s failed\n", name);
            return false;
        }
        std::printf("| %s | %.2f | %.1f |\n", name, secs, mb);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // --history N [--store sqlite|postgresql]: only the figures on a log of
    // N records (SQLite unless said otherwise).
    const int history = argc >= 3 && std::string(argv[1]) == "--history" ? std::atoi(argv[2]) : 0;
    const bool on_pg =
        argc == 5 && std::string(argv[3]) == "--store" && std::string(argv[4]) == "postgresql";
    if (history > 0) {
        char dir[] = "/tmp/galmor-log-bench-XXXXXX";
        if (!mkdtemp(dir)) return 1;
        const double flush_ms = MeasureFlush(dir);
        ufdtest::PgServer* pg = nullptr;
        if (on_pg) {
            std::string skip;
            pg = ufdtest::PgServer::Get(&skip, true);
            if (!pg || !pg->ok()) {
                std::fprintf(stderr, "PostgreSQL: %s\n", pg ? pg->error().c_str() : skip.c_str());
                return 1;
            }
        }
        const bool ok = History(dir, pg, history, flush_ms);
        std::filesystem::remove_all(dir);
        return ok ? 0 : 1;
    }
    char tmpl[] = "/tmp/galmor-log-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::printf(
        "| store | disks reach the log | disks | wall ms added per disk | in flushes | latency "
        "ms mean | median | 95th percentile |\n|---|---|---|---|---|---|---|---|\n");
    bool ok = true;
    const double flush_ms = MeasureFlush(tmpl);
    {
        std::string error;
        auto store = OpenSqliteStore(std::string(tmpl) + "/production.db", &error);
        if (!store) {
            std::fprintf(stderr, "%s\n", error.c_str());
            ok = false;
        } else {
            ok = Measure("SQLite (WAL, synchronous=FULL)", *store, flush_ms) && ok;
        }
    }
    std::filesystem::remove_all(tmpl);

    std::string skip;
    ufdtest::PgServer* pg = ufdtest::PgServer::Get(&skip, true);
    if (!pg) {
        std::printf("PostgreSQL: %s\n", skip.c_str());
        return ok ? 0 : 1;
    }
    if (!pg->ok()) {
        std::fprintf(stderr, "%s\n", pg->error().c_str());
        return 1;
    }
    std::string error;
    auto store = OpenStore(pg->NewDatabase(), &error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    ok = Measure("PostgreSQL (local socket, fsync on)", *store, flush_ms) && ok;
    return ok ? 0 : 1;
}
