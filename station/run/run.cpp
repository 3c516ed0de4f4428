// The production run: Start, the per-disk job and the end-of-run report.
#include "run/run.h"

#include <cmath>
#include <cstdlib>

#include "controller/steps.h"
#include "core/status.h"
#include "media/media.h"
#include "run/production_log.h"
#include "run/run_internal.h"

namespace galmor {

namespace {

// Marks a port failed unless an earlier step already stored a code.
void MarkFailed(StationCore& st, PortRecord& port, Status code) {
    int16_t expected = 0;
    port.ErrorStatus.compare_exchange_strong(expected, Code(code));
    st.run.AnyFailed = true;
}

// Runs one step of a disk's job. A failure that escapes the step is not a
// pass: it marks the port with the step's code, and the job goes on to its
// end as for any other failure. A stop request passes through.
template <typename F>
void RunStep(StationCore& st, PortRecord& port, Status code, F&& step) {
    try {
        step();
    } catch (const StopRequested&) {
        throw;
    } catch (...) {
        MarkFailed(st, port, code);
    }
}

// The end of one disk's job: counts it, and the last one shows the result.
void FinishJob(StationCore& st, int runDisks) {
    // Increment and test in one step: exactly one job sees the last count.
    const int finished = st.FinishedCount.fetch_add(1) + 1;
    if (finished != runDisks) return;
    UpdateDayStatus(st);
    StationView& v = st.View();
    v.SetEnabled(Button::Clear, true);
    v.SetEnabled(Button::Led, true);
    SetPollingTimer(st, true);
    UpdateTimerLabel(st);
    try {
        ShowResult(st);
    } catch (...) {
        v.SetEnabled(Button::Clear, true);
        st.RunInProgress = false;
    }
}

// The "Check Size (MB)" box read as an integer; a box that holds no number
// leaves the capacity as it was.
void ReadCapacity(StationCore& st) {
    const std::string text = st.View().CapacityText();
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() && std::isfinite(v) && v >= INT16_MIN && v <= INT16_MAX) {
        st.run.DiskCapacityMb = static_cast<int16_t>(std::nearbyint(v));
    }
}

}  // namespace

bool BeginAction(StationCore& st) {
    StationWorkers& rs = st.workers;
    // Workers of a run that has shown its result may still be returning;
    // they count as ended.
    if (rs.lowFormatRunning || (st.RunInProgress && rs.run.BusyCount() > 0)) return false;
    // Rolling production owns the run's workers while it is armed.
    if (st.rolling.armed || st.rolling.running > 0) return false;
    if (!rs.lowFormatRunning) rs.lowFormat.JoinAll();
    rs.run.JoinAll();
    return true;
}

void ResetPortIndicators(StationCore& st, bool firstBuild, int port) {
    st.Row(port).Reset(firstBuild);
}

void GoCmd_Click(StationCore& st) {
    StationWorkers& rs = st.workers;
    // A run never overlaps a low-level format or another run on the same disks.
    if (!BeginAction(st)) return;

    StationView& v = st.View();
    v.SetEnabled(Button::LowFormat, false);
    v.ShowLabel(Label::LowFormatComplete, false);
    st.RunInProgress = true;

    v.ShowLabel(Label::WaitingForDisk, false);
    v.SetEnabled(Button::Start, false);
    v.SetEnabled(Button::Clear, true);
    v.SetEnabled(Button::Led, false);

    SetPollingTimer(st, false);
    UpdateTimerLabel(st);

    if (!v.Checked(TestItem::Format) && !v.Checked(TestItem::Manufacture) &&
        !v.Checked(TestItem::CheckConfig) && !v.Checked(TestItem::CheckWp)) {
        v.ShowMessage("No items checked", Icon::Exclamation);
        v.SetEnabled(Button::Start, true);
        v.Focus(Button::Start);
        st.RunInProgress = false;
        return;
    }

    st.run.AnyFailed = false;
    for (auto& f : st.run.PortFailed) f = false;
    st.run.CompareDisk = v.CompareDisk();
    if (st.run.DiskCapacityMb.load() == 0) st.run.DiskCapacityMb = st.settings.DiskCapacityMb;
    v.ShowBanner(false);
    v.BannerToFront(false);
    st.HideBanner();

    ReadCapacity(st);

    // All rows of the grid, so a row left from an earlier run never shows old
    // results beside the new ones.
    for (int j = 0; j < kGridRows; ++j) ResetPortIndicators(st, false, j);

    st.FinishedCount = 0;
    // Every port starts the run from the recipe's values, whatever an earlier
    // run decided for the disk then on it.
    st.run.ports.fill(PortRunValues::From(st.settings));
    BeginLoggedRun(st);
    // Ports above 8 have no worker: the run serves the first 8 and ends when
    // those have finished.
    const int disks = RunPortCount(st);
    rs.runDisks = static_cast<int16_t>(disks);
    st.SetServed(disks);

    if (disks == 0) {
        // Nothing to serve: the run ends at once, without a verdict.
        SetPollingTimer(st, true);
        UpdateTimerLabel(st);
        st.RunInProgress = false;
        v.SetEnabled(Button::Clear, true);
        return;
    }

    for (int n = 1; n <= disks; ++n) {
        const bool started =
            rs.run.Start(n - 1, [&st, n] { JustDoIt(st, static_cast<int16_t>(n)); });
        if (!started) {
            // A disk whose worker could not be started is not processed; it
            // counts as a failed job so the run still ends.
            MarkFailed(st, st.ports[static_cast<size_t>(n - 1)], Status::Runtime);
            FinishJob(st, disks);
        }
    }

    v.SetEnabled(Button::Clear, true);
    v.SetEnabled(Button::Led, true);
    UpdateTimerLabel(st);
}

void JustDoIt(StationCore& st, int16_t disk) {
    if (disk < 1 || disk > kMaxRunPorts) return;
    StationWorkers& rs = st.workers;
    int disks = rs.runDisks.load();
    if (disks == 0) disks = RunPortCount(st);
    DiskJob(st, disk);
    FinishJob(st, disks);
}

void DiskJob(StationCore& st, int16_t disk) {
    const PortJob job = st.Job(disk);
    PortRecord& port = job.port;
    StationView& v = st.View();
    auto good = [&port] { return port.ErrorStatus.load() == 0; };
    // The items as they stood when the job began and each step's duration,
    // for the production log.
    const std::vector<std::string> items = CheckedItems(st);
    StepClock clock;
    port.ConfigWritten = false;

    // Nothing is sent to a unit that another program holds, nor written to
    // a CD-ROM unit that no disk unit shows to be a flash disk.
    const UnitLock lock(job.lib, port.Handle, std::chrono::seconds(2));
    const Status refused = Refusal(st, disk - 1, lock);
    if (refused != Status::Ok) {
        job.view.SetStep("");
        MarkFailed(st, port, refused);
        job.view.ShowColumn(Column::Format);
        job.view.SetMark(Column::Format, "X");
        job.view.SetText(Column::Format, FormatErrorText(Code(refused)));
        CheckStop();
        // The log keeps the refused disks too, except one another program
        // holds: that one is the other program's to log.
        if (refused != Status::Busy && refused != Status::NotProbed) {
            RecordDisk(st, job.index(), prodlog::RunKind::Production, items, clock.steps,
                       OutcomeOfPort(st, job.index()));
        }
        return;
    }

    // The disk may carry an earlier run's configuration: its record is
    // replaced by this one.
    NoteDiskBeforeJob(st, job, true);

    if (v.Checked(TestItem::Format)) {
        job.view.SetStep(kStepFormat);
        clock.Time("format", [&] { RunStep(st, port, Status::Runtime, [&] { Format7301(job); }); });
        // A disk that failed is done with: its row says so at once.
        if (!good()) job.view.SetStep("");
        WaitSeconds(st, 1.0f);
        if (good()) {
            clock.Time("clear-password", [&] {
                RunStep(st, port, Status::InternalError, [&] { ClearIllegalUserPassword(job); });
            });
        }
    }
    if (v.Checked(TestItem::Manufacture) && good()) {
        job.view.SetStep("manufacturing");
        WaitSeconds(st, 1.0f);
        clock.Time("manufacture", [&] {
            RunStep(st, port, Status::InternalError, [&] {
                if (LayoutValues7301(job)) {
                    SetUsbScsiStr(job);
                    return;
                }
                // The disk's layout could not be worked out: nothing is written.
                job.view.ShowColumn(Column::ConfigString);
                job.view.SetMark(Column::ConfigString, "String = V");
                job.view.SetText(Column::ConfigString, "Write = X");
                job.view.SetPicture(Picture::Failed);
                job.Fail();
            });
        });
    }
    if (v.Checked(TestItem::CheckConfig) && good()) {
        job.view.SetStep("checking config");
        WaitSeconds(st, 1.0f);
        clock.Time("check-config", [&] {
            RunStep(st, port, Status::InternalError, [&] { TestCopyAndCompareFile(job); });
        });
    }
    if (v.Checked(TestItem::CheckWp) && good()) {
        job.view.SetStep("checking WP");
        clock.Time("check-wp", [&] {
            RunStep(st, port, Status::InternalError, [&] { CheckWriteProtect(job); });
        });
    }

    job.view.SetStep("");
    // A job stopped by Clear never counts itself, so no verdict is shown and
    // the disk is not recorded as made.
    CheckStop();
    RecordDisk(st, job.index(), prodlog::RunKind::Production, items, clock.steps,
               OutcomeOfPort(st, job.index()));

    // A disk that ends with an error status never leaves a passing banner,
    // whichever step stored the code.
    if (!good()) st.run.AnyFailed = true;
}

void ShowResult(StationCore& st) {
    StationView& v = st.View();
    try {
        v.SetEnabled(Button::Clear, true);
        v.ShowBanner(true);
        const int count = st.DiskCount.load();
        for (int i = 0; i < count && i < kMaxPorts; ++i) {
            const bool passed = st.ports[static_cast<size_t>(i)].ErrorStatus.load() == 0;
            st.Row(i).SetPicture(passed ? Picture::Passed : Picture::Failed);
        }
        v.BannerToFront(true);
        const bool failed = st.run.AnyFailed.load();
        std::string banner;
        if (failed) {
            banner = "! FAILED !";
        } else if (!v.Checked(TestItem::CheckWp)) {
            banner = "! ALL PASS !";
        }
        v.SetBannerText(banner);
        v.ShowBanner(true);
        v.BannerToFront(true);
        st.SetBanner(true, banner, failed, true);
        st.RunInProgress = false;
    } catch (...) {
        // The report must never leave the station locked in a run: the
        // operator can still clear it and start again.
        v.SetEnabled(Button::Clear, true);
        st.RunInProgress = false;
    }
    if (st.observer) {
        try {
            st.observer->RunEnded(st.Outcome());
        } catch (...) {
            // An observer's failure never ends the run differently.
        }
    }
}

}  // namespace galmor
