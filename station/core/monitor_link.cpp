#include "core/monitor_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "dorvel_link.h"

extern char** environ;

namespace galmor {

int16_t DeviceEventOfNotice(std::string_view notice) {
    return notice == dorvel_link::kArrival ? kDeviceEventArrival : kDeviceEventRemoval;
}

int16_t MergeDeviceEvent(int16_t pending, int16_t incoming) {
    return pending == kDeviceEventRemoval ? kDeviceEventRemoval : incoming;
}

namespace {

bool FillAddress(const std::string& path, sockaddr_un* addr) {
    *addr = {};
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when some process receives on the socket at `addr`.
bool SomeoneListens(const sockaddr_un& addr) {
    const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    const bool live = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(probe);
    return live;
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until `fd` is readable or `ms` have passed; true when readable.
bool WaitReadable(int fd, int ms) {
    const int64_t until = NowMs() + ms;
    for (;;) {
        const int64_t left = until - NowMs();
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left < 0 ? 0 : left));
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
    }
}

}  // namespace

NoticeListener::~NoticeListener() {
    Close();
}

bool NoticeListener::Open(std::string* error) {
    Close();
    const std::string folder = dorvel_link::PrepareFolder();
    if (folder.empty()) {
        *error = "no private folder for the notice socket";
        return false;
    }
    const std::string path = dorvel_link::NoticeSocketPath(folder);
    sockaddr_un addr;
    if (!FillAddress(path, &addr)) {
        *error = "notice socket path too long: " + path;
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("notice socket: ") + std::strerror(errno);
        return false;
    }
    // Every datagram carries its sender's credentials: only this user's count.
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        *error = std::string("notice socket credentials: ") + std::strerror(errno);
        ::close(fd);
        return false;
    }
    int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (rc != 0 && errno == EADDRINUSE) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && !SomeoneListens(addr)) {
            ::unlink(path.c_str());
            rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        } else {
            ::close(fd);
            *error = "another station receives the device notices (" + path + ")";
            return false;
        }
    }
    if (rc != 0) {
        *error = "cannot bind " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    // The socket file's mode came from the umask; only this user may send.
    // (A datagram sent before this is still refused by its credentials.)
    if (::chmod(path.c_str(), 0600) != 0) {
        *error = "cannot restrict " + path + ": " + std::strerror(errno);
        ::unlink(path.c_str());
        ::close(fd);
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

std::optional<int16_t> NoticeListener::Drain() {
    std::optional<int16_t> merged;
    if (fd_ < 0) return merged;
    const uid_t self = ::geteuid();
    char buf[16];
    for (;;) {
        iovec iov{buf, sizeof buf};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        // MSG_TRUNC: the true length, so that "INX" is not taken for "IN".
        const ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        bool own = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
                c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
                ucred cred{};
                std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
                own = cred.uid == self;
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                // Descriptors nobody asked for: closed, never kept.
                const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t i = 0; i < count; ++i) {
                    int passed = -1;
                    std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                    if (passed >= 0) ::close(passed);
                }
            }
        }
        if (!own) continue;
        const size_t len =
            static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf;
        const int16_t e = static_cast<size_t>(n) == len
                              ? DeviceEventOfNotice(std::string_view(buf, len))
                              : kDeviceEventRemoval;
        merged = merged ? MergeDeviceEvent(*merged, e) : e;
    }
    return merged;
}

void NoticeListener::Close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    // Only our own socket file: a later station may have replaced it.
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
        ::unlink(path_.c_str());
    }
    path_.clear();
}

bool MonitorProcess::Launch(const std::string& folder, int wait_ms, bool verbose,
                            std::string* error) {
    End();
    ready_ = false;
    status_ = -1;
    const std::string program = folder + "/" + kMonitorProgram;

    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    // The child's end goes to a fixed descriptor; dup2 clears close-on-exec
    // there (the source must differ from the target for that).
    constexpr int kChildFd = 3;
    if (pipefd[1] == kChildFd) {
        const int moved = ::fcntl(pipefd[1], F_DUPFD_CLOEXEC, kChildFd + 1);
        ::close(pipefd[1]);
        pipefd[1] = moved;
    }
    const std::string parent = std::to_string(::getpid());
    std::vector<std::string> args = {program, "--ready-fd", std::to_string(kChildFd), "--parent",
                                     parent};
    if (verbose) args.emplace_back("--verbose");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (!verbose) posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], kChildFd);
    posix_spawn_file_actions_addchdir_np(&fa, folder.c_str());
    // A clean signal state: the station may block signals it waits for.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGHUP);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(pipefd[1]);
    if (rc != 0) {
        ::close(pipefd[0]);
        *error = "cannot start " + program + ": " + std::strerror(rc);
        return false;
    }
    pid_ = pid;
    life_fd_ = pipefd[0];

    // Up to wait_ms: "R" (watching) or end of file (it ended already, like a
    // second monitor does at once).
    if (WaitReadable(life_fd_, wait_ms)) {
        char c = 0;
        ssize_t n;
        do {
            n = ::read(life_fd_, &c, 1);
        } while (n < 0 && errno == EINTR);
        if (n == 1 && c == 'R') {
            ready_ = true;
        } else {
            // Ended: collect it now (it is gone or about to be).
            End();
        }
    }
    return true;
}

bool MonitorProcess::Running() {
    if (pid_ < 0) return false;
    pollfd p{life_fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) {
        char c;
        ssize_t n;
        do {
            n = ::read(life_fd_, &c, 1);
        } while (n < 0 && errno == EINTR);
        if (n == 1) {
            ready_ = ready_ || c == 'R';
            return true;
        }
        if (n == 0) {
            End();
            return false;
        }
    }
    return true;
}

bool MonitorProcess::Reap(bool block) {
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(pid_, &st, block ? 0 : WNOHANG);
        if (r == pid_) {
            status_ = st;
            return true;
        }
        if (r < 0 && errno == EINTR) continue;
        // ECHILD: someone else reaped it; nothing left to wait for.
        return r < 0;
    }
}

void MonitorProcess::End(int grace_ms) {
    if (pid_ < 0) return;
    bool gone = Reap(false);
    if (!gone) {
        ::kill(pid_, SIGTERM);
        // The pipe reaches its end when the process ends; the grace is an
        // upper bound, never a fixed wait.
        bool eof = false;
        const int64_t until = NowMs() + grace_ms;
        while (!gone && NowMs() < until) {
            if (!eof) {
                const int64_t left = until - NowMs();
                pollfd p{life_fd_, POLLIN, 0};
                if (::poll(&p, 1, static_cast<int>(left < 0 ? 0 : left)) > 0) {
                    char buf[64];
                    eof = ::read(life_fd_, buf, sizeof buf) == 0;
                }
            } else {
                ::usleep(1000);  // exiting; reapable in a moment
            }
            gone = Reap(false);
        }
        if (!gone) {
            ::kill(pid_, SIGKILL);
            Reap(true);
        }
    }
    ::close(life_fd_);
    life_fd_ = -1;
    pid_ = -1;
    ready_ = false;
}

bool MonitorLink::StartMonitor(const std::string& folder, bool verbose, std::string* error) {
    folder_ = folder;
    verbose_ = verbose;
    const bool started = monitor_.Launch(folder, kMonitorWaitMs, verbose, error);
    supervised_ = started && monitor_.Ready();
    down_ = false;
    backoff_ms_ = kMonitorRestartFirstMs;
    up_since_ = NowMs();
    return started;
}

int64_t MonitorLink::RestartDueInMs() const {
    if (!down_) return -1;
    const int64_t left = restart_at_ - NowMs();
    return left < 0 ? 0 : left;
}

Supervision MonitorLink::Supervise(std::string* note) {
    if (!supervised_) return Supervision::Quiet;
    const int64_t now = NowMs();
    if (!down_) {
        if (monitor_.Running()) return Supervision::Quiet;
        // A monitor that watched for a while earns a quick restart again.
        if (now - up_since_ >= kMonitorSteadyMs) backoff_ms_ = kMonitorRestartFirstMs;
        down_ = true;
        restart_at_ = now + backoff_ms_;
        const int st = monitor_.status();
        std::string how = "ended";
        if (st >= 0 && WIFSIGNALED(st))
            how = "was killed by signal " + std::to_string(WTERMSIG(st));
        if (st >= 0 && WIFEXITED(st)) how = "ended with status " + std::to_string(WEXITSTATUS(st));
        *note = "the device-change monitor " + how + "; starting it again in " +
                std::to_string(backoff_ms_) + " ms";
        return Supervision::Ended;
    }
    if (now < restart_at_) return Supervision::Quiet;
    std::string error;
    const bool started = monitor_.Launch(folder_, kMonitorWaitMs, verbose_, &error);
    if (started && monitor_.Ready()) {
        down_ = false;
        up_since_ = NowMs();
        backoff_ms_ = std::min<int64_t>(backoff_ms_ * 2, kMonitorRestartLastMs);
        *note = "the device-change monitor runs again; looking for disks";
        return Supervision::Restarted;
    }
    if (started) {
        monitor_.End();
        error = "it ended before it watched";
    }
    backoff_ms_ = std::min<int64_t>(backoff_ms_ * 2, kMonitorRestartLastMs);
    restart_at_ = NowMs() + backoff_ms_;
    *note = "the device-change monitor could not be started again (" + error +
            "); trying again in " + std::to_string(backoff_ms_) + " ms";
    return Supervision::RestartFailed;
}

}  // namespace galmor
