// Disk discovery: finds the units of the controller family through the command
// library, brings each controller into a known state and fills the port table.
#include "run/discovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The library's own description of where it keeps its files, so that the
// station reads the log from exactly the folder the library writes it to.
#include "controller/controller.h"
#include "core/status.h"
#include "run/run_internal.h"
#include "run/station.h"
#include "sarnik_files.h"

namespace galmor {

namespace {

// Enumeration indexes tried in each pass: 0 to 16.
constexpr int kEnumerationIndexes = 17;
constexpr int16_t kPathSelector = 1000;

// DeviceInfoBlock values the probe looks at.
constexpr uint8_t kNoPassword = 0xC0;
constexpr uint8_t kFlagHardwareWp = 0x80;
constexpr uint8_t kFlagSoftwareWp = 0x40;
constexpr uint8_t kFlagBadBlocks = 0x20;
constexpr uint8_t kFlagsValidFromRevision = 3;
constexpr uint8_t kCommitMarker = 0x84;

const char* const kMsgForeignDriver =
    "Warning !!! Won't Work under Korva's driver !!Please change Device's driver to Microsoft's";
const char* const kMsgHardwareWp = "Hardware Write Protect!! MP can't handle this !!";
const char* const kMsgBadBlocks = "Too many Bad Block !!!  MP can't handle this !!";

using Buffer = std::array<uint8_t, kSector>;

bool Has(const std::string& path, const char* text) {
    const std::string needle(text);
    auto it =
        std::search(path.begin(), path.end(), needle.begin(), needle.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
        });
    return it != path.end();
}

// A handle the library returned, closed when it goes out of scope unless it
// was handed on.
class OwnedHandle {
  public:
    OwnedHandle() = default;
    explicit OwnedHandle(int32_t h) : h_(h) {}
    OwnedHandle(OwnedHandle&& o) noexcept : h_(std::exchange(o.h_, 0)) {}
    OwnedHandle& operator=(OwnedHandle&& o) noexcept {
        if (this != &o) {
            Sarnik::CloseHandle(h_);
            h_ = std::exchange(o.h_, 0);
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { Sarnik::CloseHandle(h_); }
    int32_t get() const { return h_; }
    int32_t release() { return std::exchange(h_, 0); }
    explicit operator bool() const { return h_ != 0; }

  private:
    int32_t h_ = 0;
};

struct Candidate {
    OwnedHandle handle;
    std::string path;
};

// An open and the read of the path log it rewrote are one step for every
// station on the library's folder: another station's open in between would
// hand us the path of its unit, not ours. Held for a moment only; when it
// cannot be had within a few seconds the unit is left alone.
class PathLogLock {
  public:
    PathLogLock() {
        const std::string root = sarnik_files::root_folder();
        if (root.empty()) return;
        fd_ = ::open((root + "/tessary.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                     0600);
        if (fd_ < 0) {
            // No lock file where the library writes: the library's open
            // fails there too, so there is no log to mix up.
            held_ = true;
            return;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!(held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0) &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    PathLogLock(const PathLogLock&) = delete;
    PathLogLock& operator=(const PathLogLock&) = delete;
    ~PathLogLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool held() const { return held_; }

  private:
    int fd_ = -1;
    bool held_ = false;
};

// Opens unit `index`, the disk unit or the CD-ROM unit, trying the disk unit
// first when both are asked for, and reads its path into st.LastDevicePath.
OwnedHandle OpenLogged(StationCore& st, int index, bool disk, bool cdrom) {
    const PathLogLock lock;
    if (!lock.held()) return {};
    OwnedHandle h;
    if (disk) h = OwnedHandle(st.Lib().GetDiskHandle(index));
    if (!h && cdrom) h = OwnedHandle(st.Lib().GetCDHandle(index));
    if (h) ReadDevicePathLog(st, kPathSelector);
    return h;
}

OwnedHandle OpenAny(StationCore& st, int index) {
    return OpenLogged(st, index, true, true);
}

OwnedHandle OpenUnit(StationCore& st, int index, bool cdrom) {
    return OpenLogged(st, index, !cdrom, cdrom);
}

// Brings one controller into a known state. `h` is a unit whose path has
// "usb" and a revision or CD-ROM text of the family.
// false when the device does not answer the family's device-information
// read: it is not a controller of the family and gets nothing more, in
// particular none of the writes below.
bool ProbeController(StationCore& st, int32_t h) {
    // Setup page 2 is written back only when it was read from this controller.
    Buffer a{};
    if (st.Lib().VendorScan(h, sub::kSetupRead, 0x09, 0, 0, 0x02, 0, kSector, a.data()) == 1) {
        st.Lib().VendorW(h, sub::kSetupWrite, kSector, a.data());
        st.Lib().VendorR(h, sub::kPasswordApply, a.data());
    }

    Buffer b{};
    if (st.Lib().VendorR(h, sub::kDeviceInfo, b.data()) != 1) return false;
    const bool notC0 = b[devinfo::kPassword] != kNoPassword;
    bool flagged;
    if (b[devinfo::kRevision] >= kFlagsValidFromRevision) {
        const uint8_t flags = b[devinfo::kStatusFlags];
        flagged = flags != 0;
        if (flags & kFlagHardwareWp) st.View().ShowMessage(kMsgHardwareWp, Icon::None);
        if (flags & kFlagBadBlocks) st.View().ShowMessage(kMsgBadBlocks, Icon::None);
        if (flags & kFlagSoftwareWp) {
            b[0] = 0;
            st.Lib().VendorW(h, sub::kClearSoftWp, kSector, b.data());
            st.Lib().VendorR(h, sub::kAfterCommit, b.data());
        }
    } else {
        flagged = b[devinfo::kWpSwitch] != 1;
    }

    b[0] = kCommitMarker;
    st.Lib().VendorW(h, sub::kCommit, kSector, b.data());
    st.Lib().VendorR(h, sub::kAfterCommit, b.data());

    if (!flagged && !notC0) {
        if (st.Lib().VendorR(h, sub::kProbe83, b.data()) == 1)
            st.Lib().VendorR(h, sub::kProbe97, b.data());
    }
    return true;
}

// Probe pass. false when a unit is bound to the maker's own driver.
bool ProbePass(StationCore& st) {
    for (int i = 0; i < kEnumerationIndexes; ++i) {
        OwnedHandle h = OpenAny(st, i);
        if (!h) continue;
        const std::string& path = st.LastDevicePath;
        if (Has(path, "usbkorva")) {
            st.View().ShowMessage(kMsgForeignDriver, Icon::None);
            return false;
        }
        if (!Has(path, "usb")) continue;
        if (!Has(path, "cdrom") && !Has(path, "rev_8.0") && !Has(path, "rev_7.77")) continue;
        const std::string key = DeviceKey(path);
        if (st.ForeignDevices.count(key) != 0) continue;
        // A controller that another program holds (another station in the
        // middle of a run) is not disturbed by the probe's writes.
        const UnitLock lock(st.Lib(), h.get());
        if (!lock.held()) continue;
        if (!ProbeController(st, h.get())) st.ForeignDevices.insert(key);
    }
    return true;
}

// Collecting pass. false when a unit is bound to the maker's own driver.
// Candidates beyond the table's 16 entries are closed and not recorded.
bool CollectingPass(StationCore& st, std::vector<Candidate>& found,
                    std::set<std::string>& withDisk) {
    // A unit is taken only when its controller answers the status read; a
    // device that does not is foreign and never becomes a port.
    // Returns false for a unit of a foreign device.
    auto take = [&](OwnedHandle h) {
        const std::string key = DeviceKey(st.LastDevicePath);
        if (st.ForeignDevices.count(key) != 0) return false;
        if (found.size() >= static_cast<size_t>(kMaxPorts)) return true;
        Buffer b{};
        st.LastResult = st.Lib().VendorR(h.get(), sub::kStatus, b.data());
        if (st.LastResult != 1) {
            st.ForeignDevices.insert(key);
            return false;
        }
        found.push_back({std::move(h), st.LastDevicePath});
        return true;
    };
    for (int i = 0; i < kEnumerationIndexes; ++i) {
        OwnedHandle disk = OpenUnit(st, i, false);
        if (disk) {
            const std::string& path = st.LastDevicePath;
            withDisk.insert(DeviceKey(path));
            if (Has(path, "usbkorva")) {
                st.View().ShowMessage(kMsgForeignDriver, Icon::None);
                return false;
            }
            // Units that are not taken are closed: off the USB stack, or not
            // of the family.
            if (Has(path, "usb") && Has(path, "rev_7.")) take(std::move(disk));
        }
        OwnedHandle cd = OpenUnit(st, i, true);
        if (cd) {
            const std::string& path = st.LastDevicePath;
            if (Has(path, "usb") && Has(path, "cdrom")) {
                if (take(std::move(cd))) st.NoCdromUnit = false;
            }
        }
    }
    return true;
}

// What names a unit to the operator: its USB port and capacity.
std::string Where(const UnitLocation& at) {
    if (at.port.empty()) return {};
    std::string text = "USB " + at.port;
    if (at.sectors > 0) {
        text +=
            "  " + std::to_string(std::llrint(static_cast<double>(at.sectors) / 2000.0)) + " MB";
    }
    return text;
}

// Every row shows what this discovery found: live ports their unit, every
// other row no disk. A row whose disk left or is another one now (another
// USB port, USB serial or unit) first loses the results, progress and step it
// showed for the old disk; a disk that stays in its row keeps its results.
void ShowRows(StationCore& st, int n) {
    for (int r = 0; r < kMaxPorts; ++r) {
        const size_t i = static_cast<size_t>(r);
        UnitLocation at;
        std::string identity;
        if (r < n) {
            const PortRecord& port = st.ports[i];
            if (!st.Lib().GetUnitLocation(port.Handle, &at)) at = {};
            identity = at.port + "\n" + at.serial + "\n" + port.DevicePath;
        }
        st.Locations[i] = at;
        PortView& row = st.Row(r);
        if (identity != st.RowDisk[i]) {
            row.Reset(false);
            st.RowDisk[i] = identity;
        }
        row.SetDisk(Where(at));
        if (r >= n) row.SetPicture(Picture::Absent);
    }
}

}  // namespace

void ReadDevicePathLog(StationCore& st, int16_t selector) {
    std::string line;
    const std::string root = sarnik_files::root_folder();
    std::ifstream log;
    if (!root.empty()) log.open(sarnik_files::log_path(), std::ios::binary);
    if (log.is_open()) std::getline(log, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    // Only the discovery's selector is kept; an unreadable log gives an empty
    // path, never the previous unit's.
    if (selector == kPathSelector) st.LastDevicePath = line;
}

std::string LibraryFolderProblem() {
    const std::string root = sarnik_files::root_folder();
    struct stat info {};
    if (!sarnik_files::root_is_explicit() && !root.empty() && ::lstat(root.c_str(), &info) != 0 &&
        errno == ENOENT) {
        return {};
    }
    return sarnik_files::root_problem();
}

std::string DeviceKey(const std::string& path) {
    // <bus>#<class&identity>#<instance>&<unit>#<guid>: the units of one
    // device share the instance without its last field.
    const size_t h1 = path.find('#');
    const size_t h2 = h1 == std::string::npos ? h1 : path.find('#', h1 + 1);
    const size_t h3 = h2 == std::string::npos ? h2 : path.find('#', h2 + 1);
    if (h3 == std::string::npos) return path;
    std::string instance = path.substr(h2 + 1, h3 - h2 - 1);
    const size_t amp = instance.rfind('&');
    if (amp != std::string::npos) instance.resize(amp);
    std::transform(instance.begin(), instance.end(), instance.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return instance;
}

void PollingDiskStatus(StationCore& st, bool arrived) {
    st.NoCdromUnit = true;
    st.ForeignDevices.clear();
    if (!ProbePass(st)) return;

    const int oldCount = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
    if (!arrived) {
        st.LastResult = st.Lib().KillEXE();
        for (int p = 0; p < oldCount; ++p) {
            PortRecord& port = st.ports[p];
            Sarnik::CloseHandle(port.Handle);
            port.Handle = 0;
            port.DevicePath.clear();
            st.Row(p).SetPicture(Picture::Absent);
        }
    }

    std::vector<Candidate> found;
    std::set<std::string> withDisk;
    if (!CollectingPass(st, found, withDisk)) return;
    const int n = static_cast<int>(found.size());

    // An arrival discovery replaces the old ports: their handles are closed,
    // except one the library handed out again to a unit being taken now.
    if (arrived) {
        for (int p = 0; p < oldCount; ++p) {
            PortRecord& port = st.ports[p];
            const bool kept = std::any_of(found.begin(), found.end(), [&](const Candidate& c) {
                return c.handle.get() == port.Handle;
            });
            if (!kept) Sarnik::CloseHandle(port.Handle);
            if (p >= n) {
                port.Handle = 0;
                port.DevicePath.clear();
            }
        }
    }

    for (int p = 0; p < n; ++p) {
        PortRecord& port = st.ports[p];
        port.DevicePath = found[p].path;
        port.Handle = found[p].handle.release();
        st.NoDiskUnit[static_cast<size_t>(p)] =
            Has(port.DevicePath, "cdrom") && withDisk.count(DeviceKey(port.DevicePath)) == 0;
        if (Has(port.DevicePath, "cdrom") && Has(port.DevicePath, "rev_8.00")) {
            st.NoCdromUnit = false;
            port.ErrorStatus = Code(Status::WriteProtected);
            st.Row(p).SetPicture(Picture::Failed);
        } else {
            port.ErrorStatus = 0;
            st.Row(p).SetPicture(Picture::Present);
        }
    }
    ShowRows(st, n);
    st.DiskCount = static_cast<int16_t>(n);

    StationView& v = st.View();
    v.SetEnabled(Button::Start, n > 0 && st.NoCdromUnit);
    if (!st.NoCdromUnit) {
        v.ShowBanner(false);
        st.HideBanner();
        v.ShowLabel(Label::WaitingForDisk, true);
        v.SetEnabled(Button::Led, true);
    } else {
        v.ShowLabel(Label::WaitingForDisk, false);
    }
}

}  // namespace galmor
