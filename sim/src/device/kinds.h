// The two kinds of simulated device behind simdev::Device.
#pragma once

#include <memory>

#include "simdev/device.h"

namespace simdev {

// A plain USB disk (optionally with a CD-ROM unit): standard commands only.
std::unique_ptr<Device> make_plain_disk(const FreshOptions& opts);
std::unique_ptr<Device> load_plain_disk(const nlohmann::json& saved);

// A flash disk built on the controller family: the vendor protocol.
std::unique_ptr<Device> make_controller(const FreshOptions& opts);
std::unique_ptr<Device> load_controller(const nlohmann::json& saved);

}  // namespace simdev
