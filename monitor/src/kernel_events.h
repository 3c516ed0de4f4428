// The kernel's device events: a netlink uevent socket on the kernel group.
// Needs no udev daemon and no privileges.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dorvel {

struct KernelChange {
    uint16_t code;
    std::string what;  // for the verbose listing
};

class KernelEvents {
  public:
    KernelEvents() = default;
    ~KernelEvents();
    KernelEvents(const KernelEvents&) = delete;
    KernelEvents& operator=(const KernelEvents&) = delete;

    bool Open(std::string* error);
    int fd() const { return fd_; }
    // Reads the pending messages and translates the kernel's own ones. When
    // the socket's queue overflowed, one change stands for the lost events.
    std::vector<KernelChange> Read();

  private:
    int fd_ = -1;
};

}  // namespace dorvel
