// The dorvel program on a simulated bus: the notices it sends for plugs and
// unplugs, its pause, its single instance and its end with the parent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "dorvel_link.h"
#include "simbus/bus.h"

extern char** environ;

namespace {

// A fresh bus folder and library folder, made current through the
// environment for this process and the programs it starts.
class TestBus {
  public:
    TestBus() : root_(MakeRoot()), bus_(root_ + "/bus") {
        setenv("SARNIK_SIM_BUS", (root_ + "/bus").c_str(), 1);
        setenv("SARNIK_ROOT", (root_ + "/sarnik").c_str(), 1);
    }
    ~TestBus() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    simbus::Bus& bus() { return bus_; }
    const std::string& root() const { return root_; }
    std::string Plug(const simbus::PlugOptions& o = {}) { return bus_.plug(o); }

  private:
    static std::string MakeRoot() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "dorvel-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) return "/nonexistent";
        std::filesystem::create_directories(tmpl + "/bus");
        std::filesystem::create_directories(tmpl + "/sarnik");
        return tmpl;
    }
    std::string root_;
    simbus::Bus bus_;
};

const std::string kDorvel = UFD_BIN_DIR "/dorvel";
constexpr int kWaitMs = 10000;  // upper bound of any wait; conditions end it early

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Starts dorvel with its output on a pipe; the ready descriptor's "R" tells
// when it watches.
pid_t Spawn(std::vector<std::string> args, int* out_fd, int* ready_fd) {
    int out[2], ready[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(ready, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, ready[1], 3);
    args.insert(args.begin(), {kDorvel, "--ready-fd", "3"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, kDorvel.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(ready[1]);
    *out_fd = out[0];
    *ready_fd = ready[0];
    return rc == 0 ? pid : -1;
}

bool WaitReadable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// Waits for the process to end; its wait status, or nothing after `ms`.
std::optional<int> WaitExit(pid_t pid, int ms) {
    const int64_t until = NowMs() + ms;
    do {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid) return st;
        usleep(2000);
    } while (NowMs() < until);
    return std::nullopt;
}

class Dorvel {
  public:
    Dorvel() {
        folder_ = tb.root() + "/sarnik";
        const std::string path = dorvel_link::NoticeSocketPath(folder_);
        notice_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        bound_ = bind(notice_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Dorvel() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {notice_, out_, ready_}) {
            if (fd >= 0) close(fd);
        }
    }

    bool Start() {
        if (!bound_) return false;
        pid_ = Spawn({"--verbose"}, &out_, &ready_);
        char c = 0;
        return pid_ > 0 && WaitReadable(ready_, kWaitMs) && read(ready_, &c, 1) == 1 && c == 'R';
    }
    pid_t pid() const { return pid_; }

    // The next line of dorvel's listing that contains `text` ("" on time-out).
    std::string WaitLine(const std::string& text) {
        const int64_t until = NowMs() + kWaitMs;
        for (;;) {
            const size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                seen_.push_back(line);
                if (line.find(text) != std::string::npos) return line;
                continue;
            }
            const int64_t left = until - NowMs();
            if (left <= 0 || !WaitReadable(out_, static_cast<int>(left))) return {};
            char chunk[512];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return {};
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }
    // Lines read so far (for failure messages).
    std::string Seen() const {
        std::string s;
        for (const auto& l : seen_) s += "  " + l + "\n";
        return s;
    }

    // The next notice, exactly as sent, or nothing within `ms`.
    std::optional<std::string> Notice(int ms = kWaitMs) {
        if (!WaitReadable(notice_, ms)) return std::nullopt;
        char b[64];
        const ssize_t n = recv(notice_, b, sizeof b, MSG_DONTWAIT);
        if (n < 0) return std::nullopt;
        return std::string(b, static_cast<size_t>(n));
    }

    // Plugs a disk of another bus (never counted) and waits for the recount
    // it causes to report `count`: every notice of earlier changes has been
    // sent by then.
    void Barrier(int count) {
        simbus::PlugOptions o;
        o.device.kind = simdev::FreshOptions::Kind::PlainDisk;
        o.device.usb = false;
        tb.Plug(o);
        const std::string want = "recount: " + std::to_string(count) + " USB disk(s), no notice";
        ASSERT_NE(WaitLine(want), "") << Seen();
    }

    TestBus tb;

  private:
    std::string folder_;
    int notice_ = -1;
    bool bound_ = false;
    pid_t pid_ = -1;
    int out_ = -1;
    int ready_ = -1;
    std::string buf_;
    std::vector<std::string> seen_;
};

}  // namespace

TEST(Dorvel, PlugGivesOneArrivalAndUnplugOneRemoval) {
    Dorvel d;
    ASSERT_TRUE(d.Start());
    const std::string id = d.tb.Plug();
    EXPECT_EQ(d.Notice(), "IN");  // exactly two bytes, no terminating zero
    d.Barrier(1);
    EXPECT_EQ(d.Notice(0), std::nullopt);

    ASSERT_TRUE(d.tb.bus().unplug(id));
    EXPECT_EQ(d.Notice(), "OU");
    ASSERT_TRUE(d.tb.bus().replug(id));
    EXPECT_EQ(d.Notice(), "IN");
    d.Barrier(1);
    EXPECT_EQ(d.Notice(0), std::nullopt);
}

TEST(Dorvel, CommandsChangeNothingButAnUnplugDuringOneIsARemoval) {
    Dorvel d;
    ASSERT_TRUE(d.Start());
    simbus::PlugOptions o;
    o.faults = {{0x00, 2, true}};  // the second TEST UNIT READY pulls the disk out
    const std::string id = d.tb.Plug(o);
    EXPECT_EQ(d.Notice(), "IN");
    const auto paths = d.tb.bus().interface_paths(simdev::UnitClass::Disk);
    ASSERT_EQ(paths.size(), 1u);
    const int fd = d.tb.bus().open(paths[0]);
    ASSERT_GT(fd, 0);
    const uint8_t tur[6] = {};
    EXPECT_TRUE(d.tb.bus().execute(fd, tur, 6, simdev::Direction::None, nullptr, 0, 5).delivered);
    d.Barrier(1);
    EXPECT_EQ(d.Seen().find("bus change " + id), std::string::npos) << d.Seen();

    EXPECT_FALSE(d.tb.bus().execute(fd, tur, 6, simdev::Direction::None, nullptr, 0, 5).delivered);
    EXPECT_EQ(d.Notice(), "OU");
    close(fd);
}

TEST(Dorvel, TwoPlugsInOneBurstGiveOneArrival) {
    Dorvel d;
    ASSERT_TRUE(d.Start());
    // Both plugs land before dorvel reads any event: one burst.
    ASSERT_EQ(kill(d.pid(), SIGSTOP), 0);
    d.tb.Plug();
    d.tb.Plug();
    ASSERT_EQ(kill(d.pid(), SIGCONT), 0);
    EXPECT_EQ(d.Notice(), "IN");
    EXPECT_NE(d.WaitLine("recount: 2 USB disk(s), notice IN sent"), "") << d.Seen();
    d.Barrier(2);
    EXPECT_EQ(d.Notice(0), std::nullopt);
}

TEST(Dorvel, PlugDuringThePauseIsStillReported) {
    Dorvel d;
    ASSERT_TRUE(d.Start());
    // Stopped right after its first recount, dorvel is still in its 100 ms
    // pause when the second plug comes; that event waits for the pause. On a
    // machine so loaded that the stop comes after the pause, try again.
    bool deferred = false;
    int disks = 0;
    for (int attempt = 0; attempt < 3 && !deferred; ++attempt) {
        d.tb.Plug();
        ++disks;
        ASSERT_NE(d.WaitLine("recount: " + std::to_string(disks) + " USB disk(s), notice IN"), "")
            << d.Seen();
        ASSERT_EQ(kill(d.pid(), SIGSTOP), 0);
        d.tb.Plug();
        ++disks;
        ASSERT_EQ(kill(d.pid(), SIGCONT), 0);
        const std::string line = d.WaitLine("DBT_DEVNODES_CHANGED bus add");
        deferred = line.find("busy") != std::string::npos;
        ASSERT_NE(d.WaitLine("recount: " + std::to_string(disks) + " USB disk(s), notice IN sent"),
                  "")
            << d.Seen();
        EXPECT_EQ(d.Notice(), "IN");
        EXPECT_EQ(d.Notice(), "IN");
    }
    EXPECT_TRUE(deferred) << d.Seen();
    d.Barrier(disks);
    EXPECT_EQ(d.Notice(0), std::nullopt);
}

// Disks present at start-up are its first count: a removal is "OU". Two
// disks replaced by two fresh ones before dorvel looks: "OU", then "IN".
TEST(Dorvel, StartsFromTheDisksPresentAndReportsASwapWithTheSameCount) {
    Dorvel d;
    const std::string a = d.tb.Plug(), b = d.tb.Plug(), c = d.tb.Plug();
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.tb.bus().unplug(a));
    EXPECT_EQ(d.Notice(), "OU");
    d.Barrier(2);
    ASSERT_EQ(kill(d.pid(), SIGSTOP), 0);
    for (const auto& id : {b, c}) ASSERT_TRUE(d.tb.bus().unplug(id));
    d.tb.Plug();
    d.tb.Plug();
    ASSERT_EQ(kill(d.pid(), SIGCONT), 0);
    EXPECT_EQ(d.Notice(), "OU");
    EXPECT_EQ(d.Notice(), "IN");
    EXPECT_NE(d.WaitLine("recount: 2 USB disk(s), notice OU sent, notice IN sent"), "") << d.Seen();
}

TEST(Dorvel, NeverCountsIndexSixteenOrAPathWithoutUsbstor) {
    Dorvel d;
    ASSERT_TRUE(d.Start());
    d.Barrier(0);  // a disk of another bus takes index 0 and is not counted
    ASSERT_EQ(kill(d.pid(), SIGSTOP), 0);
    for (int i = 0; i < 16; ++i) d.tb.Plug();
    ASSERT_EQ(kill(d.pid(), SIGCONT), 0);
    // The USB disks sit at indexes 1 to 16; index 16 is beyond the count.
    EXPECT_EQ(d.Notice(), "IN");
    EXPECT_NE(d.WaitLine("recount: 15 USB disk(s), notice IN sent"), "") << d.Seen();
    d.tb.Plug();
    EXPECT_NE(d.WaitLine("recount: 15 USB disk(s), no notice"), "") << d.Seen();
    d.Barrier(15);
    EXPECT_EQ(d.Notice(0), std::nullopt);
}

TEST(Dorvel, SecondInstanceEndsAtOnceWithExitCodeZero) {
    Dorvel d;
    ASSERT_TRUE(d.Start());
    int out = -1, ready = -1;
    const pid_t second = Spawn({}, &out, &ready);
    ASSERT_GT(second, 0);
    const auto st = WaitExit(second, kWaitMs);
    ASSERT_TRUE(st);
    EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << *st;
    char c;
    EXPECT_EQ(read(ready, &c, 1), 0);  // never reported ready
    close(out);
    close(ready);
    // The first one still watches.
    d.tb.Plug();
    EXPECT_EQ(d.Notice(), "IN");
}

TEST(Dorvel, EndsWhenItsParentIsKilled) {
    TestBus tb;
    // Orphans come to this process, so that dorvel's end can be waited for.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t station = fork();
    ASSERT_GE(station, 0);
    if (station == 0) {
        // A stand-in station: starts dorvel, tells its pid, waits to be killed.
        int out = -1, ready = -1;
        const pid_t pid = Spawn({"--parent", std::to_string(getpid())}, &out, &ready);
        char c = 0;
        if (pid > 0 && WaitReadable(ready, kWaitMs) && read(ready, &c, 1) == 1) {
            (void)!write(report[1], &pid, sizeof pid);
        }
        for (;;) pause();
    }
    close(report[1]);
    pid_t monitor = -1;
    ASSERT_TRUE(WaitReadable(report[0], kWaitMs));
    ASSERT_EQ(read(report[0], &monitor, sizeof monitor), static_cast<ssize_t>(sizeof monitor));
    close(report[0]);

    ASSERT_EQ(kill(station, SIGKILL), 0);
    ASSERT_EQ(waitpid(station, nullptr, 0), station);
    const auto st = WaitExit(monitor, kWaitMs);
    if (!st) {
        kill(monitor, SIGKILL);
        waitpid(monitor, nullptr, 0);
    }
    ASSERT_TRUE(st) << "dorvel " << monitor << " outlived its station";
    EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << *st;
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}
