// The autorun setting around a station's life, on a fake store: what start-up
// found is what shutdown puts back.
#include "core/autorun_policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace galmor;

namespace {

class FakeStore final : public AutorunStore {
  public:
    bool reachable = true;
    bool readable = true;
    bool writable = true;
    std::optional<uint32_t> value;
    std::vector<std::optional<uint32_t>> writes;  // nullopt: removed
    int announced = 0;
    bool open = false;

    bool Open() override { return open = reachable; }
    void Close() override { open = false; }
    std::optional<uint32_t> Read(bool* ok) override {
        EXPECT_TRUE(open);
        *ok = readable;
        return readable ? value : std::nullopt;
    }
    bool Write(uint32_t v) override {
        EXPECT_TRUE(open);
        if (!writable) return false;
        value = v;
        writes.emplace_back(v);
        return true;
    }
    bool Remove() override {
        EXPECT_TRUE(open);
        value.reset();
        writes.emplace_back(std::nullopt);
        return true;
    }
    void Announce() override {
        EXPECT_FALSE(open);  // after the key is closed
        ++announced;
    }
};

using Writes = std::vector<std::optional<uint32_t>>;

}  // namespace

TEST(AutorunPolicy, ShutdownRestoresTheValueStartUpFound) {
    FakeStore s;
    s.value = 0x91;
    AutorunPolicy p(s);
    EXPECT_TRUE(p.TurnOff());
    EXPECT_EQ(s.value, kAutorunOffForAllDrives);
    EXPECT_EQ(s.announced, 1);
    EXPECT_TRUE(p.Restore());
    EXPECT_EQ(s.value, 0x91u);  // not a fixed 149
    EXPECT_EQ(s.announced, 2);
    EXPECT_FALSE(p.Restore());  // once only
    EXPECT_EQ(s.writes, (Writes{kAutorunOffForAllDrives, 0x91u}));
}

TEST(AutorunPolicy, ValueNotSetBeforeIsRemovedAgain) {
    FakeStore s;
    AutorunPolicy p(s);
    ASSERT_TRUE(p.TurnOff());
    ASSERT_TRUE(p.Restore());
    EXPECT_EQ(s.value, std::nullopt);
    EXPECT_EQ(s.writes, (Writes{kAutorunOffForAllDrives, std::nullopt}));
}

TEST(AutorunPolicy, NothingWrittenWhenTheSettingCannotBeReachedReadOrWritten) {
    for (int kind = 0; kind < 3; ++kind) {
        FakeStore s;
        s.value = 7;
        s.reachable = kind != 0;
        s.readable = kind != 1;
        s.writable = kind != 2;
        AutorunPolicy p(s);
        EXPECT_FALSE(p.TurnOff()) << kind;
        s.writable = s.readable = s.reachable = true;  // reachable by shutdown
        EXPECT_FALSE(p.Restore()) << kind;
        EXPECT_TRUE(s.writes.empty()) << kind;
        EXPECT_EQ(s.value, 7u) << kind;
        EXPECT_EQ(s.announced, 0) << kind;
    }
}

TEST(AutorunPolicy, ChangeMadeWhileTheStationRanIsKept) {
    FakeStore s;
    s.value = 0x91;
    AutorunPolicy p(s);
    ASSERT_TRUE(p.TurnOff());
    s.value = 0x95;  // the user's own change meanwhile
    EXPECT_FALSE(p.Restore());
    EXPECT_EQ(s.value, 0x95u);
}

TEST(AutorunPolicy, LinuxStoreWritesNothing) {
    NoAutorunStore s;
    AutorunPolicy p(s);
    EXPECT_FALSE(p.TurnOff());
    EXPECT_FALSE(p.Restore());
}
