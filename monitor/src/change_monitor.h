// The monitor's core: recount the USB disks on each relevant event and tell
// the station which way the count moved.
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
#include <string>
#include <string_view>

namespace dorvel {

inline constexpr uint32_t kIndexesExamined = 16;  // disk-class indexes 0 to 15
inline constexpr char kUsbDiskMarker[] = "usbstor";
inline constexpr int kPauseMs = 100;

// Device path of the index-th present disk-class interface, or nothing.
using PathAt = std::function<std::optional<std::string>(uint32_t index)>;

// Indexes 0 to 15 whose path contains "usbstor" (case-sensitive).
int CountUsbDisks(const PathAt& path_at);

class ChangeMonitor {
  public:
    struct Hooks {
        std::function<int()> count;                  // the recount
        std::function<bool(std::string_view)> send;  // one notice; false when dropped
        std::function<void()> start_pause;           // arms the pause; OnPauseEnded follows
    };
    enum class Outcome { Ignored, Recounted, Deferred };
    struct Recount {
        int count = 0;
        std::string notice;  // "IN", "OU" or "" (count unchanged)
        bool delivered = false;
    };

    explicit ChangeMonitor(Hooks hooks) : hooks_(std::move(hooks)) {}

    // One event code: a recount when the table says so and the monitor is not
    // busy; deferred to the end of the pause when busy.
    Outcome OnEvent(uint16_t code);
    // The pause after a recount is over: clears the busy flag and runs the
    // deferred recount, if an event came meanwhile. True when it ran one.
    bool OnPauseEnded();

    bool busy() const { return busy_; }
    bool dirty() const { return dirty_; }
    int last_count() const { return last_count_; }
    const Recount& last_recount() const { return last_; }

  private:
    void RunRecount();

    Hooks hooks_;
    bool busy_ = false;
    bool dirty_ = false;
    int last_count_ = 0;
    Recount last_;
};

}  // namespace dorvel
