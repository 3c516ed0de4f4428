#include "core/status.h"

#include <cmath>
#include <cstdio>

namespace galmor {

namespace {

constexpr StatusInfo kTable[] = {
    {Status::DeviceInfoUnreadable, nullptr, nullptr, "format, manufacture, check WP, discovery"},
    {Status::SizeWrong, "Flash Size Wrong", nullptr, "format"},
    {Status::WriteProtected, "Write Protect", nullptr, "format, discovery"},
    {Status::PasswordExists, "Password Exists", nullptr, "format"},
    {Status::WriteFailed, nullptr, nullptr, "format"},
    {Status::ConfigReadBack, nullptr, nullptr, "check config"},
    {Status::InternalError, nullptr, nullptr, "manufacture, check config, check WP"},
    {Status::ChipList, nullptr, nullptr, "format"},
    {Status::AfterCommit, nullptr, nullptr, "format"},
    {Status::Layout, "Partition Error", nullptr, "format"},
    {Status::ReservedAccess, nullptr, nullptr, "format"},
    {Status::FormatError, "Format Error", nullptr, "format"},
    {Status::LoaderMismatch, "Loader Disk Error", "Loader Disk Error", "format, scan"},
    {Status::ReserveMismatch, nullptr, "ReserveDisk Error", "none (no reserved-area read)"},
    {Status::NoFlash, "No Flash Detect!!", nullptr, "format"},
    {Status::Busy, "Busy: in use by another program", "Busy: in use by another program",
     "run, scan"},
    {Status::NoDiskUnit, "No disk unit", "No disk unit", "run, scan"},
    {Status::NotProbed, "Not probed: in use by another program",
     "Not probed: in use by another program", "discovery"},
    {Status::Unopenable, "Cannot be opened", "Cannot be opened", "discovery"},
    {Status::ConfigWriteFailed, nullptr, nullptr, "manufacture"},
    {Status::ReservedWrite, "Write Reserve Error", nullptr, "manufacture, format"},
    {Status::Runtime, nullptr, nullptr, "format"},
};

}  // namespace

const StatusInfo* FindStatus(int code) {
    for (const auto& e : kTable) {
        if (Code(e.status) == code) return &e;
    }
    return nullptr;
}

std::string ErrorStatusText(int code) {
    // A 16-bit status read into a signed value shows its unsigned digits.
    int64_t v = code;
    if (v < 0 && v >= INT16_MIN) v &= 0xFFFF;
    return "Error Status = " + HexPad(v, 2, false);
}

std::string FormatErrorText(int code) {
    const StatusInfo* s = FindStatus(code);
    return s && s->formatText ? s->formatText : ErrorStatusText(code);
}

std::string ScanErrorText(int code) {
    const StatusInfo* s = FindStatus(code);
    return s && s->scanText ? s->scanText : ErrorStatusText(code);
}

std::string FormatPassText(int chipCount, int32_t nominalSectors) {
    // Megabytes rounded to the nearest whole number, ties to even.
    const long long mb = std::llrint(static_cast<double>(nominalSectors) / 2000.0);
    return std::to_string(chipCount) + " Chip(s)   " + std::to_string(mb) + " MB";
}

std::string HexPad(int64_t value, int width, bool prefix) {
    // Negative values show their 32-bit two's complement, as the counters do.
    const uint64_t v = value < 0 ? static_cast<uint32_t>(value) : static_cast<uint64_t>(value);
    char digits[24];
    std::snprintf(digits, sizeof digits, "%llX", static_cast<unsigned long long>(v));
    std::string text = digits;
    if (width > 0 && text.size() < static_cast<size_t>(width)) {
        text.insert(0, static_cast<size_t>(width) - text.size(), '0');
    }
    return prefix ? "0x" + text : text;
}

}  // namespace galmor
