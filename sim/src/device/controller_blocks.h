// The controller's own view of the blocks a host sends it: the flash geometry
// it knows, the configuration block it keeps, and the area layout it commits.
// Everything here is decoded byte by byte from the raw 512-byte blocks; the
// firmware never trusts a length or offset it has not checked against 512.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace simdev::ctl {

constexpr size_t kBlockSize = 512;
using Block = std::array<uint8_t, kBlockSize>;

// ---- byte order helpers ------------------------------------------------------
uint32_t get_be32(std::span<const uint8_t> b, size_t off);
uint32_t get_le32(std::span<const uint8_t> b, size_t off);
uint16_t get_le16(std::span<const uint8_t> b, size_t off);
void put_be32(std::span<uint8_t> b, size_t off, uint32_t v);

// ---- text helpers (everything that goes into JSON must be valid UTF-8) -------
// Bytes as 8-bit code page characters (bytes >= 0x80 map to U+0080..U+00FF).
std::string latin1_to_utf8(std::span<const uint8_t> bytes);
// UTF-16LE code units; unpaired surrogates become U+FFFD.
std::string utf16le_to_utf8(std::span<const uint8_t> bytes);
// Drops trailing blanks and NULs.
std::string trim_right(std::string s);
// Valid UTF-8 is kept; any other byte is taken as an 8-bit code page character.
std::string sanitize_utf8(const std::string& s);

std::string to_hex(std::span<const uint8_t> bytes);
// Exactly 512 bytes of hex, or nothing.
std::optional<Block> block_from_hex(const std::string& hex);

// ---- flash geometry ----------------------------------------------------------
struct ChipGeometry {
    uint8_t zones = 0;
    uint16_t blocks_per_zone = 0;
    uint16_t sectors_per_block = 0;
};
// Geometry of a NAND device code, or nothing for a code the firmware does not know.
std::optional<ChipGeometry> chip_geometry(uint8_t code);
// Blocks the firmware keeps back per zone for its own mapping.
constexpr uint32_t kSpareBlocksPerZone = 6;
// Host sectors the chips give: sectors per block x usable blocks x zones, summed.
uint64_t flash_capacity(const std::vector<uint8_t>& chips);
// Total physical blocks of all known chips.
uint32_t total_blocks(const std::vector<uint8_t>& chips);
// Global index of (chip, zone, block), or nothing when out of range.
std::optional<uint32_t> block_index(const std::vector<uint8_t>& chips, uint8_t chip, uint8_t zone,
                                    uint8_t block);

// ---- configuration block -----------------------------------------------------
struct ConfigInfo {
    bool valid = false;
    std::vector<std::string> problems;  // why it is invalid (empty when valid)
    uint16_t vid = 0, pid = 0, bcd = 0;
    std::string manufacturer, product, serial;
    std::string scsi_vendor, scsi_product, scsi_revision;
    uint32_t total_reserved = 0, reserve_image = 0;
};
// Checks and decodes a stored configuration block the way the boot code does.
ConfigInfo decode_config(const Block& b);
nlohmann::json config_to_json(const ConfigInfo& c);

// ---- layout block ------------------------------------------------------------
struct Layout {
    uint32_t first_partition = 0;  // 0: one partition
    uint32_t total_reserved = 0;
    bool one_meg_reserved = false;
    uint32_t reserve_image = 0;
    uint32_t loader_kb = 0;
    bool non_removable = false;
    bool loader_disabled = false;
};
Layout decode_layout(const Block& b);

// The areas a committed layout gives on a flash of `capacity` sectors.
struct AreaMap {
    uint64_t loader = 0;    // host sectors 0 .. loader-1 (the loader disk)
    uint64_t user = 0;      // user area after the loader
    uint64_t part1 = 0;     // first user partition
    uint64_t part2 = 0;     // second user partition (0: none)
    uint64_t reserved = 0;  // reserved area (its own address space)
    uint64_t host = 0;      // host-visible sectors of the flash: loader + user
};
// The areas, or the reason the layout does not fit.
struct FitResult {
    std::optional<AreaMap> map;
    std::string problem;
};
FitResult fit_layout(const Layout& l, uint64_t capacity);

nlohmann::json layout_to_json(const Layout& l);
std::optional<Layout> layout_from_json(const nlohmann::json& j);

}  // namespace simdev::ctl
