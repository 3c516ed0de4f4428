// The station's end of the monitor link: notices on the socket, and the
// real dorvel started, refused as a second copy, and ended.
#include "core/monitor_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "dorvel_link.h"
#include "testbus.h"

using namespace galmor;

namespace {

const std::string kBinDir = UFD_BIN_DIR;

bool Send(const std::string& path, const std::string& bytes) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const ssize_t n =
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    close(fd);
    return n == static_cast<ssize_t>(bytes.size());
}

std::optional<int16_t> NextEvent(NoticeListener& l, int ms) {
    pollfd p{l.fd(), POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return std::nullopt;
    return l.Drain();
}

bool Alive(pid_t pid) {
    return kill(pid, 0) == 0;
}

}  // namespace

TEST(NoticeListener, OnlyExactlyInIsAnArrival) {
    testbus::TestBus tb;
    NoticeListener l;
    std::string error;
    ASSERT_TRUE(l.Open(&error)) << error;
    EXPECT_EQ(l.Drain(), std::nullopt);
    const std::pair<std::string, int16_t> cases[] = {
        {"IN", kDeviceEventArrival}, {"OU", kDeviceEventRemoval},
        {"XY", kDeviceEventRemoval}, {"", kDeviceEventRemoval},
        {"in", kDeviceEventRemoval}, {"INX", kDeviceEventRemoval},
        {"I", kDeviceEventRemoval},  {std::string(40, 'I'), kDeviceEventRemoval},
        {"IN", kDeviceEventArrival}};
    for (const auto& [bytes, event] : cases) {
        ASSERT_TRUE(Send(l.path(), bytes));
        EXPECT_EQ(l.Drain(), event) << '"' << bytes << '"';
    }
}

TEST(NoticeListener, APendingRemovalIsNotLostToALaterArrival) {
    testbus::TestBus tb;
    NoticeListener l;
    std::string error;
    ASSERT_TRUE(l.Open(&error)) << error;
    const std::vector<std::pair<std::vector<std::string>, int16_t>> cases = {
        {{"IN", "OU"}, kDeviceEventRemoval},
        {{"OU", "IN"}, kDeviceEventRemoval},
        {{"IN", "IN"}, kDeviceEventArrival},
        {{"OU", "IN", "IN"}, kDeviceEventRemoval}};
    for (const auto& [notices, event] : cases) {
        for (const auto& n : notices) ASSERT_TRUE(Send(l.path(), n));
        EXPECT_EQ(l.Drain(), event) << notices.size();
    }
    EXPECT_EQ(l.Drain(), std::nullopt);
    // The same across two drains, as the hook keeps it in `DeviceEvent`.
    int16_t pending = kDeviceEventHandled;
    for (const char* n : {"OU", "IN"}) {
        ASSERT_TRUE(Send(l.path(), n));
        const auto e = l.Drain();
        ASSERT_TRUE(e);
        pending = MergeDeviceEvent(pending, *e);
    }
    EXPECT_EQ(pending, kDeviceEventRemoval);
}

// With an explicit library folder that others may enter and a umask of 000,
// the socket is still this user's alone, and a datagram another user gets in
// (the file's mode changed behind the station's back) is not a notice.
TEST(NoticeListener, OnlyThisUserCanSendNotices) {
    testbus::TestBus tb;
    const std::string folder = tb.root() + "/sarnik";
    ASSERT_EQ(chmod(tb.root().c_str(), 0755), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    const mode_t old = umask(0);
    NoticeListener l;
    std::string error;
    const bool opened = l.Open(&error);
    umask(old);
    ASSERT_TRUE(opened) << error;
    struct stat st {};
    ASSERT_EQ(stat(l.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (geteuid() != 0) GTEST_SKIP() << "sending as another user needs root";
    ASSERT_EQ(chmod(l.path().c_str(), 0666), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // nobody
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        _exit(Send(l.path(), "IN") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;  // it did get in
    EXPECT_EQ(l.Drain(), std::nullopt);
    ASSERT_TRUE(Send(l.path(), "OU"));
    EXPECT_EQ(l.Drain(), kDeviceEventRemoval);
}

TEST(NoticeListener, TakesOverAStaleSocketButNotALiveOne) {
    testbus::TestBus tb;
    const std::string folder = tb.root() + "/sarnik";
    const std::string path = dorvel_link::NoticeSocketPath(folder);
    {
        // A station that crashed left its socket file behind.
        const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        close(fd);
    }
    NoticeListener first;
    std::string error;
    ASSERT_TRUE(first.Open(&error)) << error;

    NoticeListener second;
    EXPECT_FALSE(second.Open(&error));
    EXPECT_NE(error.find("another station"), std::string::npos) << error;
    ASSERT_TRUE(Send(path, "IN"));
    EXPECT_EQ(first.Drain(), kDeviceEventArrival);

    first.Close();
    struct stat st {};
    EXPECT_NE(lstat(path.c_str(), &st), 0);  // removed with its listener
    EXPECT_TRUE(second.Open(&error)) << error;
}

TEST(MonitorProcess, StartsWatchingDeliversNoticesAndEndsReaped) {
    testbus::TestBus tb;
    NoticeListener l;
    std::string error;
    ASSERT_TRUE(l.Open(&error)) << error;
    MonitorProcess m;
    ASSERT_TRUE(m.Launch(kBinDir, kMonitorWaitMs, false, &error)) << error;
    EXPECT_TRUE(m.Ready());
    EXPECT_TRUE(m.Running());
    const pid_t pid = m.pid();

    const std::string id = tb.Plug();
    EXPECT_EQ(NextEvent(l, 10000), kDeviceEventArrival);
    ASSERT_TRUE(tb.bus().unplug(id));
    EXPECT_EQ(NextEvent(l, 10000), kDeviceEventRemoval);

    m.End();
    EXPECT_FALSE(m.Running());
    EXPECT_TRUE(WIFEXITED(m.status()) && WEXITSTATUS(m.status()) == 0) << m.status();
    EXPECT_FALSE(Alive(pid));  // reaped, not a zombie
    m.End();                   // a second end does nothing
}

TEST(MonitorProcess, SecondMonitorEndsAtOnceAndTheWaitReturnsEarly) {
    testbus::TestBus tb;
    std::string error;
    MonitorProcess first, second;
    ASSERT_TRUE(first.Launch(kBinDir, kMonitorWaitMs, false, &error)) << error;
    ASSERT_TRUE(first.Ready());
    // Started, then gone before it watched: collected within the wait.
    ASSERT_TRUE(second.Launch(kBinDir, 60000, false, &error)) << error;
    EXPECT_FALSE(second.Ready());
    EXPECT_FALSE(second.Running());
    EXPECT_TRUE(WIFEXITED(second.status()) && WEXITSTATUS(second.status()) == 0);
    EXPECT_TRUE(first.Running());
}

TEST(MonitorProcess, MissingProgramCannotStart) {
    testbus::TestBus tb;
    std::string error;
    MonitorProcess m;
    EXPECT_FALSE(m.Launch(tb.root(), kMonitorWaitMs, false, &error));
    EXPECT_NE(error.find(tb.root() + "/dorvel"), std::string::npos) << error;
    EXPECT_FALSE(m.Running());
}

TEST(MonitorProcess, MonitorIgnoringTheEndRequestIsKilledAfterTheGrace) {
    testbus::TestBus tb;
    const std::string fake = tb.root() + "/dorvel";
    {
        std::ofstream f(fake);
        f << "#!/bin/sh\ntrap '' TERM\nprintf R >&3\nexec sleep 60\n";
    }
    ASSERT_EQ(chmod(fake.c_str(), 0700), 0);
    std::string error;
    MonitorProcess m;
    ASSERT_TRUE(m.Launch(tb.root(), kMonitorWaitMs, false, &error)) << error;
    ASSERT_TRUE(m.Ready());
    const pid_t pid = m.pid();
    m.End(100);
    EXPECT_TRUE(WIFSIGNALED(m.status()) && WTERMSIG(m.status()) == SIGKILL) << m.status();
    EXPECT_FALSE(Alive(pid));
}

// A monitor that dies is started again after the back-off, which grows with
// each death, and the new one delivers notices.
TEST(MonitorLink, RestartsADeadMonitorAfterAGrowingBackOff) {
    testbus::TestBus tb;
    NoAutorunStore store;
    MonitorLink link(store);
    std::string error, note;
    ASSERT_TRUE(link.InstallHook(&error)) << error;
    ASSERT_TRUE(link.StartMonitor(kBinDir, false, &error)) << error;
    EXPECT_EQ(link.Supervise(&note), Supervision::Quiet);
    int64_t last_backoff = 0;
    for (int death = 0; death < 3; ++death) {
        const pid_t pid = link.monitor().pid();
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        pollfd p{link.monitor().life_fd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1);
        ASSERT_EQ(link.Supervise(&note), Supervision::Ended);
        EXPECT_NE(note.find("signal 9"), std::string::npos) << note;
        EXPECT_FALSE(Alive(pid));
        const int64_t backoff = link.RestartDueInMs();
        EXPECT_GT(backoff, last_backoff);
        EXPECT_LE(backoff, kMonitorRestartLastMs);
        last_backoff = backoff;
        Supervision s = Supervision::Quiet;
        for (int i = 0; i < 2000 && s == Supervision::Quiet; ++i) {
            usleep(5000);
            s = link.Supervise(&note);
        }
        ASSERT_EQ(s, Supervision::Restarted) << note;
        EXPECT_NE(link.monitor().pid(), pid);
    }
    const std::string id = tb.Plug();
    pollfd p{link.notice_fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    int16_t event = kDeviceEventHandled;
    EXPECT_TRUE(link.TakeNotices(event));
    EXPECT_EQ(event, kDeviceEventArrival);
    link.Shutdown();
    EXPECT_EQ(link.Supervise(&note), Supervision::Quiet);  // no restart after the end
}
