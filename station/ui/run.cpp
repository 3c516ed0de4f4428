// The production run (Start and the per-disk job) and the operator's other
// buttons: Clear, low-level format with Cancel, the LED flashing, the test
// items and the scan.
#include "ui/run.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "controller/controller.h"
#include "controller/steps.h"
#include "core/discovery.h"
#include "core/station.h"
#include "core/workers.h"
#include "media/media.h"
#include "ui/grid.h"

namespace galmor {

namespace {

// Test items (Check1 indices).
constexpr int kItemFormat = 0;
constexpr int kItemManufacture = 1;
constexpr int kItemCheckConfig = 3;
constexpr int kItemCheckWp = 4;

// Codes for an unexpected failure that escaped a step: the media steps use
// 0xFF, the configuration, check and write-protect steps 0x87.
constexpr int16_t kMediaStepError = 0xFF;
constexpr int16_t kFormStepError = 0x87;

// LED flashing: 75 sectors from sector 0 per disk and round.
constexpr int kFlashSectors = 75;
constexpr int kLedRounds = 300;
constexpr int kFailedDiskRounds = 40;

int RunPortCount(const Station& st) {
    return std::clamp<int>(st.DiskCount.load(), 0, kMaxRunPorts);
}

bool ItemChecked(const Station& st, int index) {
    return st.model.Get("Check1", index).checked;
}

void SetPollingTimer(Station& st, bool on) {
    st.model.SetEnabled("Timer1", -1, on);
}

void UpdateTimerLabel(Station& st) {
    st.model.SetCaption("TimLab", -1, st.model.Get1("Timer1").enabled ? "True" : "False");
}

void GiveFocus(Station& st, const std::string& name) {
    st.model.RequestFocus(name);
}

// Marks a port failed unless an earlier step already stored a code.
void MarkFailed(Station& st, PortRecord& port, int16_t code) {
    int16_t expected = 0;
    port.ErrorStatus.compare_exchange_strong(expected, code);
    st.AnyFailed = true;
}

// Runs one step of a disk's job. A failure that escapes the step is not a
// pass: it marks the port with the step's code, and the job goes on to its
// end as for any other failure. A stop request passes through.
template <typename F>
void RunStep(Station& st, PortRecord& port, int16_t code, F&& step) {
    try {
        step();
    } catch (const StopRequested&) {
        throw;
    } catch (...) {
        MarkFailed(st, port, code);
    }
}

// The end of one disk's job: counts it, and the last one shows the result.
void FinishJob(Station& st, int runDisks) {
    // Increment and test in one step: exactly one job sees the last count.
    const int finished = st.FinishedCount.fetch_add(1) + 1;
    if (finished != runDisks) return;
    st.model.SetEnabled("ClearCmd", -1, true);
    st.model.SetEnabled("LedCmd", -1, true);
    SetPollingTimer(st, true);
    UpdateTimerLabel(st);
    try {
        ShowResult(st);
    } catch (...) {
        st.model.SetEnabled("ClearCmd", -1, true);
        st.RunInProgress = false;
    }
}

// Reads `rounds` times 75 sectors from sector 0 of the disks `wanted` picks,
// letting the window process its events after each round, and stops as soon
// as the LED button is disabled.
template <typename Pick>
void FlashDisks(Station& st, int rounds, Pick wanted) {
    if (!st.lib.Loaded()) return;
    std::vector<uint8_t> buffer(kFlashSectors * kSector);
    auto ledOn = [&st] { return st.model.Get1("LedCmd").enabled; };
    for (int r = 0; r < rounds && ledOn(); ++r) {
        const int count = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
        for (int i = 0; i < count; ++i) {
            if (!wanted(i)) continue;
            const int32_t h = st.ports[i].Handle;
            if (h != 0) st.lib.Read(h, kFlashSectors, 0, buffer.data());
        }
        if (st.ProcessEvents) st.ProcessEvents();
    }
}

void FlashFailedDisk(Station& st, int16_t index, int rounds) {
    if (index < 0 || index >= std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts)) return;
    if (!st.model.Get1("LedCmd").enabled) return;
    if (st.ports[index].ErrorStatus.load() == 0) return;
    FlashDisks(st, rounds, [index](int i) { return i == index; });
}

// --- Low-level format ---

// Restores the window after a low-level format that was not cancelled.
void LowFormatRestore(Station& st, StationWorkers& rs, bool showComplete) {
    WindowModel& m = st.model;
    m.SetEnabled("cmdLowForCan", -1, false);
    if (showComplete) m.SetVisible("Label6", -1, true);
    if (rs.lowFormatRunning.exchange(false)) {
        m.SetEnabled("GoCmd", -1, true);
        m.SetEnabled("ScanCmd", -1, true);
        m.SetEnabled("cmdLowFor", -1, true);
        rs.lowFormatCancel = false;
        const int count = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
        for (int i = 0; i < count; ++i) {
            m.SetVisible("ProgressBar", i, false);
            m.SetValue("ProgressBar", i, 0);
        }
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

// Joins the low-level format workers once they have ended or been cancelled,
// so that nothing else talks to the disks while they still send a block.
void SettleLowFormat(StationWorkers& rs) {
    if (!rs.lowFormatRunning) rs.lowFormat.JoinAll();
}

// A run or a low-level format is going on (their buttons are disabled then).
// Workers of a run that has shown its result may still be returning; they
// count as ended.
bool Busy(const Station& st, StationWorkers& rs) {
    return rs.lowFormatRunning || (st.RunInProgress && rs.run.BusyCount() > 0);
}

// Stops a low-level format at once (Clear, shutdown) and restores the buttons
// as Cancel would.
void StopLowFormat(Station& st, StationWorkers& rs) {
    const bool wasRunning = rs.lowFormatRunning.exchange(false);
    rs.lowFormatCancel = true;
    rs.lowFormat.StopAll();
    rs.lowFormatCancel = false;
    if (wasRunning) {
        st.model.SetEnabled("GoCmd", -1, true);
        st.model.SetEnabled("ScanCmd", -1, true);
        st.model.SetEnabled("cmdLowFor", -1, true);
        st.model.SetEnabled("cmdLowForCan", -1, false);
    }
}

}  // namespace

// --- Production run ---

void GoCmd_Click(Station& st) {
    StationWorkers& rs = st.workers;
    // A run never overlaps a low-level format or another run on the same disks.
    if (Busy(st, rs)) return;
    SettleLowFormat(rs);
    rs.run.JoinAll();

    WindowModel& m = st.model;
    m.SetEnabled("cmdLowFor", -1, false);
    m.SetVisible("Label6", -1, false);
    st.RunInProgress = true;

    m.SetVisible("WaitLab", -1, false);
    m.SetEnabled("GoCmd", -1, false);
    m.SetEnabled("ClearCmd", -1, true);
    m.SetEnabled("LedCmd", -1, false);

    SetPollingTimer(st, false);
    UpdateTimerLabel(st);

    if (!ItemChecked(st, kItemFormat) && !ItemChecked(st, kItemManufacture) &&
        !ItemChecked(st, kItemCheckConfig) && !ItemChecked(st, kItemCheckWp)) {
        m.ShowMessage("No items checked", Icon::Exclamation);
        m.SetEnabled("GoCmd", -1, true);
        GiveFocus(st, "GoCmd");
        st.RunInProgress = false;
        return;
    }

    st.AnyFailed = false;
    m.SetVisible("PassLab", -1, false);
    m.SetFront("PassLab", -1, false);

    {
        // The "Check Size (MB)" box read as an integer; a box that holds no
        // number leaves the capacity as it was.
        const std::string text = m.Get1("Combo1").caption;
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (end != text.c_str() && std::isfinite(v) && v >= INT16_MIN && v <= INT16_MAX) {
            st.settings.DiskCapacityMb = static_cast<int16_t>(std::nearbyint(v));
        }
    }

    // All rows of the grid, so a row left from an earlier run never shows old
    // results beside the new ones.
    for (int j = 0; j < kGridRows; ++j) ResetPortIndicators(st, false, j);

    st.FinishedCount = 0;
    // Ports above 8 have no worker: the run serves the first 8 and ends when
    // those have finished.
    const int disks = RunPortCount(st);
    rs.runDisks = static_cast<int16_t>(disks);

    if (disks == 0) {
        // Nothing to serve: the run ends at once, without a verdict.
        SetPollingTimer(st, true);
        UpdateTimerLabel(st);
        st.RunInProgress = false;
        m.SetEnabled("ClearCmd", -1, true);
        return;
    }

    for (int n = 1; n <= disks; ++n) {
        const bool started =
            rs.run.Start(n - 1, [&st, n] { JustDoIt(st, static_cast<int16_t>(n)); });
        if (!started) {
            // A disk whose worker could not be started is not processed; it
            // counts as a failed job so the run still ends.
            MarkFailed(st, st.ports[n - 1], kMediaStepError);
            FinishJob(st, disks);
        }
    }

    m.SetEnabled("ClearCmd", -1, true);
    m.SetEnabled("LedCmd", -1, true);
    UpdateTimerLabel(st);
}

void JustDoIt(Station& st, int16_t disk) {
    if (disk < 1 || disk > kMaxRunPorts) return;
    StationWorkers& rs = st.workers;
    int disks = rs.runDisks.load();
    if (disks == 0) disks = RunPortCount(st);
    PortRecord& port = st.ports[disk - 1];
    const int16_t index = static_cast<int16_t>(disk - 1);
    auto good = [&port] { return port.ErrorStatus.load() == 0; };

    if (ItemChecked(st, kItemFormat)) {
        RunStep(st, port, kMediaStepError, [&] { Format7301(st, disk); });
        WaitSeconds(st, 1.0f);
        if (good()) RunStep(st, port, kFormStepError, [&] { ClearIllegalUserPassword(st, disk); });
    }
    if (ItemChecked(st, kItemManufacture) && good()) {
        WaitSeconds(st, 1.0f);
        RunStep(st, port, kFormStepError, [&] { SetUsbScsiStr(st, index); });
    }
    if (ItemChecked(st, kItemCheckConfig) && good()) {
        WaitSeconds(st, 1.0f);
        RunStep(st, port, kFormStepError, [&] { TestCopyAndCompareFile(st, index); });
    }
    if (ItemChecked(st, kItemCheckWp) && good()) {
        RunStep(st, port, kFormStepError, [&] { CheckWriteProtect(st, index); });
    }

    // A disk that ends with an error status never leaves a passing banner,
    // whichever step stored the code.
    if (!good()) st.AnyFailed = true;

    // A job stopped by Clear never counts itself, so no verdict is shown.
    CheckStop();
    FinishJob(st, disks);
}

// --- Operator controls ---

void ClearCmd_Click(Station& st) {
    StationWorkers& rs = st.workers;
    WindowModel& m = st.model;

    // Stop the workers first (each before its next command) and only then
    // touch the window and the handles they used.
    rs.run.StopAll();
    StopLowFormat(st, rs);

    m.SetVisible("PassLab", -1, false);
    m.SetFront("PassLab", -1, false);

    const int count = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
    for (int n = 1; n <= count; ++n) {
        PortRecord& port = st.ports[n - 1];
        Sarnik::CloseHandle(port.Handle);
        port.Handle = 0;
    }

    for (int j = 0; j < kGridRows; ++j) ResetPortIndicators(st, false, j);
    m.SetEnabled("ClearCmd", -1, false);
    m.SetEnabled("LedCmd", -1, false);

    // No worker is left: device polling may run again.
    st.RunInProgress = false;

    PollingDiskStatus(st, true);
    WaitSeconds(st, 1.0f);

    if (st.DiskCount.load() != 0) {
        m.SetEnabled("GoCmd", -1, true);
        GiveFocus(st, "GoCmd");
    }

    SetPollingTimer(st, true);
    m.SetVisible("Label6", -1, false);
    if (!m.Get1("cmdLowFor").enabled) m.SetEnabled("cmdLowFor", -1, true);
}

void cmdLowFor_Click(Station& st) {
    StationWorkers& rs = st.workers;
    if (Busy(st, rs)) return;
    SettleLowFormat(rs);
    rs.run.JoinAll();

    WindowModel& m = st.model;
    m.SetEnabled("GoCmd", -1, false);
    m.SetEnabled("ScanCmd", -1, false);
    m.SetEnabled("cmdLowForCan", -1, true);

    static const char* const kLabels[] = {"LLG", "LLR", "FG", "FR", "CCG", "CCR", "CC1mG", "CC1mR"};
    const int count = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
    for (int i = 0; i < count; ++i) {
        for (const char* name : kLabels) {
            if (m.Get(name, i).visible) m.SetVisible(name, i, false);
        }
    }

    rs.lowFormatRunning = true;
    rs.lowFormatCancel = false;

    // Ports above 8 have no worker; the highest-numbered worker is that of
    // the last port served.
    const int disks = RunPortCount(st);
    rs.lowFormatDisks = static_cast<int16_t>(disks);
    for (auto& e : rs.events) e.Reset();

    if (disks == 0) {
        LowFormatRestore(st, rs, false);
        m.SetEnabled("GoCmd", -1, st.DiskCount.load() > 0);
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
    m.SetEnabled("cmdLowFor", -1, false);

    if (!highestStarted) {
        // Nobody else would wait for the others and restore the window.
        WaitForAllDisks(rs, disks);
        if (!rs.lowFormatCancel) LowFormatRestore(st, rs, true);
        st.RunInProgress = false;
    }
}

void LowLevelFormatWorker(Station& st, int16_t disk) {
    if (disk < 1 || disk > kMaxRunPorts) return;
    StationWorkers& rs = st.workers;
    int disks = rs.lowFormatDisks.load();
    if (disks == 0) disks = RunPortCount(st);
    const bool highest = disk == disks;
    PortEvent& event = rs.events[static_cast<size_t>(disk - 1)];
    PortRecord& port = st.ports[disk - 1];
    const int row = disk - 1;
    WindowModel& m = st.model;

    // However this worker ends (also on a stop request), its event is set and
    // the highest-numbered worker gives device polling back.
    struct Finally {
        PortEvent& event;
        Station& st;
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
    if (h > 0) ::fsync(h);  // result ignored, as for any flush of a device

    m.SetValue("ProgressBar", row, 0);
    m.SetVisible("ProgressBar", row, true);

    if (st.lib.VendorR(h, sub::kChipList, port.ReplyBuffer.data()) == 0 ||
        !ParseChipTable(st, disk)) {
        m.ShowMessage("Get ChipNumber fail", Icon::None);
        event.Set();
        if (!highest) return;
        // The highest-numbered worker still waits for the others and
        // restores the window.
        WaitForAllDisks(rs, disks);
        if (!rs.lowFormatCancel) LowFormatRestore(st, rs, true);
        return;
    }
    m.SetMaximum("ProgressBar", row, port.BlockCount);

    int blocks = 0;
    for (int c = 1; c <= port.ChipCount && c <= kChipTableSize; ++c) {
        const ChipEntry chip = port.Chips[static_cast<size_t>(c)];
        for (int z = 0; z < chip.Zones; ++z) {
            for (int b = 0; b < chip.BlocksPerZone; ++b) {
                if (rs.lowFormatCancel) return endCancelled();
                ++blocks;
                m.SetValue("ProgressBar", row, blocks);
                st.lib.VendorScan(h, sub::kEraseBlock, c - 1, z, b, 0, 0, kSector,
                                  port.ReplyBuffer.data());
            }
        }
    }

    event.Set();
    if (!highest) return;
    WaitForAllDisks(rs, disks);
    if (rs.lowFormatCancel) return;
    LowFormatRestore(st, rs, true);
}

void cmdLowForCan_Click(Station& st) {
    StationWorkers& rs = st.workers;
    if (rs.lowFormatRunning.exchange(false)) rs.lowFormatCancel = true;
    WindowModel& m = st.model;
    m.SetEnabled("GoCmd", -1, true);
    m.SetEnabled("ScanCmd", -1, true);
    m.SetEnabled("cmdLowFor", -1, true);
    m.SetEnabled("cmdLowForCan", -1, false);
    const int count = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
    for (int i = 0; i < count; ++i) {
        m.SetVisible("ProgressBar", i, false);
        m.SetValue("ProgressBar", i, 0);
    }
}

void LedCmd_Click(Station& st) {
    FlashDisks(st, kLedRounds, [&st](int i) { return st.ports[i].ErrorStatus.load() == 0; });
}

void ItemLab_Click(Station& st, int16_t index) {
    FlashFailedDisk(st, index, kFailedDiskRounds);
}

void ThumbImage_Click(Station& st, int16_t index) {
    FlashFailedDisk(st, index, kFailedDiskRounds);
}

void Check1_Click(Station& st, int16_t index) {
    WindowModel& m = st.model;
    if (!m.Exists("Check1", index) || !m.Get("Check1", index).checked) return;
    if (index == kItemCheckWp) {
        m.SetChecked("Check1", kItemFormat, false);
        m.SetChecked("Check1", kItemManufacture, false);
        m.SetChecked("Check1", kItemCheckConfig, false);
    } else {
        m.SetChecked("Check1", kItemCheckWp, false);
    }
}

// --- Scan ---

void ScanCmd_Click(Station& st) {
    StationWorkers& rs = st.workers;
    if (Busy(st, rs)) return;
    SettleLowFormat(rs);
    rs.run.JoinAll();

    WindowModel& m = st.model;
    m.SetVisible("PassLab", -1, false);
    for (int j = 0; j < kGridRows; ++j) ResetPortIndicators(st, false, j);
    WaitSeconds(st, 0.5f);
    m.SetVisible("Label6", -1, false);
    if (m.Get1("cmdLowFor").enabled) m.SetEnabled("cmdLowFor", -1, false);

    // The bar is sized to the loader and reserve images in 64 KiB chunks.
    const float upper = static_cast<float>(st.settings.LoaderImage.size()) - 1.0f +
                        static_cast<float>(st.settings.ReserveImage.size()) - 1.0f;
    const int barMax = static_cast<int>(std::lrint(upper / 65536.0f));

    const int count = std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
    for (int p = 1; p <= count; ++p) {
        const int row = p - 1;
        PortRecord& port = st.ports[row];
        try {
            ResetPortIndicators(st, true, row);
            m.SetValue("ProgressBar", row, 0);
            m.SetMaximum("ProgressBar", row, barMax);
            m.SetVisible("ProgressBar", row, true);
            ScanDisk7301(st, static_cast<int16_t>(p));
            m.SetVisible("ProgressBar", row, false);
            ShowPair(st, "CC1mG", "CC1mR", row);
            std::string mark, text;
            const int status = port.ErrorStatus.load();
            if (status != 0) {
                m.SetPicture("ThumbImage", row, kPictureFailed);
                mark = "X";
                if (status == 0xE1) {
                    text = "Loader Disk Error";
                } else if (status == 0xE2) {
                    text = "ReserveDisk Error";
                } else {
                    text = ErrorStatusText(status);
                }
            } else {
                mark = "V";
                text = "Compare Correct !";
                SetUsbScsiStr(st, static_cast<int16_t>(row));
            }
            m.SetCaption("CC1mG", row, mark);
            m.SetCaption("CC1mR", row, text);
        } catch (...) {
            // The scan only shows results; an error on one port stops nothing.
        }
    }

    m.SetEnabled("ClearCmd", -1, true);
    if (!m.Get1("cmdLowFor").enabled) m.SetEnabled("cmdLowFor", -1, true);
}

// --- For the program and the headless runner ---

void WaitForWorkers(Station& st) {
    StationWorkers& rs = st.workers;
    rs.run.JoinAll();
    rs.lowFormat.JoinAll();
}

void StopStationWorkers(Station& st) {
    StationWorkers& rs = st.workers;
    rs.run.StopAll();
    StopLowFormat(st, rs);
}

bool LowFormatRunning(Station& st) {
    return st.workers.lowFormatRunning.load();
}

}  // namespace galmor
