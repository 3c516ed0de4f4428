#include "services.h"

#include <limits.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fat.h"
#include "files.h"

namespace sarnik::svc {

namespace {

// One state change of a node. 1 when the platform accepted it.
int32_t set_state(Platform& p, const DeviceNode& node, bool on) {
    return p.set_device_enabled(node, on) ? 1 : 0;
}

// The name a device is matched by: the first of friendly name, hardware
// ID and class that is there.
std::string display_name(const DeviceNode& d) {
    for (const std::string* s : {&d.name, &d.hardware_id, &d.class_name}) {
        if (!s->empty() && (*s)[0] != '\0') return *s;
    }
    return "<Unknown Device>";
}

void refuse(char letter, const std::string& why) {
    std::fprintf(stderr, "sarnik: drive %c: is not formatted: %s\n", letter - 'a' + 'A',
                 why.c_str());
}

}  // namespace

int32_t reset_device(Platform& p, const std::string& pattern, int32_t action) {
    const auto devices = p.usb_devices();
    if (!devices) {
        std::fputs("GetClassDevs !\n", stdout);
        std::fflush(stdout);
        return 0;
    }
    int32_t result = 0;
    for (const auto& d : *devices) {
        if (d.hidden) continue;
        if (pattern.empty() || display_name(d).find(pattern) == std::string::npos) continue;
        switch (action) {
            case kRestart:
                result = set_state(p, d, false);
                if (result == 1) result = set_state(p, d, true);
                break;
            case kEnable:
                result = set_state(p, d, true);
                break;
            case kDisable:
                result = set_state(p, d, false);
                break;
            default:
                result = 0;  // nothing is changed
                break;
        }
    }
    return result;
}

int32_t reset_device98(Platform& p, const std::string& pattern, int32_t action) {
    if (pattern.empty()) return 0;
    const auto tree = p.device_tree();
    const DeviceNode* found = nullptr;
    for (const auto& node : tree) {
        if (node.hardware_id.find(pattern) != std::string::npos) {
            found = &node;
            break;
        }
    }
    if (!found || found->description.empty()) return 0;
    switch (action) {
        case kEnable:
            p.set_device_enabled(*found, true);
            break;
        case kDisable:
            p.set_device_enabled(*found, false);
            break;
        case kRestart: {
            const bool disabled = p.set_device_enabled(*found, false);
            p.pause_ms(kRestartPauseMs);
            if (disabled) p.set_device_enabled(*found, true);
            break;
        }
        default:
            break;
    }
    return 1;
}

std::string utf8_of(const uint16_t* text) {
    std::string out;
    if (!text) return out;
    auto put = [&](uint32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    for (size_t i = 0; i < 32767 && text[i] != 0; ++i) {
        const uint32_t u = text[i];
        if (u >= 0xD800 && u < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            put(0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            put(0xFFFD);
        } else {
            put(u);
        }
    }
    return out;
}

int32_t format_ex(Platform& p, int32_t drive) {
    const auto mkfs = fat::find_tool("mkfs.fat");
    const auto fatlabel = fat::find_tool("fatlabel");
    if (!mkfs || !fatlabel) return kNoFormatService;
    if (drive < 1 || drive > 26) return kFormatFailed;
    const char letter = static_cast<char>('a' + drive - 1);
    const Volume* v = nullptr;
    const auto table = p.volumes();
    for (const auto& e : table) {
        if (e.letter == letter) v = &e;
    }
    if (!v) {
        refuse(letter, "no such volume");
        return kFormatFailed;
    }
    if (!v->on_usb_storage) {
        refuse(letter, "not on a USB mass-storage unit");
        return kFormatFailed;
    }
    if (!v->in_use.empty()) {
        refuse(letter, v->in_use);
        return kFormatFailed;
    }
    // The failure flag belongs to this call: a failed format never makes a
    // later one report failure.
    const bool format_failed = !fat::format(p, *v, *mkfs);
    if (format_failed) return kFormatFailed;
    // Something may have mounted the fresh volume meanwhile: label only a
    // volume that is still free.
    bool still_free = false;
    for (const auto& e : p.volumes()) {
        if (e.letter == letter && e.name == v->name) still_free = e.in_use.empty();
    }
    if (!still_free) return kLabelFailed;
    if (!fat::set_label(p, *v, *fatlabel, kVolumeLabel)) return kLabelFailed;
    const auto info = fat::read_info(p, *v);
    if (!info) return kInfoFailed;
    if (!fat::free_bytes(p, *v, info->geometry)) return kFreeSpaceFailed;
    if (!fat::read_info(p, *v)) return kFinalInfoFailed;
    return kFormatted;
}

int32_t get_driver_name(Platform& p) {
    std::string letters;
    const auto table = p.volumes();
    for (char c = 'c'; c <= 'y'; ++c) {
        for (const auto& v : table) {
            if (v.letter == c && v.name.compare(0, 14, kVolumePrefix) == 0) {
                letters += c;
                break;
            }
        }
    }
    if (letters.empty()) return 0;
    // The letters reach the caller only through the dump.
    return replace_file(prepare_root(), kDumpFile, letters.data(), letters.size()) ? 1 : 0;
}

namespace {

struct Segment {
    uintptr_t start = 0;
    size_t length = 0;
};

struct ModuleSearch {
    std::string wanted;  // "" for the program
    bool found = false;
    bool first = true;
    std::string path;
    std::vector<Segment> segments;
};

std::string base_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool same_file(const std::string& a, const std::string& b) {
    char ra[PATH_MAX], rb[PATH_MAX];
    return ::realpath(a.c_str(), ra) && ::realpath(b.c_str(), rb) && std::strcmp(ra, rb) == 0;
}

int visit(dl_phdr_info* info, size_t, void* data) {
    auto* s = static_cast<ModuleSearch*>(data);
    const bool program = s->first;
    s->first = false;
    std::string path = info->dlpi_name ? info->dlpi_name : "";
    if (program) {
        char exe[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) return 0;
        path.assign(exe, static_cast<size_t>(n));
    }
    if (path.empty()) return 0;
    const std::string& w = s->wanted;
    const bool match = w.empty() ? program
                                 : (path == w || base_name(path) == w ||
                                    base_name(path) == w + ".so" || same_file(path, w));
    if (!match) return 0;
    s->found = true;
    s->path = path;
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || ph.p_memsz == 0) continue;
        const uintptr_t start = (info->dlpi_addr + ph.p_vaddr) & ~(page - 1);
        const uintptr_t end = (info->dlpi_addr + ph.p_vaddr + ph.p_memsz + page - 1) & ~(page - 1);
        s->segments.push_back({start, end - start});
    }
    return 1;
}

bool holds(const std::vector<Segment>& segments, const void* address) {
    const auto a = reinterpret_cast<uintptr_t>(address);
    for (const auto& s : segments) {
        if (a >= s.start && a - s.start < s.length) return true;
    }
    return false;
}

}  // namespace

void suicide(const char* module) {
    ModuleSearch s;
    s.wanted = module ? module : "";
    ::dl_iterate_phdr(visit, &s);
    if (!s.found) {
        std::fprintf(stderr, "sarnik: Suicide: no module %s is loaded\n",
                     s.wanted.empty() ? "(program)" : s.wanted.c_str());
        std::fflush(nullptr);
        ::_exit(1);
    }
    std::fflush(nullptr);
    // A module that holds the code still to run here (this library, or the C
    // library's unlink and _exit) stays mapped until the process ends a
    // moment later; its file is deleted all the same.
    const void* needed[] = {
        reinterpret_cast<const void*>(&suicide), reinterpret_cast<const void*>(&::unlink),
        reinterpret_cast<const void*>(&::_exit), reinterpret_cast<const void*>(&::munmap)};
    bool keep = false;
    for (const void* a : needed) keep = keep || holds(s.segments, a);
    if (!keep) {
        for (const auto& seg : s.segments) ::munmap(reinterpret_cast<void*>(seg.start), seg.length);
    }
    if (::unlink(s.path.c_str()) != 0) {
        const int e = errno;
        std::fprintf(stderr, "sarnik: Suicide: %s cannot be deleted: %s\n", s.path.c_str(),
                     std::strerror(e));
        ::_exit(1);
    }
    ::_exit(0);
}

}  // namespace sarnik::svc
