// Creates and restores devices of either kind. A saved device carries its kind.
#include <exception>

#include "kinds.h"

namespace simdev {

std::unique_ptr<Device> make_device(const FreshOptions& opts) {
    try {
        switch (opts.kind) {
            case FreshOptions::Kind::PlainDisk:
                return make_plain_disk(opts);
            case FreshOptions::Kind::Controller:
                return make_controller(opts);
        }
    } catch (const std::exception&) {
    }
    return nullptr;
}

// Saved state that does not parse, or of an unknown kind, gives no device
// rather than an exception: the bus reports such a device as gone.
std::unique_ptr<Device> load_device(const nlohmann::json& saved) {
    try {
        if (!saved.is_object() || !saved.contains("kind") || !saved["kind"].is_string()) {
            return nullptr;
        }
        const std::string kind = saved["kind"].get<std::string>();
        if (kind == "plain_disk") return load_plain_disk(saved);
        if (kind == "controller") return load_controller(saved);
    } catch (const std::exception&) {
    }
    return nullptr;
}

}  // namespace simdev
