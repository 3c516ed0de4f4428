// Bulk-only transport (rules in bot.h).
#include "bot.h"

#include <algorithm>
#include <cstring>

namespace simgadget {

using simdev::Direction;

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint32_t be16(std::span<const uint8_t> c, size_t at) {
    return at + 1 < c.size() ? uint32_t(c[at]) << 8 | c[at + 1] : 0;
}
uint32_t be32(std::span<const uint8_t> c, size_t at) {
    return at + 3 < c.size() ? be16(c, at) << 16 | be16(c, at + 2) : 0;
}
uint32_t byte_at(std::span<const uint8_t> c, size_t at) {
    return at < c.size() ? c[at] : 0;
}

constexpr uint32_t kBlock = 512;     // every unit of the model has 512-byte sectors
constexpr size_t kCbwBuffer = 1024;  // a whole packet, so an oversized block shows

}  // namespace

std::optional<Cbw> parse_cbw(std::span<const uint8_t> b, uint8_t max_lun) {
    if (b.size() != kCbwSize || le32(b.data()) != kCbwSignature) return std::nullopt;
    Cbw c;
    c.tag = le32(b.data() + 4);
    c.length = le32(b.data() + 8);
    const uint8_t flags = b[12];
    if (flags & 0x7F) return std::nullopt;  // reserved flag bits
    c.in = (flags & 0x80) != 0;
    if (b[13] & 0xF0) return std::nullopt;  // reserved bits above the LUN
    c.lun = b[13] & 0x0F;
    if (c.lun > max_lun) return std::nullopt;
    if (b[14] & 0xE0) return std::nullopt;
    c.cb_len = b[14] & 0x1F;
    if (c.cb_len < 1 || c.cb_len > 16) return std::nullopt;
    std::memcpy(c.cb.data(), b.data() + 15, 16);
    return c;
}

std::array<uint8_t, kCswSize> encode_csw(uint32_t tag, uint32_t residue, CswStatus status) {
    std::array<uint8_t, kCswSize> out{};
    put_le32(out.data(), kCswSignature);
    put_le32(out.data() + 4, tag);
    put_le32(out.data() + 8, residue);
    out[12] = uint8_t(status);
    return out;
}

std::optional<Shape> shape_of(std::span<const uint8_t> c) {
    if (c.empty()) return std::nullopt;
    switch (c[0]) {
        case 0x00:  // TEST UNIT READY
        case 0x1B:  // START STOP UNIT
        case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
        case 0x35:  // SYNCHRONIZE CACHE(10)
            return Shape{};
        case 0x03:  // REQUEST SENSE
        case 0x1A:  // MODE SENSE(6)
            return Shape{Direction::In, byte_at(c, 4), true};
        case 0x12:  // INQUIRY
            return Shape{Direction::In, be16(c, 3), true};
        case 0x5A:  // MODE SENSE(10)
        case 0x23:  // READ FORMAT CAPACITIES
        case 0x46:  // GET CONFIGURATION
        case 0x4A:  // GET EVENT STATUS NOTIFICATION
        case 0x43:  // READ TOC
            return Shape{Direction::In, be16(c, 7), true};
        case 0xA0:  // REPORT LUNS
            return Shape{Direction::In, be32(c, 6), true};
        case 0x25:  // READ CAPACITY(10)
            return Shape{Direction::In, 8, false};
        case 0x28:  // READ(10)
            return Shape{Direction::In, be16(c, 7) * kBlock, false};
        case 0x2A:  // WRITE(10)
            return Shape{Direction::Out, be16(c, 7) * kBlock, false};
        default:
            return std::nullopt;
    }
}

uint8_t Transport::max_lun() const {
    const size_t n = target_.luns();
    return n == 0 ? 0 : uint8_t(std::min<size_t>(n - 1, 15));
}

bool Transport::receive_exact(uint8_t* buf, uint32_t n, uint32_t* got) {
    *got = 0;
    while (*got < n) {
        const long r = pipe_.receive(buf + *got, n - *got);
        if (r < 0) return false;
        *got += uint32_t(r);
        if (r == 0) break;  // the host ended the transfer early
    }
    return true;
}

bool Transport::drain(uint32_t n) {
    uint8_t scratch[16384];
    while (n > 0) {
        const uint32_t want = std::min<uint32_t>(n, sizeof scratch);
        const long r = pipe_.receive(scratch, want);
        if (r < 0) return false;
        if (r == 0) break;
        n -= uint32_t(std::min<long>(r, n));
    }
    return true;
}

// Sends `valid` bytes of `data` for a host that expects `h`: padded with
// zeros, or the valid part followed by a halt. Sent in pieces of whole
// packets, so that the host sees one transfer.
bool Transport::send_in(const uint8_t* data, uint32_t valid, uint32_t h) {
    valid = std::min(valid, h);
    if (h == 0) return true;
    if (opts_.stall_short_in && valid < h) {
        if (valid > 0 && !pipe_.send(data, valid)) return false;
        return pipe_.halt_in();
    }
    constexpr uint32_t kPiece = 64 * 1024;
    std::vector<uint8_t> piece;
    for (uint32_t at = 0; at < h;) {
        const uint32_t n = std::min(kPiece, h - at);
        piece.assign(n, 0);
        if (at < valid) std::memcpy(piece.data(), data + at, std::min(n, valid - at));
        if (!pipe_.send(piece.data(), n)) return false;
        at += n;
    }
    return true;
}

Transport::Step Transport::finish(const Cbw& cbw, uint32_t residue, CswStatus status) {
    ++counters_.commands;
    if (status == CswStatus::Failed) ++counters_.failed;
    if (status == CswStatus::PhaseError) ++counters_.phase_errors;
    const auto csw = encode_csw(cbw.tag, residue, status);
    return pipe_.send(csw.data(), csw.size()) ? Step::Done : Step::Aborted;
}

Transport::Step Transport::serve_one() {
    uint8_t raw[kCbwBuffer];
    const long n = pipe_.receive(raw, sizeof raw);
    if (n < 0) return Step::Aborted;
    if (wedged_.load()) {
        // Still waiting for the reset: everything is refused.
        pipe_.halt_out();
        pipe_.halt_in();
        ++counters_.refused;
        return Step::Refused;
    }
    const auto parsed = parse_cbw({raw, size_t(n)}, max_lun());
    if (!parsed) {
        wedged_ = true;
        pipe_.halt_out();
        pipe_.halt_in();
        ++counters_.refused;
        return Step::Refused;
    }
    const Cbw& cbw = *parsed;
    const uint32_t h = cbw.length;
    const Direction hdir = h == 0 ? Direction::None : (cbw.in ? Direction::In : Direction::Out);

    // What the device intends: from the CDB, or (vendor commands) the host's view.
    Shape d = shape_of(cbw.cdb()).value_or(Shape{hdir, h, true});
    if (d.length == 0) d.dir = Direction::None;

    // Phase errors: the host's data is moved (a length past what the device
    // buffers halts the endpoint instead), the command is not run.
    auto phase_error = [&]() -> Step {
        bool ok = true;
        if (hdir == Direction::In) ok = h > kMaxTransfer ? pipe_.halt_in() : send_in(nullptr, 0, h);
        if (hdir == Direction::Out) ok = h > kMaxTransfer ? pipe_.halt_out() : drain(h);
        if (!ok) return Step::Aborted;
        return finish(cbw, h, CswStatus::PhaseError);
    };
    if (h > kMaxTransfer) return phase_error();
    if (d.dir != Direction::None && d.dir != hdir) return phase_error();  // cases 2, 3, 8, 10
    if (d.dir != Direction::None && h < d.length && !d.allocation) return phase_error();  // 7, 13

    // Buffer handed to the target: what the device intends, cut to what the host takes.
    const uint32_t len = d.dir == Direction::None ? 0 : std::min(h, d.length);
    buf_.assign(len, 0);
    if (hdir == Direction::Out) {
        uint32_t got = 0;
        if (!receive_exact(buf_.data(), len, &got)) return Step::Aborted;
        if (got < len) {  // the host stopped short of its own length
            if (!drain(h - len)) return Step::Aborted;
            return finish(cbw, h, CswStatus::PhaseError);
        }
        if (!drain(h - len)) return Step::Aborted;  // case 9 / 11: surplus dropped
    }

    simdev::Request req;
    req.cdb = cbw.cdb();
    req.dir = d.dir;
    req.data = {buf_.data(), len};
    const auto r = target_.execute(cbw.lun, req);
    if (!r) {
        // The device is gone: nothing valid to send, the host must recover.
        if (hdir == Direction::In && !send_in(nullptr, 0, h)) return Step::Aborted;
        return finish(cbw, h, CswStatus::PhaseError);
    }
    const bool good = r->status == simdev::kStatusGood;
    const uint32_t moved = good ? std::min(r->transferred, len) : 0;
    if (hdir == Direction::In && !send_in(buf_.data(), moved, h)) return Step::Aborted;
    return finish(cbw, good ? h - moved : h, good ? CswStatus::Passed : CswStatus::Failed);
}

ControlReply Transport::control(const Setup& s) {
    ControlReply r;
    if (s.index != opts_.interface_number || s.value != 0) return r;
    if (s.request_type == 0xA1 && s.request == 0xFE && s.length == 1) {  // Get Max LUN
        r.stall = false;
        r.data = {max_lun()};
    } else if (s.request_type == 0x21 && s.request == 0xFF && s.length == 0) {  // reset
        wedged_ = false;
        ++resets_;
        r.stall = false;
    }
    return r;
}

}  // namespace simgadget
