#include "ui/rolling_controls.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "run/rolling.h"
#include "ui/controls.h"
#include "ui/station.h"

namespace galmor {

namespace {

// The box and the lot field can be changed only while rolling is not armed:
// a lot keeps the size it was started with.
void LockRollingBoxes(Station& st, bool armed) {
    st.model.SetEnabled(ctl::kCheckRolling, -1, !armed);
    st.model.SetEnabled(ctl::kCheckRollingLow, -1, !armed);
    st.model.SetEnabled(ctl::kLotText, -1, !armed);
}

}  // namespace

void CheckRolling_Click(Station& st, bool on) {
    WindowModel& m = st.model;
    m.SetChecked(ctl::kCheckRolling, -1, on);
    m.SetVisible(ctl::kCheckRollingLow, -1, on);
    m.SetVisible(ctl::kLotLab, -1, on);
    m.SetVisible(ctl::kLotText, -1, on);
    m.SetVisible(ctl::kLotCount, -1, on && !m.Get1(ctl::kLotCount).caption.empty());
}

std::optional<int> LotSize(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return 0;
    const size_t last = text.find_last_not_of(' ');
    const std::string digits = text.substr(first, last - first + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    errno = 0;
    const long n = std::strtol(digits.c_str(), nullptr, 10);
    if (errno != 0 || n < 1 || n > INT_MAX) return std::nullopt;
    return static_cast<int>(n);
}

bool RollingStart_Click(Station& st) {
    WindowModel& m = st.model;
    if (!m.Get1(ctl::kCheckRolling).checked) return false;
    StationView& v = st.View();
    if (RollingArmed(st)) return true;
    const std::optional<int> lot = LotSize(m.Get1(ctl::kLotText).caption);
    if (!lot) {
        v.ShowMessage("Lot: the number of disks to pass, or empty for no lot", Icon::Exclamation);
        return true;
    }
    RollingOptions opts;
    opts.lot = *lot;
    opts.lowLevelFormat = m.Get1(ctl::kCheckRollingLow).checked;
    // Refused while a batch action goes on, or with no item checked (which
    // it says).
    if (!RollingArm(st, true, opts)) return true;
    LockRollingBoxes(st, true);
    v.SetEnabled(Button::Start, false);
    v.SetEnabled(Button::Clear, true);
    ShowLotCount(st);
    return true;
}

bool RollingClear_Click(Station& st) {
    if (!RollingArmed(st)) return false;
    RollingArm(st, false);
    LockRollingBoxes(st, false);
    // Start comes back once the lot's last job has ended (RollingTimer): a
    // batch run never waits for a rolling job.
    st.View().SetEnabled(Button::Start, st.DiskCount.load() > 0 && RollingLot(st).running == 0);
    ShowLotCount(st);
    return true;
}

bool RollingTimer(Station& st) {
    // Read before the tick: a job that ends meanwhile has marked itself
    // ended before it stopped counting as running, so this tick or the next
    // one collects it.
    const bool active = RollingArmed(st) || RollingLot(st).running > 0;
    const bool changed = RollingTick(st);
    if (changed) ShowLotCount(st);
    if (active || changed) return true;
    // Disarmed and every job collected: the batch Start is back.
    st.View().SetEnabled(Button::Start, st.DiskCount.load() > 0);
    return false;
}

void ShowLotCount(Station& st) {
    WindowModel& m = st.model;
    m.SetCaption(ctl::kLotCount, -1, RollingLot(st).Text());
    m.SetVisible(ctl::kLotCount, -1, m.Get1(ctl::kCheckRolling).checked);
}

bool Reworkable(const Station& st, int row) {
    if (!RollingArmed(st)) return false;
    for (const SocketInfo& s : RollingSockets(st)) {
        if (s.row != row) continue;
        return s.state != SocketState::Empty && s.state != SocketState::Running &&
               s.state != SocketState::Waiting;
    }
    return false;
}

bool Rework_Click(Station& st, int row) {
    if (!Reworkable(st, row)) return false;
    return ReworkPort(st, row);
}

}  // namespace galmor
