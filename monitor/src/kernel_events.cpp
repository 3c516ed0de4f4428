#include "kernel_events.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "event_table.h"
#include "uevent.h"

namespace dorvel {

KernelEvents::~KernelEvents() {
    if (fd_ >= 0) ::close(fd_);
}

bool KernelEvents::Open(std::string* error) {
    fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd_ < 0) {
        *error = std::string("netlink uevent socket: ") + std::strerror(errno);
        return false;
    }
    // A burst of a hub's worth of disks is a few hundred messages; keep room
    // for them (the forced size needs privileges, the plain one does not).
    const int size = 1 << 20;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = 1;  // the kernel's own group (a udev daemon re-broadcasts on 2)
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        *error = std::string("netlink uevent bind: ") + std::strerror(errno);
        return false;
    }
    return true;
}

std::vector<KernelChange> KernelEvents::Read() {
    std::vector<KernelChange> out;
    char buf[8192];
    for (;;) {
        sockaddr_nl from{};
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(fd_, &msg, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOBUFS) {
                out.push_back({kDevNodesChanged, "kernel events lost"});
                continue;
            }
            break;
        }
        // Only the kernel (port 0) speaks for the devices.
        if (from.nl_pid != 0 || (msg.msg_flags & MSG_TRUNC)) continue;
        const auto ev = ParseKernelUEvent(buf, static_cast<size_t>(n));
        if (!ev) continue;
        const auto code = TranslateUEvent(*ev);
        if (!code) continue;
        out.push_back({*code, ev->subsystem + " " + ev->action + " " + ev->devpath});
    }
    return out;
}

}  // namespace dorvel
