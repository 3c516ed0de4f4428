// Simulated-bus platform: every operation goes to the bus folder named by
// SARNIK_SIM_BUS. Paths, descriptors and command outcomes are the bus's own.
// The filter driver's control node is <bus>/korvafilters (the bus never makes
// one; a test may).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

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

  private:
    simbus::Bus bus_;
};

}  // namespace

std::unique_ptr<Platform> make_sim_platform(std::string bus_dir) {
    return std::make_unique<SimPlatform>(std::move(bus_dir));
}

}  // namespace sarnik
