// Bulk-only transport of the USB gadget front end, without a kernel: a fake
// pair of bulk endpoints plays the host, a fake target (or a device of a
// real simulated bus) the logical units.
#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "bot.h"
#include "bus_target.h"
#include "faults.h"
#include "simtest.h"

namespace {

using simdev::Direction;
using simgadget::CswStatus;
using simgadget::Transport;
using Bytes = std::vector<uint8_t>;

Bytes cbw(uint32_t tag, uint32_t length, bool in, uint8_t lun, Bytes cdb) {
    Bytes b(31, 0);
    const uint32_t words[3] = {simgadget::kCbwSignature, tag, length};
    for (int w = 0; w < 3; ++w)
        for (int i = 0; i < 4; ++i) b[4 * w + i] = uint8_t(words[w] >> (8 * i));
    b[12] = in ? 0x80 : 0;
    b[13] = lun;
    b[14] = uint8_t(cdb.size());
    std::copy(cdb.begin(), cdb.end(), b.begin() + 15);
    return b;
}

struct Csw {
    uint32_t signature, tag, residue;
    uint8_t status;
};
Csw decode(const Bytes& b) {
    auto le = [&](size_t at) {
        return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
               uint32_t(b[at + 3]) << 24;
    };
    EXPECT_EQ(b.size(), 13u);
    if (b.size() != 13) return {};
    return {le(0), le(4), le(8), b[12]};
}

// The host: transfers it sends on bulk-out, everything the device sent on
// bulk-in (one entry per transfer) and the halts, in order ("data", "in!", "out!").
class FakePipe final : public simgadget::Pipe {
  public:
    std::deque<Bytes> to_device;
    std::vector<Bytes> from_device;
    std::vector<std::string> events;
    int fail_receive_at = -1;  // abort the nth receive (0-based)

    long receive(uint8_t* buf, size_t n) override {
        if (fail_receive_at == receives_++) return -1;
        if (to_device.empty()) return -1;  // nothing more from the host: like a disconnect
        Bytes& t = to_device.front();
        const size_t k = std::min(n, t.size());
        std::copy(t.begin(), t.begin() + k, buf);
        t.erase(t.begin(), t.begin() + k);
        if (t.empty()) to_device.pop_front();
        return long(k);
    }
    bool send(const uint8_t* buf, size_t n) override {
        from_device.emplace_back(buf, buf + n);
        events.push_back("data");
        return true;
    }
    bool halt_in() override {
        events.push_back("in!");
        return true;
    }
    bool halt_out() override {
        events.push_back("out!");
        return true;
    }

  private:
    int receives_ = 0;
};

struct Call {
    uint8_t lun;
    Bytes cdb;
    Direction dir;
    Bytes data;  // as the target received it (out) or the buffer size (in)
    size_t size;
};

class FakeTarget final : public simgadget::Target {
  public:
    size_t units = 2;
    std::vector<Call> calls;
    // Fills in-data / decides the outcome; default: good, everything moved.
    std::function<std::optional<simdev::Response>(const simdev::Request&)> answer =
        [](const simdev::Request& r) {
            for (size_t i = 0; i < r.data.size(); ++i) r.data[i] = uint8_t(0xA0 + i);
            return simdev::Response{simdev::kStatusGood, uint32_t(r.data.size())};
        };

    size_t luns() const override { return units; }
    std::optional<simdev::Response> execute(uint8_t lun, const simdev::Request& r) override {
        calls.push_back({lun, Bytes(r.cdb.begin(), r.cdb.end()), r.dir,
                         Bytes(r.data.begin(), r.data.end()), r.data.size()});
        return answer(r);
    }
};

class BotTest : public ::testing::Test {
  protected:
    FakePipe pipe;
    FakeTarget target;
    Transport t{pipe, target};

    // Runs one command: the CBW, then `out` as the host's data transfer.
    Transport::Step run(const Bytes& block, const Bytes& out = {}) {
        pipe.to_device.push_back(block);
        if (!out.empty()) pipe.to_device.push_back(out);
        return t.serve_one();
    }
    Csw last_csw() { return decode(pipe.from_device.back()); }
};

const Bytes kInquiry36 = {0x12, 0, 0, 0, 36, 0};
const Bytes kTur = {0, 0, 0, 0, 0, 0};
Bytes read10(uint16_t blocks) {
    return {0x28, 0, 0, 0, 0, 8, 0, uint8_t(blocks >> 8), uint8_t(blocks), 0};
}
Bytes write10(uint16_t blocks) {
    return {0x2A, 0, 0, 0, 0, 8, 0, uint8_t(blocks >> 8), uint8_t(blocks), 0};
}

TEST(BotWire, CommandBlockValidationAndStatusEncoding) {
    const Bytes good = cbw(0x11223344, 512, true, 1, {0x75, 1, 2});
    const auto c = simgadget::parse_cbw(good, 1);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->tag, 0x11223344u);
    EXPECT_EQ(c->length, 512u);
    EXPECT_TRUE(c->in);
    EXPECT_EQ(c->lun, 1);
    EXPECT_EQ(Bytes(c->cdb().begin(), c->cdb().end()), (Bytes{0x75, 1, 2}));

    auto broken = [&](std::function<void(Bytes&)> f, uint8_t max_lun = 1) {
        Bytes b = good;
        f(b);
        return !simgadget::parse_cbw(b, max_lun);
    };
    EXPECT_TRUE(broken([](Bytes& b) { b.pop_back(); }));
    EXPECT_TRUE(broken([](Bytes& b) { b.push_back(0); }));
    EXPECT_TRUE(broken([](Bytes& b) { b[0] ^= 1; }));      // signature
    EXPECT_TRUE(broken([](Bytes& b) { b[12] |= 0x01; }));  // reserved flag bits
    EXPECT_TRUE(broken([](Bytes& b) { b[13] = 2; }));      // LUN above Get Max LUN
    EXPECT_TRUE(broken([](Bytes& b) { b[13] |= 0x10; }));  // reserved bits above the LUN
    EXPECT_TRUE(broken([](Bytes& b) { b[14] = 0; }));      // no command byte
    EXPECT_TRUE(broken([](Bytes& b) { b[14] = 17; }));     // more than 16
    EXPECT_TRUE(broken([](Bytes& b) { b[14] |= 0x20; }));  // reserved bits of the length
    EXPECT_TRUE(broken([](Bytes& b) { b[13] = 1; }, 0));   // one-unit device
    EXPECT_FALSE(broken([](Bytes& b) { b[14] = 16; }));

    const auto csw = simgadget::encode_csw(0xA1B2C3D4, 0x01020304, CswStatus::PhaseError);
    EXPECT_EQ(Bytes(csw.begin(), csw.end()),
              (Bytes{'U', 'S', 'B', 'S', 0xD4, 0xC3, 0xB2, 0xA1, 4, 3, 2, 1, 2}));
}

// Wire faults fire once, at their occurrence of their opcode, counted over
// every command; malformed texts are refused.
TEST(BotWire, WireFaultsFireAtTheirOccurrenceOnly) {
    using simgadget::WireFault;
    const auto hang = simgadget::parse_wire_fault("2A:3", WireFault::Hang);
    const auto slow = simgadget::parse_wire_fault("0", WireFault::Slow);
    ASSERT_TRUE(hang && slow);
    simgadget::WireFaultPlan plan({*hang, *slow});
    std::vector<std::pair<uint8_t, int>> fired;
    const uint8_t ops[] = {0x00, 0x2A, 0x28, 0x2A, 0x00, 0x2A, 0x2A, 0x00};
    for (int i = 0; i < 8; ++i)
        if (const auto f = plan.next(ops[i])) fired.push_back({ops[i], int(*f)});
    EXPECT_EQ(fired, (std::vector<std::pair<uint8_t, int>>{{0x00, int(WireFault::Slow)},
                                                           {0x2A, int(WireFault::Hang)}}));
    for (const char* bad : {"", ":2", "2a:0", "2a:", "123", "zz", "2a:x", "2a:-1"})
        EXPECT_FALSE(simgadget::parse_wire_fault(bad, WireFault::Hang)) << bad;
}

TEST_F(BotTest, InvalidBlockHaltsBothEndpointsUntilTheReset) {
    Bytes bad = cbw(7, 0, false, 0, kTur);
    bad[3] = 'X';
    EXPECT_EQ(run(bad), Transport::Step::Refused);
    EXPECT_EQ(pipe.events, (std::vector<std::string>{"out!", "in!"}));
    EXPECT_TRUE(t.waiting_for_reset());

    // A valid block is refused as well while the reset has not come.
    EXPECT_EQ(run(cbw(8, 0, false, 0, kTur)), Transport::Step::Refused);
    EXPECT_TRUE(target.calls.empty());
    EXPECT_EQ(pipe.from_device.size(), 0u);

    // A malformed reset does not count; the right one does.
    EXPECT_TRUE(t.control({0x21, 0xFF, 1, 0, 0}).stall);
    EXPECT_TRUE(t.control({0x21, 0xFF, 0, 1, 0}).stall);
    EXPECT_TRUE(t.waiting_for_reset());
    const uint64_t before = t.resets();
    const auto ack = t.control({0x21, 0xFF, 0, 0, 0});
    EXPECT_FALSE(ack.stall);
    EXPECT_TRUE(ack.data.empty());
    EXPECT_EQ(t.resets(), before + 1);
    EXPECT_FALSE(t.waiting_for_reset());

    EXPECT_EQ(run(cbw(9, 0, false, 0, kTur)), Transport::Step::Done);
    EXPECT_EQ(last_csw().tag, 9u);
    EXPECT_EQ(last_csw().status, 0);
    EXPECT_EQ(t.counters().refused, 2u);
}

TEST_F(BotTest, GetMaxLunFollowsTheUnitsAndOtherRequestsStall) {
    target.units = 3;
    auto r = t.control({0xA1, 0xFE, 0, 0, 1});
    ASSERT_FALSE(r.stall);
    EXPECT_EQ(r.data, Bytes{2});
    target.units = 1;
    EXPECT_EQ(t.control({0xA1, 0xFE, 0, 0, 1}).data, Bytes{0});
    EXPECT_TRUE(t.control({0xA1, 0xFE, 0, 0, 2}).stall);  // wLength must be 1
    EXPECT_TRUE(t.control({0xA1, 0xFE, 0, 3, 1}).stall);  // another interface
    EXPECT_TRUE(t.control({0xA1, 0xFE, 1, 0, 1}).stall);
    EXPECT_TRUE(t.control({0x80, 0x06, 0x0100, 0, 18}).stall);  // not a class request
    EXPECT_TRUE(t.control({0x21, 0xFE, 0, 0, 1}).stall);        // wrong direction
}

TEST_F(BotTest, DataInShorterThanTheHostAsksIsPaddedWithTheResidue) {
    // INQUIRY: the host offers 96 bytes, the device has 36 valid ones.
    target.answer = [](const simdev::Request& r) {
        std::fill(r.data.begin(), r.data.end(), 0xEE);
        return simdev::Response{simdev::kStatusGood, 36};
    };
    Bytes cdb = kInquiry36;
    cdb[4] = 96;
    EXPECT_EQ(run(cbw(1, 96, true, 0, cdb)), Transport::Step::Done);
    ASSERT_EQ(target.calls.size(), 1u);
    EXPECT_EQ(target.calls[0].size, 96u);
    EXPECT_EQ(target.calls[0].dir, Direction::In);
    ASSERT_EQ(pipe.from_device.size(), 2u);
    const Bytes& data = pipe.from_device[0];
    ASSERT_EQ(data.size(), 96u);
    EXPECT_EQ(data[35], 0xEE);
    EXPECT_EQ(data[36], 0x00);  // nothing of the target's buffer past what it reported
    EXPECT_EQ(data[95], 0x00);
    EXPECT_EQ(last_csw().residue, 60u);
    EXPECT_EQ(last_csw().status, 0);
    EXPECT_EQ(last_csw().signature, simgadget::kCswSignature);
}

TEST_F(BotTest, AllocationLengthsAreCutButTransfersOfBlocksAreAPhaseError) {
    // The host takes 20 bytes of a 36-byte INQUIRY: cut, status good.
    EXPECT_EQ(run(cbw(1, 20, true, 1, kInquiry36)), Transport::Step::Done);
    ASSERT_EQ(target.calls.size(), 1u);
    EXPECT_EQ(target.calls[0].lun, 1);
    EXPECT_EQ(target.calls[0].size, 20u);
    EXPECT_EQ(pipe.from_device[0].size(), 20u);
    EXPECT_EQ(last_csw().residue, 0u);
    EXPECT_EQ(last_csw().status, 0);

    // READ(10) of 2 blocks into 512 bytes: not run, the host still gets its 512 bytes.
    pipe.from_device.clear();
    EXPECT_EQ(run(cbw(2, 512, true, 0, read10(2))), Transport::Step::Done);
    EXPECT_EQ(target.calls.size(), 1u);
    ASSERT_EQ(pipe.from_device.size(), 2u);
    EXPECT_EQ(pipe.from_device[0], Bytes(512, 0));
    EXPECT_EQ(last_csw().status, 2);
    EXPECT_EQ(last_csw().residue, 512u);

    // READ(10) of 1 block into 1024 bytes: the target sees exactly one block.
    pipe.from_device.clear();
    EXPECT_EQ(run(cbw(3, 1024, true, 0, read10(1))), Transport::Step::Done);
    ASSERT_EQ(target.calls.size(), 2u);
    EXPECT_EQ(target.calls[1].size, 512u);
    EXPECT_EQ(pipe.from_device[0].size(), 1024u);
    EXPECT_EQ(pipe.from_device[0][511], uint8_t(0xA0 + 511));
    EXPECT_EQ(pipe.from_device[0][512], 0);
    EXPECT_EQ(last_csw().residue, 512u);
    EXPECT_EQ(last_csw().status, 0);
}

TEST_F(BotTest, SurplusDataOutIsDroppedAndThePipeStaysInStep) {
    Bytes out(1536);
    for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(i * 7);
    // WRITE(10) of 2 blocks, the host sends 3.
    EXPECT_EQ(run(cbw(4, 1536, false, 0, write10(2)), out), Transport::Step::Done);
    ASSERT_EQ(target.calls.size(), 1u);
    EXPECT_EQ(target.calls[0].dir, Direction::Out);
    EXPECT_EQ(target.calls[0].data, Bytes(out.begin(), out.begin() + 1024));
    EXPECT_EQ(last_csw().residue, 512u);
    // The dropped block is not read as the next command block.
    EXPECT_EQ(run(cbw(5, 0, false, 0, kTur)), Transport::Step::Done);
    EXPECT_EQ(last_csw().tag, 5u);
    EXPECT_FALSE(t.waiting_for_reset());

    // A command without data while the host sends some: run, data dropped.
    EXPECT_EQ(run(cbw(6, 512, false, 0, kTur), Bytes(512, 1)), Transport::Step::Done);
    EXPECT_EQ(target.calls.back().dir, Direction::None);
    EXPECT_EQ(last_csw().residue, 512u);
    EXPECT_EQ(last_csw().status, 0);
    EXPECT_EQ(run(cbw(7, 0, false, 0, kTur)), Transport::Step::Done);
    EXPECT_EQ(last_csw().tag, 7u);
}

TEST_F(BotTest, DirectionsThatDisagreeArePhaseErrorsWithoutRunningTheCommand) {
    // READ(10) while the host sends: its data is read and dropped.
    EXPECT_EQ(run(cbw(1, 512, false, 0, read10(1)), Bytes(512, 9)), Transport::Step::Done);
    EXPECT_EQ(last_csw().status, 2);
    EXPECT_EQ(last_csw().residue, 512u);
    // WRITE(10) while the host reads: zeros, no write.
    EXPECT_EQ(run(cbw(2, 512, true, 0, write10(1))), Transport::Step::Done);
    EXPECT_EQ(pipe.from_device[pipe.from_device.size() - 2], Bytes(512, 0));
    EXPECT_EQ(last_csw().status, 2);
    // INQUIRY with no data phase at all.
    EXPECT_EQ(run(cbw(3, 0, true, 0, kInquiry36)), Transport::Step::Done);
    EXPECT_EQ(last_csw().status, 2);
    // WRITE(10) of 2 blocks, the host sends only 1.
    EXPECT_EQ(run(cbw(4, 512, false, 0, write10(2)), Bytes(512, 3)), Transport::Step::Done);
    EXPECT_EQ(last_csw().status, 2);
    EXPECT_TRUE(target.calls.empty());
    EXPECT_EQ(t.counters().phase_errors, 4u);
    EXPECT_EQ(run(cbw(5, 0, false, 0, kTur)), Transport::Step::Done);
    EXPECT_EQ(last_csw().tag, 5u);
}

TEST_F(BotTest, FailedCommandsReportTheWholeLength) {
    target.answer = [](const simdev::Request& r) {
        std::fill(r.data.begin(), r.data.end(), 0x55);  // must not reach the host
        return simdev::Response{simdev::kStatusCheckCondition, uint32_t(r.data.size())};
    };
    EXPECT_EQ(run(cbw(1, 512, true, 0, {0x75, 0, 0, 0, 0, 0, 0, 0, 0, 0})), Transport::Step::Done);
    EXPECT_EQ(pipe.from_device[0], Bytes(512, 0));
    EXPECT_EQ(last_csw().status, 1);
    EXPECT_EQ(last_csw().residue, 512u);
    EXPECT_EQ(run(cbw(2, 512, false, 0, {0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0}), Bytes(512, 1)),
              Transport::Step::Done);
    EXPECT_EQ(last_csw().status, 1);
    EXPECT_EQ(last_csw().residue, 512u);
    EXPECT_EQ(t.counters().failed, 2u);
}

TEST_F(BotTest, VendorCommandsTakeTheHostsLengthAndDirection) {
    Bytes block(512);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i ^ 0x5A);
    const Bytes cdb = {0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(run(cbw(1, 512, false, 0, cdb), block), Transport::Step::Done);
    ASSERT_EQ(target.calls.size(), 1u);
    EXPECT_EQ(target.calls[0].dir, Direction::Out);
    EXPECT_EQ(target.calls[0].data, block);
    EXPECT_EQ(target.calls[0].cdb, cdb);  // all 12 command bytes
    EXPECT_EQ(last_csw().residue, 0u);

    EXPECT_EQ(run(cbw(2, 512, true, 0, {0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0})), Transport::Step::Done);
    EXPECT_EQ(target.calls[1].dir, Direction::In);
    EXPECT_EQ(target.calls[1].size, 512u);
    EXPECT_EQ(last_csw().residue, 0u);
}

TEST(BotStall, ShortDataInIsSentThenBulkInHalts) {
    FakePipe pipe;
    FakeTarget target;
    target.answer = [](const simdev::Request& r) {
        std::fill(r.data.begin(), r.data.end(), 0x42);
        return simdev::Response{simdev::kStatusGood, 36};
    };
    Transport t(pipe, target, {true, 0});
    Bytes cdb = kInquiry36;
    cdb[4] = 96;
    pipe.to_device.push_back(cbw(1, 96, true, 0, cdb));
    EXPECT_EQ(t.serve_one(), Transport::Step::Done);
    EXPECT_EQ(pipe.events, (std::vector<std::string>{"data", "in!", "data"}));
    EXPECT_EQ(pipe.from_device[0], Bytes(36, 0x42));
    EXPECT_EQ(decode(pipe.from_device[1]).residue, 60u);

    // Nothing valid at all (a failed command): only the halt, then the status.
    target.answer = [](const simdev::Request&) {
        return simdev::Response{simdev::kStatusCheckCondition, 0};
    };
    pipe.events.clear();
    pipe.to_device.push_back(cbw(2, 96, true, 0, cdb));
    EXPECT_EQ(t.serve_one(), Transport::Step::Done);
    EXPECT_EQ(pipe.events, (std::vector<std::string>{"in!", "data"}));
    EXPECT_EQ(decode(pipe.from_device.back()).status, 1);
}

TEST_F(BotTest, AbortedTransfersSendNoStatusAndAGoneDeviceIsAPhaseError) {
    pipe.fail_receive_at = 1;  // the data phase of the write
    EXPECT_EQ(run(cbw(1, 512, false, 0, write10(1)), Bytes(512, 1)), Transport::Step::Aborted);
    EXPECT_TRUE(pipe.from_device.empty());
    EXPECT_TRUE(target.calls.empty());
    pipe.to_device.clear();

    target.answer = [](const simdev::Request&) { return std::nullopt; };
    EXPECT_EQ(run(cbw(2, 8, true, 0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0})), Transport::Step::Done);
    EXPECT_EQ(pipe.from_device[0], Bytes(8, 0));
    EXPECT_EQ(last_csw().status, 2);
    EXPECT_EQ(last_csw().residue, 8u);
}

// The transport in front of a device of a real simulated bus: what goes through
// it is what the bus's own users see, in the same store.
class BotOnBus : public simtest::BusTest {};

TEST_F(BotOnBus, CommandsReachTheBusDeviceAndItsStore) {
    simbus::PlugOptions po;
    const std::string id = bus.plug(po);
    ASSERT_FALSE(id.empty());
    std::string error;
    auto target = simgadget::BusTarget::open(bus_dir, id, &error);
    ASSERT_TRUE(target) << error;
    EXPECT_EQ(target->luns(), 1u);
    EXPECT_EQ(target->presentation().usb.vid, 0x0E5A);
    EXPECT_EQ(target->presentation().units.at(0).revision, "7.77");

    FakePipe pipe;
    Transport t(pipe, *target);
    auto run = [&](const Bytes& block, const Bytes& out = {}) {
        pipe.to_device.push_back(block);
        if (!out.empty()) pipe.to_device.push_back(out);
        EXPECT_EQ(t.serve_one(), Transport::Step::Done);
        return decode(pipe.from_device.back());
    };
    Bytes cdb = kInquiry36;
    EXPECT_EQ(run(cbw(1, 36, true, 0, cdb)).status, 0);
    const Bytes inquiry = pipe.from_device[pipe.from_device.size() - 2];
    EXPECT_EQ(std::string(inquiry.begin() + 8, inquiry.begin() + 16), "KORVA   ");

    Bytes data(1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + 1);
    Bytes w = write10(2);
    w[5] = 40;
    EXPECT_EQ(run(cbw(2, 1024, false, 0, w), data).status, 0);
    Bytes r = read10(2);
    r[5] = 40;
    const Csw read_back = run(cbw(3, 1024, true, 0, r));
    EXPECT_EQ(read_back.status, 0);
    EXPECT_EQ(read_back.residue, 0u);
    EXPECT_EQ(pipe.from_device[pipe.from_device.size() - 2], data);

    // The model refuses an unknown opcode; the bus saw every command.
    EXPECT_EQ(run(cbw(4, 0, false, 0, {0xC8, 0, 0, 0, 0, 0})).status, 1);
    const auto trace = bus.trace(id);
    ASSERT_EQ(trace.size(), 4u);
    EXPECT_EQ(trace[1].substr(0, 2), "2a");

    // Unplugged under the gadget: the next command does not reach a device.
    EXPECT_FALSE(target->gone());
    ASSERT_TRUE(bus.unplug(id));
    EXPECT_EQ(run(cbw(5, 0, false, 0, kTur)).status, 2);
    EXPECT_TRUE(target->gone());
    EXPECT_FALSE(simgadget::BusTarget::open(bus_dir, id, &error));
    EXPECT_NE(error.find("unplugged"), std::string::npos);
    EXPECT_FALSE(simgadget::BusTarget::open(bus_dir, "nosuch", &error));
}

}  // namespace
