// Simulated-bus platform: every operation goes to the bus folder named by
// SARNIK_SIM_BUS. Paths, descriptors and command outcomes are the bus's own.
// The filter driver's control node is <bus>/korvafilters (the bus never makes
// one; a test may).
//
// Device tree: the computer (root), the bus's root hub (hidden), and the
// plugged devices below it in bus order. A device's hardware ID is
// USB\VID_xxxx&PID_yyyy&REV_zzzz from its USB identity, its name the USB
// product string. Drive letters: the user units (disk1, disk2) of the enabled
// devices in bus order, each partition (or a unit without a partition table)
// one letter from "d".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform.h"
#include "simbus/bus.h"

namespace sarnik {

namespace {

simdev::UnitClass bus_class(UnitClass cls) {
    return cls == UnitClass::Disk ? simdev::UnitClass::Disk : simdev::UnitClass::Cdrom;
}

template <class Block>
bool execute(const simbus::Bus& bus, int fd, Block& block, uint8_t* data) {
    const uint32_t len = block.DataTransferLength;
    simdev::Direction dir = simdev::Direction::None;
    if (len > 0) dir = block.DataIn == kDataIn ? simdev::Direction::In : simdev::Direction::Out;
    const size_t cdb_len = std::min<size_t>(block.CdbLength, sizeof block.Cdb);
    const simbus::Outcome out =
        bus.execute(fd, block.Cdb, cdb_len, dir, len > 0 ? data : nullptr, len, block.TimeOutValue);
    if (!out.delivered) return false;
    block.ScsiStatus = out.status;
    block.DataTransferLength = std::min(out.transferred, len);
    return true;
}

constexpr uint32_t kChunkSectors = 128;

// READ(10) or WRITE(10) of `count` sectors (at most 128) at `lba`.
bool rw_sectors(const simbus::Bus& bus, int fd, uint64_t lba, uint32_t count, uint8_t* data,
                bool write) {
    if (lba + count > 0xFFFFFFFFull) return false;
    PassThroughBlock b =
        make_block(10, write ? kDataOut : kDataIn, count * 512, kTimeoutLong, data);
    b.Cdb[0] = write ? 0x2A : 0x28;
    const uint32_t a = static_cast<uint32_t>(lba);
    b.Cdb[2] = static_cast<uint8_t>(a >> 24);
    b.Cdb[3] = static_cast<uint8_t>(a >> 16);
    b.Cdb[4] = static_cast<uint8_t>(a >> 8);
    b.Cdb[5] = static_cast<uint8_t>(a);
    b.Cdb[7] = static_cast<uint8_t>(count >> 8);
    b.Cdb[8] = static_cast<uint8_t>(count);
    return execute(bus, fd, b, data) && b.ScsiStatus == 0 && b.DataTransferLength == count * 512;
}

std::string hardware_id(const nlohmann::json& usb) {
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_%04X",
                  usb.at("vid").get<unsigned>(), usb.at("pid").get<unsigned>(),
                  usb.at("bcd").get<unsigned>());
    return text;
}

class SimPlatform final : public Platform {
  public:
    explicit SimPlatform(std::string dir) : bus_(std::move(dir)) {}

    std::optional<std::string> interface_path(UnitClass cls, uint32_t index) override {
        auto paths = bus_.interface_paths(bus_class(cls));
        if (index >= paths.size()) return {};
        return paths[index];
    }

    int open(const std::string& path) override {
        int fd = bus_.open(path);
        if (fd < 0) return -1;
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        return fd;
    }

    bool pass_through(int fd, PassThroughBlock& block, void* data) override {
        if (block.DataTransferLength > 0 && data == nullptr) return false;
        return execute(bus_, fd, block, static_cast<uint8_t*>(data));
    }

    bool pass_through_buffered(int fd, BufferedPassThroughBlock& block) override {
        if (block.DataTransferLength > sizeof block.Data) return false;
        return execute(bus_, fd, block, block.Data);
    }

    // One lock per device of the bus.
    int lock_unit(int fd) override { return bus_.lock_device(fd); }

    std::optional<UnitLocation> unit_location(int fd) override {
        const auto place = bus_.place(fd);
        if (!place || !place->on_usb) return {};
        return UnitLocation{place->port, place->serial, place->sectors, place->node};
    }

    // The bus shows plugged units at once; a rescan has nothing to find.
    std::optional<uint32_t> rescan(int fd) override {
        if (::fcntl(fd, F_GETFD) < 0) return {};
        return 0u;
    }

    // Reads the unit's boot record, as the disk driver does, and reports its
    // primary partitions; a medium without a partition table has none.
    std::optional<DriveLayout> drive_layout(int fd) override {
        uint8_t sector[512] = {};
        PassThroughBlock block = make_block(10, kDataIn, sizeof sector, kTimeoutShort, sector);
        block.Cdb[0] = 0x28;
        block.Cdb[8] = 1;
        if (!execute(bus_, fd, block, sector) || block.ScsiStatus != 0 ||
            block.DataTransferLength != sizeof sector) {
            return {};
        }
        return parse_mbr(sector).value_or(DriveLayout{});
    }

    int open_filter_control() override {
        const std::string node = bus_.dir() + "/korvafilters";
        return ::open(node.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    }

    bool filter_request(int, uint32_t) override { return true; }

    std::optional<std::vector<DeviceNode>> usb_devices() override {
        struct stat st {};
        if (::stat(bus_.dir().c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
        std::vector<DeviceNode> out = {root_hub()};
        for (const auto& id : bus_.list()) {
            if (auto node = device(id)) out.push_back(*node);
        }
        return out;
    }

    std::vector<DeviceNode> device_tree() override {
        auto devices = usb_devices();
        if (!devices) return {};
        DeviceNode root;
        root.key = "root";
        root.description = "Simulated computer";
        devices->insert(devices->begin(), root);
        return *devices;
    }

    bool set_device_enabled(const DeviceNode& node, bool on) override {
        if (node.key == "root") return false;
        return bus_.set_enabled(node.key, on);
    }

    void pause_ms(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    std::vector<Volume> volumes() override {
        std::vector<Volume> out;
        char letter = 'd';
        if (!bus_.enabled(simbus::Bus::kRootHub).value_or(false)) return out;
        for (const auto& id : bus_.list()) {
            const auto j = bus_.inspect(id);
            if (!j || !j->value("plugged", false) || !j->value("enabled", true)) continue;
            const bool on_usb = j->value("on_usb", true);
            for (const auto& u : j->at("units")) {
                const std::string name = u.at("name").get<std::string>();
                if (u.at("class") != "disk" || (name != "disk1" && name != "disk2") ||
                    !u.at("medium").get<bool>()) {
                    continue;
                }
                const std::string path = u.at("path").get<std::string>();
                const uint64_t sectors = u.at("sectors").get<uint64_t>();
                uint8_t sector0[512] = {};
                const int fd = bus_.open(path);
                if (fd < 0) continue;
                const bool read = rw_sectors(bus_, fd, 0, 1, sector0, false);
                ::close(fd);
                if (!read) continue;
                for (Volume v : unit_volumes(sector0, sectors)) {
                    if (letter > 'z') return out;
                    v.letter = letter++;
                    v.unit_path = path;
                    v.on_usb_storage = on_usb;
                    v.name = volume_name(path, v.partition, on_usb);
                    out.push_back(v);
                }
            }
        }
        return out;
    }

    bool volume_io(const Volume& v, uint64_t sector, uint32_t count, uint8_t* data,
                   bool write) override {
        if (sector > v.sectors || count > v.sectors - sector) return false;
        const int fd = bus_.open(v.unit_path);
        if (fd < 0) return false;
        bool ok = true;
        for (uint32_t done = 0; ok && done < count;) {
            const uint32_t n = std::min(kChunkSectors, count - done);
            ok = rw_sectors(bus_, fd, v.start_sector + sector + done, n, data + size_t(done) * 512,
                            write);
            done += n;
        }
        ::close(fd);
        return ok;
    }

  private:
    DeviceNode root_hub() const {
        DeviceNode hub;
        hub.key = simbus::Bus::kRootHub;
        hub.hardware_id = "USB\\ROOT_HUB20";
        hub.class_name = "USB";
        hub.description = "USB Root Hub";
        hub.hidden = true;
        return hub;
    }

    std::optional<DeviceNode> device(const std::string& id) const {
        const auto j = bus_.inspect(id);
        if (!j || !j->value("plugged", false)) return {};
        const auto& usb = j->at("usb");
        DeviceNode node;
        node.key = id;
        node.hardware_id = hardware_id(usb);
        node.name = usb.value("product", "");
        node.class_name = "USB";
        node.description = node.name.empty() ? "USB Mass Storage Device" : node.name;
        return node;
    }

    simbus::Bus bus_;
};

}  // namespace

std::unique_ptr<Platform> make_sim_platform(std::string bus_dir) {
    return std::make_unique<SimPlatform>(std::move(bus_dir));
}

}  // namespace sarnik
