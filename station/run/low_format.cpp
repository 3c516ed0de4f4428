// The low-level format: Low level Format and Cancel, and the per-disk worker
// that erases every block of the disk's chips.
#include <unistd.h>

#include <chrono>
#include <functional>

#include "controller/controller.h"
#include "run/production_log.h"
#include "run/run.h"
#include "run/run_internal.h"

namespace galmor {

namespace {

// Restores the window after a low-level format that was not cancelled.
void LowFormatRestore(StationCore& st, bool showComplete) {
    StationWorkers& rs = st.workers;
    StationView& v = st.View();
    v.SetEnabled(Button::LowFormatCancel, false);
    if (showComplete) {
        v.ShowLabel(Label::LowFormatComplete, true);
        st.SetLowFormatComplete(true);
    }
    if (rs.lowFormatRunning.exchange(false)) {
        RestoreActionButtons(v);
        rs.lowFormatCancel = false;
        HideProgressBars(st);
    }
}

// The highest-numbered worker waits until every disk's worker has stopped,
// polling each disk's event every 100 ms.
void WaitForAllDisks(StationWorkers& rs, int count) {
    for (int k = 0; k < count; ++k) {
        while (!rs.events[static_cast<size_t>(k)].WaitFor(std::chrono::milliseconds(100))) {
            CheckStop();
        }
    }
}

// Sends the block format command for every block of the port's chips, in
// chip, zone, block order, with the row's progress bar following. false when
// `cancelled` said so before a block.
bool EraseBlocks(SarnikApi& lib, PortRecord& port, PortView& row,
                 const std::function<bool()>& cancelled) {
    const int32_t h = port.Handle;
    row.SetProgressMaximum(port.BlockCount);
    int blocks = 0;
    for (int c = 1; c <= port.ChipCount && c <= kChipTableSize; ++c) {
        const ChipEntry chip = port.Chips[static_cast<size_t>(c)];
        for (int z = 0; z < chip.Zones; ++z) {
            for (int b = 0; b < chip.BlocksPerZone; ++b) {
                if (cancelled()) return false;
                ++blocks;
                row.SetProgress(blocks);
                lib.VendorScan(h, sub::kEraseBlock, c - 1, z, b, 0, 0, kSector,
                               port.ReplyBuffer.data());
            }
        }
    }
    return true;
}

}  // namespace

bool EraseDisk(StationCore& st, int16_t disk, const std::function<bool()>& cancelled) {
    if (disk < 1 || disk > kMaxRunPorts) return false;
    PortRecord& port = st.ports[static_cast<size_t>(disk - 1)];
    PortView& row = st.Row(disk - 1);
    SarnikApi& lib = st.Lib();
    if (lib.VendorR(port.Handle, sub::kChipList, port.ReplyBuffer.data()) == 0 ||
        !ParseChipTable(port)) {
        return false;
    }
    row.SetProgress(0);
    row.ShowProgress(true);
    const bool done = EraseBlocks(lib, port, row, cancelled);
    row.ShowProgress(false);
    return done;
}

namespace {}  // namespace

void StopLowFormat(StationCore& st) {
    StationWorkers& rs = st.workers;
    const bool wasRunning = rs.lowFormatRunning.exchange(false);
    rs.lowFormatCancel = true;
    rs.lowFormat.StopAll();
    rs.lowFormatCancel = false;
    if (wasRunning) {
        StationView& v = st.View();
        RestoreActionButtons(v);
        v.SetEnabled(Button::LowFormatCancel, false);
    }
}

void cmdLowFor_Click(StationCore& st) {
    StationWorkers& rs = st.workers;
    if (!BeginAction(st)) return;

    StationView& v = st.View();
    v.SetEnabled(Button::Start, false);
    v.SetEnabled(Button::Scan, false);
    v.SetEnabled(Button::LowFormatCancel, true);

    const int count = PortCount(st);
    for (int i = 0; i < count; ++i) st.Row(i).HideResults();

    rs.lowFormatRunning = true;
    rs.lowFormatCancel = false;
    BeginLoggedRun(st);
    st.SetLowFormatComplete(false);
    st.SetLowFormatChipListFailed(false);
    st.SetLowFormatBusy(false);

    // Ports above 8 have no worker; the highest-numbered worker is that of
    // the last port served.
    const int disks = RunPortCount(st);
    rs.lowFormatDisks = static_cast<int16_t>(disks);
    for (auto& e : rs.events) e.Reset();

    if (disks == 0) {
        LowFormatRestore(st, false);
        v.SetEnabled(Button::Start, st.DiskCount.load() > 0);
        return;
    }

    // Device polling keeps away from the handles while the workers use them.
    st.RunInProgress = true;
    bool highestStarted = true;
    for (int n = 1; n <= disks; ++n) {
        if (!rs.lowFormat.Start(n - 1,
                                [&st, n] { LowLevelFormatWorker(st, static_cast<int16_t>(n)); })) {
            rs.events[static_cast<size_t>(n - 1)].Set();
            if (n == disks) highestStarted = false;
        }
    }
    v.SetEnabled(Button::LowFormat, false);

    if (!highestStarted) {
        // Nobody else would wait for the others and restore the window.
        WaitForAllDisks(rs, disks);
        if (!rs.lowFormatCancel) LowFormatRestore(st, true);
        st.RunInProgress = false;
    }
}

void LowLevelFormatWorker(StationCore& st, int16_t disk) {
    if (disk < 1 || disk > kMaxRunPorts) return;
    StationWorkers& rs = st.workers;
    int disks = rs.lowFormatDisks.load();
    if (disks == 0) disks = RunPortCount(st);
    const bool highest = disk == disks;
    PortEvent& event = rs.events[static_cast<size_t>(disk - 1)];
    PortRecord& port = st.ports[static_cast<size_t>(disk - 1)];
    PortView& row = st.Row(disk - 1);
    SarnikApi& lib = st.Lib();

    // However this worker ends (also on a stop request), its event is set and
    // the highest-numbered worker gives device polling back.
    struct Finally {
        PortEvent& event;
        StationCore& st;
        bool highest;
        ~Finally() {
            event.Set();
            if (highest) st.RunInProgress = false;
        }
    } finally{event, st, highest};

    auto endCancelled = [&] {
        event.Set();
        if (highest) WaitForAllDisks(rs, disks);
    };

    event.Reset();
    if (rs.lowFormatCancel) return endCancelled();
    const int32_t h = port.Handle;
    // Nothing is sent to a unit that another program holds.
    const UnitLock lock(lib, h, std::chrono::seconds(2));
    const Status refused = Refusal(st, disk - 1, lock);
    if (refused != Status::Ok) {
        st.SetLowFormatBusy(true);
        row.ShowMessage(FormatErrorText(Code(refused)), Icon::None);
        event.Set();
        if (!highest) return;
        WaitForAllDisks(rs, disks);
        if (!rs.lowFormatCancel) LowFormatRestore(st, true);
        return;
    }
    if (h > 0) ::fsync(h);  // result ignored, as for any flush of a device

    row.SetProgress(0);
    row.ShowProgress(true);

    // The production log keeps each disk's low-level format as its own kind.
    const auto started = std::chrono::steady_clock::now();
    auto record = [&](bool passed, const char* text) {
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        port.ConfigWritten = false;
        RecordDisk(st, static_cast<int16_t>(disk - 1), prodlog::RunKind::LowLevelFormat, {},
                   {{"low-level-format", secs}}, DiskOutcome{0, text, passed});
    };

    if (lib.VendorR(h, sub::kChipList, port.ReplyBuffer.data()) == 0 || !ParseChipTable(port)) {
        record(false, "Get ChipNumber fail");
        st.SetLowFormatChipListFailed(true);
        row.ShowMessage("Get ChipNumber fail", Icon::None);
        event.Set();
        if (!highest) return;
        // The highest-numbered worker still waits for the others and
        // restores the window.
        WaitForAllDisks(rs, disks);
        if (!rs.lowFormatCancel) LowFormatRestore(st, true);
        return;
    }
    if (!EraseBlocks(lib, port, row, [&rs] { return rs.lowFormatCancel.load(); })) {
        record(false, "Cancelled");
        return endCancelled();
    }

    record(true, "");
    event.Set();
    if (!highest) return;
    WaitForAllDisks(rs, disks);
    if (rs.lowFormatCancel) return;
    LowFormatRestore(st, true);
}

void cmdLowForCan_Click(StationCore& st) {
    StationWorkers& rs = st.workers;
    if (rs.lowFormatRunning.exchange(false)) rs.lowFormatCancel = true;
    StationView& v = st.View();
    RestoreActionButtons(v);
    v.SetEnabled(Button::LowFormatCancel, false);
    HideProgressBars(st);
}

bool LowFormatRunning(StationCore& st) {
    return st.workers.lowFormatRunning.load();
}

}  // namespace galmor
