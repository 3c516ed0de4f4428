#include "fat.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace sarnik::fat {

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kChunk = 128;  // sectors per platform request
constexpr uint64_t kFat16Threshold = uint64_t{512} << 20;

uint32_t le16(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t le32(const uint8_t* p) {
    return le16(p) | le16(p + 2) << 16;
}

bool executable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

bool io(Platform& p, const Volume& v, uint64_t sector, uint64_t count, uint8_t* data, bool write) {
    for (uint64_t done = 0; done < count;) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, count - done));
        if (!p.volume_io(v, sector + done, n, data + done * 512, write)) return false;
        done += n;
    }
    return true;
}

bool file_io(int fd, uint64_t offset, uint8_t* data, size_t len, bool write) {
    while (len > 0) {
        const ssize_t n = write ? ::pwrite(fd, data, len, static_cast<off_t>(offset))
                                : ::pread(fd, data, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        offset += static_cast<uint64_t>(n);
        len -= static_cast<size_t>(n);
    }
    return true;
}

// A sparse image of a volume in a private temporary folder, removed with
// the object.
class Image {
  public:
    explicit Image(uint64_t bytes) {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/sarnik-fat-XXXXXX";
        if (!::mkdtemp(dir.data())) return;
        dir_ = dir;
        path_ = dir_ + "/volume.img";
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Image() {
        if (fd_ >= 0) ::close(fd_);
        if (!dir_.empty()) {
            std::error_code ec;
            fs::remove_all(dir_, ec);
        }
    }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

  private:
    std::string dir_, path_;
    int fd_ = -1;
};

// Reads the image's system area (as its boot sector gives it).
std::optional<std::vector<uint8_t>> image_system_area(const Image& img, uint64_t limit) {
    uint8_t boot[512];
    if (!file_io(img.fd(), 0, boot, sizeof boot, false)) return {};
    const auto g = parse_boot_sector(boot);
    if (!g || g->system_area() > limit) return {};
    std::vector<uint8_t> area(g->system_area() * 512);
    if (!file_io(img.fd(), 0, area.data(), area.size(), false)) return {};
    return area;
}

}  // namespace

std::optional<std::string> find_tool(const char* name) {
    std::vector<std::string> dirs;
    if (const char* only = std::getenv("SARNIK_FORMAT_TOOLS"); only && *only) {
        dirs.push_back(only);
    } else {
        if (const char* path = std::getenv("PATH")) {
            std::string all = path;
            for (size_t start = 0; start <= all.size();) {
                size_t colon = all.find(':', start);
                if (colon == std::string::npos) colon = all.size();
                if (colon > start) dirs.push_back(all.substr(start, colon - start));
                start = colon + 1;
            }
        }
        dirs.push_back("/usr/sbin");
        dirs.push_back("/sbin");
    }
    for (const auto& d : dirs) {
        if (d.empty() || d[0] != '/') continue;  // never a tool relative to the caller's folder
        const std::string p = d + "/" + name;
        if (executable(p)) return p;
    }
    return {};
}

bool run_tool(const std::string& exe, const std::vector<std::string>& args) {
    std::vector<std::string> all = {exe};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    if (posix_spawn_file_actions_init(&fa) != 0) return false;
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    int status = 0;
    pid_t w;
    do {
        w = ::waitpid(pid, &status, 0);
    } while (w < 0 && errno == EINTR);
    return w == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

uint64_t Geometry::clusters() const {
    const uint64_t first = first_data_sector();
    return total_sectors > first ? (total_sectors - first) / sectors_per_cluster : 0;
}

uint64_t Geometry::system_area() const {
    if (bits != 32) return first_data_sector();
    return first_data_sector() + uint64_t(root_cluster - 1) * sectors_per_cluster;
}

std::optional<Geometry> parse_boot_sector(const uint8_t* s) {
    if (s[0] != 0xEB && s[0] != 0xE9) return {};
    if (s[510] != 0x55 || s[511] != 0xAA) return {};
    if (le16(s + 11) != 512) return {};
    Geometry g;
    g.sectors_per_cluster = s[13];
    g.reserved = le16(s + 14);
    g.fats = s[16];
    g.root_entries = le16(s + 17);
    g.total_sectors = le16(s + 19) ? le16(s + 19) : le32(s + 32);
    g.fat_sectors = le16(s + 22);
    const bool fat32 = g.fat_sectors == 0;
    if (fat32) {
        g.fat_sectors = le32(s + 36);
        g.root_cluster = le32(s + 44);
    }
    const uint32_t spc = g.sectors_per_cluster;
    if (spc == 0 || (spc & (spc - 1)) != 0 || g.reserved == 0 || g.fats == 0 ||
        g.fat_sectors == 0 || g.total_sectors <= g.first_data_sector()) {
        return {};
    }
    const uint64_t n = g.clusters();
    g.bits = n < 4085 ? 12 : n < 65525 ? 16 : 32;
    if ((g.bits == 32) != fat32) return {};
    if (fat32 && (g.root_cluster < 2 || g.root_cluster >= n + 2 || g.root_entries != 0)) return {};
    // The FATs must hold an entry for every cluster.
    const uint64_t fat_bits = uint64_t(g.fat_sectors) * 512 * 8;
    if (fat_bits < (n + 2) * uint64_t(g.bits)) return {};
    return g;
}

std::optional<VolumeInfo> read_info(Platform& p, const Volume& v) {
    uint8_t boot[512];
    if (!io(p, v, 0, 1, boot, false)) return {};
    const auto g = parse_boot_sector(boot);
    if (!g || g->total_sectors > v.sectors) return {};
    VolumeInfo info;
    info.geometry = *g;
    uint64_t first = g->reserved + uint64_t(g->fats) * g->fat_sectors;
    uint64_t count = g->root_dir_sectors();
    if (g->bits == 32) {
        first = g->first_data_sector() + uint64_t(g->root_cluster - 2) * g->sectors_per_cluster;
        count = g->sectors_per_cluster;
    }
    std::vector<uint8_t> dir(count * 512);
    if (!io(p, v, first, count, dir.data(), false)) return {};
    for (size_t at = 0; at + 32 <= dir.size(); at += 32) {
        const uint8_t* e = dir.data() + at;
        if (e[0] == 0x00) break;
        const uint8_t attr = e[11];
        if (e[0] == 0xE5 || attr == 0x0F || (attr & 0x08) == 0) continue;
        std::string label(reinterpret_cast<const char*>(e), 11);
        label.erase(label.find_last_not_of(' ') + 1);
        info.label = label;
        break;
    }
    return info;
}

std::optional<uint64_t> free_bytes(Platform& p, const Volume& v, const Geometry& g) {
    std::vector<uint8_t> table(uint64_t(g.fat_sectors) * 512);
    if (!io(p, v, g.reserved, g.fat_sectors, table.data(), false)) return {};
    uint64_t free = 0;
    const uint64_t end = g.clusters() + 2;
    for (uint64_t c = 2; c < end; ++c) {
        uint32_t entry = 0;
        if (g.bits == 12) {
            const uint32_t pair = le16(table.data() + c * 3 / 2);
            entry = (c & 1) ? pair >> 4 : pair & 0xFFF;
        } else if (g.bits == 16) {
            entry = le16(table.data() + c * 2);
        } else {
            entry = le32(table.data() + c * 4) & 0x0FFFFFFF;
        }
        if (entry == 0) ++free;
    }
    return free * g.sectors_per_cluster * 512;
}

bool format(Platform& p, const Volume& v, const std::string& mkfs) {
    // FAT as the platform's format service means FAT12 or FAT16.
    std::vector<std::string> args = {"--mbr=n", "-h", std::to_string(v.start_sector)};
    if (v.sectors * 512 >= kFat16Threshold) {
        args.push_back("-F");
        args.push_back("16");
    }
    if (!v.node.empty()) {
        args.push_back(v.node);
        return run_tool(mkfs, args);
    }
    Image img(v.sectors * 512);
    if (!img.ok()) return false;
    args.push_back(img.path());
    if (!run_tool(mkfs, args)) return false;
    auto area = image_system_area(img, v.sectors);
    if (!area) return false;
    return io(p, v, 0, area->size() / 512, area->data(), true);
}

bool set_label(Platform& p, const Volume& v, const std::string& fatlabel,
               const std::string& label) {
    if (!v.node.empty()) return run_tool(fatlabel, {v.node, label});
    uint8_t boot[512];
    if (!io(p, v, 0, 1, boot, false)) return false;
    const auto g = parse_boot_sector(boot);
    if (!g || g->system_area() > v.sectors) return false;
    std::vector<uint8_t> before(g->system_area() * 512);
    if (!io(p, v, 0, g->system_area(), before.data(), false)) return false;
    Image img(v.sectors * 512);
    if (!img.ok() || !file_io(img.fd(), 0, before.data(), before.size(), true)) return false;
    if (!run_tool(fatlabel, {img.path(), label})) return false;
    std::vector<uint8_t> after(before.size());
    if (!file_io(img.fd(), 0, after.data(), after.size(), false)) return false;
    for (uint64_t s = 0; s < g->system_area(); ++s) {
        uint8_t* sector = after.data() + s * 512;
        if (std::memcmp(sector, before.data() + s * 512, 512) == 0) continue;
        if (!p.volume_io(v, s, 1, sector, true)) return false;
    }
    return true;
}

}  // namespace sarnik::fat
