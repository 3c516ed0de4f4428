// Helpers shared by the run, the low-level format, Scan and the controls.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include "core/status.h"
#include "core/view.h"
#include "run/station.h"

namespace galmor {

// Ports above 8 have no worker: a run serves the first 8.
inline int RunPortCount(const StationCore& st) {
    return std::clamp<int>(st.DiskCount.load(), 0, kMaxRunPorts);
}

// Ports in the table.
inline int PortCount(const StationCore& st) {
    return std::clamp<int>(st.DiskCount.load(), 0, kMaxPorts);
}

inline void SetPollingTimer(StationCore& st, bool on) {
    st.View().SetPollingTimer(on);
}

inline void UpdateTimerLabel(StationCore& st) {
    st.View().ShowPollingTimerState();
}

// Enables Start, Scan and Low level Format again and disables Cancel.
inline void RestoreActionButtons(StationView& v) {
    v.SetEnabled(Button::Start, true);
    v.SetEnabled(Button::Scan, true);
    v.SetEnabled(Button::LowFormat, true);
}

// Hides and empties the progress bars of every port.
inline void HideProgressBars(StationCore& st) {
    const int count = PortCount(st);
    for (int i = 0; i < count; ++i) {
        PortView& row = st.Row(i);
        row.ShowProgress(false);
        row.SetProgress(0);
    }
}

// The exclusive use of one unit for a job: taken when the job starts, given
// back on every way out. A unit that another program (another station, a
// disk tool) holds is not served.
class UnitLock {
  public:
    // `patience`: how long to try again while the unit is held; a
    // discovery's probe elsewhere holds a unit for a moment only.
    UnitLock(SarnikApi& lib, int32_t handle,
             std::chrono::milliseconds patience = std::chrono::milliseconds(0))
        : lib_(lib), handle_(handle) {
        if (handle <= 0) return;
        const auto until = std::chrono::steady_clock::now() + patience;
        // A whole-disk node that udev has not set up yet (still the
        // kernel's owner and mode, or not there yet) is waited for too.
        while ((lock_ = lib.LockUnit(handle)) <= 0 &&
               (errno == EWOULDBLOCK || errno == EACCES || errno == ENOENT) &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (lock_ <= 0) error_ = errno;
    }
    UnitLock(const UnitLock&) = delete;
    UnitLock& operator=(const UnitLock&) = delete;
    ~UnitLock() { lib_.UnlockUnit(handle_, lock_); }
    bool held() const { return lock_ > 0; }
    // Not held because another program holds the unit (EWOULDBLOCK), or
    // because it could not be locked at all (e.g. EACCES on its whole-disk
    // node).
    bool heldElsewhere() const { return error_ == EWOULDBLOCK; }
    int error() const { return error_; }

  private:
    SarnikApi& lib_;
    int32_t handle_;
    int32_t lock_ = 0;
    int error_ = 0;
};

// Why port `index` (0-based) is not served: the reason discovery refused it,
// else Busy when `lock` could not be had; Ok when it is served.
inline Status Refusal(const StationCore& st, int index, const UnitLock& lock) {
    const int16_t refused = st.Refused[static_cast<size_t>(index)];
    if (refused != 0) return static_cast<Status>(refused);
    return lock.held() ? Status::Ok : Status::Busy;
}

// The prologue of Start, Low level Format and Scan: false while a run or a
// low-level format is going on; otherwise joins the workers of the last one,
// so that nothing else talks to the disks.
bool BeginAction(StationCore& st);

// One disk's job without the run's end: the checked items on 1-based port
// `disk` (refused ports are only marked), recorded in the production log.
// JustDoIt counts it for the run; rolling production ends it per socket.
void DiskJob(StationCore& st, int16_t disk);

// The low-level format of one disk (1-based port), as a socket of rolling
// production runs it before its items: false when the chip list could not be
// read. `cancelled` is asked before every block.
bool EraseDisk(StationCore& st, int16_t disk, const std::function<bool()>& cancelled);

// Stops a low-level format at once (Clear, shutdown) and restores the buttons
// as Cancel would.
void StopLowFormat(StationCore& st);

}  // namespace galmor
