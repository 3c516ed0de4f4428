// Chip-list decoding and the hex formatter.
#include <gtest/gtest.h>

#include <initializer_list>

#include "controller/controller.h"
#include "ui/station.h"

namespace galmor {
namespace {

class ChipTableTest : public ::testing::Test {
  protected:
    // Puts a chip list into port `port`'s reply buffer (rest zero).
    void Reply(int port, std::initializer_list<uint8_t> bytes) {
        auto& r = st.ports[port - 1].ReplyBuffer;
        r.fill(0);
        size_t k = 0;
        for (uint8_t b : bytes) r[k++] = b;
    }
    PortRecord& P(int port) { return st.ports[port - 1]; }

    Station st;
};

TEST_F(ChipTableTest, TwoChipsOfOneKind) {
    Reply(1, {0x75, 0x75, 0xAA});
    ASSERT_TRUE(ParseChipTable(st.ports[1 - 1]));
    EXPECT_EQ(P(1).ChipCount, 2);
    EXPECT_EQ(P(1).ZoneCount, 16);
    EXPECT_EQ(P(1).BlockCount, 4096);
    EXPECT_EQ(P(1).NominalSectors, 128000);
    EXPECT_EQ(P(1).ChipUsableSectors, 64000);
    for (int c : {1, 2}) {
        EXPECT_EQ(P(1).Chips[c].DeviceCode, 0x75);
        EXPECT_EQ(P(1).Chips[c].Zones, 8);
        EXPECT_EQ(P(1).Chips[c].BlocksPerZone, 256);
        EXPECT_EQ(P(1).Chips[c].SectorsPerBlock, 32);
    }
}

TEST_F(ChipTableTest, OneLargeChipAndBytesAfterTheTerminator) {
    Reply(1, {0xDC, 0xAA});
    ASSERT_TRUE(ParseChipTable(st.ports[1 - 1]));
    EXPECT_EQ(P(1).ChipCount, 1);
    EXPECT_EQ(P(1).NominalSectors, 1024000);
    EXPECT_EQ(P(1).ChipUsableSectors, 1024000);
    EXPECT_EQ(P(1).BlockCount, 4096);

    Reply(1, {0x75, 0xAA, 0x75, 0xDC});
    ASSERT_TRUE(ParseChipTable(st.ports[1 - 1]));
    EXPECT_EQ(P(1).ChipCount, 1);
    EXPECT_EQ(P(1).ZoneCount, 8);
    EXPECT_EQ(P(1).BlockCount, 2048);
    EXPECT_EQ(P(1).NominalSectors, 64000);
    EXPECT_EQ(P(1).ChipUsableSectors, 64000);
}

TEST_F(ChipTableTest, EmptyListKeepsUsableSectors) {
    Reply(1, {0xDC, 0xAA});
    ASSERT_TRUE(ParseChipTable(st.ports[1 - 1]));
    Reply(1, {0xAA});
    ASSERT_TRUE(ParseChipTable(st.ports[1 - 1]));
    EXPECT_EQ(P(1).ChipCount, 0);
    EXPECT_EQ(P(1).ZoneCount, 0);
    EXPECT_EQ(P(1).BlockCount, 0);
    EXPECT_EQ(P(1).NominalSectors, 0);
    EXPECT_EQ(P(1).ChipUsableSectors, 1024000);
}

TEST_F(ChipTableTest, MissingTerminatorEndsAtTheEndOfTheReply) {
    // 511 unknown codes, then one known chip in the last byte; the buffer that
    // follows the reply in the record holds a chip list of its own, which must
    // not be read.
    PortRecord& p = P(1);
    p.ReplyBuffer.fill(0x00);
    p.ReplyBuffer[511] = 0xE6;
    p.SectorBuffer.fill(0xDC);
    p.SectorBuffer[8] = 0xAA;
    ASSERT_TRUE(ParseChipTable(st.ports[1 - 1]));
    EXPECT_EQ(p.ChipCount, 512);
    EXPECT_EQ(p.BlockCount, 1024);
    EXPECT_EQ(p.ZoneCount, 4);
    EXPECT_EQ(p.NominalSectors, 16000);
    EXPECT_EQ(p.ChipUsableSectors, 16 * 250 * 4);
    EXPECT_EQ(p.Chips[512].DeviceCode, 0xE6);
}

TEST_F(ChipTableTest, TotalsThatDoNotFitAreAFailureNotAWrap) {
    Reply(1, {0x79, 0x79, 0x79, 0xAA});
    ASSERT_TRUE(ParseChipTable(st.ports[1 - 1]));
    EXPECT_EQ(P(1).BlockCount, 24576);
    EXPECT_EQ(P(1).NominalSectors, 384 * 2000);

    Reply(1, {0x79, 0x79, 0x79, 0x79, 0xAA});  // 32768 blocks
    EXPECT_FALSE(ParseChipTable(st.ports[1 - 1]));
    EXPECT_EQ(P(1).BlockCount, 0);
    EXPECT_EQ(P(1).ChipCount, 0);
    EXPECT_EQ(P(1).NominalSectors, 0);

    // A whole reply of large chips, no terminator.
    P(1).ReplyBuffer.fill(0xDC);
    EXPECT_FALSE(ParseChipTable(st.ports[1 - 1]));
    EXPECT_EQ(P(1).BlockCount, 0);
}

TEST_F(ChipTableTest, UnknownCodeIsClearedAndAddsNothing) {
    P(1).Chips[2] = ChipEntry{0x12, 9, 999, 999};  // left over from an earlier parse
    Reply(1, {0x75, 0x12, 0xAA});
    ASSERT_TRUE(ParseChipTable(st.ports[1 - 1]));
    EXPECT_EQ(P(1).ChipCount, 2);
    EXPECT_EQ(P(1).ZoneCount, 8);
    EXPECT_EQ(P(1).BlockCount, 2048);
    EXPECT_EQ(P(1).NominalSectors, 64000);
    EXPECT_EQ(P(1).Chips[2].DeviceCode, 0x12);
    EXPECT_EQ(P(1).Chips[2].Zones, 0);
    EXPECT_EQ(P(1).Chips[2].BlocksPerZone, 0);
    EXPECT_EQ(P(1).Chips[2].SectorsPerBlock, 0);
    // The last chip gives the usable sectors; an unknown one gives none.
    EXPECT_EQ(P(1).ChipUsableSectors, 0);
}

TEST_F(ChipTableTest, EachPortHasItsOwnTable) {
    Reply(1, {0xDC, 0xDC, 0xAA});
    Reply(2, {0xE6, 0xAA});
    ASSERT_TRUE(ParseChipTable(st.ports[1 - 1]));
    ASSERT_TRUE(ParseChipTable(st.ports[2 - 1]));
    EXPECT_EQ(P(1).Chips[1].DeviceCode, 0xDC);
    EXPECT_EQ(P(1).Chips[2].Zones, 16);
    EXPECT_EQ(P(1).NominalSectors, 2048000);
    EXPECT_EQ(P(2).Chips[1].Zones, 4);
    EXPECT_EQ(P(2).NominalSectors, 16000);
}

TEST(HexPadTest, PadsNeverCutsAndPrefixes) {
    EXPECT_EQ(HexPad(0x82, 2, false), "82");
    EXPECT_EQ(HexPad(5, 4, false), "0005");
    EXPECT_EQ(HexPad(0x1F7, 2, true), "0x1F7");
    EXPECT_EQ(HexPad(0, 2, false), "00");
    EXPECT_EQ(HexPad(0x1234, 2, false), "1234");
    EXPECT_EQ(HexPad(0xabcdef, 8, false), "00ABCDEF");
    EXPECT_EQ(HexPad(0xE, 0, false), "E");
}

}  // namespace
}  // namespace galmor
