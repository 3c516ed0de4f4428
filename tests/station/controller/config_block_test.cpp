// Composing, decoding and the serial-number choice of the configuration block.
#include "controller/config_block.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <vector>

namespace galmor {
namespace {

const ConfigIdentity kExample{"1234", "5678", "AB", "Disk", "AB", "Disk"};

std::vector<uint8_t> Bytes(const Block& b, size_t from, size_t to) {
    return std::vector<uint8_t>(b.begin() + from, b.begin() + to);
}

TEST(ComposeConfigBlockTest, WorkedExampleByteForByte) {
    Block b;
    ASSERT_EQ(ComposeConfigBlock(kExample, 0x05, "00012345", 0, 0, b), ComposeResult::Ok);
    const std::vector<uint8_t> header = {
        0x99, 0x07, 0x06, 0x0A, 0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x08, 0x34, 0x12,
        0x78, 0x56, 0x05, 0x01, 0x01, 0x02, 0x00, 0x01, 0x06, 0x03, 0x41, 0x00, 0x42, 0x00,
        0x0A, 0x03, 0x44, 0x00, 0x69, 0x00, 0x73, 0x00, 0x6B, 0x00, 0x41, 0x42, 0x20, 0x20,
        0x20, 0x20, 0x20, 0x20, 0x44, 0x69, 0x73, 0x6B, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
        0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x38, 0x2E, 0x30, 0x30, 0x32, 0xAA, 0x55};
    EXPECT_EQ(Bytes(b, 0, 69), header);
    const std::vector<uint8_t> serial = {0x12, 0x03, 0x30, 0x00, 0x30, 0x00, 0x30, 0x00, 0x31, 0x00,
                                         0x32, 0x00, 0x33, 0x00, 0x34, 0x00, 0x35, 0x00, 0xA4};
    EXPECT_EQ(Bytes(b, 128, 147), serial);
    EXPECT_EQ(b[126], 0x3C);
    EXPECT_EQ(b[127], 0xC3);
    for (size_t k = 69; k < 126; ++k) EXPECT_EQ(b[k], 0) << k;
    for (size_t k = 147; k < 512; ++k) EXPECT_EQ(b[k], 0) << k;
}

TEST(ComposeConfigBlockTest, ScsiStringsCutAndPadded) {
    ConfigIdentity id = kExample;
    id.ScsiVendor = "ABCDEFGHIJ";  // 10 characters
    id.ScsiProduct = "USB";        // 3 characters
    Block b;
    ASSERT_EQ(ComposeConfigBlock(id, 0x05, "00000000", 0, 0, b), ComposeResult::Ok);
    const size_t s = 6;
    EXPECT_EQ(std::string(b.begin() + 26 + 2 * s, b.begin() + 34 + 2 * s), "ABCDEFGH");
    EXPECT_EQ(std::string(b.begin() + 34 + 2 * s, b.begin() + 50 + 2 * s),
              "USB" + std::string(13, ' '));
    EXPECT_EQ(std::string(b.begin() + 50 + 2 * s, b.begin() + 54 + 2 * s), "8.00");
    // The checksum still covers everything before it.
    uint8_t sum = 0;
    for (size_t k = 0; k < 54 + 2 * s; ++k) sum = static_cast<uint8_t>(sum + b[k]);
    EXPECT_EQ(b[54 + 2 * s], sum);
}

TEST(ComposeConfigBlockTest, IdsFromHexText) {
    ConfigIdentity id = kExample;
    id.Vid = "abCD";
    id.Pid = "12XY";  // "XY" is not hexadecimal
    Block b;
    ASSERT_EQ(ComposeConfigBlock(id, 0x31, "00000000", 0, 0, b), ComposeResult::Ok);
    EXPECT_EQ(b[12], 0xCD);
    EXPECT_EQ(b[13], 0xAB);
    EXPECT_EQ(b[14], 0x00);
    EXPECT_EQ(b[15], 0x12);
    EXPECT_EQ(b[16], 0x31);
    EXPECT_EQ(b[17], 0x01);
    EXPECT_EQ(HexByte("7"), 7);
    EXPECT_EQ(HexByte(""), 0);
    EXPECT_EQ(HexByte("1G"), 0);

    // Short identifiers take the digits they have: "1" is the high byte 0x01
    // and an empty low pair; three digits leave one digit for the low byte.
    id.Vid = "1";
    id.Pid = "123";
    ASSERT_EQ(ComposeConfigBlock(id, 0x31, "00000000", 0, 0, b), ComposeResult::Ok);
    EXPECT_EQ(b[12], 0x00);
    EXPECT_EQ(b[13], 0x01);
    EXPECT_EQ(b[14], 0x03);
    EXPECT_EQ(b[15], 0x12);
}

TEST(ComposeConfigBlockTest, RefusesMissingAndOverlongStrings) {
    std::string ConfigIdentity::*fields[] = {
        &ConfigIdentity::Vid,        &ConfigIdentity::Pid,        &ConfigIdentity::UsbManufacturer,
        &ConfigIdentity::UsbProduct, &ConfigIdentity::ScsiVendor, &ConfigIdentity::ScsiProduct};
    for (auto field : fields) {
        ConfigIdentity id = kExample;
        (id.*field).clear();
        Block b;
        b.fill(0x5A);
        EXPECT_EQ(ComposeConfigBlock(id, 5, "00000000", 0, 0, b), ComposeResult::MissingSetting);
        EXPECT_EQ(b, Block{});
    }

    // 34 characters in all still end before the serial part, 35 would not.
    ConfigIdentity id = kExample;
    id.UsbManufacturer = std::string(20, 'M');
    id.UsbProduct = std::string(14, 'P');
    Block b;
    ASSERT_EQ(ComposeConfigBlock(id, 5, "00000000", 0, 0, b), ComposeResult::Ok);
    EXPECT_EQ(b[55 + 68], 0xAA);
    EXPECT_EQ(b[56 + 68], 0x55);
    EXPECT_EQ(b[125], 0);
    EXPECT_EQ(b[126], 0x3C);
    id.UsbProduct += 'P';
    EXPECT_EQ(ComposeConfigBlock(id, 5, "00000000", 0, 0, b), ComposeResult::TooLong);
    EXPECT_EQ(b, Block{});
}

TEST(DecodeConfigBlockTest, RoundTripAndDamage) {
    Block b;
    ASSERT_EQ(ComposeConfigBlock(kExample, 0x05, "ABC01F2E", 4096, 2048, b), ComposeResult::Ok);
    auto d = DecodeConfigBlock(b.data(), b.size());
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->HeaderOk);
    EXPECT_TRUE(d->SerialOk);
    EXPECT_TRUE(d->Canonical);
    EXPECT_EQ(d->Vid, "1234");
    EXPECT_EQ(d->Pid, "5678");
    EXPECT_EQ(d->Revision, 0x05);
    EXPECT_EQ(d->UsbManufacturer, "AB");
    EXPECT_EQ(d->UsbProduct, "Disk");
    EXPECT_EQ(d->ScsiVendor, "AB      ");
    EXPECT_EQ(d->ScsiProduct, "Disk            ");
    EXPECT_EQ(d->RevisionText, "8.00");
    EXPECT_EQ(d->SerialNumber, "ABC01F2E");
    EXPECT_EQ(d->TotalReserved, 4096);
    EXPECT_EQ(d->ReserveImage, 2048);

    Block damaged = b;
    damaged[30] ^= 1;  // inside the product string: header checksum no longer fits
    d = DecodeConfigBlock(damaged.data(), damaged.size());
    ASSERT_TRUE(d);
    EXPECT_FALSE(d->HeaderOk);
    EXPECT_TRUE(d->SerialOk);

    damaged = b;
    damaged[140] ^= 1;  // serial character
    d = DecodeConfigBlock(damaged.data(), damaged.size());
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->HeaderOk);
    EXPECT_FALSE(d->SerialOk);

    damaged = b;
    damaged[300] = 1;  // a byte the layout does not name
    d = DecodeConfigBlock(damaged.data(), damaged.size());
    ASSERT_TRUE(d);
    EXPECT_FALSE(d->Canonical);

    // Blank and impossible blocks.
    Block blank{};
    EXPECT_FALSE(DecodeConfigBlock(blank.data(), blank.size()));
    damaged = b;
    damaged[2] = 0xFE;  // a manufacturer string that would run into the serial part
    EXPECT_FALSE(DecodeConfigBlock(damaged.data(), damaged.size()));
    EXPECT_FALSE(DecodeConfigBlock(b.data(), 511));
}

TEST(SerialNumberTest, ChoiceRules) {
    EXPECT_EQ(ChooseSerial("12345678", true, true, true, "0ABCDEF1"), "12345678");
    EXPECT_EQ(ChooseSerial("        ", false, false, false, "0ABCDEF1"), "00000000");
    EXPECT_EQ(ChooseSerial("        ", true, false, false, "0ABCDEF1"), "0ABCDEF1");
    EXPECT_EQ(ChooseSerial("ABC     ", true, true, false, "0ABCDEF1"), "ABC0ABCD");
    // The prefix survives its own earlier draw.
    EXPECT_EQ(ChooseSerial("ABC0ABCD", true, true, false, "01234567"), "ABC01234");
    EXPECT_EQ(ChooseSerial("A", true, true, false, "01234567"), "A  01234");
}

TEST(SerialNumberTest, DrawsAreInRangeAndDiffer) {
    const std::regex hex8("^[0-9A-F]{8}$");
    std::set<std::string> seen;
    for (int k = 0; k < 100; ++k) {
        const std::string h = DrawSerialHex();
        ASSERT_TRUE(std::regex_match(h, hex8)) << h;
        EXPECT_EQ(h[0], '0');
        EXPECT_LE(std::stoul(h, nullptr, 16), 100000000ul);
        seen.insert(h);
    }
    // Back-to-back draws read nearly the same clock; they must still differ.
    EXPECT_GE(seen.size(), 99u);
}

}  // namespace
}  // namespace galmor
