// The request blocks that carry one SCSI command to a unit, the control codes
// of the requests, and the interface classes that the open calls enumerate.
//
// The blocks keep the byte layout of the Windows pass-through records (32-bit
// layout, little-endian), so that a dumped block reads the same on every host.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace sarnik {

static_assert(std::endian::native == std::endian::little,
              "the request blocks are little-endian byte images");

// Control codes of the requests.
constexpr uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
constexpr uint32_t kIoctlScsiPassThrough = 0x4D004;
constexpr uint32_t kIoctlDiskGetDriveLayout = 0x7400C;
constexpr uint32_t kIoctlScsiRescanBus = 0x4101C;
// Private request of the maker's filter driver (device type 0x22, function
// 0x801, buffered, any access).
constexpr uint32_t kIoctlFilterSetConfiguration = 0x222004;

// Interface classes, lower case as they appear in device paths.
constexpr const char kDiskInterfaceGuid[] = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char kCdInterfaceGuid[] = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

enum class UnitClass { Disk, Cdrom };

// Common values of every block.
constexpr uint16_t kPassThroughLength = 44;  // the pass-through record proper
constexpr uint8_t kTargetId = 1;
constexpr uint8_t kSenseInfoLength = 8;
constexpr uint8_t kBufferedSenseInfoLength = 24;
constexpr uint32_t kSenseInfoOffset = 48;
constexpr uint32_t kBufferedDataOffset = 80;
constexpr uint32_t kBufferedDataLength = 192;

constexpr uint8_t kDataOut = 0;  // to the device, also for commands without data
constexpr uint8_t kDataIn = 1;   // from the device

// Time-outs in seconds.
constexpr uint32_t kTimeoutShort = 2;
constexpr uint32_t kTimeoutMedium = 30;
constexpr uint32_t kTimeoutLong = 150;

// One command, the data moving directly between the unit and a buffer.
//
// DataBuffer holds the low 32 bits of the buffer's address (0 when there is
// no buffer): a 64-bit address does not fit, so the real pointer travels
// beside the block to the platform layer, which never reads this field.
struct PassThroughBlock {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint8_t Padding[3];
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    uint32_t DataBuffer;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
    uint32_t Filler;
    uint8_t Sense[32];
};

// One command whose data travels inside the block, behind the sense area.
struct BufferedPassThroughBlock {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint8_t Padding[3];
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    uint32_t DataBufferOffset;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
    uint32_t Filler;
    uint8_t Sense[32];
    uint8_t Data[192];
};

#define SARNIK_CHECK_BLOCK_LAYOUT(B, data_field)          \
    static_assert(offsetof(B, Length) == 0);              \
    static_assert(offsetof(B, ScsiStatus) == 2);          \
    static_assert(offsetof(B, PathId) == 3);              \
    static_assert(offsetof(B, TargetId) == 4);            \
    static_assert(offsetof(B, Lun) == 5);                 \
    static_assert(offsetof(B, CdbLength) == 6);           \
    static_assert(offsetof(B, SenseInfoLength) == 7);     \
    static_assert(offsetof(B, DataIn) == 8);              \
    static_assert(offsetof(B, DataTransferLength) == 12); \
    static_assert(offsetof(B, TimeOutValue) == 16);       \
    static_assert(offsetof(B, data_field) == 20);         \
    static_assert(offsetof(B, SenseInfoOffset) == 24);    \
    static_assert(offsetof(B, Cdb) == 28);                \
    static_assert(offsetof(B, Filler) == 44);             \
    static_assert(offsetof(B, Sense) == 48)

SARNIK_CHECK_BLOCK_LAYOUT(PassThroughBlock, DataBuffer);
SARNIK_CHECK_BLOCK_LAYOUT(BufferedPassThroughBlock, DataBufferOffset);
#undef SARNIK_CHECK_BLOCK_LAYOUT

static_assert(sizeof(PassThroughBlock) == 80);
static_assert(sizeof(BufferedPassThroughBlock) == 272);
static_assert(offsetof(BufferedPassThroughBlock, Data) == kBufferedDataOffset);
static_assert(sizeof(BufferedPassThroughBlock::Data) == kBufferedDataLength);

// A block with the common values, cleared everywhere else.
inline PassThroughBlock make_block(uint8_t cdb_len, uint8_t data_in, uint32_t length,
                                   uint32_t timeout, const void* data) {
    PassThroughBlock b{};
    b.Length = kPassThroughLength;
    b.TargetId = kTargetId;
    b.CdbLength = cdb_len;
    b.SenseInfoLength = kSenseInfoLength;
    b.DataIn = data_in;
    b.DataTransferLength = length;
    b.TimeOutValue = timeout;
    // Only the low half of a 64-bit address fits; the platform gets the
    // real pointer beside the block.
    b.DataBuffer = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
    b.SenseInfoOffset = kSenseInfoOffset;
    return b;
}

}  // namespace sarnik
