// The FAT16 boot-sector template.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "media/media.h"

namespace galmor {
namespace {

std::array<uint8_t, kSector> Built(uint8_t junk) {
    std::array<uint8_t, kSector> b;
    b.fill(junk);
    BuildBootSectorTemplate(b);
    return b;
}

TEST(BootTemplate, ParameterBlockBytes) {
    // Offsets 0..61 written out from the field table: jump, OEM name, then
    // 512 bytes/sector, 2 sectors/cluster, 1 reserved, 2 FATs, 512 root
    // entries, 0 small total, F8, 255 per FAT, 63 per track, 255 heads, 63
    // hidden, 131,040 total, drive 80, 0, signature 29, serial 80938F05,
    // label, type.
    const uint8_t want[62] = {0xEB, 0x3C, 0x90, 'M',  'S',  'D',  'O',  'S',  '5',  '.',  '0',
                              0x00, 0x02, 0x02, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0xF8,
                              0xFF, 0x00, 0x3F, 0x00, 0xFF, 0x00, 0x3F, 0x00, 0x00, 0x00, 0xE0,
                              0xFF, 0x01, 0x00, 0x80, 0x00, 0x29, 0x05, 0x8F, 0x93, 0x80, 'N',
                              'O',  ' ',  'N',  'A',  'M',  'E',  ' ',  ' ',  ' ',  ' ',  'F',
                              'A',  'T',  '1',  '6',  ' ',  ' ',  ' '};
    const auto b = Built(0xCC);
    for (size_t i = 0; i < sizeof want; ++i) EXPECT_EQ(b[i], want[i]) << "offset " << i;
    EXPECT_EQ(b[510], 0x55);
    EXPECT_EQ(b[511], 0xAA);
    // The named offsets agree with the bytes.
    EXPECT_EQ(b[bootsec::kMediaDescriptor], 0xF8);
    EXPECT_EQ(b[bootsec::kBootSignature], 0x29);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[bootsec::kFileSystemType]), 8),
              "FAT16   ");
    // Whatever the buffer held before, the template is the same.
    EXPECT_EQ(b, Built(0x00));
}

TEST(BootTemplate, BootProgramPrintsItsMessageAndStaysInsideTheSector) {
    const auto b = Built(0xCC);
    // The jump at offset 0 (EB disp8) lands on the program's first byte.
    const size_t entry = 2 + b[1];
    EXPECT_EQ(entry, bootsec::kBootProgram);
    EXPECT_EQ(b[entry], 0xFA);  // cli: code, not data
    // The program loads the message's address (at 0000:7C00 + offset) into SI.
    const uint8_t* code = &b[entry];
    const uint8_t* movSi = static_cast<const uint8_t*>(std::memchr(code, 0xBE, 32));
    ASSERT_NE(movSi, nullptr);
    const size_t addr = movSi[1] | (movSi[2] << 8);
    ASSERT_GE(addr, 0x7C00u + bootsec::kBootProgram);
    const size_t msg = addr - 0x7C00;
    ASSERT_LT(msg, bootsec::kSignature);
    // A printable, NUL-terminated text that ends before the signature.
    size_t end = msg;
    while (end < bootsec::kSignature && b[end] != 0) {
        EXPECT_TRUE(b[end] == '\r' || b[end] == '\n' || (b[end] >= 0x20 && b[end] < 0x7F));
        ++end;
    }
    ASSERT_LT(end, bootsec::kSignature);
    const std::string text(reinterpret_cast<const char*>(&b[msg]), end - msg);
    EXPECT_NE(text.find("not a bootable disk"), std::string::npos) << text;
    // The rest of the program area up to the signature is zero.
    for (size_t i = end; i < bootsec::kSignature; ++i) EXPECT_EQ(b[i], 0) << "offset " << i;
}

}  // namespace
}  // namespace galmor
