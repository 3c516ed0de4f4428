// The command exports as they reach the platform: request blocks byte by
// byte, caller-byte truncation, results, dumps and the open routine's log.
#include "commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>

#include "fake_platform.h"
#include "sarnik_files.h"
#include "test_util.h"

using namespace cmdlib_test;
using sarnik::Platform;
namespace cmd = sarnik::cmd;

namespace {

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::vector<uint8_t> Bytes(const sarnik::PassThroughBlock& b) {
    std::vector<uint8_t> v(sizeof b);
    std::memcpy(v.data(), &b, sizeof b);
    return v;
}

enum class Buf { Caller, Library, None };

struct Case {
    const char* name;
    std::function<int32_t(Platform&, int32_t, void*)> call;
    uint8_t cdb_len;
    std::vector<uint8_t> cdb;
    uint8_t data_in;
    uint32_t length;
    uint32_t timeout;
    Buf buf;
    bool returns_bytes = false;
};

std::vector<Case> Cases() {
    return {
        {"TestUnitReady",
         [](Platform& p, int32_t h, void*) { return cmd::test_unit_ready(p, h); },
         10,
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         1,
         0,
         2,
         Buf::Library},
        {"Read one sector at 0",
         [](Platform& p, int32_t h, void* b) { return cmd::read10(p, h, 1, 0, b); },
         10,
         {0x28, 0, 0, 0, 0, 0, 0, 0, 0x01, 0},
         1,
         512,
         150,
         Buf::Caller},
        {"Read at 0x12345",
         [](Platform& p, int32_t h, void* b) { return cmd::read10(p, h, 3, 0x12345, b); },
         10,
         {0x28, 0, 0x00, 0x01, 0x23, 0x45, 0, 0, 0x03, 0},
         1,
         1536,
         150,
         Buf::Caller},
        {"Write",
         [](Platform& p, int32_t h, void* b) { return cmd::write10(p, h, 2, 0x01020304, b); },
         10,
         {0x2A, 0, 0x01, 0x02, 0x03, 0x04, 0, 0, 0x02, 0},
         0,
         1024,
         2,
         Buf::Caller},
        {"Read25Capacity",
         [](Platform& p, int32_t h, void* b) { return cmd::read_capacity10(p, h, b); },
         10,
         {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         1,
         8,
         2,
         Buf::Caller,
         true},
        {"Eject",
         [](Platform& p, int32_t h, void*) { return cmd::eject(p, h, 0x1B, 0x02); },
         10,
         {0x1B, 0, 0, 0, 0x02, 0, 0, 0, 0, 0},
         0,
         0,
         30,
         Buf::None},
        {"VendorR",
         [](Platform& p, int32_t h, void* b) { return cmd::vendor_r(p, h, 0x9A, b); },
         10,
         {0x9A, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         1,
         512,
         2,
         Buf::Caller},
        {"VendorW",
         [](Platform& p, int32_t h, void* b) { return cmd::vendor_w(p, h, 0x99, 512, b); },
         10,
         {0x99, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         0,
         512,
         150,
         Buf::Caller},
        {"Vendor",
         [](Platform& p, int32_t h, void*) { return cmd::vendor(p, h, 0x11, 0x22, 0x33, 1000); },
         10,
         {0x11, 0x22, 0x33, 0, 0, 0, 0, 0, 0, 0},
         1,
         1000,
         150,
         Buf::Library},
        {"VendorScan",
         [](Platform& p, int32_t h, void* b) {
             return cmd::vendor_scan(p, h, {0x9C, 0x09, 0, 0, 0x04, 0}, 512, b);
         },
         10,
         {0x9C, 0x09, 0, 0, 0x04, 0, 0, 0, 0, 0},
         1,
         512,
         150,
         Buf::Caller},
        {"1mWrite",
         [](Platform& p, int32_t h, void* b) {
             return cmd::write_1m(p, h, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, b);
         },
         16,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0, 0, 0},
         0,
         512,
         30,
         Buf::Caller},
        {"1mRead",
         [](Platform& p, int32_t h, void*) {
             return cmd::read_1m(p, h, {13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1});
         },
         16,
         {13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0, 0},
         1,
         512,
         30,
         Buf::Library},
        {"VendorWrite F7 x128",
         [](Platform& p, int32_t h, void* b) {
             return cmd::vendor_write(p, h, {0xF7, 0, 0, 0, 0, 0, 0, 0, 0}, 128, b);
         },
         16,
         {0xF7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         0,
         65536,
         30,
         Buf::Caller},
        {"VendorRead",
         [](Platform& p, int32_t h, void* b) {
             return cmd::vendor_read(p, h, {0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48},
                                     3, b);
         },
         16,
         {0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0, 0, 0, 0, 0, 0, 0},
         1,
         1536,
         30,
         Buf::Caller},
        {"ReadCapacity",
         [](Platform& p, int32_t h, void* b) { return cmd::vendor_capacity(p, h, b); },
         10,
         {0x9A, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         1,
         512,
         2,
         Buf::Caller,
         true},
    };
}

// Every test runs with its own library root.
class SarnikCommands : public ::testing::Test {
  protected:
    TempDir dir;
    EnvVar root{"SARNIK_ROOT", dir.str()};
    FakePlatform fake;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(65536, 0x5A);
    fs::path Dump() const { return dir.path() / "tessary.bin"; }
    fs::path Log() const { return dir.path() / "tessary.txt"; }
};

TEST_F(SarnikCommands, EveryTemplateFillsItsBlock) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        fake.sent.clear();
        const int32_t r = c.call(fake, 7, buffer.data());
        EXPECT_EQ(r, c.returns_bytes ? int32_t(c.length) : 1);
        ASSERT_EQ(fake.sent.size(), 1u);
        const auto& s = fake.sent[0];
        const auto b = Bytes(s.block);
        // Common values, read from the byte image at their offsets.
        EXPECT_EQ(b[0], 44);
        EXPECT_EQ(b[1], 0);
        EXPECT_EQ(b[3], 0) << "PathId";
        EXPECT_EQ(b[4], 1) << "TargetId";
        EXPECT_EQ(b[5], 0) << "Lun";
        EXPECT_EQ(b[7], 8) << "SenseInfoLength";
        EXPECT_EQ(b[9] | b[10] | b[11], 0) << "padding";
        EXPECT_EQ(Le32(&b[24]), 48u) << "SenseInfoOffset";
        EXPECT_EQ(Le32(&b[44]), 0u) << "filler";
        for (size_t i = 48; i < 80; ++i) EXPECT_EQ(b[i], 0) << "sense byte " << i;
        // Per-command values.
        EXPECT_EQ(b[6], c.cdb_len);
        EXPECT_EQ(b[8], c.data_in);
        EXPECT_EQ(Le32(&b[12]), c.length);
        EXPECT_EQ(Le32(&b[16]), c.timeout);
        std::vector<uint8_t> cdb(b.begin() + 28, b.begin() + 28 + c.cdb_len);
        EXPECT_EQ(cdb, c.cdb);
        for (size_t i = 28 + c.cdb_len; i < 44; ++i) EXPECT_EQ(b[i], 0) << "CDB byte " << i - 28;
        // Who owns the buffer, and the address field's low half.
        switch (c.buf) {
            case Buf::Caller:
                EXPECT_EQ(s.data, buffer.data());
                break;
            case Buf::Library:
                EXPECT_NE(s.data, nullptr);
                EXPECT_NE(s.data, buffer.data());
                break;
            case Buf::None:
                EXPECT_EQ(s.data, nullptr);
                break;
        }
        EXPECT_EQ(Le32(&b[20]), uint32_t(reinterpret_cast<uintptr_t>(s.data)));
    }
}

TEST_F(SarnikCommands, CallerValuesKeepOnlyTheirLowByte) {
    // Each position gets a value with junk above bit 7 (0x1F7 style, and negative).
    auto v = [](int i) { return int32_t((i % 2 ? 0x100 : -0x100) + 0xE0 + i); };
    auto expect_cdb = [&](size_t n) {
        ASSERT_EQ(fake.sent.size(), 1u);
        const auto& cdb = fake.sent[0].block.Cdb;
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(cdb[i], 0xE0 + i) << "byte " << i;
        for (size_t i = n; i < 16; ++i) EXPECT_EQ(cdb[i], 0) << "byte " << i;
        fake.sent.clear();
    };
    int32_t c13[13], c9[9], c6[6];
    for (int i = 0; i < 13; ++i) c13[i] = v(i);
    for (int i = 0; i < 9; ++i) c9[i] = v(i);
    for (int i = 0; i < 6; ++i) c6[i] = v(i);
    cmd::write_1m(fake, 3, c13, buffer.data());
    expect_cdb(13);
    cmd::read_1m(fake, 3, c13);
    expect_cdb(13);
    cmd::vendor_write(fake, 3, c9, 1, buffer.data());
    expect_cdb(9);
    cmd::vendor_read(fake, 3, c9, 1, buffer.data());
    expect_cdb(9);
    cmd::vendor_scan(fake, 3, c6, 512, buffer.data());
    expect_cdb(6);
    cmd::vendor(fake, 3, v(0), v(1), v(2), 16);
    expect_cdb(3);
    cmd::vendor_r(fake, 3, v(0), buffer.data());
    expect_cdb(1);
    cmd::vendor_w(fake, 3, v(0), 512, buffer.data());
    expect_cdb(1);

    cmd::vendor_r(fake, 3, 0x1F7, buffer.data());
    EXPECT_EQ(fake.sent.at(0).block.Cdb[0], 0xF7);
    fake.sent.clear();
    cmd::eject(fake, 3, 0x11B, -2);
    EXPECT_EQ(fake.sent.at(0).block.Cdb[0], 0x1B);
    EXPECT_EQ(fake.sent.at(0).block.Cdb[4], 0xFE);
}

TEST_F(SarnikCommands, SectorCountGoesToByteEightButTheLengthIsTheFullProduct) {
    struct {
        int32_t count;
        uint8_t byte8;
        uint32_t length;
    } cases[] = {{255, 0xFF, 255 * 512},
                 {256, 0x00, 256 * 512},
                 {0x1F7, 0xF7, 0x1F7 * 512},
                 {0, 0, 0},
                 {-1, 0xFF, 0xFFFFFE00u}};
    // Only the blocks matter here: nothing is copied and nothing succeeds, so
    // no dump reads past the 64 KiB buffer.
    fake.copy_out = false;
    fake.deliver = false;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        fake.sent.clear();
        cmd::read10(fake, 3, c.count, 0, buffer.data());
        cmd::vendor_write(fake, 3, {0x2A, 0, 0, 0, 0, 0, 0, 0, 0}, c.count, buffer.data());
        ASSERT_EQ(fake.sent.size(), 2u);
        EXPECT_EQ(fake.sent[0].block.Cdb[7], 0);
        EXPECT_EQ(fake.sent[0].block.Cdb[8], c.byte8);
        EXPECT_EQ(fake.sent[0].block.DataTransferLength, c.length);
        EXPECT_EQ(fake.sent[1].block.DataTransferLength, c.length);
        EXPECT_EQ(fake.sent[1].block.Cdb[8], 0) << "the vendor template adds no count";
    }
}

TEST_F(SarnikCommands, ResultsFollowStatusAndTransport) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        fake.deliver = true;
        fake.status = 0x02;  // CHECK CONDITION: the call itself succeeded
        EXPECT_EQ(c.call(fake, 5, buffer.data()), 0);
        fake.status = 0;
        fake.deliver = false;  // transport failure
        EXPECT_EQ(c.call(fake, 5, buffer.data()), 0);
    }
    // Byte-count results report what actually moved.
    fake.deliver = true;
    fake.transferred = 6;
    EXPECT_EQ(cmd::read_capacity10(fake, 5, buffer.data()), 6);
    fake.transferred = 36;
    EXPECT_EQ(cmd::vendor_capacity(fake, 5, buffer.data()), 36);
}

TEST_F(SarnikCommands, NothingIsSentWithoutAHandleOrWithoutABuffer) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(fake, 0, buffer.data()), 0);
        EXPECT_EQ(c.call(fake, -1, buffer.data()), 0);
        if (c.buf == Buf::Caller) {
            EXPECT_EQ(c.call(fake, 4, nullptr), 0);
        }
    }
    EXPECT_TRUE(fake.sent.empty());
    EXPECT_EQ(cmd::drive_layout(fake, 0), 0);
    EXPECT_EQ(cmd::rescan(fake, 0), 0);
    EXPECT_EQ(fake.rescans, 0);
}

// ---- dumps ----------------------------------------------------------------

TEST_F(SarnikCommands, DumpingCommandsWriteWhatMovedOnlyAfterSuccess) {
    fake.reply = {0x10, 0x20, 0x30};
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = uint8_t(i * 7);
    auto pattern = [&](size_t n) {
        std::string s(n, 0);
        for (size_t i = 0; i < n; ++i) s[i] = char(fake.reply[i % 3]);
        return s;
    };
    auto sent = [&](size_t n) { return std::string(buffer.begin(), buffer.begin() + n); };

    fake.transferred = 100;  // the device answered less than asked
    EXPECT_EQ(cmd::vendor(fake, 3, 1, 2, 3, 512), 1);
    EXPECT_EQ(ReadFile(Dump()), pattern(100));
    fake.transferred.reset();

    EXPECT_EQ(cmd::read_1m(fake, 3, {0x28}), 1);
    EXPECT_EQ(ReadFile(Dump()), pattern(512));
    EXPECT_EQ(cmd::write_1m(fake, 3, {0x2A}, buffer.data()), 1);
    EXPECT_EQ(ReadFile(Dump()), sent(512));
    EXPECT_EQ(cmd::vendor_write(fake, 3, {0xF7}, 128, buffer.data()), 1);
    EXPECT_EQ(ReadFile(Dump()), sent(65536));
    struct stat st {};
    ASSERT_EQ(stat(Dump().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Failures of every kind leave the previous dump as it was.
    WriteFile(Dump(), "previous");
    for (bool deliver : {true, false}) {
        fake.deliver = deliver;
        fake.status = deliver ? 0x02 : 0;
        EXPECT_EQ(cmd::vendor(fake, 3, 1, 2, 3, 512), 0);
        EXPECT_EQ(cmd::read_1m(fake, 3, {0x28}), 0);
        EXPECT_EQ(cmd::write_1m(fake, 3, {0x2A}, buffer.data()), 0);
        EXPECT_EQ(cmd::vendor_write(fake, 3, {0xF7}, 128, buffer.data()), 0);
        EXPECT_EQ(ReadFile(Dump()), "previous");
    }
    // Commands that return their data to the caller never dump.
    fake.deliver = true;
    fake.status = 0;
    for (const Case& c : Cases()) {
        const std::string n = c.name;
        if (n == "Vendor" || n == "1mRead" || n == "1mWrite" || n.rfind("VendorWrite", 0) == 0)
            continue;
        c.call(fake, 3, buffer.data());
        EXPECT_EQ(ReadFile(Dump()), "previous") << n;
    }
}

TEST_F(SarnikCommands, ModeSenseDumpsTheWholeBlockWhateverTheOutcome) {
    auto check_block = [&](uint8_t status) {
        const auto d = ReadFile(Dump());
        ASSERT_TRUE(d.has_value());
        ASSERT_EQ(d->size(), 272u);
        const auto* b = reinterpret_cast<const uint8_t*>(d->data());
        EXPECT_EQ(b[0], 44);
        EXPECT_EQ(b[2], status);
        EXPECT_EQ(b[4], 1);
        EXPECT_EQ(b[6], 6);
        EXPECT_EQ(b[7], 24);
        EXPECT_EQ(b[8], 1);
        EXPECT_EQ(Le32(b + 16), 2u);
        EXPECT_EQ(Le32(b + 20), 80u) << "offset of the data area, not an address";
        EXPECT_EQ(Le32(b + 24), 48u);
        const uint8_t cdb[6] = {0x1A, 0x00, 0x1C, 0x00, 0xC0, 0x00};
        EXPECT_EQ(std::memcmp(b + 28, cdb, 6), 0);
    };
    fake.reply = {0xAB};
    fake.transferred = 20;
    EXPECT_EQ(cmd::mode_sense(fake, 3), 0);
    check_block(0);
    ASSERT_EQ(fake.buffered.size(), 1u);
    EXPECT_EQ(fake.buffered[0].DataTransferLength, 192u);
    const auto d = *ReadFile(Dump());
    EXPECT_EQ(Le32(reinterpret_cast<const uint8_t*>(d.data()) + 12), 20u);
    EXPECT_EQ(uint8_t(d[80]), 0xAB);

    WriteFile(Dump(), "old");
    fake.status = 0x02;
    EXPECT_EQ(cmd::mode_sense(fake, 3), 0);
    check_block(0x02);

    WriteFile(Dump(), "old");
    fake.deliver = false;
    EXPECT_EQ(cmd::mode_sense(fake, 3), 0);
    check_block(0);

    WriteFile(Dump(), "old");
    EXPECT_EQ(cmd::mode_sense(fake, 0), 0);
    check_block(0);
    EXPECT_EQ(fake.buffered.size(), 3u) << "no request without a handle";
}

// ---- opening --------------------------------------------------------------

TEST_F(SarnikCommands, OpenLogsThePathOfTheUnitItOpens) {
    fake.disks = {"\\\\?\\usbstor#disk&a#1#{g}", "\\\\?\\usbstor#disk&b#2#{g}"};
    fake.cds = {"\\\\?\\usbstor#cdrom&c#3#{g}"};
    const int a = cmd::open_unit(fake, sarnik::UnitClass::Disk, 0);
    EXPECT_GT(a, 0);
    EXPECT_EQ(ReadFile(Log()), fake.disks[0] + "\n");
    const int b = cmd::open_unit(fake, sarnik::UnitClass::Disk, 1);
    EXPECT_GT(b, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(ReadFile(Log()), fake.disks[1] + "\n");
    const int c = cmd::open_unit(fake, sarnik::UnitClass::Cdrom, 0);
    EXPECT_GT(c, 0);
    EXPECT_EQ(ReadFile(Log()), fake.cds[0] + "\n");
    EXPECT_EQ(fake.opened, (std::vector<std::string>{fake.disks[0], fake.disks[1], fake.cds[0]}));
    struct stat st {};
    ASSERT_EQ(stat(Log().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (int fd : {a, b, c}) close(fd);
}

TEST_F(SarnikCommands, OpenWithoutAUnitLeavesAnEmptyLogAndNoHandle) {
    fake.disks = {"\\\\?\\usbstor#disk&a#1#{g}"};
    const auto fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto before = fds();
    for (int32_t index : {1, 5, -1, INT32_MIN}) {
        WriteFile(Log(), "stale line\n");
        errno = EINVAL;
        EXPECT_EQ(cmd::open_unit(fake, sarnik::UnitClass::Disk, index), 0) << index;
        EXPECT_EQ(errno, 0) << index;  // no unit there
        EXPECT_EQ(ReadFile(Log()), "") << index;
    }
    EXPECT_EQ(cmd::open_unit(fake, sarnik::UnitClass::Cdrom, 0), 0);
    EXPECT_EQ(ReadFile(Log()), "");
    EXPECT_TRUE(fake.opened.empty());
    EXPECT_EQ(fds(), before);

    // Found but not opened: 0, the log holds the path and errno the reason.
    fake.fail_open = true;
    EXPECT_EQ(cmd::open_unit(fake, sarnik::UnitClass::Disk, 0), 0);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(ReadFile(Log()), fake.disks[0] + "\n");
}

TEST_F(SarnikCommands, HandleZeroIsNeverReturned) {
    fake.disks = {"\\\\?\\usbstor#disk&a#1#{g}"};
    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);  // the platform's open now gets descriptor 0
    const int h = cmd::open_unit(fake, sarnik::UnitClass::Disk, 0);
    const bool zero_free = fcntl(0, F_GETFD) < 0;
    dup2(saved, 0);
    close(saved);
    EXPECT_GT(h, 0);
    EXPECT_TRUE(zero_free) << "descriptor 0 was moved, not duplicated";
    if (h > 0) close(h);
}

// ---- files ----------------------------------------------------------------

TEST(SarnikFiles, DefaultFolderIsPrivateAndPerUser) {
    TempDir t;
    FakePlatform fake;
    fake.disks = {"\\\\?\\usbstor#disk&a#1#{g}"};
    EnvVar no_root("SARNIK_ROOT", std::nullopt);
    {
        EnvVar xdg("XDG_RUNTIME_DIR", t.str() + "/run");
        fs::create_directories(t.path() / "run");
        close(cmd::open_unit(fake, sarnik::UnitClass::Disk, 0));
        struct stat st {};
        ASSERT_EQ(lstat((t.path() / "run/sarnik").c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(ReadFile(t.path() / "run/sarnik/tessary.txt"), fake.disks[0] + "\n");
    }
    {
        EnvVar xdg("XDG_RUNTIME_DIR", std::nullopt);
        EnvVar home("HOME", t.str() + "/home");
        fs::create_directories(t.path() / "home");
        close(cmd::open_unit(fake, sarnik::UnitClass::Disk, 0));
        struct stat st {};
        ASSERT_EQ(lstat((t.path() / "home/.local/state/sarnik").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(ReadFile(t.path() / "home/.local/state/sarnik/tessary.txt"),
                  fake.disks[0] + "\n");
        // A folder opened up by someone is closed again.
        chmod((t.path() / "home/.local/state/sarnik").c_str(), 0777);
        close(cmd::open_unit(fake, sarnik::UnitClass::Disk, 0));
        ASSERT_EQ(lstat((t.path() / "home/.local/state/sarnik").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    {
        // A default folder that is a link is refused: nothing lands behind it.
        fs::create_directories(t.path() / "elsewhere");
        fs::create_directories(t.path() / "run2");
        fs::create_directory_symlink(t.path() / "elsewhere", t.path() / "run2/sarnik");
        EnvVar xdg("XDG_RUNTIME_DIR", t.str() + "/run2");
        close(cmd::open_unit(fake, sarnik::UnitClass::Disk, 0));
        EXPECT_TRUE(fs::is_empty(t.path() / "elsewhere"));
    }
}

TEST(SarnikFiles, LinksPlantedAtTheFileNamesAreNotFollowed) {
    TempDir t;
    EnvVar root("SARNIK_ROOT", t.str() + "/root");
    FakePlatform fake;
    fake.disks = {"\\\\?\\usbstor#disk&a#1#{g}"};
    WriteFile(t.path() / "victim", "precious");
    fs::create_directories(t.path() / "root");
    fs::create_symlink(t.path() / "victim", t.path() / "root/tessary.bin");
    fs::create_symlink(t.path() / "victim", t.path() / "root/tessary.txt");
    uint8_t buf[512] = {1, 2, 3};
    EXPECT_EQ(cmd::write_1m(fake, 3, {0x2A}, buf), 1);
    close(cmd::open_unit(fake, sarnik::UnitClass::Disk, 0));
    EXPECT_EQ(ReadFile(t.path() / "victim"), "precious");
    EXPECT_FALSE(fs::is_symlink(t.path() / "root/tessary.bin"));
    EXPECT_EQ(ReadFile(t.path() / "root/tessary.bin"),
              std::string(reinterpret_cast<char*>(buf), 512));
    EXPECT_EQ(ReadFile(t.path() / "root/tessary.txt"), fake.disks[0] + "\n");
    // No temporary files are left beside them.
    EXPECT_EQ(std::distance(fs::directory_iterator(t.path() / "root"), {}), 2);
}

// The log is part of an open's contract: a caller that cannot be told which
// unit it got must not get one.
TEST(SarnikFiles, AnOpenWhoseLogCannotBeRewrittenOpensNothing) {
    TempDir t;
    FakePlatform fake;
    fake.disks = {"\\\\?\\usbstor#disk&new#1#{g}"};
    const fs::path root = t.path() / "root";
    const std::string stale = "\\\\?\\usbstor#disk&old#1#{g}\n";
    WriteFile(root / "tessary.txt", stale);
    EnvVar env("SARNIK_ROOT", root.string());
    auto refused = [&](const char* why, bool folder_at_fault = true) {
        SCOPED_TRACE(why);
        fake.opened.clear();
        errno = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(cmd::open_unit(fake, sarnik::UnitClass::Disk, 0), 0);
        EXPECT_EQ(errno, EACCES);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("sarnik: the device-path log cannot be written: ", 0), 0u) << err;
        EXPECT_TRUE(fake.opened.empty());
        EXPECT_EQ(sarnik_files::root_problem().empty(), !folder_at_fault);
    };

    // An explicit folder is checked like the default one, and never mended.
    chmod(root.c_str(), 0500);
    refused("read-only folder");
    EXPECT_EQ(ReadFile(root / "tessary.txt"), stale);
    chmod(root.c_str(), 0770);
    refused("folder writable by the group");
    chmod(root.c_str(), 0703);
    refused("folder writable by others");
    EXPECT_EQ(ReadFile(root / "tessary.txt"), stale);
    struct stat st {};
    ASSERT_EQ(stat(root.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0703u);
    {
        EnvVar file("SARNIK_ROOT", (root / "tessary.txt").string());
        refused("not a directory");
    }
    fs::create_directory_symlink(root, t.path() / "link");
    {
        EnvVar link("SARNIK_ROOT", (t.path() / "link").string());
        refused("a link");
    }
    if (geteuid() == 0) {
        chmod(root.c_str(), 0755);
        ASSERT_EQ(chown(root.c_str(), 65534, 65534), 0);
        refused("another user's folder");
        ASSERT_EQ(chown(root.c_str(), 0, 0), 0);
    }

    // A folder that is fine, but the log's name is taken by a folder.
    chmod(root.c_str(), 0700);
    fs::remove(root / "tessary.txt");
    fs::create_directories(root / "tessary.txt/x");
    refused("log name taken", false);

    // And once the log can be written again, the open works and says so.
    fs::remove_all(root / "tessary.txt");
    EXPECT_EQ(sarnik_files::root_problem(), "");
    const int h = cmd::open_unit(fake, sarnik::UnitClass::Disk, 0);
    EXPECT_GT(h, 0);
    if (h > 0) close(h);
    EXPECT_EQ(ReadFile(root / "tessary.txt"), fake.disks[0] + "\n");
    // Other failures leave errno at 0.
    errno = EIO;
    EXPECT_EQ(cmd::open_unit(fake, sarnik::UnitClass::Disk, 5), 0);
    EXPECT_EQ(errno, 0);
}

// ---- layout, rescan, filter driver ------------------------------------------

TEST_F(SarnikCommands, DriveLayoutReportsTheBytesOfA40ByteArea) {
    EXPECT_EQ(cmd::drive_layout(fake, 3), 0) << "no layout (no medium)";
    fake.layout = sarnik::DriveLayout{};
    EXPECT_EQ(cmd::drive_layout(fake, 3), 8);
    fake.layout->partitions.push_back({2048, 1000, 1, 0x0E, true});
    EXPECT_EQ(cmd::drive_layout(fake, 3), 40);
    fake.layout->partitions.push_back({4096, 1000, 2, 0x0E, false});
    EXPECT_EQ(cmd::drive_layout(fake, 3), 0) << "two partitions do not fit";
}

TEST(SarnikDriveLayout, EncodingAndBootRecordParsing) {
    uint8_t mbr[512] = {};
    mbr[0x1B8] = 0x78;
    mbr[0x1B9] = 0x56;
    mbr[0x1BA] = 0x34;
    mbr[0x1BB] = 0x12;
    uint8_t* e = mbr + 0x1BE + 16;  // second slot only
    e[0] = 0x80;
    e[4] = 0x06;
    e[8] = 0x3F;                 // start 63
    e[12] = 0x00, e[13] = 0x10;  // 4096 sectors
    EXPECT_FALSE(sarnik::parse_mbr(mbr).has_value()) << "no boot signature";
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    const auto l = sarnik::parse_mbr(mbr);
    ASSERT_TRUE(l.has_value());
    EXPECT_EQ(l->signature, 0x12345678u);
    ASSERT_EQ(l->partitions.size(), 1u);
    EXPECT_EQ(l->partitions[0].number, 2u);
    EXPECT_EQ(l->partitions[0].start_sector, 63u);
    EXPECT_EQ(l->partitions[0].sectors, 4096u);

    uint8_t out[40];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(sarnik::encode_drive_layout(*l, out, sizeof out), 40u);
    EXPECT_EQ(Le32(out), 1u);
    EXPECT_EQ(Le32(out + 4), 0x12345678u);
    EXPECT_EQ(Le32(out + 8), 63u * 512);  // starting offset, low half
    EXPECT_EQ(Le32(out + 12), 0u);
    EXPECT_EQ(Le32(out + 16), 4096u * 512);
    EXPECT_EQ(Le32(out + 24), 63u);  // hidden sectors
    EXPECT_EQ(Le32(out + 28), 2u);   // number
    EXPECT_EQ(out[32], 0x06);
    EXPECT_EQ(out[33], 1);
    EXPECT_EQ(out[36] | out[37] | out[38] | out[39], 0);
    EXPECT_FALSE(sarnik::encode_drive_layout(*l, out, 39).has_value());
}

TEST_F(SarnikCommands, RescanAndFilterDriverRequests) {
    EXPECT_EQ(cmd::rescan(fake, 3), 0);
    EXPECT_EQ(fake.rescans, 1);
    fake.rescan_result.reset();
    EXPECT_EQ(cmd::rescan(fake, 3), 0);
    EXPECT_EQ(fake.rescans, 2);

    EXPECT_EQ(cmd::set_configuration(fake), 0);
    EXPECT_TRUE(fake.filter_codes.empty());
    fake.filter_present = true;
    fake.filter_answer = false;  // the driver's answer does not matter
    EXPECT_EQ(cmd::set_configuration(fake), 1);
    EXPECT_EQ(fake.filter_codes, std::vector<uint32_t>{0x222004});
}

}  // namespace
