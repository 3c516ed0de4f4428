#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sarnik {

std::unique_ptr<Platform> make_platform() {
    const char* bus = std::getenv("SARNIK_SIM_BUS");
    if (bus && *bus) return make_sim_platform(bus);
    const char* sys = std::getenv("SARNIK_SYSFS_ROOT");
    const char* dev = std::getenv("SARNIK_DEV_ROOT");
    const char* proc = std::getenv("SARNIK_PROC_ROOT");
    return make_linux_platform(sys && *sys ? sys : "/sys", dev && *dev ? dev : "/dev",
                               proc && *proc ? proc : "/proc");
}

namespace {

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr uint32_t kLayoutHeader = 8;
constexpr uint32_t kLayoutEntry = 32;

}  // namespace

std::optional<uint32_t> encode_drive_layout(const DriveLayout& layout, uint8_t* out,
                                            uint32_t out_len) {
    const uint64_t need = kLayoutHeader + uint64_t(kLayoutEntry) * layout.partitions.size();
    if (need > out_len) return {};
    std::memset(out, 0, need);
    put32(out, static_cast<uint32_t>(layout.partitions.size()));
    put32(out + 4, layout.signature);
    uint8_t* e = out + kLayoutHeader;
    for (const auto& p : layout.partitions) {
        put64(e, p.start_sector * 512);
        put64(e + 8, p.sectors * 512);
        put32(e + 16, static_cast<uint32_t>(p.start_sector));
        put32(e + 20, p.number);
        e[24] = p.type;
        e[25] = p.boot ? 1 : 0;
        e[26] = 1;  // recognised
        e[27] = 0;  // rewrite
        e += kLayoutEntry;
    }
    return static_cast<uint32_t>(need);
}

std::optional<DriveLayout> parse_mbr(const uint8_t* sector) {
    if (sector[510] != 0x55 || sector[511] != 0xAA) return {};
    DriveLayout layout;
    layout.signature = get32(sector + 0x1B8);
    for (uint32_t i = 0; i < 4; ++i) {
        const uint8_t* e = sector + 0x1BE + 16 * i;
        const uint8_t type = e[4];
        const uint32_t start = get32(e + 8);
        const uint32_t count = get32(e + 12);
        if (type == 0 || count == 0) continue;
        PartitionEntry p;
        p.number = i + 1;
        p.type = type;
        p.boot = e[0] == 0x80;
        p.start_sector = start;
        p.sectors = count;
        layout.partitions.push_back(p);
    }
    return layout;
}

namespace {

uint64_t fnv1a(const std::string& text, uint64_t h) {
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

// A FAT boot sector (not a partition table), by its BIOS parameter block.
bool fat_boot_sector(const uint8_t* s) {
    if (s[0] != 0xEB && s[0] != 0xE9) return false;
    const uint32_t bytes = uint32_t(s[11]) | uint32_t(s[12]) << 8;
    const uint8_t per_cluster = s[13];
    return bytes >= 512 && bytes <= 4096 && (bytes & (bytes - 1)) == 0 && per_cluster != 0 &&
           (per_cluster & (per_cluster - 1)) == 0 && s[16] != 0;
}

}  // namespace

std::string volume_name(const std::string& unit_path, uint32_t partition, bool on_usb_storage) {
    const std::string key = unit_path + "#" + std::to_string(partition);
    const uint64_t a = fnv1a(key, 0xcbf29ce484222325ull);
    const uint64_t b = fnv1a(key, a ^ 0x9e3779b97f4a7c15ull);
    char hex[33];
    std::snprintf(hex, sizeof hex, "%016llx%016llx", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    std::string g = std::string(on_usb_storage ? "4ea" : "000") + std::string(hex, 29);
    return "\\\\?\\Volume{" + g.substr(0, 8) + "-" + g.substr(8, 4) + "-" + g.substr(12, 4) + "-" +
           g.substr(16, 4) + "-" + g.substr(20, 12) + "}\\";
}

std::vector<Volume> unit_volumes(const uint8_t* sector0, uint64_t unit_sectors) {
    std::vector<Volume> out;
    if (unit_sectors == 0) return out;
    if (!fat_boot_sector(sector0)) {
        if (const auto layout = parse_mbr(sector0)) {
            for (const auto& p : layout->partitions) {
                if (p.start_sector == 0 || p.start_sector >= unit_sectors ||
                    p.sectors > unit_sectors - p.start_sector) {
                    continue;  // not on this unit
                }
                Volume v;
                v.partition = p.number;
                v.start_sector = p.start_sector;
                v.sectors = p.sectors;
                out.push_back(v);
            }
            if (!layout->partitions.empty()) return out;
        }
    }
    Volume whole;
    whole.sectors = unit_sectors;
    out.push_back(whole);
    return out;
}

std::string path_text(const std::string& raw, bool mask_usb) {
    const char* ws = " \t\r\n";
    const size_t first = raw.find_first_not_of(ws);
    std::string out;
    if (first != std::string::npos) {
        for (size_t i = first; i <= raw.find_last_not_of(ws); ++i) {
            char c = raw[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            const bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                              c == '-' || c == '_';
            out += keep ? c : '_';
        }
    }
    if (mask_usb) {
        for (size_t pos; (pos = out.find("usb")) != std::string::npos;) out[pos + 1] = '_';
    }
    return out;
}

}  // namespace sarnik
