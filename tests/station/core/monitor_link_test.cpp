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

// Only exactly "IN" is an arrival. The socket is this user's alone (0600
// even with a umask of 000), and what another user gets in anyway is no notice.
TEST(NoticeListener, OnlyExactlyInFromThisUserIsAnArrival) {
    testbus::TestBus tb;
    NoticeListener l;
    std::string error;
    const mode_t old = umask(0);
    ASSERT_TRUE(l.Open(&error)) << error;
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(l.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
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
    if (geteuid() != 0) return;  // sending as another user needs root
    for (const auto& f : {tb.root(), tb.root() + "/sarnik", l.path()}) chmod(f.c_str(), 0777);
    const pid_t child = fork();
    if (child == 0) _exit(!setgid(65534) && !setuid(65534) && Send(l.path(), "IN") ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);  // it got in
    EXPECT_EQ(l.Drain(), std::nullopt);
}

TEST(NoticeListener, APendingRemovalIsNotLostToALaterArrival) {
    testbus::TestBus tb;
    NoticeListener l;
    std::string error;
    ASSERT_TRUE(l.Open(&error)) << error;
    ASSERT_TRUE(Send(l.path(), "IN"));
    ASSERT_TRUE(Send(l.path(), "OU"));
    EXPECT_EQ(l.Drain(), kDeviceEventRemoval);
    ASSERT_TRUE(Send(l.path(), "OU"));
    ASSERT_TRUE(Send(l.path(), "IN"));
    EXPECT_EQ(l.Drain(), kDeviceEventRemoval);
    EXPECT_EQ(l.Drain(), std::nullopt);
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
