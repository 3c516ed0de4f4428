// The bulk-only transport fed arbitrary host traffic. Input: byte 0 = number
// of units (1..16), then transfers as [length (2 bytes, little endian)][bytes].
// Checks that the device keeps the framing whatever the host sends: every
// served command ends in one 13-byte status wrapper with the command's tag,
// data-in is exactly the host's length (pad mode), the residue never exceeds
// it, and the target only ever sees buffers within the host's length.
// fuzz-sources: sim/gadget/bot.cpp
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "../sim/gadget/bot.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Pipe final : public simgadget::Pipe {
  public:
    std::deque<Bytes> to_device;
    Bytes last;              // the last transfer sent
    size_t sent_before = 0;  // bytes sent before it in this step
    size_t sends = 0;
    Bytes first;  // the transfer the current step started with
    bool fresh = true;

    long receive(uint8_t* buf, size_t n) override {
        if (to_device.empty()) return -1;
        Bytes& t = to_device.front();
        const size_t k = std::min(n, t.size());
        if (fresh) first.assign(t.begin(), t.begin() + k);
        fresh = false;
        if (k) std::memcpy(buf, t.data(), k);
        t.erase(t.begin(), t.begin() + k);
        if (t.empty()) to_device.pop_front();
        return long(k);
    }
    bool send(const uint8_t* buf, size_t n) override {
        if (sends++) sent_before += last.size();
        last.assign(buf, buf + n);
        return true;
    }
    bool halt_in() override { return true; }
    bool halt_out() override { return true; }
};

class Target final : public simgadget::Target {
  public:
    size_t units = 1;
    uint32_t limit = 0;  // the host's length for the current command
    size_t luns() const override { return units; }
    std::optional<simdev::Response> execute(uint8_t lun, const simdev::Request& r) override {
        if (lun >= units || r.data.size() > limit || r.cdb.empty() || r.cdb.size() > 16) abort();
        if (r.dir == simdev::Direction::None && !r.data.empty()) abort();
        // Answers depend on the command so that every outcome is reached.
        const uint8_t op = r.cdb[0];
        if (op % 7 == 3) return std::nullopt;
        if (r.dir == simdev::Direction::In) std::memset(r.data.data(), 0xAB, r.data.size());
        const uint8_t status = op % 5 == 1 ? simdev::kStatusCheckCondition : simdev::kStatusGood;
        return simdev::Response{status, uint32_t(r.data.size() / (1 + op % 3))};
    }
};

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Pipe pipe;
    Target target;
    target.units = 1 + data[0] % 16;
    size_t at = 1;
    while (at + 2 <= size) {
        const size_t n = std::min<size_t>(data[at] | data[at + 1] << 8, size - at - 2);
        pipe.to_device.emplace_back(data + at + 2, data + at + 2 + n);
        at += 2 + n;
    }
    simgadget::Transport t(pipe, target);
    for (int steps = 0; steps < 64 && !pipe.to_device.empty(); ++steps) {
        pipe.fresh = true;
        pipe.last.clear();
        pipe.sent_before = 0;
        pipe.sends = 0;
        // The host's length, when the next transfer is a command block.
        const Bytes& next = pipe.to_device.front();
        target.limit = next.size() >= 12 ? le32(next.data() + 8) : 0;
        const auto step = t.serve_one();
        if (step != simgadget::Transport::Step::Done) continue;
        const auto cbw = simgadget::parse_cbw(pipe.first, uint8_t(target.units - 1));
        if (!cbw || pipe.sends == 0) abort();
        const Bytes& csw = pipe.last;
        if (csw.size() != simgadget::kCswSize || le32(csw.data()) != simgadget::kCswSignature ||
            le32(csw.data() + 4) != cbw->tag || le32(csw.data() + 8) > cbw->length || csw[12] > 2)
            abort();
        // Data-in is the host's whole length (a length the device does not
        // buffer is answered with a halt instead).
        const bool host_in = cbw->length > 0 && cbw->in && cbw->length <= simgadget::kMaxTransfer;
        if (pipe.sent_before != (host_in ? cbw->length : 0)) abort();
    }
    return 0;
}
