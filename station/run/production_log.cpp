#include "run/production_log.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <optional>

#include "controller/config_block.h"
#include "controller/controller.h"
#include "core/status.h"
#include "prodlog/printer.h"
#include "prodlog/serials.h"
#include "run/station.h"

namespace galmor {

namespace {

struct ItemName {
    const char* name;
    TestItem item;
};
constexpr ItemName kItems[] = {{"format", TestItem::Format},
                               {"manufacture", TestItem::Manufacture},
                               {"check-config", TestItem::CheckConfig},
                               {"check-wp", TestItem::CheckWp}};

constexpr const char* kColumnNames[kColumnCount] = {"format", "config_string", "check_config",
                                                    "check_wp"};

uint16_t Hex16(const std::string& text) {
    unsigned v = 0;
    for (char c : text) {
        v <<= 4;
        if (c >= '0' && c <= '9') {
            v |= static_cast<unsigned>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            v |= static_cast<unsigned>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            v |= static_cast<unsigned>(c - 'a' + 10);
        } else {
            return 0;
        }
    }
    return static_cast<uint16_t>(v);
}

std::string Trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

prodlog::SerialOutcome Reserve(StationCore& st, StationLog& log, int16_t index, bool fixed,
                               const std::string& prefix,
                               const std::function<std::string()>& draw) {
    prodlog::SerialRequest req;
    req.vid = Hex16(st.settings.Vid);
    req.pid = Hex16(st.settings.Pid);
    req.fixed = fixed;
    req.prefix = prefix;
    req.station = log.station;
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        req.run_id = log.run_id;
    }
    prodlog::SerialOutcome o = prodlog::ReserveSerial(log.store.get(), req, draw);
    if (index >= 0 && index < kMaxPorts) log.reserved[static_cast<size_t>(index)] = o.reserved;
    return o;
}

prodlog::LogResult Append(StationCore& st, StationLog& log, int16_t index, prodlog::RunKind kind,
                          const std::vector<std::string>& items,
                          const std::vector<prodlog::StepTime>& steps, const DiskOutcome& outcome) {
    PortRecord& port = st.ports[static_cast<size_t>(index)];
    prodlog::DiskRecord r;
    r.logged_at = prodlog::UtcNow();
    r.station = log.station;
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        r.run_id = log.run_id;
        r.lot_id = log.lot_id;
    }
    r.kind = kind;
    r.port = index;
    r.device_path = port.DevicePath;
    r.recipe_digest = log.recipe.digest;
    r.recipe_files = log.recipe.files;
    r.items = items;

    StationLog::PortLog pl;
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        pl = log.ports[static_cast<size_t>(index)];
        log.ports[static_cast<size_t>(index)].configured = 0;
    }
    r.id = pl.configured;  // completes the record written before the block
    if (pl.supersede) r.prior = pl.prior;
    // The identity and serial as the controller was sent them; when the
    // write itself failed, as they were announced (the disk may hold them).
    const std::optional<DecodedConfigBlock> block =
        port.ConfigWritten ? DecodeConfigBlock(port.WrittenConfig.data(), port.WrittenConfig.size())
        : pl.configured    ? DecodeConfigBlock(pl.block.data(), pl.block.size())
                           : std::nullopt;
    if (block) {
        r.usb_vid = Hex16(block->Vid);
        r.usb_pid = Hex16(block->Pid);
        r.bcd_device = static_cast<uint16_t>(0x0100 | block->Revision);
        r.usb_manufacturer = block->UsbManufacturer;
        r.usb_product = block->UsbProduct;
        r.scsi_vendor = Trimmed(block->ScsiVendor);
        r.scsi_product = Trimmed(block->ScsiProduct);
        r.serial = block->SerialNumber;
        r.serial_reserved = log.reserved[static_cast<size_t>(index)];
    }
    r.error_status = outcome.error_status;
    r.error_text = outcome.error_text;
    r.passed = outcome.passed;
    for (int c = 0; c < kColumnCount; ++c) {
        const ColumnOutcome shown = st.Shown(index, static_cast<Column>(c));
        r.columns.push_back({kColumnNames[c], shown.mark, shown.text});
    }
    r.steps = steps;
    return log.store->Append(&r);
}

// The record of a disk whose block is about to be written: durable before
// the block goes out.
bool Announce(StationCore& st, StationLog& log, int16_t index,
              const std::array<uint8_t, kSector>& block, std::string* message) {
    if (index < 0 || index >= kMaxPorts) return true;
    const std::optional<DecodedConfigBlock> d = DecodeConfigBlock(block.data(), block.size());
    if (!d) return true;  // nothing a host would read as a serial
    prodlog::DiskRecord r;
    r.logged_at = prodlog::UtcNow();
    r.station = log.station;
    StationLog::PortLog& pl = log.ports[static_cast<size_t>(index)];
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        r.run_id = log.run_id;
        r.lot_id = log.lot_id;
        r.kind = log.kind;
        if (log.kind == prodlog::RunKind::Scan) pl.supersede = true;
        r.prior = pl.prior;
    }
    r.port = index;
    r.device_path = st.ports[static_cast<size_t>(index)].DevicePath;
    r.recipe_digest = log.recipe.digest;
    r.recipe_files = log.recipe.files;
    r.items =
        r.kind == prodlog::RunKind::Scan ? std::vector<std::string>{"scan"} : CheckedItems(st);
    r.usb_vid = Hex16(d->Vid);
    r.usb_pid = Hex16(d->Pid);
    r.bcd_device = static_cast<uint16_t>(0x0100 | d->Revision);
    r.usb_manufacturer = d->UsbManufacturer;
    r.usb_product = d->UsbProduct;
    r.scsi_vendor = Trimmed(d->ScsiVendor);
    r.scsi_product = Trimmed(d->ScsiProduct);
    r.serial = d->SerialNumber;
    r.serial_reserved = log.reserved[static_cast<size_t>(index)];
    r.state = prodlog::RecordState::Configured;
    r.passed = false;
    prodlog::LogResult s;
    try {
        s = log.store->Append(&r);
    } catch (const std::exception& e) {
        s = prodlog::LogResult::Fail(e.what());
    }
    if (!s.ok) {
        *message =
            "the production log cannot take the disk's record, so its configuration is "
            "not written: " +
            s.message;
        return false;
    }
    std::lock_guard<std::mutex> lock(log.mutex);
    pl.configured = r.id;
    pl.block = block;
    return true;
}

// The configuration block the disk holds now, as far as it can be read.
prodlog::PriorConfig ReadDiskConfig(const PortJob& job) {
    prodlog::PriorConfig prior;
    std::array<uint8_t, kSector> stored{};
    if (job.lib.VendorR(job.port.Handle, sub::kConfigRead, stored.data()) != 1) return prior;
    const std::optional<DecodedConfigBlock> d = DecodeConfigBlock(stored.data(), stored.size());
    if (!d || !d->HeaderOk || !d->SerialOk) return prior;
    prior.usb_vid = Hex16(d->Vid);
    prior.usb_pid = Hex16(d->Pid);
    prior.serial = d->SerialNumber;
    return prior;
}

}  // namespace

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "station";
    return name;
}

bool OpenProductionLog(StationCore& st, const LogSetup& setup, std::string* error) {
    st.run.serial.SetReserver(nullptr);
    st.run.serial.SetAnnouncer(nullptr);
    st.log.reset();
    if (setup.disabled) return true;

    auto log = std::make_shared<StationLog>();
    log->station = setup.station.empty() ? HostName() : setup.station;

    // The recipe as it was read: Product.ini and the image files it names.
    std::vector<prodlog::RecipeFile> files;
    std::vector<std::string> paths = {st.HomeDir + "/Product.ini"};
    if (!st.settings.LoaderImagePath.empty()) paths.push_back(st.settings.LoaderImagePath);
    if (!st.settings.ReserveImagePath.empty()) paths.push_back(st.settings.ReserveImagePath);
    for (const auto& path : paths) {
        prodlog::RecipeFile f;
        f.name = std::filesystem::path(path).filename().string();
        if (!prodlog::Sha256File(path, &f.sha256, error)) return false;
        files.push_back(std::move(f));
    }
    log->recipe = prodlog::DigestRecipe(files);

    log->store = prodlog::OpenStore(setup.url, error);
    if (!log->store) return false;

    st.log = log;
    StationLog* raw = log.get();
    st.run.serial.SetAnnouncer(
        [&st, raw](int16_t index, const std::array<uint8_t, kSector>& block, std::string* message) {
            return Announce(st, *raw, index, block, message);
        });
    st.run.serial.SetReserver([&st, raw](int16_t index, bool fixed, const std::string& prefix,
                                         const std::function<std::string()>& draw) {
        const prodlog::SerialOutcome o = Reserve(st, *raw, index, fixed, prefix, draw);
        SerialReservation r;
        r.ok = o.ok;
        r.serial = o.serial;
        r.message = o.message;
        return r;
    });
    BeginLoggedRun(st);
    UpdateDayStatus(st);
    return true;
}

void BeginLoggedRun(StationCore& st, prodlog::RunKind kind) {
    const std::shared_ptr<StationLog> log = st.log;
    if (!log) return;
    static std::atomic<int> runs{0};
    std::string stamp = prodlog::UtcNow();  // 2026-12-07T08:00:00.000Z
    stamp.erase(
        std::remove_if(stamp.begin(), stamp.end(), [](char c) { return c == '-' || c == ':'; }),
        stamp.end());
    stamp = stamp.substr(0, 15) + "Z";  // 20261207T080000Z
    std::lock_guard<std::mutex> lock(log->mutex);
    log->run_id = stamp + "-" + std::to_string(getpid()) + "-" + std::to_string(++runs);
    log->lot_id.clear();
    log->kind = kind;
    for (auto& r : log->reserved) r = false;
    for (auto& p : log->ports) p = StationLog::PortLog{};
}

void BeginLoggedDisk(StationCore& st, int16_t index) {
    const std::shared_ptr<StationLog> log = st.log;
    if (!log || index < 0 || index >= kMaxPorts) return;
    std::lock_guard<std::mutex> lock(log->mutex);
    log->reserved[static_cast<size_t>(index)] = false;
    log->ports[static_cast<size_t>(index)] = StationLog::PortLog{};
}

std::string LotIdOf(StationCore& st) {
    std::string id;
    const std::shared_ptr<StationLog> log = st.log;
    if (log) {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->lot_id = log->run_id;
        id = log->run_id;
    }
    if (id.empty()) {
        std::string stamp = prodlog::UtcNow();
        stamp.erase(
            std::remove_if(stamp.begin(), stamp.end(), [](char c) { return c == '-' || c == ':'; }),
            stamp.end());
        id = stamp.substr(0, 15) + "Z-" + std::to_string(getpid());
    }
    return id;
}

void NoteDiskBeforeJob(StationCore& st, const PortJob& job, bool supersede) {
    const std::shared_ptr<StationLog> log = st.log;
    const int16_t index = job.index();
    if (!log || index < 0 || index >= kMaxPorts) return;
    const prodlog::PriorConfig prior = ReadDiskConfig(job);
    std::lock_guard<std::mutex> lock(log->mutex);
    StationLog::PortLog& pl = log->ports[static_cast<size_t>(index)];
    pl = StationLog::PortLog{};
    pl.prior = prior;
    pl.supersede = supersede;
}

int64_t FindUnverified(StationCore& st, const PortJob& job) {
    const std::shared_ptr<StationLog> log = st.log;
    if (!log) return 0;
    NoteDiskBeforeJob(st, job, false);
    prodlog::PriorConfig prior;
    {
        std::lock_guard<std::mutex> lock(log->mutex);
        prior = log->ports[static_cast<size_t>(job.index())].prior;
    }
    if (prior.serial.empty()) return 0;
    prodlog::DiskRecord r;
    bool found = false;
    try {
        if (!log->store->FindUnfinished(prior.usb_vid, prior.usb_pid, prior.serial, &r, &found).ok)
            return 0;
    } catch (const std::exception&) {
        return 0;
    }
    return found ? r.id : 0;
}

void SettleUnverified(StationCore& st, int16_t index, int64_t id) {
    const std::shared_ptr<StationLog> log = st.log;
    if (!log || id == 0) return;
    const DiskOutcome o = OutcomeOfPort(st, index);
    prodlog::LogResult s;
    try {
        s = log->store->Settle(id, o.passed, o.error_status, o.error_text);
    } catch (const std::exception& e) {
        s = prodlog::LogResult::Fail(e.what());
    }
    if (!s.ok) {
        st.Row(index).ShowMessage("Disk " + std::to_string(index) +
                                      ": its unfinished production record could not be "
                                      "completed: " +
                                      s.message,
                                  Icon::Error);
    }
}

void ShowUnverifiedDisks(StationCore& st) {
    const std::shared_ptr<StationLog> log = st.log;
    if (!log) return;
    const int count = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
    for (int p = 1; p <= count; ++p) {
        try {
            // A port discovery refused (not proved a disk of the family,
            // held elsewhere) is sent no vendor command, not even this read.
            if (st.Refused[static_cast<size_t>(p - 1)] != 0) continue;
            const PortJob job = st.Job(static_cast<int16_t>(p));
            if (job.port.Handle == 0 || FindUnverified(st, job) == 0) continue;
            job.view.ShowColumn(Column::CheckConfig);
            job.view.SetMark(Column::CheckConfig, "?");
            job.view.SetText(Column::CheckConfig, "Not verified");
        } catch (...) {
            // Information only: the disk is still there to be scanned.
        }
    }
}

std::vector<std::string> CheckedItems(StationCore& st) {
    std::vector<std::string> out;
    for (const auto& item : kItems) {
        if (st.View().Checked(item.item)) out.push_back(item.name);
    }
    return out;
}

DiskOutcome OutcomeOfPort(const StationCore& st, int16_t index) {
    DiskOutcome o;
    if (index < 0 || index >= kMaxPorts) return o;
    o.error_status = st.ports[static_cast<size_t>(index)].ErrorStatus.load();
    o.passed = o.error_status == 0;
    if (!o.passed) o.error_text = FormatErrorText(o.error_status);
    return o;
}

void RecordDisk(StationCore& st, int16_t index, prodlog::RunKind kind,
                const std::vector<std::string>& items, const std::vector<prodlog::StepTime>& steps,
                const DiskOutcome& outcome) {
    const std::shared_ptr<StationLog> log = st.log;
    if (!log || index < 0 || index >= kMaxPorts) return;
    prodlog::LogResult s;
    try {
        s = Append(st, *log, index, kind, items, steps, outcome);
    } catch (const std::exception& e) {
        s = prodlog::LogResult::Fail(e.what());
    }
    if (s.ok) return;
    // A disk that is not in the log must not count as made.
    PortRecord& port = st.ports[static_cast<size_t>(index)];
    int16_t expected = 0;
    port.ErrorStatus.compare_exchange_strong(expected, Code(Status::InternalError));
    st.run.AnyFailed = true;
    st.Row(index).ShowMessage(
        "Disk " + std::to_string(index) +
            " is not in the production log and counts as failed: " + s.message,
        Icon::Error);
}

void UpdateDayStatus(StationCore& st) {
    const std::shared_ptr<StationLog> log = st.log;
    if (!log) return;
    try {
        // Today in local time, counted by the store (one indexed range of
        // this station's day, however long the history).
        prodlog::LogFilter f;
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        localtime_r(&now, &tm);
        char day[16];
        std::strftime(day, sizeof day, "%Y-%m-%d", &tm);
        if (!prodlog::LocalDayRange(day, false, &f.since, &f.until)) return;
        f.station = log->station;
        std::vector<prodlog::DiskTally> tallies;
        if (!log->store->Count(f, 0, &tallies).ok) return;
        prodlog::DaySummary today;
        for (const auto& t : tallies) {
            today.disks += static_cast<int>(t.disks);
            (t.passed ? today.passed : today.failed) += static_cast<int>(t.disks);
        }
        st.View().SetStatusLine(prodlog::StatusLine(today));
    } catch (const std::exception&) {
        // The status line is information only.
    }
}

}  // namespace galmor
