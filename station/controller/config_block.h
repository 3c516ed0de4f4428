// The controller's 512-byte configuration block: its layout (one place), how
// the station composes it from the recipe, and a decoder for stored blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/port.h"

namespace galmor {

struct ProductSettings;

namespace cfg {
// Fixed part.
constexpr size_t kSignature = 0;         // 0x99
constexpr size_t kSignature2 = 1;        // 0x07
constexpr size_t kMfrLength = 2;         // length of the manufacturer descriptor
constexpr size_t kProductLength = 3;     // length of the product descriptor
constexpr size_t kDeviceDescriptor = 4;  // 18-byte USB device descriptor
constexpr size_t kDeviceDescriptorLength = 18;
constexpr size_t kStrings = 22;  // manufacturer descriptor, then product descriptor
// Offsets inside the device descriptor.
constexpr size_t kIdVendor = 12;   // low byte, high byte
constexpr size_t kIdProduct = 14;  // low byte, high byte
constexpr size_t kBcdDevice = 16;  // low = firmware revision, high = 0x01

constexpr uint8_t kSignatureValue = 0x99;
constexpr uint8_t kSignature2Value = 0x07;
constexpr uint8_t kStringDescriptorType = 0x03;
constexpr uint8_t kTrailer1 = 0xAA;
constexpr uint8_t kTrailer2 = 0x55;

// Variable part: S = manufacturer + product UTF-16 code units.
constexpr size_t kScsiVendorLength = 8;
constexpr size_t kScsiProductLength = 16;
constexpr size_t kRevisionLength = 4;
constexpr char kRevisionText[] = "8.00";
constexpr size_t ScsiVendorAt(size_t s) {
    return 26 + 2 * s;
}
constexpr size_t ScsiProductAt(size_t s) {
    return 34 + 2 * s;
}
constexpr size_t RevisionAt(size_t s) {
    return 50 + 2 * s;
}
constexpr size_t HeaderChecksumAt(size_t s) {
    return 54 + 2 * s;
}
constexpr size_t TrailerAt(size_t s) {
    return 55 + 2 * s;
}  // 0xAA, 0x55

// Serial part.
constexpr size_t kSerialMarker = 126;  // 0x3C, 0xC3
constexpr uint8_t kSerialMarker1 = 0x3C;
constexpr uint8_t kSerialMarker2 = 0xC3;
constexpr size_t kSerialDescriptor = 128;
constexpr size_t kSerialChars = 8;
constexpr size_t kSerialDescriptorLength = 2 * kSerialChars + 2;  // 0x12
constexpr size_t kSerialChecksum = 146;
constexpr size_t kTotalReserved = 192;  // 4 bytes, most significant first
constexpr size_t kReserveImage = 196;   // 4 bytes, most significant first

// The variable part must end before the serial part: S <= 34.
constexpr size_t kMaxStringChars = (kSerialMarker - 1 - TrailerAt(0) - 1) / 2;
static_assert(TrailerAt(kMaxStringChars) + 1 < kSerialMarker);
static_assert(TrailerAt(kMaxStringChars + 1) + 1 >= kSerialMarker);

// A stored block matches a rebuilt one when bytes 0..126 agree.
constexpr size_t kComparedBytes = 127;
}  // namespace cfg

using Block = std::array<uint8_t, kSector>;

// The identity the block carries, as the recipe gives it: UTF-8 (the USB
// strings become UTF-16LE descriptors; a text that is not UTF-8 is Latin-1).
struct ConfigIdentity {
    std::string Vid, Pid;  // four hex digits each
    std::string UsbManufacturer, UsbProduct, ScsiVendor, ScsiProduct;
};

enum class ComposeResult {
    Ok,
    MissingSetting,  // an identity value is empty
    TooLong,         // the strings do not fit before the serial part
};

// Composes the whole block into `out` (which is cleared first). `revision` is
// the controller's firmware revision byte; `serial` gives the 8 serial
// characters (cut or blank-padded to 8). On a result other than Ok, `out` is
// all zeros.
ComposeResult ComposeConfigBlock(const ConfigIdentity& id, uint8_t revision,
                                 const std::string& serial, int32_t totalReserved,
                                 int32_t reserveImage, Block& out);

// The value of a two-character hex text; 0 when it is not hexadecimal.
uint8_t HexByte(const std::string& text);

// A stored block taken apart. Fields hold what the block says, checked or not.
struct DecodedConfigBlock {
    std::string Vid, Pid;  // four upper-case hex digits
    uint8_t Revision = 0;  // low byte of bcdDevice
    std::string UsbManufacturer, UsbProduct;
    std::string ScsiVendor, ScsiProduct, RevisionText;  // as stored, padding kept
    std::string SerialNumber;
    int32_t TotalReserved = 0, ReserveImage = 0;
    bool HeaderOk = false;  // signature, lengths, checksum and trailer
    bool SerialOk = false;  // marker, descriptor header and checksum
    // Every byte the layout does not name is 0, the USB strings are whole
    // UTF-16, the serial is 8-bit characters and the revision text is the
    // station's: composing the decoded values gives the same 512 bytes back.
    bool Canonical = false;
};

// Decodes a block; nullopt when the string lengths cannot be a block's
// (odd, or running into the serial part).
std::optional<DecodedConfigBlock> DecodeConfigBlock(const uint8_t* data, size_t size);

// The serial-number choice for a block that is written: the configured value
// when complete, "00000000" without a serial section, otherwise from `drawn`
// (eight upper-case hex digits): all of it, or behind the 3-character prefix.
std::string ChooseSerial(const std::string& current, bool sectionPresent, bool given, bool complete,
                         const std::string& drawn);

// One fresh draw: eight upper-case hex digits of a number in [0, 10^8].
std::string DrawSerialHex();

}  // namespace galmor
