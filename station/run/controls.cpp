// The operator's other buttons: Clear, the LED flashing, the test items, and
// what the program and the headless runner need to end the workers.
#include <vector>

#include "run/discovery.h"
#include "run/run.h"
#include "run/run_internal.h"

namespace galmor {

namespace {

// LED flashing: 75 sectors from sector 0 per disk and round.
constexpr int kFlashSectors = 75;
constexpr int kLedRounds = 300;
constexpr int kFailedDiskRounds = 40;

// Reads `rounds` times 75 sectors from sector 0 of the disks `wanted` picks,
// letting the window process its events after each round, and stops as soon
// as the LED button is disabled.
template <typename Pick>
void FlashDisks(StationCore& st, int rounds, Pick wanted) {
    SarnikApi& lib = st.Lib();
    if (!lib.Loaded()) return;
    std::vector<uint8_t> buffer(kFlashSectors * kSector);
    auto ledOn = [&st] { return st.View().Enabled(Button::Led); };
    for (int r = 0; r < rounds && ledOn(); ++r) {
        const int count = PortCount(st);
        for (int i = 0; i < count; ++i) {
            if (!wanted(i)) continue;
            const int32_t h = st.ports[static_cast<size_t>(i)].Handle;
            if (h != 0) lib.Read(h, kFlashSectors, 0, buffer.data());
        }
        if (st.ProcessEvents) st.ProcessEvents();
    }
}

void FlashFailedDisk(StationCore& st, int16_t index, int rounds) {
    if (index < 0 || index >= PortCount(st)) return;
    if (!st.View().Enabled(Button::Led)) return;
    if (st.ports[static_cast<size_t>(index)].ErrorStatus.load() == 0) return;
    FlashDisks(st, rounds, [index](int i) { return i == index; });
}

}  // namespace

void ClearCmd_Click(StationCore& st) {
    StationView& v = st.View();

    // Stop the workers first (each before its next command) and only then
    // touch the window and the handles they used.
    st.workers.run.StopAll();
    StopLowFormat(st);

    v.ShowBanner(false);
    v.BannerToFront(false);
    st.HideBanner();

    const int count = PortCount(st);
    for (int n = 1; n <= count; ++n) {
        PortRecord& port = st.ports[static_cast<size_t>(n - 1)];
        Sarnik::CloseHandle(port.Handle);
        port.Handle = 0;
    }

    for (int j = 0; j < kGridRows; ++j) ResetPortIndicators(st, false, j);
    v.SetEnabled(Button::Clear, false);
    v.SetEnabled(Button::Led, false);

    // No worker is left: device polling may run again.
    st.RunInProgress = false;

    // Rolling production looks again at its next tick, keeping its sockets'
    // disks in their rows; the jobs Clear stopped are not restarted.
    const bool rolling = st.rolling.armed.load();
    if (rolling) {
        st.rolling.rediscover = true;
    } else {
        PollingDiskStatus(st, true);
    }
    WaitSeconds(st, 1.0f);

    if (st.DiskCount.load() != 0 && !rolling) {
        v.SetEnabled(Button::Start, true);
        v.Focus(Button::Start);
    }

    SetPollingTimer(st, true);
    v.ShowLabel(Label::LowFormatComplete, false);
    if (!v.Enabled(Button::LowFormat)) v.SetEnabled(Button::LowFormat, true);
}

void LedCmd_Click(StationCore& st) {
    FlashDisks(st, kLedRounds,
               [&st](int i) { return st.ports[static_cast<size_t>(i)].ErrorStatus.load() == 0; });
}

void ItemLab_Click(StationCore& st, int16_t index) {
    FlashFailedDisk(st, index, kFailedDiskRounds);
}

void ThumbImage_Click(StationCore& st, int16_t index) {
    FlashFailedDisk(st, index, kFailedDiskRounds);
}

// "Check WP" runs alone: checking it clears the other items, checking
// another item clears it.
void Check1_Click(StationCore& st, int16_t index) {
    StationView& v = st.View();
    if (!v.ItemExists(index) || !v.Checked(static_cast<TestItem>(index))) return;
    if (index == static_cast<int>(TestItem::CheckWp)) {
        v.SetChecked(TestItem::Format, false);
        v.SetChecked(TestItem::Manufacture, false);
        v.SetChecked(TestItem::CheckConfig, false);
    } else {
        v.SetChecked(TestItem::CheckWp, false);
    }
}

void WaitForWorkers(StationCore& st) {
    st.workers.run.JoinAll();
    st.workers.lowFormat.JoinAll();
}

void StopStationWorkers(StationCore& st) {
    st.workers.run.StopAll();
    StopLowFormat(st);
}

}  // namespace galmor
