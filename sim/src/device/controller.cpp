// Flash disk built on the controller family (minimal first version).
#include <memory>

#include "kinds.h"

namespace simdev {
namespace {

class MinimalController final : public Device {
public:
    explicit MinimalController(const FreshOptions& o) : opts_(o) {}
    std::vector<UnitIdentity> units() const override {
        UnitIdentity u;
        u.vendor = opts_.vendor;
        u.product = opts_.product;
        u.revision = "7.77";
        u.sectors = 1024000;
        u.name = "disk";
        return {u};
    }
    UsbIdentity usb() const override { return {}; }
    bool on_usb() const override { return true; }
    Response execute(size_t, const Request&, Store&) override {
        return {kStatusCheckCondition, 0};
    }
    void replug() override {}
    std::optional<Extent> extent(const std::string&) const override { return std::nullopt; }
    nlohmann::json save() const override { return nlohmann::json{{"kind", "controller"}}; }
    nlohmann::json inspect() const override { return save(); }

private:
    FreshOptions opts_;
};

}  // namespace

std::unique_ptr<Device> make_controller(const FreshOptions& opts) {
    return std::make_unique<MinimalController>(opts);
}
std::unique_ptr<Device> load_controller(const nlohmann::json&) {
    return std::make_unique<MinimalController>(FreshOptions{});
}

}  // namespace simdev
