#include "notice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace dorvel {

NoticeSender::~NoticeSender() {
    if (fd_ >= 0) ::close(fd_);
}

bool NoticeSender::Send(std::string_view notice) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    if (fd_ < 0) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return false;
        timeval tv{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    for (;;) {
        const ssize_t n = ::sendto(fd_, notice.data(), notice.size(), MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(notice.size());
    }
}

InstanceLock TakeInstanceLock(const std::string& path, int* fd, std::string* error) {
    const int f = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (f < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return InstanceLock::Failed;
    }
    while (::flock(f, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        ::close(f);
        if (err == EWOULDBLOCK) return InstanceLock::HeldByAnother;
        *error = "cannot lock " + path + ": " + std::strerror(err);
        return InstanceLock::Failed;
    }
    *fd = f;
    return InstanceLock::Taken;
}

}  // namespace dorvel
