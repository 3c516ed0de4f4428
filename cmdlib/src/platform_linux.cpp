// Linux platform: units from sysfs, commands through SG_IO on the unit's SCSI
// generic node.
//
// Units are the SCSI devices under <sysfs>/bus/scsi/devices named H:C:T:L:
// peripheral type 0 (direct access), 7 (optical memory) and 0x0E (reduced
// block commands) make the disk class, type 5 the CD class. Each class is
// enumerated in SCSI address order (numerically by host, channel, target,
// lun).
//
// Device paths imitate Windows interface paths so that "usb" in a path still
// means "on the USB mass-storage stack":
//   \\?\usbstor#disk&ven_<v>&prod_<p>&rev_<r>#<H>&<C>&<T>&<L>#{disk class guid}
//   \\?\usbstor#cdrom&ven_<v>&prod_<p>&rev_<r>#<H>&<C>&<T>&<L>#{cd class guid}
// A unit whose SCSI host hangs below a USB interface bound to usb-storage or
// uas gets "usbstor"; every other unit gets "scsi" and its texts are masked so
// that the path never contains "usb". The instance part is the SCSI address;
// open() finds the unit there and accepts it only if its path is still the
// same (a different unit at that address is refused).
//
// The node opened is the unit's SCSI generic node <dev>/sgN, so that vendor
// opcodes pass; a unit without one is opened through its block node.
// The filter driver's control node is <dev>/korvafilters.
//
// Device tree: the directories of <sysfs>/devices that hold a "uevent" file,
// walked depth-first in pre-order (children by name); links are not
// followed. Hardware IDs read like the platform's own:
//   USB\VID_xxxx&PID_yyyy&REV_zzzz     a USB device (upper-case hexadecimal)
//   USB\VID_xxxx&PID_yyyy&REV_zzzz&MI_nn   one of its interfaces
//   USB\ROOT_HUB20 (30 for USB 3, none for USB 1)   a root hub
//   PCI\VEN_xxxx&DEV_yyyy&SUBSYS_ssssvvvv&REV_rr   a PCI function
// and other nodes have none. A USB device's name is its product string. Root
// hubs and USB host controllers (PCI class 0C03) are hidden. The USB device
// list is <sysfs>/bus/usb/devices without the interfaces. A node with an
// "authorized" attribute is disabled and enabled through it; any other
// through its driver's "unbind" and its bus's "drivers_probe".
//
// Drive letters: the partitions of the USB mass-storage disk units in
// enumeration order (a unit without partitions: the unit), from "d". A
// volume is in use when <proc>/self/mountinfo lists its device number or node,
// <proc>/swaps lists its node, or its "holders" folder is not empty.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include "platform.h"
#include "sg_io.h"

namespace fs = std::filesystem;

namespace sarnik {

// ---- SG_IO translation ----------------------------------------------------

namespace {

constexpr unsigned kDriverByteMask = 0x0F;
constexpr unsigned kDriverSense = 0x08;  // sense data present: not a transport error

template <class Block>
sg_io_hdr make_sg_io(Block& block, void* data) {
    sg_io_hdr h{};
    h.interface_id = 'S';
    const uint32_t len = block.DataTransferLength;
    if (len == 0) {
        h.dxfer_direction = SG_DXFER_NONE;
        h.dxferp = nullptr;
    } else {
        h.dxfer_direction = block.DataIn == kDataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
        h.dxferp = data;
    }
    h.dxfer_len = len;
    h.cmd_len = std::min<uint8_t>(block.CdbLength, sizeof block.Cdb);
    h.cmdp = block.Cdb;
    // Sense goes to the block's own sense area and never past the block.
    const uint64_t off = block.SenseInfoOffset;
    if (off < sizeof block && block.SenseInfoLength > 0) {
        const uint64_t room = sizeof block - off;
        h.sbp = reinterpret_cast<unsigned char*>(&block) + off;
        h.mx_sb_len = static_cast<unsigned char>(
            std::min<uint64_t>({block.SenseInfoLength, room, sizeof block.Sense}));
    }
    const uint64_t ms = uint64_t(block.TimeOutValue) * 1000;
    h.timeout = static_cast<unsigned>(std::min<uint64_t>(ms, UINT_MAX));
    return h;
}

template <class Block>
bool read_sg_io(const sg_io_hdr& h, Block& block) {
    if (h.host_status != 0) return false;
    const unsigned driver = h.driver_status & kDriverByteMask;
    if (driver != 0 && driver != kDriverSense) return false;
    block.ScsiStatus = h.status;
    const int resid = std::clamp<int>(h.resid, 0, INT_MAX);
    block.DataTransferLength = h.dxfer_len > unsigned(resid) ? h.dxfer_len - unsigned(resid) : 0;
    return true;
}

// The sg driver moves every transfer through a buffer of the handle: the one
// it keeps (32 KiB unless asked for more) or pages that it allocates, zeroes
// and frees again for each command that does not fit. The station's writes
// come in 64 KiB chunks, so a handle of an sg node keeps a buffer of that
// size, as sg3_utils' own tools do. Block nodes have no such buffer; a node
// that refuses keeps the driver's default.
constexpr int kChunkBuffer = 64 * 1024;

int keep_chunk_buffer(int fd) {
    if (fd < 0) return fd;
    const int saved = errno;
    struct stat st {};
    int have = 0;
    if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
        ::ioctl(fd, SG_GET_RESERVED_SIZE, &have) == 0 && have < kChunkBuffer) {
        int want = kChunkBuffer;
        ::ioctl(fd, SG_SET_RESERVED_SIZE, &want);
    }
    errno = saved;
    return fd;
}

}  // namespace

sg_io_hdr to_sg_io(PassThroughBlock& block, void* data) {
    return make_sg_io(block, data);
}
sg_io_hdr to_sg_io(BufferedPassThroughBlock& block) {
    return make_sg_io(block, block.Data);
}
bool from_sg_io(const sg_io_hdr& hdr, PassThroughBlock& block) {
    return read_sg_io(hdr, block);
}
bool from_sg_io(const sg_io_hdr& hdr, BufferedPassThroughBlock& block) {
    return read_sg_io(hdr, block);
}

// ---- sysfs ----------------------------------------------------------------

namespace {

struct ScsiAddress {
    uint32_t host = 0, channel = 0, target = 0, lun = 0;
    auto operator<=>(const ScsiAddress&) const = default;
};

bool parse_u32(std::string_view s, uint32_t& out) {
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

// "H:C:T:L" (sysfs) or "H&C&T&L" (path instance).
std::optional<ScsiAddress> parse_address(std::string_view s, char sep) {
    uint32_t v[4];
    for (int i = 0; i < 4; ++i) {
        size_t end = i < 3 ? s.find(sep) : s.size();
        if (end == std::string_view::npos || !parse_u32(s.substr(0, end), v[i])) return {};
        s.remove_prefix(i < 3 ? end + 1 : end);
    }
    return ScsiAddress{v[0], v[1], v[2], v[3]};
}

std::string trim(const std::string& s) {
    const char* ws = " \t\r\n";
    const size_t first = s.find_first_not_of(ws);
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(ws) - first + 1);
}

// First line of a sysfs attribute, or nothing.
std::optional<std::string> read_attr(const fs::path& p) {
    std::ifstream f(p);
    if (!f) return {};
    std::string line;
    std::getline(f, line);
    if (f.bad()) return {};
    return line;
}

std::optional<uint64_t> read_number(const fs::path& p) {
    auto s = read_attr(p);
    if (!s) return {};
    std::string t = trim(*s);
    uint64_t v = 0;
    auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || ptr != t.data() + t.size()) return {};
    return v;
}

// Names of the entries of a directory, sorted; empty when it does not exist.
std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        out.push_back(it->path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct Unit {
    ScsiAddress addr;
    fs::path dir;
    UnitClass cls;
};

std::optional<UnitClass> class_of_type(uint64_t type) {
    switch (type) {
        case 0x00:
        case 0x07:
        case 0x0E:
            return UnitClass::Disk;
        case 0x05:
            return UnitClass::Cdrom;
        default:
            return {};
    }
}

bool write_attr(const fs::path& p, const std::string& text) {
    const int fd = ::open(p.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    return ::close(fd) == 0 && ok;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A hexadecimal attribute as exactly `digits` upper-case digits ("0x" dropped).
std::optional<std::string> hex_attr(const fs::path& p, size_t digits) {
    auto s = read_attr(p);
    if (!s) return {};
    std::string t = trim(*s);
    if (t.rfind("0x", 0) == 0 || t.rfind("0X", 0) == 0) t = t.substr(2);
    if (t.empty() || t.size() > digits ||
        !std::all_of(t.begin(), t.end(), [](unsigned char c) { return std::isxdigit(c); })) {
        return {};
    }
    return upper(std::string(digits - t.size(), '0') + t);
}

bool is_dir(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(fs::symlink_status(p, ec));
}

// The USB identity part of a device's hardware ID.
std::optional<std::string> usb_id(const fs::path& d) {
    auto v = hex_attr(d / "idVendor", 4);
    auto p = hex_attr(d / "idProduct", 4);
    auto r = hex_attr(d / "bcdDevice", 4);
    if (!v || !p || !r) return {};
    return "USB\\VID_" + *v + "&PID_" + *p + "&REV_" + *r;
}

DeviceNode node_at(const fs::path& d) {
    DeviceNode n;
    n.key = d.string();
    const std::string leaf = d.filename().string();
    if (fs::exists(d / "idVendor")) {
        const std::string product = trim(read_attr(d / "product").value_or(""));
        n.name = product;
        n.class_name = "USB";
        if (leaf.rfind("usb", 0) == 0) {
            const std::string version = trim(read_attr(d / "version").value_or(""));
            n.hardware_id = "USB\\ROOT_HUB";
            if (version.rfind("3", 0) == 0) n.hardware_id += "30";
            if (version.rfind("2", 0) == 0) n.hardware_id += "20";
            n.description = "USB Root Hub";
            n.hidden = true;
        } else {
            n.hardware_id = usb_id(d).value_or("");
            n.description = product.empty() ? "USB Device" : product;
        }
    } else if (fs::exists(d / "bInterfaceNumber")) {
        auto parent = usb_id(d.parent_path());
        auto number = hex_attr(d / "bInterfaceNumber", 2);
        if (parent && number) n.hardware_id = *parent + "&MI_" + *number;
        n.class_name = "USB";
        n.description = trim(read_attr(d / "interface").value_or(""));
        if (n.description.empty()) n.description = "USB Interface";
    } else if (fs::exists(d / "vendor") && fs::exists(d / "device") && fs::exists(d / "class")) {
        auto v = hex_attr(d / "vendor", 4);
        auto dv = hex_attr(d / "device", 4);
        auto sv = hex_attr(d / "subsystem_vendor", 4);
        auto sd = hex_attr(d / "subsystem_device", 4);
        auto r = hex_attr(d / "revision", 2);
        auto cls = hex_attr(d / "class", 6);
        if (v && dv) {
            n.hardware_id = "PCI\\VEN_" + *v + "&DEV_" + *dv + "&SUBSYS_" + sd.value_or("0000") +
                            sv.value_or("0000") + "&REV_" + r.value_or("00");
        }
        n.class_name = "PCI";
        n.hidden = cls && cls->rfind("0C03", 0) == 0;  // USB host controller
        n.description = n.hidden ? "USB Host Controller" : "PCI Device";
    }
    return n;
}

void walk(const fs::path& d, int depth, std::vector<DeviceNode>& out) {
    if (depth == 0 || fs::exists(d / "uevent")) out.push_back(node_at(d));
    if (depth >= 64) return;
    for (const auto& name : entries(d)) {
        const fs::path child = d / name;
        if (is_dir(child)) walk(child, depth + 1, out);
    }
}

class LinuxPlatform final : public Platform {
  public:
    LinuxPlatform(std::string sysfs, std::string dev, std::string proc)
        : sys_(std::move(sysfs)), dev_(std::move(dev)), proc_(std::move(proc)) {}

    std::optional<std::vector<DeviceNode>> usb_devices() override {
        const fs::path base = fs::path(sys_) / "bus/usb/devices";
        if (!is_dir(base)) return {};
        std::vector<fs::path> devices;
        for (const auto& name : entries(base)) {
            if (name.find(':') != std::string::npos) continue;  // an interface
            std::error_code ec;
            fs::path p = fs::canonical(base / name, ec);
            if (!ec) devices.push_back(p);
        }
        std::sort(devices.begin(), devices.end());
        std::vector<DeviceNode> out;
        for (const auto& d : devices) out.push_back(node_at(d));
        return out;
    }

    std::vector<DeviceNode> device_tree() override {
        std::vector<DeviceNode> out;
        const fs::path root = fs::path(sys_) / "devices";
        if (is_dir(root)) walk(root, 0, out);
        return out;
    }

    bool set_device_enabled(const DeviceNode& node, bool on) override {
        const fs::path d = node.key;
        const std::string leaf = d.filename().string();
        if (fs::exists(d / "authorized")) return write_attr(d / "authorized", on ? "1" : "0");
        std::error_code ec;
        if (!on) {
            if (!fs::exists(d / "driver", ec)) return false;
            return write_attr(d / "driver/unbind", leaf);
        }
        const fs::path bus = fs::read_symlink(d / "subsystem", ec);
        if (ec) return false;
        return write_attr(fs::path(sys_) / "bus" / bus.filename() / "drivers_probe", leaf);
    }

    void pause_ms(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    std::vector<Volume> volumes() override {
        std::vector<Volume> out;
        char letter = 'd';
        for (const auto& u : units(UnitClass::Disk)) {
            if (!on_usb_storage(u.dir)) continue;
            const auto blocks = entries(u.dir / "block");
            if (blocks.empty()) continue;
            const fs::path bdir = u.dir / "block" / blocks.front();
            const auto size = read_number(bdir / "size");
            if (!size || *size == 0) continue;  // no medium
            std::vector<std::pair<fs::path, Volume>> found;
            for (const auto& name : entries(bdir)) {
                const fs::path p = bdir / name;
                auto number = read_number(p / "partition");
                auto start = read_number(p / "start");
                auto sectors = read_number(p / "size");
                if (!number || !start || !sectors) continue;
                Volume v;
                v.partition = static_cast<uint32_t>(*number);
                v.start_sector = *start;
                v.sectors = *sectors;
                found.emplace_back(p, v);
            }
            std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
                return a.second.partition < b.second.partition;
            });
            if (found.empty()) {
                Volume whole;
                whole.sectors = *size;
                found.emplace_back(bdir, whole);
            }
            const std::string unit_path = device_path(u);
            for (auto& [dir, v] : found) {
                if (letter > 'z') return out;
                v.letter = letter++;
                v.unit_path = unit_path;
                v.on_usb_storage = true;
                v.name = volume_name(unit_path, v.partition, true);
                v.node = (fs::path(dev_) / dir.filename()).string();
                v.in_use = in_use(dir, v.node);
                out.push_back(v);
            }
        }
        return out;
    }

    bool volume_io(const Volume& v, uint64_t sector, uint32_t count, uint8_t* data,
                   bool write) override {
        if (v.node.empty() || sector > v.sectors || count > v.sectors - sector) return false;
        // O_EXCL: a block device that is mounted or held elsewhere is not
        // written. Reading is harmless and must not fail because a desktop
        // mounted the fresh volume.
        const int fd = ::open(v.node.c_str(), write ? O_RDWR | O_EXCL | O_CLOEXEC | O_NOFOLLOW
                                                    : O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return false;
        size_t left = size_t(count) * 512;
        off_t at = static_cast<off_t>(sector * 512);
        bool ok = true;
        while (ok && left > 0) {
            const ssize_t n = write ? ::pwrite(fd, data, left, at) : ::pread(fd, data, left, at);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) {
                data += n;
                at += n;
                left -= size_t(n);
            }
        }
        if (write && ok) ok = ::fsync(fd) == 0;
        return ::close(fd) == 0 && ok;
    }

    std::optional<std::string> interface_path(UnitClass cls, uint32_t index) override {
        auto list = units(cls);
        if (index >= list.size()) return {};
        return device_path(list[index]);
    }

    int open(const std::string& path) override {
        // A unit gone (or without a node) since its path was read: ENOENT;
        // otherwise the open's own errno (EACCES, EBUSY, ...).
        auto unit = unit_for_path(path);
        auto node = unit ? node_of(unit->dir) : std::nullopt;
        if (!node) {
            errno = ENOENT;
            return -1;
        }
        // Non-blocking open: never wait for another process's exclusive use.
        // SG_IO itself always runs synchronously.
        return keep_chunk_buffer(
            ::open(node->c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    }

    bool pass_through(int fd, PassThroughBlock& block, void* data) override {
        if (block.DataTransferLength > 0 && data == nullptr) return false;
        sg_io_hdr h = to_sg_io(block, data);
        if (::ioctl(fd, SG_IO, &h) < 0) return false;
        return from_sg_io(h, block);
    }

    bool pass_through_buffered(int fd, BufferedPassThroughBlock& block) override {
        if (block.DataTransferLength > sizeof block.Data) return false;
        sg_io_hdr h = to_sg_io(block);
        if (::ioctl(fd, SG_IO, &h) < 0) return false;
        return from_sg_io(h, block);
    }

    // The BSD lock that systemd-udevd and the disk tools honour, on the
    // unit's whole-disk block device (held by the returned descriptor) and on
    // its own node (held through the handle itself).
    int lock_unit(int fd) override {
        auto unit = unit_for_fd(fd);
        if (!unit) {
            errno = EBADF;
            return -1;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return -1;
        auto fail = [fd](int err) {
            ::flock(fd, LOCK_UN);
            errno = err;
            return -1;
        };
        int lock = -1;
        const auto blocks = entries(unit->dir / "block");
        if (blocks.empty()) {
            // A unit without a block device (a bare generic node): the lock
            // descriptor is a second reference to the handle's own lock.
            lock = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
            if (lock < 0) return fail(errno);
            return lock;
        }
        const fs::path node = fs::path(dev_) / blocks.front();
        lock = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        if (lock < 0) return fail(errno);
        if (lock == 0) {
            const int moved = ::fcntl(lock, F_DUPFD_CLOEXEC, 1);
            ::close(lock);
            if (moved < 0) return fail(errno);
            lock = moved;
        }
        if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::close(lock);
            return fail(err);
        }
        return lock;
    }

    void unlock_unit(int fd, int lock) override {
        if (fd > 0) ::flock(fd, LOCK_UN);
        if (lock > 0) ::close(lock);
    }

    std::optional<UnitLocation> unit_location(int fd) override {
        const auto unit = unit_for_fd(fd);
        if (!unit || !on_usb_storage(unit->dir)) return {};
        const auto usb = usb_device_of(unit->dir);
        if (!usb) return {};
        UnitLocation where;
        where.port = usb->filename().string();
        where.serial = read_attr(*usb / "serial").value_or("");
        while (!where.serial.empty() &&
               std::isspace(static_cast<unsigned char>(where.serial.back())))
            where.serial.pop_back();
        const auto blocks = entries(unit->dir / "block");
        uint64_t sectors = 0;
        if (!blocks.empty()) {
            const std::string size =
                read_attr(unit->dir / "block" / blocks.front() / "size").value_or("");
            std::from_chars(size.data(), size.data() + size.size(), sectors);
        }
        where.sectors = sectors;
        if (const auto node = node_of(unit->dir)) where.node = node->string();
        return where;
    }

    std::optional<uint32_t> rescan(int fd) override {
        auto unit = unit_for_fd(fd);
        if (!unit) return {};
        const fs::path scan = fs::path(sys_) / "class/scsi_host" /
                              ("host" + std::to_string(unit->addr.host)) / "scan";
        int f = ::open(scan.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
        if (f < 0) return {};
        static const char kAll[] = "- - -";
        const bool ok = ::write(f, kAll, sizeof kAll - 1) == ssize_t(sizeof kAll - 1);
        ::close(f);
        if (!ok) return {};
        return 0u;
    }

    // The partitions that the kernel found on the unit's block device. The
    // kernel does not show the partition type or the disk signature; both
    // are reported as 0.
    std::optional<DriveLayout> drive_layout(int fd) override {
        auto unit = unit_for_fd(fd);
        if (!unit) return {};
        auto blocks = entries(unit->dir / "block");
        if (blocks.empty()) return {};
        const fs::path bdir = unit->dir / "block" / blocks.front();
        auto size = read_number(bdir / "size");
        if (!size || *size == 0) return {};  // no medium
        DriveLayout layout;
        for (const auto& name : entries(bdir)) {
            const fs::path p = bdir / name;
            auto number = read_number(p / "partition");
            auto start = read_number(p / "start");
            auto sectors = read_number(p / "size");
            if (!number || !start || !sectors) continue;
            PartitionEntry e;
            e.number = static_cast<uint32_t>(*number);
            e.start_sector = *start;
            e.sectors = *sectors;
            layout.partitions.push_back(e);
        }
        std::sort(layout.partitions.begin(), layout.partitions.end(),
                  [](const auto& a, const auto& b) { return a.number < b.number; });
        return layout;
    }

    int open_filter_control() override {
        const fs::path node = fs::path(dev_) / "korvafilters";
        return ::open(node.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    }

    bool filter_request(int fd, uint32_t code) override {
        return ::ioctl(fd, static_cast<unsigned long>(code), nullptr) >= 0;
    }

  private:
    // Why the volume at sysfs folder `dir` (node `node`) must not be written, or "".
    std::string in_use(const fs::path& dir, const std::string& node) const {
        const auto holders = entries(dir / "holders");
        if (!holders.empty()) return "held by " + holders.front();
        const std::string number = trim(read_attr(dir / "dev").value_or(""));
        std::ifstream mounts(fs::path(proc_) / "self/mountinfo");
        if (!mounts) return "the mount table cannot be read";
        for (std::string line; std::getline(mounts, line);) {
            // id parent major:minor root mount-point options ... - type source ...
            std::istringstream f(line);
            std::string id, parent, majmin, root, point;
            f >> id >> parent >> majmin >> root >> point;
            std::string source;
            const size_t dash = line.find(" - ");
            if (dash != std::string::npos) {
                std::istringstream t(line.substr(dash + 3));
                std::string type;
                t >> type >> source;
            }
            if ((!number.empty() && majmin == number) || source == node) {
                return point == "/" ? "it holds the root file system" : "mounted on " + point;
            }
        }
        std::ifstream swaps(fs::path(proc_) / "swaps");
        if (!swaps) return "the swap table cannot be read";
        const std::string leaf = fs::path(node).filename().string();
        std::string line;
        std::getline(swaps, line);  // heading
        while (std::getline(swaps, line)) {
            std::istringstream f(line);
            std::string path;
            f >> path;
            if (path == node || fs::path(path).filename() == leaf) return "it holds a swap area";
        }
        return {};
    }

    std::vector<Unit> units(std::optional<UnitClass> only) const {
        std::vector<Unit> out;
        const fs::path base = fs::path(sys_) / "bus/scsi/devices";
        for (const auto& name : entries(base)) {
            auto addr = parse_address(name, ':');
            if (!addr) continue;  // hosts and targets are listed there too
            auto type = read_number(base / name / "type");
            if (!type) continue;
            auto cls = class_of_type(*type);
            if (!cls || (only && *cls != *only)) continue;
            out.push_back(Unit{*addr, base / name, *cls});
        }
        std::sort(out.begin(), out.end(),
                  [](const Unit& a, const Unit& b) { return a.addr < b.addr; });
        return out;
    }

    // True when the unit's SCSI host belongs to a USB interface driven by
    // usb-storage or uas.
    static bool on_usb_storage(const fs::path& unit_dir) {
        std::error_code ec;
        fs::path p = fs::canonical(unit_dir, ec);
        if (ec) return false;
        for (; p.has_relative_path(); p = p.parent_path()) {
            const std::string leaf = p.filename().string();
            uint32_t n;
            if (leaf.rfind("host", 0) == 0 && parse_u32(std::string_view(leaf).substr(4), n)) {
                fs::path drv = fs::read_symlink(p.parent_path() / "driver", ec);
                if (ec) return false;
                const std::string d = drv.filename().string();
                return d == "usb-storage" || d == "uas";
            }
        }
        return false;
    }

    // The USB device above a unit: the nearest ancestor named as the USB
    // core names devices ("1-1.3": bus, then the hub ports), which is the
    // device's port path.
    static std::optional<fs::path> usb_device_of(const fs::path& unit_dir) {
        std::error_code ec;
        fs::path p = fs::canonical(unit_dir, ec);
        if (ec) return {};
        for (; p.has_relative_path(); p = p.parent_path()) {
            const std::string leaf = p.filename().string();
            const size_t dash = leaf.find('-');
            if (dash == 0 || dash == std::string::npos || leaf.find(':') != std::string::npos)
                continue;
            if (!std::all_of(leaf.begin(), leaf.end(),
                             [](char c) { return (c >= '0' && c <= '9') || c == '-' || c == '.'; }))
                continue;
            if (fs::exists(p / "devnum", ec)) return p;
        }
        return {};
    }

    static std::string device_path(const Unit& u) {
        const bool usb = on_usb_storage(u.dir);
        const bool mask = !usb;
        auto text = [&](const char* attr) {
            return path_text(read_attr(u.dir / attr).value_or(""), mask);
        };
        std::string path = usb ? "\\\\?\\usbstor#" : "\\\\?\\scsi#";
        path += u.cls == UnitClass::Disk ? "disk" : "cdrom";
        path += "&ven_" + text("vendor") + "&prod_" + text("model") + "&rev_" + text("rev");
        // '#' goes on its own: g++ 12 at -O3 warns falsely (-Wrestrict) on
        // "#" + std::to_string(...).
        path += '#';
        path += std::to_string(u.addr.host) + "&" + std::to_string(u.addr.channel) + "&" +
                std::to_string(u.addr.target) + "&" + std::to_string(u.addr.lun);
        path += "#";
        path += u.cls == UnitClass::Disk ? kDiskInterfaceGuid : kCdInterfaceGuid;
        return path;
    }

    std::optional<Unit> unit_for_path(const std::string& path) const {
        const std::string p = lower(path);
        if (p.rfind("\\\\?\\", 0) != 0) return {};
        std::vector<std::string> parts;
        size_t start = 4;
        for (;;) {
            size_t hash = p.find('#', start);
            parts.push_back(p.substr(start, hash == std::string::npos ? hash : hash - start));
            if (hash == std::string::npos) break;
            start = hash + 1;
        }
        if (parts.size() != 4) return {};
        auto addr = parse_address(parts[2], '&');
        if (!addr) return {};
        for (const auto& u : units(std::nullopt)) {
            if (u.addr == *addr) {
                if (lower(device_path(u)) != p) return {};
                return u;
            }
        }
        return {};
    }

    std::optional<fs::path> node_of(const fs::path& unit_dir) const {
        for (const char* sub : {"scsi_generic", "block"}) {
            auto names = entries(unit_dir / sub);
            if (!names.empty()) return fs::path(dev_) / names.front();
        }
        return {};
    }

    // The unit behind a descriptor that open() returned.
    std::optional<Unit> unit_for_fd(int fd) const {
        std::error_code ec;
        fs::path target = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
        if (ec) return {};
        fs::path dev = fs::canonical(dev_, ec);
        if (ec || target.parent_path() != dev) return {};
        const std::string name = target.filename().string();
        for (const auto& u : units(std::nullopt)) {
            for (const char* sub : {"scsi_generic", "block"}) {
                if (fs::exists(u.dir / sub / name, ec)) return u;
            }
        }
        return {};
    }

    std::string sys_;
    std::string dev_;
    std::string proc_;
};

}  // namespace

std::unique_ptr<Platform> make_linux_platform(std::string sysfs_root, std::string dev_root,
                                              std::string proc_root) {
    return std::make_unique<LinuxPlatform>(std::move(sysfs_root), std::move(dev_root),
                                           std::move(proc_root));
}

}  // namespace sarnik
