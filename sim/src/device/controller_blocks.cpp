#include "controller_blocks.h"

#include <cstdio>

namespace simdev::ctl {

uint32_t get_be32(std::span<const uint8_t> b, size_t off) {
    return (uint32_t(b[off]) << 24) | (uint32_t(b[off + 1]) << 16) | (uint32_t(b[off + 2]) << 8) |
           uint32_t(b[off + 3]);
}

uint32_t get_le32(std::span<const uint8_t> b, size_t off) {
    return uint32_t(b[off]) | (uint32_t(b[off + 1]) << 8) | (uint32_t(b[off + 2]) << 16) |
           (uint32_t(b[off + 3]) << 24);
}

uint16_t get_le16(std::span<const uint8_t> b, size_t off) {
    return uint16_t(b[off] | (b[off + 1] << 8));
}

void put_be32(std::span<uint8_t> b, size_t off, uint32_t v) {
    b[off] = uint8_t(v >> 24);
    b[off + 1] = uint8_t(v >> 16);
    b[off + 2] = uint8_t(v >> 8);
    b[off + 3] = uint8_t(v);
}

namespace {

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Length of a valid UTF-8 sequence starting at s[i], or 0.
size_t utf8_sequence(const std::string& s, size_t i) {
    const auto c = uint8_t(s[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        const auto cc = uint8_t(s[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

std::string latin1_to_utf8(std::span<const uint8_t> bytes) {
    std::string out;
    for (uint8_t c : bytes) append_utf8(out, c);
    return out;
}

std::string utf16le_to_utf8(std::span<const uint8_t> bytes) {
    std::string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t u = get_le16(bytes, i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
            const uint32_t lo = get_le16(bytes, i + 2);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        append_utf8(out, u);
    }
    return out;
}

std::string trim_right(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

std::string sanitize_utf8(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence(s, i);
        if (n == 0) {
            append_utf8(out, uint8_t(s[i]));
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

std::string to_hex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
    }
    return out;
}

std::optional<Block> block_from_hex(const std::string& hex) {
    if (hex.size() != kBlockSize * 2) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Block b{};
    for (size_t i = 0; i < kBlockSize; ++i) {
        const int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        b[i] = uint8_t(hi << 4 | lo);
    }
    return b;
}

// ---- flash geometry ------------------------------------------------------------

std::optional<ChipGeometry> chip_geometry(uint8_t code) {
    switch (code) {
        case 0xE6:
            return ChipGeometry{4, 256, 16};
        case 0x73:
            return ChipGeometry{4, 256, 32};
        case 0x75:
            return ChipGeometry{8, 256, 32};
        case 0x76:
            return ChipGeometry{16, 256, 32};
        case 0x66:
            return ChipGeometry{2, 256, 256};
        case 0x79:
            return ChipGeometry{32, 256, 32};
        case 0xF1:
            return ChipGeometry{4, 256, 256};
        case 0xDA:
            return ChipGeometry{8, 256, 256};
        case 0xDC:
            return ChipGeometry{16, 256, 256};
        case 0x01:
            return ChipGeometry{32, 256, 32};
        default:
            return std::nullopt;
    }
}

uint64_t flash_capacity(const std::vector<uint8_t>& chips) {
    uint64_t total = 0;
    for (uint8_t c : chips) {
        if (auto g = chip_geometry(c)) {
            total += uint64_t(g->sectors_per_block) * (g->blocks_per_zone - kSpareBlocksPerZone) *
                     g->zones;
        }
    }
    return total;
}

uint32_t total_blocks(const std::vector<uint8_t>& chips) {
    uint32_t total = 0;
    for (uint8_t c : chips) {
        if (auto g = chip_geometry(c)) total += uint32_t(g->zones) * g->blocks_per_zone;
    }
    return total;
}

std::optional<uint32_t> block_index(const std::vector<uint8_t>& chips, uint8_t chip, uint8_t zone,
                                    uint8_t block) {
    if (chip >= chips.size()) return std::nullopt;
    uint32_t base = 0;
    for (size_t i = 0; i < chip; ++i) {
        if (auto g = chip_geometry(chips[i])) base += uint32_t(g->zones) * g->blocks_per_zone;
    }
    const auto g = chip_geometry(chips[chip]);
    if (!g || zone >= g->zones || block >= g->blocks_per_zone) return std::nullopt;
    return base + uint32_t(zone) * g->blocks_per_zone + block;
}

// ---- configuration block ---------------------------------------------------------

namespace {

constexpr size_t kDescriptorStart = 22;  // manufacturer string descriptor
constexpr size_t kSerialMarker = 126;    // 0x3C 0xC3
constexpr size_t kSerialDescriptor = 128;
constexpr size_t kSerialLength = 18;
constexpr size_t kSerialChecksum = 146;
constexpr size_t kTotalReserved = 192;
constexpr size_t kReserveImage = 196;

uint8_t sum8(std::span<const uint8_t> b, size_t from, size_t to_inclusive) {
    uint8_t s = 0;
    for (size_t i = from; i <= to_inclusive; ++i) s = uint8_t(s + b[i]);
    return s;
}

std::string hex2(uint8_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v);
    return buf;
}

}  // namespace

ConfigInfo decode_config(const Block& b) {
    ConfigInfo c;
    auto problem = [&](std::string p) { c.problems.push_back(std::move(p)); };
    const std::span<const uint8_t> s(b);

    if (b[0] != 0x99 || b[1] != 0x07) problem("signature is " + hex2(b[0]) + " " + hex2(b[1]));
    if (b[4] != 0x12 || b[5] != 0x01) problem("device descriptor header is not 12 01");

    const uint8_t lm = b[2], lp = b[3];
    bool lengths_ok = true;
    if (lm < 2 || lp < 2 || (lm & 1) || (lp & 1)) {
        problem("string descriptor lengths " + std::to_string(lm) + "/" + std::to_string(lp) +
                " are not even and at least 2");
        lengths_ok = false;
    }
    const size_t strings = lengths_ok ? size_t(lm - 2) / 2 + size_t(lp - 2) / 2 : 0;
    const size_t checksum_at = 54 + 2 * strings;
    if (lengths_ok && checksum_at + 2 >= kSerialMarker) {
        problem("identification strings run into the serial part");
        lengths_ok = false;
    }

    c.vid = get_le16(s, 12);
    c.pid = get_le16(s, 14);
    c.bcd = get_le16(s, 16);

    if (lengths_ok) {
        const size_t prod_at = kDescriptorStart + lm;
        if (b[kDescriptorStart] != lm || b[kDescriptorStart + 1] != 0x03)
            problem("manufacturer string descriptor header does not match");
        if (b[prod_at] != lp || b[prod_at + 1] != 0x03)
            problem("product string descriptor header does not match");
        c.manufacturer = utf16le_to_utf8(s.subspan(kDescriptorStart + 2, lm - 2));
        c.product = utf16le_to_utf8(s.subspan(prod_at + 2, lp - 2));
        const size_t scsi = 26 + 2 * strings;
        c.scsi_vendor = trim_right(latin1_to_utf8(s.subspan(scsi, 8)));
        c.scsi_product = trim_right(latin1_to_utf8(s.subspan(scsi + 8, 16)));
        c.scsi_revision = trim_right(latin1_to_utf8(s.subspan(scsi + 24, 4)));
        const uint8_t sum = sum8(s, 0, checksum_at - 1);
        if (b[checksum_at] != sum)
            problem("header checksum is " + hex2(b[checksum_at]) + ", expected " + hex2(sum));
        if (b[checksum_at + 1] != 0xAA || b[checksum_at + 2] != 0x55)
            problem("header end mark is not AA 55");
    }

    if (b[kSerialMarker] != 0x3C || b[kSerialMarker + 1] != 0xC3) problem("marker 3C C3 missing");
    if (b[kSerialDescriptor] != kSerialLength || b[kSerialDescriptor + 1] != 0x03)
        problem("serial string descriptor header is not 12 03");
    c.serial = utf16le_to_utf8(s.subspan(kSerialDescriptor + 2, kSerialLength - 2));
    const uint8_t ssum = sum8(s, kSerialDescriptor, kSerialChecksum - 1);
    if (b[kSerialChecksum] != ssum)
        problem("serial checksum is " + hex2(b[kSerialChecksum]) + ", expected " + hex2(ssum));

    c.total_reserved = get_be32(s, kTotalReserved);
    c.reserve_image = get_be32(s, kReserveImage);
    c.valid = c.problems.empty();
    return c;
}

nlohmann::json config_to_json(const ConfigInfo& c) {
    char vid[8], pid[8], bcd[8];
    std::snprintf(vid, sizeof vid, "%04X", c.vid);
    std::snprintf(pid, sizeof pid, "%04X", c.pid);
    std::snprintf(bcd, sizeof bcd, "%04X", c.bcd);
    return {{"valid", c.valid},
            {"problems", c.problems},
            {"vid", vid},
            {"pid", pid},
            {"bcd_device", bcd},
            {"manufacturer", c.manufacturer},
            {"product", c.product},
            {"serial", c.serial},
            {"scsi_vendor", c.scsi_vendor},
            {"scsi_product", c.scsi_product},
            {"scsi_revision", c.scsi_revision},
            {"total_reserved_sectors", c.total_reserved},
            {"reserve_image_sectors", c.reserve_image}};
}

// ---- layout block -----------------------------------------------------------------

Layout decode_layout(const Block& b) {
    const std::span<const uint8_t> s(b);
    Layout l;
    l.first_partition = get_le32(s, 0);
    l.total_reserved = get_le32(s, 6);
    l.one_meg_reserved = b[10] != 0;
    l.reserve_image = get_le32(s, 11);
    l.loader_kb = get_le32(s, 15);
    l.non_removable = b[19] != 0;
    l.loader_disabled = b[20] != 0;
    return l;
}

FitResult fit_layout(const Layout& l, uint64_t capacity) {
    FitResult r;
    if (l.reserve_image > l.total_reserved) {
        r.problem = "reserve image is larger than the reserved area";
        return r;
    }
    AreaMap m;
    m.loader = l.loader_disabled ? 0 : uint64_t(l.loader_kb) * 2;
    m.reserved = l.total_reserved;
    const uint64_t need = m.loader + m.reserved + (l.one_meg_reserved ? 2048 : 0);
    if (need > capacity) {
        r.problem = "areas need " + std::to_string(need) + " sectors, the flash has " +
                    std::to_string(capacity);
        return r;
    }
    if (l.non_removable) {
        m.host = m.loader;  // no user partition: the rest of the flash is unused
    } else {
        m.user = capacity - need;
        if (m.user == 0) {
            r.problem = "no room for a user partition";
            return r;
        }
        if (l.first_partition == 0) {
            m.part1 = m.user;
        } else if (l.first_partition >= m.user) {
            r.problem = "first partition leaves no room for the second";
            return r;
        } else {
            m.part1 = l.first_partition;
            m.part2 = m.user - l.first_partition;
        }
        m.host = m.loader + m.user;
    }
    r.map = m;
    return r;
}

nlohmann::json layout_to_json(const Layout& l) {
    return {{"first_partition_sectors", l.first_partition},
            {"total_reserved_sectors", l.total_reserved},
            {"one_meg_reserved", l.one_meg_reserved},
            {"reserve_image_sectors", l.reserve_image},
            {"loader_kb", l.loader_kb},
            {"non_removable", l.non_removable},
            {"loader_disabled", l.loader_disabled}};
}

std::optional<Layout> layout_from_json(const nlohmann::json& j) {
    if (!j.is_object()) return std::nullopt;
    try {
        Layout l;
        l.first_partition = j.at("first_partition_sectors").get<uint32_t>();
        l.total_reserved = j.at("total_reserved_sectors").get<uint32_t>();
        l.one_meg_reserved = j.at("one_meg_reserved").get<bool>();
        l.reserve_image = j.at("reserve_image_sectors").get<uint32_t>();
        l.loader_kb = j.at("loader_kb").get<uint32_t>();
        l.non_removable = j.at("non_removable").get<bool>();
        l.loader_disabled = j.at("loader_disabled").get<bool>();
        return l;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace simdev::ctl
