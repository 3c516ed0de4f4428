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
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The library's own description of where it keeps its files, so that the
// station reads the log from exactly the folder the library writes it to.
#include "controller/controller.h"
#include "core/status.h"
#include "run/rolling.h"
#include "run/run_internal.h"
#include "run/station.h"
#include "sarnik_files.h"

namespace galmor {

namespace {

// Enumeration indexes tried in each pass: 0 to 16.
constexpr int kEnumerationIndexes = 17;
constexpr int16_t kPathSelector = 1000;
// How long the probes of one discovery wait, all together, for units that
// another program holds: as long as a run waits before it calls a unit busy.
// One budget, not one per unit: waiting on each busy unit in turn would give
// another station time to finish a disk and let it go, and this one would
// then take a disk that was not there for it when it looked.
constexpr std::chrono::milliseconds kProbePatience{2000};
// After an arrival, how long a unit of the family that is present but cannot
// be opened yet is tried again, and the pause between the tries.
constexpr std::chrono::milliseconds kOpenPatience{1500};
constexpr std::chrono::milliseconds kOpenRetryPause{100};
// A unit still unopenable after that, or held throughout its probe, is looked
// at again by later discoveries (which do not wait), this often, for this long
// after the arrival: on a loaded machine udev may take many seconds to apply
// its rules to the nodes, and holds the whole-disk node meanwhile.
constexpr std::chrono::milliseconds kLateOpenEvery{2000};
constexpr std::chrono::seconds kLateOpenFor{60};
// Walks of the collecting pass at most: the bus keeps changing otherwise.
constexpr int kMaxWalks = 20;

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
    // Why the unit is not served (Ok: it is): a unit of the family that
    // cannot be prepared still becomes a port, one that fails visibly.
    Status refusal = Status::Ok;
    int openError = 0;  // Unopenable: the errno of the last open tried
};

// One discovery's bookkeeping, by device (DeviceKey) and by unit path.
struct Discovery {
    // The library can keep its path log: a failed open's log line is the
    // unit it tried, not a line left from before.
    bool logKept = true;
    // Waits for units held or not openable yet; a discovery that only looks
    // again at such units does not.
    bool patient = true;
    std::set<std::string> probeSeen;  // devices of a unit the probe pass opened
    std::set<std::string> probed;     // devices the probe was sent to, or meant for
    std::map<std::string, Status> refused;
    // When the probes stop waiting for held units (set at the first probe).
    std::optional<std::chrono::steady_clock::time_point> probeDeadline;
    std::set<std::string> collected;        // unit paths the collecting pass dealt with
    std::set<std::string> unopenable;       // unit paths present but not opened (yet)
    std::map<std::string, int> openErrors;  // and why (errno)
    std::map<std::string, int> lockErrors;  // by device: why its lock failed
    std::set<std::string> cdromPaths;       // which of those are CD-ROM units
    // Devices whose job is running (rolling production): sent nothing, not
    // taken again; their rows keep what they have.
    std::set<std::string> busy;
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

// What one open at one enumeration index came to.
struct Opened {
    OwnedHandle handle;
    std::string path;    // the unit's path; also when the open itself failed
    int error = 0;       // errno of a failed open
    bool tried = false;  // false: the path log was not ours to use, nothing was opened
    bool present() const { return !path.empty(); }
    // Nothing at this index: the class's enumeration ends before it.
    bool end() const { return tried && !present(); }
};

// Opens unit `index` of one class and reads its path into st.LastDevicePath.
// The library logs a unit's path before it opens the unit, so a unit that is
// present but cannot be opened (still being set up, or held exclusively)
// shows its path with no handle.
Opened OpenLogged(StationCore& st, int index, bool cdrom, bool logKept) {
    const PathLogLock lock;
    Opened u;
    if (!lock.held()) return u;
    u.tried = true;
    const int32_t h = cdrom ? st.Lib().GetCDHandle(index) : st.Lib().GetDiskHandle(index);
    u.error = h ? 0 : errno;
    u.handle = OwnedHandle(h);
    ReadDevicePathLog(st, kPathSelector);
    if (u.handle || logKept) u.path = st.LastDevicePath;
    return u;
}

// A path that names the family's revisions: 7.x on a fresh unit, 8.0x on a
// finished one. Such a unit never silently drops out of a discovery.
bool FamilyRevision(const std::string& path) {
    return Has(path, "rev_7.") || Has(path, "rev_8.0");
}

// A unit the probe pass sends its commands to.
bool Probeable(const std::string& path) {
    return Has(path, "usb") &&
           (Has(path, "cdrom") || Has(path, "rev_8.0") || Has(path, "rev_7.77"));
}

// A unit the collecting pass takes.
bool Collectable(const std::string& path, bool cdrom) {
    return Has(path, "usb") && Has(path, cdrom ? "cdrom" : "rev_7.");
}

// The device information read, tried a second time before it counts as failed.
bool ReadDeviceInfo(StationCore& st, int32_t h, Buffer& b) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        b.fill(0);
        if (st.Lib().VendorR(h, sub::kDeviceInfo, b.data()) == 1) return true;
    }
    return false;
}

// Brings one controller into a known state. `h` is a unit whose path has
// "usb" and a revision or CD-ROM text of the family.
// false when the device does not answer the family's device-information
// read: it gets nothing more, in particular none of the writes below.
bool ProbeController(StationCore& st, int32_t h) {
    // Setup page 2 is written back only when it was read from this controller.
    Buffer a{};
    if (st.Lib().VendorScan(h, sub::kSetupRead, 0x09, 0, 0, 0x02, 0, kSector, a.data()) == 1) {
        st.Lib().VendorW(h, sub::kSetupWrite, kSector, a.data());
        st.Lib().VendorR(h, sub::kPasswordApply, a.data());
    }

    Buffer b{};
    if (!ReadDeviceInfo(st, h, b)) return false;
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

// Probes the device of unit `h` once per discovery. A device whose probe
// could not run (another program held it) or whose device information stays
// unreadable is refused when its path names the family, else it is foreign.
void ProbeDevice(StationCore& st, Discovery& d, int32_t h, const std::string& path) {
    const std::string key = DeviceKey(path);
    if (d.busy.count(key) != 0) return;
    if (st.ForeignDevices.count(key) != 0 || !d.probed.insert(key).second) return;
    // A controller that another program holds (udev or a disk tool still
    // looking at a fresh disk, another station in the middle of a run) is
    // waited for as long as a run would wait, and never disturbed.
    const auto now = std::chrono::steady_clock::now();
    if (!d.probeDeadline)
        d.probeDeadline = now + (d.patient ? kProbePatience : std::chrono::milliseconds{0});
    const auto left = std::max(std::chrono::steady_clock::duration::zero(), *d.probeDeadline - now);
    const UnitLock lock(st.Lib(), h, std::chrono::duration_cast<std::chrono::milliseconds>(left));
    if (!lock.held()) {
        // A unit whose node cannot be opened is not in use: it says why.
        d.refused[key] = lock.heldElsewhere() ? Status::NotProbed : Status::Unopenable;
        d.lockErrors[key] = lock.error();
        return;
    }
    if (ProbeController(st, h)) return;
    if (FamilyRevision(path)) {
        d.refused[key] = Status::DeviceInfoUnreadable;
    } else {
        st.ForeignDevices.insert(key);
    }
}

// Probe pass. false when a unit is bound to the maker's own driver.
// Each index gives its disk unit, else its CD-ROM unit. Present units are
// numbered without gaps, so a class is not tried past its first free index.
bool ProbePass(StationCore& st, Discovery& d) {
    bool ended[2] = {false, false};
    for (int i = 0; i < kEnumerationIndexes && !(ended[0] && ended[1]); ++i) {
        Opened u;
        for (const bool cdrom : {false, true}) {
            if (ended[cdrom]) continue;
            u = OpenLogged(st, i, cdrom, d.logKept);
            ended[cdrom] = u.end();
            if (u.handle) break;
        }
        if (!u.handle) continue;
        const std::string& path = u.path;
        if (Has(path, "usbkorva")) {
            st.View().ShowMessage(kMsgForeignDriver, Icon::None);
            return false;
        }
        d.probeSeen.insert(DeviceKey(path));
        if (Probeable(path)) ProbeDevice(st, d, u.handle.get(), path);
    }
    return true;
}

// Takes one opened unit as a candidate, or closes it. false for a unit of a
// foreign device. Candidates beyond the table's 16 entries are closed and
// not recorded.
bool Take(StationCore& st, Discovery& d, std::vector<Candidate>& found, Opened u) {
    const std::string key = DeviceKey(u.path);
    if (st.ForeignDevices.count(key) != 0) return false;
    if (d.busy.count(key) != 0) return true;  // its row keeps its own handle
    if (found.size() >= static_cast<size_t>(kMaxPorts)) return true;
    // A device the probe pass never met (the enumeration moved under it, or
    // it could not be opened then) is probed now, before anything else.
    if (d.probeSeen.count(key) == 0 && Probeable(u.path)) {
        ProbeDevice(st, d, u.handle.get(), u.path);
        if (st.ForeignDevices.count(key) != 0) return false;
    }
    auto refused = d.refused.find(key);
    if (refused == d.refused.end()) {
        // The status read, tried twice. A device that does not answer it is
        // of another make unless its path names the family.
        Buffer b{};
        st.LastResult = st.Lib().VendorR(u.handle.get(), sub::kStatus, b.data());
        if (st.LastResult != 1)
            st.LastResult = st.Lib().VendorR(u.handle.get(), sub::kStatus, b.data());
        if (st.LastResult != 1) {
            if (!FamilyRevision(u.path)) {
                st.ForeignDevices.insert(key);
                return false;
            }
            refused = d.refused.emplace(key, Status::DeviceInfoUnreadable).first;
        }
    }
    const Status why = refused == d.refused.end() ? Status::Ok : refused->second;
    found.push_back({std::move(u.handle), u.path, why, d.lockErrors[key]});
    return true;
}

// One walk of the collecting pass over the enumeration indexes. Units met in
// an earlier walk of this discovery are closed again at once. `present`
// receives the path of every unit present; `met` tells whether the walk
// dealt with a unit for the first time. false when a unit is bound to the
// maker's own driver.
bool CollectingWalk(StationCore& st, Discovery& d, std::vector<Candidate>& found,
                    std::set<std::string>& withDisk, std::set<std::string>& present, bool& met) {
    bool ended[2] = {false, false};  // as in the probe pass
    for (int i = 0; i < kEnumerationIndexes && !(ended[0] && ended[1]); ++i) {
        for (const bool cdrom : {false, true}) {
            if (ended[cdrom]) continue;
            Opened u = OpenLogged(st, i, cdrom, d.logKept);
            ended[cdrom] = u.end();
            if (!u.present()) continue;
            const std::string path = u.path;
            present.insert(path);
            if (!cdrom) {
                withDisk.insert(DeviceKey(path));
                if (Has(path, "usbkorva")) {
                    st.View().ShowMessage(kMsgForeignDriver, Icon::None);
                    return false;
                }
            }
            // Units that are not taken are closed: off the USB stack, or not
            // of the family.
            if (!Collectable(path, cdrom) || d.collected.count(path) != 0) continue;
            if (!u.handle) {
                d.unopenable.insert(path);
                d.openErrors[path] = u.error;
                if (cdrom) d.cdromPaths.insert(path);
                continue;
            }
            d.collected.insert(path);
            d.unopenable.erase(path);
            met = true;
            if (Take(st, d, found, std::move(u)) && cdrom) st.NoCdromUnit = false;
        }
    }
    return true;
}

// Collecting pass. The enumeration indexes shift when a unit leaves during a
// walk, and a unit just plugged may not open yet: the walk is repeated until
// one meets no unit it had not seen, and while a unit of the family that is
// present cannot be opened, for a short time after an arrival. Candidates
// whose unit is gone by the end are dropped; a unit of the family that never
// opened becomes a port that says so.
bool CollectingPass(StationCore& st, Discovery& d, bool arrived, std::vector<Candidate>& found,
                    std::set<std::string>& withDisk) {
    const auto until = std::chrono::steady_clock::now() + kOpenPatience;
    std::set<std::string> present;
    for (int walk = 0; walk < kMaxWalks; ++walk) {
        present.clear();
        bool met = false;
        if (!CollectingWalk(st, d, found, withDisk, present, met)) return false;
        const bool waiting = std::any_of(d.unopenable.begin(), d.unopenable.end(),
                                         [&](const std::string& p) { return present.count(p); });
        if (!met && !waiting) break;
        if (!met) {
            if (!arrived || !d.patient || std::chrono::steady_clock::now() >= until) break;
            std::this_thread::sleep_for(kOpenRetryPause);
        }
    }
    found.erase(std::remove_if(found.begin(), found.end(),
                               [&](const Candidate& c) { return present.count(c.path) == 0; }),
                found.end());
    for (const std::string& path : d.unopenable) {
        if (present.count(path) == 0 || found.size() >= static_cast<size_t>(kMaxPorts)) continue;
        if (d.busy.count(DeviceKey(path)) != 0) continue;
        const bool cdrom = d.cdromPaths.count(path) != 0;
        if (cdrom) st.NoCdromUnit = false;
        found.push_back({OwnedHandle(), path, Status::Unopenable, d.openErrors[path]});
    }
    return true;
}

// The row's text for a refused unit; one that cannot be opened says why.
std::string RefusalText(const Candidate& c) {
    std::string text = FormatErrorText(Code(c.refusal));
    if (c.refusal == Status::Unopenable && c.openError != 0) {
        const char* name = ::strerrorname_np(c.openError);
        text += " (" + (name ? std::string(name) : "errno " + std::to_string(c.openError)) + ")";
    }
    return text;
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

// Shows what discovery makes of the unit now in port `p`: refused, a
// finished disk's loader unit, or ready.
void EvaluatePort(StationCore& st, int p, const Candidate& c,
                  const std::set<std::string>& withDisk) {
    const Status why = c.refusal;
    PortRecord& port = st.ports[static_cast<size_t>(p)];
    PortView& row = st.Row(p);
    int16_t& refused = st.Refused[static_cast<size_t>(p)];
    // A row that said why an earlier discovery refused its unit is
    // cleared for the unit found now.
    if (refused != 0 && refused != Code(Status::NoDiskUnit)) row.HideResults();
    const bool noDisk =
        Has(port.DevicePath, "cdrom") && withDisk.count(DeviceKey(port.DevicePath)) == 0;
    refused = why != Status::Ok ? Code(why) : noDisk ? Code(Status::NoDiskUnit) : 0;
    if (Has(port.DevicePath, "cdrom") && Has(port.DevicePath, "rev_8.00")) {
        st.NoCdromUnit = false;
        port.ErrorStatus = Code(Status::WriteProtected);
        row.SetPicture(Picture::Failed);
    } else if (why != Status::Ok) {
        // A unit of the family that cannot be prepared fails visibly, and
        // its row says why.
        port.ErrorStatus = Code(why);
        row.SetPicture(Picture::Failed);
        row.ShowColumn(Column::Format);
        row.SetMark(Column::Format, "X");
        row.SetText(Column::Format, RefusalText(c));
    } else {
        port.ErrorStatus = 0;
        row.SetPicture(Picture::Present);
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

// After a discovery: while a row shows a unit of the family that could not
// be opened or probed, later discoveries look again (see kLateOpenEvery). A discovery
// after a notice starts the time over; one that only looked again does not.
static void NoteUnopenable(StationCore& st, bool notice) {
    const int rows = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
    const bool waiting = std::any_of(st.Refused.begin(), st.Refused.begin() + rows,
                                     [](int16_t r) {
                                         return r == Code(Status::Unopenable) ||
                                                r == Code(Status::NotProbed);
                                     });
    using Clock = std::chrono::steady_clock;
    if (!waiting) {
        st.OpenRetryNext = st.OpenRetryUntil = {};
        return;
    }
    const auto now = Clock::now();
    if (notice || st.OpenRetryUntil == Clock::time_point{}) st.OpenRetryUntil = now + kLateOpenFor;
    st.OpenRetryNext = now + kLateOpenEvery;
    if (st.OpenRetryNext > st.OpenRetryUntil) st.OpenRetryNext = st.OpenRetryUntil = {};
}

bool OpenRetryDue(StationCore& st) {
    using Clock = std::chrono::steady_clock;
    if (st.OpenRetryNext == Clock::time_point{} || Clock::now() < st.OpenRetryNext) return false;
    st.OpenRetryNext = {};
    return true;
}

void PollingDiskStatus(StationCore& st, bool arrived, bool patient) {
    st.NoCdromUnit = true;
    st.ForeignDevices.clear();
    Discovery d;
    d.logKept = LibraryFolderProblem().empty();
    d.patient = patient;
    if (!ProbePass(st, d)) return;

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
    if (!CollectingPass(st, d, arrived, found, withDisk)) return;
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
        st.ports[p].DevicePath = found[p].path;
        st.ports[p].Handle = found[p].handle.release();
    }
    // Rows whose disk changed are cleared before they show what was found.
    ShowRows(st, n);
    for (int p = 0; p < n; ++p) EvaluatePort(st, p, found[p], withDisk);
    // Rows past the ports found keep no reason for a unit no longer there.
    for (int p = n; p < kMaxPorts; ++p) {
        int16_t& refused = st.Refused[static_cast<size_t>(p)];
        if (refused != 0 && refused != Code(Status::NoDiskUnit)) st.Row(p).HideResults();
        refused = 0;
    }
    st.DiskCount = static_cast<int16_t>(n);
    NoteUnopenable(st, arrived && patient);

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

namespace galmor {

void PollingDiskStatusKeeping(StationCore& st, bool arrived,
                              const std::array<bool, kMaxRunPorts>& busy, bool patient) {
    st.NoCdromUnit = true;
    st.ForeignDevices.clear();
    Discovery d;
    d.logKept = LibraryFolderProblem().empty();
    d.patient = patient;
    for (int r = 0; r < kMaxRunPorts; ++r) {
        const PortRecord& port = st.ports[static_cast<size_t>(r)];
        if (busy[static_cast<size_t>(r)] && !port.DevicePath.empty())
            d.busy.insert(DeviceKey(port.DevicePath));
    }
    if (!ProbePass(st, d)) return;
    if (!arrived) st.LastResult = st.Lib().KillEXE();

    std::vector<Candidate> found;
    std::set<std::string> withDisk;
    if (!CollectingPass(st, d, arrived, found, withDisk)) return;

    // Each disk found takes the row that showed it, else a free row that last
    // held a disk in the same USB port, else the first free row.
    struct Seat {
        UnitLocation at;
        std::string identity;
        int row = -1;
    };
    std::vector<Seat> seats(found.size());
    std::array<bool, kMaxRunPorts> taken = busy;
    for (size_t c = 0; c < found.size(); ++c) {
        Seat& s = seats[c];
        if (!st.Lib().GetUnitLocation(found[c].handle.get(), &s.at)) s.at = {};
        s.identity = s.at.port + "\n" + s.at.serial + "\n" + found[c].path;
    }
    const auto seat = [&](const std::function<bool(const Seat&, int)>& fits) {
        for (Seat& s : seats) {
            for (int r = 0; r < kMaxRunPorts && s.row < 0; ++r) {
                if (taken[static_cast<size_t>(r)] || !fits(s, r)) continue;
                s.row = r;
                taken[static_cast<size_t>(r)] = true;
            }
        }
    };
    seat([&](const Seat& s, int r) { return st.RowDisk[static_cast<size_t>(r)] == s.identity; });
    seat([&](const Seat& s, int r) {
        return !s.at.port.empty() &&
               st.rolling.sockets[static_cast<size_t>(r)].usbPort == s.at.port;
    });
    seat([&](const Seat&, int r) {
        return st.RowDisk[static_cast<size_t>(r)].empty() &&
               st.rolling.sockets[static_cast<size_t>(r)].usbPort.empty();
    });
    seat([](const Seat&, int) { return true; });

    // The free rows' old handles are closed, except one the library handed
    // out again to a unit taken now.
    int count = 0;
    for (int r = 0; r < kMaxPorts; ++r) {
        const size_t i = static_cast<size_t>(r);
        if (r < kMaxRunPorts && busy[i]) {
            count = r + 1;
            continue;
        }
        PortRecord& port = st.ports[i];
        const bool kept = std::any_of(found.begin(), found.end(), [&](const Candidate& c) {
            return c.handle.get() == port.Handle;
        });
        if (!kept) Sarnik::CloseHandle(port.Handle);
        port.Handle = 0;
        port.DevicePath.clear();
    }
    for (size_t c = 0; c < found.size(); ++c) {
        const Seat& s = seats[c];
        if (s.row < 0) continue;  // more disks than sockets: closed with `found`
        const size_t i = static_cast<size_t>(s.row);
        st.ports[i].DevicePath = found[c].path;
        st.ports[i].Handle = found[c].handle.release();
        count = std::max(count, s.row + 1);
    }
    // Free rows show what they hold now; a row whose disk changed is cleared
    // first. Busy rows are left exactly as their job keeps them.
    for (int r = 0; r < kMaxPorts; ++r) {
        const size_t i = static_cast<size_t>(r);
        if (r < kMaxRunPorts && busy[i]) continue;
        const auto s =
            std::find_if(seats.begin(), seats.end(), [r](const Seat& x) { return x.row == r; });
        PortView& row = st.Row(r);
        const std::string identity = s == seats.end() ? std::string() : s->identity;
        st.Locations[i] = s == seats.end() ? UnitLocation{} : s->at;
        // A disk that is still seated keeps the verdict its job showed (its
        // picture and error status) until it is pulled.
        const auto shown = r < kMaxRunPorts
                               ? static_cast<SocketState>(st.rolling.sockets[i].state.load())
                               : SocketState::Empty;
        const bool keepVerdict = !identity.empty() && identity == st.RowDisk[i] &&
                                 (shown == SocketState::Passed || shown == SocketState::Failed);
        if (identity != st.RowDisk[i]) {
            row.Reset(false);
            st.RowDisk[i] = identity;
        }
        row.SetDisk(Where(st.Locations[i]));
        if (s == seats.end()) {
            int16_t& refused = st.Refused[i];
            if (refused != 0 && refused != Code(Status::NoDiskUnit)) row.HideResults();
            refused = 0;
            st.ports[i].ErrorStatus = 0;
            row.SetPicture(Picture::Absent);
        } else if (!keepVerdict) {
            EvaluatePort(st, r, found[static_cast<size_t>(s - seats.begin())], withDisk);
        }
    }
    st.DiskCount = static_cast<int16_t>(count);
    NoteUnopenable(st, arrived && patient);
    // The batch controls stay off: the sockets start by themselves.
    StationView& v = st.View();
    v.SetEnabled(Button::Start, false);
    v.ShowLabel(Label::WaitingForDisk, count == 0);
}

}  // namespace galmor
