// Interface paths of simulated units, in the form the host's device-interface
// enumeration gives them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "simdev/device.h"

namespace simbus::detail {

constexpr const char* kDiskClassGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kCdromClassGuid = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

// One identity field as it appears in a path: trimmed, lower case, blanks and
// characters outside [a-z0-9._-] replaced by "_". With `mask_usb`, no "usb"
// survives in the result.
std::string path_field(const std::string& text, bool mask_usb);

std::string interface_path(const std::string& device_id, size_t unit,
                           const simdev::UnitIdentity& identity, bool on_usb);

// The device id and unit index named by an interface path (not checked
// against any device).
struct PathRef {
    std::string device_id;
    size_t unit = 0;
};
std::optional<PathRef> parse_interface_path(const std::string& path);

bool equals_nocase(const std::string& a, const std::string& b);

// Device ids: "d" followed by decimal digits; ids increase as devices are plugged.
bool valid_device_id(const std::string& id);
std::string make_device_id(unsigned long number);
unsigned long device_number(const std::string& id);  // 0 for an invalid id

}  // namespace simbus::detail
