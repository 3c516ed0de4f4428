// A device of the simulated bus as the target of the bulk-only transport: the
// same device model, store and bookkeeping (trace, injected faults, timing)
// as every other user of the bus. Logical unit N is the device's unit N.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bot.h"
#include "simbus/bus.h"
#include "simdev/device.h"

namespace simgadget {

// What the device presents on USB now.
struct Presentation {
    simdev::UsbIdentity usb;
    std::vector<simdev::UnitIdentity> units;
};

class BusTarget final : public Target {
  public:
    // Opens every unit of a plugged USB device; nothing (and `error` set)
    // when the device is missing, unplugged, not on USB or has no unit.
    static std::optional<BusTarget> open(const std::string& bus_dir, const std::string& id,
                                         std::string* error);
    BusTarget(BusTarget&& other) noexcept;
    BusTarget& operator=(BusTarget&&) = delete;
    BusTarget(const BusTarget&) = delete;
    ~BusTarget() override;

    const Presentation& presentation() const { return shown_; }
    size_t luns() const override { return fds_.size(); }
    std::optional<simdev::Response> execute(uint8_t lun, const simdev::Request& req) override;
    // A command found the device no longer plugged on the bus (unplugged by
    // hand or by an injected fault): the USB device should go away too.
    bool gone() const { return gone_; }

  private:
    BusTarget(simbus::Bus bus, std::string id, Presentation shown, std::vector<int> fds)
        : bus_(std::move(bus)),
          id_(std::move(id)),
          shown_(std::move(shown)),
          fds_(std::move(fds)) {}
    simbus::Bus bus_;
    std::string id_;
    Presentation shown_;
    std::vector<int> fds_;
    bool gone_ = false;
};

}  // namespace simgadget
