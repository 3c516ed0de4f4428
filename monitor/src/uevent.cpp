#include "uevent.h"

#include <array>
#include <cstring>
#include <string_view>

#include "event_table.h"

namespace dorvel {

std::optional<UEvent> ParseKernelUEvent(const char* data, size_t len) {
    if (!data || len == 0) return std::nullopt;
    const std::string_view msg(data, len);
    // A udev daemon re-broadcasts with its own binary header that starts with
    // "libudev"; only the kernel's own text format is accepted.
    if (msg.substr(0, 7) == "libudev") return std::nullopt;

    size_t end = msg.find('\0');
    const std::string_view header = msg.substr(0, end);
    const size_t at = header.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 >= header.size()) return std::nullopt;

    UEvent e;
    while (end != std::string_view::npos && end + 1 < msg.size()) {
        const size_t start = end + 1;
        end = msg.find('\0', start);
        const std::string_view field =
            msg.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        const size_t eq = field.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = field.substr(0, eq);
        const std::string_view value = field.substr(eq + 1);
        if (key == "ACTION") {
            e.action = value;
        } else if (key == "DEVPATH") {
            e.devpath = value;
        } else if (key == "SUBSYSTEM") {
            e.subsystem = value;
        } else if (key == "DEVTYPE") {
            e.devtype = value;
        }
    }
    if (e.action.empty()) e.action = header.substr(0, at);
    if (e.devpath.empty()) e.devpath = header.substr(at + 1);
    if (e.subsystem.empty()) return std::nullopt;
    return e;
}

std::optional<uint16_t> TranslateUEvent(const UEvent& e) {
    static constexpr std::array<std::string_view, 4> kSubsystems{"usb", "scsi", "scsi_generic",
                                                                 "block"};
    static constexpr std::array<std::string_view, 5> kNodeActions{"add", "remove", "change", "bind",
                                                                  "unbind"};
    bool watched = false;
    for (auto s : kSubsystems) watched = watched || e.subsystem == s;
    if (!watched) return std::nullopt;
    for (auto a : kNodeActions) {
        if (e.action == a) return kDevNodesChanged;
    }
    if (e.action == "online") return kDeviceArrival;
    if (e.action == "offline") return kDeviceRemoveComplete;
    return std::nullopt;
}

}  // namespace dorvel
