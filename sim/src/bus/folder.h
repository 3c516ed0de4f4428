// One device's folder on the bus:
//   lock          flock'ed around every command and admin operation; its
//                 first 8 bytes hold the device's CPU counter (ns), the
//                 next 8 the state version, the bytes after them the
//                 per-command counters (see load_locked), then when the
//                 device finishes its last command (see read_free_at)
//   state.json    bus bookkeeping plus the device model's saved state,
//                 replaced atomically (write, then rename) when anything
//                 but the per-command counters changes
//   flash.img     sparse store of the flash region
//   reserved.img  sparse store of the reserved region
//   trace.txt     one line per command received
//   node-gG-uU    node files that open() hands out descriptors on, one per
//                 unit of plug generation G
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "simbus/bus.h"
#include "simdev/device.h"

namespace simbus::detail {

// An exclusive flock on a file, held for the object's lifetime. Every holder
// opens the file itself, so threads of one process exclude each other too.
class FileLock {
  public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// Which file a state was read from: a state file is never changed in place,
// only replaced by rename, so the same file means the same bytes.
struct FileKey {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const FileKey& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

inline FileKey key_of(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// Bus bookkeeping of one device, persisted with the model's state.
struct DeviceState {
    std::string id;
    bool plugged = true;
    bool enabled = true;  // false: disabled by the host, absent until enabled
    uint64_t generation = 1;
    Timing timing = Timing::None;
    std::vector<Fault> faults;
    std::map<uint8_t, uint64_t> seen;  // commands received per opcode
    uint64_t commands = 0;
    uint64_t last_delay_us = 0;
    uint64_t total_delay_us = 0;
    nlohmann::json device;  // simdev::Device::save()
};

nlohmann::json to_json(const DeviceState& s);
DeviceState state_from_json(const nlohmann::json& j);  // throws on malformed input

const char* timing_name(Timing t);
std::optional<Timing> timing_from_name(const std::string& name);
// Modelled duration of one command moving `bytes` bytes.
uint64_t timing_delay_us(Timing t, uint64_t bytes);

class DeviceFolder {
  public:
    explicit DeviceFolder(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }
    std::string file(const char* name) const { return path_ + "/" + name; }

    FileLock lock() const { return FileLock(file("lock")); }
    bool has_state() const;
    DeviceState load_state() const;               // throws when missing or malformed
    void save_state(const DeviceState& s) const;  // throws on I/O failure
    void append_trace(const std::string& line) const;
    std::vector<std::string> read_trace() const;

    std::string node_path(uint64_t generation, size_t unit) const;
    void remove_nodes_except(uint64_t generation) const;

    static uint64_t read_cpu(const FileLock& lock);
    static void write_cpu(const FileLock& lock, uint64_t ns);
    // When the device finishes its last command, on the steady clock (which
    // all processes of one boot share); 0 when unknown.
    static int64_t read_free_at(const FileLock& lock);
    static void write_free_at(const FileLock& lock, int64_t steady_ns);

    // The per-command counters (commands, seen, last and total delay) are
    // rewritten in place in the lock file after every command, so that a
    // command that changes nothing else costs no new state.json: replacing
    // a file by rename costs the host about as much as a whole modelled
    // command. Whoever holds the lock reads the state with load_locked(),
    // which takes the counters from the lock file when it holds them.
    DeviceState load_locked(const FileLock& lock) const;  // throws as load_state
    // load_locked() through a copy this process keeps: state.json is parsed
    // again only when the state version in the lock file (bumped by every
    // save_locked) or the file itself changed.
    DeviceState load_cached(const FileLock& lock) const;
    // save_state() by the lock's holder: bumps the state version.
    void save_locked(const FileLock& lock, const DeviceState& s) const;
    // Gives a new device's lock file its first state version.
    void start_version() const;
    // false: not written; the lock file's counters are then marked absent
    // and the caller must save the state instead.
    static bool write_counters(const FileLock& lock, const DeviceState& s);

  private:
    std::string path_;
};

// What a descriptor handed out by open() refers to.
struct NodeRef {
    std::string folder;
    uint64_t generation = 0;
    size_t unit = 0;
};
std::optional<NodeRef> node_of_fd(int fd);

// The device's two sparse store files, opened on first use.
class FileStore final : public simdev::Store {
  public:
    explicit FileStore(const DeviceFolder& folder) : folder_(folder) {}
    ~FileStore() override;
    bool read(simdev::Region r, uint64_t offset, uint8_t* out, size_t len) override;
    bool write(simdev::Region r, uint64_t offset, const uint8_t* in, size_t len) override;
    // Raw descriptor of a region's file (for exporting), or -1.
    int fd(simdev::Region r);

  private:
    const DeviceFolder& folder_;
    int fds_[2] = {-1, -1};
};

// Largest offset + length the store accepts (keeps a runaway model from
// growing files past what a flash disk could hold).
constexpr uint64_t kStoreLimit = uint64_t{1} << 40;

}  // namespace simbus::detail
