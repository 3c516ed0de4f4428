// Scan: each port's disk scan and its "Check Config" column.
#include <cmath>

#include "controller/steps.h"
#include "core/status.h"
#include "media/media.h"
#include "run/production_log.h"
#include "run/run.h"
#include "run/run_internal.h"

namespace galmor {

void ScanCmd_Click(StationCore& st) {
    if (!BeginAction(st)) return;

    StationView& v = st.View();
    v.ShowBanner(false);
    st.HideBanner();
    for (int j = 0; j < kGridRows; ++j) ResetPortIndicators(st, false, j);
    WaitSeconds(st, 0.5f);
    v.ShowLabel(Label::LowFormatComplete, false);
    if (v.Enabled(Button::LowFormat)) v.SetEnabled(Button::LowFormat, false);

    // The bar is sized to the loader and reserve images in 64 KiB chunks.
    const auto padded = [](int32_t sectors) { return static_cast<float>(sectors) * kSector; };
    const float upper = padded(st.settings.LoaderImageSectors) - 1.0f +
                        padded(st.settings.ReserveImageSectors) - 1.0f;
    const int barMax = static_cast<int>(std::lrint(upper / 65536.0f));

    const int count = PortCount(st);
    st.SetServed(count);
    BeginLoggedRun(st, prodlog::RunKind::Scan);
    for (int p = 1; p <= count; ++p) {
        const PortJob job = st.Job(static_cast<int16_t>(p));
        PortView& view = job.view;
        job.port.ConfigWritten = false;
        StepClock clock;
        try {
            // A unit another program holds is not scanned; a CD-ROM unit
            // without a disk unit gets no configuration write.
            const UnitLock lock(job.lib, job.port.Handle, std::chrono::seconds(2));
            const Status refused = Refusal(st, p - 1, lock);
            if (refused != Status::Ok) {
                int16_t expected = 0;
                job.port.ErrorStatus.compare_exchange_strong(expected, Code(refused));
                view.Reset(true);
                view.SetPicture(Picture::Failed);
                view.ShowColumn(Column::CheckConfig);
                view.SetMark(Column::CheckConfig, "X");
                view.SetText(Column::CheckConfig, ScanErrorText(Code(refused)));
                continue;
            }
            view.Reset(true);
            view.SetProgress(0);
            view.SetProgressMaximum(barMax);
            view.ShowProgress(true);
            // A disk whose job was cut short after its configuration was
            // written is verified here, and its record completed.
            const int64_t unverified = FindUnverified(st, job);
            clock.Time("scan", [&] { ScanDisk7301(job); });
            if (unverified != 0) {
                if (job.port.ErrorStatus.load() == 0) VerifyConfigBlock(job);
                SettleUnverified(st, job.index(), unverified);
            }
            view.ShowProgress(false);
            view.ShowColumn(Column::CheckConfig);
            // A good disk gets its configuration block rewritten first (with
            // the reserved total of its own layout); the verdict shown is the
            // one after the rewrite.
            if (job.port.ErrorStatus.load() == 0) {
                clock.Time("manufacture", [&] {
                    if (LayoutValues7301(job)) SetUsbScsiStr(job);
                });
            }
            const int status = job.port.ErrorStatus.load();
            if (status != 0) view.SetPicture(Picture::Failed);
            const std::string mark = status != 0 ? "X" : "V";
            const std::string text =
                status != 0 ? ScanErrorText(status) : std::string("Compare Correct !");
            view.SetMark(Column::CheckConfig, mark);
            view.SetText(Column::CheckConfig, text);
        } catch (...) {
            // The scan only shows results; an error on one port stops nothing.
        }
        try {
            const int16_t index = job.index();
            RecordDisk(st, index, prodlog::RunKind::Scan, {"scan"}, clock.steps,
                       OutcomeOfPort(st, index));
        } catch (...) {
        }
    }
    UpdateDayStatus(st);

    v.SetEnabled(Button::Clear, true);
    if (!v.Enabled(Button::LowFormat)) v.SetEnabled(Button::LowFormat, true);
}

}  // namespace galmor
