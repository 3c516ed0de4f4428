// Device events after udev has processed them: libudev's monitor on the
// "udev" source. Used when a udev daemon runs, so that a recount sees the
// device nodes with the owner and mode the rules gave them; without one the
// monitor takes the kernel's own events (kernel_events.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;
struct udev_queue;

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
    // Waits until udev has handled every queued event and every sg and
    // block node there is, at most `limit`. An
    // event for a disk's USB or SCSI device comes before udev has handled
    // its sg and block nodes (owner, mode, the lock it holds meanwhile): a
    // recount before that would send the station to nodes it cannot use yet.
    // false when udev was still busy at the limit.
    bool WaitSettled(std::chrono::milliseconds limit);

  private:
    bool NodesHandled();

    struct udev* udev_ = nullptr;
    struct udev_monitor* monitor_ = nullptr;
    struct udev_queue* queue_ = nullptr;
    int fd_ = -1;
};

}  // namespace dorvel
