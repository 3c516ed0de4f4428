// Device events of the simulated bus: the bus folder watched with inotify. A
// device folder appearing or going (plug), and a device's state file being
// replaced are changes of the device nodes. The state file is replaced by
// every command a device runs, too; a replacement counts only when the
// device's plugged state or plug generation moved (or cannot be read).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dorvel {

enum class WatchedFolder { Bus, Device };

// The event code of one inotify event in a watched folder, or nothing.
std::optional<uint16_t> TranslateBusChange(WatchedFolder where, uint32_t mask,
                                           std::string_view name);

struct BusChange {
    uint16_t code;
    std::string what;  // for the verbose listing
};

class BusWatch {
  public:
    BusWatch() = default;
    ~BusWatch();
    BusWatch(const BusWatch&) = delete;
    BusWatch& operator=(const BusWatch&) = delete;

    // Watches the bus folder (created when missing) and its device folders.
    bool Open(const std::string& bus_dir, std::string* error);
    int fd() const { return fd_; }
    // Reads the pending inotify events; watches new device folders.
    std::vector<BusChange> Read();

  private:
    struct PlugState {
        bool plugged = false;
        uint64_t generation = 0;
        bool operator==(const PlugState&) const = default;
    };
    void WatchDevice(const std::string& name);
    std::optional<PlugState> ReadPlugState(const std::string& name) const;

    int fd_ = -1;
    std::string dir_;
    std::map<int, std::string> devices_;  // watch descriptor -> device folder name
    std::map<std::string, std::optional<PlugState>> known_;  // device folder -> last state
    int bus_wd_ = -1;
};

}  // namespace dorvel
