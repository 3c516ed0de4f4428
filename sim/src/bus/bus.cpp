// The simulated bus. Every operation works on the folders in the bus folder
// and keeps nothing in memory, so any number of processes and handles can
// share one bus. A device's lock is held around each command; devices never
// share a lock. A command rewrites state.json only when the device's state
// changed; its counters live in the lock file.
#include "simbus/bus.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "folder.h"
#include "paths.h"

namespace simbus {

using namespace detail;
using simdev::Direction;

namespace {

// Sleeps until `deadline` without the kernel's default timer slack: a plain
// sleep here woke 50 to 200 us late, some 5 % of a command modelled at about
// 3 ms. The caller's slack is restored.
void busy_until(std::chrono::steady_clock::time_point deadline) {
    if (std::chrono::steady_clock::now() >= deadline) return;
    const int old = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    const bool set = old > 1 && ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    std::this_thread::sleep_until(deadline);
    if (set) ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(old), 0, 0, 0);
}

uint64_t thread_cpu_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Ids of the device folders on the bus, in plug order.
std::vector<std::string> device_ids(const std::string& dir) {
    std::vector<std::string> ids;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return ids;
    while (dirent* e = ::readdir(d)) {
        if (valid_device_id(e->d_name)) ids.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(ids.begin(), ids.end(), [](const std::string& a, const std::string& b) {
        return device_number(a) < device_number(b);
    });
    return ids;
}

std::string cdb_hex(const uint8_t* cdb, size_t n) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", cdb[i]);
        out += buf;
    }
    return out;
}

const char* direction_name(Direction d) {
    switch (d) {
        case Direction::In:
            return "in";
        case Direction::Out:
            return "out";
        case Direction::None:
            break;
    }
    return "none";
}

const char* class_name(simdev::UnitClass c) {
    return c == simdev::UnitClass::Cdrom ? "cdrom" : "disk";
}

bool remove_tree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    return !ec;
}

bool touch(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::string hub_marker(const std::string& dir) {
    return dir + "/hub-disabled";
}

bool hub_enabled(const std::string& dir) {
    return ::access(hub_marker(dir).c_str(), F_OK) != 0;
}

// The bus folder's file "shared-bus", present while the devices share the
// host controller's bandwidth: three 64-bit little-endian words, read and
// written under its flock: the bandwidth (bytes per second), when the host
// controller has carried all the data reserved so far (steady clock, ns),
// and the bytes it carried.
std::string shared_file(const std::string& dir) {
    return dir + "/shared-bus";
}

constexpr size_t kSharedWords = 3;

// The open and locked file, or -1 when the bus is not shared.
int lock_shared(const std::string& dir, int how, uint64_t (&w)[kSharedWords]) {
    const int fd = ::open(shared_file(dir).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = ::flock(fd, how);
    } while (rc < 0 && errno == EINTR);
    uint8_t b[kSharedWords * 8];
    if (rc != 0 || ::pread(fd, b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) {
        ::close(fd);
        return -1;
    }
    for (size_t i = 0; i < kSharedWords; ++i) {
        w[i] = 0;
        for (int k = 7; k >= 0; --k) w[i] = w[i] << 8 | b[i * 8 + static_cast<size_t>(k)];
    }
    if (w[0] == 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool write_shared(int fd, const uint64_t (&w)[kSharedWords]) {
    uint8_t b[kSharedWords * 8];
    for (size_t i = 0; i < kSharedWords; ++i) {
        for (size_t k = 0; k < 8; ++k) b[i * 8 + k] = static_cast<uint8_t>(w[i] >> (8 * k));
    }
    return ::pwrite(fd, b, sizeof b, 0) == static_cast<ssize_t>(sizeof b);
}

// On a shared bus, reserves the host controller for `bytes` from `from` on,
// after all the data reserved before them, and returns when they have been
// carried; nothing when each device has the bus to itself.
std::optional<std::chrono::steady_clock::time_point> reserve_shared(
    const std::string& dir, uint64_t bytes, std::chrono::steady_clock::time_point from) {
    uint64_t w[kSharedWords];
    const int fd = lock_shared(dir, LOCK_EX, w);
    if (fd < 0) return std::nullopt;
    const auto free_at =
        std::chrono::steady_clock::time_point(std::chrono::nanoseconds(static_cast<int64_t>(w[1])));
    const auto slot = std::chrono::nanoseconds(static_cast<int64_t>(
        std::ceil(static_cast<double>(bytes) * 1e9 / static_cast<double>(w[0]))));
    const auto end = std::max(from, free_at) + slot;
    w[1] = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(end.time_since_epoch()).count());
    w[2] += bytes;
    write_shared(fd, w);
    ::close(fd);
    return end;
}

// A file's key identifies it for good only once the file is older than the
// file-system clock's coarseness: a later replacement may get the freed inode
// number back, but then a later change time too. A younger file is compared
// by its bytes.
bool key_is_lasting(const struct stat& st) {
    constexpr int64_t kSettledNs = 50'000'000;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const int64_t age = (int64_t{now.tv_sec} - st.st_ctim.tv_sec) * 1'000'000'000 +
                        (now.tv_nsec - st.st_ctim.tv_nsec);
    return age >= kSettledNs;
}

// A whole small file and its key, or nothing.
std::optional<std::string> read_whole(const std::string& path, struct stat* st) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buf[8192];
    bool ok = ::fstat(fd, st) == 0;
    while (ok) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return text;
}

}  // namespace

Bus::Bus(std::string dir) : dir_(std::move(dir)) {}

namespace {

// The interface paths of each device as derived from its state file's exact
// bytes, for the whole process (the library makes a Bus per call). Deriving
// them means parsing the state and loading the device model; an enumeration
// runs once per unit opened, over every device folder on the bus (unplugged
// ones included), so without this a discovery's cost grew with everything
// ever plugged into the bus.
struct Derived {
    struct Entry {
        std::string state;              // the bytes the paths were derived from
        FileKey key;                    // the file they were read from
        bool key_lasting = false;       // whether the key alone identifies them
        std::vector<std::string> disk;  // empty when unplugged or disabled
        std::vector<std::string> cdrom;
    };
    std::mutex mutex;                        // held only to look up or store an entry
    std::map<std::string, Entry> by_folder;  // device folder -> entry
};

Derived& derived() {
    // An object, not a leaked pointer: the library that holds this is
    // unloaded by its users, and the station joins its workers before exit.
    static Derived d;
    return d;
}

}  // namespace

std::vector<std::string> Bus::interface_paths(simdev::UnitClass cls) const {
    std::vector<std::string> paths;
    if (!hub_enabled(dir_)) return paths;
    const auto pick = [cls](const Derived::Entry& e) -> const std::vector<std::string>& {
        return cls == simdev::UnitClass::Cdrom ? e.cdrom : e.disk;
    };
    Derived& cache = derived();
    std::set<std::string> present;
    for (const auto& id : device_ids(dir_)) {
        const std::string folder = dir_ + "/" + id;
        present.insert(folder);
        const std::string file = folder + "/state.json";
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0) continue;
        {
            const std::lock_guard<std::mutex> hold(cache.mutex);
            const auto it = cache.by_folder.find(folder);
            if (it != cache.by_folder.end() && it->second.key_lasting &&
                it->second.key == key_of(st)) {
                const auto& mine = pick(it->second);
                paths.insert(paths.end(), mine.begin(), mine.end());
                continue;
            }
        }
        // state.json is replaced by rename, so reading it unlocked sees a whole state.
        auto text = read_whole(file, &st);
        if (!text) continue;
        {
            const std::lock_guard<std::mutex> hold(cache.mutex);
            const auto it = cache.by_folder.find(folder);
            if (it != cache.by_folder.end() && it->second.state == *text) {
                it->second.key = key_of(st);
                it->second.key_lasting = key_is_lasting(st);
                const auto& mine = pick(it->second);
                paths.insert(paths.end(), mine.begin(), mine.end());
                continue;
            }
        }
        Derived::Entry entry;
        try {
            const DeviceState state = state_from_json(nlohmann::json::parse(*text));
            if (state.plugged && state.enabled) {
                auto dev = simdev::load_device(state.device);
                if (!dev) continue;
                const auto units = dev->units();
                for (size_t u = 0; u < units.size(); ++u) {
                    auto& list =
                        units[u].cls == simdev::UnitClass::Cdrom ? entry.cdrom : entry.disk;
                    list.push_back(interface_path(id, u, units[u], dev->on_usb()));
                }
            }
        } catch (const std::exception&) {
            continue;  // a device folder that cannot be read is not present
        }
        const auto& mine = pick(entry);
        paths.insert(paths.end(), mine.begin(), mine.end());
        entry.state = std::move(*text);
        entry.key = key_of(st);
        entry.key_lasting = key_is_lasting(st);
        const std::lock_guard<std::mutex> hold(cache.mutex);
        cache.by_folder[folder] = std::move(entry);
    }
    // Entries of this bus's folders that are gone.
    const std::string prefix = dir_ + "/";
    const std::lock_guard<std::mutex> hold(cache.mutex);
    std::erase_if(cache.by_folder, [&](const auto& e) {
        return e.first.compare(0, prefix.size(), prefix) == 0 && present.count(e.first) == 0;
    });
    return paths;
}

int Bus::lock_device(int fd) const {
    const auto node = node_of_fd(fd);
    if (!node) {
        errno = EBADF;
        return -1;
    }
    int lock = ::open((node->folder + "/station.lock").c_str(),
                      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0) return -1;
    if (lock == 0) {  // 0 means "no device" to callers: never hand it out
        const int moved = ::fcntl(lock, F_DUPFD_CLOEXEC, 1);
        ::close(lock);
        if (moved < 0) return -1;
        lock = moved;
    }
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(lock);
        errno = err;
        return -1;
    }
    return lock;
}

std::optional<UnitPlace> Bus::place(int fd) const {
    try {
        const auto node = node_of_fd(fd);
        if (!node) return std::nullopt;
        DeviceFolder folder(node->folder);
        if (!folder.has_state()) return std::nullopt;
        auto lock = folder.lock();
        if (!lock.ok()) return std::nullopt;
        const DeviceState st = folder.load_locked(lock);
        if (!st.plugged || !st.enabled || st.generation != node->generation) return std::nullopt;
        if (!hub_enabled(dir_)) return std::nullopt;
        auto dev = simdev::load_device(st.device);
        if (!dev) return std::nullopt;
        const auto units = dev->units();
        if (node->unit >= units.size()) return std::nullopt;
        UnitPlace p;
        p.device_id = st.id;
        p.unit = node->unit;
        p.port = "1-" + std::to_string(device_number(st.id));
        p.serial = dev->usb().serial;
        p.sectors = units[node->unit].medium ? units[node->unit].sectors : 0;
        p.on_usb = dev->on_usb();
        p.node = folder.node_path(node->generation, node->unit);
        return p;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

int Bus::open(const std::string& path) const {
    try {
        const auto ref = parse_interface_path(path);
        if (!ref) return -1;
        DeviceFolder folder(dir_ + "/" + ref->device_id);
        if (!folder.has_state()) return -1;
        auto lock = folder.lock();
        if (!lock.ok()) return -1;
        const DeviceState st = folder.load_state();
        if (!st.plugged || !st.enabled || !hub_enabled(dir_)) return -1;
        auto dev = simdev::load_device(st.device);
        if (!dev) return -1;
        const auto units = dev->units();
        if (ref->unit >= units.size()) return -1;
        if (!equals_nocase(
                interface_path(ref->device_id, ref->unit, units[ref->unit], dev->on_usb()), path)) {
            return -1;
        }
        int fd = ::open(folder.node_path(st.generation, ref->unit).c_str(),
                        O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd == 0) {  // 0 means "no device" to callers: never hand it out
            int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
            ::close(fd);
            fd = moved;
        }
        return fd < 0 ? -1 : fd;
    } catch (const std::exception&) {
        return -1;
    }
}

Outcome Bus::execute(int fd, const uint8_t* cdb, size_t cdb_len, Direction dir, uint8_t* data,
                     uint32_t length, uint32_t timeout_s) const {
    const uint64_t cpu_start = thread_cpu_ns();
    const auto sent = std::chrono::steady_clock::now();
    try {
        if (!cdb || cdb_len == 0 || cdb_len > 16) return {};
        if (dir != Direction::None && length > 0 && !data) return {};
        const auto node = node_of_fd(fd);
        if (!node) return {};
        DeviceFolder folder(node->folder);
        if (!folder.has_state()) return {};
        const std::string bus_dir = std::filesystem::path(node->folder).parent_path().string();
        auto lock = folder.lock();
        if (!lock.ok()) return {};
        // The device is busy for the modelled time of the command from when
        // the host sent it, or from when the device finished its last command
        // if that is later; the emulator's own work counts towards it.
        const auto free_at = std::chrono::steady_clock::time_point(
            std::chrono::nanoseconds(DeviceFolder::read_free_at(lock)));
        const auto busy_from = std::max(sent, free_at);
        Outcome out;
        uint64_t delay = 0;
        uint64_t carried = 0;  // data bytes that pass the host controller
        {
            DeviceState st = folder.load_cached(lock);
            if (!st.plugged || !st.enabled || st.generation != node->generation) return {};
            if (!hub_enabled(bus_dir)) return {};
            auto dev = simdev::load_device(st.device);
            if (!dev || node->unit >= dev->units().size()) return {};

            // The command reaches the device.
            const uint8_t opcode = cdb[0];
            const uint64_t occurrence = ++st.seen[opcode];
            ++st.commands;
            const Fault* fault = nullptr;
            for (const auto& f : st.faults) {
                if (f.opcode == opcode && f.nth == occurrence) {
                    fault = &f;
                    break;
                }
            }

            const char* outcome = "good";
            carried = dir == Direction::None ? 0 : length;
            delay = timing_delay_us(st.timing, carried);
            bool changed = false;  // anything state.json holds besides the counters
            if (fault && fault->unplug) {
                st.plugged = false;
                changed = true;
                outcome = "removed (injected)";
                delay = 0;
                carried = 0;
            } else if (fault) {
                out = {true, simdev::kStatusCheckCondition, 0};
                outcome = "check (injected)";
                delay = timing_delay_us(st.timing, 0);
                carried = 0;
            } else if (timeout_s > 0 && delay > uint64_t{timeout_s} * 1000000u) {
                // The host gives up before the device would finish.
                outcome = "timeout";
                delay = uint64_t{timeout_s} * 1000000u;
                carried = 0;
            } else {
                FileStore store(folder);
                simdev::Request req;
                req.cdb = {cdb, cdb_len};
                req.dir = dir;
                if (dir != Direction::None) req.data = {data, length};
                try {
                    const simdev::Response r = dev->execute(node->unit, req, store);
                    out = {true, r.status,
                           std::min(r.transferred, dir == Direction::None ? 0 : length)};
                    outcome = r.status == simdev::kStatusGood ? "good" : "check";
                    nlohmann::json saved = dev->save();
                    if (saved != st.device) {
                        st.device = std::move(saved);
                        changed = true;
                    }
                } catch (const std::exception&) {
                    // A fault in the model: the command is lost, the device state kept.
                    out = {};
                    outcome = "error";
                }
            }
            st.last_delay_us = delay;
            st.total_delay_us += delay;
            if (!DeviceFolder::write_counters(lock, st)) changed = true;
            if (changed) folder.save_locked(lock, st);
            if (!st.plugged) folder.remove_nodes_except(0);
            folder.append_trace(cdb_hex(cdb, cdb_len) + " | " + direction_name(dir) + " | " +
                                std::to_string(length) + " | " + outcome);
        }  // the state and the model are released before the device's busy time ends
        auto done = busy_from + std::chrono::microseconds(delay);
        // On a shared bus the data also waits for its turn on the host
        // controller; the device's own time runs meanwhile.
        if (carried > 0) {
            if (const auto carried_at = reserve_shared(bus_dir, carried, busy_from)) {
                done = std::max(done, *carried_at);
            }
        }
        DeviceFolder::write_free_at(
            lock,
            std::chrono::duration_cast<std::chrono::nanoseconds>(done.time_since_epoch()).count());
        DeviceFolder::write_cpu(lock, DeviceFolder::read_cpu(lock) + thread_cpu_ns() - cpu_start);
        // The device stays busy until the modelled time has passed; only this
        // device's lock is held meanwhile.
        busy_until(done);
        return out;
    } catch (const std::exception&) {
        return {};
    }
}

std::string Bus::plug(const PlugOptions& opts) {
    std::string tmp;
    try {
        for (const auto& f : opts.faults) {
            if (f.nth == 0) return {};
        }
        std::error_code ec;
        std::filesystem::create_directories(dir_, ec);
        FileLock bus_lock(dir_ + "/.lock");
        if (!bus_lock.ok()) return {};
        auto dev = simdev::make_device(opts.device);
        if (!dev) return {};

        // Folders of plugs that died half-way (only plug creates them, under the bus lock).
        unsigned long last = 0;
        if (DIR* d = ::opendir(dir_.c_str())) {
            std::vector<std::string> stale;
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name.rfind(".new-", 0) == 0) stale.push_back(name);
                last = std::max(last, device_number(name));
            }
            ::closedir(d);
            for (const auto& s : stale) remove_tree(dir_ + "/" + s);
        }
        const std::string id = make_device_id(last + 1);
        tmp = dir_ + "/.new-" + id;
        if (::mkdir(tmp.c_str(), 0700) != 0) return {};
        DeviceFolder folder(tmp);
        DeviceState st;
        st.id = id;
        st.timing = opts.timing;
        st.faults = opts.faults;
        st.device = dev->save();
        if (!touch(folder.file("lock")) || !touch(folder.file("flash.img")) ||
            !touch(folder.file("reserved.img")) || !touch(folder.file("trace.txt"))) {
            remove_tree(tmp);
            return {};
        }
        folder.save_state(st);
        folder.start_version();
        if (::rename(tmp.c_str(), (dir_ + "/" + id).c_str()) != 0) {
            remove_tree(tmp);
            return {};
        }
        return id;
    } catch (const std::exception&) {
        if (!tmp.empty()) remove_tree(tmp);
        return {};
    }
}

bool Bus::unplug(const std::string& id) {
    try {
        if (!valid_device_id(id)) return false;
        DeviceFolder folder(dir_ + "/" + id);
        if (!folder.has_state()) return false;
        auto lock = folder.lock();
        if (!lock.ok()) return false;
        DeviceState st = folder.load_locked(lock);
        st.plugged = false;
        folder.save_locked(lock, st);
        folder.remove_nodes_except(0);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool Bus::replug(const std::string& id) {
    try {
        if (!valid_device_id(id)) return false;
        DeviceFolder folder(dir_ + "/" + id);
        if (!folder.has_state()) return false;
        auto lock = folder.lock();
        if (!lock.ok()) return false;
        DeviceState st = folder.load_locked(lock);
        auto dev = simdev::load_device(st.device);
        if (!dev) return false;
        dev->replug();
        st.device = dev->save();
        st.generation += 1;
        st.plugged = true;
        folder.save_locked(lock, st);
        folder.remove_nodes_except(st.generation);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::vector<std::string> Bus::list() const {
    std::vector<std::string> ids;
    for (const auto& id : device_ids(dir_)) {
        if (DeviceFolder(dir_ + "/" + id).has_state()) ids.push_back(id);
    }
    return ids;
}

std::optional<nlohmann::json> Bus::inspect(const std::string& id) const {
    try {
        if (!valid_device_id(id)) return std::nullopt;
        DeviceFolder folder(dir_ + "/" + id);
        if (!folder.has_state()) return std::nullopt;
        auto lock = folder.lock();
        if (!lock.ok()) return std::nullopt;
        const DeviceState st = folder.load_locked(lock);
        auto dev = simdev::load_device(st.device);
        if (!dev) return std::nullopt;

        nlohmann::json units = nlohmann::json::array();
        const auto list = dev->units();
        for (size_t u = 0; u < list.size(); ++u) {
            const auto& x = list[u];
            units.push_back({{"unit", u},
                             {"name", x.name},
                             {"class", class_name(x.cls)},
                             {"path", interface_path(id, u, x, dev->on_usb())},
                             {"vendor", x.vendor},
                             {"product", x.product},
                             {"revision", x.revision},
                             {"removable", x.removable},
                             {"medium", x.medium},
                             {"sectors", x.sectors},
                             {"bytes", x.sectors * 512}});
        }
        const auto usb = dev->usb();
        nlohmann::json faults = nlohmann::json::array();
        for (const auto& f : st.faults) {
            char op[8];
            std::snprintf(op, sizeof op, "0x%02X", f.opcode);
            faults.push_back({{"opcode", op},
                              {"nth", f.nth},
                              {"action", f.unplug ? "unplug" : "check"},
                              {"fired", st.seen.count(f.opcode) && st.seen.at(f.opcode) >= f.nth}});
        }
        nlohmann::json j = to_json(st);
        j.erase("device");
        j.erase("last_delay_us");
        j.erase("total_delay_us");
        j["faults"] = faults;
        j["timing"] = {{"model", timing_name(st.timing)},
                       {"last_delay_us", st.last_delay_us},
                       {"total_delay_us", st.total_delay_us}};
        j["cpu_ns"] = DeviceFolder::read_cpu(lock);
        j["on_usb"] = dev->on_usb();
        j["usb"] = {{"vid", usb.vid},         {"pid", usb.pid},
                    {"bcd", usb.bcd},         {"manufacturer", usb.manufacturer},
                    {"product", usb.product}, {"serial", usb.serial}};
        j["units"] = units;
        j["device"] = dev->inspect();
        return j;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool Bus::export_unit(const std::string& id, const std::string& unit,
                      const std::string& file) const {
    int out = -1;
    try {
        if (!valid_device_id(id)) return false;
        DeviceFolder folder(dir_ + "/" + id);
        if (!folder.has_state()) return false;
        auto lock = folder.lock();
        if (!lock.ok()) return false;
        const DeviceState st = folder.load_state();
        auto dev = simdev::load_device(st.device);
        if (!dev) return false;
        const auto ext = dev->extent(unit);
        if (!ext) return false;
        FileStore store(folder);
        const int src = store.fd(ext->region);
        if (src < 0) return false;
        out = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0) return false;

        // Copies only what holds data; holes and zero chunks stay holes.
        constexpr size_t kChunk = size_t{1} << 20;
        std::vector<uint8_t> buf(kChunk);
        bool ok = true;
        uint64_t pos = 0;
        while (ok && pos < ext->length) {
            const off_t next = ::lseek(src, static_cast<off_t>(ext->offset + pos), SEEK_DATA);
            if (next < 0 && errno == ENXIO) break;  // nothing but holes from here on
            if (next >= 0 && static_cast<uint64_t>(next) > ext->offset + pos) {
                pos = static_cast<uint64_t>(next) - ext->offset;
                if (pos >= ext->length) break;
            }
            const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, ext->length - pos));
            ok = store.read(ext->region, ext->offset + pos, buf.data(), n);
            if (ok && std::any_of(buf.begin(), buf.begin() + n, [](uint8_t b) { return b; })) {
                size_t done = 0;
                while (ok && done < n) {
                    ssize_t w =
                        ::pwrite(out, buf.data() + done, n - done, static_cast<off_t>(pos + done));
                    if (w < 0 && errno == EINTR) continue;
                    ok = w > 0;
                    if (ok) done += static_cast<size_t>(w);
                }
            }
            pos += n;
        }
        ok = ok && ::ftruncate(out, static_cast<off_t>(ext->length)) == 0;
        ok = ::close(out) == 0 && ok;
        out = -1;
        if (!ok) ::unlink(file.c_str());
        return ok;
    } catch (const std::exception&) {
        if (out >= 0) {
            ::close(out);
            ::unlink(file.c_str());
        }
        return false;
    }
}

std::vector<std::string> Bus::trace(const std::string& id) const {
    if (!valid_device_id(id)) return {};
    try {
        return DeviceFolder(dir_ + "/" + id).read_trace();
    } catch (const std::exception&) {
        return {};
    }
}

bool Bus::set_enabled(const std::string& id, bool on) {
    try {
        if (id == kRootHub) {
            if (on) return ::unlink(hub_marker(dir_).c_str()) == 0 || errno == ENOENT;
            struct stat st {};
            if (::stat(dir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
            return touch(hub_marker(dir_));
        }
        if (!valid_device_id(id)) return false;
        DeviceFolder folder(dir_ + "/" + id);
        if (!folder.has_state()) return false;
        auto lock = folder.lock();
        if (!lock.ok()) return false;
        DeviceState st = folder.load_locked(lock);
        if (!st.plugged) return false;
        if (st.enabled == on) return true;
        if (!on) {
            st.enabled = false;
            folder.save_locked(lock, st);
            folder.remove_nodes_except(0);
            return true;
        }
        auto dev = simdev::load_device(st.device);
        if (!dev) return false;
        dev->replug();
        st.device = dev->save();
        st.generation += 1;
        st.enabled = true;
        folder.save_locked(lock, st);
        folder.remove_nodes_except(st.generation);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool Bus::set_shared_bandwidth(uint64_t bytes_per_s) {
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (bytes_per_s == 0) return ::unlink(shared_file(dir_).c_str()) == 0 || errno == ENOENT;
    FileLock lock(shared_file(dir_));
    return lock.ok() && write_shared(lock.fd(), {bytes_per_s, 0, 0});
}

std::optional<Bus::Shared> Bus::shared() const {
    uint64_t w[kSharedWords];
    const int fd = lock_shared(dir_, LOCK_SH, w);
    if (fd < 0) return std::nullopt;
    ::close(fd);
    return Shared{w[0], w[2]};
}

std::optional<bool> Bus::enabled(const std::string& id) const {
    try {
        if (id == kRootHub) return hub_enabled(dir_);
        if (!valid_device_id(id)) return std::nullopt;
        DeviceFolder folder(dir_ + "/" + id);
        if (!folder.has_state()) return std::nullopt;
        const DeviceState st = folder.load_state();
        if (!st.plugged) return std::nullopt;
        return st.enabled;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace simbus
