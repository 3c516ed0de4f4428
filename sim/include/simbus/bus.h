// The simulated bus: a folder that holds plugged devices, each persistent on
// disk (state, store, trace), shared by every process and handle. The command
// library reaches it through this interface when SARNIK_SIM_BUS names a bus.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "simdev/device.h"

namespace simbus {

// Fault injected on a device: the nth (1-based) command whose opcode (CDB
// byte 0) equals `opcode` fails with CHECK CONDITION, or unplugs the device.
struct Fault {
    uint8_t opcode = 0;
    uint32_t nth = 1;
    bool unplug = false;
};

enum class Timing { None, Usb2, Usb1 };

struct PlugOptions {
    simdev::FreshOptions device;
    std::vector<Fault> faults;
    Timing timing = Timing::None;
};

struct Outcome {
    bool delivered = false;  // false: transport failure (no such device, unplugged)
    uint8_t status = 0;
    uint32_t transferred = 0;
};

// Where a unit hangs on the bus and what it holds.
struct UnitPlace {
    std::string device_id;
    size_t unit = 0;
    // The device's port on the simulated hub: "1-" and its device number
    // (every plugged device has a port of its own; a replug keeps it).
    std::string port;
    std::string serial;  // the device's USB serial, "" when it has none
    uint64_t sectors = 0;
    bool on_usb = true;
    std::string node;  // the file the unit's handles are opened on
};

class Bus {
  public:
    explicit Bus(std::string dir);
    const std::string& dir() const { return dir_; }

    // Device paths of the present interfaces of a class, in enumeration order
    // (by device id, then unit). Windows-style interface paths. Each call
    // reads every device's state afresh; what it derives from a state is
    // kept (once per process) and reused while the state's bytes stay the same.
    std::vector<std::string> interface_paths(simdev::UnitClass cls) const;
    // Opens the unit named by an interface path: a file descriptor > 0, or -1.
    int open(const std::string& path) const;
    // Takes the exclusive lock of the device that `fd` was opened on (one
    // lock for all its units) without waiting: a descriptor that holds it
    // until closed, or -1 with errno EWOULDBLOCK when another holder has it.
    int lock_device(int fd) const;
    // The place of the unit that `fd` was opened on; nothing when the unit
    // is gone (unplugged, disabled, or replugged since it was opened).
    std::optional<UnitPlace> place(int fd) const;
    // Runs one command on the unit that `fd` was opened on.
    Outcome execute(int fd, const uint8_t* cdb, size_t cdb_len, simdev::Direction dir,
                    uint8_t* data, uint32_t length, uint32_t timeout_s) const;

    // Administration (the simbus tool and tests).
    std::string plug(const PlugOptions& opts);  // returns the new device id
    bool unplug(const std::string& id);
    bool replug(const std::string& id);
    std::vector<std::string> list() const;
    std::optional<nlohmann::json> inspect(const std::string& id) const;
    bool export_unit(const std::string& id, const std::string& unit, const std::string& file) const;
    std::vector<std::string> trace(const std::string& id) const;

    // The host's device manager. A disabled device stays plugged but is
    // absent from enumeration and its handles fail; enabling it starts it
    // afresh, as a replug does. kRootHub names the bus's root hub: while it is
    // disabled no device is reachable. false: no such device (or unplugged).
    static constexpr const char* kRootHub = "hub";
    bool set_enabled(const std::string& id, bool on);
    std::optional<bool> enabled(const std::string& id) const;

    // The host controller's bandwidth. By default each device moves data as
    // fast as its own timing model lets it. With a shared bandwidth set, the
    // data of every device on the bus passes one after another through the
    // host controller at that rate (bytes per second), each device still no
    // faster than its own model; devices without a timing model take their
    // share of the bus too. 0 returns the bus to devices on their own.
    // Creates the bus folder; false when it cannot be written.
    bool set_shared_bandwidth(uint64_t bytes_per_s);
    struct Shared {
        uint64_t bytes_per_s = 0;
        uint64_t bytes_carried = 0;  // data bytes of all commands since it was set
    };
    std::optional<Shared> shared() const;  // nothing: each device on its own

  private:
    std::string dir_;
};

}  // namespace simbus
