// The boot-sector template: a FAT16 boot sector for a 131,040-sector
// partition, from which every user partition's boot sector is built.
#include <cstring>

#include "media/media.h"

namespace galmor {

namespace {

void Put16(std::array<uint8_t, kSector>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::array<uint8_t, kSector>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutText(std::array<uint8_t, kSector>& b, size_t at, const char* text, size_t len) {
    std::memcpy(b.data() + at, text, len);
}

// The boot program: a PC that boots from this partition is told that the disk
// holds no system, waits for a key and hands over to the next boot device.
// Real-mode code at 0000:7C3E (the jump at offset 0 lands here); the message
// follows the code.
//
//   cli; xor ax,ax; mov ds,ax; mov ss,ax; mov sp,7C00h; sti; cld
//   mov si,7C00h+kMessageOffset
// next: lodsb; test al,al; jz done
//   mov ah,0Eh; mov bx,0007h; int 10h      ; teletype output
//   jmp next
// done: xor ax,ax; int 16h                 ; wait for a key
//   int 19h                                ; next boot device
//   jmp $
constexpr size_t kMessageOffset = 0x63;
constexpr uint8_t kBootCode[] = {
    0xFA,                        // 3E cli
    0x31, 0xC0,                  // 3F xor ax,ax
    0x8E, 0xD8,                  // 41 mov ds,ax
    0x8E, 0xD0,                  // 43 mov ss,ax
    0xBC, 0x00,           0x7C,  // 45 mov sp,7C00h
    0xFB,                        // 48 sti
    0xFC,                        // 49 cld
    0xBE, kMessageOffset, 0x7C,  // 4A mov si,7C63h
    0xAC,                        // 4D lodsb
    0x84, 0xC0,                  // 4E test al,al
    0x74, 0x09,                  // 50 jz 5Bh
    0xB4, 0x0E,                  // 52 mov ah,0Eh
    0xBB, 0x07,           0x00,  // 54 mov bx,0007h
    0xCD, 0x10,                  // 57 int 10h
    0xEB, 0xF2,                  // 59 jmp 4Dh
    0x31, 0xC0,                  // 5B xor ax,ax
    0xCD, 0x16,                  // 5D int 16h
    0xCD, 0x19,                  // 5F int 19h
    0xEB, 0xFE,                  // 61 jmp $
};
static_assert(bootsec::kBootProgram + sizeof(kBootCode) == kMessageOffset);

constexpr char kMessage[] = "\r\nThis is not a bootable disk.\r\nPress any key to restart.\r\n";
static_assert(kMessageOffset + sizeof(kMessage) <= bootsec::kSignature);

}  // namespace

void BuildBootSectorTemplate(std::array<uint8_t, kSector>& out) {
    using namespace bootsec;
    out.fill(0);
    out[kJump] = 0xEB;
    out[kJump + 1] = 0x3C;
    out[kJump + 2] = 0x90;
    PutText(out, kOemName, "MSDOS5.0", 8);
    Put16(out, kBytesPerSector, 512);
    out[kSectorsPerCluster] = 2;
    Put16(out, kReservedSectors, 1);
    out[kNumberOfFats] = 2;
    Put16(out, kRootEntries, 512);
    Put16(out, kTotalSectors16, 0);
    out[kMediaDescriptor] = 0xF8;
    Put16(out, kSectorsPerFat, 255);
    Put16(out, kSectorsPerTrack, 63);
    Put16(out, kHeads, 255);
    Put32(out, kHiddenSectors, 63);
    Put32(out, kTotalSectors32, 131040);
    out[kDriveNumber] = 0x80;
    out[kReserved1] = 0;
    out[kBootSignature] = 0x29;
    Put32(out, kVolumeSerial, 0x80938F05u);
    PutText(out, kVolumeLabel, "NO NAME    ", 11);
    PutText(out, kFileSystemType, "FAT16   ", 8);
    std::memcpy(out.data() + kBootProgram, kBootCode, sizeof(kBootCode));
    std::memcpy(out.data() + kMessageOffset, kMessage, sizeof(kMessage));  // with its NUL
    out[kSignature] = 0x55;
    out[kSignature + 1] = 0xAA;
}

}  // namespace galmor
