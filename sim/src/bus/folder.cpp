#include "folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace simbus::detail {

namespace {

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

FileLock::FileLock(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the flock
}

// ---- state ----

const char* timing_name(Timing t) {
    switch (t) {
        case Timing::Usb2:
            return "usb2";
        case Timing::Usb1:
            return "usb1";
        case Timing::None:
            break;
    }
    return "none";
}

std::optional<Timing> timing_from_name(const std::string& name) {
    if (name == "none") return Timing::None;
    if (name == "usb2") return Timing::Usb2;
    if (name == "usb1") return Timing::Usb1;
    return std::nullopt;
}

uint64_t timing_delay_us(Timing t, uint64_t bytes) {
    switch (t) {
        case Timing::Usb2:  // 1 ms per command, 30 MB/s
            return 1000 + bytes / 30;
        case Timing::Usb1:  // 2 ms per command, 1 MB/s
            return 2000 + bytes;
        case Timing::None:
            break;
    }
    return 0;
}

nlohmann::json to_json(const DeviceState& s) {
    nlohmann::json faults = nlohmann::json::array();
    for (const auto& f : s.faults) {
        faults.push_back({{"opcode", f.opcode}, {"nth", f.nth}, {"unplug", f.unplug}});
    }
    nlohmann::json seen = nlohmann::json::object();
    for (const auto& [op, n] : s.seen) {
        char key[4];
        std::snprintf(key, sizeof key, "%02x", op);
        seen[key] = n;
    }
    return {{"id", s.id},
            {"plugged", s.plugged},
            {"enabled", s.enabled},
            {"generation", s.generation},
            {"timing", timing_name(s.timing)},
            {"faults", faults},
            {"seen", seen},
            {"commands", s.commands},
            {"last_delay_us", s.last_delay_us},
            {"total_delay_us", s.total_delay_us},
            {"device", s.device}};
}

DeviceState state_from_json(const nlohmann::json& j) {
    DeviceState s;
    s.id = j.at("id").get<std::string>();
    s.plugged = j.at("plugged").get<bool>();
    s.enabled = j.value("enabled", true);  // states saved before it existed
    s.generation = j.at("generation").get<uint64_t>();
    auto timing = timing_from_name(j.at("timing").get<std::string>());
    if (!timing) throw std::runtime_error("unknown timing model");
    s.timing = *timing;
    for (const auto& f : j.at("faults")) {
        s.faults.push_back({f.at("opcode").get<uint8_t>(), f.at("nth").get<uint32_t>(),
                            f.at("unplug").get<bool>()});
    }
    for (const auto& [key, n] : j.at("seen").items()) {
        s.seen[static_cast<uint8_t>(std::stoul(key, nullptr, 16))] = n.get<uint64_t>();
    }
    s.commands = j.at("commands").get<uint64_t>();
    s.last_delay_us = j.at("last_delay_us").get<uint64_t>();
    s.total_delay_us = j.at("total_delay_us").get<uint64_t>();
    s.device = j.at("device");
    return s;
}

// ---- folder ----

bool DeviceFolder::has_state() const {
    return ::access(file("state.json").c_str(), F_OK) == 0;
}

DeviceState DeviceFolder::load_state() const {
    return state_from_json(nlohmann::json::parse(read_file(file("state.json"))));
}

void DeviceFolder::save_state(const DeviceState& s) const {
    const std::string text = to_json(s).dump();
    std::ostringstream tmpname;
    tmpname << file("state.json") << ".tmp." << ::getpid() << "."
            << std::hash<std::thread::id>{}(std::this_thread::get_id());
    const std::string tmp = tmpname.str();
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw std::runtime_error("cannot write " + tmp);
    const bool ok = write_all(fd, text.data(), text.size());
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), file("state.json").c_str()) != 0) {
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot save state in " + path_);
    }
}

void DeviceFolder::append_trace(const std::string& line) const {
    int fd = ::open(file("trace.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string text = line + "\n";
    write_all(fd, text.data(), text.size());  // one write: lines never interleave
    ::close(fd);
}

std::vector<std::string> DeviceFolder::read_trace() const {
    std::vector<std::string> lines;
    std::ifstream in(file("trace.txt"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string DeviceFolder::node_path(uint64_t generation, size_t unit) const {
    return path_ + "/node-g" + std::to_string(generation) + "-u" + std::to_string(unit);
}

void DeviceFolder::remove_nodes_except(uint64_t generation) const {
    DIR* d = ::opendir(path_.c_str());
    if (!d) return;
    const std::string keep = "node-g" + std::to_string(generation) + "-";
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind("node-g", 0) == 0 && name.rfind(keep, 0) != 0) {
            ::unlink((path_ + "/" + name).c_str());
        }
    }
    ::closedir(d);
}

uint64_t DeviceFolder::read_cpu(const FileLock& lock) {
    uint8_t b[8] = {};
    if (::pread(lock.fd(), b, sizeof b, 0) != sizeof b) return 0;
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | b[i];
    return v;
}

void DeviceFolder::write_cpu(const FileLock& lock, uint64_t ns) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(ns >> (8 * i));
    (void)!::pwrite(lock.fd(), b, sizeof b, 0);
}

namespace {

// Lock-file layout after the CPU counter: the state version, then a tag,
// commands, last delay, total delay and the count of each opcode, all 64-bit
// little-endian.
constexpr off_t kVersionAt = 8;
constexpr off_t kCountersAt = 16;
constexpr uint64_t kCountersTag = 0x31544e43424d4953ull;  // "SIMBCNT1"
constexpr size_t kCounterWords = 4 + 256;

void put_le64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t get_le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// A version no earlier device at the same path is likely to have had.
uint64_t fresh_version() {
    std::random_device rd;
    return (uint64_t{rd()} << 32 | rd()) & ~uint64_t{0xFFFF};  // room to count
}

bool write_version(int fd, uint64_t v) {
    uint8_t b[8];
    put_le64(b, v);
    return ::pwrite(fd, b, sizeof b, kVersionAt) == static_cast<ssize_t>(sizeof b);
}

// This process's copy of each device's last parsed state, keyed by folder.
struct CachedState {
    uint64_t version = 0;
    FileKey file;
    DeviceState state;
};
std::mutex g_cache_mutex;
std::map<std::string, CachedState> g_cache;
constexpr size_t kCacheLimit = 256;

// Overlays the counters held in the lock-file words `b` (from kVersionAt on).
void overlay_counters(const uint8_t* b, DeviceState& s) {
    const uint8_t* c = b + (kCountersAt - kVersionAt);
    if (get_le64(c) != kCountersTag) return;  // none since the last save (or an older bus)
    s.commands = get_le64(c + 8);
    s.last_delay_us = get_le64(c + 16);
    s.total_delay_us = get_le64(c + 24);
    s.seen.clear();
    for (size_t op = 0; op < 256; ++op) {
        if (const uint64_t n = get_le64(c + 32 + 8 * op)) s.seen[static_cast<uint8_t>(op)] = n;
    }
}

constexpr size_t kLockWordsBytes = 8 + kCounterWords * 8;  // version and counters
// After the counters: when the device finishes its last command.
constexpr off_t kFreeAt = kCountersAt + static_cast<off_t>(kCounterWords * 8);

}  // namespace

int64_t DeviceFolder::read_free_at(const FileLock& lock) {
    uint8_t b[8] = {};
    if (::pread(lock.fd(), b, sizeof b, kFreeAt) != sizeof b) return 0;
    return static_cast<int64_t>(get_le64(b));
}

void DeviceFolder::write_free_at(const FileLock& lock, int64_t steady_ns) {
    uint8_t b[8];
    put_le64(b, static_cast<uint64_t>(steady_ns));
    (void)!::pwrite(lock.fd(), b, sizeof b, kFreeAt);
}

DeviceState DeviceFolder::load_locked(const FileLock& lock) const {
    DeviceState s = load_state();
    uint8_t b[kLockWordsBytes];
    if (::pread(lock.fd(), b, sizeof b, kVersionAt) == static_cast<ssize_t>(sizeof b)) {
        overlay_counters(b, s);
    }
    return s;
}

DeviceState DeviceFolder::load_cached(const FileLock& lock) const {
    uint8_t b[kLockWordsBytes];
    const bool words =
        ::pread(lock.fd(), b, sizeof b, kVersionAt) == static_cast<ssize_t>(sizeof b);
    const uint64_t version = words ? get_le64(b) : 0;
    struct stat now {};
    const bool cacheable = words && version != 0 && ::stat(file("state.json").c_str(), &now) == 0;
    if (cacheable) {
        std::lock_guard<std::mutex> hold(g_cache_mutex);
        const auto it = g_cache.find(path_);
        if (it != g_cache.end() && it->second.version == version &&
            it->second.file == key_of(now)) {
            DeviceState s = it->second.state;
            overlay_counters(b, s);
            return s;
        }
    }
    DeviceState s = load_state();
    if (cacheable) {
        std::lock_guard<std::mutex> hold(g_cache_mutex);
        if (g_cache.size() >= kCacheLimit) g_cache.clear();
        g_cache[path_] = CachedState{version, key_of(now), s};
    }
    if (words) overlay_counters(b, s);
    return s;
}

void DeviceFolder::save_locked(const FileLock& lock, const DeviceState& s) const {
    uint8_t b[8];
    const bool have = ::pread(lock.fd(), b, sizeof b, kVersionAt) == sizeof b && get_le64(b);
    {
        // Whatever happens next, this process's copy is no longer the state.
        std::lock_guard<std::mutex> hold(g_cache_mutex);
        g_cache.erase(path_);
    }
    save_state(s);
    // Other processes see the new version and parse the state again; this
    // one keeps what it saved.
    const uint64_t version = have ? get_le64(b) + 1 : fresh_version();
    struct stat now {};
    if (write_version(lock.fd(), version) && ::stat(file("state.json").c_str(), &now) == 0) {
        std::lock_guard<std::mutex> hold(g_cache_mutex);
        if (g_cache.size() >= kCacheLimit) g_cache.clear();
        g_cache[path_] = CachedState{version, key_of(now), s};
    }
}

void DeviceFolder::start_version() const {
    const int fd = ::open(file("lock").c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    write_version(fd, fresh_version());
    ::close(fd);
}

bool DeviceFolder::write_counters(const FileLock& lock, const DeviceState& s) {
    uint8_t b[kCounterWords * 8] = {};
    put_le64(b, kCountersTag);
    put_le64(b + 8, s.commands);
    put_le64(b + 16, s.last_delay_us);
    put_le64(b + 24, s.total_delay_us);
    for (const auto& [op, n] : s.seen) put_le64(b + 32 + 8 * op, n);
    if (::pwrite(lock.fd(), b, sizeof b, kCountersAt) == static_cast<ssize_t>(sizeof b)) {
        return true;
    }
    // Stale counters must not win over the state the caller saves instead.
    const uint8_t none[8] = {};
    (void)!::pwrite(lock.fd(), none, sizeof none, kCountersAt);
    return false;
}

std::optional<NodeRef> node_of_fd(int fd) {
    if (fd < 0) return std::nullopt;
    char link[4096];
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(proc.c_str(), link, sizeof link - 1);
    if (n <= 0) return std::nullopt;
    std::string target(link, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (target.size() > deleted.size() &&
        target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0) {
        target.resize(target.size() - deleted.size());
    }
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos || slash == 0) return std::nullopt;
    const std::string name = target.substr(slash + 1);
    unsigned long long gen = 0;
    unsigned long unit = 0;
    int used = 0;
    if (std::sscanf(name.c_str(), "node-g%llu-u%lu%n", &gen, &unit, &used) != 2 ||
        static_cast<size_t>(used) != name.size()) {
        return std::nullopt;
    }
    return NodeRef{target.substr(0, slash), gen, unit};
}

// ---- store ----

FileStore::~FileStore() {
    for (int fd : fds_) {
        if (fd >= 0) ::close(fd);
    }
}

int FileStore::fd(simdev::Region r) {
    const int i = r == simdev::Region::Flash ? 0 : 1;
    if (fds_[i] < 0) {
        const std::string name = folder_.file(i == 0 ? "flash.img" : "reserved.img");
        fds_[i] = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    }
    return fds_[i];
}

bool FileStore::read(simdev::Region r, uint64_t offset, uint8_t* out, size_t len) {
    if (offset > kStoreLimit || len > kStoreLimit - offset) return false;
    const int f = fd(r);
    if (f < 0) return false;
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pread(f, out + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;  // beyond the end: never written
        done += static_cast<size_t>(n);
    }
    std::memset(out + done, 0, len - done);
    return true;
}

bool FileStore::write(simdev::Region r, uint64_t offset, const uint8_t* in, size_t len) {
    if (offset > kStoreLimit || len > kStoreLimit - offset) return false;
    const int f = fd(r);
    if (f < 0) return false;
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pwrite(f, in + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace simbus::detail
