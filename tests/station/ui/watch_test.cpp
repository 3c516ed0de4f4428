// The watching station: notices from the real dorvel turned into discoveries
// by the polling timer, gated by the run; and `galmor --headless --watch` as a
// program: auto-runs, reports, a clean end on SIGTERM, no monitor left after
// the station is killed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>

#include "core/autorun_policy.h"
#include "core/monitor_link.h"
#include "run/polling_timer.h"
#include "run_rig.h"
#include "ui/headless.h"
#include "ui/headless_watch.h"

using namespace runrig;

extern char** environ;

namespace {

constexpr int kWaitMs = 20000;  // upper bound; conditions end every wait early

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A station with its monitor link up, as start-up leaves it.
struct Watching : Rig {
    NoAutorunStore store;
    MonitorLink link{store};

    void Up() {
        StartUp();
        std::string error;
        ASSERT_TRUE(link.InstallHook(&error)) << error;
        ASSERT_TRUE(link.StartMonitor(UFD_BIN_DIR, false, &error)) << error;
        ASSERT_TRUE(link.monitor().Ready());
    }
    // Waits for the next notice and records it as the hook does.
    bool Hook() {
        pollfd p{link.notice_fd(), POLLIN, 0};
        if (poll(&p, 1, kWaitMs) <= 0) return false;
        return link.TakeNotices(st.DeviceEvent);
    }
};

}  // namespace

TEST(Watching, NoticeBecomesADiscoveryAtTheNextTick) {
    Watching w;
    w.Up();
    EXPECT_EQ(w.st.DiskCount.load(), 0);
    EXPECT_FALSE(Timer1_Timer(w.st));  // nothing pending

    w.Plug();
    ASSERT_TRUE(w.Hook());
    EXPECT_EQ(w.st.DeviceEvent, kDeviceEventArrival);
    EXPECT_TRUE(Timer1_Timer(w.st));  // the first tick after the notice
    EXPECT_EQ(w.st.DeviceEvent, kDeviceEventHandled);
    EXPECT_EQ(w.st.DiskCount.load(), 1);
    EXPECT_EQ(w.st.model.Get("ThumbImage", 0).picture, kPicturePresent);
    EXPECT_FALSE(Timer1_Timer(w.st));  // handled once

    // Unplug: the removal clean-up empties the port before the discovery.
    ASSERT_TRUE(w.tb.bus().unplug(w.ids[0]));
    ASSERT_TRUE(w.Hook());
    EXPECT_EQ(w.st.DeviceEvent, kDeviceEventRemoval);
    EXPECT_TRUE(Timer1_Timer(w.st));
    EXPECT_EQ(w.st.DiskCount.load(), 0);
    EXPECT_EQ(w.st.ports[0].Handle, 0);
    EXPECT_EQ(w.st.ports[0].DevicePath, "");
    EXPECT_EQ(w.st.model.Get("ThumbImage", 0).picture, kPictureAbsent);
}

// A removal, then a plug, before a tick still empty the gone disk's row; a
// notice taken while a discovery shows a message box waits for the next tick.
TEST(Watching, NoNoticeIsLostBeforeOrDuringADiscovery) {
    Watching w;
    w.Plug();
    w.Plug();
    w.Up();
    for (const auto& id : {w.ids[1], w.ids[0]}) {
        ASSERT_TRUE(w.tb.bus().unplug(id));
        ASSERT_TRUE(w.Hook());
    }
    w.Plug();
    ASSERT_TRUE(w.Hook());
    EXPECT_TRUE(Timer1_Timer(w.st));
    EXPECT_EQ(w.st.DiskCount.load(), 1);
    EXPECT_EQ(w.st.model.Get("ThumbImage", 1).picture, kPictureAbsent);
    bool hooked = false;
    w.st.model.SetMessagePresenter([&](const MessageBox&) {
        if (!hooked) w.Plug();
        hooked = hooked || w.Hook();
    });
    simbus::PlugOptions wp = Small();
    wp.device.hw_write_protect = true;  // its probe raises a box
    w.Plug(wp);
    ASSERT_TRUE(w.Hook());
    EXPECT_TRUE(Timer1_Timer(w.st));
    ASSERT_TRUE(hooked);
    EXPECT_EQ(w.st.DeviceEvent, kDeviceEventArrival);
    EXPECT_TRUE(Timer1_Timer(w.st));
    EXPECT_EQ(w.st.DiskCount.load(), 3);
}

TEST(Watching, NoticeDuringARunIsHandledAtTheFirstTickAfterIt) {
    // The run's worker is held in its pause before Manufacture until the
    // notice has been looked at, however slowly this machine runs the test.
    std::atomic<bool> hold{true};
    std::atomic<int> ticks{0};
    Watching w;
    w.Plug();
    w.Up();
    struct Release {
        std::atomic<bool>& hold;
        ~Release() { hold = false; }  // a failed assertion never leaves the worker held
    } release{hold};
    const auto self = std::this_thread::get_id();
    w.st.TimeOfDay = [&hold, &ticks, self] {
        while (hold && std::this_thread::get_id() != self) std::this_thread::sleep_for(1ms);
        return 1000.0 + 0.05 * ticks++;
    };
    w.SetItems({.format = false, .manufacture = true, .checkConfig = false, .checkWp = false});
    ASSERT_EQ(w.st.DiskCount.load(), 1);
    GoCmd_Click(w.st);
    ASSERT_TRUE(w.st.RunInProgress);
    EXPECT_FALSE(w.st.model.Get1("Timer1").enabled);  // the run switched the timer off

    w.Plug();
    ASSERT_TRUE(w.Hook());
    EXPECT_FALSE(Timer1_Timer(w.st));  // gated: the event stays pending
    EXPECT_EQ(w.st.DeviceEvent, kDeviceEventArrival);
    EXPECT_EQ(w.st.DiskCount.load(), 1);
    EXPECT_TRUE(w.st.RunInProgress);

    hold = false;
    ASSERT_TRUE(w.WaitRunEnd());
    EXPECT_TRUE(w.st.model.Get1("Timer1").enabled);
    EXPECT_TRUE(Timer1_Timer(w.st));
    EXPECT_EQ(w.st.DiskCount.load(), 2);
}

namespace {

// galmor as a program, its output on a pipe.
class Galmor {
  public:
    explicit Galmor(std::string program = UFD_BIN_DIR "/galmor") : program_(std::move(program)) {}
    bool Start(const std::vector<std::string>& extra) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<std::string> args = {program_, "--headless", "--watch"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        fd_ = out[0];
        return rc == 0;
    }
    ~Galmor() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    // Reads output until `text` appears in it (counting from the last match).
    bool WaitFor(const std::string& text) {
        const int64_t until = NowMs() + kWaitMs;
        for (;;) {
            const size_t at = all_.find(text, from_);
            if (at != std::string::npos) {
                from_ = at + text.size();
                return true;
            }
            const int64_t left = until - NowMs();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char buf[4096];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return false;
            all_.append(buf, static_cast<size_t>(n));
        }
    }
    std::optional<int> Wait() {
        const int64_t until = NowMs() + kWaitMs;
        do {
            int st = 0;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                pid = -1;
                return st;
            }
            usleep(2000);
        } while (NowMs() < until);
        return std::nullopt;
    }
    const std::string& output() const { return all_; }
    pid_t pid = -1;

  private:
    std::string program_;
    int fd_ = -1;
    std::string all_;
    size_t from_ = 0;
};

// Children of a process (from /proc).
std::vector<pid_t> Children(pid_t parent) {
    std::vector<pid_t> out;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream f(e.path() / "stat");
        std::string stat;
        std::getline(f, stat);
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 2));
        char state;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && state != 'Z') out.push_back(std::stoi(name));
    }
    return out;
}

}  // namespace

TEST(WatchProgram, AutoRunTwiceGivesTwoReportsAndNoDiskRunTwice) {
    Rig r;
    const std::string report = r.tb.root() + "/runs.jsonl";
    Galmor g;
    ASSERT_TRUE(g.Start(
        {"--home", r.home, "--auto-run", "4", "--items", "manufacture", "--report", report}));
    ASSERT_TRUE(g.WaitFor("Polling timer: running")) << g.output();
    std::vector<std::string> first, second;
    for (int i = 0; i < 4; ++i) first.push_back(r.tb.Plug(Small()));
    ASSERT_TRUE(g.WaitFor("Run 1 ended: ! ALL PASS !")) << g.output();
    for (const auto& id : first) ASSERT_TRUE(r.tb.bus().unplug(id));
    for (int i = 0; i < 4; ++i) second.push_back(r.tb.Plug(Small()));
    ASSERT_TRUE(g.WaitFor("Run 2 ended: ! ALL PASS !")) << g.output();

    ASSERT_EQ(kill(g.pid, SIGTERM), 0);
    const auto st = g.Wait();
    ASSERT_TRUE(st);
    EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << *st;

    std::ifstream f(report);
    std::string line;
    std::vector<nlohmann::json> runs;
    while (std::getline(f, line)) runs.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(runs.size(), 2u);
    // Each run took exactly the four disks plugged for it.
    for (size_t k = 0; k < runs.size(); ++k) {
        EXPECT_EQ(runs[k]["banner"], "! ALL PASS !");
        std::set<std::string> devices;
        for (const auto& p : runs[k]["ports"]) {
            EXPECT_EQ(p["error_status"], 0);
            EXPECT_EQ(p["picture"], kPicturePassed);
            const std::string path = p["device_path"];
            // \\?\usbstor#disk&ven_..#<device id>&<unit>#{class}
            const size_t a = path.find('#', path.find('#') + 1);
            ASSERT_NE(a, std::string::npos) << path;
            devices.insert(path.substr(a + 1, path.find('&', a) - a - 1));
        }
        const auto& plugged = k == 0 ? first : second;
        EXPECT_EQ(devices, std::set<std::string>(plugged.begin(), plugged.end()));
    }
}

TEST(WatchProgram, RollingLotReportsEachDiskAndEndsWithTheLotsVerdict) {
    Rig r;
    const std::string report = r.tb.root() + "/disks.jsonl";
    const std::string log = r.tb.root() + "/production.db";
    Galmor g;
    ASSERT_TRUE(g.Start({"--home", r.home, "--rolling", "--lot", "2", "--items", "manufacture",
                         "--log", log, "--report", report}));
    ASSERT_TRUE(g.WaitFor("Polling timer: running")) << g.output();
    const std::string start = g.output();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(start, m, std::regex("Lot ([0-9TZ-]+)\n"))) << start;
    const std::string lot = m[1].str();
    for (int i = 0; i < 3; ++i) r.tb.Plug(Small());
    ASSERT_TRUE(g.WaitFor("Lot " + lot + " complete: ! ALL PASS !")) << g.output();
    EXPECT_NE(g.output().find("2 of 2 passed, 0 failed"), std::string::npos) << g.output();
    ASSERT_EQ(kill(g.pid, SIGTERM), 0);
    const auto st = g.Wait();
    ASSERT_TRUE(st && WIFEXITED(*st) && WEXITSTATUS(*st) == 0);

    // One line per disk, each keeping to the report's schema.
    std::ifstream f(report);
    std::string line;
    int lines = 0;
    const std::string one = r.tb.root() + "/line.json";
    while (std::getline(f, line)) {
        ++lines;
        const auto j = nlohmann::json::parse(line);
        EXPECT_EQ(j["action"], "rolling");
        EXPECT_EQ(j["lot"]["id"], lot);
        ASSERT_EQ(j["ports"].size(), 1u) << line;
        EXPECT_EQ(j["ports"][0]["passed"], true);
        testbus::WriteFile(one, line);
        std::string verdict;
        EXPECT_EQ(RunProgram("python3 -c 'import json, sys, jsonschema; jsonschema.validate("
                             "json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))' '" +
                                 one + "' '" UFD_SOURCE_DIR "/docs/report.schema.json' 2>&1",
                             &verdict),
                  0)
            << verdict;
    }
    EXPECT_EQ(lines, 2);
    std::string summary;
    EXPECT_EQ(RunProgram(UFD_BIN_DIR "/galmor log --log " + log + " --lot " + lot +
                             " --summary --format csv",
                         &summary),
              0);
    EXPECT_NE(summary.find(",2,2,0,100"), std::string::npos) << summary;
}

TEST(WatchProgram, EndsCleanlyOnSigtermAndLeavesNoMonitorWhenKilled) {
    Rig r;
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    {
        Galmor g;
        ASSERT_TRUE(g.Start({"--home", r.home}));
        ASSERT_TRUE(g.WaitFor("Polling timer: running")) << g.output();
        const auto monitors = Children(g.pid);
        ASSERT_EQ(monitors.size(), 1u);
        ASSERT_EQ(kill(g.pid, SIGTERM), 0);
        const auto st = g.Wait();
        ASSERT_TRUE(st);
        EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << *st;
        EXPECT_NE(kill(monitors[0], 0), 0);  // ended and reaped by the station
    }
    {
        Galmor g;
        ASSERT_TRUE(g.Start({"--home", r.home}));
        ASSERT_TRUE(g.WaitFor("Polling timer: running")) << g.output();
        const auto monitors = Children(g.pid);
        ASSERT_EQ(monitors.size(), 1u);
        ASSERT_EQ(kill(g.pid, SIGKILL), 0);
        ASSERT_EQ(waitpid(g.pid, nullptr, 0), g.pid);
        g.pid = -1;
        // The orphaned monitor comes to this process: wait for its end.
        const int64_t until = NowMs() + kWaitMs;
        int status = 0;
        pid_t got = 0;
        while ((got = waitpid(monitors[0], &status, WNOHANG)) == 0 && NowMs() < until) usleep(2000);
        if (got != monitors[0]) kill(monitors[0], SIGKILL);
        EXPECT_EQ(got, monitors[0]) << "dorvel outlived the killed station";
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST(WatchProgram, WithoutItsMonitorTheStationSaysSoAndRunsOn) {
    Rig r;
    // The station alone in a folder: no dorvel beside it.
    const std::string folder = r.tb.root() + "/alone";
    std::filesystem::create_directories(folder);
    for (const char* f : {"galmor", "libsarnik.so"}) {
        std::filesystem::copy_file(std::string(UFD_BIN_DIR) + "/" + f, folder + "/" + f);
    }
    Galmor g(folder + "/galmor");
    ASSERT_TRUE(g.Start({"--home", r.home}));
    ASSERT_TRUE(g.WaitFor("[plain] Load Dorvel.exe Fail !!!")) << g.output();
    ASSERT_EQ(kill(g.pid, SIGTERM), 0);
    const auto st = g.Wait();
    ASSERT_TRUE(st);
    EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << *st;
}

// A monitor that dies is started again and the disk plugged meanwhile found;
// a second watching station on the same folder ends instead of running deaf.
TEST(WatchProgram, ADeadMonitorIsStartedAgainAndASecondWatcherEnds) {
    Rig r;
    Galmor g;
    ASSERT_TRUE(g.Start({"--home", r.home}));
    ASSERT_TRUE(g.WaitFor("Polling timer: running")) << g.output();
    ASSERT_EQ(kill(Children(g.pid).at(0), SIGKILL), 0);
    r.Plug();
    ASSERT_TRUE(g.WaitFor("the device-change monitor runs again")) << g.output();
    ASSERT_TRUE(g.WaitFor("row 0: Disk 0 | picture: present")) << g.output();
    r.Plug();  // seen by the new monitor
    ASSERT_TRUE(g.WaitFor("row 1: Disk 1 | picture: present")) << g.output();
    Galmor second;
    ASSERT_TRUE(second.Start({"--home", r.home}));
    const auto st = second.Wait();
    EXPECT_TRUE(st && WIFEXITED(*st) && WEXITSTATUS(*st) == 4) << "ran on, or " << st.value_or(-1);
}

// Fifty random sequences of plugs, unplugs and runs, each notice turned into a
// discovery by the timer: every grid printed after a discovery or a run names
// each plugged disk once, shows nothing on a row without one, and pairs a
// result only with the disk that earned it.
TEST(Watching, PrintedGridNeverPairsAResultWithAnotherDisk) {
    std::mt19937 rng(24);
    const std::regex row(R"(  row \d+: .*\| picture: (\w+).*?(\| disk: USB 1-(\d+).*)?)");
    for (int sequence = 0; sequence < 50; ++sequence) {
        Rig r;
        r.StartUp();
        r.FastClock();
        r.SetItems({.manufacture = true});
        std::map<int, bool> plugged;  // device number -> fails its first write
        std::map<int, int> runs;      // device number -> runs it took part in
        auto check = [&] {
            std::ostringstream out;
            PrintModel(r.st, out);
            std::istringstream lines(out.str());
            std::set<int> shown;
            std::smatch m;
            for (std::string line; std::getline(lines, line);) {
                if (!std::regex_match(line, m, row)) continue;
                const bool result = line.find("Config String: -") == std::string::npos;
                const int disk = m[3].matched ? std::stoi(m[3]) : 0;
                EXPECT_TRUE(disk ? plugged.count(disk) && shown.insert(disk).second
                                 : m[1] == "absent" && !result)
                    << line;
                if (!disk || !result) continue;
                const bool fails = plugged[disk] && runs[disk] == 1;
                EXPECT_TRUE(runs[disk] > 0 &&
                            line.find(fails ? "Write = X" : "Write = V") != std::string::npos)
                    << line;
            }
            EXPECT_EQ(shown.size(), plugged.size()) << out.str();
        };
        for (int step = 0; step < 5; ++step) {
            const unsigned what = rng() % 4;
            if (what <= 1 && plugged.size() < 4) {
                const bool fails = rng() % 2 == 0;
                plugged[std::stoi(r.Plug(fails ? Small({{0x81, 1, false}}) : Small()).substr(1))] =
                    fails;
                r.st.DeviceEvent = kDeviceEventArrival;
            } else if (what == 2 && !plugged.empty()) {
                auto it = std::next(plugged.begin(), static_cast<long>(rng() % plugged.size()));
                ASSERT_TRUE(r.tb.bus().unplug(r.ids.at(static_cast<size_t>(it->first - 1))));
                plugged.erase(it);
                r.st.DeviceEvent = kDeviceEventRemoval;
            } else if (r.Enabled("GoCmd")) {
                GoCmd_Click(r.st);
                ASSERT_TRUE(r.WaitRunEnd());
                for (const auto& p : plugged) ++runs[p.first];
                check();
                continue;
            }
            if (Timer1_Timer(r.st)) check();
        }
    }
}
