// Command handling of the controller model (behaviour described in controller.h).
#include "controller.h"

#include <algorithm>
#include <cstring>

#include "kinds.h"

namespace simdev {
namespace ctl {
namespace {

// Sense keys and additional sense codes used by the firmware.
constexpr uint8_t kNotReady = 0x02, kMediumError = 0x03, kIllegalRequest = 0x05,
                  kDataProtect = 0x07;
constexpr uint8_t kAscInvalidOpcode = 0x20, kAscLbaRange = 0x21, kAscInvalidField = 0x24,
                  kAscLunNotSupported = 0x25, kAscInvalidParameter = 0x26,
                  kAscParameterLength = 0x1A, kAscWriteProtected = 0x27, kAscSequenceError = 0x2C,
                  kAscNoMedium = 0x3A, kAscWriteError = 0x0C, kAscReadError = 0x11;

constexpr uint64_t kSector = 512;
// The bit a weak sector loses on every read.
constexpr size_t kFlipByte = 256;
constexpr uint8_t kFlipMask = 0x08;

// Shortest CDB the firmware accepts for an opcode.
size_t cdb_length(uint8_t op) {
    if (op == 0xF7) return 16;
    if (op < 0x20) return 6;
    return 10;
}

std::string padded(const std::string& s, size_t n) {
    std::string out = s.substr(0, n);
    out.resize(n, ' ');
    return out;
}

// Copies up to `limit` reply bytes into the host's buffer; returns the count.
uint32_t copy_out(const Request& req, const Block& b, size_t limit) {
    const size_t n = std::min({limit, b.size(), req.data.size()});
    if (n) std::memcpy(req.data.data(), b.data(), n);
    return uint32_t(n);
}

}  // namespace

Response Controller::good(uint32_t transferred) {
    s_.sense = {};
    return {kStatusGood, transferred};
}

Response Controller::refuse(uint8_t key, uint8_t asc, uint8_t ascq) {
    s_.sense = {key, asc, ascq};
    return {kStatusCheckCondition, 0};
}

Response Controller::reply(const Request& req, const Block& b) {
    if (req.dir != Direction::In || req.data.empty())
        return refuse(kIllegalRequest, kAscInvalidField);
    return good(copy_out(req, b, b.size()));
}

Block Controller::device_info() const {
    Block b{};
    b[0] = 0x01;
    b[1] = uint8_t(s_.chips.size());
    put_be32(b, 2, uint32_t(std::min<uint64_t>(capacity(), 0xFFFFFFFF)));
    const std::string strings =
        padded(s_.vendor, 8) + padded(s_.product, 16) + padded(s_.revision, 4);
    std::memcpy(b.data() + 8, strings.data(), strings.size());
    if (s_.fw_rev >= 3) {
        b[126] = uint8_t((s_.hw_write_protect ? 0x80 : 0) | (s_.sw_write_protect ? 0x40 : 0) |
                         (s_.bad_blocks ? 0x20 : 0));
        b[129] = s_.wp_switch_on ? 0 : 1;
    } else {
        b[129] = write_protected() ? 0 : 1;
    }
    b[128] = password() ? 0x80 : 0xC0;
    b[131] = s_.fw_rev;
    return b;
}

Response Controller::execute(size_t unit, const Request& req, Store& store) {
    if (req.cdb.empty()) return refuse(kIllegalRequest, kAscInvalidOpcode);
    const uint8_t op = req.cdb[0];
    const auto units = presented();
    if (unit >= units.size()) return refuse(kIllegalRequest, kAscLunNotSupported);
    if (req.cdb.size() < cdb_length(op)) return refuse(kIllegalRequest, kAscInvalidField);
    switch (op) {
        case 0x00:
        case 0x03:
        case 0x12:
        case 0x1A:
        case 0x1B:
        case 0x25:
        case 0x28:
        case 0x2A:
            return standard(units[unit], req, store);
        default:
            return vendor(req, store);
    }
}

Response Controller::standard(const UnitMap& u, const Request& req, Store& store) {
    const auto& c = req.cdb;
    switch (c[0]) {
        case 0x00:  // TEST UNIT READY
            if (!u.id.medium) return refuse(kNotReady, kAscNoMedium);
            return good();
        case 0x03: {  // REQUEST SENSE: reports and clears the last sense
            Block b{};
            b[0] = 0x70;
            b[2] = s_.sense.key;
            b[7] = 10;
            b[12] = s_.sense.asc;
            b[13] = s_.sense.ascq;
            if (req.dir != Direction::In) return refuse(kIllegalRequest, kAscInvalidField);
            return good(copy_out(req, b, std::min<size_t>(18, c[4])));
        }
        case 0x12: {  // INQUIRY (standard data only)
            if ((c[1] & 0x01) || c[2] != 0) return refuse(kIllegalRequest, kAscInvalidField);
            Block b{};
            b[0] = u.id.cls == UnitClass::Cdrom ? 0x05 : 0x00;
            b[1] = u.id.removable ? 0x80 : 0x00;
            b[2] = 0x02;
            b[3] = 0x02;
            b[4] = 31;
            const std::string text =
                padded(u.id.vendor, 8) + padded(u.id.product, 16) + padded(u.id.revision, 4);
            std::memcpy(b.data() + 8, text.data(), text.size());
            if (req.dir != Direction::In) return refuse(kIllegalRequest, kAscInvalidField);
            const size_t alloc = size_t(c[3]) << 8 | c[4];
            return good(copy_out(req, b, std::min<size_t>(36, alloc)));
        }
        case 0x1A: {  // MODE SENSE(6)
            const uint8_t page = c[2] & 0x3F, control = c[2] >> 6;
            if ((page != 0x1C && page != 0x3F) || control == 3)
                return refuse(kIllegalRequest, kAscInvalidField);
            if (req.dir != Direction::In) return refuse(kIllegalRequest, kAscInvalidField);
            Block b{};
            b[0] = 4 + 12 - 1;
            b[2] = (!u.writable || write_protected()) ? 0x80 : 0x00;
            b[4] = 0x1C;  // informational exceptions control, all off
            b[5] = 0x0A;
            return good(copy_out(req, b, std::min<size_t>(16, c[4])));
        }
        case 0x1B:  // START STOP UNIT
            return good();
        case 0x25: {  // READ CAPACITY(10)
            if (!u.id.medium || u.id.sectors == 0) return refuse(kNotReady, kAscNoMedium);
            if (req.dir != Direction::In || req.data.size() < 8)
                return refuse(kIllegalRequest, kAscInvalidField);
            const uint64_t last = u.id.sectors - 1;
            put_be32(req.data, 0, uint32_t(std::min<uint64_t>(last, 0xFFFFFFFF)));
            put_be32(req.data, 4, uint32_t(kSector));
            return good(8);
        }
        default:
            break;
    }
    // READ(10) / WRITE(10)
    const bool write = c[0] == 0x2A;
    const uint64_t lba = get_be32(c, 2);
    const uint64_t count = uint64_t(c[7]) << 8 | c[8];
    if (req.dir != (write ? Direction::Out : Direction::In) && count != 0)
        return refuse(kIllegalRequest, kAscInvalidField);
    if (req.data.size() != count * kSector) return refuse(kIllegalRequest, kAscInvalidField);
    if (!u.id.medium) return refuse(kNotReady, kAscNoMedium);
    if (write && (!u.writable || write_protected()))
        return refuse(kDataProtect, kAscWriteProtected);
    if (lba + count > u.id.sectors) return refuse(kIllegalRequest, kAscLbaRange);
    if (count == 0) return good();
    const uint64_t first = u.base + lba;  // store sector
    const FlashFaults& f = s_.faults;
    const bool flash = u.region == Region::Flash;
    auto covers = [&](const std::optional<uint64_t>& sector) {
        return flash && sector && *sector >= first && *sector - first < count;
    };
    if (write) {
        // Sectors past the flash that is really there are acknowledged, not kept.
        uint64_t kept = count;
        if (flash && f.drop_writes_from) {
            kept = first >= *f.drop_writes_from ? 0 : std::min(count, *f.drop_writes_from - first);
        }
        if (kept && !store.write(u.region, first * kSector, req.data.data(), kept * kSector))
            return refuse(kMediumError, kAscWriteError);
        s_.sectors_dropped += count - kept;
        return good(uint32_t(req.data.size()));
    }
    if (covers(f.read_error)) {
        ++s_.reads_failed;
        return refuse(kMediumError, kAscReadError);
    }
    if (!store.read(u.region, first * kSector, req.data.data(), req.data.size()))
        return refuse(kMediumError, kAscReadError);
    if (covers(f.flip_bits)) {
        req.data[(*f.flip_bits - first) * kSector + kFlipByte] ^= kFlipMask;
        ++s_.reads_flipped;
    }
    return good(uint32_t(req.data.size()));
}

Response Controller::vendor(const Request& req, Store& store) {
    const auto& c = req.cdb;
    const uint8_t op = c[0];
    // Blocks the host sends: exactly 512 bytes.
    auto received = [&]() -> std::optional<Block> {
        if (req.dir != Direction::Out || req.data.size() != kBlockSize) return std::nullopt;
        Block b;
        std::memcpy(b.data(), req.data.data(), kBlockSize);
        return b;
    };
    auto param_error = [&] { return refuse(kIllegalRequest, kAscParameterLength); };

    switch (op) {
        case 0x75:
            return reply(req, device_info());
        case 0x7C: {
            const Block info = device_info();
            Block b{};
            std::copy(info.begin() + 126, info.begin() + 132, b.begin() + 126);
            return reply(req, b);
        }
        case 0x93: {
            Block b{};
            const size_t n = std::min(s_.chips.size(), kBlockSize - 1);
            std::copy_n(s_.chips.begin(), n, b.begin());
            b[n] = 0xAA;
            return reply(req, b);
        }
        case 0x9C: {
            if (c[1] != 0x09 || c[2] != 0 || c[3] != 0 || c[5] != 0 || (c[4] != 2 && c[4] != 4))
                return refuse(kIllegalRequest, kAscInvalidField);
            if (req.dir != Direction::In || req.data.empty())
                return refuse(kIllegalRequest, kAscInvalidField);
            s_.last_page = c[4];
            return reply(req, c[4] == 2 ? s_.page2 : s_.page4);
        }
        case 0x74: {
            auto b = received();
            if (!b) return param_error();
            if (s_.last_page == 0) return refuse(kIllegalRequest, kAscSequenceError);
            s_.pending_page = *b;
            s_.pending_page_no = s_.last_page;
            return good(kBlockSize);
        }
        case 0x73: {
            if (req.dir != Direction::In || req.data.empty())
                return refuse(kIllegalRequest, kAscInvalidField);
            uint8_t page = s_.last_page;
            if (s_.pending_page) {
                page = s_.pending_page_no;
                (page == 2 ? s_.page2 : s_.page4) = *s_.pending_page;
                s_.pending_page.reset();
            }
            return reply(req, page == 4 ? s_.page4 : s_.page2);
        }
        case 0x81: {
            auto b = received();
            if (!b) return param_error();
            s_.config = *b;
            return good(kBlockSize);
        }
        case 0x82:
            return reply(req, s_.config.value_or(Block{}));
        case 0x83: {
            Block b{};
            const auto units = presented();
            b[0] = uint8_t(units.size());
            for (size_t i = 0; i < units.size() && 12 + 8 * i <= kBlockSize; ++i) {
                b[4 + 8 * i] = units[i].id.cls == UnitClass::Cdrom ? 5 : 0;
                b[5 + 8 * i] = units[i].id.removable ? 1 : 0;
                put_be32(b, 8 + 8 * i, uint32_t(std::min<uint64_t>(units[i].id.sectors, ~0u)));
            }
            return reply(req, b);
        }
        case 0x97: {
            Block b{};
            put_be32(b, 0, total_blocks(s_.chips));
            put_be32(b, 4, uint32_t(distinct_erased()));
            put_be32(b, 8, uint32_t(std::min<uint64_t>(s_.erase_commands, ~0u)));
            return reply(req, b);
        }
        case 0x96: {
            Block b{};
            b[0] = s_.last_op;
            b[1] = s_.last_op_refused ? 1 : 0;
            put_be32(b, 4, uint32_t(std::min<uint64_t>(host_sectors(), ~0u)));
            put_be32(b, 8, s_.layout ? s_.layout->total_reserved : 0);
            return reply(req, b);
        }
        case 0x9B: {
            auto b = received();
            if (!b) return param_error();
            s_.last_op = op;
            s_.last_op_refused = (*b)[0] != 0;
            if (s_.last_op_refused) return refuse(kIllegalRequest, kAscInvalidParameter);
            s_.sw_write_protect = false;
            return good(kBlockSize);
        }
        case 0x99: {
            auto b = received();
            if (!b) return param_error();
            s_.pending_layout = *b;
            return good(kBlockSize);
        }
        case 0xF5: {
            auto b = received();
            if (!b) return param_error();
            s_.last_op = op;
            s_.last_op_refused = true;
            if ((*b)[0] != 0x84) return refuse(kIllegalRequest, kAscInvalidParameter);
            if (!s_.pending_layout) return refuse(kIllegalRequest, kAscSequenceError);
            if (write_protected()) return refuse(kDataProtect, kAscWriteProtected);
            const Layout l = decode_layout(*s_.pending_layout);
            if (!fit_layout(l, capacity()).map)
                return refuse(kIllegalRequest, kAscInvalidParameter);
            s_.layout = l;
            s_.reserved_open = false;
            s_.last_op_refused = false;
            return good(kBlockSize);
        }
        case 0x98: {
            if (req.dir != Direction::In || req.data.empty())
                return refuse(kIllegalRequest, kAscInvalidField);
            const auto idx = block_index(s_.chips, c[1], c[2], c[3]);
            if (!idx) return refuse(kIllegalRequest, kAscInvalidField);
            if (write_protected()) return refuse(kDataProtect, kAscWriteProtected);
            ++s_.erase_commands;
            // Merge the block into the runs of erased blocks.
            const uint32_t i = *idx;
            auto next = s_.erased.upper_bound(i);
            bool inside = false;
            if (next != s_.erased.begin()) {
                auto prev = std::prev(next);
                if (prev->second > i) {
                    inside = true;
                } else if (prev->second == i) {
                    prev->second = i + 1;
                    if (next != s_.erased.end() && next->first == i + 1) {
                        prev->second = next->second;
                        s_.erased.erase(next);
                    }
                    inside = true;
                }
            }
            if (!inside) {
                if (next != s_.erased.end() && next->first == i + 1) {
                    const uint32_t end = next->second;
                    s_.erased.erase(next);
                    s_.erased[i] = end;
                } else {
                    s_.erased[i] = i + 1;
                }
            }
            Block b{};
            b[0] = c[1];
            b[1] = c[2];
            b[2] = c[3];
            return reply(req, b);
        }
        case 0x9A: {
            if (req.dir != Direction::In || req.data.empty())
                return refuse(kIllegalRequest, kAscInvalidField);
            s_.reserved_open = !s_.reserved_open;
            Block b{};
            const uint64_t host = host_sectors();
            put_be32(b, 0, uint32_t(std::min<uint64_t>(host ? host - 1 : 0, ~0u)));
            put_be32(b, 4, uint32_t(kSector));
            put_be32(b, 8, s_.layout ? s_.layout->total_reserved : 0);
            b[12] = s_.reserved_open ? 1 : 0;
            return reply(req, b);
        }
        case 0xF7:
            return reserved_write(req, store);
        default:
            return refuse(kIllegalRequest, kAscInvalidOpcode);
    }
}

Response Controller::reserved_write(const Request& req, Store& store) {
    const auto& c = req.cdb;
    const uint64_t offset = get_be32(c, 2);
    const uint64_t count = c[8];
    if (c[1] != 0 || c[6] != 0 || c[7] != 0 || count == 0)
        return refuse(kIllegalRequest, kAscInvalidField);
    if (req.dir != Direction::Out || req.data.size() != count * kSector)
        return refuse(kIllegalRequest, kAscParameterLength);
    if (!s_.layout || !s_.reserved_open) return refuse(kIllegalRequest, kAscSequenceError);
    if (write_protected()) return refuse(kDataProtect, kAscWriteProtected);
    if (offset + count > s_.layout->total_reserved) return refuse(kIllegalRequest, kAscLbaRange);
    if (!store.write(Region::Reserved, offset * kSector, req.data.data(), req.data.size()))
        return refuse(kMediumError, kAscWriteError);
    s_.reserved_bytes_written += req.data.size();
    s_.reserved_high_water = std::max(s_.reserved_high_water, offset + count);
    return good(uint32_t(req.data.size()));
}

}  // namespace ctl

std::unique_ptr<Device> make_controller(const FreshOptions& opts) {
    return std::make_unique<ctl::Controller>(ctl::Controller::fresh_state(opts));
}

std::unique_ptr<Device> load_controller(const nlohmann::json& saved) {
    auto s = ctl::Controller::from_json(saved);
    if (!s) return nullptr;
    return std::make_unique<ctl::Controller>(std::move(*s));
}

}  // namespace simdev
