// Device and volume services: restarting, enabling and disabling device
// nodes found by name, formatting and labelling a volume, finding drive
// letters by volume name, and removing a module's file as the process ends.
#pragma once

#include <cstdint>
#include <string>

#include "platform.h"

namespace sarnik::svc {

// Action codes of the reset services.
constexpr int32_t kRestart = 1;
constexpr int32_t kEnable = 2;
constexpr int32_t kDisable = 3;
constexpr uint32_t kRestartPauseMs = 30;

// Every visible USB device whose name contains `pattern` (case-sensitive;
// an empty pattern matches nothing) gets the action. The result of the last
// one (1 = accepted), 0 when nothing matched. Prints "GetClassDevs !" on
// standard output when the device list cannot be had.
int32_t reset_device(Platform& p, const std::string& pattern, int32_t action);

// The first node of the device tree (pre-order) whose hardware ID contains
// `pattern` gets the action. 1 once such a node was found and has a
// description, else 0.
int32_t reset_device98(Platform& p, const std::string& pattern, int32_t action);

// The UTF-8 form of a NUL-terminated 16-bit text (at most 32767 units;
// unpaired surrogates become U+FFFD).
std::string utf8_of(const uint16_t* text);

// FormatEx results.
constexpr int32_t kFormatted = 0;
constexpr int32_t kNoFormatService = -1;
constexpr int32_t kFormatFailed = -3;
constexpr int32_t kLabelFailed = -4;
constexpr int32_t kInfoFailed = -5;
constexpr int32_t kFreeSpaceFailed = -6;
constexpr int32_t kFinalInfoFailed = -7;
constexpr const char kVolumeLabel[] = "KorvaDisk";

// Formats the volume of drive number `drive` (1 = A ... 7 = G ... 26 = Z)
// as FAT, labels it and reads it back. A volume that is not on a USB
// mass-storage unit or is in use is refused with kFormatFailed before
// anything is written.
int32_t format_ex(Platform& p, int32_t drive);

// Writes the letters (c to y) whose volume names start with
// kVolumePrefix to the dump file; 1 if any, else 0 (dump untouched).
constexpr const char kVolumePrefix[] = "\\\\?\\Volume{4ea";
int32_t get_driver_name(Platform& p);

// Unmaps the named module (nullptr or "": the program), deletes its file
// and ends the process with status 0. When the module is not loaded or its
// file cannot be deleted, says so on standard error and ends with status 1.
[[noreturn]] void suicide(const char* module);

}  // namespace sarnik::svc
