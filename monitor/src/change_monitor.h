// The monitor's core: recount the USB disks on each relevant event and tell
// the station which way the set of disks moved.
//
// The disks are known by their device paths. "IN" means that a disk is
// present that was not at the previous recount, even when the count stayed
// the same (a finished disk swapped for a fresh one within one pause); "OU"
// that a disk has gone. A recount that sees both sends "OU", then "IN". The
// first count is taken at start-up, before any event: disks already present
// then are the station's first discovery's, not an arrival.
//
// A recount sets the busy flag, which stays set through the 100 ms pause that
// follows it. An event that arrives while busy is not acted on at once but
// marks the count dirty, and one more recount runs when the pause ends: a
// Linux event stream, unlike a window broadcast, does not repeat itself later,
// so an event dropped while busy would be a change never reported.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace dorvel {

inline constexpr uint32_t kIndexesExamined = 16;  // disk-class indexes 0 to 15
inline constexpr char kUsbDiskMarker[] = "usbstor";
inline constexpr int kPauseMs = 100;

// Device path of the index-th present disk-class interface, or nothing.
using PathAt = std::function<std::optional<std::string>(uint32_t index)>;

// The paths of indexes 0 to 15 that contain "usbstor" (case-sensitive).
std::set<std::string> UsbDisks(const PathAt& path_at);

class ChangeMonitor {
  public:
    struct Hooks {
        std::function<std::set<std::string>()> disks;  // the recount
        std::function<bool(std::string_view)> send;    // one notice; false when dropped
        std::function<void()> start_pause;             // arms the pause; OnPauseEnded follows
    };
    enum class Outcome { Ignored, Recounted, Deferred };
    struct Notice {
        std::string text;  // "IN" or "OU"
        bool delivered = false;
    };
    struct Recount {
        int count = 0;
        std::vector<Notice> notices;  // none when the set is unchanged
    };

    explicit ChangeMonitor(Hooks hooks) : hooks_(std::move(hooks)) {}

    // The first count, at start-up: no notice, no pause.
    void TakeFirstCount();
    // One event code: a recount when the table says so and the monitor is not
    // busy; deferred to the end of the pause when busy.
    Outcome OnEvent(uint16_t code);
    // The pause after a recount is over: clears the busy flag and runs the
    // deferred recount, if an event came meanwhile. True when it ran one.
    bool OnPauseEnded();

    bool busy() const { return busy_; }
    bool dirty() const { return dirty_; }
    int last_count() const { return static_cast<int>(last_disks_.size()); }
    const Recount& last_recount() const { return last_; }

  private:
    void RunRecount();

    Hooks hooks_;
    bool busy_ = false;
    bool dirty_ = false;
    std::set<std::string> last_disks_;
    Recount last_;
};

}  // namespace dorvel
