// Several processes and threads on one bus: no lost data, counters or trace
// lines, and one device's lock never holds up another device.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "simtest.h"

using simdev::Direction;
using simdev::UnitClass;
using namespace simtest;

namespace {

constexpr int kWrites = 120;

// Writes sectors writer, writer + W, writer + 2W, ... each with its own pattern.
bool WriteStripes(const simbus::Bus& bus, int writer, int writers) {
    int fd = bus.open(bus.interface_paths(UnitClass::Disk).at(0));
    if (fd <= 0) return false;
    bool ok = true;
    for (int i = 0; i < kWrites && ok; ++i) {
        const uint32_t lba = uint32_t(i * writers + writer);
        ok = Good(Write10(bus, fd, lba, Pattern(1, lba)));
    }
    close(fd);
    return ok;
}

void ExpectConsistent(const simbus::Bus& bus, const std::string& id, int writers) {
    const int total = kWrites * writers;
    int fd = bus.open(bus.interface_paths(UnitClass::Disk).at(0));
    std::vector<uint8_t> back;
    for (int lba = 0; lba < total; ++lba) {
        ASSERT_TRUE(Good(Read10(bus, fd, uint32_t(lba), 1, back)));
        ASSERT_EQ(back, Pattern(1, uint32_t(lba))) << "sector " << lba;
    }
    close(fd);
    auto info = bus.inspect(id);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->at("commands"), total * 2);
    EXPECT_EQ(info->at("seen").at("2a"), total);
    const auto trace = bus.trace(id);
    ASSERT_EQ(trace.size(), size_t(total * 2));
    int writes = 0;
    for (const auto& line : trace) {
        if (line.rfind("2a 00 ", 0) == 0) {
            ++writes;
            EXPECT_NE(line.find(" | out | 512 | good"), std::string::npos) << line;
        } else {
            EXPECT_EQ(line.rfind("28 00 ", 0), 0u) << line;
        }
    }
    EXPECT_EQ(writes, total);
}

}  // namespace

TEST_F(BusTest, TwoProcessesWritingOneDeviceKeepItConsistent) {
    ASSERT_EQ(bus.plug(Plain(65536)), "d001");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        simbus::Bus own(bus_dir);
        _exit(WriteStripes(own, 1, 2) ? 0 : 1);
    }
    const bool mine = WriteStripes(bus, 0, 2);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(mine);
    ExpectConsistent(bus, "d001", 2);
}

TEST_F(BusTest, ThreadsOfOneProcessWritingOneDeviceKeepItConsistent) {
    ASSERT_EQ(bus.plug(Plain(65536)), "d001");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            if (!WriteStripes(bus, t, 4)) ++failures;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    ExpectConsistent(bus, "d001", 4);
}

TEST_F(BusTest, ABusyDeviceDoesNotHoldUpAnother) {
    ASSERT_EQ(bus.plug(Plain()), "d001");
    ASSERT_EQ(bus.plug(Plain()), "d002");
    int a = Open(UnitClass::Disk, 0);
    int b = Open(UnitClass::Disk, 1);

    // Hold d001 as a command in progress would.
    int held = ::open((DeviceDir("d001") + "/lock").c_str(), O_RDWR);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    std::atomic<bool> a_done{false};
    std::thread on_a([&] {
        TestUnitReady(bus, a);
        a_done = true;
    });
    // d002 answers while d001 is busy ...
    EXPECT_TRUE(Good(TestUnitReady(bus, b)));
    EXPECT_TRUE(Good(Write10(bus, b, 0, Pattern(4, 4))));
    EXPECT_EQ(bus.interface_paths(UnitClass::Disk).size(), 2u);
    // ... and the command on d001 waits for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(a_done);
    flock(held, LOCK_UN);
    on_a.join();
    EXPECT_TRUE(a_done);
    close(held);
    close(a);
    close(b);
}

// A process keeps the last state it parsed; a change another process saves
// must still reach its next command.
TEST_F(BusTest, AChangeAnotherProcessSavedReachesAProcessThatKeepsItsLastState) {
    ASSERT_EQ(bus.plug(Plain()), "d001");
    int fd = Open(UnitClass::Disk, 0);
    ASSERT_TRUE(Good(TestUnitReady(bus, fd)));
    ASSERT_TRUE(Good(TestUnitReady(bus, fd)));
    auto inOtherProcess = [&](bool enable) {
        pid_t child = fork();
        if (child == 0) {
            simbus::Bus own(bus_dir);
            _exit(own.set_enabled("d001", enable) ? 0 : 1);
        }
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    };

    ASSERT_TRUE(inOtherProcess(false));
    EXPECT_FALSE(TestUnitReady(bus, fd).delivered);
    ASSERT_TRUE(inOtherProcess(true));
    EXPECT_FALSE(TestUnitReady(bus, fd).delivered);  // a descriptor of the old start
    close(fd);
    fd = Open(UnitClass::Disk, 0);
    EXPECT_TRUE(Good(TestUnitReady(bus, fd)));
    EXPECT_EQ(bus.inspect("d001")->at("commands"), 3);
    close(fd);
}
