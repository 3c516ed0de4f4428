#include "paths.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace simbus::detail {

namespace {
char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}
}  // namespace

std::string path_field(const std::string& text, bool mask_usb) {
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    auto first = std::find_if_not(text.begin(), text.end(), blank);
    auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    std::string out;
    for (auto it = first; it < last; ++it) {
        const char c = lower(*it);
        const bool keep =
            (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        out.push_back(keep ? c : '_');
    }
    if (mask_usb) {
        // Replacing the "s" cannot create a new "usb", so one pass suffices.
        for (size_t at = out.find("usb"); at != std::string::npos; at = out.find("usb", at)) {
            out[at + 1] = '_';
        }
    }
    return out;
}

std::string interface_path(const std::string& device_id, size_t unit,
                           const simdev::UnitIdentity& identity, bool on_usb) {
    const bool cdrom = identity.cls == simdev::UnitClass::Cdrom;
    std::string p = on_usb ? "\\\\?\\usbstor#" : "\\\\?\\scsi#";
    p += cdrom ? "cdrom" : "disk";
    p += "&ven_" + path_field(identity.vendor, !on_usb);
    p += "&prod_" + path_field(identity.product, !on_usb);
    p += "&rev_" + path_field(identity.revision, !on_usb);
    p += "#" + device_id + "&" + std::to_string(unit) + "#";
    p += cdrom ? kCdromClassGuid : kDiskClassGuid;
    return p;
}

std::optional<PathRef> parse_interface_path(const std::string& path) {
    // \\?\<bus>#<class&identity>#<device id>&<unit>#{guid}
    size_t hash1 = path.find('#');
    size_t hash2 = hash1 == std::string::npos ? hash1 : path.find('#', hash1 + 1);
    size_t hash3 = hash2 == std::string::npos ? hash2 : path.find('#', hash2 + 1);
    if (hash3 == std::string::npos) return std::nullopt;
    const std::string instance = path.substr(hash2 + 1, hash3 - hash2 - 1);
    const size_t amp = instance.find('&');
    if (amp == std::string::npos) return std::nullopt;
    PathRef ref;
    ref.device_id = instance.substr(0, amp);
    std::transform(ref.device_id.begin(), ref.device_id.end(), ref.device_id.begin(), lower);
    const std::string unit = instance.substr(amp + 1);
    if (!valid_device_id(ref.device_id) || unit.empty() || unit.size() > 4 ||
        !std::all_of(unit.begin(), unit.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    ref.unit = std::stoul(unit);
    return ref;
}

bool equals_nocase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

bool valid_device_id(const std::string& id) {
    return id.size() >= 2 && id.size() <= 12 && id[0] == 'd' &&
           std::all_of(id.begin() + 1, id.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string make_device_id(unsigned long number) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "d%03lu", number);
    return buf;
}

unsigned long device_number(const std::string& id) {
    return valid_device_id(id) ? std::stoul(id.substr(1)) : 0;
}

}  // namespace simbus::detail
