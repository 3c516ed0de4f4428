#include "bus_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "event_table.h"

namespace dorvel {

namespace {

// Device folders are named "d" and a number; ".new-dN" is a plug in progress.
bool IsDeviceFolder(std::string_view name) {
    if (name.size() < 2 || name[0] != 'd') return false;
    for (char c : name.substr(1)) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

constexpr uint32_t kBusMask = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
constexpr uint32_t kDeviceMask = IN_MOVED_TO | IN_ONLYDIR;

}  // namespace

std::optional<uint16_t> TranslateBusChange(WatchedFolder where, uint32_t mask,
                                           std::string_view name) {
    // The kernel dropped events: something may have changed.
    if (mask & IN_Q_OVERFLOW) return kDevNodesChanged;
    if (where == WatchedFolder::Bus) {
        const uint32_t moves = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;
        if ((mask & moves) && (mask & IN_ISDIR) && IsDeviceFolder(name)) return kDevNodesChanged;
        return std::nullopt;
    }
    if ((mask & IN_MOVED_TO) && name == "state.json") return kDevNodesChanged;
    return std::nullopt;
}

BusWatch::~BusWatch() {
    if (fd_ >= 0) ::close(fd_);
}

bool BusWatch::Open(const std::string& bus_dir, std::string* error) {
    dir_ = bus_dir;
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        *error = std::string("inotify: ") + std::strerror(errno);
        return false;
    }
    bus_wd_ = ::inotify_add_watch(fd_, dir_.c_str(), kBusMask);
    if (bus_wd_ < 0) {
        *error = "cannot watch the bus folder " + dir_ + ": " + std::strerror(errno);
        return false;
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir_, ec)) {
        const std::string name = entry.path().filename().string();
        if (IsDeviceFolder(name)) WatchDevice(name);
    }
    return true;
}

void BusWatch::WatchDevice(const std::string& name) {
    const int wd = ::inotify_add_watch(fd_, (dir_ + "/" + name).c_str(), kDeviceMask);
    if (wd >= 0) devices_[wd] = name;
    known_[name] = ReadPlugState(name);
}

std::optional<BusWatch::PlugState> BusWatch::ReadPlugState(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name + "/state.json", std::ios::binary);
    if (!in) return std::nullopt;
    const auto j = nlohmann::json::parse(in, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    const auto plugged = j.find("plugged");
    const auto generation = j.find("generation");
    if (plugged == j.end() || !plugged->is_boolean() || generation == j.end() ||
        !generation->is_number_unsigned()) {
        return std::nullopt;
    }
    return PlugState{plugged->get<bool>(), generation->get<uint64_t>()};
}

std::vector<BusChange> BusWatch::Read() {
    std::vector<BusChange> out;
    alignas(inotify_event) char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            const std::string name = ev->len ? std::string(ev->name) : std::string();
            if (ev->mask & IN_IGNORED) {
                devices_.erase(ev->wd);
                continue;
            }
            const bool on_bus = ev->wd == bus_wd_;
            const auto dev = devices_.find(ev->wd);
            if (!on_bus && dev == devices_.end() && !(ev->mask & IN_Q_OVERFLOW)) continue;
            const auto code = TranslateBusChange(
                on_bus ? WatchedFolder::Bus : WatchedFolder::Device, ev->mask, name);
            if (on_bus && IsDeviceFolder(name)) {
                if (ev->mask & (IN_CREATE | IN_MOVED_TO)) WatchDevice(name);
                if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) known_.erase(name);
            }
            if (!code) continue;
            if (!on_bus && !(ev->mask & IN_Q_OVERFLOW)) {
                // A command's bookkeeping, unless the plug state moved; a
                // state that cannot be read counts as a change.
                const auto now = ReadPlugState(dev->second);
                auto& before = known_[dev->second];
                const bool same = now && before && *now == *before;
                before = now;
                if (same) continue;
            }
            std::string what = "bus";
            if (ev->mask & IN_Q_OVERFLOW) {
                what += " events lost";
            } else if (on_bus) {
                what += (ev->mask & (IN_CREATE | IN_MOVED_TO)) ? " add " : " remove ";
                what += name;
            } else {
                what += " change " + dev->second;
            }
            out.push_back({*code, what});
        }
    }
    return out;
}

}  // namespace dorvel
