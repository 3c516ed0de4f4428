// The galmor program with its production log, on simulated buses: what it
// records against the JSON report, a kill in the middle of a run, and four
// stations drawing serial numbers from one nearly full PostgreSQL log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "pg_server.h"
#include "prodlog/digest.h"
#include "prodlog/store.h"
#include "simbus/bus.h"

extern char** environ;

namespace {

using namespace galmor::prodlog;
using nlohmann::json;
namespace fs = std::filesystem;

const std::string kGalmor = std::string(UFD_BIN_DIR) + "/galmor";
constexpr uint16_t kVid = 0x1234, kPid = 0x5678;
// The prefix draw: prefix, "0", then four hex digits of a number below 10^8
// shifted right by 12 bits, so 0000 to 5F5E.
constexpr int kPrefixValues = 0x5F5F;

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string PrefixSerial(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "ABC0%04X", v);
    return buf;
}

// One station: a bus of its own, a recipe folder and a galmor process.
class StationRig {
  public:
    explicit StationRig(const std::string& root) : root_(root), bus_(root + "/bus") {
        fs::create_directories(root + "/bus");
        fs::create_directories(root + "/sarnik");
        const std::string files = root + "/home/files/";
        WriteFile(files + "7301.img", std::string(128 * 512, 'L'));
        WriteFile(files + "Reserve.img", std::string(1000, 'R'));
        WriteFile(root + "/home/Product.ini",
                  "[VID/PID]\r\nVID=1234\r\nPID=5678\r\n"
                  "[USB MANUFACTURE STRING]\r\nKorva\r\n"
                  "[USB PRODUCT STRING]\r\nFlash Disk\r\n"
                  "[SCSI MANUFACTURE STRING]\r\nKORVA\r\n"
                  "[SCSI PRODUCT STRING]\r\nFLASH DISK\r\n"
                  "[PARTITION STATUS]\r\nParNum=1\r\n1st=1\r\n"
                  "[DISK LABEL]\r\nPRODUCT\r\n"
                  "[DISK CAPACITY]\r\nSize=16\r\n"
                  "[7301 Compare Disk Flag]\r\nFalse\r\n"
                  "[Serial Number]\r\nABC\r\n"
                  "[7301 Files Directory]\r\n" +
                      files + "\r\n");
    }

    std::string Plug(bool password = false, simbus::Timing timing = simbus::Timing::None) {
        simbus::PlugOptions o;
        o.device.chips = {0x73};
        o.device.password = password;
        o.timing = timing;
        return bus_.plug(o);
    }
    simbus::Bus& bus() { return bus_; }
    std::string home() const { return root_ + "/home"; }
    std::string report() const { return root_ + "/report.json"; }

    // Starts `galmor --headless --action run` with the given extra arguments.
    pid_t Start(const std::vector<std::string>& extra, const std::string& action = "run") {
        std::vector<std::string> args = {kGalmor, "--headless", "--home", home()};
        if (!action.empty()) {
            args.insert(args.end(), {"--action", action, "--report", report()});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        return Spawn(args);
    }
    // Runs galmor with `args` (after the program's name) to its end; its exit
    // code, its output in *out.
    int Galmor(const std::vector<std::string>& args, std::string* out) {
        std::vector<std::string> all = {kGalmor};
        all.insert(all.end(), args.begin(), args.end());
        const pid_t pid = Spawn(all);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        *out = Output();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t Spawn(std::vector<std::string> args) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string v = *e;
            if (v.rfind("SARNIK_", 0) == 0 || v.rfind("XDG_STATE_HOME=", 0) == 0) continue;
            env.push_back(v);
        }
        env.push_back("SARNIK_SIM_BUS=" + root_ + "/bus");
        env.push_back("SARNIK_ROOT=" + root_ + "/sarnik");
        env.push_back("XDG_STATE_HOME=" + root_ + "/state");
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        const std::string out = root_ + "/galmor.out";
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        pid_t pid = -1;
        if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&fa);
        return pid;
    }
    std::string Output() const { return ReadFile(root_ + "/galmor.out"); }

    // The serial the controller of each device holds, by device id.
    std::map<std::string, std::string> Serials() const {
        std::map<std::string, std::string> out;
        for (const auto& id : bus_.list()) {
            const auto j = bus_.inspect(id);
            if (!j) continue;
            const auto& cfg = (*j)["device"]["config_block"];
            if (cfg.value("stored", false)) out[id] = cfg.value("serial", "");
        }
        return out;
    }

  private:
    std::string root_;
    simbus::Bus bus_;
};

int Wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class StationLogTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        ASSERT_EQ(access(kGalmor.c_str(), X_OK), 0) << kGalmor << " is not built";
        char tmpl[] = "/tmp/galmor-station-log-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        if (GetParam() == "postgresql") {
            std::string skip;
            pg_ = ufdtest::PgServer::Get(&skip);
            if (!pg_) GTEST_SKIP() << skip;
            ASSERT_TRUE(pg_->ok()) << pg_->error();
            url_ = pg_->NewDatabase();
            ASSERT_FALSE(url_.empty()) << pg_->error();
        } else {
            url_ = dir_ + "/production.db";
        }
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    std::vector<DiskRecord> Records() {
        std::string error;
        auto store = OpenStore(url_, &error);
        EXPECT_TRUE(store) << error;
        std::vector<DiskRecord> out;
        if (store) {
            EXPECT_TRUE(store->Query({}, &out).ok);
        }
        return out;
    }

    ufdtest::PgServer* pg_ = nullptr;
    std::string dir_, url_;
};

TEST_P(StationLogTest, RecordsMatchTheJsonReportFieldForField) {
    StationRig s(dir_ + "/s1");
    std::vector<std::string> ids;
    for (int i = 0; i < 4; ++i) ids.push_back(s.Plug(i == 2));
    simbus::PlugOptions unreadable;  // its device information stays unreadable
    unreadable.device.chips = {0x73};
    unreadable.faults = {{0x75, 1, false}, {0x75, 2, false}};
    ids.push_back(s.bus().plug(unreadable));
    const pid_t pid = s.Start({"--log", url_, "--station", "line-7"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Wait(pid), 1) << s.Output();  // one disk has a password
    EXPECT_NE(s.Output().find("Status line: Today: 3 passed, 2 failed, yield 60.0 %"),
              std::string::npos)
        << s.Output();

    const json report = json::parse(ReadFile(s.report()));
    const auto records = Records();
    ASSERT_EQ(records.size(), 5u);
    const auto serials = s.Serials();

    std::string ini, loader, reserve, error;
    ASSERT_TRUE(Sha256File(s.home() + "/Product.ini", &ini, &error)) << error;
    ASSERT_TRUE(Sha256File(s.home() + "/files/7301.img", &loader, &error)) << error;
    ASSERT_TRUE(Sha256File(s.home() + "/files/Reserve.img", &reserve, &error)) << error;
    const RecipeDigest recipe =
        DigestRecipe({{"Product.ini", ini}, {"7301.img", loader}, {"Reserve.img", reserve}});

    std::set<int> ports;
    for (const auto& r : records) {
        SCOPED_TRACE("port " + std::to_string(r.port));
        ASSERT_GE(r.port, 0);
        ASSERT_LT(r.port, 5);
        ports.insert(r.port);
        const json& p = report["ports"][static_cast<size_t>(r.port)];
        EXPECT_EQ(p["index"], r.port);
        EXPECT_EQ(p["device_path"], r.device_path);
        EXPECT_EQ(p["error_status"], r.error_status);
        EXPECT_EQ(p["picture"] == 4, r.passed);
        ASSERT_EQ(r.columns.size(), 4u);
        for (const auto& c : r.columns) {
            EXPECT_EQ(p[c.column]["mark"], c.mark) << c.column;
            EXPECT_EQ(p[c.column]["text"], c.text) << c.column;
        }
        EXPECT_EQ(r.station, "line-7");
        EXPECT_EQ(r.run_id, records[0].run_id);
        EXPECT_EQ(r.kind, RunKind::Production);
        EXPECT_EQ(r.recipe_digest, recipe.digest);
        EXPECT_EQ(r.recipe_files, recipe.files);
        EXPECT_EQ(r.items, (std::vector<std::string>{"format", "manufacture", "check-config"}));
        EXPECT_EQ(r.logged_at.size(), 24u);

        // The disk's controller holds what the record says was written.
        std::string id;
        for (const auto& d : ids) {
            if (r.device_path.find("#" + d + "&") != std::string::npos) id = d;
        }
        ASSERT_FALSE(id.empty()) << r.device_path;
        if (r.passed) {
            ASSERT_EQ(serials.count(id), 1u);
            EXPECT_EQ(r.serial, serials.at(id));
            EXPECT_TRUE(r.serial_reserved);
            EXPECT_EQ(r.serial.substr(0, 4), "ABC0");
            EXPECT_EQ(r.usb_vid, kVid);
            EXPECT_EQ(r.usb_pid, kPid);
            EXPECT_EQ(r.bcd_device >> 8, 0x01);
            EXPECT_EQ(r.usb_manufacturer, "Korva");
            EXPECT_EQ(r.usb_product, "Flash Disk");
            EXPECT_EQ(r.scsi_vendor, "KORVA");
            EXPECT_EQ(r.scsi_product, "FLASH DISK");
            std::vector<std::string> steps;
            for (const auto& st : r.steps) {
                steps.push_back(st.step);
                EXPECT_GT(st.seconds, 0.0) << st.step;
                EXPECT_LT(st.seconds, 60.0) << st.step;
            }
            EXPECT_EQ(steps, (std::vector<std::string>{"format", "clear-password", "manufacture",
                                                       "check-config"}));
        } else {
            const bool noInfo = id == ids[4];
            EXPECT_EQ(serials.count(id), 0u);
            EXPECT_EQ(r.error_status, noInfo ? 0x75 : 0x7F);
            EXPECT_EQ(r.error_text, noInfo ? "Error Status = 75" : "Password Exists");
            EXPECT_TRUE(r.serial.empty());
            ASSERT_EQ(r.steps.size(), noInfo ? 0u : 1u);
            EXPECT_TRUE(noInfo || r.steps[0].step == "format");
        }
    }
    EXPECT_EQ(ports.size(), 5u);  // each disk once
}

// Disks that fail early finish seconds before slow ones; a kill -9 between
// them leaves exactly the finished disks in the log.
TEST_P(StationLogTest, KillDuringARunLeavesExactlyTheFinishedDisks) {
    StationRig s(dir_ + "/s1");
    std::set<std::string> early;
    for (int i = 0; i < 8; ++i) {
        const bool quick = i % 2 == 1;
        const std::string id = s.Plug(quick, quick ? simbus::Timing::None : simbus::Timing::Usb1);
        if (quick) early.insert(id);
    }
    const pid_t pid = s.Start({"--log", url_});
    ASSERT_GT(pid, 0);
    std::string error;
    std::unique_ptr<Store> reader;
    std::vector<DiskRecord> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (seen.size() < early.size() && std::chrono::steady_clock::now() < deadline) {
        if (!reader) reader = OpenStore(url_, &error);
        if (reader) reader->Query({}, &seen);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    Wait(pid);
    reader.reset();
    ASSERT_EQ(seen.size(), early.size()) << s.Output();

    // Opened again as a new start would open it.
    const auto records = Records();
    ASSERT_EQ(records.size(), early.size()) << "a slow disk finished before the kill?";
    for (const auto& r : records) {
        bool found = false;
        for (const auto& id : early)
            found |= r.device_path.find("#" + id + "&") != std::string::npos;
        EXPECT_TRUE(found) << r.device_path;
        EXPECT_EQ(r.error_status, 0x7F);
        EXPECT_EQ(r.columns.size(), 4u);
    }
    // None of the slow disks had its configuration written.
    EXPECT_TRUE(s.Serials().empty());
}

// The log refuses one disk's record (here a trigger; a full disk or a lost
// reservation in the field): that disk fails with 0x87 and a message, while
// the disks that finished with it, possibly in the same commit, are recorded
// and pass.
TEST_P(StationLogTest, ADiskTheLogRefusesIsFailedAndTheOthersAreKept) {
    {
        std::string error;
        ASSERT_TRUE(OpenStore(url_, &error)) << error;  // the tables
    }
    if (pg_) {
        std::string db = url_.substr(std::string("postgresql:///").size()), out;
        db = db.substr(0, db.find('?'));
        ASSERT_TRUE(pg_->Psql(db,
                              "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
                              "$$BEGIN RAISE EXCEPTION 'log refused'; END$$; "
                              "CREATE TRIGGER refuse BEFORE INSERT ON disks FOR EACH ROW "
                              "WHEN (NEW.port = 1) EXECUTE FUNCTION refuse();",
                              &out))
            << out;
    } else {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(url_.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db,
                               "CREATE TRIGGER refuse BEFORE INSERT ON disks WHEN NEW.port = 1 "
                               "BEGIN SELECT RAISE(ABORT, 'log refused'); END",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    StationRig s(dir_ + "/s1");
    for (int i = 0; i < 4; ++i) s.Plug();
    const pid_t pid = s.Start({"--log", url_});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Wait(pid), 1) << s.Output();
    EXPECT_NE(s.Output().find("Disk 1 is not in the production log and counts as failed"),
              std::string::npos)
        << s.Output();

    const json report = json::parse(ReadFile(s.report()));
    for (int port = 0; port < 4; ++port) {
        const json& p = report["ports"][static_cast<size_t>(port)];
        EXPECT_EQ(p["error_status"], port == 1 ? 0x87 : 0) << port;
        EXPECT_EQ(p["picture"] == 4, port != 1) << port;
    }
    std::set<int> ports;
    for (const auto& r : Records()) {
        EXPECT_TRUE(r.passed);
        ports.insert(r.port);
    }
    EXPECT_EQ(ports, (std::set<int>{0, 2, 3}));
}

// Disks run twice without leaving the station, then scanned: each new
// record supersedes the disk's current one, the yield counts each disk once,
// and --all still lists the superseded records.
TEST_P(StationLogTest, ADiskRunAgainOrScannedCountsOnce) {
    StationRig s(dir_ + "/s1");
    s.Plug();
    s.Plug();
    std::string out;
    for (const char* action : {"run", "run", "scan"}) {
        EXPECT_EQ(Wait(s.Start({"--log", url_}, action)), 0) << action << "\n" << s.Output();
    }
    std::string error;
    auto store = OpenStore(url_, &error);
    ASSERT_TRUE(store) << error;
    std::vector<DiskRecord> all, current;
    LogFilter everything;
    everything.all = true;
    ASSERT_TRUE(store->Query(everything, &all).ok);
    ASSERT_TRUE(store->Query({}, &current).ok);
    ASSERT_EQ(all.size(), 6u);
    ASSERT_EQ(current.size(), 2u);
    std::map<int64_t, DiskRecord> by_id;
    for (const auto& r : all) by_id[r.id] = r;
    const auto serials = s.Serials();
    for (const auto& r : current) {
        // Scan -> second run -> first run, one disk's history: each new serial.
        EXPECT_TRUE(std::any_of(serials.begin(), serials.end(), [&](const auto& kv) {
            return kv.second == r.serial &&
                   r.device_path.find("#" + kv.first + "&") != std::string::npos;
        }));
        const DiskRecord& second = by_id[r.supersedes];
        const DiskRecord& first = by_id[second.supersedes];
        EXPECT_EQ(std::make_tuple(r.kind, second.kind, first.kind, first.supersedes),
                  std::make_tuple(RunKind::Scan, RunKind::Production, RunKind::Production, 0));
        EXPECT_EQ(std::make_pair(second.superseded_by, first.superseded_by),
                  std::make_pair(r.id, second.id));
        EXPECT_EQ(std::set<std::string>({r.serial, second.serial, first.serial}).size(), 3u);
    }
    EXPECT_EQ(s.Galmor({"log", "--log", url_, "--summary", "--format", "csv"}, &out), 0) << out;
    EXPECT_NE(out.find(",2,2,0,100.0,"), std::string::npos) << out;
    EXPECT_EQ(s.Galmor({"log", "--log", url_, "--all"}, &out), 0) << out;
    EXPECT_NE(out.find("\n6 records"), std::string::npos) << out;
    for (const auto& r : all) {
        if (r.superseded_by == 0) continue;
        EXPECT_NE(out.find("(superseded by " + std::to_string(r.superseded_by) + ")"),
                  std::string::npos)
            << out;
    }
}

// A full disk under the SQLite log: the log on a small file system of its
// own (a tmpfs in a mount namespace of the station's) with room for the
// start-up and the serial's reservation but not for the disk's record. The
// disk fails with 0x87, no configuration is written, and the message names
// the cause.
TEST_P(StationLogTest, AFullDiskFailsTheDiskWithTheRealCause) {
    if (pg_) GTEST_SKIP() << "the SQLite file";
    if (std::system("unshare -Urm true 2>/dev/null") != 0) {
        GTEST_SKIP() << "no mount namespace for an unprivileged user here (unshare -Urm)";
    }
    {
        std::string error;
        ASSERT_TRUE(OpenStore(url_, &error)) << error;  // the tables; closed, no -wal left
    }
    StationRig s(dir_ + "/s1");
    s.Plug();
    // 48 KiB left: the shared-memory index (32 KiB) and the reservation's
    // two pages fit; the record's pages (the table and its indexes) do not.
    const std::string full = dir_ + "/full";
    fs::create_directories(full);
    const std::string script = "mount -t tmpfs -o size=1m,mode=0700 none " + full + " && cp -p " +
                               url_ + " " + full + "/p.db && { dd if=/dev/zero of=" + full +
                               "/fill bs=4k 2>/dev/null; truncate -s -48K " + full +
                               "/fill; } && exec \"$0\" \"$@\"";
    const pid_t pid =
        s.Spawn({"unshare", "-Urm", "sh", "-c", script, kGalmor, "--headless", "--home", s.home(),
                 "--action", "run", "--report", s.report(), "--log", full + "/p.db"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Wait(pid), 1) << s.Output();
    EXPECT_NE(s.Output().find("database or disk is full"), std::string::npos) << s.Output();
    EXPECT_EQ(s.Output().find("no transaction is active"), std::string::npos) << s.Output();
    const json report = json::parse(ReadFile(s.report()));
    EXPECT_EQ(report["ports"][0]["error_status"], 0x87);
    bool named = false;
    for (const auto& m : report["messages"]) {
        named |= m.get<std::string>().find("database or disk is full") != std::string::npos;
    }
    EXPECT_TRUE(named) << report.dump();
    EXPECT_TRUE(s.Serials().empty());
}

// Checks one killed station; counts in *cut the disks it left unfinished.
// `faulty`: the device of a fault row, which ended its job with a failure
// and may fail the scan too; "" for a killed station.
void CheckAfterKill(StationRig* rig, const std::string& url, const std::string& faulty,
                    std::atomic<int>* cut);

// kill -9 at a random moment between the first configuration write and the
// end of a run: every disk that carries a configuration has a record; the
// next start shows the unfinished ones, and a scan completes each, and its
// rewrite supersedes them, so every disk counts once. The last rows are not
// killed: one disk of each leaves (or fails a command) at a fixed moment of
// its job, and comes back before the scan.
TEST_P(StationLogTest, AKillAtAnyMomentLeavesNoConfiguredDiskWithoutARecord) {
    const std::vector<simbus::Fault> faults = {{0x82, 1, true}, {0x75, 4, true}, {0x75, 3, false}};
    const int kills = pg_ ? 10 : 30, seeds = kills + static_cast<int>(faults.size()), batch = 15;
    std::atomic<int> cut{0};
    for (int first = 0; first < seeds; first += batch) {
        struct Rig {
            std::unique_ptr<StationRig> rig;
            std::string url;
            pid_t pid = -1;
            std::chrono::milliseconds delay{0};
            std::string faulty;  // the device of a fault row
        };
        std::vector<Rig> rigs;
        for (int seed = first; seed < std::min(seeds, first + batch); ++seed) {
            Rig r;
            r.rig = std::make_unique<StationRig>(dir_ + "/k" + std::to_string(seed));
            r.url = pg_ ? pg_->NewDatabase() : dir_ + "/k" + std::to_string(seed) + "/p.db";
            r.rig->Plug();
            if (seed < kills) {
                r.rig->Plug();
            } else {
                simbus::PlugOptions o;
                o.device.chips = {0x73};
                o.faults = {faults[static_cast<size_t>(seed - kills)]};
                r.faulty = r.rig->bus().plug(o);
            }
            std::mt19937 gen(static_cast<unsigned>(seed));
            r.delay = std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 1600)(gen));
            r.pid = r.rig->Start({"--log", r.url});
            ASSERT_GT(r.pid, 0);
            rigs.push_back(std::move(r));
        }
        // Each station is killed its delay after its first disk holds a
        // configuration (or not at all when it has ended by then).
        std::vector<std::thread> killers;
        for (auto& r : rigs) {
            killers.emplace_back([&r] {
                if (!r.faulty.empty()) {
                    Wait(r.pid);
                    r.rig->bus().replug(r.faulty);
                    return;
                }
                const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                while (r.rig->Serials().empty() && std::chrono::steady_clock::now() < give_up) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                std::this_thread::sleep_for(r.delay);
                kill(r.pid, SIGKILL);
                Wait(r.pid);
            });
        }
        for (auto& t : killers) t.join();
        // The stations start again side by side, as the floor would.
        std::vector<std::thread> checks;
        for (auto& r : rigs) {
            checks.emplace_back([&r, &cut] { CheckAfterKill(r.rig.get(), r.url, r.faulty, &cut); });
        }
        for (auto& t : checks) t.join();
    }
    EXPECT_GT(cut, 0) << "no kill fell between a configuration write and its verdict";
}

void CheckAfterKill(StationRig* rig, const std::string& url, const std::string& faulty,
                    std::atomic<int>* cut) {
    {
        SCOPED_TRACE(url);
        struct {
            StationRig* rig;
            std::string url;
        } r{rig, url};
        std::string error;
        auto store = OpenStore(r.url, &error);
        ASSERT_TRUE(store) << error;
        std::vector<DiskRecord> before;
        ASSERT_TRUE(store->Query({}, &before).ok);
        bool unfinished = false;
        // Disks the kill caught before their configuration carry none:
        // they were never made, and a scan's record does not count them.
        const auto configured = r.rig->Serials();
        for (const auto& [id, carried] : configured) {
            const std::string& serial = carried;
            const auto it = std::find_if(before.begin(), before.end(),
                                         [&](const DiskRecord& d) { return d.serial == serial; });
            ASSERT_NE(it, before.end())
                << "disk " << id << " carries " << serial << " and the log knows nothing of it";
            if (it->state == RecordState::Configured) {
                unfinished = true;
                ++*cut;
            }
        }
        store.reset();
        std::string out;
        if (unfinished) {
            EXPECT_EQ(r.rig->Galmor({"--headless", "--home", r.rig->home(), "--log", r.url}, &out),
                      0);
            EXPECT_NE(out.find("Not verified"), std::string::npos) << out;
        }
        const int scanned = r.rig->Galmor(
            {"--headless", "--home", r.rig->home(), "--action", "scan", "--log", r.url}, &out);
        EXPECT_TRUE(scanned == 0 || (!faulty.empty() && scanned == 1)) << out;
        store = OpenStore(r.url, &error);
        ASSERT_TRUE(store) << error;
        std::vector<DiskRecord> all, current;
        LogFilter everything;
        everything.all = true;
        ASSERT_TRUE(store->Query(everything, &all).ok);
        ASSERT_TRUE(store->Query({}, &current).ok);
        const auto serials = r.rig->Serials();
        for (const auto& d : all) {
            // What the kill cut short is complete now, and replaced by
            // the scan's rewrite.
            if (d.kind == RunKind::Production && d.superseded_by != 0) {
                EXPECT_EQ(d.state, RecordState::Complete) << d.serial;
            }
            if (d.state == RecordState::Configured) {
                EXPECT_TRUE(std::none_of(serials.begin(), serials.end(),
                                         [&](const auto& kv) { return kv.second == d.serial; }));
            }
        }
        for (const auto& kv : serials) {
            const std::string& serial = kv.second;
            const auto it = std::find_if(current.begin(), current.end(),
                                         [&](const DiskRecord& d) { return d.serial == serial; });
            ASSERT_NE(it, current.end()) << serial;
            EXPECT_EQ(it->state, RecordState::Complete);
            // A disk that left during its check shows as finished when it
            // comes back: the scan leaves it, and its failed verdict stands.
            if (kv.first == faulty && it->kind == RunKind::Production && !it->passed) continue;
            EXPECT_TRUE(it->passed);
            EXPECT_EQ(it->kind, RunKind::Scan);
            EXPECT_EQ(it->supersedes != 0, configured.count(kv.first) == 1) << serial;
        }
        // The hourly counts the store keeps and the records agree.
        int64_t counted = 0, recounted = 0;
        for (const bool from_records : {false, true}) {
            std::vector<DiskTally> tallies;
            LogFilter f;
            f.from_records = from_records;
            ASSERT_TRUE(store->Count(f, 10, &tallies).ok);
            for (const auto& t : tallies) (from_records ? recounted : counted) += t.disks;
        }
        EXPECT_EQ(counted, recounted);
        // Each made disk once, whatever its history, and each disk that
        // failed before it got a serial once.
        const auto unmade = std::count_if(current.begin(), current.end(), [](const DiskRecord& d) {
            return d.kind == RunKind::Production && d.state == RecordState::Complete &&
                   d.serial.empty();
        });
        EXPECT_EQ(unmade + static_cast<long>(configured.count(faulty)), faulty.empty() ? 0 : 1);
        EXPECT_EQ(counted, static_cast<int64_t>(configured.size()) + unmade);
    }
}

// A log that refuses writes (a read-only file or database) refuses the run
// at start-up, before any command reaches a disk.
TEST_P(StationLogTest, AReadOnlyLogRefusesTheRunBeforeAnyDeviceCommand) {
    {
        std::string error;
        ASSERT_TRUE(OpenStore(url_, &error)) << error;  // the tables
    }
    if (pg_) {
        std::string db = url_.substr(std::string("postgresql:///").size()), out;
        db = db.substr(0, db.find('?'));
        ASSERT_TRUE(
            pg_->Psql(db, "ALTER DATABASE " + db + " SET default_transaction_read_only = on", &out))
            << out;
    } else if (geteuid() != 0) {
        ASSERT_EQ(chmod(url_.c_str(), 0444), 0);
    } else if (std::system(("chattr +i " + url_ + " 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "root writes a read-only file, and chattr +i is not available here";
    }
    struct Thaw {
        std::string file;
        ~Thaw() {
            if (geteuid() == 0) std::system(("chattr -i " + file + " 2>/dev/null").c_str());
        }
    } thaw{pg_ ? std::string() : url_};
    StationRig s(dir_ + "/s1");
    const std::vector<std::string> ids = {s.Plug(), s.Plug()};
    const pid_t pid = s.Start({"--log", url_});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Wait(pid), 4) << s.Output();
    EXPECT_NE(s.Output().find(pg_ ? "read-only transaction" : "the log cannot be written"),
              std::string::npos)
        << s.Output();
    for (const auto& id : ids) EXPECT_TRUE(s.bus().trace(id).empty()) << id;
}

// A frozen server (SIGSTOP) fails the run's disks with 0x87 within the
// URL's time-out instead of holding them without limit.
TEST_P(StationLogTest, AFrozenServerFailsTheDisksWithinTheTimeOut) {
    if (!pg_) GTEST_SKIP() << "a PostgreSQL server";
    StationRig s(dir_ + "/s1");
    s.Plug();
    s.Plug();
    const pid_t pid = s.Start({"--log", url_ + "&timeout=2"});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // formatting
    pg_->SignalAll(SIGSTOP);
    const auto t0 = std::chrono::steady_clock::now();
    int code = -2;
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(45)) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    pg_->SignalAll(SIGCONT);
    if (code == -2) {
        kill(pid, SIGKILL);
        Wait(pid);
    }
    ASSERT_EQ(code, 1) << "still running 45 s after the server froze\n" << s.Output();
    EXPECT_NE(s.Output().find("did not answer within 2 s"), std::string::npos) << s.Output();
    const json report = json::parse(ReadFile(s.report()));
    for (const auto& p : report["ports"]) EXPECT_EQ(p["error_status"], 0x87);
    EXPECT_TRUE(s.Serials().empty());  // no disk got a configuration the log does not know
}

INSTANTIATE_TEST_SUITE_P(Stores, StationLogTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

// Four stations of 8 disks each draw serials of one prefix from one
// PostgreSQL log in which only `free` values are left.
class FloorTest : public ::testing::Test {
  protected:
    struct Result {
        std::vector<std::string> written;  // serials on the controllers
        int passed = 0, failed = 0;
        std::vector<std::string> failures;  // error status and messages of failed disks
        std::vector<std::string> outputs;
    };

    Result RunFloor(int free_values, std::set<std::string>* free) {
        Result res;
        std::string skip;
        ufdtest::PgServer* pg = ufdtest::PgServer::Get(&skip);
        if (!pg) {
            skip_ = skip;
            return res;
        }
        EXPECT_TRUE(pg->ok()) << pg->error();
        const std::string url = pg->NewDatabase();
        std::string error;
        {
            auto store = OpenStore(url, &error);  // creates the tables
            EXPECT_TRUE(store) << error;
        }
        std::mt19937 gen(static_cast<unsigned>(free_values));
        std::set<int> keep;
        while (static_cast<int>(keep.size()) < free_values) keep.insert(gen() % kPrefixValues);
        std::string list;
        for (int v : keep) {
            list += (list.empty() ? "" : ",") + std::to_string(v);
            free->insert(PrefixSerial(v));
        }
        const std::string db = url.substr(14, url.find('?') - 14);
        std::string out;
        EXPECT_TRUE(pg->Psql(
            db,
            "INSERT INTO serials SELECT 4660, 22136, 'ABC0' || upper(lpad(to_hex(g), 4, '0')), "
            "'pre', 'pre', '2026-01-01T00:00:00.000Z' FROM generate_series(0, " +
                std::to_string(kPrefixValues - 1) + ") g WHERE g NOT IN (" + list + ")",
            &out))
            << out;

        char tmpl[] = "/tmp/galmor-floor-XXXXXX";
        EXPECT_NE(mkdtemp(tmpl), nullptr);
        std::vector<std::unique_ptr<StationRig>> stations;
        std::vector<pid_t> pids;
        for (int s = 0; s < 4; ++s) {
            stations.push_back(
                std::make_unique<StationRig>(std::string(tmpl) + "/s" + std::to_string(s)));
            for (int d = 0; d < 8; ++d) stations.back()->Plug();
        }
        for (int s = 0; s < 4; ++s) {
            pids.push_back(stations[static_cast<size_t>(s)]->Start(
                {"--log", url, "--station", "station-" + std::to_string(s)}));
        }
        for (size_t s = 0; s < 4; ++s) {
            Wait(pids[s]);
            auto& st = *stations[s];
            res.outputs.push_back(st.Output());
            for (const auto& [id, serial] : st.Serials()) res.written.push_back(serial);
            const json report = json::parse(ReadFile(st.report()), nullptr, false);
            EXPECT_FALSE(report.is_discarded()) << st.Output();
            if (report.is_discarded()) continue;
            std::string messages;
            for (const auto& m : report["messages"]) messages += m.get<std::string>() + "\n";
            for (const auto& p : report["ports"]) {
                if (p["error_status"] == 0) {
                    ++res.passed;
                    continue;
                }
                ++res.failed;
                res.failures.push_back(std::to_string(p["error_status"].get<int>()) + " " +
                                       p["config_string"]["text"].get<std::string>() + " | " +
                                       messages);
            }
        }
        fs::remove_all(tmpl);
        return res;
    }

    std::string skip_;
};

TEST_F(FloorTest, FourStationsShareOneSerialSpaceWithoutDuplicates) {
    std::set<std::string> free;
    Result r = RunFloor(100, &free);
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    // Enough free values: every disk gets one, none twice, none taken before.
    EXPECT_EQ(r.passed, 32) << r.outputs[0];
    EXPECT_EQ(r.written.size(), 32u);
    std::set<std::string> unique(r.written.begin(), r.written.end());
    EXPECT_EQ(unique.size(), r.written.size());
    for (const auto& s : r.written) EXPECT_EQ(free.count(s), 1u) << s;

    // Fewer free values than disks: the disks beyond them fail with 0x87 and
    // the message about this prefix.
    free.clear();
    r = RunFloor(12, &free);
    EXPECT_LE(r.passed, 12);
    EXPECT_GE(r.passed, 1);
    EXPECT_EQ(r.passed + r.failed, 32);
    EXPECT_EQ(r.written.size(), static_cast<size_t>(r.passed));
    unique = std::set<std::string>(r.written.begin(), r.written.end());
    EXPECT_EQ(unique.size(), r.written.size());
    for (const auto& s : r.written) EXPECT_EQ(free.count(s), 1u) << s;
    for (const auto& f : r.failures) {
        EXPECT_EQ(f.rfind("135 Write = X | ", 0), 0u) << f;  // 0x87
        EXPECT_NE(f.find("serial number space of prefix \"ABC\" (VID 1234, PID 5678) is "
                         "nearly exhausted"),
                  std::string::npos)
            << f;
    }
}

}  // namespace
