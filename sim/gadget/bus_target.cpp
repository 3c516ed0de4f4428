// Bulk-only transport target on the simulated bus.
#include "bus_target.h"

#include <unistd.h>

#include <exception>

namespace simgadget {

std::optional<BusTarget> BusTarget::open(const std::string& bus_dir, const std::string& id,
                                         std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<BusTarget> {
        if (error) *error = why;
        return std::nullopt;
    };
    simbus::Bus bus(bus_dir);
    const auto j = bus.inspect(id);
    if (!j) return fail("no device " + id + " on the bus " + bus_dir);
    Presentation shown;
    std::vector<int> fds;
    auto close_all = [&] {
        for (int fd : fds) ::close(fd);
        fds.clear();
    };
    try {
        if (!j->at("plugged").get<bool>()) return fail("device " + id + " is unplugged");
        if (!j->at("on_usb").get<bool>()) return fail("device " + id + " is not a USB device");
        const auto& u = j->at("usb");
        shown.usb.vid = u.at("vid").get<uint16_t>();
        shown.usb.pid = u.at("pid").get<uint16_t>();
        shown.usb.bcd = u.at("bcd").get<uint16_t>();
        shown.usb.manufacturer = u.at("manufacturer").get<std::string>();
        shown.usb.product = u.at("product").get<std::string>();
        shown.usb.serial = u.at("serial").get<std::string>();
        for (const auto& x : j->at("units")) {
            simdev::UnitIdentity unit;
            unit.cls = x.at("class").get<std::string>() == "cdrom" ? simdev::UnitClass::Cdrom
                                                                   : simdev::UnitClass::Disk;
            unit.vendor = x.at("vendor").get<std::string>();
            unit.product = x.at("product").get<std::string>();
            unit.revision = x.at("revision").get<std::string>();
            unit.removable = x.at("removable").get<bool>();
            unit.sectors = x.at("sectors").get<uint64_t>();
            unit.medium = x.at("medium").get<bool>();
            unit.name = x.at("name").get<std::string>();
            const int fd = bus.open(x.at("path").get<std::string>());
            if (fd < 0) {
                close_all();
                return fail("cannot open unit " + unit.name + " of device " + id);
            }
            fds.push_back(fd);
            shown.units.push_back(std::move(unit));
        }
    } catch (const std::exception& e) {
        close_all();
        return fail("unreadable state of device " + id + ": " + e.what());
    }
    if (fds.empty()) return fail("device " + id + " presents no unit");
    if (fds.size() > 16) {
        close_all();
        return fail("device " + id + " presents more units than bulk-only transport addresses");
    }
    return BusTarget(std::move(bus), id, std::move(shown), std::move(fds));
}

BusTarget::BusTarget(BusTarget&& o) noexcept
    : bus_(std::move(o.bus_)),
      id_(std::move(o.id_)),
      shown_(std::move(o.shown_)),
      fds_(std::move(o.fds_)),
      gone_(o.gone_) {
    o.fds_.clear();
}

BusTarget::~BusTarget() {
    for (int fd : fds_) ::close(fd);
}

std::optional<simdev::Response> BusTarget::execute(uint8_t lun, const simdev::Request& req) {
    if (lun >= fds_.size()) return std::nullopt;
    const auto out = bus_.execute(fds_[lun], req.cdb.data(), req.cdb.size(), req.dir,
                                  req.data.data(), uint32_t(req.data.size()), 0);
    if (!out.delivered) {
        const auto j = bus_.inspect(id_);
        gone_ = !j || !j->value("plugged", false);
        return std::nullopt;
    }
    return simdev::Response{out.status, out.transferred};
}

}  // namespace simgadget
