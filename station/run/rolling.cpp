// Rolling production: one job per socket, started when a fresh disk is
// seated, its verdict kept until the disk is pulled; the lot's counters.
#include "run/rolling.h"

#include <cstdlib>
#include <string>

#include "controller/config_block.h"
#include "controller/controller.h"
#include "core/monitor_link.h"
#include "core/status.h"
#include "run/discovery.h"
#include "run/production_log.h"
#include "run/run.h"
#include "run/run_internal.h"
#include "run/station.h"

namespace galmor {

namespace {

SocketState StateOf(const RollingSocket& s) {
    return static_cast<SocketState>(s.state.load());
}

void SetState(RollingSocket& s, SocketState state) {
    s.state = static_cast<int>(state);
}

void SetWaiting(RollingSocket& s) {
    SetState(s, SocketState::Waiting);
}

bool Waiting(const RollingSocket& s) {
    return StateOf(s) == SocketState::Waiting;
}

int HexValue(const std::string& text) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 16);
    return end == text.c_str() ? -1 : static_cast<int>(v);
}

// A unit that shows the finished revision: the loader unit of a disk made
// before, which discovery marks write-protected.
bool FinishedUnit(const StationCore& st, int r) {
    const PortRecord& port = st.ports[static_cast<size_t>(r)];
    return port.ErrorStatus.load() == Code(Status::WriteProtected) &&
           port.DevicePath.find("rev_8.0") != std::string::npos;
}

// The serial of a finished disk whose stored configuration carries this
// recipe's USB ids; false for another recipe's disk or an unreadable block.
bool MadeByThisRecipe(StationCore& st, int r, std::string* serial) {
    PortRecord& port = st.ports[static_cast<size_t>(r)];
    const UnitLock lock(st.Lib(), port.Handle);
    if (!lock.held()) return false;
    std::array<uint8_t, kSector> block{};
    if (st.Lib().VendorR(port.Handle, sub::kConfigRead, block.data()) != 1) return false;
    const std::optional<DecodedConfigBlock> d = DecodeConfigBlock(block.data(), block.size());
    if (!d || HexValue(d->Vid) != HexValue(st.settings.Vid) ||
        HexValue(d->Pid) != HexValue(st.settings.Pid)) {
        return false;
    }
    *serial = d->SerialNumber;
    return true;
}

// The job of socket `r` (0-based) on its worker thread.
void SocketJob(StationCore& st, int r) {
    RollingRun& rr = st.rolling;
    RollingSocket& s = rr.sockets[static_cast<size_t>(r)];
    const auto disk = static_cast<int16_t>(r + 1);
    // However the job ends (a stop request from Clear included), the socket
    // is handed back; a job cut short counts for nothing and is not restarted.
    struct End {
        RollingRun& rr;
        RollingSocket& s;
        bool done = false;
        ~End() {
            if (!done) SetState(s, SocketState::Held);
            s.ended = true;
            --rr.running;
        }
    } end{rr, s};

    PortRecord& port = st.ports[static_cast<size_t>(r)];
    PortView& row = st.Row(r);
    port.ErrorStatus = 0;
    port.ConfigWritten = false;
    st.run.PortFailed[static_cast<size_t>(r)] = false;
    // Each disk starts from the recipe's values, whatever the disk before it
    // in this socket came to.
    st.run.ports[static_cast<size_t>(r)] = PortRunValues::From(st.settings);
    BeginLoggedDisk(st, static_cast<int16_t>(r));

    bool erased = true;
    if (rr.lowLevelFormat && st.Refused[static_cast<size_t>(r)] == 0) {
        row.SetStep("low-level format");
        const UnitLock lock(st.Lib(), port.Handle, std::chrono::seconds(2));
        // A unit held elsewhere is left to the job, which says so.
        if (lock.held()) erased = EraseDisk(st, disk, [] { return false; });
        row.SetStep("");
    }
    if (erased) {
        DiskJob(st, disk);
    } else {
        // The chip list could not be read: nothing else is sent to the disk.
        port.ErrorStatus = static_cast<int16_t>(sub::kChipList);
        row.ShowColumn(Column::Format);
        row.SetMark(Column::Format, "X");
        row.SetText(Column::Format, FormatErrorText(port.ErrorStatus.load()));
        RecordDisk(st, static_cast<int16_t>(r), prodlog::RunKind::Production, CheckedItems(st), {},
                   OutcomeOfPort(st, static_cast<int16_t>(r)));
    }

    const bool passed =
        port.ErrorStatus.load() == 0 && !st.run.PortFailed[static_cast<size_t>(r)].load();
    row.SetPicture(passed ? Picture::Passed : Picture::Failed);
    s.serial.clear();
    if (port.ConfigWritten) {
        if (const auto d = DecodeConfigBlock(port.WrittenConfig.data(), port.WrittenConfig.size()))
            s.serial = d->SerialNumber;
    }
    ++(passed ? rr.passed : rr.failed);
    SetState(s, passed ? SocketState::Passed : SocketState::Failed);
    end.done = true;
}

bool LotAllowsStart(const RollingRun& rr) {
    return rr.target <= 0 || rr.passed.load() + rr.running.load() < rr.target;
}

// A socket whose disk changed: what the new disk is.
void Seat(StationCore& st, int r) {
    RollingRun& rr = st.rolling;
    RollingSocket& s = rr.sockets[static_cast<size_t>(r)];
    const PortRecord& port = st.ports[static_cast<size_t>(r)];
    s.disk = st.RowDisk[static_cast<size_t>(r)];
    s.rework = false;
    s.serial.clear();
    if (!st.Locations[static_cast<size_t>(r)].port.empty())
        s.usbPort = st.Locations[static_cast<size_t>(r)].port;
    if (s.disk.empty() || port.DevicePath.empty()) {
        SetState(s, SocketState::Empty);
    } else if (st.Refused[static_cast<size_t>(r)] != 0) {
        SetState(s, SocketState::Held);
    } else if (FinishedUnit(st, r)) {
        std::string serial;
        if (!MadeByThisRecipe(st, r, &serial)) {
            SetState(s, SocketState::Held);
        } else if (rr.rework) {
            SetWaiting(s);
        } else {
            s.serial = serial;
            SetState(s, SocketState::Finished);
            PortView& row = st.Row(r);
            row.SetPicture(Picture::Passed);
            row.ShowColumn(Column::Format);
            row.SetMark(Column::Format, "finished");
            row.SetText(Column::Format, serial);
        }
    } else {
        SetWaiting(s);
    }
}

void ShowLot(StationCore& st) {
    st.View().SetStatusLine("Lot " + st.rolling.lotId + ": " + RollingLot(st).Text());
}

}  // namespace

std::string LotCount::Text() const {
    std::string t = std::to_string(passed);
    if (target > 0) t += " of " + std::to_string(target);
    return t + " passed, " + std::to_string(failed) + " failed";
}

bool RollingArm(StationCore& st, bool on, const RollingOptions& opts) {
    RollingRun& rr = st.rolling;
    if (!on) {
        rr.armed = false;
        return true;
    }
    if (rr.armed) return true;
    StationWorkers& ws = st.workers;
    if (ws.lowFormatRunning || st.RunInProgress || ws.lowFormat.BusyCount() > 0) return false;
    if (rr.running.load() > 0) {
        // Armed again while jobs of its lot still run: the lot goes on.
        rr.armed = true;
        return true;
    }
    StationView& v = st.View();
    // A job with nothing to do would pass disks it never touched.
    if (!opts.lowLevelFormat && !v.Checked(TestItem::Format) && !v.Checked(TestItem::Manufacture) &&
        !v.Checked(TestItem::CheckConfig) && !v.Checked(TestItem::CheckWp)) {
        v.ShowMessage("No items checked", Icon::Exclamation);
        return false;
    }
    ws.run.JoinAll();
    ws.lowFormat.JoinAll();
    rr.lowLevelFormat = opts.lowLevelFormat;
    rr.rework = opts.rework;
    rr.target = opts.lot;
    rr.passed = 0;
    rr.failed = 0;
    rr.lotBannerShown = false;
    BeginLoggedRun(st);
    rr.lotId = LotIdOf(st);
    // The boxes as they stand now serve every job of the lot.
    st.run.AnyFailed = false;
    st.run.CompareDisk = v.CompareDisk();
    if (st.run.DiskCapacityMb.load() == 0) st.run.DiskCapacityMb = st.settings.DiskCapacityMb;
    v.ShowBanner(false);
    v.BannerToFront(false);
    st.HideBanner();
    // A new lot keeps what the sockets show: a disk that passed in the last
    // lot and is still seated is not run again. With re-work, the finished
    // disks seated now are.
    for (auto& s : rr.sockets) {
        if (opts.rework && StateOf(s) == SocketState::Finished) SetWaiting(s);
    }
    rr.armed = true;
    // The disks present now are looked at again.
    rr.rediscover = true;
    RollingTick(st);
    return true;
}

bool RollingArmed(const StationCore& st) {
    return st.rolling.armed.load();
}

bool RollingTick(StationCore& st, std::vector<int>* finished) {
    return RollingTick(st, [finished](int row, bool) {
        if (finished) finished->push_back(row);
    });
}

bool RollingTick(StationCore& st, const std::function<void(int row, bool passed)>& ended) {
    RollingRun& rr = st.rolling;
    bool changed = false;
    for (int r = 0; r < kMaxRunPorts; ++r) {
        RollingSocket& s = rr.sockets[static_cast<size_t>(r)];
        if (!s.ended.exchange(false)) continue;
        // Join the ended thread so the socket's worker is free again.
        st.workers.run.at(r).Join();
        const SocketState state = StateOf(s);
        if (ended && (state == SocketState::Passed || state == SocketState::Failed))
            ended(r, state == SocketState::Passed);
        // The disk may have left during its job.
        rr.rediscover = true;
        changed = true;
    }
    if (!rr.armed && rr.running.load() == 0 && !changed) return false;

    const int16_t event = st.DeviceEvent;
    const bool pending = event == kDeviceEventArrival || event == kDeviceEventRemoval;
    const bool again = !pending && !rr.rediscover && OpenRetryDue(st);
    if (pending || rr.rediscover || again) {
        if (pending) st.DeviceEvent = kDeviceEventHandled;
        rr.rediscover = false;
        std::array<bool, kMaxRunPorts> busy{};
        for (int r = 0; r < kMaxRunPorts; ++r)
            busy[static_cast<size_t>(r)] =
                StateOf(rr.sockets[static_cast<size_t>(r)]) == SocketState::Running;
        PollingDiskStatusKeeping(st, event != kDeviceEventRemoval, busy, !again);
        changed = true;
    }

    for (int r = 0; r < kMaxRunPorts; ++r) {
        RollingSocket& s = rr.sockets[static_cast<size_t>(r)];
        if (StateOf(s) == SocketState::Running) continue;
        if (s.disk != st.RowDisk[static_cast<size_t>(r)]) {
            Seat(st, r);
            changed = true;
        }
        if (s.rework && StateOf(s) != SocketState::Empty) {
            s.rework = false;
            SetWaiting(s);
        }
        if (!Waiting(s) || !rr.armed || !LotAllowsStart(rr)) continue;
        st.Row(r).Reset(false);
        SetState(s, SocketState::Running);
        ++rr.running;
        if (!st.workers.run.Start(r, [&st, r] { SocketJob(st, r); })) {
            // No thread: the disk is not processed and says so.
            --rr.running;
            SetState(s, SocketState::Failed);
            st.ports[static_cast<size_t>(r)].ErrorStatus = Code(Status::Runtime);
            st.Row(r).SetPicture(Picture::Failed);
        }
        changed = true;
    }

    const LotCount lot = RollingLot(st);
    if (lot.complete && !rr.lotBannerShown) {
        rr.lotBannerShown = true;
        StationView& v = st.View();
        const bool failed = lot.failed > 0;
        const std::string banner = failed ? "! FAILED !" : "! ALL PASS !";
        v.SetBannerText(banner);
        v.ShowBanner(true);
        v.BannerToFront(true);
        st.SetBanner(true, banner, failed, true);
        changed = true;
    }
    if (changed) ShowLot(st);
    return changed;
}

LotCount RollingLot(const StationCore& st) {
    const RollingRun& rr = st.rolling;
    LotCount c;
    c.id = rr.lotId;
    c.target = rr.target;
    c.passed = rr.passed.load();
    c.failed = rr.failed.load();
    c.running = rr.running.load();
    c.complete = c.target > 0 && c.passed >= c.target && c.running == 0;
    return c;
}

std::vector<SocketInfo> RollingSockets(const StationCore& st) {
    std::vector<SocketInfo> out;
    for (int r = 0; r < kMaxRunPorts; ++r) {
        const RollingSocket& s = st.rolling.sockets[static_cast<size_t>(r)];
        SocketInfo i;
        i.row = r;
        i.state = StateOf(s);
        i.status = st.ports[static_cast<size_t>(r)].ErrorStatus.load();
        if (i.state != SocketState::Running) i.serial = s.serial;
        i.usbPort = st.Locations[static_cast<size_t>(r)].port;
        out.push_back(std::move(i));
    }
    return out;
}

bool ReworkPort(StationCore& st, int port) {
    if (port < 0 || port >= kMaxRunPorts) return false;
    RollingSocket& s = st.rolling.sockets[static_cast<size_t>(port)];
    const SocketState state = StateOf(s);
    if (state == SocketState::Empty || state == SocketState::Running ||
        st.Refused[static_cast<size_t>(port)] != 0) {
        return false;
    }
    s.rework = true;
    return true;
}

}  // namespace galmor
