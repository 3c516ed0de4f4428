// Device events after udev has processed them: libudev's monitor on the
// "udev" source. Used when a udev daemon runs, so that a recount sees the
// device nodes with the owner and mode the rules gave them; without one the
// monitor takes the kernel's own events (kernel_events.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace dorvel {

// True when a udev daemon runs on this system (its control socket exists).
bool UdevDaemonRuns();

struct UdevChange {
    uint16_t code;
    std::string what;  // for the verbose listing
};

class UdevEvents {
  public:
    UdevEvents() = default;
    ~UdevEvents();
    UdevEvents(const UdevEvents&) = delete;
    UdevEvents& operator=(const UdevEvents&) = delete;

    bool Open(std::string* error);
    int fd() const { return fd_; }
    // Reads the pending events and translates them as the kernel's are. When
    // the socket's queue overflowed, one change stands for the lost events.
    std::vector<UdevChange> Read();

  private:
    struct udev* udev_ = nullptr;
    struct udev_monitor* monitor_ = nullptr;
    int fd_ = -1;
};

}  // namespace dorvel
