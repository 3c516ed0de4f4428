// The station's status codes: one table of every code a step stores in a
// port's ErrorStatus, the text the result columns show for it and the step
// that sets it.
#pragma once

#include <cstdint>
#include <string>

namespace galmor {

enum class Status : int16_t {
    Ok = 0,
    DeviceInfoUnreadable = 0x75,  // format, check WP, discovery: device information unreadable
    SizeWrong = 0x78,             // format: the layout does not fit the flash
    WriteProtected = 0x7E,        // format: write protected; discovery: a finished device
    PasswordExists = 0x7F,        // format: a password is set
    WriteFailed = 0x80,           // format: a loader or fill write failed
    ConfigReadBack = 0x82,        // check config: stored block unreadable or different
    InternalError = 0x87,         // configuration, check and write-protect steps: unexpected error
    ChipList = 0x93,              // format: the chip list could not be read
    AfterCommit = 0x96,           // format: the read after the layout commit failed
    Layout = 0x99,                // format: the layout or its commit was refused
    ReservedAccess = 0x9A,        // format: reserved-area access refused
    FormatError = 0x9B,           // format: a file-system write, read-back or compare failed
    // 0xE1: format, an old controller with a loader other than 1 MiB; scan (also
    // inside the format step), the loader disk reads back different or not at all.
    LoaderMismatch = 0xE1,
    LoaderCompare = 0xE1,
    // Kept for a controller that can read its reserved area back; this family
    // cannot, so nothing sets it.
    ReserveMismatch = 0xE2,
    NoFlash = 0xE5,            // format: no flash behind the controller
    Busy = 0xEB,               // run, scan: another program holds the unit
    NoDiskUnit = 0xEC,         // run, scan: a CD-ROM unit without a disk unit
    NotProbed = 0xED,          // discovery: another program held the unit throughout its probe
    Unopenable = 0xEE,         // discovery: the unit is present but could not be opened
    ConfigWriteFailed = 0xF6,  // manufacture: the configuration block write failed
    // 0xF7: manufacture, a required setting is empty; format, a reserved-area write failed.
    MissingSetting = 0xF7,
    ReservedWrite = 0xF7,
    Runtime = 0xFF,  // media steps: unexpected error
};

constexpr int16_t Code(Status s) {
    return static_cast<int16_t>(s);
}

struct StatusInfo {
    Status status;
    const char* formatText;  // "Format" column text, nullptr for the generic one
    const char* scanText;    // scan's "Check Config" column text, nullptr for the generic one
    const char* step;        // the step that sets it
};

// The table entry of a code, nullptr for a code the table does not name.
const StatusInfo* FindStatus(int code);

// "Error Status = " + the code as at least two upper-case hex digits.
std::string ErrorStatusText(int code);
// The "Format" column's text for a non-zero ErrorStatus.
std::string FormatErrorText(int code);
// The scan's "Check Config" column text for a non-zero ErrorStatus.
std::string ScanErrorText(int code);
// The "Format" column's pass text: "<chips> Chip(s)   <MB> MB".
std::string FormatPassText(int chipCount, int32_t nominalSectors);
// Upper-case hex of value, zero-padded to width, "0x" in front when prefix.
std::string HexPad(int64_t value, int width, bool prefix);

}  // namespace galmor
